#include "settings/FrmPreferences.h"

#include "engine/EngineServices.h"
#include "engine/Prompter.h"
#include "settings/Autostart.h"
#include "settings/LanguageFile.h"
#include "settings/LanguageKeys.h"
#include "settings/Preferences.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace tarvok {

namespace {

QString boolText(bool on) { return on ? QStringLiteral("True") : QStringLiteral("False"); }

// A caption without its access-key ampersands, as a screen reader says it.
QString spoken(QString caption) {
    caption.replace(QLatin1String("&&"), QLatin1String("\x01"));
    caption.remove(QLatin1Char('&'));
    caption.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return caption;
}

QLabel* linkLabel(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    label->setOpenExternalLinks(false);
    QObject::connect(label, &QLabel::linkActivated, label,
                     [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });
    return label;
}

void setLink(QLabel* label, const QString& text, const QString& target) {
    label->setText(text.isEmpty() ? QString()
                                  : QStringLiteral("<a href=\"%1\">%2</a>")
                                        .arg(target.toHtmlEscaped(), text.toHtmlEscaped()));
    label->setAccessibleName(text);
}

} // namespace

FrmPreferences::FrmPreferences(const QString& programFolder, const QString& programPath,
                               SettingsStore& settings, const Localiser& language,
                               Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_folder(programFolder), m_programPath(programPath),
      m_settings(settings), m_prompter(prompter) {
    setObjectName(QStringLiteral("frmPreferences"));
    build();
    load();
    applyLanguage(language);
    // The list and its preview come after the dialog's own texts, which they partly replace.
    m_language->addItems(availableLanguages(m_folder));
    const int current = m_language->findText(m_settings.value(QStringLiteral("Language")));
    if (current >= 0)
        m_language->setCurrentIndex(current);
    previewLanguage(m_language->currentText());
    connect(m_language, &QComboBox::currentTextChanged, this, &FrmPreferences::previewLanguage);
    m_size->setText(preferences::initialLogSize(m_settings));
    connect(m_size, &QLineEdit::textEdited, this, &FrmPreferences::logSizeEdited);
}

QCheckBox* FrmPreferences::box(const char* name) const {
    return findChild<QCheckBox*>(QLatin1String(name));
}

void FrmPreferences::build() {
    const auto check = [this](const char* name) {
        auto* box = new QCheckBox(this);
        box->setObjectName(QLatin1String(name));
        return box;
    };
    m_startUp = check("ChkStartUp");
    m_minimized = check("ChkMinimized");
    m_popup = check("ChkPopup");
    m_manuallyClose = check("ChkManuallyClose");
    m_dbClick = check("ChkDBClick");
    m_filePropertiesDbClick = check("ChkFilePropertiesDBClick");
    m_journal = check("ChkJournal");
    m_keepPolicy = check("ChkKeepPolicy");

    m_ask = check("ChkAskUnknownPrograms");
    m_askTimeoutLabel = new QLabel(this);
    m_askTimeoutLabel->setObjectName(QStringLiteral("lblAskTimeout"));
    m_askTimeout = new QSpinBox(this);
    m_askTimeout->setObjectName(QStringLiteral("txtAskTimeout"));
    m_askTimeout->setRange(preferences::MinAskTimeout, preferences::MaxAskTimeout);
    m_askTimeoutLabel->setBuddy(m_askTimeout);
    m_askDefaultLabel = new QLabel(this);
    m_askDefaultLabel->setObjectName(QStringLiteral("lblAskDefault"));
    m_askDefault = new QComboBox(this);
    m_askDefault->setObjectName(QStringLiteral("cboAskDefault"));
    m_askDefault->addItems({QString(), QString()}); // block once, allow once
    m_askDefaultLabel->setBuddy(m_askDefault);
    m_askExplained = new QLabel(this);
    m_askExplained->setObjectName(QStringLiteral("lblAskExplained"));
    m_askExplained->setWordWrap(true);
    m_askReason = new QLabel(this);
    m_askReason->setObjectName(QStringLiteral("lblAskUnavailable"));
    m_askReason->setWordWrap(true);
    m_askReason->hide();

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("TabStrip1"));

    auto* logPage = new QWidget(m_tabs);
    auto* logLayout = new QGridLayout(logPage);
    m_logSizeLabel = new QLabel(logPage);
    m_logSizeLabel->setObjectName(QStringLiteral("lblLogSize"));
    m_size = new QLineEdit(logPage);
    m_size->setObjectName(QStringLiteral("txtSize"));
    m_size->setMaxLength(9);
    auto* kbytes = new QLabel(QStringLiteral("KBytes"), logPage);
    kbytes->setObjectName(QStringLiteral("lblKBytes"));
    m_folderLabel = new QLabel(logPage);
    m_folderLabel->setObjectName(QStringLiteral("lblFolder"));
    m_logPath = new QLineEdit(logPage);
    m_logPath->setObjectName(QStringLiteral("txtLogPath"));
    m_logPath->setReadOnly(true);
    m_logSizeLabel->setBuddy(m_size);
    m_folderLabel->setBuddy(m_logPath);
    logLayout->addWidget(m_logSizeLabel, 0, 0);
    logLayout->addWidget(m_size, 0, 1);
    logLayout->addWidget(kbytes, 0, 2);
    logLayout->addWidget(m_folderLabel, 1, 0);
    logLayout->addWidget(m_logPath, 1, 1, 1, 2);
    logLayout->setRowStretch(2, 1);
    logLayout->setColumnStretch(1, 1);

    auto* languagePage = new QWidget(m_tabs);
    auto* languageLayout = new QFormLayout(languagePage);
    m_select = new QLabel(languagePage);
    m_select->setObjectName(QStringLiteral("lblSelect"));
    m_language = new QComboBox(languagePage);
    m_language->setObjectName(QStringLiteral("cboLanguage"));
    m_select->setBuddy(m_language);
    m_translatorName = new QLabel(languagePage);
    m_translatorName->setObjectName(QStringLiteral("lblTranslatedByName"));
    m_translatorEmail = linkLabel(languagePage, "lblTranslatedByEmail");
    m_translatorWeb = linkLabel(languagePage, "lblTranslatedByWeb");
    languageLayout->addRow(m_select, m_language);
    languageLayout->addRow(QString(), m_translatorName);
    languageLayout->addRow(QStringLiteral("E-mail:"), m_translatorEmail);
    languageLayout->addRow(QStringLiteral("Web:"), m_translatorWeb);

    m_tabs->addTab(logPage, QString());
    m_tabs->addTab(languagePage, QString());

    m_ok = new QPushButton(this);
    m_ok->setObjectName(QStringLiteral("cmdOK"));
    m_ok->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    for (QCheckBox* box : {m_startUp, m_minimized, m_popup, m_manuallyClose, m_dbClick,
                           m_filePropertiesDbClick, m_journal, m_keepPolicy})
        layout->addWidget(box);
    layout->addWidget(m_ask);
    auto* asking = new QGridLayout;
    asking->setContentsMargins(24, 0, 0, 0);
    asking->addWidget(m_askExplained, 0, 0, 1, 3);
    asking->addWidget(m_askTimeoutLabel, 1, 0);
    asking->addWidget(m_askTimeout, 1, 1);
    asking->addWidget(m_askDefaultLabel, 2, 0);
    asking->addWidget(m_askDefault, 2, 1);
    asking->addWidget(m_askReason, 3, 0, 1, 3);
    asking->setColumnStretch(2, 1);
    layout->addLayout(asking);
    layout->addWidget(m_tabs);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_ok);
    layout->addLayout(buttons);

    // The keyboard goes through the dialog in the order it is laid out.
    QWidget* order[] = {m_startUp, m_minimized, m_popup, m_manuallyClose, m_dbClick,
                        m_filePropertiesDbClick, m_journal, m_keepPolicy, m_ask, m_askTimeout,
                        m_askDefault, m_tabs, m_size, m_logPath, m_language,
                        m_translatorEmail, m_translatorWeb, m_ok};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    connect(m_startUp, &QCheckBox::clicked, this, &FrmPreferences::startUpClicked);
    const auto toggles = [this](QCheckBox* box, const char* key) {
        connect(box, &QCheckBox::clicked, this, [this, key](bool on) {
            m_settings.setValue(QLatin1String(key), boolText(on));
        });
    };
    toggles(m_minimized, "RunMinimized");
    toggles(m_popup, "PopupAlert");
    toggles(m_manuallyClose, "CloseConManually");
    toggles(m_journal, "JournalRecords");
    // Checked keeps the policy; the setting names the other choice, absent meaning keep.
    connect(m_keepPolicy, &QCheckBox::clicked, this, [this](bool keep) {
        m_settings.setValue(QStringLiteral("AllowAllOnCrash"), boolText(!keep));
        emit keepPolicyChanged(keep);
    });
    connect(m_popup, &QCheckBox::clicked, this, &FrmPreferences::popupChanged);
    connect(m_dbClick, &QCheckBox::clicked, this, [this](bool on) { setDoubleClick(on); });
    connect(m_filePropertiesDbClick, &QCheckBox::clicked, this,
            [this](bool on) { setDoubleClick(!on); });
    connect(m_ok, &QPushButton::clicked, this, &FrmPreferences::ok);
    connect(m_ask, &QCheckBox::clicked, this, &FrmPreferences::askEdited);
    connect(m_askTimeout, &QSpinBox::valueChanged, this, &FrmPreferences::askEdited);
    connect(m_askDefault, &QComboBox::currentIndexChanged, this, &FrmPreferences::askEdited);
}

