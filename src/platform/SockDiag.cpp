#include "platform/SockDiag.h"

#include "platform/DumpDecoder.h"
#include "platform/SocketOwners.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

namespace tarvok::platform {
namespace {

// Large enough for the kernel's biggest dump message batch; a truncated read is an error.
constexpr std::size_t ReceiveBufferSize = 64 * 1024;

// Every TCP state up to TCP_NEW_SYN_RECV. Bit 13 (bound-but-inactive sockets) is left out on
// purpose: asking for it makes the kernel walk the bind table as well, a quarter slower.
constexpr std::uint32_t AllStates = 0x1fff;

std::uint32_t portOf(__be16 port) {
    std::uint32_t field = 0;
    std::memcpy(&field, &port, sizeof port);
    return field;
}

__be16 portBits(std::uint32_t field) {
    __be16 port = 0;
    std::memcpy(&port, &field, sizeof port);
    return port;
}

struct Request {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

Request makeRequest(std::uint16_t type, std::uint16_t flags, std::uint8_t family,
                    std::uint8_t protocol, std::uint32_t sequence) {
    Request request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = flags;
    request.header.nlmsg_seq = sequence;
    request.body.sdiag_family = family;
    request.body.sdiag_protocol = protocol;
    request.body.idiag_states = AllStates;
    return request;
}

Address6 address6(const __be32 (&words)[4]) {
    Address6 address;
    std::memcpy(address.data(), words, address.size());
    return address;
}

bool isMapped(const Address6& a) {
    return std::all_of(a.begin(), a.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
           a[10] == 0xff && a[11] == 0xff;
}

bool isZero(const Address6& a) {
    return std::all_of(a.begin(), a.end(), [](std::uint8_t b) { return b == 0; });
}

std::uint32_t mappedIpv4(const Address6& a) {
    std::uint32_t field = 0;
    std::memcpy(&field, a.data() + 12, sizeof field);
    return field;
}

void setMapped(__be32 (&words)[4], std::uint32_t ipv4) {
    words[0] = words[1] = 0;
    words[2] = htonl(0xffffu);
    words[3] = ipv4;
}

// The addresses of one kernel socket in the row fields: IPv4 sockets and the IPv4 connections
// of dual-stack sockets in the 32-bit fields, native IPv6 in the 16-byte ones.
struct Endpoints {
    Family family = Family::Inet;
    std::uint32_t local = 0;
    std::uint32_t remote = 0;
    Address6 local6{};
    Address6 remote6{};
};

Endpoints endpointsOf(const inet_diag_msg& socket) {
    Endpoints e;
    if (socket.idiag_family != AF_INET6) {
        e.local = socket.id.idiag_src[0];
        e.remote = socket.id.idiag_dst[0];
        return e;
    }
    const Address6 local = address6(socket.id.idiag_src);
    const Address6 remote = address6(socket.id.idiag_dst);
    // A dual-stack socket talks IPv4 through mapped addresses. An unconnected end ("::")
    // beside a mapped one belongs to the same IPv4 conversation.
    if (isMapped(local) || (isZero(local) && isMapped(remote))) {
        e.family = Family::Mapped;
        e.local = isMapped(local) ? mappedIpv4(local) : 0;
        e.remote = isMapped(remote) ? mappedIpv4(remote) : 0;
        return e;
    }
    e.family = Family::Inet6;
    e.local6 = local;
    e.remote6 = remote;
    return e;
}

TcpRow tcpRow(const inet_diag_msg& socket) {
    const Endpoints e = endpointsOf(socket);
    return {mibTcpState(socket.idiag_state), e.local, portOf(socket.id.idiag_sport), e.remote,
            portOf(socket.id.idiag_dport), e.family, e.local6, e.remote6, socket.id.idiag_if};
}

UdpConnectionRow udpConnectionRow(const inet_diag_msg& socket) {
    const Endpoints e = endpointsOf(socket);
    return {e.local,    portOf(socket.id.idiag_sport), e.remote,  portOf(socket.id.idiag_dport),
            e.family,   e.local6,                      e.remote6, socket.id.idiag_if};
}

UdpRow udpRow(const inet_diag_msg& socket) {
    const Endpoints e = endpointsOf(socket);
    return {e.local, portOf(socket.id.idiag_sport), e.family, e.local6};
}

} // namespace

std::uint32_t mibTcpState(std::uint8_t kernelState) {
    // Kernel TCP_* numbering: ESTABLISHED 1, SYN_SENT 2, SYN_RECV 3, FIN_WAIT1 4, FIN_WAIT2 5,
    // TIME_WAIT 6, CLOSE 7, CLOSE_WAIT 8, LAST_ACK 9, LISTEN 10, CLOSING 11, NEW_SYN_RECV 12.
    static constexpr std::uint32_t table[] = {
        0,
        StateEstablished,
        StateSynSent,
        StateSynReceived,
        StateFinWait1,
        StateFinWait2,
        StateTimeWait,
        StateClosed,
        StateCloseWait,
        StateLastAck,
        StateListen,
        StateClosing,
        StateSynReceived, // a request socket still in the handshake
    };
    return kernelState < std::size(table) ? table[kernelState] : 0;
}

SockDiag::SockDiag() : m_buffer(ReceiveBufferSize) {}

SockDiag::~SockDiag() { close(); }

std::uint32_t SockDiag::open() {
    if (m_fd >= 0)
        return ResultOk;
    m_fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (m_fd < 0) {
        const int error = errno;
        // A kernel without the netlink family, or without sock_diag, refuses the socket.
        if (error == EPROTONOSUPPORT || error == EAFNOSUPPORT)
            return ResultNotSupported;
        return errnoResult(error);
    }
    return ResultOk;
}

void SockDiag::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

// Sends one dump request and hands every inet_diag_msg of the answer to onSocket. Checks each
// message's sequence number and sender, and the dump's truncation and interruption flags.
// On any failure the socket is closed, so that no stale answer is read by the next request.
template <typename OnSocket>
std::uint32_t SockDiag::dumpFamily(std::uint8_t family, std::uint8_t protocol,
                                   OnSocket& onSocket) {
    if (const std::uint32_t result = open(); result != ResultOk)
        return result;
    const std::uint32_t sequence = ++m_sequence;
    Request request = makeRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, family,
                                  protocol, sequence);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof request)) {
        const int error = errno;
        close();
        return errnoResult(error);
    }

