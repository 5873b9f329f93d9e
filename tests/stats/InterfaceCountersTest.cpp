// The interface table and the protocol counters, read from the kernel of the test's own
// network namespace (only its loopback interface exists there), and from recorded replies.
#include "stats/CIpHelper.h"
#include "stats/ProtocolCounters.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <QUdpSocket>

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

using namespace tarvok;

namespace {

// Appends one message to a dump reply: RTM_NEWLINK with a name and 64-bit statistics, or,
// without a name, NLMSG_DONE.
void append(std::vector<char>& reply, std::uint32_t sequence, int index = 0,
            const char* name = nullptr, std::uint64_t received = 0, std::uint64_t sent = 0,
            unsigned short type = ARPHRD_ETHER) {
    const std::size_t nameSize = name ? RTA_LENGTH(std::strlen(name) + 1) : 0;
    const std::size_t statsSize = RTA_LENGTH(sizeof(rtnl_link_stats64));
    const std::size_t length =
        name ? NLMSG_LENGTH(sizeof(ifinfomsg)) + RTA_ALIGN(nameSize) + RTA_ALIGN(statsSize)
             : NLMSG_LENGTH(sizeof(int));
    const std::size_t start = reply.size();
    reply.resize(start + NLMSG_ALIGN(length));
    auto* header = reinterpret_cast<nlmsghdr*>(reply.data() + start);
    *header = {static_cast<std::uint32_t>(length),
               static_cast<std::uint16_t>(name ? RTM_NEWLINK : NLMSG_DONE),
               static_cast<std::uint16_t>(name ? NLM_F_MULTI : 0), sequence, 0};
    if (!name)
        return;
    auto* info = static_cast<ifinfomsg*>(NLMSG_DATA(header));
    info->ifi_index = index;
    info->ifi_type = type;
    auto* attribute = IFLA_RTA(info);
    *attribute = {static_cast<unsigned short>(nameSize), IFLA_IFNAME};
    std::memcpy(RTA_DATA(attribute), name, std::strlen(name) + 1);
    attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(attribute) + RTA_ALIGN(nameSize));
    *attribute = {static_cast<unsigned short>(statsSize), IFLA_STATS64};
    rtnl_link_stats64 stats{};
    stats.rx_bytes = received;
    stats.tx_bytes = sent;
    std::memcpy(RTA_DATA(attribute), &stats, sizeof stats);
}

} // namespace

TEST(InterfaceCounters, LoopbackIsReadWithItsPropertiesButLeftOutOfTheSums) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    CIpHelper helper;
    const CInterfaces& interfaces = helper.Interfaces();
    ASSERT_EQ(interfaces.Count(), 1); // a fresh namespace holds only its loopback
    const CInterface& lo = *interfaces.Item(1);
    EXPECT_EQ(QStringList({lo.InterfaceName, lo.InterfaceDescription, lo.AdapterAddress}),
              QStringList({"lo", "lo", "00-00-00-00-00-00"}));
    EXPECT_EQ(std::tuple(lo.InterfaceIndex, lo.MaximumTransmissionUnit, lo.AdminStatus,
                         lo.OperationalStatus, helper.BytesReceived(), helper.BytesSent()),
              std::tuple(1, 65536, CInterface::AdminUp, CInterface::Operational, 0ull, 0ull));

    const unsigned char bytes[10] = {0, 26, 255, 1, 2, 3, 4, 5, 6, 7}; // at most eight bytes shown
    EXPECT_EQ(adapterAddressText(bytes, 6), "00-1A-FF-01-02-03");
    EXPECT_EQ(adapterAddressText(bytes, 10), "00-1A-FF-01-02-03-04-05");
}

