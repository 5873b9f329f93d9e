#include "shell/Application.h"

#include "control/ControlClient.h"
#include "engine/EnforcementEngine.h"
#include "engine/KernelTable.h"
#include "engine/ProgramFiles.h"
#include "engine/ProgramQuestions.h"
#include "engine/SecurityLevels.h"
#include "monitor/ActivityTab.h"
#include "monitor/ConnectionActions.h"
#include "monitor/ConnectionMonitor.h"
#include "monitor/AlertWindow.h"
#include "monitor/ProgramIcons.h"
#include "monitor/ProgramRules.h"
#include "monitor/QuestionRows.h"
#include "policy/PolicyCommands.h"
#include "policy/RuleEditorDialog.h"
#include "policy/RuleListController.h"
#include "policy/RuleListModel.h"
#include "records/JournalRecords.h"
#include "settings/LanguageKeys.h"
#include "settings/Preferences.h"
#include "settings/SaveFile.h"
#include "shell/BuildConfig.h"
#include "shell/ControlBinding.h"
#include "shell/MainWindow.h"
#include "shell/Resources.h"
#include "shell/RuleInsight.h"
#include "shell/ShellWindows.h"
#include "shell/StartupOptions.h"
#include "shell/StatusDisplay.h"
#include "shell/TrayIcon.h"
#include "shell/Twips.h"
#include "stats/TrafficDisplay.h"

#include <QAction>
#include <QApplication>
#include <QDate>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QTreeView>
#include <QTime>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvok {

namespace {

int g_signalPipe[2] = {-1, -1};

void onUnixSignal(int) {
    // Only async-signal-safe work here; the event loop does the rest. The interrupted code
    // may be about to read errno: the write must not change it.
    const int savedErrno = errno;
    const char byte = 1;
    (void)!::write(g_signalPipe[0], &byte, 1);
    errno = savedErrno;
}

// The enforcer this window starts: the one named for tests and trial runs, else the one beside
// the binary (a build folder), else the installed one (libexec/tarvok/ beside bin/, whatever
// the prefix). The window holds no privilege, so the variable lets no one do more than they
// could without it.
QString enforcerProgram() {
    if (const QString named = qEnvironmentVariable("TARVOK_ENFORCER"); !named.isEmpty())
        return named;
    const QDir folder(QCoreApplication::applicationDirPath());
    const QString beside = folder.filePath(QStringLiteral("tarvok-enforcer"));
    if (QFileInfo::exists(beside))
        return beside;
    return QDir::cleanPath(folder.filePath(QStringLiteral(TARVOK_INSTALLED_ENFORCER)));
}

QString mainText(const Localiser& language, int key) {
    return language.text(QStringLiteral("Main"), key);
}

// Why the lock in folder could not be taken, when another instance is not the reason.
QString lockFailure(const QString& folder, QLockFile::LockError error) {
    QString reason;
    if (::access(QFile::encodeName(folder).constData(), W_OK) != 0)
        reason = QString::fromLocal8Bit(std::strerror(errno));
    else if (error == QLockFile::PermissionError)
        reason = QString::fromLocal8Bit(std::strerror(EACCES));
    else
        reason = QStringLiteral("unknown error");
    return QStringLiteral("Tarvok cannot start: its lock file could not be made in the folder "
                          "%1: %2")
        .arg(folder, reason);
}

} // namespace

Application::Application(const QString& programFolder, Prompter* prompter, QObject* parent)
    : QObject(parent), m_folder(programFolder),
      m_prompter(prompter ? *prompter : static_cast<Prompter&>(m_qtPrompter)),
      m_lock(programFolder + QStringLiteral("/tarvok.lock")), m_settings(programFolder) {}

Application::~Application() {
    RuleEditorDialog::setProgramIcons({}); // the icons go with this object
}