    DumpDecoder decoder(sequence);
    for (;;) {
        iovec vector{m_buffer.data(), m_buffer.size()};
        sockaddr_nl sender{};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t length = ::recvmsg(m_fd, &message, 0);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            close();
            return errnoResult(error);
        }
        if ((message.msg_flags & MSG_TRUNC) != 0 || length == 0) {
            close();
            return EMSGSIZE;
        }
        if (sender.nl_pid != 0)
            continue; // not from the kernel
        if (decoder.feed(m_buffer.data(), static_cast<std::size_t>(length), onSocket)) {
            if (decoder.result() != ResultOk)
                close(); // no stale answer may be read by the next request
            return decoder.result();
        }
    }
}

// Both families, IPv4 sockets first. A kernel built without IPv6 has no AF_INET6 diag
// handler: it then simply has no IPv6 rows.
template <typename OnSocket>
std::uint32_t SockDiag::dump(std::uint8_t protocol, OnSocket&& onSocket) {
    if (const std::uint32_t result = dumpFamily(AF_INET, protocol, onSocket); result != ResultOk)
        return result;
    const std::uint32_t result = dumpFamily(AF_INET6, protocol, onSocket);
    return result == ResultNotSupported ? ResultOk : result;
}

std::uint32_t SockDiag::readTcp(std::vector<TcpRow>& rows) {
    rows.clear();
    const std::uint32_t result = dump(IPPROTO_TCP, [&rows](const inet_diag_msg& socket) {
        rows.push_back(tcpRow(socket));
    });
    if (result != ResultOk)
        rows.clear();
    return result;
}

static SocketId socketId(const inet_diag_msg& socket) {
    return {socket.idiag_inode, static_cast<std::uint64_t>(socket.id.idiag_cookie[0]) |
                                    (static_cast<std::uint64_t>(socket.id.idiag_cookie[1]) << 32)};
}

std::uint32_t SockDiag::readTcp(std::vector<TcpRow>& rows, std::vector<SocketId>& ids) {
    rows.clear();
    ids.clear();
    const std::uint32_t result = dump(IPPROTO_TCP, [&](const inet_diag_msg& socket) {
        rows.push_back(tcpRow(socket));
        ids.push_back(socketId(socket));
    });
    if (result != ResultOk) {
        rows.clear();
        ids.clear();
    }
    return result;
}