// Sums taken through 32-bit values lose whole gigabytes; received and sent must not swap.
TEST(InterfaceCounters, SumsAboveFourGigabytesKeepEveryInterfaceAndEachDirection) {
    std::vector<char> reply;
    const std::uint64_t big = 3'000'000'000ull; // above 2^31 on its own
    append(reply, 7, 1, "lo", big, 5, ARPHRD_LOOPBACK);
    append(reply, 7, 2, "eth0", big * 2, 6'000'000'000ull);
    append(reply, 7, 4, "wlan0", big, 5);
    append(reply, 6, 3, "stale", 1, 1); // an answer to an earlier request: ignored
    append(reply, 7);
    CInterfaces interfaces;
    bool done = false, interrupted = false;
    ASSERT_TRUE(CIpHelper::decodeLinkMessages(reply.data(), reply.size(), 7, interfaces, done,
                                              interrupted));
    ASSERT_EQ(std::tuple(done, interrupted, interfaces.Count()), std::tuple(true, false, 3));
    CIpHelper helper;
    helper.setInterfaces(interfaces);
    EXPECT_EQ(std::tuple(helper.BytesReceived(), helper.BytesSent()),
              std::tuple(9'000'000'000ull, 6'000'000'005ull));

    CInterfaces cut; // a reply cut inside a message is refused rather than read past its end
    EXPECT_FALSE(CIpHelper::decodeLinkMessages(reply.data(), 20, 7, cut, done, interrupted));
}

// An interface moved in from another namespace is announced with the counters of its past,
// then again at each change (brought up, renamed) with the traffic since: the first notice
// is the one it arrived with.
TEST(InterfaceCounters, NoticesKeepWhatAnInterfaceArrivedWithAndWhatARemovedOneLeftWith) {
    std::vector<char> notices;
    append(notices, 0, 4, "moved", 9'000'000'000ull, 7);
    append(notices, 0, 4, "moved", 9'000'100'000ull, 8);
    const std::size_t removal = notices.size();
    append(notices, 0, 3, "gone", 5, 6);
    reinterpret_cast<nlmsghdr*>(notices.data() + removal)->nlmsg_type = RTM_DELLINK;
    CInterfaces departed, arrived;
    CIpHelper::decodeNotices(notices.data(), notices.size(), departed, arrived);
    ASSERT_EQ(std::tuple(departed.Count(), arrived.Count()), std::tuple(1, 1));
    EXPECT_EQ(std::tuple(departed.Item(1)->InterfaceIndex, departed.Item(1)->OctetsSent),
              std::tuple(3, 6ull));
    EXPECT_EQ(std::tuple(arrived.Item(1)->OctetsReceived, arrived.Item(1)->OctetsSent),
              std::tuple(9'000'000'000ull, 7ull));
}

TEST(ProtocolCounters, ProcTablesAreReadByName) {
    const QByteArray snmp = "Ip: Forwarding DefaultTTL InReceives OutRequests\n"
                            "Ip: 2 64 18446744073709551615 458\n"
                            "Tcp: RtoAlgorithm ActiveOpens CurrEstab\n"
                            "Tcp: 1 12 3\n";
    EXPECT_EQ(proc::snmpValue(snmp, "Ip", "InReceives"), 18446744073709551615ull);
    EXPECT_EQ(proc::snmpValue(snmp, "Udp", "InDatagrams"), std::nullopt);
    EXPECT_EQ(proc::snmpValue(snmp, "Tcp", "Missing"), std::nullopt);
    EXPECT_EQ(proc::snmp6Value("Ip6InReceives                   \t17\nIp6OutRequests \t10\n",
                               "Ip6OutRequests"),
              10u);
    const QByteArray sockstat =
        "sockets: used 13\nTCP: inuse 4 orphan 0 tw 2 alloc 5 mem 1\nUDP: inuse 1 mem 0\n";
    EXPECT_EQ(proc::sockstatValue(sockstat, "TCP", "tw"), 2u);
    EXPECT_EQ(proc::sockstatValue(sockstat, "TCP6", "inuse"), std::nullopt);
}

TEST(ProtocolCounters, ConnectionsOfBothFamiliesAreCounted) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    SystemCounters counters;
    const ConnectionCounts before = counters.readConnections();
    const IpDatagrams datagramsBefore = counters.readDatagrams();

    test::TcpListener listener("127.0.0.4"), listener6("::1");
    test::TcpConnection v4 = test::connect("127.0.0.5", listener);
    test::TcpConnection v6 = test::connect("::1", listener6);
    std::uint16_t port = 0;
    test::Fd udp4 = test::udpSocket("127.0.0.6", port);
    QUdpSocket udp6;
    ASSERT_TRUE(udp6.bind(QHostAddress::LocalHostIPv6, 0));

    // Two ends of each connection, and the two listeners.
    const ConnectionCounts after = counters.readConnections();
    EXPECT_EQ(std::tuple(after.established - before.established, after.tcpTotal - before.tcpTotal,
                         after.udpListeners - before.udpListeners),
              std::tuple(4u, 6u, 2u));
    const IpDatagrams datagramsAfter = counters.readDatagrams();
    EXPECT_TRUE(datagramsAfter.received > datagramsBefore.received &&
                datagramsAfter.sent > datagramsBefore.sent);
}
