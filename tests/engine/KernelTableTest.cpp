// The policy in the kernel's packet filter, tried with real connections in this test's own
// network namespace.
#include "enforcer/TableCompiler.h"
#include "engine/KernelTable.h"
#include "engine/SecurityLevels.h"
#include "engine/TypedPolicy.h"
#include "platform/NfTables.h"
#include "support/EnforcerSupport.h"
#include "support/KernelPolicy.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <map>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

using namespace tarvok;
using test::Fd;
using test::makeRule;

namespace {

// Closes with a reset, so that no TIME_WAIT keeps the port from the next attempt.
void abort(Fd& fd) {
    const linger now{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    fd.reset();
}

// Opens a connection from `from` (port 0: any) to the listener, or to `to`:`toPort` when given
// (which address translation leads to the listener); a v4-mapped `from` reaches an IPv4
// listener as a dual-stack socket. True when it was refused at once (and the server never got
// it), false when it was accepted.
bool refused(const std::string& from, std::uint16_t fromPort, test::TcpListener& listener,
             std::string to = {}, std::uint16_t toPort = 0) {
    if (to.empty()) {
        to = listener.address();
        toPort = listener.port();
    }
    if (from.rfind("::ffff:", 0) == 0 && to.find(':') == std::string::npos)
        to = "::ffff:" + to;
    const test::Endpoint local = test::endpoint(from, fromPort);
    const test::Endpoint remote = test::endpoint(to, toPort);
    Fd client(::socket(local.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int yes = 1;
    ::setsockopt(client.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    EXPECT_EQ(::bind(client.get(), local.get(), local.length), 0)
        << from << " port " << fromPort << ": " << std::strerror(errno);
    const int error = ::connect(client.get(), remote.get(), remote.length) == 0 ? 0 : errno;
    pollfd waiting{listener.fd(), POLLIN, 0};
    const bool reached = ::poll(&waiting, 1, error == 0 ? 1000 : 20) == 1;
    Fd server(reached ? ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
    abort(server);
    abort(client);
    EXPECT_TRUE(error == 0 || test::refused(error)) << std::strerror(error);
    EXPECT_EQ(reached, error == 0) << from << " -> " << to << " " << toPort;
    return test::refused(error);
}

using Policy = test::KernelPolicy;

// A table compiled as the enforcer compiles it, with the compiler's options in the test's
// hands, written by the test itself: the compiler's own shapes, runs among them.
struct CompiledTable {
    platform::NftScripts nft;
    bool exists = false;
    void write(const RuleTable& rules, int level, bool paused, std::size_t pairLimit) {
        enforcer::TableOptions options;
        options.name = "compiled";
        options.mayExist = !exists;
        options.pairLimit = pairLimit;
        const auto typed = typedPolicy(rules, static_cast<SecurityLevel>(level), paused);
        ASSERT_TRUE(nft.run(enforcer::tableScript(typed, options))) << nft.error();
        exists = true;
    }
    void remove() {
        if (std::exchange(exists, false)) {
            EXPECT_TRUE(nft.run(enforcer::tableRemoval("compiled"))) << nft.error();
        }
    }
};

int run(const std::string& command) {
    return std::system((command + " 2>/dev/null").c_str());
}

// What the calls wrote to standard error (descriptor 2, where libraries write).
template <typename Calls>
std::string standardError(Calls&& calls) {
    std::fflush(stderr);
    FILE* capture = std::tmpfile();
    const int saved = ::dup(2);
    ::dup2(::fileno(capture), 2);
    calls();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::string text(4096, '\0');
    std::rewind(capture);
    text.resize(std::fread(text.data(), 1, text.size(), capture));
    std::fclose(capture);
    return text;
}

} // namespace

// Every connection the pass would cut (either of its two rows) is refused by the kernel table,
// and every one it lets live passes, for IPv4, native IPv6 and dual-stack sockets, at every
// level and while paused, after a new table and after edits of its cells. Even rounds go
// through the enforcer; odd ones are compiled here into runs rather than resolved pairs, while
// the enforcer's table holds no rule. Rules cover TCP, UDP or both, and a UDP datagram between
// the same ends (and its answer) passes exactly when the same walk over the rules that cover UDP
// blocks neither end.
TEST(KernelTable, AgreesWithThePassOnRandomTablesOfQuirkyCells) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::addLoopbackAddress("fd00::2") && test::addLoopbackAddress("fd00::3"));
    Policy policy;
    CompiledTable compiled;
    RuleTable judged; // the rules in force, wherever they were written
    ASSERT_TRUE(policy.kernel.inForce()) << policy.kernel.failure().toStdString();
    const std::uint16_t serverPorts[] = {80, 8080}, clientPorts[] = {443, 22, 40000};
    // Client and server addresses; a "::ffff:" client is a dual-stack socket to an IPv4 server.
    const std::pair<const char*, const char*> ends[] = {
        {"127.0.0.2", "127.0.0.3"}, {"127.0.0.3", "127.0.0.2"}, {"127.0.0.1", "127.0.0.2"},
        {"127.0.0.2", "127.0.0.1"}, {"127.0.0.1", "127.0.0.1"}, {"::ffff:127.0.0.2", "127.0.0.3"},
        {"::ffff:127.0.0.1", "127.0.0.2"}, {"fd00::2", "fd00::3"}, {"fd00::3", "fd00::2"},
        {"::1", "::1"}, {"::1", "fd00::2"}};
    std::map<std::pair<std::string, std::uint16_t>, std::unique_ptr<test::TcpListener>> listeners;
    for (const auto& end : ends)
        for (const std::uint16_t port : serverPorts)
            if (!listeners.count({end.second, port}))
                listeners[{end.second, port}] =
                    std::make_unique<test::TcpListener>(end.second, port);
    std::map<std::pair<std::string, std::uint16_t>, Fd> datagramServers;
    for (const auto& end : ends)
        for (const std::uint16_t port : serverPorts)
            if (!datagramServers.count({end.second, port}))
                datagramServers[{end.second, port}] = test::boundUdp(end.second, port);
    const QStringList protocolCells = {"TCP", "UDP", "TCP/UDP", "tcp"};
    const QStringList addressCells = {
        "any address", "999.999.999.999", "127.0.0.2", "127.0.0.3", "127.0.0.1", "0127.0.0.2",
        "fd00::2", "fd00::3", "FD00::3", "::1", "::ffff:127.0.0.2", "*", "", "127.0.0.2 "};
    const QStringList portCells = {"any port", "99999", "80", "080", "8080", "443", "22",
                                   "40000", "65536", "", "x", " 80", "any address"};
    std::mt19937 random(20261206);
    constexpr int Allow = 0, Normal = 1, Block = 2; // the level menu's items
    int level = Normal;
    // Whether the pass cuts the row of the end at `local` whose peer is `remote`.
    const auto cuts = [&](const std::string& local, const std::string& remote, std::uint16_t port,
                          bool udp = false) {
        if (local == "127.0.0.1" || local == "::1" || local == "::ffff:127.0.0.1")
            return false;
        if (level != Normal)
            return level == Block;
        const std::string plain = remote.rfind("::ffff:", 0) == 0 ? remote.substr(7) : remote;
        const int match = test::walk(judged, QString::fromStdString(plain), port, udp);
        return match != RuleIndex::NoMatch && !judged.isAccept(match);
    };
    for (int round = 0; round < 40; ++round) {
        QList<Rule> rules;
        const int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            rules.append(makeRule(random() % 2 ? "accept" : "block",
                                  addressCells[static_cast<int>(random() % addressCells.size())],
                                  portCells[static_cast<int>(random() % portCells.size())],
                                  random() % 5 != 0));
            rules.last().protocol = protocolCells[static_cast<int>(random() % 4)];
        }
        const bool direct = round % 2 == 1;
        policy.set(rules);
        for (int row = 0; round % 3 == 0 && row < count; ++row) { // cells edited in place
            const bool accept = policy.rules.isAccept(row);
            policy.rules.setCell(row, RuleTable::Action, accept ? "block" : "accept");
        }
        ASSERT_TRUE(policy.kernel.waitForWrite());
        // Every fourth round at Allow, at Block, or paused at Normal, which cuts nothing and so
        // is expected as Allow.
        const bool paused = round % 12 == 7;
        level = round % 4 != 3 ? Normal : round % 12 == 11 ? Block : Allow;
        judged.setRules(policy.rules.rules());
        if (direct) {
            compiled.write(judged, level, paused, 0);
            policy.set({});
        } else if (paused) {
            policy.levels.togglePause();
        } else if (level != Normal) {
            policy.levels.clickLevel(level);
        }
        ASSERT_TRUE(policy.kernel.waitForWrite());
        ASSERT_TRUE(policy.kernel.inForce()) << policy.kernel.failure().toStdString();
        for (const auto& [from, to] : ends) {
            const std::uint16_t serverPort = serverPorts[random() % 2];
            const std::uint16_t clientPort = clientPorts[random() % 3];
            const bool expected = cuts(from, to, serverPort) || cuts(to, from, clientPort);
            ASSERT_EQ(refused(from, clientPort, *listeners[{to, serverPort}]), expected)
                << "round " << round << ": " << from << ":" << clientPort << " -> " << to << ":"
                << serverPort;
            const std::string server = to, client = from;
            const std::string target =
                client.rfind("::ffff:", 0) == 0 && server.find(':') == std::string::npos
                    ? "::ffff:" + server
                    : server;
            Fd datagrams = test::boundUdp(from, clientPort);
            const bool udpRefused = cuts(from, to, serverPort, true) ||
                                    cuts(to, from, clientPort, true);
            ASSERT_EQ(test::udpExchange(datagrams.get(), datagramServers[{to, serverPort}].get(),
                                        target, serverPort, 1),
                      udpRefused ? 0 : 2)
                << "UDP round " << round << ": " << from << ":" << clientPort << " -> " << to
                << ":" << serverPort;
        }
        compiled.remove();
        if (paused && !direct)
            policy.levels.togglePause();
        policy.levels.clickLevel(Normal);
    }
}

// One round for each shape that the random rounds never make, and for address translation in
// the output path: the table refuses exactly what the pass would cut. The pass judges the
// destination the program asked for; here 127.0.0.4:443 is translated to 127.0.0.5:5000.
TEST(KernelTable, AgreesWithThePassOnEachRuleShapeAndBeforeAddressTranslation) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_EQ(std::system("nft 'add table ip translate; add chain ip translate output { type nat "
                          "hook output priority -100; }; add rule ip translate output ip daddr "
                          "127.0.0.4 tcp dport 443 dnat to 127.0.0.5:5000'"),
              0);
    const auto untranslate =
        qScopeGuard([] { EXPECT_EQ(std::system("nft delete table ip translate"), 0); });
    RuleTable rules;
    CompiledTable compiled;
    test::TcpListener plain("127.0.0.2", 80), translated("127.0.0.5", 5000);
    constexpr int Normal = 1, Block = 2;
    constexpr std::size_t Resolved = enforcer::TableOptions{}.pairLimit, Runs = 0;
    struct Round {
        const char* shape;
        QList<Rule> rules;
        int level;
        bool paused;
        std::size_t pairLimit;
        test::TcpListener& listener;
        const char* to; // where the client connects; empty: the listener itself
        std::uint16_t toPort;
        bool refused;
    };
    const Round rounds[] = {
        {"rules below a block of any address and any port are shadowed",
         {makeRule("block", "any address", "any port"), makeRule("accept", "127.0.0.2", "any port"),
          makeRule("accept", "127.0.0.3", "any port")},
         Normal, false, Resolved, plain, "", 0, true},
        {"paused at Block", {}, Block, true, Resolved, plain, "", 0, false},
        {"in runs, the first of a repeated port decides",
         {makeRule("block", "127.0.0.9", "any port"), makeRule("accept", "any address", "80"),
          makeRule("block", "any address", "80"), makeRule("accept", "127.0.0.8", "any port")},
         Normal, false, Runs, plain, "", 0, false},
        {"a blocked destination that is translated",
         {makeRule("block", "127.0.0.4", "443")}, Normal, false, Resolved, translated,
         "127.0.0.4", 443, true},
        {"a rule for where the translation leads",
         {makeRule("block", "127.0.0.5", "any port")}, Normal, false, Resolved, translated,
         "127.0.0.4", 443, false},
    };
    for (const Round& round : rounds) {
        SCOPED_TRACE(round.shape);
        rules.setRules(round.rules);
        compiled.write(rules, round.level, round.paused, round.pairLimit);
        EXPECT_EQ(refused("127.0.0.3", 0, round.listener, round.to, round.toPort), round.refused);
    }
}

// A hit count, a rule's number, icon, log switch or description is no part of the table: a
// thousand hits once wrote it a thousand times.
TEST(KernelTable, RuleHitsAndCellsItIsNotMadeOfWriteNothing) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Policy policy;
    policy.set({makeRule("accept", "127.0.0.2", "any port"), makeRule("block", "127.0.0.3", "80")});
    const int writes = policy.kernel.writeCount();
    for (int hit = 0; hit < 1000; ++hit) {
        policy.rules.addHit(hit % 2);
        policy.rules.publishHits();
        ASSERT_TRUE(policy.kernel.waitForWrite());
    }
    policy.rules.setCell(0, RuleTable::Number, "7");
    policy.rules.setCell(0, RuleTable::Log, "disabled");
    policy.rules.setCell(0, RuleTable::Description, "mail");
    policy.rules.setIcon(0, 2);
    ASSERT_TRUE(policy.kernel.waitForWrite());
    EXPECT_EQ(policy.kernel.writeCount(), writes);
    // Each cell the table is made of writes once; the protocol and the program were missed.
    int expected = writes;
    for (const auto& [column, text] : {std::pair{RuleTable::Port, "81"},
                                       std::pair{RuleTable::Protocol, "TCP/UDP"},
                                       std::pair{RuleTable::Program, "/usr/bin/true"}}) {
        policy.rules.setCell(1, column, text);
        ASSERT_TRUE(policy.kernel.waitForWrite());
        EXPECT_EQ(policy.kernel.writeCount(), ++expected) << column;
    }
}

