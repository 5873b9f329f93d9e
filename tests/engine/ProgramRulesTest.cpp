#include "engine/EnforcementEngine.h"
#include "support/EngineRig.h"
#include "support/KernelPolicy.h"
#include "support/HoldClient.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <map>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace tarvok;
using platform::addressField;
using tarvok::test::makeRule;

namespace {

Rule programRule(const QString& action, const QString& address, const QString& port,
                 const QString& program, bool enabled = true) {
    Rule rule = makeRule(action, address, port, enabled);
    rule.program = program;
    return rule;
}

} // namespace

// Program rules and address rules are one ordered list: the index must give the walk's first
// match for every owner, with a link and its target one program, and a cell that is not an
// absolute path (or names no file) matching nothing.
TEST(PolicyIndex, AgreesWithTheWalkForEveryOwnerOnRandomTables) {
    const ProgramIdentity a{1, 10}, b{1, 11}, stranger{2, 10};
    const std::map<QString, ProgramIdentity> files = {
        {"/bin/a", a}, {"/usr/bin/a-link", a}, {"/bin/b", b}};
    const auto resolve = [&files](const QString& path) -> std::optional<ProgramIdentity> {
        const auto found = files.find(path);
        return found == files.end() ? std::nullopt : std::optional(found->second);
    };
    const QStringList programCells = {"",          "",       "/bin/a", "/usr/bin/a-link",
                                      "/bin/b",    "bin/a",  "/bin/missing",
                                      "/bin/a\n",  "/bin/b\x7f"};
    const QStringList addressCells = {"any address", "127.0.0.2", "127.0.0.3", "x"};
    const QStringList portCells = {"any port", "80", "443", ""};
    const std::uint32_t addresses[] = {addressField(127, 0, 0, 2), addressField(127, 0, 0, 3)};
    const std::uint16_t ports[] = {80, 443, 22};
    const ProgramIdentity* owners[] = {nullptr, &a, &b, &stranger};
    std::mt19937 random(20261207);
    RuleTable table, expected;
    PolicyIndex index;
    for (int round = 0; round < 300; ++round) {
        QList<Rule> rules;
        const int count = static_cast<int>(random() % 24);
        for (int i = 0; i < count; ++i)
            rules.append(programRule(random() % 2 ? "accept" : "block",
                                     addressCells[static_cast<int>(random() % 4)],
                                     portCells[static_cast<int>(random() % 4)],
                                     programCells[static_cast<int>(random() % 9)],
                                     random() % 6 != 0));
        table.setRules(rules);
        index.rebuild(table, RuleTcp, resolve, 1);
        for (const ProgramIdentity* owner : owners) {
            // The walk's view: a rule for another program (or none) is as good as disabled.
            QList<Rule> walked = rules;
            for (Rule& rule : walked) {
                const auto file = resolve(rule.program);
                if (!rule.program.isEmpty() && !(owner && file && *file == *owner))
                    rule.enabled = "false";
            }
            expected.setRules(walked);
            for (const std::uint32_t address : addresses)
                for (const std::uint16_t port : ports)
                    ASSERT_EQ(index.firstMatch(address, port, owner),
                              test::walk(expected, addressText(address), port))
                        << "round " << round << " owner " << (owner ? owner->inode : 0);
        }
    }
}

namespace {

using Client = test::HoldClient;

} // namespace

