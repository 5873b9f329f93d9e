#include "engine/RuleCheck.h"

#include "engine/ProgramFiles.h"
#include "engine/RuleIndex.h"

#include <algorithm>
#include <array>
#include <map>
#include <unordered_map>

namespace tarvok {
namespace {

// The first enabled rule of each kind of cover seen so far, by its matching values.
class Covers {
public:
    // The first rule above that covers a rule of these patterns, or -1.
    int coverOf(const AddressPattern& address, const PortPattern& port) const {
        int first = m_anyAny;
        const auto lower = [&first](int row) {
            if (row >= 0 && (first < 0 || row < first))
                first = row;
        };
        if (port.kind == PortPattern::Exact)
            lower(find(m_byPort, port.port));
        if (address.kind == AddressPattern::Exact) {
            lower(find(m_byAddress, address.address));
            if (port.kind == PortPattern::Exact)
                lower(find(m_byEndpoint, endpointKey(address.address, port.port)));
        } else if (address.kind == AddressPattern::Exact6) {
            lower(find(m_byAddress6, address.address6));
            if (port.kind == PortPattern::Exact)
                lower(find(m_byEndpoint6, std::pair(address.address6, port.port)));
        }
        return first;
    }

    // Remembers an enabled rule; an earlier rule of the same cover stays first.
    void add(const AddressPattern& address, const PortPattern& port, int row) {
        const bool anyPort = port.kind == PortPattern::Any;
        switch (address.kind) {
        case AddressPattern::Any:
            if (anyPort && m_anyAny < 0)
                m_anyAny = row;
            else if (!anyPort)
                m_byPort.try_emplace(port.port, row);
            break;
        case AddressPattern::Exact:
            if (anyPort)
                m_byAddress.try_emplace(address.address, row);
            else
                m_byEndpoint.try_emplace(endpointKey(address.address, port.port), row);
            break;
        case AddressPattern::Exact6:
            if (anyPort)
                m_byAddress6.try_emplace(address.address6, row);
            else
                m_byEndpoint6.try_emplace(std::pair(address.address6, port.port), row);
            break;
        case AddressPattern::Nothing: break;
        }
    }

private:
    static std::uint64_t endpointKey(std::uint32_t address, std::uint16_t port) {
        return std::uint64_t{address} << 16 | port;
    }
    template <typename Map, typename Key> static int find(const Map& map, const Key& key) {
        const auto found = map.find(key);
        return found == map.end() ? -1 : found->second;
    }

    int m_anyAny = -1;
    std::unordered_map<std::uint16_t, int> m_byPort;
    std::unordered_map<std::uint32_t, int> m_byAddress;
    std::unordered_map<std::uint64_t, int> m_byEndpoint;
    // IPv6 rules are few in any policy: ordered maps are plenty.
    std::map<platform::Address6, int> m_byAddress6;
    std::map<std::pair<platform::Address6, std::uint16_t>, int> m_byEndpoint6;
};

} // namespace

std::vector<RuleFinding> findNeverMatching(const RuleTable& table) {
    std::vector<RuleFinding> findings(static_cast<std::size_t>(table.count()));
    // The covers of each protocol apart: a rule is shadowed only when rules above cover it for
    // every protocol it covers, so that a TCP rule leaves a TCP-and-UDP rule below it its UDP.
    using ProtocolCovers = std::array<Covers, 2>;
    // Rules for any program cover every rule; a rule that names a program covers only rules
    // for the same program, since the connections of any other program pass it by.
    ProtocolCovers anyProgram;
    std::map<QString, ProtocolCovers> byProgram;
    const auto coverOf = [](const ProtocolCovers* own, const ProtocolCovers& any,
                            const AddressPattern& address, const PortPattern& port,
                            std::uint8_t protocols) {
        int last = -1;
        for (std::size_t p = 0; p < 2; ++p) {
            if (!(protocols & (1 << p)))
                continue;
            int cover = any[p].coverOf(address, port);
            if (const int ownCover = own ? (*own)[p].coverOf(address, port) : -1;
                ownCover >= 0 && (cover < 0 || ownCover < cover))
                cover = ownCover;
            if (cover < 0)
                return -1;
            last = std::max(last, cover);
        }
        return last;
    };
    const RuleWords& words = table.words();
    std::map<QString, bool> programThere; // by path: a regular file is there now
    const auto missing = [&programThere](const QString& path) {
        auto found = programThere.find(path);
        if (found == programThere.end())
            found = programThere.emplace(path, statProgram(path).has_value()).first;
        return !found->second;
    };
    for (int row = 0; row < table.count(); ++row) {
        const Rule& rule = table.rule(row);
        const AddressPattern address = parseAddressCell(rule.address, words);
        const PortPattern port = parsePortCell(rule.port, words);
        const ProgramPattern program = parseProgramCell(rule.program);
        const std::uint8_t protocols = parseProtocolCell(rule.protocol);
        RuleFinding& finding = findings[static_cast<std::size_t>(row)];
        if (address.kind == AddressPattern::Nothing) {
            finding.kind = RuleFinding::BadAddress;
            continue;
        }
        if (port.kind == PortPattern::Nothing) {
            finding.kind = RuleFinding::BadPort;
            continue;
        }
        if (program.kind == ProgramPattern::Nothing) {
            finding.kind = RuleFinding::BadProgram;
            continue;
        }
        const auto own = program.kind == ProgramPattern::Path ? byProgram.find(program.path)
                                                                : byProgram.end();
        if (const int cover = coverOf(own == byProgram.end() ? nullptr : &own->second, anyProgram,
                                      address, port, protocols);
            cover >= 0) {
            // Disabled rules are judged too: switching one on would not make it match.
            finding = {RuleFinding::ShadowedBy, cover};
            continue;
        }
        if (program.kind == ProgramPattern::Path && missing(program.path))
            finding.kind = RuleFinding::MissingProgram;
        // A rule for a program not installed yet still covers that program's rules below it:
        // once the file is there, it decides first.
        if (table.isEnabled(row)) {
            ProtocolCovers& covers =
                program.kind == ProgramPattern::Path ? byProgram[program.path] : anyProgram;
            for (std::size_t p = 0; p < 2; ++p)
                if (protocols & (1 << p))
                    covers[p].add(address, port, row);
        }
    }
    return findings;
}

bool leavesUdpOpen(const RuleTable& table, int row) {
    if (row < 0 || row >= table.count() || table.isAccept(row) || !table.isEnabled(row))
        return false;
    const Rule& rule = table.rule(row);
    const AddressPattern::Kind address = parseAddressCell(rule.address, table.words()).kind;
    return parseProtocolCell(rule.protocol) == RuleTcp &&
           (address == AddressPattern::Exact || address == AddressPattern::Exact6);
}

} // namespace tarvok
