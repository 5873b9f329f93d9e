// Rules that cover UDP, and the Block level's UDP and ICMP, in the kernel table: tried with
// real datagrams in this test's own network namespace.
#include "engine/KernelTable.h"
#include "engine/RuleCheck.h"
#include "engine/SecurityLevels.h"
#include "support/EnforcerSupport.h"
#include "support/KernelPolicy.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>

using namespace tarvok;
using test::Fd;

namespace {

// The kernel table with one block rule of a protocol at a time.
struct Policy : test::KernelPolicy {
    using KernelPolicy::set;
    void set(const QString& protocol, const QString& address, const QString& port = "any port") {
        Rule rule = test::makeRule("block", address, port);
        rule.protocol = protocol;
        set(QList<Rule>{rule});
    }
};

// Whether an ICMP echo from `from` to `to` is answered (IPv4, raw socket).
bool echoAnswered(const char* from, const char* to) {
    Fd fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    const test::Endpoint local = test::endpoint(from, 0), remote = test::endpoint(to, 0);
    EXPECT_EQ(::bind(fd.get(), local.get(), local.length), 0) << std::strerror(errno);
    icmphdr echo{};
    echo.type = ICMP_ECHO;
    echo.un.echo.id = 0x7a7a;
    echo.checksum = htons(static_cast<std::uint16_t>(~((ICMP_ECHO << 8) + 0x7a7a)));
    if (::sendto(fd.get(), &echo, sizeof echo, 0, remote.get(), remote.length) < 0)
        return false;
    for (int reads = 0; reads < 4; ++reads) { // the request itself comes past on lo, too
        pollfd waiting{fd.get(), POLLIN, 0};
        unsigned char packet[256];
        if (::poll(&waiting, 1, 100) != 1)
            return false;
        const long size = ::recv(fd.get(), packet, sizeof packet, 0);
        if (size >= 28 && packet[20] == ICMP_ECHOREPLY)
            return true;
    }
    return false;
}

} // namespace

// A rule for TCP and UDP lets not one datagram of a QUIC-like exchange through, either way,
// over IPv4, IPv6 and a dual-stack socket, and stops the exchange already running; a rule for
// TCP alone leaves it alone, as the help says.
TEST(UdpTable, ARuleForUdpStopsAQuicLikeExchangeThatATcpRuleLeavesAlone) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::addLoopbackAddress("fd00::2") && test::addLoopbackAddress("fd00::3"));
    Policy policy;
    ASSERT_TRUE(policy.kernel.inForce()) << policy.kernel.failure().toStdString();
    struct Case {
        const char *client, *server, *protocol, *blocked, *port;
        int reached;
    };
    const Case cases[] = {
        {"127.0.0.3", "127.0.0.2", "TCP/UDP", "127.0.0.2", "any port", 0},
        {"127.0.0.3", "127.0.0.2", "TCP/UDP", "127.0.0.3", "any port", 0}, // the answer's side
        {"127.0.0.3", "127.0.0.2", "UDP", "any address", "443", 0},
        {"127.0.0.3", "127.0.0.2", "TCP", "127.0.0.2", "any port", 40},
        {"fd00::3", "fd00::2", "TCP/UDP", "fd00::2", "443", 0},
        {"fd00::3", "fd00::2", "TCP", "fd00::2", "443", 40},
        {"::ffff:127.0.0.3", "::ffff:127.0.0.2", "TCP/UDP", "127.0.0.2", "443", 0},
        {"::ffff:127.0.0.3", "::ffff:127.0.0.2", "TCP", "127.0.0.2", "443", 40},
    };
    for (const Case& c : cases) {
        policy.rules.clear();
        ASSERT_TRUE(policy.kernel.waitForWrite());
        Fd server = test::boundUdp(c.server, 443), client = test::boundUdp(c.client, 0);
        ASSERT_EQ(test::udpExchange(client.get(), server.get(), c.server, 443), 40) << c.client;
        policy.set(c.protocol, c.blocked, c.port);
        EXPECT_EQ(leavesUdpOpen(policy.rules, 0), c.reached > 0) << "the warning"; // as shown
        EXPECT_EQ(test::udpExchange(client.get(), server.get(), c.server, 443), c.reached)
            << c.client << " -> " << c.server << ", " << c.protocol << " rule for " << c.blocked;
    }
}

// A refused flow is recorded once, as UDP, however many datagrams it sends, and counted once.
TEST(UdpTable, RecordsARefusedFlowOnceAsUdpHoweverManyDatagramsItSends) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Policy policy;
    policy.set("TCP/UDP", "127.0.0.2", "4433");
    Fd server = test::boundUdp("127.0.0.2", 4433), client = test::boundUdp("127.0.0.4", 0);
    EXPECT_EQ(test::udpExchange(client.get(), server.get(), "127.0.0.2", 4433, 200), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return policy.engine.cutCount() >= 1; }, 2000));
    QTest::qWait(200);
    EXPECT_EQ(policy.engine.cutCount(), 1);
    ASSERT_EQ(policy.events.records.size(), 1);
    EXPECT_EQ(policy.events.records.first().protocol, "UDP");
    EXPECT_EQ(policy.events.records.first().remotePort, "4433");
    EXPECT_EQ(policy.events.records.first().rule, "(1)");
}

