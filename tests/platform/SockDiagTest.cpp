// The kernel's socket tables and cuts through sock_diag, and processes read through /proc.
#include "platform/SockDiag.h"
#include "platform/DumpDecoder.h"
#include "platform/Processes.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
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

std::vector<TcpRow> tcpRows(SockDiag& diag) {
    std::vector<TcpRow> rows;
    EXPECT_EQ(diag.readTcp(rows), ResultOk);
    return rows;
}

} // namespace

TEST(SockDiag, TablesListEveryRealSocketOnceWithItsStateAndOwner) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    for (const char* address : {"fd00::2", "fd00::3"})
        ASSERT_TRUE(test::addLoopbackAddress(address)) << address;
    // Addresses that differ in more than their last byte: a sort of the raw fields would put
    // 127.0.1.2 (bytes 7f 00 01 02) before 127.0.0.3.
    test::TcpListener listener("127.0.1.2");
    test::TcpListener v6("fd00::2");
    // Hundreds of rows take several receive buffers' worth of dump messages.
    std::vector<test::TcpConnection> connections;
    for (int i = 0; i < 300; ++i)
        connections.push_back(test::connect("127.0.0.3", listener));
    test::TcpConnection native = test::connect("fd00::3", v6);
    std::vector<TcpRow> wanted = {
        {StateListen, address("127.0.1.2"), portField(listener.port()), 0, 0},
        native.clientRow(),
        native.serverRow()};
    for (const test::TcpConnection& connection : connections) {
        wanted.push_back(connection.serverRow());
        wanted.push_back(connection.clientRow());
    }
    SockDiag diag;
    const std::vector<TcpRow> rows = tcpRows(diag);
    std::vector<TcpOwnerRow> owners;
    ASSERT_EQ(diag.readTcpOwners(owners), ResultOk);
    EXPECT_EQ(owners.size(), rows.size());
    std::vector<std::ptrdiff_t> order; // of each wanted row in the owners' table
    for (const TcpRow& row : wanted) {
        ASSERT_EQ(std::count_if(rows.begin(), rows.end(),
                                [&](const TcpRow& listed) { return sameEndpoints(listed, row); }),
                  1);
        const TcpOwnerRow* owner = findRow(owners, row);
        ASSERT_TRUE(owner);
        EXPECT_EQ(findRow(rows, row)->state, row.state);
        EXPECT_EQ(owner->owningPid, static_cast<std::uint32_t>(::getpid()));
        order.push_back(owner - owners.data());
    }
    // Sorted by local address as a number, native IPv6 last: clients on 127.0.0.3 first.
    EXPECT_LT(order[4], std::min(order[0], order[3]));
    EXPECT_EQ(owners.back().family, Family::Inet6);

    // UDP endpoints, by local address.
    std::uint16_t firstPort = 0, secondPort = 0;
    test::Fd first = test::udpSocket("127.0.1.4", firstPort);
    test::Fd second = test::udpSocket("127.0.0.5", secondPort);
    std::vector<UdpRow> udp;
    ASSERT_EQ(diag.readUdp(udp), ResultOk);
    EXPECT_EQ(udp.size(), 2u);
    std::vector<UdpOwnerRow> udpOwners;
    ASSERT_EQ(diag.readUdpOwners(udpOwners), ResultOk);
    ASSERT_EQ(udpOwners.size(), 2u);
    EXPECT_EQ(udpOwners[0].localAddress, address("127.0.0.5")); // sorted by local address
    EXPECT_EQ(udpOwners[0].localPort, portField(secondPort));
    EXPECT_EQ(udpOwners[1].localPort, portField(firstPort));
    EXPECT_EQ(udpOwners[1].owningPid, static_cast<std::uint32_t>(::getpid()));
}

TEST(SockDiag, DestroyAbortsOneClientOnlyAndNeverALeftoverOrAListener) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection cut = test::connect("127.0.0.3", listener);
    test::TcpConnection kept = test::connect("127.0.0.3", listener);
    SockDiag diag;
    ASSERT_EQ(diag.destroyTcp(cut.clientRow()), ResultOk);
    EXPECT_EQ(test::readOutcome(cut.client.get(), 2000), -ECONNABORTED);
    EXPECT_EQ(test::readOutcome(cut.server.get(), 2000), -ECONNRESET);
    EXPECT_EQ(test::readOutcome(kept.client.get(), 50), -ETIMEDOUT) << "same two addresses";

    // Gone connections are not cut again: a lookup of the reset end would find the listener.
    const std::uint32_t gone = diag.destroyTcp(cut.clientRow());
    EXPECT_NE(gone, ResultOk);
    EXPECT_NE(gone, ResultNotSupported);
    EXPECT_NE(diag.destroyTcp(cut.serverRow()), ResultOk);
    const TcpRow listening{StateListen, address("127.0.0.2"), portField(listener.port()), 0, 0};
    EXPECT_NE(diag.destroyTcp(listening), ResultOk) << "a listening socket is never cut";

    const std::vector<TcpRow> rows = tcpRows(diag);
    EXPECT_EQ(findRow(rows, cut.clientRow()), nullptr);
    EXPECT_NE(findRow(rows, kept.clientRow()), nullptr);
    EXPECT_NE(findRow(rows, listening), nullptr);
}

