#include "platform/SockDiag.h"

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

std::uint32_t errnoResult(int error) {
    // 50 is reserved for "not supported"; any other failure must be non-zero and not 50.
    if (error == 0 || error == static_cast<int>(ResultNotSupported))
        return EIO;
    return static_cast<std::uint32_t>(error);
}

// Walks the netlink messages of one received buffer. Stands in for NLMSG_OK / NLMSG_NEXT,
// whose mix of signed and unsigned lengths draws warnings.
class Messages {
public:
    Messages(unsigned char* data, std::size_t length) : m_data(data), m_remaining(length) {}
    nlmsghdr* next() {
        if (m_remaining < sizeof(nlmsghdr))
            return nullptr;
        auto* header = reinterpret_cast<nlmsghdr*>(m_data);
        if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > m_remaining)
            return nullptr;
        const std::size_t step = std::min<std::size_t>(NLMSG_ALIGN(header->nlmsg_len), m_remaining);
        m_data += step;
        m_remaining -= step;
        return header;
    }

private:
    unsigned char* m_data;
    std::size_t m_remaining;
};

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

Request makeRequest(std::uint16_t type, std::uint16_t flags, std::uint8_t protocol,
                    std::uint32_t sequence) {
    Request request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = flags;
    request.header.nlmsg_seq = sequence;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = protocol;
    request.body.idiag_states = AllStates;
    return request;
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
std::uint32_t SockDiag::dump(std::uint8_t protocol, OnSocket&& onSocket) {
    if (const std::uint32_t result = open(); result != ResultOk)
        return result;
    const std::uint32_t sequence = ++m_sequence;
    Request request =
        makeRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, protocol, sequence);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof request)) {
        const int error = errno;
        close();
        return errnoResult(error);
    }

    bool interrupted = false;
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
        Messages messages(m_buffer.data(), static_cast<std::size_t>(length));
        while (nlmsghdr* header = messages.next()) {
            if (header->nlmsg_seq != sequence)
                continue; // the tail of an older, abandoned request
            if ((header->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
                interrupted = true;
            if (header->nlmsg_type == NLMSG_DONE) {
                if (interrupted) {
                    close();
                    return EAGAIN;
                }
                return ResultOk;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                close();
                // The inet_diag module is missing: the family is unknown to the kernel.
                if (error->error == -ENOENT || error->error == -EOPNOTSUPP)
                    return ResultNotSupported;
                return errnoResult(-error->error);
            }
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            onSocket(*static_cast<const inet_diag_msg*>(NLMSG_DATA(header)));
        }
    }
}

std::uint32_t SockDiag::readTcp(std::vector<TcpRow>& rows) {
    rows.clear();
    const std::uint32_t result = dump(IPPROTO_TCP, [&rows](const inet_diag_msg& socket) {
        rows.push_back({mibTcpState(socket.idiag_state), socket.id.idiag_src[0],
                        portOf(socket.id.idiag_sport), socket.id.idiag_dst[0],
                        portOf(socket.id.idiag_dport)});
    });
    if (result != ResultOk)
        rows.clear();
    return result;
}

std::uint32_t SockDiag::readUdp(std::vector<UdpRow>& rows) {
    rows.clear();
    const std::uint32_t result = dump(IPPROTO_UDP, [&rows](const inet_diag_msg& socket) {
        rows.push_back({socket.id.idiag_src[0], portOf(socket.id.idiag_sport)});
    });
    if (result != ResultOk)
        rows.clear();
    return result;
}

namespace {

// Sort key: addresses and ports compared as numbers in host order, as a person reads them.
auto sortKey(const TcpOwnerRow& row) {
    return std::tuple(ntohl(row.localAddress), portNumber(row.localPort), ntohl(row.remoteAddress),
                      portNumber(row.remotePort));
}
auto sortKey(const UdpOwnerRow& row) {
    return std::tuple(ntohl(row.localAddress), portNumber(row.localPort), 0u, 0);
}

TcpOwnerRow ownerRow(const inet_diag_msg& socket, TcpOwnerRow*) {
    return {mibTcpState(socket.idiag_state), socket.id.idiag_src[0], portOf(socket.id.idiag_sport),
            socket.id.idiag_dst[0], portOf(socket.id.idiag_dport), 0};
}
UdpOwnerRow ownerRow(const inet_diag_msg& socket, UdpOwnerRow*) {
    return {socket.id.idiag_src[0], portOf(socket.id.idiag_sport), 0};
}

} // namespace

// One dump, then the owning process of every row from its socket inode, then the order the
// per-application list expects.
template <typename Row>
std::uint32_t SockDiag::readOwners(std::uint8_t protocol, std::vector<Row>& rows) {
    rows.clear();
    std::vector<std::uint32_t> inodes;
    const std::uint32_t result = dump(protocol, [&](const inet_diag_msg& socket) {
        rows.push_back(ownerRow(socket, static_cast<Row*>(nullptr)));
        inodes.push_back(socket.idiag_inode);
    });
    if (result != ResultOk) {
        rows.clear();
        return result;
    }
    const SocketOwners owners = SocketOwners::scan();
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i].owningPid = owners.pidOf(inodes[i]);
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return sortKey(a) < sortKey(b); });
    return ResultOk;
}

std::uint32_t SockDiag::readTcpOwners(std::vector<TcpOwnerRow>& rows) {
    return readOwners(IPPROTO_TCP, rows);
}

std::uint32_t SockDiag::readUdpOwners(std::vector<UdpOwnerRow>& rows) {
    return readOwners(IPPROTO_UDP, rows);
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
        Messages messages(m_buffer.data(), static_cast<std::size_t>(received));
        while (nlmsghdr* header = messages.next()) {
            if (header->nlmsg_seq != sequence)
                continue;
            if (header->nlmsg_type == NLMSG_ERROR) {
                const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
                return error == 0 ? ResultOk : errnoResult(error);
            }
            if (header->nlmsg_type == answerType && message) {
                const auto* payload = static_cast<const unsigned char*>(NLMSG_DATA(header));
                message->assign(payload, payload + (header->nlmsg_len - NLMSG_LENGTH(0)));
                return ResultOk;
            }
        }
    }
}

std::uint32_t SockDiag::destroyTcp(const TcpRow& row) {
    if (const std::uint32_t result = open(); result != ResultOk)
        return result;

    // Ask for this one socket first. The kernel's lookup falls back to a listening socket on
    // the local port when the connection itself is gone, so the answer is checked to be the
    // very connection, and the destroy names it by its cookie: a cut can never take down a
    // server's listening socket, nor a connection that reused the ports meanwhile.
    std::uint32_t sequence = ++m_sequence;
    Request query = makeRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, IPPROTO_TCP, sequence);
    query.body.id.idiag_src[0] = row.localAddress;
    query.body.id.idiag_sport = portBits(row.localPort);
    query.body.id.idiag_dst[0] = row.remoteAddress;
    query.body.id.idiag_dport = portBits(row.remotePort);
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
    if (found.idiag_state == KernelListen || found.id.idiag_src[0] != row.localAddress ||
        found.id.idiag_dst[0] != row.remoteAddress ||
        found.id.idiag_sport != portBits(row.localPort) ||
        found.id.idiag_dport != portBits(row.remotePort))
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

} // namespace tarvok::platform