// The Block level answers no UDP and no ICMP echo between local addresses, while what the
// table exempts (both ends on 127.0.0.1 or ::1) still talks.
TEST(UdpTable, TheBlockLevelStopsUdpAndIcmpButKeepsTheLoopbackExemptions) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Policy policy;
    policy.levels.clickLevel(2);
    ASSERT_TRUE(policy.kernel.waitForWrite());
    struct Case {
        const char *client, *server;
        bool answered;
    };
    for (const Case& c : {Case{"127.0.0.5", "127.0.0.2", false}, Case{"127.0.0.1", "127.0.0.1", true},
                          Case{"::1", "::1", true}}) {
        Fd server = test::boundUdp(c.server, 5353), client = test::boundUdp(c.client, 0);
        EXPECT_EQ(test::udpExchange(client.get(), server.get(), c.server, 5353, 3),
                  c.answered ? 6 : 0)
            << c.client << " -> " << c.server;
    }
    EXPECT_FALSE(echoAnswered("127.0.0.5", "127.0.0.2"));
    EXPECT_TRUE(echoAnswered("127.0.0.1", "127.0.0.1"));
    policy.levels.clickLevel(1);
    ASSERT_TRUE(policy.kernel.waitForWrite());
    EXPECT_TRUE(echoAnswered("127.0.0.5", "127.0.0.2"));
}

// The pass reads TCP: a rule for UDP alone leaves an open TCP connection to its address alone,
// while one for TCP and UDP cuts it right after the write.
TEST(UdpTable, ARuleForUdpAloneCutsNoTcpConnection) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Policy policy;
    test::TcpListener listener("127.0.0.2", 47940);
    test::TcpConnection open = test::connect("127.0.0.3", listener);
    policy.set("UDP", "127.0.0.2");
    policy.engine.runPass();
    EXPECT_EQ(test::readOutcome(open.client.get(), 0), -ETIMEDOUT);
    policy.set("TCP/UDP", "127.0.0.2");
    EXPECT_EQ(test::readOutcome(open.client.get(), 0), -ECONNABORTED);
}

// A connected UDP socket whose peer a new rule blocks is cut at the next pass, recorded as UDP;
// a TCP-only rule leaves it, and an unconnected socket is left to the kernel table.
TEST(UdpTable, TheNextPassCutsAConnectedUdpSocketThatANewRuleBlocks) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Policy policy;
    for (const char* protocol : {"TCP", "UDP"}) {
        SCOPED_TRACE(protocol);
        Fd server = test::boundUdp("127.0.0.2", 4434), loose = test::boundUdp("127.0.0.6", 0);
        Fd client = test::boundUdp("127.0.0.6", 0);
        const test::Endpoint peer = test::endpoint("127.0.0.2", 4434);
        ASSERT_EQ(::connect(client.get(), peer.get(), peer.length), 0);
        policy.set(protocol, "127.0.0.2", "4434");
        policy.engine.runPass();
        const bool cut = protocol == std::string("UDP");
        EXPECT_EQ(test::readOutcome(client.get(), 0), cut ? -ECONNABORTED : -ETIMEDOUT);
        EXPECT_EQ(test::readOutcome(loose.get(), 0), -ETIMEDOUT);
        EXPECT_EQ(policy.events.records.size(), cut ? 1 : 0);
    }
    EXPECT_EQ(policy.events.records.last().protocol, "UDP");
    EXPECT_EQ(policy.engine.cutCount(), 1);
}

// The table caches the remote ends of datagrams it let pass; a new rule still stops such a flow
// at its next datagram, in either direction, since every write starts the cache empty.
TEST(UdpTable, ANewRuleStopsAFlowWhoseEndsTheTableHasCached) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Policy policy;
    for (const char* blocked : {"127.0.0.2", "127.0.0.3"}) { // the server's end, the client's
        policy.set("UDP", "127.0.0.7"); // a rule for another end: this flow passes
        Fd server = test::boundUdp("127.0.0.2", 4436), client = test::boundUdp("127.0.0.3", 0);
        ASSERT_EQ(test::udpExchange(client.get(), server.get(), "127.0.0.2", 4436), 40);
        const std::string table = test::listedTable(policy.enforcer.tableName().toStdString());
        EXPECT_NE(table.find("127.0.0.2 . 4436 expires"), std::string::npos) << table;
        policy.set("UDP", blocked);
        EXPECT_EQ(test::udpExchange(client.get(), server.get(), "127.0.0.2", 4436), 0) << blocked;
    }
}