namespace {

// One prepared netlink message of a dump's answer. An error message of payload bytes is cut
// short: it ends before its code.
std::vector<unsigned char> message(std::uint16_t type, std::uint32_t sequence,
                                   std::uint16_t flags = 0, int error = 0,
                                   std::size_t payload = 0) {
    if (payload == 0)
        payload = type == NLMSG_ERROR ? sizeof(nlmsgerr)
                  : type == SOCK_DIAG_BY_FAMILY ? sizeof(inet_diag_msg)
                                                : sizeof(int);
    std::vector<unsigned char> bytes(NLMSG_SPACE(payload));
    auto* header = reinterpret_cast<nlmsghdr*>(bytes.data());
    *header = {static_cast<std::uint32_t>(NLMSG_LENGTH(payload)), type, flags, sequence, 0};
    if (type == NLMSG_ERROR && payload >= sizeof(int))
        static_cast<nlmsgerr*>(NLMSG_DATA(header))->error = error;
    return bytes;
}

} // namespace

// A reply loop that passed over NLMSG_ERROR waited for ever without the diag module. The
// kernel's error code was negated as it came (INT_MIN overflowed), and the answer to a single
// request was read without checking that its message held the code at all.
TEST(DumpDecoder, EveryReplyEndsTheDumpOrAnswersARequestAsTheKernelSaysIt) {
    const std::uint32_t seq = 7, none = 12345; // none: no answer to a single request
    const auto socket = message(SOCK_DIAG_BY_FAMILY, seq);
    const auto error = [seq](int code, std::size_t payload = 0) {
        return std::vector<std::vector<unsigned char>>{message(NLMSG_ERROR, seq, 0, code, payload)};
    };
    // What, the datagram's messages, whether the dump ended, its result, sockets seen, and the
    // result as the answer to a single request.
    const std::tuple<const char*, std::vector<std::vector<unsigned char>>, bool, std::uint32_t,
                     int, std::uint32_t>
        cases[] = {
            {"two sockets, more to come", {socket, socket}, false, ResultOk, 2, none},
            {"sockets then the end", {socket, message(NLMSG_DONE, seq)}, true, ResultOk, 1, none},
            {"no diag module", error(-ENOENT), true, ResultNotSupported, 0, ENOENT},
            {"no destroy support", error(-EOPNOTSUPP), true, ResultNotSupported, 0, EOPNOTSUPP},
            {"refused", error(-EPERM), true, EPERM, 0, EPERM},
            {"acknowledged", error(0), true, EIO, 0, ResultOk},
            {"INT_MIN", error(INT_MIN), true, EBADMSG, 0, EBADMSG},
            {"a positive code", error(7), true, EBADMSG, 0, EBADMSG},
            {"cut before its code", error(0, 2), true, EBADMSG, 0, EBADMSG},
            {"cut in the echoed header", error(-EPERM, 8), true, EBADMSG, 0, EBADMSG},
            {"interrupted", {socket, message(NLMSG_DONE, seq, NLM_F_DUMP_INTR)}, true, EAGAIN, 1,
             none},
            {"an older request's tail", {message(NLMSG_DONE, seq - 1), socket}, false, ResultOk, 1,
             none},
        };
    for (const auto& [what, datagram, ends, result, sockets, answer] : cases) {
        std::vector<unsigned char> bytes;
        for (const auto& part : datagram)
            bytes.insert(bytes.end(), part.begin(), part.end());
        DumpDecoder decoder(seq);
        int seen = 0;
        const bool ended =
            decoder.feed(bytes.data(), bytes.size(), [&](const inet_diag_msg&) { ++seen; });
        EXPECT_EQ(ended, ends) << what;
        EXPECT_EQ(seen, sockets) << what;
        if (ended) {
            EXPECT_EQ(decoder.result(), result) << what;
        }
        std::uint32_t answered = none;
        findAnswer(bytes.data(), bytes.size(), seq, SOCK_DIAG_BY_FAMILY, nullptr, answered);
        EXPECT_EQ(answered, answer) << what;
    }
}

// A real program started from a test folder. An executable replaced by an upgrade reads as
// "<path> (deleted)": the suffix became part of the program's name and path, and the program
// was announced again under it.
TEST(Processes, AProgramReplacedByAnUpgradeKeepsItsNameAndPath) {
    QTemporaryDir folder;
    const QString path = folder.filePath("upgraded");
    ASSERT_TRUE(QFile::copy("/usr/bin/sleep", path));
    QProcess program;
    program.start(path, {"30"});
    ASSERT_TRUE(program.waitForStarted());
    const auto pid = static_cast<std::uint32_t>(program.processId());
    // The new version is written beside the old one and renamed over it.
    ASSERT_TRUE(QFile::copy("/usr/bin/sleep", path + ".new"));
    ASSERT_EQ(std::rename(QFile::encodeName(path + ".new"), QFile::encodeName(path)), 0);
    const ProcessInfo info = readProcess(pid);
    EXPECT_EQ(info.imagePath, path.toStdString());
    EXPECT_EQ(info.name, "upgraded");
    EXPECT_TRUE(endProcess(pid, path.toStdString()));
    EXPECT_TRUE(program.waitForFinished(5000));
}