std::uint32_t SockDiag::readConnectedUdp(std::vector<UdpConnectionRow>& rows,
                                         std::vector<SocketId>& ids) {
    rows.clear();
    ids.clear();
    const std::uint32_t result = dump(IPPROTO_UDP, [&](const inet_diag_msg& socket) {
        if (socket.id.idiag_dport != 0) {
            rows.push_back(udpConnectionRow(socket));
            ids.push_back(socketId(socket));
        }
    });
    if (result != ResultOk) {
        rows.clear();
        ids.clear();
    }
    return result;
}

std::uint32_t SockDiag::readUdp(std::vector<UdpRow>& rows, std::vector<UdpConnectionRow>* ends,
                                 std::vector<SocketId>* ids) {
    const auto clear = [&] {
        rows.clear();
        if (ends)
            ends->clear();
        if (ids)
            ids->clear();
    };
    clear();
    const std::uint32_t result = dump(IPPROTO_UDP, [&rows, ends, ids](const inet_diag_msg& socket) {
        rows.push_back(udpRow(socket));
        if (ends)
            ends->push_back(udpConnectionRow(socket));
        if (ids)
            ids->push_back(socketId(socket));
    });
    if (result != ResultOk)
        clear();
    return result;
}

std::uint32_t SockDiag::readConnectedUdp(std::vector<UdpConnectionRow>& rows) {
    rows.clear();
    const std::uint32_t result = dump(IPPROTO_UDP, [&rows](const inet_diag_msg& socket) {
        if (socket.id.idiag_dport != 0)
            rows.push_back(udpConnectionRow(socket));
    });
    if (result != ResultOk)
        rows.clear();
    return result;
}

namespace {

// Sort key: addresses and ports compared as numbers in host order, as a person reads them;
// IPv4 rows (dual-stack ones among them) first, native IPv6 rows after them.
auto sortKey(const TcpOwnerRow& row) {
    return std::tuple(row.family == Family::Inet6, ntohl(row.localAddress), row.local6,
                      portNumber(row.localPort), ntohl(row.remoteAddress), row.remote6,
                      portNumber(row.remotePort));
}
auto sortKey(const UdpOwnerRow& row) {
    return std::tuple(row.family == Family::Inet6, ntohl(row.localAddress), row.local6,
                      portNumber(row.localPort), 0u, Address6{}, 0);
}

TcpOwnerRow ownerRow(const inet_diag_msg& socket, TcpOwnerRow*) {
    const TcpRow row = tcpRow(socket);
    return {row.state,  row.localAddress, row.localPort, row.remoteAddress, row.remotePort, 0,
            row.family, row.local6,       row.remote6,   row.interfaceIndex};
}
UdpOwnerRow ownerRow(const inet_diag_msg& socket, UdpOwnerRow*) {
    const UdpRow row = udpRow(socket);
    return {row.localAddress, row.localPort, 0, row.family, row.local6};
}

} // namespace

// One dump, then the owning process of every row from its socket inode, then the order the
// per-application list expects.
template <typename Row>
std::uint32_t SockDiag::readOwners(std::uint8_t protocol, std::vector<Row>& rows,
                                   std::vector<UdpConnectionRow>* ends) {
    rows.clear();
    if (ends)
        ends->clear();
    std::vector<std::uint32_t> inodes;
    const std::uint32_t result = dump(protocol, [&](const inet_diag_msg& socket) {
        rows.push_back(ownerRow(socket, static_cast<Row*>(nullptr)));
        inodes.push_back(socket.idiag_inode);
        if (ends)
            ends->push_back(udpConnectionRow(socket));
    });
    if (result != ResultOk) {
        rows.clear();
        if (ends)
            ends->clear();
        return result;
    }
    const SocketOwners owners = SocketOwners::scan();
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i].owningPid = owners.pidOf(inodes[i]);
    const auto before = [](const Row& a, const Row& b) { return sortKey(a) < sortKey(b); };
    if (!ends) {
        std::stable_sort(rows.begin(), rows.end(), before);
        return ResultOk;
    }
    // The endpoints follow their rows into the sorted order.
    std::vector<std::size_t> order(rows.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return before(rows[a], rows[b]); });
    std::vector<Row> sortedRows;
    std::vector<UdpConnectionRow> sortedEnds;
    sortedRows.reserve(rows.size());
    sortedEnds.reserve(rows.size());
    for (const std::size_t i : order) {
        sortedRows.push_back(rows[i]);
        sortedEnds.push_back((*ends)[i]);
    }
    rows = std::move(sortedRows);
    *ends = std::move(sortedEnds);
    return ResultOk;
}

