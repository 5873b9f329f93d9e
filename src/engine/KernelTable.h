#pragma once
// Keeps Tarvok's nftables table in step with the policy: every change of what the table is
// compiled from (a rule's action, switch, address or port, the order, the words, the level or
// the pause switch) writes the whole table anew in one transaction and then runs a pass at
// once, so that what was already open and is now blocked is cut too. A hit count, a rule's
// number, icon, log switch or description writes nothing. Each tick it checks
// that the table is still the one it wrote and puts it back when another program removed or
// changed it. It never touches any other table, and remove() takes its own away at the end.
// The rules are compiled on the GUI thread; libnftables runs on a worker thread of the table's
// own that shares nothing while it runs: it gets the script and hands back success or the error.

#include "engine/EnforcementEngine.h"
#include "engine/KernelRefusals.h"
#include "engine/KernelRules.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tarvok {

class SecurityLevels;

// What is in force: new connections refused by the kernel table and open ones cut; open ones
// cut only (the kernel refused the table); nothing but listing (cuts cannot work either).
enum class EnforcementState { TableAndCuts, CutsOnly, MonitorOnly };

class KernelTable : public QObject {
    Q_OBJECT
public:
    // Writes a script as one transaction; false with the reason in error when it fails.
    using Writer = std::function<bool(const std::string& script, std::string& error)>;
    // The ruleset's generation and a fingerprint of Tarvok's table as the kernel holds it
    // (0 when absent); used to notice a change made by someone else.
    struct Observed {
        std::uint32_t generation = 0;
        std::uint64_t table = 0;
    };
    using Observer = std::function<Observed()>;

    static constexpr int CheckIntervalMs = 100;
    static constexpr int RetryIntervalMs = 5000;

    KernelTable(RuleTable& rules, EnforcementEngine& engine, SecurityLevels* levels,
                QObject* parent = nullptr);
    ~KernelTable() override;

    // Stand-ins for tests; by default libnftables and netlink. The writer runs on the worker.
    void setWriter(Writer writer);
    void setObserver(Observer observer) { m_observer = std::move(observer); }
    // The NFLOG group and how the rules are compiled; takes effect at the next write.
    KernelRuleOptions& options() { return m_options; }
    // Where the table's being put back is announced; either may be left unset.
    void setNotifier(Notifier* notifier);
    void setLocaliser(const Localiser* localiser);
    // The refusals the kernel reports; open once the first write is made.
    KernelRefusals& refusals() { return m_refusals; }

    // Writes the table now, on the calling thread, after any write in flight (at start-up:
    // replaces one left behind by a crash).
    void update();
    // Removes the table, after any write in flight; later changes write nothing. Every orderly
    // end calls it.
    void remove();
    // Waits until the worker has written what was handed to it and takes in the outcome; false
    // when that took longer than timeoutMs. For tests and the benchmark.
    bool waitForWrite(int timeoutMs = 5000);

    bool inForce() const { return m_inForce; }
    // Why the kernel refused the table; empty while it is in force.
    const QString& failure() const { return m_failure; }
    EnforcementState state() const;
    // What panel 1 and the tooltips say while only open connections are cut: [Main] 280, a
    // dash and the kernel's reason. Empty in every other state.
    QString cutsOnlyText() const;
    // How often the table was put back after someone else removed or changed it.
    int restoredCount() const { return m_restored; }
    // Writes that succeeded, for tests and the benchmark.
    int writeCount() const { return m_writes; }

signals:
    void stateChanged();
    void restored();
    // A write handed to the worker is done and its outcome taken in.
    void written();

private:
    enum After { Nothing = 0, RunPass = 1, Restore = 2 };
    void cellsChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                      const QList<int>& roles);
    void schedule();
    std::string script() const;
    void writeNow();
    void submit(int after);
    void work();
    // Blocks until the worker is idle and drops what waits for it.
    void quiesce();
    void finished(bool ok, const std::string& error, int after);
    void apply(bool ok, const std::string& error);
    bool writing() const;
    void check();

    RuleTable& m_rules;
    EnforcementEngine& m_engine;
    SecurityLevels* m_levels;
    KernelRuleOptions m_options;
    Writer m_writer;
    Observer m_observer;
    Notifier* m_notifier = nullptr;
    const Localiser* m_localiser = nullptr;
    KernelRefusals m_refusals;
    struct Native;
    std::unique_ptr<Native> m_native;
    QTimer m_watch;
    bool m_scheduled = false;
    bool m_removed = false;
    bool m_inForce = false;
    bool m_tried = false;
    QString m_failure;
    Observed m_written;      // what the kernel held right after the last write
    qint64 m_lastTry = 0;    // msecs since epoch of the last failed write
    int m_restored = 0;
    int m_writes = 0;

    // Shared with the worker, under m_mutex: the newest script waiting (it supersedes an older
    // one), what to do once it is written, and whether the writer is running.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::string m_pending;
    bool m_hasPending = false;
    int m_pendingAfter = Nothing;
    bool m_busy = false;
    int m_epoch = 0; // moves on every write on this thread; older outcomes are dropped
    bool m_stop = false;
    std::thread m_worker;
};

} // namespace tarvok
