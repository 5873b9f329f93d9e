#include "engine/RuleIndex.h"

#include <QHash>

#include <algorithm>
#include <arpa/inet.h>
#include <bit>
#include <limits>
#include <type_traits>

namespace tarvok {
namespace {

// The effective values that stand for "any" inside one comparison.
const QString AnyAddressValue = QStringLiteral("999.999.999.999");
const QString AnyPortValue = QStringLiteral("99999");

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// Parses "a.b.c.d" only when it is written exactly as addressText() would write it.
std::optional<std::uint32_t> canonicalAddress(const QString& cell) {
    std::uint32_t result = 0;
    int octets = 0;
    qsizetype i = 0;
    const qsizetype length = cell.size();
    while (octets < 4) {
        const qsizetype start = i;
        unsigned value = 0;
        while (i < length && isDigit(cell[i]) && i - start < 3) {
            value = value * 10 + static_cast<unsigned>(cell[i].unicode() - u'0');
            ++i;
        }
        const qsizetype digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && cell[start] == u'0'))
            return std::nullopt;
        result |= value << (8 * octets);
        ++octets;
        if (octets < 4) {
            if (i >= length || cell[i] != u'.')
                return std::nullopt;
            ++i;
        }
    }
    if (i != length)
        return std::nullopt;
    return result;
}

// Parses an IPv6 address only when it is written exactly as inet_ntop writes it.
std::optional<platform::Address6> canonicalAddress6(const QString& cell) {
    if (!cell.contains(u':') || cell.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    const QByteArray text = cell.toLatin1();
    platform::Address6 address{};
    char written[INET6_ADDRSTRLEN] = {};
    if (::inet_pton(AF_INET6, text.constData(), address.data()) != 1 ||
        !::inet_ntop(AF_INET6, address.data(), written, sizeof written) ||
        text != QByteArrayView(written))
        return std::nullopt;
    return address;
}

} // namespace

AddressPattern parseAddressCell(const QString& cell, const RuleWords& words) {
    if (cell == words.anyAddress || cell == AnyAddressValue)
        return {AddressPattern::Any};
    if (const auto address = canonicalAddress(cell))
        return {AddressPattern::Exact, *address};
    if (const auto address = canonicalAddress6(cell))
        return {AddressPattern::Exact6, 0, *address};
    return {};
}

PortPattern parsePortCell(const QString& cell, const RuleWords& words) {
    if (cell == words.anyPort || cell == AnyPortValue)
        return {PortPattern::Any, 0};
    if (cell.isEmpty() || !std::all_of(cell.begin(), cell.end(), isDigit))
        return {}; // not a whole number: matches nothing
    std::uint32_t value = 0;
    for (const QChar c : cell) {
        value = value * 10 + static_cast<std::uint32_t>(c.unicode() - u'0');
        if (value > 65535)
            return {}; // no port has this number
    }
    return {PortPattern::Exact, static_cast<std::uint16_t>(value)};
}

void RuleIndex::LowestRowMap::clear() {
    m_slots.clear();
    m_size = 0;
    m_shift = 64;
}

void RuleIndex::LowestRowMap::reserve(std::size_t count) {
    // At most half full, so that probe runs stay short.
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, count * 2));
    m_slots.assign(capacity, Slot{0, NoMatch});
    m_shift = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    m_size = 0;
}

std::size_t RuleIndex::LowestRowMap::slotOf(std::uint64_t key) const {
    // Fibonacci hashing: the high bits of the product are well mixed.
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> m_shift);
}

void RuleIndex::LowestRowMap::insertIfAbsent(std::uint64_t key, int row) {
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = slotOf(key);; slot = (slot + 1) & mask) {
        Slot& entry = m_slots[slot];
        if (entry.row == NoMatch) {
            entry = {key, row};
            ++m_size;
            return;
        }
        if (entry.key == key)
            return; // an earlier rule already decides this key
    }
}

