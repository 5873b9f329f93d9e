#pragma once
// The program's view of the kernel's socket tables: the address and port texts, the two tables
// of TCP state names, and the table read that the pass and the cut share.

#include "platform/SockDiag.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace tarvok {

using platform::TcpRow;

// "a.b.c.d", each octet in decimal without leading zeros, from a row's address field.
QString addressText(std::uint32_t addressField);
// The canonical text of an IPv6 address (RFC 5952, as inet_ntop writes it).
QString addressText(const platform::Address6& address);
// A row's address texts: dotted for IPv4 and dual-stack rows, IPv6 text for native IPv6.
template <typename Row>
QString localAddressText(const Row& row) {
    return row.family == platform::Family::Inet6 ? addressText(row.local6)
                                                 : addressText(row.localAddress);
}
template <typename Row>
QString remoteAddressText(const Row& row) {
    return row.family == platform::Family::Inet6 ? addressText(row.remote6)
                                                 : addressText(row.remoteAddress);
}
// The port number of a row's port field.
inline int portNumber(std::uint32_t portField) { return platform::portNumber(portField); }
// State names for classic rows ("BLOCKED CONNECTION" for 12) and for owner-aware records
// ("DELETE_TCB" for 12, "UNKNOWN" for 0); the empty text for any other number.
QString classicStateName(std::uint32_t state);
QString ownerStateName(std::uint32_t state);

class EnforcerLink;

class ConnectionTables {
public:
    explicit ConnectionTables(platform::SockDiag& diag) : m_diag(diag) {}

    platform::SockDiag& diag() { return m_diag; }
    // The enforcer that cuts for every user of these tables; none means nothing can be cut.
    void setEnforcer(EnforcerLink* enforcer) { m_enforcer = enforcer; }
    EnforcerLink* enforcer() const { return m_enforcer; }

    // Classic TCP read into rows; the result code of the read (0 success, 50 unsupported).
    std::uint32_t readTcp(std::vector<TcpRow>& rows) { return m_diag.readTcp(rows); }
    std::uint32_t readConnectedUdp(std::vector<platform::UdpConnectionRow>& rows) {
        return m_diag.readConnectedUdp(rows);
    }
    // The same with each row's socket (inode and cookie), for learning its owner.
    std::uint32_t readTcp(std::vector<TcpRow>& rows, std::vector<platform::SocketId>& ids) {
        return m_diag.readTcp(rows, ids);
    }
    std::uint32_t readConnectedUdp(std::vector<platform::UdpConnectionRow>& rows,
                                   std::vector<platform::SocketId>& ids) {
        return m_diag.readConnectedUdp(rows, ids);
    }

private:
    platform::SockDiag& m_diag;
    EnforcerLink* m_enforcer = nullptr;
};

} // namespace tarvok