// What was open before a rule blocked it is cut once the table is written, not at a later tick
// (the engine's timer is stopped here).
TEST(KernelTable, CutsWhatANewRuleBlocksRightAfterTheWriteWithoutATick) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Policy policy;
    test::TcpListener listener("127.0.0.2", 47930);
    test::TcpConnection open = test::connect("127.0.0.3", listener);
    policy.set({makeRule("block", "127.0.0.2", "47930")});
    EXPECT_EQ(test::readOutcome(open.client.get(), 0), -ECONNABORTED);
}

// The table is owned by the enforcer's netlink socket: no other program can flush it, edit a
// chain or delete it, a ruleset flush passes it by, and it goes at the end, other tables kept.
TEST(KernelTable, NoOtherProgramCanChangeTheTableAndItGoesAtTheEnd) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_EQ(run("nft add table inet neighbour"), 0);
    QString name;
    {
        Policy policy;
        ASSERT_TRUE(policy.kernel.inForce()) << policy.kernel.failure().toStdString();
        test::TcpListener listener("127.0.0.2", 47910);
        policy.set({makeRule("block", "127.0.0.2", "47910")});
        name = policy.enforcer.tableName();
        const std::string written = test::listedTable(name.toStdString()), table = "inet " + name.toStdString();
        EXPECT_NE(run("nft flush table " + table), 0);
        EXPECT_NE(run("nft delete chain " + table + " decide_out"), 0);
        EXPECT_NE(run("nft insert rule " + table + " decide_out accept"), 0);
        EXPECT_NE(run("nft delete table " + table), 0);
        EXPECT_EQ(run("nft flush ruleset"), 0);
        EXPECT_EQ(test::listedTable(name.toStdString()), written);
        EXPECT_TRUE(refused("127.0.0.3", 0, listener));
        ASSERT_EQ(run("nft add table inet neighbour"), 0);
    }
    EXPECT_EQ(test::listedTable(name.toStdString()), "");
    EXPECT_EQ(run("nft list table inet neighbour >/dev/null"), 0);
    ASSERT_EQ(run("nft delete table inet neighbour"), 0);
}

