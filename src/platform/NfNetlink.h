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

} // namespace tarvok::platform::nfnetlink
