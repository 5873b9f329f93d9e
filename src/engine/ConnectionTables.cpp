#include "engine/ConnectionTables.h"

#include <arpa/inet.h>

namespace tarvok {

QString addressText(std::uint32_t addressField) {
    // The first byte in memory is the first octet.
    return QStringLiteral("%1.%2.%3.%4")
        .arg(addressField & 0xffu)
        .arg((addressField >> 8) & 0xffu)
        .arg((addressField >> 16) & 0xffu)
        .arg((addressField >> 24) & 0xffu);
}

QString addressText(const platform::Address6& address) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return QString::fromLatin1(text);
}

namespace {
const char* const StateNames[] = {
    "",          "CLOSED",  "LISTENING", "SYN_SENT",   "SYN_RCVD",   "ESTABLISHED", "FIN_WAIT1",
    "FIN_WAIT2", "CLOSE_WAIT", "CLOSING", "LAST_ACK", "TIME_WAIT",
};
} // namespace

QString classicStateName(std::uint32_t state) {
    if (state == platform::StateDeleteTcb)
        return QStringLiteral("BLOCKED CONNECTION");
    return state < std::size(StateNames) ? QString::fromLatin1(StateNames[state]) : QString();
}

QString ownerStateName(std::uint32_t state) {
    if (state == 0)
        return QStringLiteral("UNKNOWN");
    if (state == platform::StateDeleteTcb)
        return QStringLiteral("DELETE_TCB");
    return classicStateName(state);
}

namespace {
QString raw(std::uint32_t field) { return QString::number(static_cast<std::int32_t>(field)); }
} // namespace

void ConnectionTables::fillOwnerTcp(const std::vector<platform::TcpOwnerRow>& rows) {
    m_ownerTcpCount = static_cast<int>(rows.size());
    const std::size_t stored = std::min<std::size_t>(rows.size(), RecordCount);
    for (std::size_t k = 0; k < stored; ++k) {
        const platform::TcpOwnerRow& row = rows[k];
        // A row with no local port and no remote end carries nothing to show; its record
        // keeps what an earlier read left there.
        if (row.localPort == 0 && row.remoteAddress == 0 && row.remotePort == 0)
            continue;
        OwnerTcpRecord& record = m_ownerTcp[k];
        record.pid = row.owningPid;
        record.localPort = QString::number(portNumber(row.localPort));
        record.remotePort = QString::number(portNumber(row.remotePort));
        record.localAddress = localAddressText(row);
        record.remoteAddress = remoteAddressText(row);
        record.rawLocalPort = raw(row.localPort);
        record.rawRemotePort = raw(row.remotePort);
        record.rawLocalAddress = raw(row.localAddress);
        record.rawRemoteAddress = raw(row.remoteAddress);
        record.stateName = ownerStateName(row.state);
    }
}

void ConnectionTables::fillOwnerUdp(const std::vector<platform::UdpOwnerRow>& rows) {
    m_ownerUdpCount = static_cast<int>(rows.size());
    const std::size_t stored = std::min<std::size_t>(rows.size(), RecordCount);
    for (std::size_t k = 0; k < stored; ++k) {
        const platform::UdpOwnerRow& row = rows[k];
        if (row.localPort == 0 && row.localAddress == 0)
            continue;
        OwnerUdpRecord& record = m_ownerUdp[k];
        record.pid = row.owningPid;
        record.localPort = QString::number(portNumber(row.localPort));
        record.localAddress = localAddressText(row);
    }
}

std::uint32_t ConnectionTables::readOwnerTcp() {
    std::vector<platform::TcpOwnerRow> rows;
    const std::uint32_t result = m_diag.readTcpOwners(rows);
    if (result == platform::ResultOk)
        fillOwnerTcp(rows);
    return result;
}

std::uint32_t ConnectionTables::readOwnerUdp() {
    std::vector<platform::UdpOwnerRow> rows;
    const std::uint32_t result = m_diag.readUdpOwners(rows);
    if (result == platform::ResultOk)
        fillOwnerUdp(rows);
    return result;
}

} // namespace tarvok
