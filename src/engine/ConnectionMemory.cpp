#include "engine/ConnectionMemory.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarvok {
namespace {

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

std::uint64_t mixAddress(std::uint64_t h, const platform::Address6& address) {
    std::uint64_t high = 0, low = 0;
    std::memcpy(&high, address.data(), 8);
    std::memcpy(&low, address.data() + 8, 8);
    return mix(mix(h ^ high) ^ low);
}

} // namespace

std::uint64_t ConnectionMemory::fingerprint(const platform::TcpRow& row, bool failedCut) {
    // Ports take 16 bits each, the state 4, the family 2, the kind of record 1.
    const std::uint64_t rest = std::uint64_t{row.localPort & 0xffffu} << 48 |
                               std::uint64_t{row.remotePort & 0xffffu} << 32 |
                               std::uint64_t{row.state & 0xfu} << 8 |
                               std::uint64_t{static_cast<std::uint8_t>(row.family)} << 1 |
                               (failedCut ? 1u : 0u);
    std::uint64_t h = mix(rest ^ mix(std::uint64_t{row.localAddress} << 32 | row.remoteAddress));
    if (row.family == platform::Family::Inet6)
        h = mixAddress(mixAddress(h, row.local6), row.remote6);
    return h == 0 ? 1 : h; // 0 marks an empty slot
}

bool ConnectionMemory::Set::contains(std::uint64_t print) const {
    if (m_size == 0)
        return false;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = print & mask;; i = (i + 1) & mask) {
        if (m_slots[i] == print)
            return true;
        if (m_slots[i] == 0)
            return false;
    }
}

bool ConnectionMemory::Set::insert(std::uint64_t print) {
    if ((m_size + 1) * 2 > m_slots.size())
        grow();
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = print & mask;
    for (; m_slots[i] != 0; i = (i + 1) & mask)
        if (m_slots[i] == print)
            return true;
    m_slots[i] = print;
    ++m_size;
    return false;
}

void ConnectionMemory::Set::clear() {
    if (m_size == 0)
        return;
    std::fill(m_slots.begin(), m_slots.end(), 0);
    m_size = 0;
}

void ConnectionMemory::Set::grow() {
    const std::vector<std::uint64_t> old = std::exchange(
        m_slots, std::vector<std::uint64_t>(std::max<std::size_t>(64, m_slots.size() * 2)));
    m_size = 0;
    for (const std::uint64_t print : old)
        if (print != 0)
            insert(print);
}

bool ConnectionMemory::seenBefore(const platform::TcpRow& row, bool failedCut) {
    return seenBefore(fingerprint(row, failedCut));
}

std::uint64_t ConnectionMemory::endpointsPrint(const platform::TcpRow& row) {
    platform::TcpRow endpoints = row;
    endpoints.state = 0;
    return fingerprint(endpoints, false);
}

bool ConnectionMemory::seenBefore(std::uint64_t print) {
    return m_current.insert(print) || m_previous.contains(print);
}

void ConnectionMemory::prefetch(std::uint64_t print) const {
    m_current.prefetch(print);
    m_previous.prefetch(print);
}

void ConnectionMemory::Set::prefetch(std::uint64_t print) const {
    if (!m_slots.empty())
        __builtin_prefetch(m_slots.data() + (print & (m_slots.size() - 1)));
}

void ConnectionMemory::endPass() {
    std::swap(m_previous, m_current);
    m_current.clear();
}

} // namespace tarvok
