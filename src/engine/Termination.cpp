#include "engine/Termination.h"

#include <netinet/in.h>

#include "engine/EnforcerLink.h"

#include <cerrno>
#include <cstring>

namespace tarvok {

namespace {

template <typename Row>
std::uint32_t cutThrough(EnforcerLink* enforcer, const Row& row, std::uint8_t protocol) {
    if (!enforcer || !enforcer->isRunning())
        return ENOTCONN;
    enforcer::Cut cut;
    cut.protocol = protocol;
    cut.family = static_cast<std::uint8_t>(row.family);
    if (row.family == platform::Family::Inet6) {
        cut.local = row.local6;
        cut.remote = row.remote6;
    } else {
        std::memcpy(cut.local.data(), &row.localAddress, sizeof row.localAddress);
        std::memcpy(cut.remote.data(), &row.remoteAddress, sizeof row.remoteAddress);
    }
    cut.localPort = platform::portNumber(row.localPort);
    cut.remotePort = platform::portNumber(row.remotePort);
    cut.interfaceIndex = row.interfaceIndex;
    return static_cast<std::uint32_t>(enforcer->cut(cut));
}

} // namespace

std::uint32_t Termination::cutRow(TcpRow& row) {
    row.state = platform::StateDeleteTcb;
    return cutThrough(m_tables.enforcer(), row, IPPROTO_TCP);
}

std::uint32_t Termination::cutUdp(const platform::UdpConnectionRow& row) {
    return cutThrough(m_tables.enforcer(), row, IPPROTO_UDP);
}

CutAbility Termination::ability() const {
    const EnforcerLink* enforcer = m_tables.enforcer();
    if (!enforcer || !enforcer->isRunning())
        return CutAbility::NoEnforcer;
    if (enforcer->abilities() & enforcer::CanCut)
        return CutAbility::Works;
    return enforcer->abilities() & enforcer::NoSocketDestroy ? CutAbility::NotSupported
                                                             : CutAbility::NoPermission;
}

bool Termination::tcpCountChanged() {
    const std::uint32_t result = m_tables.readTcp(m_rows);
    const auto count = static_cast<std::int16_t>(result == platform::ResultOk ? m_rows.size() : 0);
    const bool changed = count != m_rememberedCount;
    m_rememberedCount = count;
    return changed;
}

} // namespace tarvok
