#pragma once
// Loopback endpoints for the benchmarks, a close that leaves no TIME_WAIT behind, and the
// datagram exchange that the UDP benchmarks time.

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <netinet/udp.h>
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

// 1,200-byte datagrams (QUIC's size) from 127.0.0.9 to 127.0.0.2, each read as it arrives.
// With a batch above 1, the client hands the kernel that many at once as one buffer that it
// cuts into datagrams (UDP_SEGMENT), as QUIC stacks send.
struct DatagramPair {
    static constexpr std::size_t Size = 1200, MostBatched = 16;
    int server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to;
    int batch;
    bool bound = false;
    explicit DatagramPair(int batch = 1, std::uint16_t port = 47952)
        : to(endpoint("127.0.0.2", port)), batch(batch) {
        const sockaddr_in from = endpoint("127.0.0.9", 0);
        const int segment = Size;
        bound = batch >= 1 && batch <= static_cast<int>(MostBatched) &&
                ::bind(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                ::bind(client, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
                (batch == 1 ||
                 ::setsockopt(client, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) == 0);
    }
    ~DatagramPair() {
        ::close(server);
        ::close(client);
    }
    DatagramPair(const DatagramPair&) = delete;
    DatagramPair& operator=(const DatagramPair&) = delete;
    // Sends one batch and reads each of its datagrams.
    bool exchange() {
        static const char datagrams[Size * MostBatched] = {};
        char received[1500];
        const std::size_t length = Size * static_cast<std::size_t>(batch);
        if (::sendto(client, datagrams, length, 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to) != static_cast<ssize_t>(length))
            return false;
        for (int i = 0; i < batch; ++i)
            if (::recv(server, received, sizeof received, 0) != static_cast<ssize_t>(Size))
                return false;
        return true;
    }
};

// This thread's CPU time in ns. On loopback it carries a datagram's whole path: the sender
// runs the delivery to the receiving socket, every hook on the way included.
inline double threadCpuNs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

} // namespace tarvok::bench
