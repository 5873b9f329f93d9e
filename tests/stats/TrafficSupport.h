#pragma once
// Real traffic for the traffic figures, which leave loopback out: a veth pair whose far end
// lives in a second network namespace made here, and a known number of bytes moved over a TCP
// connection.
#include "support/Loopback.h"

#include <QProcess>
#include <QString>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <thread>
#include <vector>

namespace tarvok::test {

// tvk0 (198.18.0.1) in the test's namespace, tvk1 (198.18.0.2) in a namespace of its own.
// Neither end has an IPv6 address, so no neighbour discovery adds bytes of its own. Removing
// the pair (or ending the object) removes both ends.
class VethPair {
public:
    static constexpr const char* Near = "198.18.0.1";
    static constexpr const char* Far = "198.18.0.2";

    VethPair() {
        // A thread leaves the test's namespace for a new one and hands back a handle on it.
        std::thread([this] {
            if (::unshare(CLONE_NEWNET) == 0)
                m_far = Fd(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
        }).join();
        const QString far = QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(m_far.get());
        m_ok = m_far.valid() &&
               run(QStringLiteral(
                       "ip link add tvk0 type veth peer name tvk1 netns %1 && "
                       "ip addr add %2/24 dev tvk0 && ip link set tvk0 addrgenmode none up && "
                       "nsenter --net=%1 sh -c 'ip addr add %3/24 dev tvk1 && "
                       "ip link set tvk1 addrgenmode none up'")
                       .arg(far, Near, Far));
        EXPECT_TRUE(m_ok) << "the veth pair could not be made";
    }
    ~VethPair() { remove(); }
    bool ok() const { return m_ok; }
    void remove() {
        if (m_ok)
            run(QStringLiteral("ip link del tvk0"));
        m_ok = false;
    }
    // A listener on the far end: its socket stays in the far namespace.
    std::optional<TcpListener> farListener() {
        std::optional<TcpListener> listener;
        std::thread([&] {
            if (::setns(m_far.get(), CLONE_NEWNET) == 0)
                listener.emplace(Far);
        }).join();
        return listener;
    }

private:
    static bool run(const QString& script) {
        return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), script}) == 0;
    }

    Fd m_far;
    bool m_ok = false;
};

// Sends bytes from the client end and reads them all at the accepted end.
inline void sendThrough(TcpConnection& connection, std::size_t bytes) {
    std::size_t arrived = 0;
    std::thread reader([&] {
        std::vector<char> buffer(1 << 20);
        while (arrived < bytes) {
            const ssize_t got = ::recv(connection.server.get(), buffer.data(), buffer.size(), 0);
            if (got <= 0)
                return;
            arrived += static_cast<std::size_t>(got);
        }
    });
    const std::vector<char> chunk(1 << 20, 'x');
    for (std::size_t sent = 0; sent < bytes;) {
        const ssize_t put = ::send(connection.client.get(), chunk.data(),
                                   std::min(chunk.size(), bytes - sent), MSG_NOSIGNAL);
        if (put <= 0)
            break;
        sent += static_cast<std::size_t>(put);
    }
    reader.join();
    EXPECT_EQ(arrived, bytes);
}

} // namespace tarvok::test
