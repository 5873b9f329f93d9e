#include "platform/DumpDecoder.h"
#include "platform/SockDiag.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

using namespace tarvok;
using namespace tarvok::platform;
using tarvok::test::address;

namespace {

template <typename Row>
bool sameEndpoints(const Row& a, const TcpRow& b) {
    return a.family == b.family && a.localAddress == b.localAddress &&
           a.localPort == b.localPort && a.remoteAddress == b.remoteAddress &&
           a.remotePort == b.remotePort && a.local6 == b.local6 && a.remote6 == b.remote6;
}

template <typename Rows>
const auto* findRow(const Rows& rows, const TcpRow& wanted) {
    const auto found = std::find_if(rows.begin(), rows.end(),
                                    [&](const auto& row) { return sameEndpoints(row, wanted); });
    return found == rows.end() ? nullptr : &*found;
}

} // namespace

TEST(RowLayout, PortAndAddressFieldsKeepNetworkByteOrder) {
    // The first byte in memory is the port's high byte; the upper two bytes stay zero.
    const struct {
        unsigned char bytes[4];
        std::uint16_t port;
    } ports[] = {{{0x00, 0x50, 0, 0}, 80},     {{0x01, 0xBB, 0, 0}, 443},
                 {{0xFF, 0xFF, 0, 0}, 65535},  {{0x1F, 0x90, 0, 0}, 8080},
                 {{0x80, 0x01, 0, 0}, 32769}};
    for (const auto& sample : ports) {
        std::uint32_t field = 0;
        std::memcpy(&field, sample.bytes, 4);
        EXPECT_EQ(portNumber(field), sample.port);
        EXPECT_EQ(portField(sample.port), field);
    }
    const unsigned char tenDotOne[4] = {0x0A, 0x00, 0x00, 0x01};
    std::uint32_t field = 0;
    std::memcpy(&field, tenDotOne, 4);
    EXPECT_EQ(addressField(10, 0, 0, 1), field);
    EXPECT_EQ(address("10.0.0.1"), field);
}

TEST(SockDiag, TcpTablesListRealConnectionsWithStatesAndOwners) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    const TcpRow client = connection.clientRow();
    const TcpRow server = connection.serverRow();
    const TcpRow listening{StateListen, address("127.0.0.2"), portField(listener.port()), 0, 0};

    SockDiag diag;
    std::vector<TcpRow> rows;
    ASSERT_EQ(diag.readTcp(rows), ResultOk);
    EXPECT_EQ(rows.size(), 3u) << "a fresh namespace holds only this test's sockets";
    for (const TcpRow& wanted : {client, server, listening}) {
        const TcpRow* row = findRow(rows, wanted);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->state, wanted.state);
    }

    std::vector<TcpOwnerRow> owners;
    ASSERT_EQ(diag.readTcpOwners(owners), ResultOk);
    ASSERT_EQ(owners.size(), 3u);
    for (const TcpOwnerRow& row : owners)
        EXPECT_EQ(row.owningPid, static_cast<std::uint32_t>(::getpid()));
    // Sorted by local address first: the two 127.0.0.2 sockets (listener and accepted end,
    // by port) come before the client on 127.0.0.3.
    EXPECT_EQ(owners[2].localAddress, address("127.0.0.3"));
    EXPECT_LE(portNumber(owners[0].localPort), portNumber(owners[1].localPort));
    EXPECT_TRUE(sameEndpoints(owners[2], client));
}

TEST(SockDiag, UdpTablesListBoundEndpointsWithOwners) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    std::uint16_t firstPort = 0, secondPort = 0;
    test::Fd first = test::udpSocket("127.0.0.5", firstPort);
    test::Fd second = test::udpSocket("127.0.0.4", secondPort);

    SockDiag diag;
    std::vector<UdpRow> rows;
    ASSERT_EQ(diag.readUdp(rows), ResultOk);
    ASSERT_EQ(rows.size(), 2u);
    std::vector<UdpOwnerRow> owners;
    ASSERT_EQ(diag.readUdpOwners(owners), ResultOk);
    ASSERT_EQ(owners.size(), 2u);
    EXPECT_EQ(owners[0].localAddress, address("127.0.0.4"));
    EXPECT_EQ(owners[0].localPort, portField(secondPort));
    EXPECT_EQ(owners[1].localAddress, address("127.0.0.5"));
    EXPECT_EQ(owners[1].localPort, portField(firstPort));
    EXPECT_EQ(owners[1].owningPid, static_cast<std::uint32_t>(::getpid()));
}

