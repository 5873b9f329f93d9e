#include "engine/EnforcementEngine.h"
#include "records/EventList.h"
#include "fakes/EngineFakes.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>

using namespace tarvok;
using tarvok::test::address;
using tarvok::test::readOutcome;

namespace {

constexpr int Alive = -ETIMEDOUT; // what readOutcome reports for a quiet, open connection

Rule makeRule(const QString& action, const QString& address, const QString& port,
              bool logged = true, bool enabled = true) {
    Rule rule;
    rule.action = action;
    rule.address = address;
    rule.port = port;
    rule.log = logged ? QString() : QStringLiteral("disabled");
    rule.enabled = enabled ? QString() : QStringLiteral("false");
    rule.description = QStringLiteral("none");
    return rule;
}

// One engine over the real kernel table of this test's private network namespace.
struct Firewall {
    platform::SockDiag diag;
    ConnectionTables tables{diag};
    RuleTable rules;
    test::RecordingEvents events;
    test::RecordingNotifier notifier;
    test::MapSettings settings;
    test::MapLocaliser localiser;
    EnforcementEngine engine{tables, rules};

    Firewall() {
        engine.timer()->stop(); // passes run when the test says so
        engine.setEventSink(&events);
        engine.setNotifier(&notifier);
        engine.setSettings(&settings);
        engine.setLocaliser(&localiser);
        settings.values["PopupAlert"] = "True";
        localiser.texts["Main/83"] = "Tarvok Alert";
    }

    // Row position in a fresh table read, to know which of two connections comes later.
    std::size_t tablePosition(const TcpRow& wanted) {
        std::vector<TcpRow> rows;
        EXPECT_EQ(diag.readTcp(rows), 0u);
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i].localAddress == wanted.localAddress && rows[i].localPort == wanted.localPort &&
                rows[i].remoteAddress == wanted.remoteAddress &&
                rows[i].remotePort == wanted.remotePort)
                return i;
        ADD_FAILURE() << "row not in the table";
        return 0;
    }
};

QStringList noticeLines(const QString& notice) { return notice.split(u'\n'); }

} // namespace

TEST(EnforcementEngine, FirstMatchingRuleCutsOrKeepsARealConnection) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Firewall firewall;
    test::TcpListener listener("127.0.0.2");
    const QString port = QString::number(listener.port());
    test::TcpConnection connection = test::connect("127.0.0.3", listener);

    // An empty port cell and a disabled rule are passed over; the third rule decides.
    firewall.rules.setRules({makeRule("block", "127.0.0.2", ""),
                             makeRule("block", "127.0.0.2", port, true, false),
                             makeRule("block", "127.0.0.2", port)});
    firewall.engine.runPass();

    EXPECT_EQ(readOutcome(connection.client.get(), 2000), -ECONNABORTED);
    EXPECT_EQ(firewall.engine.cutCount(), 1);
    const QStringList lines = noticeLines(firewall.engine.pendingNotice());
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(lines[0], "Tarvok has blocked activity to your computer!");
    EXPECT_EQ(lines[1], "Remote Address: 127.0.0.2");
    EXPECT_EQ(lines[2], "Local Port: " + QString::number(connection.clientPort));
    EXPECT_EQ(lines[3], "Remote Port: " + port);
    EXPECT_EQ(lines[4], "Service: -");
    EXPECT_TRUE(lines[5].startsWith("Time: ")) << lines[5].toStdString();
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7], "This event was performed by rule: (#3)");

    ASSERT_EQ(firewall.events.records.size(), 1);
    const EventRecord& record = firewall.events.records[0];
    EXPECT_EQ(record.protocol, "TCP");
    EXPECT_EQ(record.localAddress, "127.0.0.3");
    EXPECT_EQ(record.localPort, QString::number(connection.clientPort));
    EXPECT_EQ(record.remoteAddress, "127.0.0.2");
    EXPECT_EQ(record.remotePort, port);
    EXPECT_EQ(record.service, "-");
    EXPECT_EQ(record.status, "BLOCKED CONNECTION");
    EXPECT_EQ(record.rule, "(3)");
    EXPECT_TRUE(record.time.contains(" - "));
    EXPECT_FALSE(firewall.events.skipFlags[0]);
    EXPECT_GE(firewall.events.flushes, 1);

    // An accept rule above the block rule keeps the next connection alive; with logging on
    // it is recorded with its state name and the rule's position.
    test::TcpConnection kept = test::connect("127.0.0.3", listener);
    firewall.rules.insertRule(0, makeRule("accept", "127.0.0.2", port));
    firewall.engine.runPass();
    EXPECT_EQ(readOutcome(kept.client.get(), 50), Alive);
    EXPECT_EQ(firewall.engine.cutCount(), 1);
    ASSERT_EQ(firewall.events.records.size(), 2);
    EXPECT_EQ(firewall.events.records[1].status, "ESTABLISHED");
    EXPECT_EQ(firewall.events.records[1].rule, "(1)");

    // At the Allow level even a matching block rule does nothing.
    firewall.rules.removeRule(0);
    firewall.engine.setLevel(SecurityLevel::Allow);
    firewall.engine.runPass();
    EXPECT_EQ(readOutcome(kept.client.get(), 50), Alive);
    EXPECT_EQ(firewall.engine.cutCount(), 1);
}