std::uint32_t SockDiag::readTcpOwners(std::vector<TcpOwnerRow>& rows) {
    return readOwners(IPPROTO_TCP, rows, nullptr);
}

std::uint32_t SockDiag::readUdpOwners(std::vector<UdpOwnerRow>& rows,
                                      std::vector<UdpConnectionRow>* ends) {
    return readOwners(IPPROTO_UDP, rows, ends);
}

// Sends one request that is answered by a single message (or an error) and waits for it.
// On success message holds the answer's payload.
std::uint32_t SockDiag::exchange(const void* request, std::size_t length, std::uint32_t sequence,
                                 std::uint16_t answerType, std::vector<unsigned char>* message) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_fd, request, length, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(length)) {
        const int error = errno;
        close();
        return errnoResult(error);
    }
    for (;;) {
        const ssize_t received = ::recv(m_fd, m_buffer.data(), m_buffer.size(), 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            close();
            return errnoResult(error);
        }
        std::uint32_t result = ResultOk;
        if (findAnswer(m_buffer.data(), static_cast<std::size_t>(received), sequence, answerType,
                       message, result))
            return result;
    }
}

namespace {

// The socket's endpoints as a request names them: local as source, remote as destination.
template <typename Row> void setEndpoints(Request& request, const Row& row) {
    switch (row.family) {
    case Family::Inet:
        request.body.id.idiag_src[0] = row.localAddress;
        request.body.id.idiag_dst[0] = row.remoteAddress;
        break;
    case Family::Mapped:
        setMapped(request.body.id.idiag_src, row.localAddress);
        setMapped(request.body.id.idiag_dst, row.remoteAddress);
        break;
    case Family::Inet6:
        std::memcpy(request.body.id.idiag_src, row.local6.data(), row.local6.size());
        std::memcpy(request.body.id.idiag_dst, row.remote6.data(), row.remote6.size());
        break;
    }
    // A socket bound to an interface is found only under that interface's index.
    request.body.id.idiag_if = row.interfaceIndex;
    request.body.id.idiag_sport = portBits(row.localPort);
    request.body.id.idiag_dport = portBits(row.remotePort);
}

} // namespace

std::uint32_t SockDiag::destroyTcp(const TcpRow& row) {
    return destroy(IPPROTO_TCP, row);
}

std::uint32_t SockDiag::destroyUdp(const UdpConnectionRow& row) {
    // A socket without a peer would be found by its local end alone, and is never cut.
    if (row.remotePort == 0)
        return ENOENT;
    // The kernel's lookup of one UDP socket reads the endpoints the other way round from its
    // destroy, so the socket's cookie comes from a dump, matched on every endpoint field.
    std::uint32_t cookie[2] = {INET_DIAG_NOCOOKIE, INET_DIAG_NOCOOKIE};
    bool found = false;
    if (const std::uint32_t result = dump(IPPROTO_UDP, [&](const inet_diag_msg& socket) {
            if (!found && socket.id.idiag_dport != 0 && udpConnectionRow(socket) == row) {
                found = true;
                cookie[0] = socket.id.idiag_cookie[0];
                cookie[1] = socket.id.idiag_cookie[1];
            }
        });
        result != ResultOk)
        return result;
    if (!found)
        return ENOENT;
    const std::uint8_t family = row.family == Family::Inet ? AF_INET : AF_INET6;
    const std::uint32_t sequence = ++m_sequence;
    Request destroy = makeRequest(SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, family, IPPROTO_UDP,
                                  sequence);
    setEndpoints(destroy, row);
    destroy.body.id.idiag_cookie[0] = cookie[0];
    destroy.body.id.idiag_cookie[1] = cookie[1];
    return exchange(&destroy, sizeof destroy, sequence, NLMSG_ERROR, nullptr);
}