// Two copies of one client are two programs. A block rule that names one copy cuts its open
// connection (TCP, or a connected UDP socket) and leaves the other's; while the owners are not
// yet known (the first pass with the rule), no program rule cuts anything.
TEST(EnforcementEngine, ABlockRuleForAProgramCutsItsConnectionsAndNoOtherProgramsOnes) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    for (const bool udp : {false, true}) {
        SCOPED_TRACE(udp ? "UDP" : "TCP");
        QTemporaryDir folder;
        test::TcpListener listener("127.0.0.2");
        Client a, b;
        ASSERT_TRUE(a.start(folder.filePath("a-client"), "127.0.0.5", listener, udp));
        ASSERT_TRUE(b.start(folder.filePath("b-client"), "127.0.0.6", listener, udp));
        test::Firewall firewall;
        const auto alive = [&](const char* from, std::uint16_t port) {
            const auto ours = [&](const auto& row) {
                return row.localAddress == test::address(from) &&
                       row.localPort == platform::portField(port);
            };
            std::vector<TcpRow> tcp;
            std::vector<platform::UdpConnectionRow> connected;
            EXPECT_EQ(udp ? firewall.diag.readConnectedUdp(connected) : firewall.diag.readTcp(tcp),
                      0u);
            return std::any_of(tcp.begin(), tcp.end(), ours) ||
                   std::any_of(connected.begin(), connected.end(), ours);
        };
        const QString port = QString::number(listener.port());
        Rule block = programRule("block", "127.0.0.2", port, a.path);
        block.protocol = udp ? "UDP" : "TCP";
        firewall.rules.setRules({block, makeRule("accept", "any address", "any port", true, false)});
        firewall.engine.runPass();
        EXPECT_TRUE(alive("127.0.0.5", a.port)) << "cut by a program rule while its owner was unknown";
        EXPECT_EQ(firewall.engine.cutCount(), 0);

        ASSERT_TRUE(firewall.engine.programOwners().waitForWalk(5000));
        firewall.engine.runPass();
        EXPECT_FALSE(alive("127.0.0.5", a.port));
        EXPECT_TRUE(alive("127.0.0.6", b.port));
        EXPECT_EQ(firewall.engine.cutCount(), 1);
        ASSERT_EQ(firewall.events.records.size(), 1);
        const EventRecord& record = firewall.events.records[0];
        EXPECT_EQ(QStringList({record.protocol, record.localAddress, record.status, record.rule}),
                  QStringList({udp ? "UDP" : "TCP", "127.0.0.5", "BLOCKED CONNECTION", "(1)"}));
    }
}

// A program accepted above an address block keeps its connection; the other program's goes.
TEST(EnforcementEngine, AProgramAcceptedAboveAnAddressBlockKeepsItsConnection) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    QTemporaryDir folder;
    test::TcpListener listener("127.0.0.2");
    Client a, b;
    ASSERT_TRUE(a.start(folder.filePath("a-client"), "127.0.0.5", listener));
    ASSERT_TRUE(b.start(folder.filePath("b-client"), "127.0.0.6", listener));
    test::Firewall firewall;
    const QString port = QString::number(listener.port());
    // The rule that owners are learnt for comes first; the block follows once they are known.
    firewall.rules.setRules({programRule("accept", "any address", port, a.path)});
    firewall.engine.runPass();
    ASSERT_TRUE(firewall.engine.programOwners().waitForWalk(5000));
    firewall.rules.appendRule(makeRule("block", "127.0.0.2", port));
    firewall.engine.runPass();
    QStringList cut;
    for (const EventRecord& record : firewall.events.records)
        if (record.status == "BLOCKED CONNECTION")
            cut << record.localAddress + " " + record.rule;
    EXPECT_EQ(cut, QStringList({"127.0.0.6 (2)"}));
}

// With the program filter in force, the owner of a socket it saw connect comes from the
// filter: a new rule blocking that program cuts the connection without any walk of /proc.
TEST(KernelTable, OwnersOfSocketsTheFilterSawConnectNeedNoWalk) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::ownCgroup()) << "the program filter needs a cgroup v2 folder of the test's own";
    test::KernelPolicy policy;
    // Any program rule puts the filter in charge of outgoing connections, and owners in use.
    policy.set({programRule("accept", "any address", "any port", "/usr/bin/true")});
    ASSERT_TRUE(policy.kernel.filterInForce());
    QTemporaryDir folder;
    test::TcpListener listener("127.0.0.2");
    Client a;
    ASSERT_TRUE(a.start(folder.filePath("a-client"), "127.0.0.5", listener));
    policy.set({programRule("block", "127.0.0.2", QString::number(listener.port()), a.path)});
    policy.engine.runPass(); // the pass after the write asked the filter; this one cuts
    EXPECT_EQ(policy.engine.cutCount(), 1);
    EXPECT_EQ(policy.engine.programOwners().walks(), 0u);
}