TEST(EnforcementEngine, LocalhostListenersAndTimeWaitSurviveEveryLevel) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Firewall firewall;
    test::TcpListener localListener("127.0.0.1");
    test::TcpListener anyListener("0.0.0.0");
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection local = test::connect("127.0.0.1", localListener);
    test::TcpConnection finished = test::connect("127.0.0.4", listener);
    // The side that closes first waits in TIME_WAIT.
    finished.client.reset();
    ASSERT_EQ(readOutcome(finished.server.get(), 2000), 0);
    finished.server.reset();
    const TcpRow timeWait{platform::StateTimeWait, finished.clientAddress,
                          platform::portField(finished.clientPort), finished.serverAddress,
                          platform::portField(finished.serverPort)};
    test::TcpConnection doomed = test::connect("127.0.0.5", listener);

    auto stateOf = [&](const TcpRow& wanted) -> std::uint32_t {
        std::vector<TcpRow> rows;
        firewall.diag.readTcp(rows);
        for (const TcpRow& row : rows)
            if (row.localAddress == wanted.localAddress && row.localPort == wanted.localPort &&
                row.remoteAddress == wanted.remoteAddress && row.remotePort == wanted.remotePort)
                return row.state;
        return 0;
    };
    ASSERT_EQ(stateOf(timeWait), platform::StateTimeWait);

    // Cutting one end of a connection resets the other, so an end counts as cut when it was
    // aborted here or reset by its peer's cut.
    auto ended = [](const test::TcpConnection& connection) {
        const int outcome = readOutcome(connection.client.get(), 2000);
        return outcome == -ECONNABORTED || outcome == -ECONNRESET;
    };

    // A catch-all block rule at the Normal level, then the Block level.
    firewall.rules.setRules({makeRule("block", "any address", "any port")});
    firewall.engine.runPass();
    EXPECT_TRUE(ended(doomed));
    EXPECT_GE(firewall.engine.cutCount(), 1);
    const qint64 cutsAtNormal = firewall.engine.cutCount();

    test::TcpConnection blocked = test::connect("127.0.0.7", listener);
    firewall.engine.setLevel(SecurityLevel::Block);
    firewall.events.records.clear();
    const QString noticeBefore = firewall.engine.pendingNotice();
    firewall.engine.runPass();
    EXPECT_TRUE(ended(blocked));
    EXPECT_EQ(firewall.engine.cutCount(), cutsAtNormal) << "the Block level cuts without counting";
    EXPECT_TRUE(firewall.events.records.isEmpty());
    EXPECT_EQ(firewall.engine.pendingNotice(), noticeBefore);

    EXPECT_EQ(readOutcome(local.client.get(), 50), Alive);
    EXPECT_EQ(readOutcome(local.server.get(), 50), Alive);
    EXPECT_EQ(stateOf({0, test::address("0.0.0.0"), platform::portField(anyListener.port()), 0, 0}),
              platform::StateListen);
    EXPECT_EQ(stateOf({0, test::address("127.0.0.2"), platform::portField(listener.port()), 0, 0}),
              platform::StateListen);
    EXPECT_EQ(stateOf(timeWait), platform::StateTimeWait);
}

