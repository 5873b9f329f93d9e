#pragma once
// The heart of the firewall. Ten times a second (Timer1) one pass reads the kernel's TCP
// table, decides for every connection whether the security level and the rule table let it
// live, cuts the ones that must go, records what the matching rule asks to be recorded, counts
// the cuts and each rule's hits, and leaves a notice that the tick handler shows as a balloon.

#include "engine/ConnectionMemory.h"
#include "engine/ConnectionTables.h"
#include "engine/EngineServices.h"
#include "engine/ProgramFiles.h"
#include "engine/ProgramOwners.h"
#include "engine/RuleIndex.h"
#include "engine/RuleTable.h"
#include "engine/Termination.h"
#include "engine/TextHolders.h"

#include "platform/CutProbe.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

namespace tarvok {

class Prompter;

enum class SecurityLevel { Allow = 0, Normal = 1, Block = 2 };
using platform::CutAbility;

class EnforcementEngine : public QObject {
    Q_OBJECT
public:
    static constexpr int TickIntervalMs = 100;
    // A pass lets the user interface work when this long has passed since it last did.
    static constexpr int YieldBudgetMs = 5;

    EnforcementEngine(ConnectionTables& tables, RuleTable& rules, QObject* parent = nullptr);

    // Collaborators; any may be left unset, and then its part of the work is skipped.
    void setEventSink(EventSink* sink) { m_events = sink; }
    void setNotifier(Notifier* notifier) { m_notifier = notifier; }
    void setSettings(const SettingsStore* settings) { m_settings = settings; }
    void setLocaliser(const Localiser* localiser) { m_localiser = localiser; }
    void setPrompter(Prompter* prompter) { m_prompter = prompter; }
    void setTextHolders(const TextHolders* holders) { m_holders = holders; }
    // What the pass calls where it lets the user interface work; by default timers, painting
    // and socket events run there, but not user input, so that no click can open a modal
    // dialog inside a pass. Tests hook in here to act in the middle of a pass.
    void setYield(std::function<void()> yield) { m_yield = std::move(yield); }
    // How long a pass runs before it yields at the next yield point; 0 yields at every one.
    void setYieldBudget(int milliseconds) { m_yieldBudgetMs = milliseconds; }
    // How the engine finds out whether it can cut; by default the platform's probe.
    void setCutProbe(std::function<CutAbility()> probe) { m_probe = std::move(probe); }

    // The program files that the rules name, followed as they are replaced; the engine keeps
    // their paths those of the table. Others read identities here (and follow changed()).
    ProgramFiles& programFiles() { return m_programFiles; }
    // The owners of sockets, learnt while any rule names a program.
    ProgramOwners& programOwners() { return m_owners; }

    // Timer1: started at construction; the pause switch stops and starts it.
    QTimer* timer() { return &m_timer; }

    SecurityLevel level() const { return m_level; }
    void setLevel(SecurityLevel level) { m_level = level; }

    // Connections cut by rules since start, as the status bar and the history show it.
    qint64 cutCount() const { return m_cutCount; }
    QString cutCountText() const { return QString::number(m_cutCount); }
    // The notice of the last rule-based cut not yet shown; empty when there is none.
    const QString& pendingNotice() const { return m_pendingNotice; }

    bool passRunning() const { return m_passRunning; }

    // What decides a connection now: nothing (a row the pass passes over), the level, or the
    // rule at row (0-based). A connected UDP socket (udp) is decided by the rules that cover
    // UDP, as the pass decides it. owner is the executable of the process behind the row;
    // without it, as in a pass that does not know the owner yet, a rule that names a program
    // decides nothing.
    struct Decision {
        enum Kind { Nothing, Level, Rule } kind = Nothing;
        int row = RuleIndex::NoMatch;
    };
    Decision decide(const TcpRow& row, bool udp = false, const ProgramIdentity* owner = nullptr);

    // A connection that the kernel table refused before its handshake: counted, announced and
    // recorded as a cut is: when its rule logs, and always at the Block level. countRefused
    // only counts, for a flood. A refused UDP flow (udp) is matched against the rules that
    // cover UDP and recorded as UDP. owner is the program the program filter refused, when it
    // was the filter: its rules count the hit as they decided it.
    // program is that program's file, named in the record and the balloon.
    void refused(const TcpRow& row, bool udp = false, const ProgramIdentity* owner = nullptr,
                 const QString& program = {});
    void countRefused(qint64 count);

