#pragma once
// Keeps the enforcer's nftables table in step with the policy: every change of what the table
// is compiled from (a rule's action, switch, address or port, the order, the words, the level
// or the pause switch) hands the whole policy, as typed rules, to the enforcer, which writes it
// in one transaction; then a pass runs at once, so that what was already open and is now
// blocked is cut too. A hit count, a rule's number, icon, log switch or description writes
// nothing. The table
// carries nftables' owner flag, so no other program can change it, and it goes with the
// enforcer. One write is in flight at a time; changes meanwhile make one more write after it.

#include "engine/EnforcementEngine.h"
#include "engine/EnforcerLink.h"
#include "engine/KernelRefusals.h"

#include <QObject>
#include <QString>
#include <QTimer>

namespace tarvok {

class SecurityLevels;

// What is in force: new connections refused by the kernel table and open ones cut; open ones
// cut only (the kernel refused the table); nothing but listing (cuts cannot work either).
enum class EnforcementState { TableAndCuts, CutsOnly, MonitorOnly };

class KernelTable : public QObject {
    Q_OBJECT
public:
    static constexpr int RetryIntervalMs = 5000;

    KernelTable(RuleTable& rules, EnforcementEngine& engine, SecurityLevels* levels,
                EnforcerLink& enforcer, QObject* parent = nullptr);
    ~KernelTable() override;

    // Where failures are announced; either may be left unset.
    void setNotifier(Notifier* notifier);
    void setLocaliser(const Localiser* localiser);
    // The refusals the kernel reports through the enforcer.
    KernelRefusals& refusals() { return m_refusals; }
    // Whether the enforcer removes the table (true) or keeps it in force (false) when the
    // window ends without saying goodbye; takes effect at the next write.
    void setAllowAllOnCrash(bool allowAll);

    // Whether connections of programs without a rule are held and their program asked
    // (EnforcerLink::question), and what other users' programs get at once; takes effect at
    // the next write. Asking needs the program filter (filterInForce()).
    void setAsking(bool ask, bool defaultAllow);
    bool asking() const { return m_ask; }

    // Writes the table now and waits for the outcome.
    void update();
    // The orderly end: the enforcer removes the table, passes on the last refusals (recorded
    // before this returns) and ends. Later changes write nothing.
    void remove();
    // Waits until no write is in flight and its outcome is taken in; false when that took
    // longer than timeoutMs. For tests and the benchmark.
    bool waitForWrite(int timeoutMs = 5000);

    bool inForce() const { return m_inForce; }
    // Why the kernel refused the table; empty while it is in force.
    const QString& failure() const { return m_failure; }
    EnforcementState state() const;
    // What panel 1 and the tooltips say while only open connections are cut: [Main] 280, a
    // dash and the kernel's reason. Empty in every other state.
    QString cutsOnlyText() const;
    // Whether the program filter decides outgoing connections in the kernel now.
    bool filterInForce() const;
    // Why program rules are enforced by cutting after connect ([Main] 441, a dash and the
    // reason), while enabled rules name a program and the filter is not in force; else empty.
    QString programRulesText() const;
    // The reason alone, for the terminal's status; empty as above.
    QString programRulesReason() const;
    // Writes that succeeded, for tests and the benchmark.
    int writeCount() const { return m_writes; }

signals:
    void stateChanged();
    // A write is done and its outcome taken in.
    void written();

private:
    QString text(int key, const char* fallback) const;
    void cellsChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                      const QList<int>& roles);
    void schedule();
    void submit(bool runPass);
    void onWritten(int error, const QString& reason);
    void apply(bool ok, const QString& error);
    void retry();
    void enforcerGone(const QString& reason);

    RuleTable& m_rules;
    EnforcementEngine& m_engine;
    SecurityLevels* m_levels;
    EnforcerLink& m_enforcer;
    Notifier* m_notifier = nullptr;
    const Localiser* m_localiser = nullptr;
    KernelRefusals m_refusals;
    QTimer m_retry;
    bool m_scheduled = false;
    bool m_removed = false;
    bool m_inForce = false;
    bool m_tried = false;
    bool m_allowAllOnCrash = false;
    bool m_ask = false;
    bool m_askDefaultAllow = false;
    // A write handed to the enforcer and not answered yet; a change meanwhile waits for it.
    bool m_inFlight = false;
    bool m_changedSince = false;
    bool m_passAfter = false; // run a pass once the write in flight is answered
    QString m_failure;
    QString m_filterFailure; // why the filter refused the last policy the table took
    QString m_programText;   // programRulesText() as last announced
    int m_writes = 0;
};

} // namespace tarvok
