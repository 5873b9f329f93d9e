#pragma once
// Loopback endpoints for the benchmarks, and a close that leaves no TIME_WAIT behind.

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvok::bench {

inline sockaddr_in endpoint(const char* address, std::uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &in.sin_addr);
    return in;
}

// Closes with a reset, so that the next connection may take the same ports at once.
inline void closeNow(int fd) {
    const linger now{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(fd);
}

} // namespace tarvok::bench
