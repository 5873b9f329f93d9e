#pragma once
// The address texts of table rows as the connection lists show them.

#include "engine/ConnectionTables.h"

#include <QHash>

#include <optional>

namespace tarvok::monitor {

// Dotted text for IPv4 and dual-stack rows, canonical IPv6 text for native IPv6 rows.
template <typename Row> QString localText(const Row& row) { return localAddressText(row); }
template <typename Row> QString remoteText(const Row& row) { return remoteAddressText(row); }

// The texts of one rebuild: an address or a port seen on many rows is written once. Every
// text a row holds shares the data of the first one made.
class TextCache {
public:
    template <typename Row> QString local(const Row& row) {
        return row.family == platform::Family::Inet6 ? localText(row) : address(row.localAddress);
    }
    template <typename Row> QString remote(const Row& row) {
        return row.family == platform::Family::Inet6 ? remoteText(row) : address(row.remoteAddress);
    }
    QString port(std::uint32_t field) {
        const int number = portNumber(field);
        auto found = m_ports.constFind(number);
        if (found == m_ports.constEnd())
            found = m_ports.insert(number, QString::number(number));
        return *found;
    }

    QString ownerState(std::uint32_t state) { return cached(m_ownerStates, state, ownerStateName); }
    QString classicState(std::uint32_t state) { return cached(m_classicStates, state, classicStateName); }

private:
    static QString cached(QHash<std::uint32_t, QString>& texts, std::uint32_t state,
                          QString (*name)(std::uint32_t)) {
        auto found = texts.constFind(state);
        if (found == texts.constEnd())
            found = texts.insert(state, name(state));
        return *found;
    }
    QString address(std::uint32_t field) {
        auto found = m_addresses.constFind(field);
        if (found == m_addresses.constEnd())
            found = m_addresses.insert(field, addressText(field));
        return *found;
    }

    QHash<std::uint32_t, QString> m_addresses;
    QHash<int, QString> m_ports;
    QHash<std::uint32_t, QString> m_ownerStates;
    QHash<std::uint32_t, QString> m_classicStates;
};

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
    classic.interfaceIndex = row.interfaceIndex;
    classic.local6 = row.local6;
    classic.remote6 = row.remote6;
    return classic;
}

// A connected UDP socket as the rules judge it: an established connection to its peer, as the
// enforcement pass builds it. None for an unconnected socket, which no rule decides.
inline std::optional<TcpRow> udpConnection(const platform::UdpConnectionRow& row) {
    if (row.remotePort == 0)
        return std::nullopt;
    return TcpRow{platform::StateEstablished, row.localAddress, row.localPort,
                  row.remoteAddress,          row.remotePort,   row.family,
                  row.local6,                 row.remote6,      row.interfaceIndex};
}

} // namespace tarvok::monitor
