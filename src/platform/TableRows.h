#pragma once
// Rows of the kernel's IPv4 socket tables in the program's fixed layouts. Every field is a
// 32-bit value. Addresses are in network byte order (the first byte in memory is the first
// octet); a port sits in network byte order in the lower two bytes of its field (the first
// byte in memory is the port's high byte) and the upper two bytes are zero. States are the
// MIB numbers 1-12 (see TcpState).

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

struct TcpRow {
    std::uint32_t state;
    std::uint32_t localAddress;
    std::uint32_t localPort;
    std::uint32_t remoteAddress;
    std::uint32_t remotePort;
};

struct UdpRow {
    std::uint32_t localAddress;
    std::uint32_t localPort;
};

struct TcpOwnerRow {
    std::uint32_t state;
    std::uint32_t localAddress;
    std::uint32_t localPort;
    std::uint32_t remoteAddress;
    std::uint32_t remotePort;
    std::uint32_t owningPid; // 0 when no process could be named
};

struct UdpOwnerRow {
    std::uint32_t localAddress;
    std::uint32_t localPort;
    std::uint32_t owningPid;
};

static_assert(sizeof(TcpRow) == 20);
static_assert(sizeof(UdpRow) == 8);
static_assert(sizeof(TcpOwnerRow) == 24);
static_assert(sizeof(UdpOwnerRow) == 12);

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
