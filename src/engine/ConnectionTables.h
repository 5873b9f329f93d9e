#pragma once
// The program's view of the kernel's socket tables: the address and port texts, the two tables
// of TCP state names, the TCP snapshot that the last classic read leaves behind, and the
// owner-aware record arrays that the per-application list is built from.

#include "platform/SockDiag.h"

#include <QString>

#include <array>
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

// One row of the last owner-aware TCP read, as texts. The raw fields hold each row field as
// a signed 32-bit decimal, so that the row can be rebuilt bit for bit to cut it.
struct OwnerTcpRecord {
    std::uint32_t pid = 0;
    QString localPort;
    QString remotePort;
    QString localAddress;
    QString remoteAddress;
    QString rawLocalPort;
    QString rawRemotePort;
    QString rawLocalAddress;
    QString rawRemoteAddress;
    QString stateName;
};

struct OwnerUdpRecord {
    std::uint32_t pid = 0;
    QString localPort;
    QString localAddress;
};

class ConnectionTables {
public:
    // The owner-aware arrays hold this many records; rows past the last are not stored.
    static constexpr int RecordCount = 2001;

    explicit ConnectionTables(platform::SockDiag& diag) : m_diag(diag) {}

    platform::SockDiag& diag() { return m_diag; }

    // The TCP snapshot: row i of the last classic read at index i (1..N); index 0 unused.
    std::vector<TcpRow>& snapshot() { return m_snapshot; }
    const std::vector<TcpRow>& snapshot() const { return m_snapshot; }

    // Classic TCP read into rows; the result code of the read (0 success, 50 unsupported).
    std::uint32_t readTcp(std::vector<TcpRow>& rows) { return m_diag.readTcp(rows); }

    // Owner-aware reads: fill the record arrays and keep the entry count. A failed read
    // leaves the arrays and the count as the previous read left them.
    std::uint32_t readOwnerTcp();
    std::uint32_t readOwnerUdp();
    // Fills the records from rows as a read would (exposed for tests of the filling rules).
    void fillOwnerTcp(const std::vector<platform::TcpOwnerRow>& rows);
    void fillOwnerUdp(const std::vector<platform::UdpOwnerRow>& rows);

    const std::array<OwnerTcpRecord, RecordCount>& ownerTcp() const { return m_ownerTcp; }
    const std::array<OwnerUdpRecord, RecordCount>& ownerUdp() const { return m_ownerUdp; }
    int ownerTcpCount() const { return m_ownerTcpCount; }
    int ownerUdpCount() const { return m_ownerUdpCount; }

private:
    platform::SockDiag& m_diag;
    std::vector<TcpRow> m_snapshot;
    std::array<OwnerTcpRecord, RecordCount> m_ownerTcp;
    std::array<OwnerUdpRecord, RecordCount> m_ownerUdp;
    int m_ownerTcpCount = 0;
    int m_ownerUdpCount = 0;
};

} // namespace tarvok
