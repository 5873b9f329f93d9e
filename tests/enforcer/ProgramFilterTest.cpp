// The program filter of a real enforcer, attached to this test's own cgroup in its own network
// namespace: two copies of one client (two files) tell programs apart, a refused call fails
// before any packet exists, and the compiler's maps give the first match of a walk.

#include "enforcer/FilterCompiler.h"
#include "engine/EnforcerLink.h"
#include "platform/NfTables.h"
#include "support/EnforcerSupport.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <poll.h>
#include <random>
#include <regex>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace tarvok {
namespace {

using namespace enforcer;

// The probe client under two names.
struct TwoCopies {
    QTemporaryDir folder;
    QString a = folder.path() + QStringLiteral("/client-a");
    QString b = folder.path() + QStringLiteral("/client-b");
    TwoCopies() {
        for (const QString& path : {a, b}) {
            EXPECT_TRUE(QFile::copy(QStringLiteral(TARVOK_TEST_PROBE_CLIENT), path));
            QFile(path).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        }
    }
    static int run(const QString& program, const char* kind, const char* target, int port,
                   const char* source = "127.0.0.3") {
        QProcess process;
        process.start(program, {QString::fromLatin1(kind), QString::fromLatin1(source),
                                QString::fromLatin1(target), QString::number(port)});
        if (!process.waitForFinished(5000))
            return -1;
        return process.exitCode();
    }
};

// Counts what leaves before anything else sees it: the SYNs and datagrams to a port.
struct Counter {
    platform::NftScripts nft;
    explicit Counter(int port) {
        const std::string p = std::to_string(port);
        EXPECT_TRUE(nft.run("table inet tarvok_probe {\n\tflags owner\n\tchain out {\n\t\ttype "
                            "filter hook output priority raw - 10; policy accept;\n\t\ttcp dport " +
                            p + " tcp flags & (syn | ack) == syn counter\n\t\tudp dport " + p +
                            " counter\n\t}\n}\n"))
            << nft.error();
    }
    static int packets() {
        const std::string text = test::listedTable("tarvok_probe");
        int total = 0;
        static const std::regex counter("packets ([0-9]+)");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), counter);
             it != std::sregex_iterator(); ++it)
            total += std::stoi((*it)[1]);
        return total;
    }
};

TypedRule rule(bool accept, const ProgramFile* program, std::uint8_t octet = 0,
               std::uint8_t protocols = ProtoBoth) {
    TypedRule r;
    r.accept = accept;
    r.protocols = protocols;
    if (program) {
        r.namesProgram = true;
        r.program = *program;
    }
    if (octet) {
        r.family = RuleFamily::V4;
        r.address = {127, 0, 0, octet};
    }
    return r;
}

TEST(ProgramFilter, DevicesConvertBetweenStatAndTheKernelsEncoding) {
    for (const auto& [major, minor] : {std::pair{8u, 1u}, {259u, 3u}, {0u, 45u}, {253u, 70000u}}) {
        const std::uint64_t kernel = kernelDevice(makedev(major, minor));
        EXPECT_EQ(kernel, (std::uint64_t{major} << 20) | minor);
        EXPECT_EQ(statDevice(kernel), makedev(major, minor));
    }
}

// The maps' lowest rule over the connection's keys equals the first enabled match of a walk.
TEST(ProgramFilter, MapsGiveTheFirstMatchOfRandomTables) {
    std::mt19937 random(29);
    const ProgramFile programs[] = {{2049, 11}, {2049, 12}};
    for (int round = 0; round < 200; ++round) {
        SetPolicy policy;
        const int count = 1 + static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            TypedRule r = rule(random() % 2, random() % 3 ? nullptr : &programs[random() % 2],
                               random() % 3 ? 0 : static_cast<std::uint8_t>(2 + random() % 2),
                               static_cast<std::uint8_t>(1 + random() % 3));
            r.anyPort = random() % 2;
            r.port = r.anyPort ? 0 : static_cast<std::uint16_t>(80 + random() % 2);
            r.enabled = random() % 5 != 0;
            policy.rules.push_back(r);
        }
        const FilterPolicy compiled = compileFilter(policy, 1);
        for (const ProgramFile& program : programs)
            for (std::uint8_t octet : {2, 3})
                for (std::uint16_t port : {80, 81})
                    for (std::uint8_t protocol : {6, 17}) {
                        std::uint32_t expected = FILTER_NO_RULE;
                        for (std::size_t i = 0; i < policy.rules.size() && expected == FILTER_NO_RULE; ++i) {
                            const TypedRule& r = policy.rules[i];
                            if (r.enabled && (r.protocols & (protocol == 6 ? 1 : 2)) &&
                                (!r.namesProgram || r.program == program) &&
                                (r.family == RuleFamily::Any || r.address[3] == octet) &&
                                (r.anyPort || r.port == port))
                                expected = static_cast<std::uint32_t>(i);
                        }
                        std::uint32_t found = FILTER_NO_RULE;
                        for (const FilterEntry& entry : compiled.entries) {
                            const filter_key& key = entry.key;
                            const bool matches =
                                key.generation == 1 && key.protocol == protocol &&
                                (!(key.shape & SHAPE_PROGRAM) ||
                                 (key.device == kernelDevice(program.device) && key.inode == program.inode)) &&
                                (!(key.shape & SHAPE_ADDRESS) || key.address[3] == octet) &&
                                (!(key.shape & SHAPE_PORT) || key.port == port);
                            if (matches)
                                found = std::min(found, entry.value.rule);
                        }
                        ASSERT_EQ(found, expected) << "round " << round;
                    }
    }
}