TEST(SockDiag, DestroyAbortsTheClientAndReportsEveryFailure) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection cut = test::connect("127.0.0.3", listener);
    test::TcpConnection kept = test::connect("127.0.0.3", listener);
    SockDiag diag;

    {
        // Without CAP_NET_ADMIN the kernel refuses, and the refusal is a non-zero result.
        test::WithoutNetAdmin dropped;
        ASSERT_TRUE(dropped.dropped());
        const std::uint32_t refused = diag.destroyTcp(cut.clientRow());
        EXPECT_EQ(refused, static_cast<std::uint32_t>(EPERM));
        EXPECT_EQ(test::readOutcome(cut.client.get(), 50), -ETIMEDOUT) << "still connected";
    }

    ASSERT_EQ(diag.destroyTcp(cut.clientRow()), ResultOk);
    EXPECT_EQ(test::readOutcome(cut.client.get(), 2000), -ECONNABORTED);
    EXPECT_EQ(test::readOutcome(cut.server.get(), 2000), -ECONNRESET);
    // The other connection between the same two addresses is untouched.
    EXPECT_EQ(test::readOutcome(kept.client.get(), 50), -ETIMEDOUT);

    // A connection that is already gone cannot be cut again.
    const std::uint32_t gone = diag.destroyTcp(cut.clientRow());
    EXPECT_NE(gone, ResultOk);
    EXPECT_NE(gone, ResultNotSupported);

    // The table no longer lists the cut client, and the socket stays usable for reads.
    std::vector<TcpRow> rows;
    ASSERT_EQ(diag.readTcp(rows), ResultOk);
    EXPECT_EQ(findRow(rows, cut.clientRow()), nullptr);
    EXPECT_NE(findRow(rows, kept.clientRow()), nullptr);
}

TEST(SockDiag, CuttingAConnectionThatIsGoneNeverTouchesTheListener) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    const TcpRow client = connection.clientRow();
    const TcpRow server = connection.serverRow();
    SockDiag diag;
    ASSERT_EQ(diag.destroyTcp(client), ResultOk);
    // The cut reset the accepted end: its row now names no connection, and the kernel's
    // lookup for it would find the listener on the same local port instead.
    ASSERT_EQ(test::readOutcome(connection.server.get(), 2000), -ECONNRESET);
    EXPECT_NE(diag.destroyTcp(server), ResultOk);
    const TcpRow listening{StateListen, address("127.0.0.2"), portField(listener.port()), 0, 0};
    EXPECT_NE(diag.destroyTcp(listening), ResultOk) << "a listening socket is never cut";

    std::vector<TcpRow> rows;
    ASSERT_EQ(diag.readTcp(rows), ResultOk);
    const TcpRow* stillListening = findRow(rows, listening);
    ASSERT_NE(stillListening, nullptr);
    EXPECT_EQ(stillListening->state, StateListen);
    test::TcpConnection next = test::connect("127.0.0.4", listener);
    EXPECT_EQ(test::readOutcome(next.client.get(), 50), -ETIMEDOUT);
}

TEST(SockDiag, DualStackAndIpv6ConnectionsAreListedAndCut) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    addIpv6Addresses();
    test::TcpListener v4("127.0.0.2");
    test::TcpListener v6("fd00::2");
    test::TcpConnection mapped = test::connect("::ffff:127.0.0.3", v4);
    test::TcpConnection native = test::connect("fd00::3", v6);
    SockDiag diag;
    std::vector<TcpRow> rows;
    ASSERT_EQ(diag.readTcp(rows), ResultOk);
    // The dual-stack client is an IPv4 row with dotted addresses; its accepted end is plain IPv4.
    for (const TcpRow& wanted :
         {mapped.clientRow(), mapped.serverRow(), native.clientRow(), native.serverRow()})
        EXPECT_NE(findRow(rows, wanted), nullptr) << static_cast<int>(wanted.family);
    EXPECT_EQ(mapped.clientRow().family, Family::Mapped);
    std::vector<TcpOwnerRow> owners;
    ASSERT_EQ(diag.readTcpOwners(owners), ResultOk);
    ASSERT_EQ(owners.size(), rows.size());
    EXPECT_EQ(owners.back().family, Family::Inet6) << "native IPv6 rows come last";

    for (test::TcpConnection* connection : {&mapped, &native}) {
        ASSERT_EQ(diag.destroyTcp(connection->clientRow()), ResultOk);
        EXPECT_EQ(test::readOutcome(connection->client.get(), 2000), -ECONNABORTED);
    }
}

