#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarvok::test {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

Fd::~Fd() { reset(); }

void Fd::reset() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::uint32_t address(const char* dotted) {
    in_addr parsed{};
    EXPECT_EQ(::inet_pton(AF_INET, dotted, &parsed), 1) << dotted;
    return parsed.s_addr;
}

namespace {

sockaddr_in endpoint(const char* dotted, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = address(dotted);
    return result;
}

std::uint16_t boundPort(int fd) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
}

} // namespace

TcpListener::TcpListener(const char* address, std::uint16_t port) : m_address(address) {
    m_fd = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(m_fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in local = endpoint(address, port);
    if (::bind(m_fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(m_fd.get(), 4096) != 0) {
        ADD_FAILURE() << "cannot listen on " << address << ": " << std::strerror(errno);
        return;
    }
    m_port = boundPort(m_fd.get());
}

platform::TcpRow TcpConnection::clientRow() const {
    return {platform::StateEstablished, clientAddress, platform::portField(clientPort),
            serverAddress, platform::portField(serverPort)};
}

platform::TcpRow TcpConnection::serverRow() const {
    return {platform::StateEstablished, serverAddress, platform::portField(serverPort),
            clientAddress, platform::portField(clientPort)};
}

TcpConnection connect(const char* fromAddress, TcpListener& listener) {
    TcpConnection connection;
    connection.client = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in local = endpoint(fromAddress, 0);
    const sockaddr_in remote = endpoint(listener.address(), listener.port());
    if (::bind(connection.client.get(), reinterpret_cast<const sockaddr*>(&local),
               sizeof local) != 0 ||
        ::connect(connection.client.get(), reinterpret_cast<const sockaddr*>(&remote),
                  sizeof remote) != 0) {
        ADD_FAILURE() << "cannot connect " << fromAddress << " to " << listener.address()
                      << ": " << std::strerror(errno);
        return connection;
    }
    connection.server = Fd(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    connection.clientPort = boundPort(connection.client.get());
    connection.clientAddress = address(fromAddress);
    connection.serverAddress = address(listener.address());
    connection.serverPort = listener.port();
    return connection;
}

int readOutcome(int fd, int timeoutMs) {
    pollfd waiting{fd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, timeoutMs);
    if (ready == 0)
        return -ETIMEDOUT;
    char byte = 0;
    const ssize_t length = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return length < 0 ? -errno : static_cast<int>(length);
}

Fd udpSocket(const char* address, std::uint16_t& port) {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in local = endpoint(address, 0);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        ADD_FAILURE() << "cannot bind UDP on " << address << ": " << std::strerror(errno);
    port = boundPort(fd.get());
    return fd;
}

namespace {
bool setNetAdmin(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    if (on)
        data[0].effective |= 1u << CAP_NET_ADMIN;
    else
        data[0].effective &= ~(1u << CAP_NET_ADMIN);
    return ::syscall(SYS_capset, &header, data) == 0;
}
} // namespace

WithoutNetAdmin::WithoutNetAdmin() : m_dropped(setNetAdmin(false)) {}

WithoutNetAdmin::~WithoutNetAdmin() {
    if (m_dropped)
        setNetAdmin(true);
}

} // namespace tarvok::test
