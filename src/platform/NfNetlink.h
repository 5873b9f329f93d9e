#pragma once
// What the two netfilter netlink subsystems Tarvok reads share (the log group of refusals and
// the queue of connections held for a question): a socket with room for bursts, and a
// configuration request that the kernel acknowledges.

#include <cstddef>
#include <cstdint>

namespace tarvok::platform::nfnetlink {

// A bound NETLINK_NETFILTER socket whose receive buffer holds bufferSize bytes (more than an
// unprivileged process may ask for, where the capability allows) and whose reads give up after
// a second; -1 with the errno value in *error when it cannot be had.
int openSocket(int bufferSize, int* error);

// Sends one configuration message (type: subsystem and message, resourceId: the group or
// queue number) with its attributes, already padded, and waits for the kernel's answer: 0 or
// an errno value.
int configure(int fd, std::uint16_t type, std::uint16_t resourceId, const void* attributes,
              std::size_t length);

// A port number in network order at bytes.
inline std::uint16_t port(const unsigned char* bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

// The addresses and ports of a packet copied out by the kernel, from its IP header on.
struct PacketHeaders {
    bool v6 = false;
    std::uint8_t protocol = 0;             // IPPROTO_TCP or IPPROTO_UDP
    const unsigned char* source = nullptr; // 4 or 16 bytes in the packet
    const unsigned char* destination = nullptr;
    std::uint16_t sourcePort = 0, destinationPort = 0; // host order
    std::size_t transport = 0;                         // where the TCP or UDP header starts
};

// Reads a plain TCP or UDP packet over IPv4 or IPv6 whose copy holds at least both ports;
// false for anything else. IPv6 extension headers are not followed: no connect() or plain
// datagram makes them.
bool decodeHeaders(const unsigned char* packet, std::size_t length, PacketHeaders& headers);

} // namespace tarvok::platform::nfnetlink
