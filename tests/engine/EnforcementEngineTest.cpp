#include "engine/EnforcementEngine.h"
#include "engine/SecurityLevels.h"
#include "records/EventList.h"
#include "fakes/FakeLocaliser.h"
#include "platform/Spawn.h"
#include "support/EngineRig.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>

using namespace tarvok;
using tarvok::test::address;
using tarvok::test::Firewall;
using tarvok::test::makeRule;
using tarvok::test::readOutcome;

namespace {

constexpr int Alive = -ETIMEDOUT; // what readOutcome reports for a quiet, open connection

// Aborted here, or reset by the cut of its other end.
bool ended(const test::TcpConnection& connection) {
    const int outcome = readOutcome(connection.client.get(), 2000);
    return outcome == -ECONNABORTED || outcome == -ECONNRESET;
}

} // namespace

TEST(EnforcementEngine, FirstMatchingRuleCutsOrKeepsARealConnection) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Firewall firewall;
    test::TcpListener listener("127.0.0.2");
    const QString port = QString::number(listener.port());
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    const QString clientPort = QString::number(connection.clientPort);

    // An empty port cell and a disabled rule are passed over; the third rule decides.
    firewall.rules.setRules({makeRule("block", "127.0.0.2", ""),
                             makeRule("block", "127.0.0.2", port, false),
                             makeRule("block", "127.0.0.2", port)});
    firewall.engine.runPass();
    EXPECT_EQ(readOutcome(connection.client.get(), 2000), -ECONNABORTED);
    const QString notice = firewall.engine.pendingNotice();
    EXPECT_EQ(
        QString(notice).replace(QRegularExpression("\nTime: [^\n]+\n"), "\nTime: -\n"),
        "Tarvok has blocked activity to your computer!\nRemote Address: 127.0.0.2\nLocal Port: " +
            clientPort + "\nRemote Port: " + port +
            "\nService: -\nTime: -\n\n"
            "This event was performed by rule: (#3)");
    ASSERT_EQ(firewall.events.records.size(), 1);
    const EventRecord& r = firewall.events.records[0];
    EXPECT_EQ(QStringList({r.protocol, r.localAddress, r.localPort, r.remoteAddress, r.remotePort,
                           r.service, r.status, r.rule, r.time.contains(" - ") ? "time" : r.time}),
              QStringList({"TCP", "127.0.0.3", clientPort, "127.0.0.2", port, "-",
                           "BLOCKED CONNECTION", "(3)", "time"}));
    EXPECT_FALSE(firewall.events.skipFlags[0]);

    // An accept rule above keeps the next connection alive. (Its record, under its state name
    // and rule: EditsDuringPasses.)
    test::TcpConnection kept = test::connect("127.0.0.3", listener);
    firewall.rules.insertRule(0, makeRule("accept", "127.0.0.2", port));
    firewall.engine.runPass();
    EXPECT_EQ(readOutcome(kept.client.get(), 50), Alive);

    // At the Allow level even a matching block rule does nothing.
    firewall.rules.removeRule(0);
    firewall.engine.setLevel(SecurityLevel::Allow);
    firewall.engine.runPass();
    EXPECT_EQ(readOutcome(kept.client.get(), 50), Alive);
    EXPECT_EQ(firewall.engine.cutCount(), 1);
}