bool Application::start(const QStringList& arguments) {
    m_starting = true;
    m_prompter.hold();
    const bool running = startUp(arguments);
    if (running) {
        // The reports of start-up are shown once the first tick has run its pass: Timer1's
        // tick is queued before this, so a box never opens before enforcement has begun. A
        // tick that found a pass running (one after a policy write, yielding) ran none and
        // announced nothing yet: the reports wait for the next.
        // Rules kept by an end nobody could answer are offered back after them.
        m_heldReports = connect(m_engine->timer(), &QTimer::timeout, this, [this] {
            if (m_engine->passRunning())
                return;
            disconnect(m_heldReports);
            m_prompter.showHeld();
            offerKeptUnsaved();
        }, Qt::QueuedConnection);
    } else {
        m_prompter.showHeld(); // the program ends here: why is said now
    }
    m_starting = false;
    // A signal during start-up (while a box was open, say) ends the run here, in order.
    if (m_exitRequested) {
        shutdown(false);
        return false;
    }
    return running;
}

bool Application::startUp(const QStringList& arguments) {
    m_startMinimized = minimizedSwitch(arguments);

    // One instance per program folder: a second start is refused and leaves the first alone.
    m_lock.setStaleLockTime(0);
    if (!m_lock.tryLock(0)) {
        const bool running = m_lock.error() == QLockFile::LockFailedError;
        // Its window may be hidden or minimised where no tray can bring it back.
        if (running)
            askToShowWindow(m_folder);
        const QString text = running ? QStringLiteral("Application is already running!")
                                     : lockFailure(m_folder, m_lock.error());
        m_prompter.message(text, Prompter::Critical, QStringLiteral("Tarvok"));
        return false;
    }

    // Settings and the language, before any window.
    QString error;
    const bool created = m_settings.createDefaultFile(&error);
    m_settings.load();
    m_settingsLoaded = true;
    m_language.setPath(m_settings.resolveLanguageFile());
    if (!created && !error.isEmpty())
        report(localisedOr(m_language, language::failure::SettingsSave,
                           QStringLiteral("The settings could not be saved to %1: %2"))
                   .arg(m_settings.configPath(), error));
    if (m_exitRequested)
        return false;

    // The system is supported when the kernel lists its sockets through sock_diag.
    std::vector<platform::TcpRow> probe;
    if (m_diag.readTcp(probe) == platform::ResultNotSupported) {
        m_prompter.message(m_language.text(QStringLiteral("Splash"), 5), Prompter::Critical,
                           QStringLiteral("Tarvok"));
        return false;
    }

    if (m_settings.value(QStringLiteral("RunMinimized")) == QLatin1String("True"))
        m_startMinimized = true;
    loadMainWindow();
    if (m_exitRequested)
        return false;
    // Without a notification area a hidden window could never be reached again.
    if (!m_startMinimized || !m_tray->available())
        showWindow();
    return true;
}

// Takes over the enforcer that a window of this program folder left running when it ended
// unexpectedly, its policy still in force, so that no moment passes without it; otherwise
// starts one. Without one, Tarvok runs as a monitor and says why.
void Application::startEnforcer() {
    const quint64 instance = EnforcerLink::instanceFor(m_folder);
    const QString program = enforcerProgram();
    if (!m_enforcer.adopt(program, instance) && !m_enforcer.start(program, instance))
        GuardedPrompter::toStandardError(m_enforcer.failure());
    m_tables.setEnforcer(&m_enforcer);
}