void FrmPreferences::askEdited() {
    const preferences::Asking asking{m_ask->isChecked(), m_askTimeout->value(),
                                     m_askDefault->currentIndex() == 1};
    if (asking == preferences::asking(m_settings))
        return;
    preferences::setAsking(m_settings, asking);
    enableAsking();
    emit askingChanged(asking);
}

void FrmPreferences::setAskAvailable(bool available, const QString& reason) {
    m_askAvailable = available;
    QString text = m_unavailableText;
    if (!text.contains(QLatin1String("%1")))
        text = QStringLiteral("Not available: %1");
    m_askReason->setText(available ? QString() : text.arg(reason));
    m_askReason->setVisible(!available);
    enableAsking();
}

void FrmPreferences::enableAsking() {
    m_ask->setEnabled(m_askAvailable);
    for (QWidget* part : {static_cast<QWidget*>(m_askTimeoutLabel), static_cast<QWidget*>(m_askTimeout),
                          static_cast<QWidget*>(m_askDefaultLabel), static_cast<QWidget*>(m_askDefault)})
        part->setEnabled(m_askAvailable && m_ask->isChecked());
}

void FrmPreferences::load() {
    m_startUp->setChecked(autostart::isEnabled(m_programPath));
    m_minimized->setChecked(m_settings.value(QStringLiteral("RunMinimized")) == QLatin1String("True"));
    m_popup->setChecked(m_settings.value(QStringLiteral("PopupAlert")) != QLatin1String("False"));
    m_manuallyClose->setChecked(m_settings.value(QStringLiteral("CloseConManually")) ==
                                QLatin1String("True"));
    m_journal->setChecked(m_settings.value(QStringLiteral("JournalRecords")) !=
                          QLatin1String("False"));
    m_keepPolicy->setChecked(m_settings.value(QStringLiteral("AllowAllOnCrash")) !=
                             QLatin1String("True"));
    const preferences::Asking asking = preferences::asking(m_settings);
    {
        const QSignalBlocker timeout(m_askTimeout), answer(m_askDefault);
        m_ask->setChecked(asking.ask);
        m_askTimeout->setValue(asking.timeoutSeconds);
        m_askDefault->setCurrentIndex(asking.defaultAllow ? 1 : 0);
    }
    enableAsking();
    // Both double-click settings are written from CloseConDBClick, so they agree from here on.
    setDoubleClick(preferences::doubleClickCloses(m_settings));
    m_logPath->setText(QDir::toNativeSeparators(m_folder + QStringLiteral("/Logs/")));
    // The folder shows from its start, as wide as it needs within reason.
    m_logPath->setCursorPosition(0);
    m_logPath->setMinimumWidth(
        qMin(m_logPath->fontMetrics().horizontalAdvance(m_logPath->text()) + 16, 520));
}