    // Whether cuts can work at all, as last found out (at start and after a failed cut). While
    // they cannot, a pass sends no destroy request: a logged block records its failure once.
    CutAbility cutAbility() const { return m_cutAbility; }
    // Asks the probe now; emits cutAbilityChanged when the answer differs from the last one.
    void checkCutAbility();

public slots:
    // One tick of Timer1: a pass, then the pending notice as a balloon.
    void tick();
    // One pass over a fresh read of the TCP table. A call while a pass is yielding returns
    // at once: passes never nest.
    void runPass();

signals:
    void cutCountChanged(qint64 count);
    void cutAbilityChanged(CutAbility ability);

private:
    struct Match {
        int row;
        bool accept;
        bool logged;
    };
    bool skipped(const TcpRow& row) const;
    // The first rule that matches the row; owner is the executable of the process behind it,
    // nullptr when unknown (then only the rules that name no program decide).
    int firstMatch(const TcpRow& row, const ProgramIdentity* owner = nullptr);
    // The first rule covering UDP that matches the row's remote end.
    int udpMatch(const TcpRow& row, const ProgramIdentity* owner = nullptr);
    // Brings the indexes and the followed program paths up to date with the table and the
    // program files.
    void refreshIndex(PolicyIndex& index, std::uint8_t protocol);
    // Cuts the connected UDP sockets that the level or a block rule stops; false when the
    // pass was taken over while it yielded.
    bool passUdp(quint64 pass);
    // False when the pass was superseded while it yielded and must stop.
    bool handleMatch(TcpRow& row, const Match& match, quint64 pass);
    // Records the row unless the memory knows it; status is built only when it is recorded.
    template <typename Status>
    void recordOnce(const TcpRow& row, bool failedCut, Status&& status, int position);
    void record(const TcpRow& row, const QString& status, int position, bool udp = false,
                const QString& program = {});
    QString notice(const TcpRow& row, int position, const QString& program = {}) const;
    QString text(QString TextHolders::*holder) const;
    QString programLabel() const;
    void yieldToUi();
    // A yield point inside a pass: yields once the budget is spent. False when a newer pass
    // has taken over meanwhile.
    bool yieldPoint(quint64 pass);
    void cutFailed(std::uint32_t result);
    // Counts the accepted connections of the batch that are new; runs before every yield, so
    // that the rows it counts for are those of the table it matched against.
    void countAccepted();
    // A pass whatever is running: the tick's way to take over from a pass held by a dialog.
    void runFreshPass();

    ConnectionTables& m_tables;
    RuleTable& m_rules;
    Termination m_termination;
    PolicyIndex m_index;
    PolicyIndex m_udpIndex; // for connected and refused UDP
    ProgramFiles m_programFiles;
    ProgramOwners m_owners;
    quint64 m_pathsGeneration = ~quint64{0}; // the table generation the paths were taken at
    QTimer m_timer;
    SecurityLevel m_level = SecurityLevel::Normal;
    qint64 m_cutCount = 0;
    QString m_pendingNotice;
    bool m_passRunning = false;
    bool m_yielding = false;
    QElapsedTimer m_yieldStarted;  // when the current yield began
    QElapsedTimer m_sinceYield;    // since the pass last yielded
    unsigned m_pointsSinceClock = 0;
    int m_yieldBudgetMs = YieldBudgetMs;
    quint64 m_currentPass = 0;     // serial number of the newest pass
    bool m_unsupportedShown = false;
    std::vector<TcpRow> m_spareRows; // a pass's own copy of the table, kept between passes
    std::vector<platform::SocketId> m_spareIds; // the sockets of those rows, when owners matter
    // Connections whose accept (or failed cut) was recorded: recorded again only after their
    // state changed or they left the table.
    ConnectionMemory m_recorded;
    // Connections counted as hits of their rule: each once while it stays in the table.
    ConnectionMemory m_counted;
    struct Accepted {
        std::uint64_t print;
        int rule;
    };
    std::vector<Accepted> m_accepted; // matched since the last count, not yet counted

    EventSink* m_events = nullptr;
    Notifier* m_notifier = nullptr;
    const SettingsStore* m_settings = nullptr;
    const Localiser* m_localiser = nullptr;
    Prompter* m_prompter = nullptr;
    const TextHolders* m_holders = nullptr;
    std::function<void()> m_yield;
    CutAbility m_cutAbility = CutAbility::Works;
    std::function<CutAbility()> m_probe;
};

} // namespace tarvok