void Application::loadMainWindow() {
    initResources();
    startEnforcer();
    m_window = std::make_unique<MainWindow>();
    m_qtPrompter.setParentWidget(m_window.get());
    m_window->setWindowIcon(pictureIcon(Picture::App));

    // The window's timers run from the moment it exists, hidden or not.
    m_engine = new EnforcementEngine(m_tables, m_rules, m_window.get());
    m_engine->setObjectName(QStringLiteral("Engine"));
    const auto makeTimer = [this](const char* name, int interval, bool running) {
        auto* timer = new QTimer(m_window.get());
        timer->setObjectName(QLatin1String(name));
        timer->setInterval(interval);
        if (running)
            timer->start();
        return timer;
    };
    m_countWatcher = makeTimer("Timer1_IMPROVED", 1000, true);
    m_trayActivity = makeTimer("Timer2", 500, false);
    QTimer* speeds = makeTimer("TimerTraffic", 1000, true);
    QTimer* totals = makeTimer("TmrUpdateTraffic", 400, true);
    m_traffic = new TrafficDisplay(m_counters, m_holders, QLocale(), m_window.get());
    connect(totals, &QTimer::timeout, m_traffic, &TrafficDisplay::updateTick);
    connect(speeds, &QTimer::timeout, m_traffic, &TrafficDisplay::speedTick);
    connect(m_traffic, &TrafficDisplay::panelUpdated, m_window.get(), &MainWindow::setPanelText);

    // The start of this run, for the history.
    const QLocale locale = QLocale::system();
    m_startTime = locale.toString(QTime::currentTime(), QLocale::ShortFormat);
    m_startDate = locale.toString(QDate::currentDate(), QLocale::ShortFormat);

    m_language.setPath(m_settings.resolveLanguageFile());
    applyLanguage();
    if (m_exitRequested)
        return;

    m_tray = std::make_unique<TrayIcon>();
    m_tray->setCaptions(mainText(m_language, language::shell::MenuOpen),
                        mainText(m_language, language::shell::MenuPause),
                        mainText(m_language, language::shell::MenuAbout),
                        mainText(m_language, language::shell::MenuExit));
    m_tray->setToolTip(QStringLiteral("Tarvok"));
    m_tray->setIcon(pictureIcon(Picture::TrayIdle));
    m_tray->show();

    m_events = std::make_unique<EventList>(m_folder, m_settings);
    m_history = std::make_unique<HistoryList>(m_folder);
    m_policy = std::make_unique<PolicyCommands>(m_folder, m_rules, m_settings, m_language,
                                                m_holders, m_prompter);
    m_ruleList = new RuleListModel(m_rules, m_language, m_window.get());
    // A program file that appears or goes changes which rules match nothing.
    connect(&m_engine->programFiles(), &ProgramFiles::changed, m_ruleList, &RuleListModel::recheck);
    m_window->setModels(m_ruleList, m_events.get(), m_history.get());

    m_engine->setEventSink(m_events.get());
    m_engine->setNotifier(m_tray.get());
    m_engine->setSettings(&m_settings);
    m_engine->setLocaliser(&m_language);
    m_engine->setPrompter(&m_prompter);
    m_engine->setTextHolders(&m_holders);
    m_levels = new SecurityLevels(*m_engine, *m_countWatcher, *m_trayActivity, m_window.get());
    m_levels->setNotifier(m_tray.get());
    m_levels->setLocaliser(&m_language);
    // Follows every change of the policy from the first write on (below, once it is loaded).
    m_kernel = new KernelTable(m_rules, *m_engine, m_levels, m_enforcer, m_window.get());
    m_kernel->setAllowAllOnCrash(m_settings.value(QStringLiteral("AllowAllOnCrash")) ==
                                 QLatin1String("True"));
    m_kernel->setNotifier(m_tray.get());
    m_kernel->setLocaliser(&m_language);
    m_status = new StatusDisplay({*m_window, *m_tray, *m_levels, *m_kernel, *m_traffic},
                                 m_window.get());
    connect(m_trayActivity, &QTimer::timeout, m_status, &StatusDisplay::showActivity);
    wireCommands();
    m_windows = new ShellWindows({m_folder, m_window.get(), m_events.get(), &m_settings,
                                  &m_language, &m_prompter, m_tray.get(),
                                  [this] { return askUnavailable(); }},
                                 m_window.get());
    connect(m_windows, &ShellWindows::keepPolicyChanged, m_kernel,
            [this](bool keep) { m_kernel->setAllowAllOnCrash(!keep); });
    connect(m_windows, &ShellWindows::doubleClickModeChanged, this,
            [this](const QString& mode) { m_doubleClickCloses = mode; });
    watchLogWrites();
    new JournalRecords(*m_events, m_settings, m_holders.unableClose, m_window.get());
    // The rule list's commands and the rule editor; the window owns it.
    auto* ruleList =
        new RuleListController(m_window.get(), m_rules, *m_policy, m_language, m_holders, m_prompter);

    connect(m_policy.get(), &PolicyCommands::statusTextChanged, m_window.get(),
            [this](const QString& text) { m_window->setPanelText(2, text); });
    m_policy->LoadPolicy();
    m_window->setPanelText(2, m_policy->statusText());
    QCoreApplication::processEvents();
    if (m_exitRequested)
        return;
    m_history->load();
    m_historyLoaded = true;
    QCoreApplication::processEvents();
    if (m_exitRequested)
        return;

    // The display switches are off only for "False". Setting them writes nothing: a stored
    // text stays as it is until the user toggles the option.
    const auto setCheck = [this](const char* action, const char* key) {
        if (QAction* item = m_window->action(QLatin1String(action)))
            item->setChecked(m_settings.value(QLatin1String(key)) != QLatin1String("False"));
    };
    setCheck("mnuShowListeningPorts", "ShowListening");
    setCheck("mnuDisplay0000127001", "ShowLocal");
    setCheck("mnuDisplayUDP", "ShowUDP");
    m_doubleClickCloses = m_settings.value(QStringLiteral("CloseConDBClick")) == QLatin1String("False")
                              ? QStringLiteral("0")
                              : QStringLiteral("1");

    wireMonitor();
    // Block and allow a program from the alert and the per-application list.
    connect(m_activity, &ActivityTab::programRuleRequested, ruleList,
            &RuleListController::addProgramRuleAtTop);
    wireQuestions(ruleList);
    m_insight = new RuleInsight({*m_engine, *m_levels, m_rules, *m_ruleList, *m_activity,
                                 *m_window, m_language});
    const auto showNeverMatching = [this] {
        m_status->setNeverMatching(m_insight->panelToolTipLine());
    };
    connect(m_insight, &RuleInsight::panelToolTipLineChanged, m_status, showNeverMatching);
    showNeverMatching();

    m_settings.applyFallbacks();
    QCoreApplication::processEvents();
    if (m_exitRequested)
        return;
    const double dpiX = m_window->logicalDpiX();
    const double dpiY = m_window->logicalDpiY();
    m_window->resize(twips::toPixels(m_settings.widthTwips(), dpiX),
                     twips::toPixels(m_settings.heightTwips(), dpiY));
    m_sized = true;

    // Replaces a table left by a crash; a blocked connection is refused from here on.
    m_kernel->update();
    connect(m_kernel, &KernelTable::stateChanged, m_status, &StatusDisplay::showLevelState);
    m_engine->checkCutAbility();
    m_status->showLevelState();
    m_trayActivity->start();
    makePrivateFolder(m_folder + QStringLiteral("/Logs"));
    // Commands from a terminal, once everything they act on is in place.
    new ControlBinding(*this, m_folder, m_language, m_window.get());
}