void FrmPreferences::applyLanguage(const Localiser& language) {
    const auto text = [&language](int key) {
        return language.text(QStringLiteral("Preferences"), key);
    };
    setWindowTitle(text(1));
    const std::pair<QCheckBox*, int> boxes[] = {{m_startUp, 2},      {m_minimized, 3},
                                                {m_popup, 4},        {m_manuallyClose, 5},
                                                {m_dbClick, 6},      {m_filePropertiesDbClick, 7}};
    for (const auto& [box, key] : boxes) {
        box->setText(text(key));
        box->setAccessibleName(spoken(box->text()));
    }
    m_journal->setText(
        localisedOr(language, 320, QStringLiteral("Send event records to the system &journal")));
    m_journal->setAccessibleName(spoken(m_journal->text()));
    m_keepPolicy->setText(localisedOr(
        language, language::KeepPolicyOnCrash,
        QStringLiteral("When Tarvok ends &unexpectedly, keep its policy in force (otherwise "
                       "allow everything)")));
    m_keepPolicy->setAccessibleName(spoken(m_keepPolicy->text()));
    namespace asking = language::asking;
    m_ask->setText(text(asking::Ask));
    m_ask->setAccessibleName(spoken(m_ask->text()));
    m_askExplained->setText(text(asking::Explained));
    m_ask->setAccessibleDescription(m_askExplained->text());
    m_askTimeoutLabel->setText(text(asking::Timeout));
    m_askTimeout->setAccessibleName(spoken(m_askTimeoutLabel->text()));
    m_askDefaultLabel->setText(text(asking::DefaultAnswer));
    m_askDefault->setAccessibleName(spoken(m_askDefaultLabel->text()));
    m_askDefault->setItemText(0, text(asking::BlockOnce));
    m_askDefault->setItemText(1, text(asking::AllowOnce));
    m_unavailableText = text(asking::Unavailable);
    m_tabs->setTabText(0, text(8));
    m_tabs->setTabText(1, text(9));
    m_logSizeLabel->setText(text(10));
    m_size->setAccessibleName(spoken(m_logSizeLabel->text()));
    m_folderLabel->setText(text(12));
    m_logPath->setAccessibleName(spoken(m_folderLabel->text()));
    m_select->setText(text(11));
    m_language->setAccessibleName(spoken(m_select->text()));
    m_startUpFailure = text(40);
    m_emptySizeMessage = text(13);
}

