#include "engine/Termination.h"

#include <cerrno>

namespace tarvok {

std::uint32_t Termination::cutRow(TcpRow& row) {
    row.state = platform::StateDeleteTcb;
    return m_tables.diag().destroyTcp(row);
}

bool Termination::tcpCountChanged() {
    const std::uint32_t result = m_tables.readTcp(m_rows);
    const auto count = static_cast<std::int16_t>(result == platform::ResultOk ? m_rows.size() : 0);
    const bool changed = count != m_rememberedCount;
    m_rememberedCount = count;
    return changed;
}

} // namespace tarvok