// A rule names a path: when an upgrade puts a new file there, the kernel follows it, and a
// process of the old file (kept here under a second name) no longer matches.
TEST(KernelTable, TheFilterFollowsAProgramPathToTheFileThatReplacedIt) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::ownCgroup()) << "the program filter needs a cgroup v2 folder of the test's own";
    QTemporaryDir folder;
    const QString path = folder.filePath("prog"), old = folder.filePath("old");
    const auto install = [](const QString& to) {
        return QFile::copy(QStringLiteral(TARVOK_TEST_PROBE_CLIENT), to) &&
               QFile::setPermissions(to, QFile::ReadOwner | QFile::ExeOwner);
    };
    ASSERT_TRUE(install(path));
    ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(old).constData()), 0);
    test::TcpListener listener("127.0.0.2");
    const auto connects = [&](const QString& program) {
        QProcess process;
        process.start(program, {"tcp", "127.0.0.3", "127.0.0.2", QString::number(listener.port())});
        return process.waitForFinished(5000) ? process.exitCode() : -1;
    };
    test::KernelPolicy policy;
    policy.set({programRule("block", "127.0.0.2", "any port", path)});
    ASSERT_TRUE(policy.kernel.filterInForce());
    EXPECT_EQ(connects(path), EPERM);

    // Replaced as a package upgrade does: a new file renamed over the path.
    const int writes = policy.kernel.writeCount();
    ASSERT_TRUE(install(path + ".new"));
    ASSERT_EQ(::rename(QFile::encodeName(path + ".new").constData(), QFile::encodeName(path).constData()), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return policy.kernel.writeCount() > writes; }, 5000))
        << "the new file was not followed";
    EXPECT_EQ(connects(path), EPERM) << "the new file";
    EXPECT_EQ(connects(old), 0) << "the replaced file is another program now";
}

// Owners are learnt once: a pass that sees only known sockets walks /proc no more, and a
// socket that no process this user may read holds stays unknown without being asked again.
TEST(ProgramOwners, WalksOnlyForSocketsNotSeenBeforeAndKeepsUnreadableOnesUnknown) {
    const test::Fd own(::socket(AF_INET, SOCK_STREAM, 0));
    struct stat info {};
    ASSERT_EQ(::fstat(own.get(), &info), 0);
    const platform::SocketId ours{static_cast<std::uint32_t>(info.st_ino), 1};
    const platform::SocketId nobodys{0xfffffff0u, 2}, later{0xfffffff1u, 3};
    ProgramOwners owners;
    const auto pass = [&owners](std::initializer_list<platform::SocketId> sockets) {
        EXPECT_TRUE(owners.waitForWalk(5000));
        owners.beginPass();
        std::vector<const ProgramIdentity*> known;
        for (const platform::SocketId& id : sockets)
            known.push_back(owners.ownerOf(id));
        owners.endPass();
        return known;
    };
    EXPECT_EQ(pass({ours, nobodys}), std::vector<const ProgramIdentity*>(2, nullptr));
    EXPECT_EQ(owners.walks(), 1u);
    const auto known = pass({ours, nobodys});
    ASSERT_TRUE(known[0]);
    EXPECT_EQ(*known[0], statProgram(QStringLiteral("/proc/self/exe")));
    EXPECT_FALSE(known[1]);
    pass({ours, nobodys});
    EXPECT_EQ(owners.walks(), 1u) << "walked again for sockets already known";
    pass({ours, nobodys, later});
    EXPECT_EQ(owners.walks(), 2u);
    // An owner learnt from elsewhere needs no walk.
    owners.learn(ProgramOwners::keyOf({0xfffffff2u, 4}), {7, 8});
    EXPECT_EQ(*pass({{0xfffffff2u, 4}})[0], (ProgramIdentity{7, 8}));
    EXPECT_EQ(owners.walks(), 2u);
}
