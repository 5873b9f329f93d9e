#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <vector>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarvok::test {

void Fd::reset() {
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

std::uint32_t address(const char* dotted) {
    in_addr parsed{};
    EXPECT_EQ(::inet_pton(AF_INET, dotted, &parsed), 1) << dotted;
    return parsed.s_addr;
}

bool addLoopbackAddress(const char* address) {
    const std::string command =
        std::string("ip addr replace ") + address + "/128 dev lo nodad 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

namespace {

bool isIpv6(const std::string& text) { return text.find(':') != std::string::npos; }
bool isMapped(const std::string& text) { return text.rfind("::ffff:", 0) == 0; }

platform::Address6 address6(const char* text) {
    platform::Address6 parsed{};
    EXPECT_EQ(::inet_pton(AF_INET6, text, parsed.data()), 1) << text;
    return parsed;
}

std::uint16_t boundPort(int fd) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

int tcpSocket(const std::string& address) {
    return ::socket(isIpv6(address) ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// The family and address fields of one end of a connection.
void fill(const std::string& text, platform::Family& family, std::uint32_t& v4,
          platform::Address6& v6) {
    family = isMapped(text) ? platform::Family::Mapped
             : isIpv6(text) ? platform::Family::Inet6 : platform::Family::Inet;
    if (family == platform::Family::Inet6)
        v6 = address6(text.c_str());
    else
        v4 = address(text.c_str() + (isMapped(text) ? 7 : 0));
}

bool setNetAdmin(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned bit = 1u << CAP_NET_ADMIN;
    data[0].effective = on ? data[0].effective | bit : data[0].effective & ~bit;
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

Endpoint endpoint(const std::string& text, std::uint16_t port) {
    Endpoint result;
    if (isIpv6(text)) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&result.storage);
        *in6 = {AF_INET6, htons(port), 0, {}, 0};
        const platform::Address6 parsed = address6(text.c_str());
        std::memcpy(&in6->sin6_addr, parsed.data(), parsed.size());
        result.length = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&result.storage);
        *in = {AF_INET, htons(port), {address(text.c_str())}, {}};
        result.length = sizeof *in;
    }
    return result;
}

TcpListener::TcpListener(const char* address, std::uint16_t port)
    : m_address(address), m_fd(tcpSocket(address)) {
    const int one = 1;
    ::setsockopt(m_fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const Endpoint local = endpoint(m_address, port);
    if (::bind(m_fd.get(), local.get(), local.length) != 0 || ::listen(m_fd.get(), 4096) != 0)
        ADD_FAILURE() << "cannot listen on " << address << ": " << std::strerror(errno);
    else
        m_port = boundPort(m_fd.get());
}

int TcpListener::acceptAll() {
    int count = 0;
    pollfd waiting{m_fd.get(), POLLIN, 0};
    while (count < 1000 && ::poll(&waiting, 1, 0) > 0) {
        const int fd = ::accept(m_fd.get(), nullptr, nullptr);
        if (fd < 0)
            break;
        ::close(fd);
        ++count;
    }
    return count;
}

platform::TcpRow TcpConnection::clientRow() const {
    return {platform::StateEstablished, clientAddress, platform::portField(clientPort),
            serverAddress, platform::portField(serverPort), family, client6, server6};
}

platform::TcpRow TcpConnection::serverRow() const {
    return {platform::StateEstablished, serverAddress, platform::portField(serverPort),
            clientAddress, platform::portField(clientPort), serverFamily, server6, client6};
}

TcpConnection connect(const char* fromAddress, TcpListener& listener, std::uint16_t fromPort) {
    TcpConnection connection;
    const std::string from = fromAddress;
    std::string to = listener.address();
    if (isMapped(from) && !isIpv6(to))
        to = "::ffff:" + to;
    const Endpoint local = endpoint(from, fromPort), remote = endpoint(to, listener.port());
    // An IPv6 address added a moment ago may still lack its route: tried again for 2 s at most.
    for (int attempt = 0;; ++attempt) {
        connection.client = Fd(tcpSocket(from));
        if (::bind(connection.client.get(), local.get(), local.length) == 0 &&
            ::connect(connection.client.get(), remote.get(), remote.length) == 0)
            break;
        if (errno != ENETUNREACH || attempt == 200) {
            ADD_FAILURE() << "cannot connect " << fromAddress << " to " << to << ": "
                          << std::strerror(errno);
            return connection;
        }
        ::usleep(10000);
    }
    connection.server = Fd(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    connection.clientPort = boundPort(connection.client.get());
    connection.serverPort = listener.port();
    fill(from, connection.family, connection.clientAddress, connection.client6);
    fill(listener.address(), connection.serverFamily, connection.serverAddress, connection.server6);
    return connection;
}

int connectError(const char* fromAddress, TcpListener& listener) {
    const Endpoint local = endpoint(fromAddress, 0), remote = endpoint(listener.address(), listener.port());
    Fd client(tcpSocket(fromAddress));
    if (::bind(client.get(), local.get(), local.length) != 0)
        return errno;
    return ::connect(client.get(), remote.get(), remote.length) == 0 ? 0 : errno;
}

int readOutcome(int fd, int timeoutMs) {
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, timeoutMs) == 0)
        return -ETIMEDOUT;
    char byte = 0;
    const ssize_t length = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return length < 0 ? -errno : static_cast<int>(length);
}

Fd udpSocket(const char* address, std::uint16_t& port) {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const Endpoint local = endpoint(address, 0);
    if (::bind(fd.get(), local.get(), local.length) != 0)
        ADD_FAILURE() << "cannot bind UDP on " << address << ": " << std::strerror(errno);
    port = boundPort(fd.get());
    return fd;
}

Fd boundUdp(const std::string& address, std::uint16_t port) {
    const Endpoint local = endpoint(address, port);
    Fd fd(::socket(local.storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), local.get(), local.length) != 0)
        ADD_FAILURE() << "cannot bind UDP on " << address << ": " << std::strerror(errno);
    return fd;
}

int udpExchange(int client, int server, const std::string& serverAddress,
                std::uint16_t serverPort, int rounds, std::size_t size) {
    const Endpoint to = endpoint(serverAddress, serverPort);
    std::vector<char> datagram(size, 'q'), received(size + 1);
    const auto arrives = [&](int fd, sockaddr_storage* from, socklen_t* length) {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 50) != 1)
            return false;
        return ::recvfrom(fd, received.data(), received.size(), 0,
                          reinterpret_cast<sockaddr*>(from), length) == static_cast<long>(size);
    };
    int reached = 0;
    for (int round = 0; round < rounds; ++round) {
        if (::sendto(client, datagram.data(), size, 0, to.get(), to.length) < 0)
            continue; // refused before it left
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        if (!arrives(server, &from, &length))
            continue;
        ++reached;
        if (::sendto(server, datagram.data(), size, 0, reinterpret_cast<sockaddr*>(&from),
                     length) == static_cast<long>(size) &&
            arrives(client, &from, &length))
            ++reached;
    }
    return reached;
}

WithoutNetAdmin::WithoutNetAdmin() : m_dropped(setNetAdmin(false)) {}

WithoutNetAdmin::~WithoutNetAdmin() {
    if (m_dropped)
        setNetAdmin(true);
}

} // namespace tarvok::test