void FrmPreferences::setDoubleClick(bool closes) {
    m_dbClick->setChecked(closes);
    m_filePropertiesDbClick->setChecked(!closes);
    emit doubleClickModeChanged(preferences::setDoubleClickCloses(m_settings, closes));
}

void FrmPreferences::startUpClicked(bool on) {
    QString error;
    const bool done = on ? autostart::enable(m_programPath, &error) : autostart::disable(&error);
    if (done)
        return;
    // The box shows what is on disk, and the user learns why it did not change.
    m_startUp->setChecked(autostart::isEnabled(m_programPath));
    QString message = m_startUpFailure;
    if (!message.contains(QLatin1String("%1")))
        message = QStringLiteral("The start-at-login entry %1 could not be written: %2");
    m_prompter.message(message.arg(QDir::toNativeSeparators(autostart::entryPath()), error),
                       Prompter::Critical, QStringLiteral("Tarvok"));
}

void FrmPreferences::logSizeEdited(const QString& text) {
    const preferences::LogSizeText checked = preferences::checkLogSize(text);
    if (checked.text != text) {
        const int cursor = m_size->cursorPosition();
        m_size->setText(checked.text);
        m_size->setCursorPosition(qMin(cursor, static_cast<int>(checked.text.size())));
    }
    if (checked.invalid) {
        m_prompter.message(QStringLiteral("Invalid log size"), Prompter::Critical,
                           QStringLiteral("Error!"));
        m_size->selectAll();
        m_size->setFocus();
    }
}

void FrmPreferences::previewLanguage(const QString& name) {
    const LanguagePreview preview = tarvok::previewLanguage(m_folder, name);
    m_select->setText(preview.selectCaption);
    m_language->setAccessibleName(spoken(preview.selectCaption));
    m_ok->setText(preview.okCaption);
    m_ok->setAccessibleName(spoken(preview.okCaption));
    m_translatorName->setText(preview.translator);
    setLink(m_translatorEmail, preview.email, QStringLiteral("mailto:") + preview.email);
    setLink(m_translatorWeb, preview.web, preview.web);
    m_changeMessage = preview.changeMessage;
    m_changeTitle = preview.changeTitle;
}

void FrmPreferences::ok() {
    if (m_size->text().isEmpty())
        m_prompter.message(m_emptySizeMessage, Prompter::Critical, QStringLiteral("Tarvok"));
    else
        m_settings.setValue(QStringLiteral("LogSize"), m_size->text());
    // The note that the language changes at the next start, only when it does change.
    const QString language = m_language->currentText();
    if (language != m_settings.value(QStringLiteral("Language")))
        m_prompter.message(m_changeMessage, Prompter::Exclamation, m_changeTitle);
    m_settings.setValue(QStringLiteral("Language"), language);
    accept();
}

} // namespace tarvok