// The Activity tab: both connection lists, their actions and the count watcher. Runs after the
// display switches have been set from the settings.
void Application::wireMonitor() {
    m_monitor = new ConnectionMonitor(m_tables, m_window.get());
    m_monitor->setPrompter(&m_prompter);
    m_monitor->setProgramsMatter([this] { return !m_engine->programFiles().paths().isEmpty(); });
    m_monitor->setOwnerLookup(
        [this](const platform::SocketId& id) { return m_engine->programOwners().known(id); });
    m_connectionActions = new ConnectionActions(*m_monitor, m_tables, m_prompter, m_language,
                                                m_window.get());
    m_connectionActions->setEventSink(m_events.get());
    m_connectionActions->setSettings(&m_settings);
    m_connectionActions->setDoubleClickMode([this] { return m_doubleClickCloses; });
    m_programIcons = std::make_unique<ProgramIcons>(DesktopEntries::load());
    // The rule editor lists running programs with the pictures this list shows.
    RuleEditorDialog::setProgramIcons(
        [icons = m_programIcons.get()](const QString& path) { return icons->programIcon(path); });
    m_window->setConnectionModels(m_monitor->perConnectionModel(),
                                  m_monitor->perApplicationModel());
    MainWindow* window = m_window.get();
    m_activity = new ActivityTab(*m_monitor, *m_connectionActions, *m_programIcons, m_prompter,
                                 m_language, window, window->list(QStringLiteral("ListConnections")),
                                 window->list(QStringLiteral("ListConnPROC")),
                                 [window](const QString& name) { return window->action(name); });
    m_activity->onViewChanged = [window](ConnectionMonitor::View view) {
        window->setConnectionView(view == ConnectionMonitor::View::PerApplication
                                      ? MainWindow::ConnectionView::PerApplication
                                      : MainWindow::ConnectionView::PerConnection);
    };
    connect(m_countWatcher, &QTimer::timeout, m_monitor, &ConnectionMonitor::countWatcherTick);
    // Resolve Host of the log list: the remote address of the selected record.
    if (QAction* resolveLog = window->action(QStringLiteral("mnuResolveHostLog")))
        connect(resolveLog, &QAction::triggered, m_activity, [this] {
            QTreeView* log = m_window->list(QStringLiteral("ListLog"));
            const QModelIndexList rows =
                log && log->selectionModel() ? log->selectionModel()->selectedRows() : QModelIndexList();
            if (!rows.isEmpty())
                m_activity->resolve(log->model()->index(rows.first().row(), 4).data().toString());
        });
}

