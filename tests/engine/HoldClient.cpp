// A small client for the program-rule tests: connects over TCP (or UDP when argv[4] is "udp")
// from argv[1] to argv[2]:argv[3], writes its local port and a line end to standard output,
// and holds the connection until its standard input ends. Copied to two paths, it is two
// programs (two inodes).

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5)
        return 2;
    const bool udp = argc == 5 && std::strcmp(argv[4], "udp") == 0;
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[3])));
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0 || ::inet_pton(AF_INET, argv[1], &from.sin_addr) != 1 ||
        ::inet_pton(AF_INET, argv[2], &to.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return 3;
    socklen_t length = sizeof from;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&from), &length);
    std::printf("%u\n", ntohs(from.sin_port));
    std::fflush(stdout);
    char ignored;
    while (::read(0, &ignored, 1) > 0) {
    }
    return 0;
}