TEST(EnforcementEngine, EveryFamilyIsCutButLocalhostListenersAndTimeWaitSurviveEveryLevel) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    for (const char* address : {"fd00::2", "fd00::3"})
        ASSERT_TRUE(test::addLoopbackAddress(address)) << address;
    Firewall firewall;
    test::TcpListener localListener("127.0.0.1"), listener("127.0.0.2"), v6("fd00::2"),
        loopback6("::1");
    test::TcpConnection local = test::connect("127.0.0.1", localListener);
    test::TcpConnection local6 = test::connect("::1", loopback6);
    test::TcpConnection finished = test::connect("127.0.0.4", listener);
    // The side that closes first waits in TIME_WAIT.
    finished.client.reset();
    ASSERT_EQ(readOutcome(finished.server.get(), 2000), 0);
    finished.server.reset();

    // Dual-stack IPv4 matches the IPv4 rule; native IPv6 the rule in canonical text. A socket
    // bound to an interface is found for the cut only under that interface's index.
    test::TcpConnection mapped = test::connect("::ffff:127.0.0.3", listener);
    test::TcpConnection native = test::connect("fd00::3", v6);
    test::TcpConnection bound = test::connect("127.0.0.6", listener);
    ASSERT_EQ(::setsockopt(bound.client.get(), SOL_SOCKET, SO_BINDTODEVICE, "lo", 3), 0);
    firewall.rules.setRules({makeRule("block", "127.0.0.2", QString::number(listener.port())),
                             makeRule("block", "fd00::2", QString::number(v6.port()))});
    firewall.engine.runPass();
    EXPECT_TRUE(ended(mapped));
    EXPECT_TRUE(ended(native));
    EXPECT_EQ(readOutcome(bound.client.get(), 2000), -ECONNABORTED);
    QStringList recorded;
    for (const EventRecord& record : firewall.events.records)
        recorded << record.localAddress + " " + record.remoteAddress + " " + record.status;
    recorded.sort();
    EXPECT_EQ(recorded, QStringList({"127.0.0.3 127.0.0.2 BLOCKED CONNECTION",
                                     "127.0.0.6 127.0.0.2 BLOCKED CONNECTION",
                                     "fd00::3 fd00::2 BLOCKED CONNECTION"}));

    // The Block level cuts both families whatever the rules say.
    const qint64 cutsAtNormal = firewall.engine.cutCount();
    test::TcpConnection blocked = test::connect("127.0.0.7", listener);
    test::TcpConnection blocked6 = test::connect("fd00::3", v6);
    firewall.engine.setLevel(SecurityLevel::Block);
    firewall.events.records.clear();
    const QString noticeBefore = firewall.engine.pendingNotice();
    firewall.engine.runPass();
    EXPECT_TRUE(ended(blocked));
    EXPECT_TRUE(ended(blocked6));
    EXPECT_EQ(firewall.engine.cutCount(), cutsAtNormal) << "the Block level cuts without counting";
    EXPECT_TRUE(firewall.events.records.isEmpty());
    EXPECT_EQ(firewall.engine.pendingNotice(), noticeBefore);

    // A cut of either end would show on the client (aborted, or reset by its peer).
    for (const test::TcpConnection* kept : {&local, &local6})
        EXPECT_EQ(readOutcome(kept->client.get(), 50), Alive);
    EXPECT_EQ(
        firewall.find({0, address("127.0.0.2"), platform::portField(listener.port()), 0, 0}).second,
        platform::StateListen);
    EXPECT_EQ(firewall.find(finished.clientRow()).second, platform::StateTimeWait);
}

TEST(EnforcementEngine,
     TwoCutsInOnePassRaiseOneBalloonForTheLaterConnectionUnlessPopupAlertIsFalse) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Firewall firewall;
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection first = test::connect("127.0.0.3", listener);
    test::TcpConnection second = test::connect("127.0.0.4", listener);
    const test::TcpConnection& later =
        firewall.find(second.clientRow()).first > firewall.find(first.clientRow()).first ? second
                                                                                         : first;

    firewall.rules.setRules(
        {makeRule("block", "any address", QString::number(listener.port()), true, false)});
    firewall.engine.tick();
    EXPECT_EQ(firewall.engine.cutCount(), 2);
    EXPECT_TRUE(firewall.events.records.isEmpty()) << "the rule does not log";
    ASSERT_EQ(firewall.notifier.balloons.size(), 1);
    const auto& balloon = firewall.notifier.balloons[0];
    EXPECT_EQ(
        QStringLiteral("%1|%2|%3").arg(balloon.title).arg(balloon.icon).arg(balloon.timeoutMs),
        "Tarvok Alert:|3|30000");
    EXPECT_TRUE(
        balloon.message.contains("\nLocal Port: " + QString::number(later.clientPort) + "\n"));
    EXPECT_TRUE(firewall.engine.pendingNotice().isEmpty());

    // With balloons off, cuts are still counted, and the notice waits to be overwritten.
    firewall.settings.values["PopupAlert"] = "False";
    test::TcpConnection third = test::connect("127.0.0.5", listener);
    firewall.engine.tick();
    EXPECT_EQ(firewall.engine.cutCount(), 3);
    EXPECT_EQ(firewall.notifier.balloons.size(), 1);
    EXPECT_FALSE(firewall.engine.pendingNotice().isEmpty());
    // Every other value means on.
    for (const char* on : {"", "true", "0"}) {
        firewall.settings.values["PopupAlert"] = on;
        test::TcpConnection next = test::connect("127.0.0.6", listener);
        firewall.engine.tick();
    }
    EXPECT_EQ(firewall.notifier.balloons.size(), 4);
}