// Programs held at their first connection while asking is on: their rows in the alert, the
// rules their "always" answers make, and the preference.
void Application::wireQuestions(RuleListController* ruleList) {
    m_questions = new ProgramQuestions(m_enforcer, m_window.get());
    m_questions->setEventSink(m_events.get());
    m_questions->setSomeoneToAsk([this] { return someoneToAsk(); });
    const auto apply = [this](const preferences::Asking& asking) {
        m_questions->setTimeout(std::chrono::seconds(asking.timeoutSeconds));
        m_questions->setDefaultAllow(asking.defaultAllow);
        // Switched off: what waits gets the default answer now, and its record says so.
        if (!asking.ask)
            m_questions->answerAllByDefault();
        m_kernel->setAsking(asking.ask, asking.defaultAllow);
    };
    apply(preferences::asking(m_settings));
    connect(m_windows, &ShellWindows::askingChanged, m_questions, apply);
    // A rule from an answer is made as the alert's Block makes one.
    connect(m_questions, &ProgramQuestions::programRuleWanted, ruleList,
            [this, ruleList](const QString& path, bool accept, quint32 pid) {
                const monitor::ProgramFile file = monitor::programFileOf(pid, path);
                ruleList->addProgramRuleAtTop(
                    file.path, accept, monitor::programRuleDescription(m_language, file, accept));
            });
    auto* rows = new QuestionRows(*m_questions, m_prompter, m_language, m_window.get());
    rows->setIconSource(m_programIcons.get());
    AlertWindow* alert = m_activity->alertWindow();
    alert->setQuestions(*rows);
    connect(m_questions, &ProgramQuestions::added, alert, &AlertWindow::announce);
}

QString Application::askUnavailable() const {
    if (m_kernel && m_kernel->filterInForce())
        return m_enforcer.canAsk()
                   ? QString()
                   : localisedOr(m_language, language::asking::NoAskTable,
                                 QStringLiteral("the kernel refused the table that holds "
                                                "connections for a question"));
    if (!m_enforcer.isRunning() && !m_enforcer.failure().isEmpty())
        return m_enforcer.failure();
    if (!m_enforcer.filterReason().isEmpty())
        return m_enforcer.filterReason();
    return localisedOr(m_language, language::kernel::FilterNotLoaded,
                       QStringLiteral("the program filter is not loaded"));
}

bool Application::someoneToAsk() const {
    if (m_exitRequested || m_shuttingDown || m_prompter.unattended())
        return false;
    return !(m_startMinimized && m_tray && !m_tray->available());
}

void Application::applyLanguage() {
    m_language.fill(m_holders);
    RuleWords words = m_rules.words();
    const bool sound = m_language.fill(words);
    m_rules.setWords(words);
    const QString anyProgram = m_language.text(QStringLiteral("Add"), language::program::AnyProgram);
    m_rules.setAnyProgramText(anyProgram.isEmpty() ? RuleTable::AnyProgramEnglish : anyProgram);
    if (m_window)
        m_window->applyLanguage(m_language);
    if (!sound)
        report(localisedOr(m_language, language::failure::LanguageDamaged,
                           QStringLiteral("The language file %1 is damaged: the rules use the "
                                          "built-in English words."))
                   .arg(m_language.path()));
}

void Application::report(const QString& text) {
    m_prompter.message(text, Prompter::Exclamation, QStringLiteral("Tarvok"));
}

