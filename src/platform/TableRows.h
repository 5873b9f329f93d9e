#pragma once
// Rows of the kernel's TCP and UDP socket tables. The IPv4 fields keep the program's fixed
// layouts: every field is a 32-bit value, addresses are in network byte order (the first byte
// in memory is the first octet), a port sits in network byte order in the lower two bytes of
// its field (the first byte in memory is the port's high byte) and the upper two bytes are
// zero. States are the MIB numbers 1-12 (see TcpState).
//
// AF_INET6 sockets are read too. An IPv4 connection of a dual-stack socket (a v4-mapped
// address, ::ffff:a.b.c.d) is an IPv4 row in every respect: its addresses are stored in the
// IPv4 fields. Only a native IPv6 connection keeps its addresses in local6 and remote6.

#include <array>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the row layouts are defined for little-endian 32-bit fields");

namespace tarvok::platform {

// Result codes of the table reads and the cut.
constexpr std::uint32_t ResultOk = 0;
constexpr std::uint32_t ResultNotSupported = 50; // the kernel has no socket-diagnostics interface

enum TcpState : std::uint32_t {
    StateClosed = 1,
    StateListen = 2,
    StateSynSent = 3,
    StateSynReceived = 4,
    StateEstablished = 5,
    StateFinWait1 = 6,
    StateFinWait2 = 7,
    StateCloseWait = 8,
    StateClosing = 9,
    StateLastAck = 10,
    StateTimeWait = 11,
    StateDeleteTcb = 12, // written to a row to cut its connection
};

using Address6 = std::array<std::uint8_t, 16>; // an IPv6 address, network order

enum class Family : std::uint8_t {
    Inet,   // an AF_INET socket
    Mapped, // an IPv4 connection of a dual-stack AF_INET6 socket; addresses in the IPv4 fields
    Inet6,  // a native IPv6 connection; addresses in local6/remote6, the IPv4 fields are 0
};

struct TcpRow {
    std::uint32_t state;
    std::uint32_t localAddress;
    std::uint32_t localPort;
    std::uint32_t remoteAddress;
    std::uint32_t remotePort;
    Family family = Family::Inet; // the cut must reach the socket through its own family
    Address6 local6{};
    Address6 remote6{};
    // The interface a socket is bound to (SO_BINDTODEVICE, a link-local IPv6 scope), 0 for
    // none: the kernel finds such a socket for the cut only by this index.
    std::uint32_t interfaceIndex = 0;

    bool operator==(const TcpRow&) const = default;
};

struct UdpRow {
    std::uint32_t localAddress;
    std::uint32_t localPort;
    Family family = Family::Inet;
    Address6 local6{};
};

// A connected UDP socket (one that connect() gave a peer): its remote end is known, so rules
// can decide it and the pass can cut it, as a TCP connection.
struct UdpConnectionRow {
    std::uint32_t localAddress;
    std::uint32_t localPort;
    std::uint32_t remoteAddress;
    std::uint32_t remotePort;
    Family family = Family::Inet;
    Address6 local6{};
    Address6 remote6{};
    std::uint32_t interfaceIndex = 0;

    bool operator==(const UdpConnectionRow&) const = default;
};

struct TcpOwnerRow {
    std::uint32_t state;
    std::uint32_t localAddress;
    std::uint32_t localPort;
    std::uint32_t remoteAddress;
    std::uint32_t remotePort;
    std::uint32_t owningPid; // 0 when no process could be named
    Family family = Family::Inet;
    Address6 local6{};
    Address6 remote6{};
    std::uint32_t interfaceIndex = 0;
};

struct UdpOwnerRow {
    std::uint32_t localAddress;
    std::uint32_t localPort;
    std::uint32_t owningPid;
    Family family = Family::Inet;
    Address6 local6{};
};

// A port number as a row stores it: network byte order in the field's lower two bytes.
constexpr std::uint32_t portField(std::uint16_t port) {
    // Memory order on a little-endian machine: the high byte first.
    return static_cast<std::uint32_t>((port >> 8) | ((port & 0xffu) << 8));
}

// The port number of a row's port field.
constexpr std::uint16_t portNumber(std::uint32_t field) {
    return static_cast<std::uint16_t>(((field & 0xffu) << 8) | ((field >> 8) & 0xffu));
}

// An address as a row stores it, from its four octets a.b.c.d.
constexpr std::uint32_t addressField(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                     std::uint8_t d) {
    return static_cast<std::uint32_t>(a) | (static_cast<std::uint32_t>(b) << 8) |
           (static_cast<std::uint32_t>(c) << 16) | (static_cast<std::uint32_t>(d) << 24);
}

} // namespace tarvok::platform