TEST(EnforcementEngine, AFailedCutIsRecordedOnceAsAFailureAndNotTriedWhileCutsCannotWork) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Firewall firewall;
    QSignalSpy abilities(&firewall.engine, &EnforcementEngine::cutAbilityChanged);
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    firewall.rules.setRules({makeRule("block", "127.0.0.2", QString::number(listener.port()))});
    // The enforcer is gone: the failed cut tells the engine that it can only monitor.
    ASSERT_EQ(::kill(firewall.enforcer.pid(), SIGKILL), 0);
    ASSERT_TRUE(platform::reapChild(firewall.enforcer.pid(), 2000));
    firewall.engine.tick();
    EXPECT_EQ(firewall.engine.cutAbility(), CutAbility::NoEnforcer);
    EXPECT_TRUE(firewall.notifier.balloons.isEmpty()) << "nothing was blocked";

    // An enforcer is back, but until the engine looks again it knows that cuts fail: no
    // destroy request is sent at either level, and the failure stays recorded once.
    ASSERT_TRUE(firewall.enforcer.start(TARVOK_TEST_ENFORCER, test::nextInstance()));
    for (const SecurityLevel level : {SecurityLevel::Normal, SecurityLevel::Block}) {
        firewall.engine.setLevel(level);
        firewall.engine.tick();
        EXPECT_EQ(readOutcome(connection.client.get(), 50), Alive);
    }
    ASSERT_EQ(firewall.events.records.size(), 1);
    EXPECT_EQ(firewall.events.records[0].status, "Unable to close connection");

    firewall.engine.checkCutAbility();
    EXPECT_EQ(firewall.engine.cutAbility(), CutAbility::Works);
    EXPECT_EQ(abilities.size(), 2);
    firewall.engine.tick();
    EXPECT_TRUE(ended(connection));
}

// After a flush every open accepted connection was appended again at each pass, and the day's
// log rolled over, erasing earlier records.
TEST(EnforcementEngine, AcceptedConnectionsAreRecordedOnceWhileTheyStayOpen) {
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

    firewall.rules.setRules({makeRule("accept", "127.0.0.2", port)});
    std::vector<test::TcpConnection> accepted;
    for (int i = 0; i < 200; ++i)
        accepted.push_back(test::connect("127.0.0.4", listener));
    // Written in batches: a list grown through a whole pass made each duplicate check slow.
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

// A dialog opened while a pass yielded held it, and every tick was skipped until it closed.
TEST(EnforcementEngine, AModalDialogOpenedInsideAPassDoesNotStopEnforcement) {
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogShown; }, 5000));
    ASSERT_GE(ticksAtCut, 0) << "the connection lived while the dialog was open";
    EXPECT_LE(ticksAtCut - ticksAtConnect, 2);
}

