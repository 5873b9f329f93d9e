#pragma once
// The kernel's TCP and UDP socket tables (IPv4 and IPv6 sockets), read through
// NETLINK_SOCK_DIAG, and the cut of one TCP connection or connected UDP socket (SOCK_DESTROY). One object keeps one netlink socket and one receive
// buffer open between calls, so that a read costs one dump and nothing else.

#include "platform/TableRows.h"

#include <cstdint>
#include <vector>

namespace tarvok::platform {

// Which socket a row is, for what is learnt about it: the inode (0 while no process holds
// it, for example before accept) and the cookie, which the kernel never gives twice.
struct SocketId {
    std::uint32_t inode = 0;
    std::uint64_t cookie = 0;
};

// The ends of a packet a socket sent: local is its source. IPv4 in the first four bytes.
struct SocketEnds {
    std::uint8_t protocol = 6; // IPPROTO_TCP or IPPROTO_UDP
    bool v6 = false;
    Address6 local{}, remote{};
    std::uint16_t localPort = 0, remotePort = 0; // host order
};

class SockDiag {
public:
    SockDiag();
    ~SockDiag();
    SockDiag(const SockDiag&) = delete;
    SockDiag& operator=(const SockDiag&) = delete;

    // Each read replaces rows with the table, the rows of IPv4 sockets first, then those of
    // IPv6 sockets, and returns ResultOk, ResultNotSupported when the
    // kernel lacks socket diagnostics, or another non-zero code (an errno value) on failure;
    // rows are then left empty. A dump the kernel reports as interrupted (the table changed
    // while it was walked) fails with EAGAIN rather than return a torn table.
    std::uint32_t readTcp(std::vector<TcpRow>& rows);
    // The same, and the socket of each row at the same place in ids.
    std::uint32_t readTcp(std::vector<TcpRow>& rows, std::vector<SocketId>& ids);
    // With ends, the same dump also gives every row's endpoints, ends[i] those of rows[i]
    // (remote port 0 for an unconnected socket); with ids, ids[i] is rows[i]'s socket.
    std::uint32_t readUdp(std::vector<UdpRow>& rows, std::vector<UdpConnectionRow>* ends = nullptr,
                          std::vector<SocketId>* ids = nullptr);
    // The connected UDP sockets alone (remote port not 0), with their remote ends.
    std::uint32_t readConnectedUdp(std::vector<UdpConnectionRow>& rows);
    std::uint32_t readConnectedUdp(std::vector<UdpConnectionRow>& rows,
                                   std::vector<SocketId>& ids);
    // Owner-aware tables, sorted by local address, local port, remote address, remote port;
    // IPv4-form rows (dual-stack ones among them) before native IPv6 rows.
    std::uint32_t readTcpOwners(std::vector<TcpOwnerRow>& rows);
    std::uint32_t readUdpOwners(std::vector<UdpOwnerRow>& rows,
                                std::vector<UdpConnectionRow>* ends = nullptr);

    // Cuts the TCP connection whose endpoints are those of row, of any family (its state is
    // not read); a listening socket is never cut. Returns 0 when the kernel destroyed the socket;
    // otherwise an errno value, such as EPERM without CAP_NET_ADMIN, ENOENT when the
    // connection is already gone, or EOPNOTSUPP on a kernel built without socket destroy.
    std::uint32_t destroyTcp(const TcpRow& row);
    // The same for a connected UDP socket; an unconnected one is never cut.
    std::uint32_t destroyUdp(const UdpConnectionRow& row);

    // The cookie of the socket that sent a packet with these ends: a TCP socket by its four
    // ends, a UDP socket (connected or not) as the kernel delivers a reply to it; 0 when there
    // is none any more.
    std::uint64_t findCookie(const SocketEnds& ends);
    // Destroys that socket when it still has that cookie (a UDP socket connected or not, a TCP
    // one in any state but listening); 0 or an errno value.
    std::uint32_t destroyCookie(const SocketEnds& ends, std::uint64_t cookie);

private:
    // The destroy of one socket of the protocol whose endpoints are those of row.
    template <typename Row>
    std::uint32_t destroy(std::uint8_t protocol, const Row& row);
    template <typename Row>
    std::uint32_t readOwners(std::uint8_t protocol, std::vector<Row>& rows,
                             std::vector<UdpConnectionRow>* ends);
    template <typename OnSocket>
    std::uint32_t dump(std::uint8_t protocol, OnSocket&& onSocket);
    template <typename OnSocket>
    std::uint32_t dumpFamily(std::uint8_t family, std::uint8_t protocol, OnSocket& onSocket);
    std::uint32_t exchange(const void* request, std::size_t length, std::uint32_t sequence,
                           std::uint16_t answerType, std::vector<unsigned char>* message);
    std::uint32_t open();
    void close();

    int m_fd = -1;
    std::uint32_t m_sequence = 0;
    std::vector<unsigned char> m_buffer;
};

// The TCP state numbers of the row layouts, from the kernel's TCP_* state values.
std::uint32_t mibTcpState(std::uint8_t kernelState);

} // namespace tarvok::platform