TEST(KernelTable, SaysWhatIsInForceWhenTheKernelRefusesTheTable) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    {
        const quint64 instance = test::nextInstance();
        const auto squatter = test::squatTable(instance);
        Policy policy(instance);
        EXPECT_EQ(policy.kernel.state(), EnforcementState::CutsOnly);
        EXPECT_NE(policy.kernel.failure().indexOf("Operation not permitted"), -1)
            << policy.kernel.failure().toStdString();
    }
    test::UnprivilegedEnforcer unprivileged;
    Policy policy(0, unprivileged.program());
    EXPECT_FALSE(policy.kernel.inForce());
    EXPECT_EQ(policy.engine.cutAbility(), CutAbility::NoPermission);
    EXPECT_EQ(policy.kernel.state(), EnforcementState::MonitorOnly);
}

// Program rules that the kernel cannot decide are said to be cut after connect, with the
// filter's reason; with the filter in force, or with no program rule, nothing is said.
TEST(KernelTable, SaysProgramRulesAreOnlyCutAfterConnectWhenTheFilterIsNotInForce) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::ownCgroup()) << "the program filter needs a cgroup v2 folder of the test's own";
    Rule named = makeRule("block", "*", "*");
    named.program = QStringLiteral("/usr/bin/true");
    {
        Policy policy;
        policy.set({named});
        EXPECT_TRUE(policy.kernel.filterInForce());
        EXPECT_EQ(policy.kernel.programRulesText(), QString());
    }
    const QByteArray cgroup = qgetenv("TARVOK_FILTER_CGROUP");
    const auto restore = qScopeGuard([&] { qputenv("TARVOK_FILTER_CGROUP", cgroup); });
    qputenv("TARVOK_FILTER_CGROUP", "/nonexistent/tarvok-test-no-cgroup");
    Policy policy;
    policy.set({makeRule("block", "127.0.0.9", "*")});
    EXPECT_FALSE(policy.kernel.filterInForce());
    EXPECT_EQ(policy.kernel.programRulesText(), QString()) << "no rule names a program";
    QSignalSpy announced(&policy.kernel, &KernelTable::stateChanged);
    policy.set({named});
    EXPECT_EQ(announced.count(), 1);
    const QString text = policy.kernel.programRulesText();
    EXPECT_TRUE(text.startsWith("Program rules: cut after connect \u2013 ")) << text.toStdString();
    EXPECT_TRUE(text.contains("/nonexistent/tarvok-test-no-cgroup")) << text.toStdString();
}

