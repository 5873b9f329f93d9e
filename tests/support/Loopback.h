#pragma once
// Real TCP and UDP sockets on loopback addresses other than 127.0.0.1, for tests in their own
// network namespace. A call that fails fails the test (ADD_FAILURE) rather than crash.

#include "platform/TableRows.h"

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <utility>

namespace tarvok::test {

// Owns one file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept { // the old descriptor is closed with other
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset();

private:
    int m_fd = -1;
};

std::uint32_t address(const char* dotted); // row form of a dotted address

// A socket address for dotted IPv4, IPv6 or v4-mapped IPv6 text.
struct Endpoint {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};
Endpoint endpoint(const std::string& text, std::uint16_t port);

// Puts an address (for example "fd00::2") on lo in this test's own namespace; true also
// when an earlier repeat of the test put it there.
bool addLoopbackAddress(const char* address);

class TcpListener {
public:
    explicit TcpListener(const char* address, std::uint16_t port = 0);
    std::uint16_t port() const { return m_port; }
    const char* address() const { return m_address.c_str(); }
    int fd() const { return m_fd.get(); }
    // Accepts and closes the connections waiting now (at most 1,000); how many there were.
    int acceptAll();

private:
    std::string m_address;
    std::uint16_t m_port = 0;
    Fd m_fd;
};

struct TcpConnection {
    Fd client; // bound to the local address given to connect()
    Fd server; // the accepted end
    std::uint16_t clientPort = 0;
    // The rows of both ends as the TCP table shows them.
    platform::TcpRow clientRow() const;
    platform::TcpRow serverRow() const;
    std::uint32_t clientAddress = 0, serverAddress = 0;
    std::uint16_t serverPort = 0;
    // IPv6 ends keep their addresses here; a dual-stack client is Mapped.
    platform::Family family = platform::Family::Inet, serverFamily = platform::Family::Inet;
    platform::Address6 client6{}, server6{};
};

// Connects from fromAddress (fromPort, or any free port when 0) to the listener and accepts the
// connection. fromAddress is dotted IPv4, IPv6 ("fd00::3") or v4-mapped ("::ffff:127.0.0.3": a
// dual-stack socket reaching an IPv4 listener).
TcpConnection connect(const char* fromAddress, TcpListener& listener, std::uint16_t fromPort = 0);

// A connection from fromAddress that is expected to be refused: the errno of the failed
// connect (ECONNREFUSED when the kernel table refuses it), 0 when it opened.
int connectError(const char* fromAddress, TcpListener& listener);
// Whether a connect's error is the kernel's refusal: EPERM from the program filter at
// connect(), or ECONNREFUSED from the table's reset where no filter is in force.
inline bool refused(int error) {
    return error == EPERM || error == ECONNREFUSED;
}

// What a read on fd reports within timeoutMs: 0 for an orderly end of stream, a positive
// byte count, -errno on an error (for example -ECONNABORTED), or -ETIMEDOUT.
int readOutcome(int fd, int timeoutMs);

// A UDP socket bound to address on a port the kernel picks, written to port.
Fd udpSocket(const char* address, std::uint16_t& port);

// A UDP socket bound to address:port (port 0: any); a "::ffff:" address makes it a dual-stack
// IPv6 socket. Reused ports, so that a round may bind the same one again.
Fd boundUdp(const std::string& address, std::uint16_t port);
// A QUIC-like exchange: `rounds` times a datagram of `size` bytes from client to server, and
// the same back. Returns how many datagrams reached either side (2 * rounds when all did).
// A send refused at once (EPERM) counts as not reached; a lost one is waited for briefly.
int udpExchange(int client, int server, const std::string& serverAddress,
                std::uint16_t serverPort, int rounds = 20, std::size_t size = 1200);

// Drops CAP_NET_ADMIN from this thread's effective set for the object's lifetime.
class WithoutNetAdmin {
public:
    WithoutNetAdmin();
    ~WithoutNetAdmin();
    bool dropped() const { return m_dropped; }

private:
    bool m_dropped = false;
};

} // namespace tarvok::test
