#include "platform/CutProbe.h"

#include "platform/SockDiag.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarvok::platform {
namespace {

bool hasEffectiveNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return true; // unknown: let the probe decide
    return (data[CAP_NET_ADMIN / 32].effective & (1u << (CAP_NET_ADMIN % 32))) != 0;
}

class Socket {
public:
    Socket() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

sockaddr_in loopback(std::uint16_t portBits) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = portBits;
    return address;
}

bool localName(int fd, sockaddr_in& name) {
    socklen_t length = sizeof name;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&name), &length) == 0;
}

} // namespace

CutAbility abilityFromResult(std::uint32_t result) {
    if (result == EPERM || result == EACCES)
        return CutAbility::NoPermission;
    if (result == EOPNOTSUPP)
        return CutAbility::NotSupported;
    if (result == ENOTCONN)
        return CutAbility::NoEnforcer;
    return CutAbility::Works;
}

CutAbility probeCutAbility(SockDiag& diag) {
    if (!hasEffectiveNetAdmin())
        return CutAbility::NoPermission;

    Socket listener;
    sockaddr_in address = loopback(0);
    if (listener.fd() < 0 ||
        ::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.fd(), 1) != 0 || !localName(listener.fd(), address))
        return CutAbility::Works;
    Socket client;
    if (client.fd() < 0 ||
        ::connect(client.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return CutAbility::Works;
    Socket accepted(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    sockaddr_in local{};
    if (accepted.fd() < 0 || !localName(client.fd(), local))
        return CutAbility::Works;

    std::uint32_t localPort = 0, remotePort = 0;
    static_assert(sizeof local.sin_port <= sizeof localPort);
    std::memcpy(&localPort, &local.sin_port, sizeof local.sin_port);
    std::memcpy(&remotePort, &address.sin_port, sizeof address.sin_port);
    const TcpRow row{StateDeleteTcb, local.sin_addr.s_addr, localPort, address.sin_addr.s_addr,
                     remotePort};
    return abilityFromResult(diag.destroyTcp(row));
}

} // namespace tarvok::platform
