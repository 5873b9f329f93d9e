// Rules edited, moved, deleted and added through the window's real commands while enforcement
// passes run: each decision of a pass must follow the table as it stood at that moment.

#include "PolicyWindow.h"
#include "engine/EnforcementEngine.h"
#include "support/Sandbox.h"

#include <QMenu>

#include <functional>
#include <map>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// The first enabled rule matching a connection to address:port, as the rule walk defines it;
// -1 for none.
int walk(const RuleTable& table, const QString& address, int port) {
    const RuleWords& words = table.words();
    for (int row = 0; row < table.count(); ++row) {
        const Rule& rule = table.rule(row);
        if (rule.enabled == words.disabled)
            continue;
        if ((rule.address == words.anyAddress || rule.address == address) &&
            (rule.port == words.anyPort || rule.port == QString::number(port)))
            return row;
    }
    return -1;
}

// Checks every record against the table at the moment of its decision.
class CheckingEvents : public EventSink {
public:
    std::function<void(const EventRecord&)> onAppend;
    void append(const EventRecord& record, bool) override { onAppend(record); }
    void flush() override {}
};

TEST(EditsDuringPasses, EveryDecisionFollowsTheTableOfItsMoment) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    PolicyWindow w;
    w.prompter.answers = QList<Prompter::Answer>(100, Prompter::Yes);

    constexpr int Connections = 8;
    std::vector<std::unique_ptr<TcpListener>> listeners;
    std::vector<TcpConnection> connections;
    std::map<int, int> byClientPort; // client port -> connection
    for (int i = 0; i < Connections; ++i) {
        listeners.push_back(std::make_unique<TcpListener>("127.0.0.2"));
        connections.push_back(test::connect("127.0.0.3", *listeners.back()));
        byClientPort[connections.back().clientPort] = i;
        // Every connection has a rule, accept and block alternating, all logged.
        w.addRow(i % 2 == 0, "127.0.0.2", QString::number(listeners.back()->port()),
                 "c" + QString::number(i));
    }

    platform::SockDiag diag;
    ConnectionTables tables(diag);
    EnforcementEngine engine(tables, w.table);
    engine.timer()->stop();
    engine.setYieldBudget(0); // yield at every point where the pass may yield
    CheckingEvents events;
    engine.setEventSink(&events);

    std::vector<bool> cut(Connections, false);
    int accepted = 0;
    const auto targetOf = [&](int i) { return listeners[i]->port(); };

    events.onAppend = [&](const EventRecord& record) {
        const int i = byClientPort.at(record.localPort.toInt());
        // Nothing yields between a decision and its record: the table is the one the
        // decision saw.
        const int row = walk(w.table, "127.0.0.2", targetOf(i));
        ASSERT_GE(row, 0) << "connection " << i << " recorded without a rule";
        const bool blocked = record.status == "BLOCKED CONNECTION";
        EXPECT_EQ(w.table.isAccept(row), !blocked) << i;
        EXPECT_EQ(record.rule, "(" + QString::number(row + 1) + ")") << i;
        accepted += !blocked;
    };

    // The edits, one per yield, each through a command a person uses.
    int step = 0;
    const auto edit = [&] {
        const int count = w.table.count();
        if (count == 0)
            return;
        const int row = step * 3 % count;
        w.select(w.rules(), row);
        switch (step++ % 6) {
        case 0: // enable or disable through the context menu
            emit w.window.menu("mnuListRules")->aboutToShow();
            w.action("mnuEnabledRule")->trigger();
            break;
        case 1:
            w.action("tbUp")->trigger();
            break;
        case 2: // flip the action in the editor
            w.action("tbEdit")->trigger();
            w.field<QRadioButton>(w.table.isAccept(row) ? "Option2" : "Option1")->setChecked(true);
            w.click("cmdModify");
            w.controller->editor()->close();
            break;
        case 3:
            w.action("tbDown")->trigger();
            break;
        case 4:
            w.action("mnuDeleteRule")->trigger();
            break;
        case 5: // a new rule for a connection whose rule may be gone
            w.openAdd();
            w.fill(step % 4 == 0, "127.0.0.2", QString::number(targetOf(step % Connections)));
            w.click("cmdAdd");
            w.controller->editor()->close();
            break;
        }
    };

    engine.setYield([&] {
        // Cuts since the last yield were decided on the table as it still stands.
        for (int i = 0; i < Connections; ++i) {
            if (cut[i])
                continue;
            if (isCut(connections[i])) {
                cut[i] = true;
                const int row = walk(w.table, "127.0.0.2", targetOf(i));
                EXPECT_TRUE(row >= 0 && !w.table.isAccept(row))
                    << "connection " << i << " cut without a block rule";
            }
        }
        edit();
    });

    for (int pass = 0; pass < 6; ++pass)
        engine.runPass();
    // Both kinds of decision were made while every kind of edit went on.
    EXPECT_GT(step, 12);
    EXPECT_GT(accepted, 0);
    EXPECT_GT(std::count(cut.begin(), cut.end(), true), 0);
}

} // namespace
