#pragma once
// Keeps Tarvok's nftables table in step with the policy: every change of the rule table, the
// level or the pause switch writes the whole table anew in one transaction and then runs a pass
// at once, so that what was already open and is now blocked is cut too. Each tick it checks
// that the table is still the one it wrote and puts it back when another program removed or
// changed it. It never touches any other table, and remove() takes its own away at the end.

#include "engine/EnforcementEngine.h"
#include "engine/KernelRefusals.h"
#include "engine/KernelRules.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

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

    // Stand-ins for tests; by default libnftables and netlink.
    void setWriter(Writer writer) { m_writer = std::move(writer); }
    void setObserver(Observer observer) { m_observer = std::move(observer); }
    // The NFLOG group and how the rules are compiled; takes effect at the next write.
    KernelRuleOptions& options() { return m_options; }
    // Where the table's being put back is announced; either may be left unset.
    void setNotifier(Notifier* notifier);
    void setLocaliser(const Localiser* localiser);
    // The refusals the kernel reports; open once the first write is made.
    KernelRefusals& refusals() { return m_refusals; }

    // Writes the table now (at start-up: replaces one left behind by a crash).
    void update();
    // Removes the table; later changes write nothing. Every orderly end calls it.
    void remove();

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

private:
    void schedule();
    void writeNow();
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
};

} // namespace tarvok
