// A tiny client the program-filter tests run under two names (two files, two identities):
//   probe_client tcp|udp-connect|udp-send SOURCE ADDRESS PORT [TIMES [LINGER_MS]]
// It binds to SOURCE, then connects (or sends one datagram to) ADDRESS:PORT, and exits with 0
// on success or the errno value of the call that failed. With TIMES, it does so that many
// times, each with a fresh socket, and prints each outcome on a line; with LINGER_MS it keeps
// its sockets open that long before it exits.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool fill(const char* text, int port, sockaddr_storage* address, socklen_t* length) {
    std::memset(address, 0, sizeof *address);
    auto* v4 = reinterpret_cast<sockaddr_in*>(address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
    if (::inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        *length = sizeof *v4;
        return true;
    }
    if (::inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        *length = sizeof *v6;
        return true;
    }
    return false;
}

} // namespace

int attempt(char** argv);

int main(int argc, char** argv) {
    if (argc < 5 || argc > 7)
        return 100;
    const int times = argc > 5 ? std::atoi(argv[5]) : 1;
    int first = 0;
    for (int i = 0; i < times && i < 100; ++i) {
        const int outcome = attempt(argv);
        if (i == 0)
            first = outcome;
        if (argc > 5)
            std::printf("%d\n", outcome);
    }
    std::fflush(stdout);
    if (argc > 6) {
        const long ms = std::atol(argv[6]);
        const timespec linger{ms / 1000, (ms % 1000) * 1000000};
        ::nanosleep(&linger, nullptr);
    }
    return first;
}

int attempt(char** argv) {
    const bool tcp = std::strcmp(argv[1], "tcp") == 0;
    const bool send = std::strcmp(argv[1], "udp-send") == 0;
    sockaddr_storage source, target;
    socklen_t sourceLength = 0, targetLength = 0;
    if (!fill(argv[2], 0, &source, &sourceLength) ||
        !fill(argv[3], std::atoi(argv[4]), &target, &targetLength))
        return 101;
    const int fd = ::socket(target.ss_family, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&source), sourceLength) != 0)
        return 102;
    const char datagram[] = "probe";
    const bool ok =
        send ? ::sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&target),
                        targetLength) == static_cast<ssize_t>(sizeof datagram)
             : ::connect(fd, reinterpret_cast<sockaddr*>(&target), targetLength) == 0 &&
                   (tcp || ::send(fd, datagram, sizeof datagram, 0) > 0);
    return ok ? 0 : errno;
}
