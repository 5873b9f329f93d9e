#include "shell/ShellWindows.h"

#include "engine/Prompter.h"
#include "records/EventList.h"
#include "records/FrmLog.h"
#include "records/LogText.h"
#include "settings/LanguageFile.h"
#include "settings/LanguageKeys.h"
#include "settings/Settings.h"
#include "shell/MainWindow.h"
#include "shell/BuildConfig.h"
#include "shell/FrmAbout.h"
#include "shell/HelpFile.h"
#include "shell/HelpWindow.h"
#include "shell/Resources.h"
#include "settings/FrmPreferences.h"
#include "shell/TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QTreeView>

namespace tarvok {

ShellWindows::ShellWindows(const Parts& parts, QObject* parent)
    : QObject(parent), m_parts(parts),
      m_openUrl([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    wireLogTab();
    wireWindows();
}

QUrl ShellWindows::defaultVersionFile() { return QUrl(QStringLiteral(TARVOK_VERSION_URL)); }
QUrl ShellWindows::defaultHomePage() { return QUrl(QStringLiteral(TARVOK_HOME_PAGE)); }

FrmLog* ShellWindows::logViewer() const { return m_logViewer; }
FrmPreferences* ShellWindows::preferences() const { return m_preferences; }
FrmAbout* ShellWindows::about() const { return m_about; }
HelpWindow* ShellWindows::helpWindow() const { return m_help; }

void ShellWindows::openHelp() {
    if (m_help) {
        m_help->show();
        m_help->raise();
        m_help->activateWindow();
        return;
    }
    const QString path =
        helpFilePath(m_parts.folder, m_parts.settings->value(QStringLiteral("Language")));
    if (QFileInfo(path).isFile()) {
        auto* help = new HelpWindow(path, *m_parts.language, m_parts.window);
        if (help->loaded()) {
            m_help = help;
            help->show();
            return;
        }
        delete help;
    }
    m_parts.prompter->message(
        m_parts.language->text(QStringLiteral("Main"), language::shell::HelpUnreadable),
        Prompter::Critical, m_parts.language->text(QStringLiteral("Add"), 23));
}

void ShellWindows::wireWindows() {
    MainWindow* window = m_parts.window;
    const auto on = [this, window](const char* name, auto&& slot) {
        if (QAction* action = window->action(QLatin1String(name)))
            connect(action, &QAction::triggered, this, slot);
    };
    on("mnuPreferences", [this] { openPreferences(); });
    on("tbPreferences", [this] { openPreferences(); });
    on("mnuAbout", [this] { showAbout(); });
    on("tbAbout", [this] { showAbout(); });
    on("mnuCheckUpdate", [this] { checkForUpdates(); });
    on("mnuHelpF1", [this] { openHelp(); });
    on("tbHelp", [this] { openHelp(); });
    if (m_parts.tray)
        connect(m_parts.tray, &TrayIcon::aboutRequested, this, [this] { showAbout(true); });
    connect(&m_updateCheck, &UpdateCheck::answered, this, &ShellWindows::showUpdateAnswer);
}

void ShellWindows::openPreferences() {
    if (m_preferences) {
        m_preferences->raise();
        m_preferences->activateWindow();
        return;
    }
    m_preferences = new FrmPreferences(m_parts.folder, QCoreApplication::applicationFilePath(),
                                       *m_parts.settings, *m_parts.language, *m_parts.prompter,
                                       m_parts.window);
    m_preferences->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_preferences, &FrmPreferences::doubleClickModeChanged, this,
            &ShellWindows::doubleClickModeChanged);
    connect(m_preferences, &FrmPreferences::keepPolicyChanged, this,
            &ShellWindows::keepPolicyChanged);
    connect(m_preferences, &FrmPreferences::askingChanged, this, &ShellWindows::askingChanged);
    if (m_parts.askUnavailable) {
        const QString reason = m_parts.askUnavailable();
        m_preferences->setAskAvailable(reason.isEmpty(), reason);
    }
    // Window-modal: the main window takes no input until the dialog closes, while its timers
    // and the enforcement go on.
    m_preferences->open();
}

void ShellWindows::showAbout(bool fromTray) {
    if (m_about) {
        m_about->show();
        m_about->raise();
        m_about->activateWindow();
        return;
    }
    m_about = new FrmAbout(m_homePage, *m_parts.language, m_parts.folder,
                           fromTray ? nullptr : m_parts.window);
    m_about->setAttribute(Qt::WA_DeleteOnClose);
    m_about->show();
}

void ShellWindows::checkForUpdates() { m_updateCheck.start(m_versionFile); }

void ShellWindows::showUpdateAnswer(UpdateCheck::Outcome outcome, const QString& text) {
    const LanguageFile& language = *m_parts.language;
    const auto mainText = [&language](int key) { return language.text(QStringLiteral("Main"), key); };
    const QString title = QStringLiteral("Tarvok");
    switch (outcome) {
    case UpdateCheck::Outcome::NoAnswer:
        // Without a network the check must still end in an answer: it failed.
        m_parts.prompter->message(
            localisedOr(language, language::shell::UpdateNoAnswer,
                        QStringLiteral("The check for updates could not be made: %1 could not "
                                       "be reached: %2."))
                .arg(m_versionFile.host(), text),
            Prompter::Exclamation, title);
        break;
    case UpdateCheck::Outcome::UpToDate:
        m_parts.prompter->message(mainText(language::shell::UpToDate), Prompter::Information,
                                  title);
        break;
    case UpdateCheck::Outcome::Failed:
        m_parts.prompter->message(
            localisedOr(language, language::shell::UpdateFailed,
                        QStringLiteral("The check for updates could not be made: the server "
                                       "answered %1."))
                .arg(text),
            Prompter::Exclamation, title);
        break;
    case UpdateCheck::Outcome::Newer: {
        const QString offer = mainText(language::shell::NewVersion) + QStringLiteral("\r\n") +
                              language.text(QStringLiteral("About"), 2) + QLatin1Char(' ') + text +
                              QStringLiteral("\r\n\r\n") + mainText(language::shell::DownloadIt);
        if (m_parts.prompter->message(offer, Prompter::Question, title) == Prompter::Yes)
            m_openUrl(m_homePage);
        break;
    }
    }
}

void ShellWindows::wireLogTab() {
    MainWindow* window = m_parts.window;
    const auto on = [this, window](const char* name, auto&& slot) {
        if (QAction* action = window->action(QLatin1String(name)))
            connect(action, &QAction::triggered, this, slot);
    };
    on("mnuOpenLogFile", [this] { openLogFile(); });
    on("mnuCopyText", [this] {
        if (const EventRecord* record = selectedEvent()) {
            QClipboard* clipboard = QGuiApplication::clipboard();
            clipboard->clear();
            clipboard->setText(recordText(*record, RecordTextStyle::EventList));
        }
    });
    on("mnuClearLogWindow", [this] { m_parts.events->clear(); });
}

const EventRecord* ShellWindows::selectedEvent() const {
    QTreeView* list = m_parts.window->list(QStringLiteral("ListLog"));
    if (!list || m_parts.events->count() == 0)
        return nullptr;
    const QModelIndex current = list->currentIndex();
    const int row = current.isValid() ? current.row() : 0;
    return row < m_parts.events->count() ? &m_parts.events->record(row) : nullptr;
}

void ShellWindows::openLogFile() {
    const LanguageFile& language = *m_parts.language;
    const QString path = m_parts.prompter->openFileName(
        language.text(QStringLiteral("Main"), language::shell::OpenLogTitle),
        QStringLiteral("Tarvok Log File|*.tvl"),
        m_parts.folder + QStringLiteral("/Logs"));
    if (!path.isEmpty())
        showLogFile(path);
}

bool ShellWindows::showLogFile(const QString& path) {
    const LanguageFile& language = *m_parts.language;
    QString error;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QList<EventRecord> records = readLogFile(path, &error);
    QApplication::restoreOverrideCursor();
    // A file that cannot be opened is said so, rather than shown as an empty log.
    if (!error.isEmpty() && records.isEmpty()) {
        QString text = language.text(QStringLiteral("Log"), 40);
        if (!text.contains(QLatin1String("%1")))
            text = QStringLiteral("The log file %1 could not be read: %2");
        m_parts.prompter->message(text.arg(QDir::toNativeSeparators(path), error),
                                  Prompter::Critical, QStringLiteral("Tarvok"));
        return false;
    }
    if (!m_logViewer) {
        m_logViewer = new FrmLog(m_parts.window);
        m_logViewer->setAttribute(Qt::WA_DeleteOnClose);
        m_logViewer->setImages(pictureIcon(Picture::LevelAllow), pictureIcon(Picture::LevelBlock));
    }
    m_logViewer->applyLanguage(language);
    m_logViewer->setRecords(std::move(records));
    m_logViewer->setWindowTitle(language.text(QStringLiteral("Log"), 1) + QStringLiteral(" - ") +
                                QDir::toNativeSeparators(path));
    m_logViewer->show();
    m_logViewer->raise();
    m_logViewer->activateWindow();
    return true;
}

} // namespace tarvok