int RuleIndex::LowestRowMap::find(std::uint64_t key) const {
    if (m_size == 0)
        return NoMatch;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = slotOf(key);; slot = (slot + 1) & mask) {
        const Slot& entry = m_slots[slot];
        if (entry.row == NoMatch || entry.key == key)
            return entry.row;
    }
}

std::uint8_t parseProtocolCell(const QString& cell) {
    if (cell == QLatin1String("UDP"))
        return RuleUdp;
    if (cell == QLatin1String("TCP/UDP"))
        return RuleTcpUdp;
    return RuleTcp;
}

QString protocolCell(std::uint8_t protocols) {
    if (protocols == RuleUdp)
        return QStringLiteral("UDP");
    return protocols == RuleTcpUdp ? QStringLiteral("TCP/UDP") : QStringLiteral("TCP");
}

QStringList programPaths(const RuleTable& table) {
    QStringList paths;
    for (int row = 0; row < table.count(); ++row) {
        const QString& cell = table.rule(row).program;
        if (!cell.isEmpty() && table.isEnabled(row) &&
            programKind(cell) == ProgramPattern::Path)
            paths.append(cell);
    }
    paths.sort();
    paths.removeDuplicates();
    return paths;
}

namespace {
// Every row of a table, without a list of them.
struct AllRows {
    int count;
    struct Iterator {
        int row;
        int operator*() const { return row; }
        Iterator& operator++() {
            ++row;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return row != other.row; }
    };
    Iterator begin() const { return {0}; }
    Iterator end() const { return {count}; }
};
} // namespace

void RuleIndex::rebuild(const RuleTable& table, std::uint8_t protocol) {
    build(table, protocol, AllRows{table.count()}, false);
}

void RuleIndex::rebuild(const RuleTable& table, std::uint8_t protocol,
                        const std::vector<int>& rows, bool small) {
    build(table, protocol, rows, small);
}

template <typename Rows>
void RuleIndex::build(const RuleTable& table, std::uint8_t protocol, const Rows& rows,
                      bool small) {
    // A full rebuild takes the rules of any program; a list of rows is taken as it is.
    constexpr bool anyProgramOnly = std::is_same_v<Rows, AllRows>;
    m_table = &table;
    m_generation = table.generation();
    m_built = true;
    m_anyAny = NoMatch;
    m_byPort.clear();
    m_byPortSparse.clear();

    struct Entry {
        AddressPattern address;
        PortPattern port;
        int row;
    };
    std::vector<Entry> entries;
    if constexpr (anyProgramOnly)
        entries.reserve(static_cast<std::size_t>(table.count()));
    std::size_t exactAddressAnyPort = 0, exactBoth = 0, anyAddress = 0;
    const RuleWords& words = table.words();
    for (const int row : rows) {
        const Rule& rule = table.rule(row);
        if (!table.isEnabled(row) || !(parseProtocolCell(rule.protocol) & protocol))
            continue;
        if (anyProgramOnly && !rule.program.isEmpty())
            continue;
        const AddressPattern address = parseAddressCell(rule.address, words);
        const PortPattern port = parsePortCell(rule.port, words);
        if (address.kind == AddressPattern::Nothing || port.kind == PortPattern::Nothing)
            continue; // can never match
        if (address.kind == AddressPattern::Any && port.kind == PortPattern::Any) {
            m_anyAny = row;
            break; // every rule below is shadowed for every connection
        }
        entries.push_back({address, port, row});
        if (address.kind == AddressPattern::Exact)
            ++(port.kind == PortPattern::Any ? exactAddressAnyPort : exactBoth);
        else if (address.kind == AddressPattern::Any)
            ++anyAddress;
    }

    m_byAddress.clear();
    m_byEndpoint.clear();
    m_byAddress6.clear();
    m_byEndpoint6.clear();
    if (exactAddressAnyPort > 0)
        m_byAddress.reserve(exactAddressAnyPort);
    if (exactBoth > 0)
        m_byEndpoint.reserve(exactBoth);
    if (small && anyAddress > 0)
        m_byPortSparse.reserve(anyAddress);
    for (const Entry& entry : entries) {
        if (entry.address.kind == AddressPattern::Any) {
            if (small) {
                m_byPortSparse.insertIfAbsent(entry.port.port, entry.row);
                continue;
            }
            if (m_byPort.empty())
                m_byPort.assign(65536, NoMatch);
            int& lowest = m_byPort[entry.port.port];
            if (lowest == NoMatch)
                lowest = entry.row;
        } else if (entry.address.kind == AddressPattern::Exact6) {
            // emplace keeps the first, lowest row of a key
            if (entry.port.kind == PortPattern::Any)
                m_byAddress6.emplace(entry.address.address6, entry.row);
            else
                m_byEndpoint6.emplace(std::pair(entry.address.address6, entry.port.port),
                                      entry.row);
        } else if (entry.port.kind == PortPattern::Any) {
            m_byAddress.insertIfAbsent(entry.address.address, entry.row);
        } else {
            m_byEndpoint.insertIfAbsent(
                (static_cast<std::uint64_t>(entry.address.address) << 16) | entry.port.port,
                entry.row);
        }
    }
}

