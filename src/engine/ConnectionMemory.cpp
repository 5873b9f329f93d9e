#include "engine/ConnectionMemory.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarvok {
namespace {

constexpr std::uint64_t Golden = 0x9E3779B97F4A7C15ull;

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

std::uint64_t digest(const platform::Address6& address, std::uint64_t seed) {
    std::uint64_t high = 0, low = 0;
    std::memcpy(&high, address.data(), 8);
    std::memcpy(&low, address.data() + 8, 8);
    return mix(mix(seed ^ high) + low);
}

} // namespace

ConnectionMemory::Key ConnectionMemory::keyOf(const platform::TcpRow& row, bool failedCut) {
    // Ports take 16 bits each, the state 4, the family 2, the kind of record 1.
    const std::uint64_t rest = std::uint64_t{row.localPort & 0xffffu} << 48 |
                               std::uint64_t{row.remotePort & 0xffffu} << 32 |
                               std::uint64_t{row.state & 0xfu} << 8 |
                               std::uint64_t{static_cast<std::uint8_t>(row.family)} << 1 |
                               (failedCut ? 1u : 0u);
    if (row.family != platform::Family::Inet6)
        return {std::uint64_t{row.localAddress} << 32 | row.remoteAddress, rest};
    return {digest(row.local6, rest), digest(row.remote6, rest ^ Golden)};
}

std::size_t ConnectionMemory::Set::slotOf(const Key& key) const {
    return static_cast<std::size_t>(mix(key.a ^ (key.b * Golden))) & (m_slots.size() - 1);
}

bool ConnectionMemory::Set::contains(const Key& key) const {
    if (m_size == 0)
        return false;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = slotOf(key);; i = (i + 1) & mask) {
        if (m_slots[i].stamp != m_stamp)
            return false;
        if (m_slots[i].key == key)
            return true;
    }
}

bool ConnectionMemory::Set::insert(const Key& key) {
    if ((m_size + 1) * 2 > m_slots.size())
        grow();
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = slotOf(key);
    for (; m_slots[i].stamp == m_stamp; i = (i + 1) & mask)
        if (m_slots[i].key == key)
            return true;
    m_slots[i] = {key, m_stamp};
    ++m_size;
    return false;
}

void ConnectionMemory::Set::clear() {
    m_size = 0;
    if (++m_stamp == 0) { // after four billion passes the stamps start over
        for (Slot& slot : m_slots)
            slot.stamp = 0;
        m_stamp = 1;
    }
}

void ConnectionMemory::Set::grow() {
    const std::vector<Slot> old =
        std::exchange(m_slots, std::vector<Slot>(std::max<std::size_t>(64, m_slots.size() * 2)));
    const std::uint32_t stamp = std::exchange(m_stamp, 1);
    m_size = 0;
    for (const Slot& slot : old)
        if (slot.stamp == stamp)
            insert(slot.key);
}

bool ConnectionMemory::seenBefore(const platform::TcpRow& row, bool failedCut) {
    const Key key = keyOf(row, failedCut);
    return m_current.insert(key) || m_previous.contains(key);
}

void ConnectionMemory::endPass() {
    std::swap(m_previous, m_current);
    m_current.clear();
}

} // namespace tarvok
