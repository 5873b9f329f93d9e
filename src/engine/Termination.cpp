#include "engine/Termination.h"

#include <cerrno>

namespace tarvok {

std::uint32_t Termination::cutRow(TcpRow& row) {
    row.state = platform::StateDeleteTcb;
    return m_tables.diag().destroyTcp(row);
}

std::uint32_t Termination::cutSnapshotElement(int index) {
    const std::vector<TcpRow>& snapshot = m_tables.snapshot();
    if (index < 0 || static_cast<std::size_t>(index) >= snapshot.size())
        return EINVAL;
    TcpRow row = snapshot[static_cast<std::size_t>(index)];
    return cutRow(row);
}

namespace {
bool rawField(const QString& text, std::uint32_t& field) {
    bool ok = false;
    const int value = text.toInt(&ok);
    field = static_cast<std::uint32_t>(value);
    return ok;
}
} // namespace

bool Termination::cutOwnerRecord(int index) {
    if (index < 0 || index >= ConnectionTables::RecordCount)
        return false;
    const OwnerTcpRecord& record = m_tables.ownerTcp()[static_cast<std::size_t>(index)];
    TcpRow row{platform::StateDeleteTcb, 0, 0, 0, 0};
    if (!rawField(record.rawLocalAddress, row.localAddress) ||
        !rawField(record.rawLocalPort, row.localPort) ||
        !rawField(record.rawRemoteAddress, row.remoteAddress) ||
        !rawField(record.rawRemotePort, row.remotePort))
        return false;
    return m_tables.diag().destroyTcp(row) == platform::ResultOk;
}

bool Termination::tcpCountChanged() {
    const std::uint32_t result = m_tables.readTcp(m_rows);
    const auto count = static_cast<std::int16_t>(result == platform::ResultOk ? m_rows.size() : 0);
    const bool changed = count != m_rememberedCount;
    m_rememberedCount = count;
    return changed;
}

} // namespace tarvok