TEST(SecurityLevels, LevelsAndPauseSwitchTimersPicturesAndBalloons) {
    Firewall firewall; // its engine, and a notifier for the balloons
    firewall.engine.timer()->start();
    QTimer countWatcher, trayActivity;
    countWatcher.start(1000);
    trayActivity.setInterval(500); // off until start-up ends
    SecurityLevels levels{firewall.engine, countWatcher, trayActivity};
    test::FakeLocaliser localiser;
    levels.setNotifier(&firewall.notifier);
    levels.setLocaliser(&localiser);
    const auto on = [](const QTimer* timer) { return timer->isActive() ? '1' : '0'; };
    const auto balloons = [&] { // how many were shown, and the last one
        const auto& b = firewall.notifier.balloons.last();
        return QStringLiteral("%1: %2|%3|%4|%5").arg(firewall.notifier.balloons.size())
            .arg(b.message, b.title).arg(b.icon).arg(b.timeoutMs);
    };
    using L = SecurityLevel;
    using P = SecurityLevels::Picture;
    using T = SecurityLevels::TrayImage;
    constexpr int Pause = -2; // the pause switch
    // After each click: the level, the timers that run (passes, count watcher, Timer2), the
    // pictures, the level word of the first panel's text (0: paused) and the balloons.
    const struct { int click; L level; const char* timers; P picture; T tray; int word;
                   const char* balloons; } steps[] = {
        {0, L::Allow, "110", P::LevelAllow, T::Allow, 202, "1: Main/97|Main/98|2|30000"},
        {1, L::Normal, "111", P::LevelNormal, T::Activity, 200, "2: Main/99|Main/100|1|30000"},
        {2, L::Block, "110", P::LevelBlock, T::Block, 201, "3: Main/101|Main/102|3|30000"},
        {3, L::Block, "110", P::LevelBlock, T::Block, 201, "3: Main/101|Main/102|3|30000"},
        {-1, L::Block, "110", P::LevelBlock, T::Block, 201, "3: Main/101|Main/102|3|30000"},
        // A pause stops the passes and keeps the level for the resume; the items are disabled.
        {Pause, L::Block, "000", P::Paused, T::Paused, 0, "4: Main/82|Main/79|2|30000"},
        {0, L::Block, "000", P::Paused, T::Paused, 0, "4: Main/82|Main/79|2|30000"},
        {Pause, L::Block, "110", P::LevelBlock, T::Block, 201, "5: Main/81|Main/69|1|30000"},
        // Paused at Normal and resumed: Timer2 comes back with the level.
        {1, L::Normal, "111", P::LevelNormal, T::Activity, 200, "6: Main/99|Main/100|1|30000"},
        {Pause, L::Normal, "000", P::Paused, T::Paused, 0, "7: Main/82|Main/79|2|30000"},
        {Pause, L::Normal, "111", P::LevelNormal, T::Activity, 200, "8: Main/81|Main/69|1|30000"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(&step - steps);
        if (step.click == Pause)
            levels.togglePause();
        else
            levels.clickLevel(step.click);
        EXPECT_EQ(firewall.engine.level(), step.level);
        EXPECT_EQ(std::string({on(firewall.engine.timer()), on(&countWatcher), on(&trayActivity)}),
                  step.timers);
        EXPECT_EQ(levels.levelPicture(), step.picture);
        EXPECT_EQ(levels.policyPicture(), step.level == L::Normal ? P::PolicyOn : P::PolicyOff);
        EXPECT_EQ(levels.trayImage(), step.tray);
        EXPECT_EQ(levels.firstPanelText(),
                  step.word ? "Main/69 – Main/" + QString::number(step.word) : "Main/79");
        EXPECT_EQ(balloons(), step.balloons);
    }

    // Whether cuts can work, from the kernel's answer to a cut; while they cannot, the panel
    // says why and the Block level's balloon says that nothing is cut.
    const std::tuple<std::uint32_t, int, const char*> answers[] = {
        {EOPNOTSUPP, 122, "9: Main/203\nMain/122|Main/120|2|30000"},
        {EPERM, 121, "10: Main/203\nMain/121|Main/120|2|30000"},
        {EACCES, 121, "11: Main/203\nMain/121|Main/120|2|30000"},
        {ENOENT, 0, "12: Main/101|Main/102|3|30000"}, // gone by itself: says nothing against it
        {0, 0, "13: Main/101|Main/102|3|30000"}};
    for (const auto& [answer, reason, balloon] : answers) {
        SCOPED_TRACE(answer);
        firewall.engine.setCutProbe([answer] { return platform::abilityFromResult(answer); });
        firewall.engine.checkCutAbility();
        EXPECT_EQ(levels.monitorOnlyReasonKey(), reason);
        levels.clickLevel(2);
        EXPECT_EQ(balloons(), balloon);
        EXPECT_EQ(levels.firstPanelText(),
                  reason ? "Main/120 – Main/" + QString::number(reason) : "Main/69 – Main/201");
    }
}
