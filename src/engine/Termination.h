#pragma once
// Cutting TCP connections: the row's four endpoint fields, exactly as a table read returned
// them, and its interface go to the enforcer, which asks the kernel to destroy that socket.

#include "engine/ConnectionTables.h"
#include "platform/CutProbe.h"

#include <cstdint>

namespace tarvok {

using platform::CutAbility;

class Termination {
public:
    explicit Termination(ConnectionTables& tables) : m_tables(tables) {}

    // Sets row's state to 12 and cuts it; 0 on success, the kernel's error otherwise
    // (ENOTCONN when no enforcer runs).
    std::uint32_t cutRow(TcpRow& row);
    // Cuts a connected UDP socket the same way.
    std::uint32_t cutUdp(const platform::UdpConnectionRow& row);
    // Whether cuts work, as the enforcer found at its start.
    CutAbility ability() const;
    // Reads the classic TCP table and tells whether its entry count (0 when the read fails)
    // differs from the count this check saw last time, which it then remembers.
    bool tcpCountChanged();

private:
    ConnectionTables& m_tables;
    std::int16_t m_rememberedCount = 0; // kept as 16 bits, as the count was always kept
    std::vector<TcpRow> m_rows;
};

} // namespace tarvok