TEST(EnforcementEngine, TwoCutsInOnePassRaiseOneBalloonForTheLaterConnection) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Firewall firewall;
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection first = test::connect("127.0.0.3", listener);
    test::TcpConnection second = test::connect("127.0.0.4", listener);
    const bool secondIsLater =
        firewall.tablePosition(second.clientRow()) > firewall.tablePosition(first.clientRow());
    const test::TcpConnection& later = secondIsLater ? second : first;

    firewall.rules.setRules(
        {makeRule("block", "any address", QString::number(listener.port()), false)});
    firewall.engine.tick();

    EXPECT_EQ(firewall.engine.cutCount(), 2);
    EXPECT_TRUE(firewall.events.records.isEmpty()) << "the rule does not log";
    ASSERT_EQ(firewall.notifier.balloons.size(), 1);
    const auto& balloon = firewall.notifier.balloons[0];
    EXPECT_EQ(balloon.title, "Tarvok Alert:");
    EXPECT_EQ(balloon.icon, 3);
    EXPECT_EQ(balloon.timeoutMs, 30000);
    EXPECT_EQ(noticeLines(balloon.message)[2], "Local Port: " + QString::number(later.clientPort));
    EXPECT_TRUE(firewall.engine.pendingNotice().isEmpty());

    // With balloons off, cuts are still counted, and the notice waits to be overwritten.
    firewall.settings.values["PopupAlert"] = "False";
    test::TcpConnection third = test::connect("127.0.0.5", listener);
    firewall.engine.tick();
    EXPECT_EQ(firewall.engine.cutCount(), 3);
    EXPECT_EQ(firewall.notifier.balloons.size(), 1);
    EXPECT_FALSE(firewall.engine.pendingNotice().isEmpty());
}

TEST(EnforcementEngine, AFailedCutIsRecordedAsAFailureNotAsABlock) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Firewall firewall;
    QSignalSpy abilities(&firewall.engine, &EnforcementEngine::cutAbilityChanged);
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    firewall.rules.setRules({makeRule("block", "127.0.0.2", QString::number(listener.port()))});
    {
        test::WithoutNetAdmin unprivileged;
        ASSERT_TRUE(unprivileged.dropped());
        firewall.engine.tick();
        // The refusal makes the engine look again: it knows it can only monitor.
        EXPECT_EQ(firewall.engine.cutAbility(), CutAbility::NoPermission);
    }
    EXPECT_EQ(readOutcome(connection.client.get(), 50), Alive);
    EXPECT_EQ(firewall.engine.cutCount(), 0);
    EXPECT_TRUE(firewall.engine.pendingNotice().isEmpty());
    EXPECT_TRUE(firewall.notifier.balloons.isEmpty());
    ASSERT_EQ(firewall.events.records.size(), 1);
    EXPECT_EQ(firewall.events.records[0].status, "Unable to close connection");
    EXPECT_EQ(firewall.events.records[0].rule, "(1)");

    firewall.engine.checkCutAbility(); // the capability is back
    EXPECT_EQ(firewall.engine.cutAbility(), CutAbility::Works);
    EXPECT_EQ(abilities.size(), 2);
}