// An enforcer that ended unasked is started again at the next retry, and the policy with it.
TEST(KernelTable, AnEnforcerThatEndedIsStartedAgainWithThePolicy) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Policy policy;
    test::TcpListener listener("127.0.0.2", 47940);
    policy.set({makeRule("block", "127.0.0.2", "47940")});
    ASSERT_EQ(::kill(policy.enforcer.pid(), SIGKILL), 0);
    const auto state = [&] { return policy.kernel.state(); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return state() == EnforcementState::MonitorOnly; }, 2000));
    EXPECT_FALSE(refused("127.0.0.3", 0, listener)) << "the table went with its enforcer";
    policy.kernel.findChild<QTimer*>(QStringLiteral("TimerKernelTable"))->start(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state() == EnforcementState::TableAndCuts; }, 5000));
    EXPECT_TRUE(refused("127.0.0.3", 0, listener));
}

// Without CAP_NET_ADMIN, libnftables writes "Operation not permitted (you must be root)" to
// standard error itself: once, not again at every retry (every 5 s for the whole run).
TEST(KernelTable, SaysOnceOnStandardErrorThatItMayNotWriteTheTable) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::UnprivilegedEnforcer unprivileged;
    std::unique_ptr<Policy> policy;
    const std::string written = standardError([&] {
        policy = std::make_unique<Policy>(0, unprivileged.program()); // the first write
        for (int retry = 0; retry < 3; ++retry)
            policy->kernel.update();
    });
    EXPECT_EQ(policy->kernel.failure(), "Operation not permitted");
    policy.reset(); // the enforcer's last words are written
    const auto lines = QString::fromStdString(written).count("Operation not permitted");
    EXPECT_EQ(lines, 1) << written;
}