void Application::watchLogWrites() {
    // Once per outage: a balloon, and panel 1's tooltip until the records can be written.
    connect(m_events.get(), &EventList::writeFailed, this,
            [this](const QString& path, const QString& error) {
                const QString text =
                    localisedOr(m_language, language::failure::LogWrite,
                                QStringLiteral("The event log could not be written to %1: %2. The "
                                               "records are kept and written at the next try."))
                        .arg(path, error);
                GuardedPrompter::toStandardError(text);
                m_tray->showBalloon(text, QStringLiteral("Tarvok"), Notifier::Warning,
                                    Notifier::BalloonTimeoutMs);
                m_status->setLogFailure(text);
            });
    connect(m_events.get(), &EventList::writeResumed, m_status,
            [this] { m_status->setLogFailure(QString()); });
}

void Application::wireCommands() {
    MainWindow* window = m_window.get();
    const auto on = [window](const char* name, auto&& slot) {
        if (QAction* action = window->action(QLatin1String(name)))
            QObject::connect(action, &QAction::triggered, window, slot);
    };
    on("mnuNew", [this] { m_policy->NewPolicy(); });
    on("tbNew", [this] { m_policy->NewPolicy(); });
    on("mnuPolicyFile", [this] { m_policy->OpenPolicy(); });
    on("tbOpen", [this] { m_policy->OpenPolicy(); });
    on("mnuSave", [this] { m_policy->SavePolicy(0); });
    on("tbSave", [this] { m_policy->SavePolicy(0); });
    on("mnuSaveAs", [this] { m_policy->SavePolicy(1); });
    on("mnuShutdown", [this] { shutdown(true); });
    on("mnuLevel0", [this] { m_levels->clickLevel(0); });
    on("mnuLevel1", [this] { m_levels->clickLevel(1); });
    on("mnuLevel2", [this] { m_levels->clickLevel(2); });
    on("mnuPauseFirewall", [this] { m_levels->togglePause(); });
    // Only the user's toggle writes the setting, never the check mark set at start-up.
    const auto toggleSetting = [this](const char* action, const char* key) {
        if (QAction* item = m_window->action(QLatin1String(action)))
            connect(item, &QAction::triggered, this, [this, key](bool on) {
                m_settings.setValue(QLatin1String(key),
                                    on ? QStringLiteral("True") : QStringLiteral("False"));
            });
    };
    toggleSetting("mnuShowListeningPorts", "ShowListening");
    toggleSetting("mnuDisplay0000127001", "ShowLocal");
    toggleSetting("mnuDisplayUDP", "ShowUDP");

    if (QAction* clear = window->action(QStringLiteral("mnuClearAllHistory")))
        connect(clear, &QAction::triggered, this, [this] { m_history->clearAll(); });
    if (QAction* clear = window->action(QStringLiteral("mnuClearSelectionHistory")))
        connect(clear, &QAction::triggered, this, [this] {
            QList<int> rows;
            if (QTreeView* list = m_window->list(QStringLiteral("ListHistory")))
                for (const QModelIndex& index : list->selectionModel()->selectedRows())
                    rows.append(index.row());
            m_history->clearSelection(rows);
        });

    connect(m_levels, &SecurityLevels::changed, m_status, &StatusDisplay::showLevelState);
    connect(m_engine, &EnforcementEngine::cutAbilityChanged, this, [this](CutAbility ability) {
        m_status->showLevelState();
        if (const int reason = m_levels->monitorOnlyReasonKey(); reason && ability != CutAbility::Works)
            m_tray->showBalloon(mainText(m_language, reason),
                                mainText(m_language, language::level::MonitorOnly),
                                Notifier::Warning, Notifier::BalloonTimeoutMs);
    });
    connect(m_tray.get(), &TrayIcon::openRequested, this, &Application::showWindow);
    connect(m_tray.get(), &TrayIcon::pauseRequested, this, [this] { m_levels->togglePause(); });
    connect(m_tray.get(), &TrayIcon::exitRequested, this, [this] { shutdown(true); });
}

void Application::showWindow() {
    m_window->show();
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->raise();
    m_window->activateWindow();
}