TEST(SockDiag, ATableOfHundredsOfSocketsArrivesWhole) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    // Hundreds of rows take several receive buffers' worth of dump messages.
    test::TcpListener listener("127.0.0.2");
    std::vector<test::TcpConnection> connections;
    for (int i = 0; i < 300; ++i)
        connections.push_back(test::connect("127.0.0.3", listener));
    SockDiag diag;
    std::vector<TcpRow> rows;
    ASSERT_EQ(diag.readTcp(rows), ResultOk);
    ASSERT_GE(rows.size(), 601u); // and what earlier tests of this process left behind
    for (const test::TcpConnection& connection : connections)
        ASSERT_NE(findRow(rows, connection.clientRow()), nullptr);
}

namespace {

// One prepared netlink message of a dump's answer.
std::vector<unsigned char> message(std::uint16_t type, std::uint32_t sequence,
                                   std::uint16_t flags = 0, int error = 0) {
    const std::size_t payload = type == NLMSG_ERROR ? sizeof(nlmsgerr)
                                : type == SOCK_DIAG_BY_FAMILY ? sizeof(inet_diag_msg)
                                                              : sizeof(int);
    std::vector<unsigned char> bytes(NLMSG_SPACE(payload));
    auto* header = reinterpret_cast<nlmsghdr*>(bytes.data());
    header->nlmsg_len = NLMSG_LENGTH(payload);
    header->nlmsg_type = type;
    header->nlmsg_flags = flags;
    header->nlmsg_seq = sequence;
    if (type == NLMSG_ERROR)
        static_cast<nlmsgerr*>(NLMSG_DATA(header))->error = error;
    return bytes;
}

} // namespace

TEST(DumpDecoder, EveryReplyEndsTheDumpAsTheKernelSaysIt) {
    // A reply loop that passed over NLMSG_ERROR would wait for ever on a kernel without the
    // diag module instead of saying it is not supported.
    const std::uint32_t seq = 7;
    const auto socket = message(SOCK_DIAG_BY_FAMILY, seq);
    const struct {
        const char* what;
        std::vector<std::vector<unsigned char>> datagram;
        bool ended;
        std::uint32_t result;
        int sockets;
    } cases[] = {
        {"two sockets, more to come", {socket, socket}, false, ResultOk, 2},
        {"sockets then the end", {socket, message(NLMSG_DONE, seq)}, true, ResultOk, 1},
        {"no diag module", {message(NLMSG_ERROR, seq, 0, -ENOENT)}, true, ResultNotSupported, 0},
        {"no destroy support", {message(NLMSG_ERROR, seq, 0, -EOPNOTSUPP)}, true,
         ResultNotSupported, 0},
        {"refused", {message(NLMSG_ERROR, seq, 0, -EPERM)}, true, EPERM, 0},
        {"interrupted", {socket, message(NLMSG_DONE, seq, NLM_F_DUMP_INTR)}, true, EAGAIN, 1},
        {"an older request's tail", {message(NLMSG_DONE, seq - 1), socket}, false, ResultOk, 1},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> bytes;
        for (const auto& part : c.datagram)
            bytes.insert(bytes.end(), part.begin(), part.end());
        DumpDecoder decoder(seq);
        int sockets = 0;
        const bool ended =
            decoder.feed(bytes.data(), bytes.size(), [&](const inet_diag_msg&) { ++sockets; });
        EXPECT_EQ(ended, c.ended) << c.what;
        EXPECT_EQ(sockets, c.sockets) << c.what;
        if (ended) {
            EXPECT_EQ(decoder.result(), c.result) << c.what;
        }
    }
}
