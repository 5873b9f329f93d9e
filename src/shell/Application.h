#pragma once
// The running program: start-up in a fixed order of steps, the objects that live for the whole
// run, the wiring between the main window, the tray icon and the logic, and the orderly
// shutdown that every path to the end goes through.

#include "engine/ConnectionTables.h"
#include "engine/EnforcerLink.h"
#include "engine/RuleTable.h"
#include "engine/TextHolders.h"
#include "platform/SockDiag.h"
#include "records/EventList.h"
#include "records/History.h"
#include "settings/LanguageFile.h"
#include "settings/Settings.h"
#include "shell/GuardedPrompter.h"
#include "stats/ProtocolCounters.h"
#include "shell/QtPrompter.h"

#include <QLockFile>
#include <QObject>
#include <QTimer>

#include <memory>

namespace tarvok {

class ActivityTab;
class ConnectionActions;
class ConnectionMonitor;
class EnforcementEngine;
class KernelTable;
class ProgramIcons;
class MainWindow;
class PolicyCommands;
class ProgramQuestions;
class RuleInsight;
class RuleListController;
class RuleListModel;
class SecurityLevels;
class StatusDisplay;
class TrafficDisplay;
class ShellWindows;
class TrayIcon;

class Application : public QObject {
    Q_OBJECT
public:
    // programFolder holds config.ini, the policies, History.tvh, Logs/ and Language/. A null
    // prompter means real dialogs.
    explicit Application(const QString& programFolder, Prompter* prompter = nullptr,
                         QObject* parent = nullptr);
    ~Application() override;

    // Runs the start-up steps. False when the program must end at once (another instance
    // runs, the lock cannot be taken, or the kernel cannot list connections; the user has
    // been told why), or when a signal ended start-up: ended() then tells it was in order.
    // The other reports of start-up wait until the first pass has run, so that no box holds
    // enforcement back.
    bool start(const QStringList& arguments);

    // Ends the run for good: the unsaved-policy question (asked only when interactive; a
    // shutdown nobody can answer keeps unsaved rules beside the policy, offered back at the
    // next start once the passes run), the remaining event records, the history, the window
    // size and the settings, each only once start-up has read it.
    // A failure is reported and the later steps still run; when not interactive, failures go
    // to standard error only. Runs once; emits finished().
    void shutdown(bool interactive);
    bool ended() const { return m_ended; }

    // A shutdown that nobody can answer: open boxes and dialogs are closed, no new one opens,
    // and the non-interactive shutdown runs once the program is back in its event loop (at
    // the end of start-up when it comes during start-up).
    void requestExit();

    // SIGTERM, SIGINT and SIGHUP request the exit. Call once, from main().
    void installSignalHandlers();

    // Shows the main window, restored and in front.
    void showWindow();

    bool startedMinimized() const { return m_startMinimized; }
    MainWindow* window() const { return m_window.get(); }
    EnforcementEngine* engine() const { return m_engine; }
    SecurityLevels* levels() const { return m_levels; }
    KernelTable* kernelTable() const { return m_kernel; }
    TrayIcon* tray() const { return m_tray.get(); }
    RuleTable& rules() { return m_rules; }
    EventList* events() const { return m_events.get(); }
    HistoryList* history() const { return m_history.get(); }
    PolicyCommands* policy() const { return m_policy.get(); }
    TrafficDisplay* traffic() const { return m_traffic; }
    Settings& settings() { return m_settings; }
    ConnectionMonitor* monitor() const { return m_monitor; }
    ConnectionActions* connectionActions() const { return m_connectionActions; }
    ActivityTab* activity() const { return m_activity; }
    RuleListModel* ruleList() const { return m_ruleList; }
    RuleInsight* insight() const { return m_insight; }
    ShellWindows* windows() const { return m_windows; }
    // The questions about programs held at their first connection, and the link they come by.
    ProgramQuestions* questions() const { return m_questions; }
    EnforcerLink& enforcer() { return m_enforcer; }

signals:
    void finished();

private:
    void loadMainWindow();
    void startEnforcer();
    void applyLanguage();
    void wireCommands();
    void wireMonitor();
    bool startUp(const QStringList& arguments);
    void onSignal();
    void report(const QString& text);
    void watchLogWrites();
    void offerKeptUnsaved();
    void wireQuestions(RuleListController* ruleList);
    // Why asking cannot work now (the program filter is not in force); empty when it can.
    QString askUnavailable() const;
    // Whether a question can reach a person now: not at the end, nor when started minimised
    // where no tray can bring the window back.
    bool someoneToAsk() const;

    QString m_folder;
    QtPrompter m_qtPrompter;
    GuardedPrompter m_prompter;
    QLockFile m_lock;
    Settings m_settings;
    LanguageFile m_language;
    TextHolders m_holders;
    platform::SockDiag m_diag;
    // The one process that holds capabilities; it outlives everything that asks it to act.
    EnforcerLink m_enforcer;
    ConnectionTables m_tables{m_diag};
    SystemCounters m_counters{&m_prompter}; // read by the traffic display
    RuleTable m_rules;
    std::unique_ptr<EventList> m_events;
    std::unique_ptr<HistoryList> m_history;
    std::unique_ptr<PolicyCommands> m_policy;
    std::unique_ptr<TrayIcon> m_tray;
    QString m_startDate; // of this run, for the history
    QString m_startTime;
    QString m_doubleClickCloses = QStringLiteral("1"); // "1" close the connection, "0" properties
    std::unique_ptr<ProgramIcons> m_programIcons;
    bool m_startMinimized = false;
    bool m_shuttingDown = false;
    bool m_ended = false;
    bool m_starting = false;
    QMetaObject::Connection m_heldReports; // shows start-up's reports after the first pass
    bool m_exitRequested = false;
    // What start-up has read so far: a shutdown writes back only these.
    bool m_settingsLoaded = false;
    bool m_historyLoaded = false;
    bool m_sized = false;
    // Declared last so that it goes first: the engine, the levels and the timers are its
    // children and must not outlive what they point to.
    std::unique_ptr<MainWindow> m_window;
    EnforcementEngine* m_engine = nullptr;
    SecurityLevels* m_levels = nullptr;
    KernelTable* m_kernel = nullptr; // the policy in the kernel's packet filter
    QTimer* m_countWatcher = nullptr;  // Timer1_IMPROVED
    QTimer* m_trayActivity = nullptr;  // Timer2
    TrafficDisplay* m_traffic = nullptr;
    ConnectionMonitor* m_monitor = nullptr;
    ConnectionActions* m_connectionActions = nullptr;
    ActivityTab* m_activity = nullptr;
    RuleListModel* m_ruleList = nullptr; // what the Policy list shows of m_rules
    RuleInsight* m_insight = nullptr;
    ShellWindows* m_windows = nullptr; // the secondary windows and the Log tab's commands
    StatusDisplay* m_status = nullptr; // the level and state in the panels and the tray
    ProgramQuestions* m_questions = nullptr;
};

} // namespace tarvok