TEST(EnforcementEngine, PassesNeverNestAndFollowEditsMadeWhileTheyYield) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Firewall firewall;
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection first = test::connect("127.0.0.3", listener);
    test::TcpConnection second = test::connect("127.0.0.4", listener);
    const QString port = QString::number(listener.port());
    firewall.rules.setRules({makeRule("accept", "any address", port)});

    int yields = 0;
    firewall.engine.setYieldBudget(0); // yield after every matched row
    firewall.engine.setYield([&] {
        if (++yields != 1)
            return;
        // A tick and a direct pass while this pass yields both return at once.
        firewall.engine.tick();
        firewall.engine.runPass();
        // An edit while the pass yields decides the connections still to come.
        firewall.rules.setCell(0, RuleTable::Action, "block");
    });
    firewall.engine.runPass();

    ASSERT_EQ(firewall.events.records.size(), 2) << "one accepted, one cut, nothing twice";
    EXPECT_EQ(firewall.events.records[0].status, "ESTABLISHED");
    EXPECT_EQ(firewall.events.records[1].status, "BLOCKED CONNECTION");
    EXPECT_EQ(firewall.engine.cutCount(), 1);
    const int firstOutcome = readOutcome(first.client.get(), 500);
    const int secondOutcome = readOutcome(second.client.get(), 500);
    EXPECT_EQ(std::min(firstOutcome, secondOutcome), -ETIMEDOUT);
    EXPECT_EQ(std::max(firstOutcome, secondOutcome), -ECONNABORTED);
}

TEST(EnforcementEngine, AcceptedConnectionsAreRecordedOnceWhileTheyStayOpen) {
    // Once the event list had flushed, every accepted, logged connection was appended again
    // at each pass, and the day's log rolled over, erasing the earlier records.
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    QTemporaryDir folder;
    Firewall firewall;
    EventList events(folder.path(), firewall.settings);
    firewall.engine.setEventSink(&events);
    test::TcpListener listener("127.0.0.2");
    const QString port = QString::number(listener.port());
    test::TcpConnection blocked = test::connect("127.0.0.3", listener);
    firewall.rules.setRules({makeRule("block", "127.0.0.2", port)});
    firewall.engine.tick();
    ASSERT_EQ(events.count(), 1);

    firewall.rules.setRules({makeRule("accept", "127.0.0.2", port)});
    std::vector<test::TcpConnection> accepted;
    for (int i = 0; i < 200; ++i)
        accepted.push_back(test::connect("127.0.0.4", listener));
    // Written in batches as they come: a list grown through a whole pass made the duplicate
    // check of every new record walk thousands.
    int longestList = 0;
    firewall.engine.setYieldBudget(0);
    firewall.engine.setYield([&] { longestList = std::max(longestList, events.count()); });
    for (int pass = 0; pass < 30; ++pass)
        firewall.engine.tick();
    EXPECT_LT(longestList, EventList::FlushThreshold);
    ASSERT_TRUE(events.flushAtExit());
    const QList<QByteArray> lines = test::readFile(events.dayFilePath()).split('\n');
    ASSERT_EQ(lines.size(), 202) << "201 records and the text after the last line end";
    EXPECT_TRUE(lines[0].contains("BLOCKED CONNECTION"));
    EXPECT_EQ(lines.count(lines[1]), 1);
}

