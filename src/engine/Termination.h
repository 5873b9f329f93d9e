#pragma once
// Cutting TCP connections: the row is handed to the kernel with its four endpoint fields
// exactly as a table read returned them, and the kernel destroys that socket.

#include "engine/ConnectionTables.h"

#include <cstdint>

namespace tarvok {

class Termination {
public:
    explicit Termination(ConnectionTables& tables) : m_tables(tables) {}

    // Sets row's state to 12 and cuts it; 0 on success, the kernel's error otherwise.
    std::uint32_t cutRow(TcpRow& row);
    // Reads the classic TCP table and tells whether its entry count (0 when the read fails)
    // differs from the count this check saw last time, which it then remembers.
    bool tcpCountChanged();

private:
    ConnectionTables& m_tables;
    std::int16_t m_rememberedCount = 0; // kept as 16 bits, as the count was always kept
    std::vector<TcpRow> m_rows;
};

} // namespace tarvok