void PolicyIndex::rebuild(const RuleTable& table, std::uint8_t protocol, const Resolve& resolve,
                          quint64 identities) {
    m_identities = identities;
    m_any.rebuild(table, protocol);
    m_byProgram.clear();
    // The rows of each program file, in table order. Two paths of one file (a link and its
    // target) share one index.
    std::unordered_map<ProgramIdentity, std::vector<int>, Hash> rowsOf;
    QHash<QString, std::optional<ProgramIdentity>> resolved;
    for (int row = 0; row < table.count(); ++row) {
        const QString& cell = table.rule(row).program;
        if (cell.isEmpty() || !table.isEnabled(row) || programKind(cell) != ProgramPattern::Path)
            continue;
        auto found = resolved.find(cell);
        if (found == resolved.end())
            found = resolved.insert(cell, resolve(cell));
        if (*found)
            rowsOf[**found].push_back(row);
    }
    for (const auto& [identity, rows] : rowsOf)
        m_byProgram[identity].rebuild(table, protocol, rows, true);
}

int RuleIndex::firstMatch(std::uint32_t remoteAddress, std::uint16_t remotePort) const {
    // The lowest row among the four kinds of rule that can match this connection.
    auto lowest = static_cast<unsigned>(m_anyAny); // NoMatch becomes the largest value
    if (!m_byPort.empty())
        lowest = std::min(lowest, static_cast<unsigned>(m_byPort[remotePort]));
    else if (!m_byPortSparse.empty())
        lowest = std::min(lowest, static_cast<unsigned>(m_byPortSparse.find(remotePort)));
    lowest = std::min(lowest, static_cast<unsigned>(m_byAddress.find(remoteAddress)));
    lowest = std::min(
        lowest, static_cast<unsigned>(m_byEndpoint.find(
                    (static_cast<std::uint64_t>(remoteAddress) << 16) | remotePort)));
    return static_cast<int>(lowest);
}

int RuleIndex::firstMatch(const platform::Address6& remoteAddress,
                          std::uint16_t remotePort) const {
    auto lowest = static_cast<unsigned>(m_anyAny);
    if (!m_byPort.empty())
        lowest = std::min(lowest, static_cast<unsigned>(m_byPort[remotePort]));
    else if (!m_byPortSparse.empty())
        lowest = std::min(lowest, static_cast<unsigned>(m_byPortSparse.find(remotePort)));
    if (const auto found = m_byAddress6.find(remoteAddress); found != m_byAddress6.end())
        lowest = std::min(lowest, static_cast<unsigned>(found->second));
    if (const auto found = m_byEndpoint6.find(std::pair(remoteAddress, remotePort));
        found != m_byEndpoint6.end())
        lowest = std::min(lowest, static_cast<unsigned>(found->second));
    return static_cast<int>(lowest);
}

} // namespace tarvok