template <typename Row>
std::uint32_t SockDiag::destroy(std::uint8_t protocol, const Row& row) {
    if (const std::uint32_t result = open(); result != ResultOk)
        return result;

    // Ask for this one socket first. The kernel's lookup falls back to a listening socket (or
    // for UDP an unconnected one) on the local port when the connection itself is gone, so the
    // answer is checked to be the
    // very connection, and the destroy names it by its cookie: a cut can never take down a
    // server's listening socket, nor a connection that reused the ports meanwhile.
    // A dual-stack socket is found only through its own family, by its mapped addresses.
    const std::uint8_t family = row.family == Family::Inet ? AF_INET : AF_INET6;
    std::uint32_t sequence = ++m_sequence;
    Request query =
        makeRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, family, protocol, sequence);
    setEndpoints(query, row);
    query.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    std::vector<unsigned char> answer;
    if (const std::uint32_t result =
            exchange(&query, sizeof query, sequence, SOCK_DIAG_BY_FAMILY, &answer);
        result != ResultOk)
        return result;
    if (answer.size() < sizeof(inet_diag_msg))
        return ENOENT;
    inet_diag_msg found;
    std::memcpy(&found, answer.data(), sizeof found);
    constexpr std::uint8_t KernelListen = 10;
    const std::size_t addressBytes = family == AF_INET ? 4 : 16;
    if ((protocol == IPPROTO_TCP && found.idiag_state == KernelListen) ||
        std::memcmp(found.id.idiag_src, query.body.id.idiag_src, addressBytes) != 0 ||
        std::memcmp(found.id.idiag_dst, query.body.id.idiag_dst, addressBytes) != 0 ||
        found.id.idiag_sport != query.body.id.idiag_sport ||
        found.id.idiag_dport != query.body.id.idiag_dport)
        return ENOENT;

    sequence = ++m_sequence;
    Request destroy = query;
    destroy.header.nlmsg_type = SOCK_DESTROY;
    destroy.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    destroy.header.nlmsg_seq = sequence;
    destroy.body.id.idiag_cookie[0] = found.id.idiag_cookie[0];
    destroy.body.id.idiag_cookie[1] = found.id.idiag_cookie[1];
    return exchange(&destroy, sizeof destroy, sequence, NLMSG_ERROR, nullptr);
}

namespace {

// A request for the socket of these ends. The kernel's lookup of one UDP socket takes the ends
// as a reply would carry them (source the remote end); its destroy and every TCP request take
// the local end as source.
Request endsRequest(std::uint16_t type, std::uint16_t flags, const SocketEnds& ends,
                    bool replyOrder, std::uint32_t sequence) {
    Request request = makeRequest(type, flags, ends.v6 ? AF_INET6 : AF_INET, ends.protocol,
                                  sequence);
    const Address6& source = replyOrder ? ends.remote : ends.local;
    const Address6& destination = replyOrder ? ends.local : ends.remote;
    std::memcpy(request.body.id.idiag_src, source.data(), ends.v6 ? 16 : 4);
    std::memcpy(request.body.id.idiag_dst, destination.data(), ends.v6 ? 16 : 4);
    request.body.id.idiag_sport = htons(replyOrder ? ends.remotePort : ends.localPort);
    request.body.id.idiag_dport = htons(replyOrder ? ends.localPort : ends.remotePort);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return request;
}

} // namespace

std::uint64_t SockDiag::findCookie(const SocketEnds& ends) {
    if (open() != ResultOk)
        return 0;
    const bool udp = ends.protocol == IPPROTO_UDP;
    const std::uint32_t sequence = ++m_sequence;
    const Request query = endsRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, ends, udp, sequence);
    std::vector<unsigned char> answer;
    if (exchange(&query, sizeof query, sequence, SOCK_DIAG_BY_FAMILY, &answer) != ResultOk ||
        answer.size() < sizeof(inet_diag_msg))
        return 0;
    inet_diag_msg found;
    std::memcpy(&found, answer.data(), sizeof found);
    // The lookup falls back to a listening TCP socket on the port: that one sent nothing.
    constexpr std::uint8_t KernelListen = 10;
    if (found.id.idiag_sport != htons(ends.localPort) ||
        (!udp && (found.idiag_state == KernelListen ||
                  found.id.idiag_dport != htons(ends.remotePort))))
        return 0;
    return found.id.idiag_cookie[0] | (std::uint64_t{found.id.idiag_cookie[1]} << 32);
}

std::uint32_t SockDiag::destroyCookie(const SocketEnds& ends, std::uint64_t cookie) {
    if (const std::uint32_t result = open(); result != ResultOk)
        return result;
    const std::uint32_t sequence = ++m_sequence;
    Request destroy = endsRequest(SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, ends, false, sequence);
    destroy.body.id.idiag_cookie[0] = static_cast<std::uint32_t>(cookie);
    destroy.body.id.idiag_cookie[1] = static_cast<std::uint32_t>(cookie >> 32);
    return exchange(&destroy, sizeof destroy, sequence, NLMSG_ERROR, nullptr);
}

} // namespace tarvok::platform
