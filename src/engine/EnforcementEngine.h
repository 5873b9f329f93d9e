#pragma once
// The heart of the firewall. Ten times a second (Timer1) one pass reads the kernel's TCP
// table, decides for every connection whether the security level and the rule table let it
// live, cuts the ones that must go, records what the matching rule asks to be recorded, counts
// the cuts and leaves a notice that the tick handler shows as a balloon.

#include "engine/ConnectionTables.h"
#include "engine/EngineServices.h"
#include "engine/RuleIndex.h"
#include "engine/RuleTable.h"
#include "engine/Termination.h"
#include "settings/TextHolders.h"

#include <QObject>
#include <QTimer>

#include <functional>

namespace tarvok {

class Prompter;

enum class SecurityLevel { Allow = 0, Normal = 1, Block = 2 };

class EnforcementEngine : public QObject {
    Q_OBJECT
public:
    static constexpr int TickIntervalMs = 100;

    EnforcementEngine(ConnectionTables& tables, RuleTable& rules, QObject* parent = nullptr);

    // Collaborators; any may be left unset, and then its part of the work is skipped.
    void setEventSink(EventSink* sink) { m_events = sink; }
    void setNotifier(Notifier* notifier) { m_notifier = notifier; }
    void setSettings(const SettingsStore* settings) { m_settings = settings; }
    void setLocaliser(const Localiser* localiser) { m_localiser = localiser; }
    void setPrompter(Prompter* prompter) { m_prompter = prompter; }
    void setTextHolders(const TextHolders* holders) { m_holders = holders; }
    // What the pass calls where it lets the user interface work; by default
    // QCoreApplication::processEvents(). Tests hook in here to act in the middle of a pass.
    void setYield(std::function<void()> yield) { m_yield = std::move(yield); }

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

public slots:
    // One tick of Timer1: a pass, then the pending notice as a balloon.
    void tick();
    // One pass over a fresh read of the TCP table. A call while a pass is yielding returns
    // at once: passes never nest.
    void runPass();

signals:
    void cutCountChanged(qint64 count);

private:
    struct Match {
        int row;
        bool accept;
        bool logged;
    };
    bool skipped(const TcpRow& row) const;
    int firstMatch(const TcpRow& row);
    void handleMatch(TcpRow& row, const Match& match);
    void record(const TcpRow& row, const QString& status, int position);
    QString notice(const TcpRow& row, int position) const;
    QString text(QString TextHolders::*holder) const;
    void yieldToUi();

    ConnectionTables& m_tables;
    RuleTable& m_rules;
    Termination m_termination;
    RuleIndex m_index;
    QTimer m_timer;
    SecurityLevel m_level = SecurityLevel::Normal;
    qint64 m_cutCount = 0;
    QString m_pendingNotice;
    bool m_passRunning = false;
    bool m_unsupportedShown = false;
    std::vector<TcpRow> m_rows; // this pass's own copy of the table

    EventSink* m_events = nullptr;
    Notifier* m_notifier = nullptr;
    const SettingsStore* m_settings = nullptr;
    const Localiser* m_localiser = nullptr;
    Prompter* m_prompter = nullptr;
    const TextHolders* m_holders = nullptr;
    std::function<void()> m_yield;
};

} // namespace tarvok