struct Attempt {
    const char* name;
    std::vector<TypedRule> rules;
    Level level;
    const char* kind;
    int a, b; // what each copy's call ends with: 0 or EPERM
};

TEST(ProgramFilter, RefusesABlockedProgramsCallsBeforeAnyPacketAndLetsTheOtherCopyThrough) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::ownCgroup()) << "the program filter is tested in a cgroup of the test's "
                                      "own, which needs root and a cgroup v2 mount";
    EnforcerLink link;
    ASSERT_TRUE(link.start(QStringLiteral(TARVOK_TEST_ENFORCER), test::nextInstance()));
    ASSERT_TRUE(link.filterInForce()) << link.filterReason().toStdString();
    QSignalSpy refused(&link, &EnforcerLink::refused);
    TwoCopies copies;
    const ProgramFile a = test::programFile(copies.a);
    test::TcpListener server("127.0.0.2");
    std::uint16_t udpPort = server.port();
    test::Fd udpServer = test::boundUdp("127.0.0.2", udpPort);
    Counter counter(server.port());

    const Attempt attempts[] = {
        {"program block", {rule(false, &a)}, Level::Normal, "tcp", EPERM, 0},
        {"address accept above program block", {rule(true, nullptr, 2), rule(false, &a)},
         Level::Normal, "tcp", 0, 0},
        {"program accept above address block", {rule(true, &a), rule(false, nullptr, 2)},
         Level::Normal, "tcp", 0, EPERM},
        {"program block, UDP datagrams", {rule(false, &a, 0, ProtoUdp)}, Level::Normal,
         "udp-send", EPERM, 0},
        {"program block, UDP only, TCP passes", {rule(false, &a, 0, ProtoUdp)}, Level::Normal,
         "tcp", 0, 0},
        {"program block, connected UDP", {rule(false, &a)}, Level::Normal, "udp-connect", EPERM, 0},
        {"Block level", {rule(true, &a)}, Level::Block, "tcp", EPERM, EPERM},
        {"paused", {rule(false, &a)}, Level::Normal, "tcp", 0, 0},
    };
    for (const Attempt& attempt : attempts) {
        SCOPED_TRACE(attempt.name);
        SetPolicy policy{attempt.level, std::strcmp(attempt.name, "paused") == 0, false,
                         attempt.rules};
        QSignalSpy written(&link, &EnforcerLink::policyWritten);
        link.setPolicy(policy);
        ASSERT_TRUE(written.wait(5000));
        const int before = Counter::packets();
        EXPECT_EQ(TwoCopies::run(copies.a, attempt.kind, "127.0.0.2", server.port()), attempt.a);
        if (attempt.a == EPERM) {
            EXPECT_EQ(Counter::packets(), before) << "no packet of the refused call left";
        }
        EXPECT_EQ(TwoCopies::run(copies.b, attempt.kind, "127.0.0.2", server.port()), attempt.b);
        // The exempt rows pass whatever the policy.
        EXPECT_EQ(TwoCopies::run(copies.a, attempt.kind, "127.0.0.1", server.port(), "127.0.0.1"),
                  std::strcmp(attempt.kind, "tcp") == 0 ? ECONNREFUSED : 0);
    }
    ASSERT_TRUE(link.settle(3000));
    QCoreApplication::processEvents();
    ASSERT_GE(refused.count(), 1);
    const auto first = refused.at(0).at(0).value<Refusal>();
    EXPECT_EQ(first.program, a) << "the refusal names the program's file";
    EXPECT_NE(first.pid, 0u);
    EXPECT_EQ(first.remote[3], 2);
    EXPECT_EQ(first.remotePort, server.port());
    EXPECT_TRUE(link.goodbye());
}

TEST(ProgramFilter, AnEnforcerThatMayNotLoadBpfSaysWhyAndItsTableDecidesOutgoing) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    QTemporaryDir folder;
    const QString wrapper = folder.path() + QStringLiteral("/enforcer");
    QFile script(wrapper);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nexec setpriv --inh-caps -all --bounding-set -bpf,-perfmon,-sys_admin "
                 TARVOK_TEST_ENFORCER "\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    EnforcerLink link;
    ASSERT_TRUE(link.start(wrapper, test::nextInstance())) << link.failure().toStdString();
    EXPECT_FALSE(link.filterInForce());
    EXPECT_NE(link.filterReason(), QString());
    QSignalSpy written(&link, &EnforcerLink::policyWritten);
    link.setPolicy(SetPolicy{Level::Normal, false, false, {rule(false, nullptr, 2)}});
    ASSERT_TRUE(written.wait(5000));
    test::TcpListener server("127.0.0.2");
    EXPECT_EQ(test::connectError("127.0.0.3", server), ECONNREFUSED) << "the table refuses it";
    EXPECT_TRUE(link.goodbye());
}

} // namespace
} // namespace tarvok