void Application::shutdown(bool interactive) {
    if (m_shuttingDown)
        return;
    m_shuttingDown = true;
    if (!interactive)
        m_prompter.setUnattended();
    if (m_engine)
        m_engine->timer()->stop();
    // Start-up reports still held (the first pass has not come) before this end's own; an
    // unattended end drops them, as they are on standard error already.
    m_prompter.showHeld();
    // Nobody answers a question after this: each gets the default, and its record says so.
    if (m_questions)
        m_questions->answerAllByDefault();
    if (m_kernel)
        m_kernel->remove(); // nothing claims a policy once the program ends

    if (interactive && m_policy)
        m_policy->AskSaveAtExit();
    else if (m_policy && m_policy->SaveChanges())
        m_policy->keepUnsaved(); // nobody can say what to do with them: offered at the next start
    if (m_events && !m_events->flushAtExit())
        report(localisedOr(m_language, language::failure::LogLostAtExit,
                           QStringLiteral("The event records of this run could not be written "
                                          "to %1: %2. They are lost."))
                   .arg(m_events->dayFilePath(), m_events->lastError()));

    // A history that start-up has not read yet is left as it is, earlier runs and all.
    if (m_historyLoaded) {
        RunSummary run;
        run.startDate = m_startDate;
        run.startTime = m_startTime;
        run.endTime = QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat);
        run.receivedKB = run.sentKB = run.totalKB = QStringLiteral("0");
        if (m_traffic) {
            const TrafficDisplay::RunTotals traffic = m_traffic->closeRun();
            if (!traffic.endTime.isEmpty())
                run.endTime = traffic.endTime;
            run.receivedKB = traffic.receivedKB;
            run.sentKB = traffic.sentKB;
            run.totalKB = traffic.totalKB;
        }
        run.cuts = m_engine->cutCountText();
        if (!m_history->save(run))
            report(localisedOr(m_language, language::failure::HistoryWrite,
                               QStringLiteral("The history could not be written to %1: %2"))
                       .arg(m_history->filePath(), m_history->lastError()));
    }

    if (m_settingsLoaded) {
        // The window's size is stored only once start-up has sized it from the settings; a
        // size the user did not change keeps its stored twips, rather than drift by rounding
        // through pixels on every run.
        if (m_sized) {
            const auto storedOrCurrent = [](float stored, int pixels, double dpi) {
                return twips::toPixels(stored, dpi) == pixels
                           ? stored
                           : static_cast<float>(twips::fromPixels(pixels, dpi));
            };
            const QSize size = m_window->size();
            m_settings.setWindowSize(
                storedOrCurrent(m_settings.heightTwips(), size.height(), m_window->logicalDpiY()),
                storedOrCurrent(m_settings.widthTwips(), size.width(), m_window->logicalDpiX()));
        }
        QString error;
        if (!m_settings.save(&error))
            report(localisedOr(m_language, language::failure::SettingsSave,
                               QStringLiteral("The settings could not be saved to %1: %2"))
                       .arg(m_settings.configPath(), error));
    }

    QCoreApplication::processEvents();
    if (m_tray)
        m_tray->hide();
    if (m_window) {
        m_window->setClosingForGood(true);
        m_window->close();
    }
    m_lock.unlock();
    m_ended = true;
    emit finished();
}

void Application::offerKeptUnsaved() {
    // A question cut short by the end of the run leaves the kept rules for the next start.
    const auto answered = [this] { return !m_prompter.unattended() && !m_shuttingDown; };
    if (m_policy && answered())
        m_policy->offerKeptUnsaved(answered);
}

void Application::requestExit() {
    m_prompter.setUnattended();
    m_exitRequested = true;
    // Each open box or dialog returns as if cancelled, so that the code that opened it goes
    // on and the event loops it ran end.
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
            dialog->reject();
    if (!m_starting)
        QMetaObject::invokeMethod(this, [this] { shutdown(false); }, Qt::QueuedConnection);
}

void Application::installSignalHandlers() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &Application::onSignal);
    struct sigaction action {};
    action.sa_handler = onUnixSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    // The desktop session's end: save as a signal would, asking nothing.
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(gui, &QGuiApplication::commitDataRequest, this, &Application::requestExit);
}

void Application::onSignal() {
    char byte = 0;
    (void)!::read(g_signalPipe[1], &byte, 1);
    requestExit();
}

} // namespace tarvok