TEST(EnforcementEngine, Ipv6AndDualStackConnectionsAreEnforced) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::addLoopbackAddress("fd00::2") && test::addLoopbackAddress("fd00::3"));
    Firewall firewall;
    firewall.engine.setLevel(SecurityLevel::Normal);
    test::TcpListener v4("127.0.0.2");
    test::TcpListener v6("fd00::2");
    test::TcpListener loopback6("::1");
    const QString port4 = QString::number(v4.port());
    const QString port6 = QString::number(v6.port());
    auto ended = [](const test::TcpConnection& connection) {
        const int outcome = readOutcome(connection.client.get(), 2000);
        return outcome == -ECONNABORTED || outcome == -ECONNRESET;
    };

    // A dual-stack socket's IPv4 connection is matched by the IPv4 rule, and recorded so.
    test::TcpConnection mapped = test::connect("::ffff:127.0.0.3", v4);
    test::TcpConnection native = test::connect("fd00::3", v6);
    firewall.rules.setRules({makeRule("block", "127.0.0.2", port4)});
    firewall.engine.runPass();
    EXPECT_TRUE(ended(mapped));
    ASSERT_EQ(firewall.events.records.size(), 1);
    EXPECT_EQ(firewall.events.records[0].remoteAddress, "127.0.0.2");
    EXPECT_EQ(firewall.events.records[0].localAddress, "127.0.0.3");

    // A native IPv6 connection lives under an any-address accept rule above the block rule,
    // and is cut, and recorded in canonical text, once the accept rule is gone.
    firewall.rules.setRules(
        {makeRule("accept", "any address", port6), makeRule("block", "any address", port6)});
    firewall.engine.runPass();
    EXPECT_EQ(readOutcome(native.client.get(), 50), Alive);
    firewall.rules.removeRule(0);
    firewall.engine.runPass();
    EXPECT_TRUE(ended(native));
    EXPECT_EQ(firewall.events.records.back().remoteAddress, "fd00::2");
    EXPECT_EQ(firewall.events.records.back().localAddress, "fd00::3");

    // A rule holding the canonical text matches; any other spelling matches nothing.
    test::TcpConnection exact = test::connect("fd00::3", v6);
    firewall.rules.setRules({makeRule("block", "FD00::2", port6), makeRule("block", "fd00:0::2", port6)});
    firewall.engine.runPass();
    EXPECT_EQ(readOutcome(exact.client.get(), 50), Alive);
    firewall.rules.setRules({makeRule("block", "fd00::2", port6)});
    firewall.engine.runPass();
    EXPECT_TRUE(ended(exact));

    // The Block level cuts native IPv6 connections and never one on ::1.
    test::TcpConnection blocked = test::connect("fd00::3", v6);
    test::TcpConnection local = test::connect("::1", loopback6);
    firewall.rules.clear();
    firewall.engine.setLevel(SecurityLevel::Block);
    firewall.engine.runPass();
    EXPECT_TRUE(ended(blocked));
    EXPECT_EQ(readOutcome(local.client.get(), 50), Alive);
    EXPECT_EQ(readOutcome(local.server.get(), 50), Alive);
}

TEST(EnforcementEngine, AModalDialogOpenedInsideAPassDoesNotStopEnforcement) {
    // A dialog opened while a pass yielded held that pass, and every tick was skipped
    // until the dialog closed: nothing was cut while the status bar said "Active".
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Firewall firewall;
    test::TcpListener listener("127.0.0.2");
    firewall.rules.setRules({makeRule("block", "127.0.0.2", QString::number(listener.port()))});
    int ticks = 0;
    QObject::connect(firewall.engine.timer(), &QTimer::timeout, [&] { ++ticks; });
    test::TcpConnection connection;
    int ticksAtConnect = -1, ticksAtCut = -1;
    bool dialogShown = false;
    firewall.engine.setYield([&] {
        if (dialogShown) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            return;
        }
        dialogShown = true;
        QDialog dialog;
        QTimer::singleShot(250, &dialog, [&] {
            connection = test::connect("127.0.0.3", listener);
            ticksAtConnect = ticks;
        });
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &dialog, [&] {
            if (ticksAtConnect >= 0 && readOutcome(connection.client.get(), 0) == -ECONNABORTED) {
                ticksAtCut = ticks;
                dialog.accept();
            }
        });
        poll.start(5);
        QTimer::singleShot(5000, &dialog, &QDialog::reject);
        dialog.exec();
    });
    firewall.engine.timer()->start();
    QElapsedTimer waited;
    waited.start();
    while (!dialogShown && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_TRUE(dialogShown);
    ASSERT_GE(ticksAtCut, 0) << "the connection lived while the dialog was open";
    EXPECT_LE(ticksAtCut - ticksAtConnect, 2);
}
