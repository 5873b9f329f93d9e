#pragma once
// The address texts of table rows as the connection lists show them.

#include "engine/ConnectionTables.h"

namespace tarvok::monitor {

// Dotted text for IPv4 and dual-stack rows, canonical IPv6 text for native IPv6 rows.
template <typename Row> QString localText(const Row& row) { return localAddressText(row); }
template <typename Row> QString remoteText(const Row& row) { return remoteAddressText(row); }

// Local addresses that the list hides unless the "0.0.0.0 and 127.0.0.1" option is on.
inline bool isLoopbackOrAny(const QString& address) {
    return address == QLatin1String("127.0.0.1") || address == QLatin1String("0.0.0.0") ||
           address == QLatin1String("::1") || address == QLatin1String("::");
}

// A remote end that is no address at all (a listening socket).
inline bool isAnyAddress(const QString& address) {
    return address == QLatin1String("0.0.0.0") || address == QLatin1String("::");
}

} // namespace tarvok::monitor

namespace tarvok::monitor {

// The classic row of an owner-aware row: the same endpoint fields, for a cut.
inline TcpRow classicRow(const platform::TcpOwnerRow& row) {
    TcpRow classic{};
    classic.state = row.state;
    classic.localAddress = row.localAddress;
    classic.localPort = row.localPort;
    classic.remoteAddress = row.remoteAddress;
    classic.remotePort = row.remotePort;
    classic.family = row.family;
    classic.local6 = row.local6;
    classic.remote6 = row.remote6;
    return classic;
}

} // namespace tarvok::monitor