// Refusals come back through the enforcer: each counted once, recorded under the rule's
// position; a flood is counted exactly while its records are held to the rate.
TEST(KernelTable, CountsAFloodExactlyWhileItsRecordsAreHeldToTheRate) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Policy policy;
    test::TcpListener listener("127.0.0.2", 47920);
    policy.set({makeRule("accept", "127.0.0.9", "any port"),
                makeRule("block", "127.0.0.2", "47920")});
    ASSERT_TRUE(refused("127.0.0.3", 47921, listener));
    ASSERT_TRUE(QTest::qWaitFor([&] { return policy.engine.cutCount() == 1; }, 2000));
    QTest::qWait(100);
    ASSERT_EQ(policy.events.records.size(), 1);
    const EventRecord& record = policy.events.records.first();
    EXPECT_EQ(record.status, "BLOCKED CONNECTION");
    EXPECT_EQ(record.rule, "(2)");
    EXPECT_EQ(record.localAddress + ":" + record.localPort, "127.0.0.3:47921");
    EXPECT_EQ(record.remoteAddress + ":" + record.remotePort, "127.0.0.2:47920");
    EXPECT_EQ(policy.engine.cutCount(), 1);

    constexpr int Flood = 2000;
    for (int i = 0; i < Flood; ++i)
        ASSERT_NE(test::connectError("127.0.0.3", listener), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return policy.engine.cutCount() == Flood + 1; }, 5000))
        << policy.engine.cutCount();
    EXPECT_LE(policy.events.records.size(), 2 * KernelRefusals::RecordsPerSecond);
}
