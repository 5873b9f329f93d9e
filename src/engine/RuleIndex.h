#pragma once
// The rule table turned into lookups with integer keys, so that deciding a connection costs a
// few hash probes instead of a walk over every rule's texts. It gives exactly the first
// enabled matching rule of the walk from the top, quirks included:
// - the any-address word or the text "999.999.999.999" matches every address; any other
//   address cell matches only when it is written exactly as the address text is written
//   ("10.0.0.1", never "010.0.0.1"; an IPv6 address in its canonical text, as inet_ntop
//   writes it), so any other cell matches nothing;
// - the any-port word or the text "99999" matches every port; a cell of decimal digits
//   matches the port of that numeric value ("080" is port 80); anything else matches nothing;
// - a disabled rule is passed over.
// A RuleIndex covers the rules that name no program; PolicyIndex adds those that do.
// Rebuild it when the table's generation moves; lookups on a stale index are wrong.

#include "engine/ProgramIdentity.h"
#include "engine/RuleTable.h"
#include "platform/TableRows.h"

#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvok {

// What a rule cell means for matching.
struct AddressPattern {
    enum Kind { Any, Exact, Exact6, Nothing } kind = Nothing;
    std::uint32_t address = 0;   // row form (network order), for Exact
    platform::Address6 address6{}; // for Exact6
};
struct PortPattern {
    enum Kind { Any, Exact, Nothing } kind = Nothing;
    std::uint16_t port = 0; // for Exact
};
AddressPattern parseAddressCell(const QString& cell, const RuleWords& words);
// A rule's protocols, as bits (1 TCP, 2 UDP), from its protocol cell: "TCP", "UDP" or
// "TCP/UDP". Any other text is TCP, the protocol of every rule before there was a choice.
enum RuleProtocols : std::uint8_t { RuleTcp = 1, RuleUdp = 2, RuleTcpUdp = 3 };
std::uint8_t parseProtocolCell(const QString& cell);
QString protocolCell(std::uint8_t protocols);
PortPattern parsePortCell(const QString& cell, const RuleWords& words);

// The program a rule names, from its program cell (Rule::program):
// - the empty text is any program (every rule that names none);
// - an absolute path of at most MaxProgramPathBytes bytes in UTF-8, without a control
//   character, names the executable file at that path (Path);
// - any other text matches NOTHING: no connection, whatever program makes it. A cell that
//   cannot name a file never widens to any program, since that would turn a block rule for
//   one program into a block of everything, and an accept rule into an accept of everything.
// The cell keeps such a text as it stands; only matching passes it over.
constexpr qsizetype MaxProgramPathBytes = 4096;
struct ProgramPattern {
    enum Kind { Any, Path, Nothing } kind = Nothing;
    QString path; // for Path: the cell as it is (not made canonical; the file is found from it)

    bool operator==(const ProgramPattern&) const = default;
};
ProgramPattern parseProgramCell(const QString& cell);

class RuleIndex {
public:
    static constexpr int NoMatch = -1;

    // The index serves one protocol: rules that do not cover it are passed over, and so are
    // the rules that name a program.
    void rebuild(const RuleTable& table, std::uint8_t protocol = RuleTcp);
    // The same over the given rows only (ascending), whatever program they name. A small
    // index (one program's rules) keeps its port rules in a hash map rather than a table of
    // every port.
    void rebuild(const RuleTable& table, std::uint8_t protocol, const std::vector<int>& rows,
                 bool small);
    bool isCurrentFor(const RuleTable& table) const {
        return m_built && m_generation == table.generation() && m_table == &table;
    }

    // The 0-based row of the first enabled rule matching a connection to remoteAddress
    // (row form) and remotePort, or NoMatch.
    int firstMatch(std::uint32_t remoteAddress, std::uint16_t remotePort) const;
    // The same for a native IPv6 connection. IPv6 rules live in maps of their own, so that
    // they cost IPv4 lookups nothing.
    int firstMatch(const platform::Address6& remoteAddress, std::uint16_t remotePort) const;

private:
    template <typename Rows>
    void build(const RuleTable& table, std::uint8_t protocol, const Rows& rows, bool small);

    // Open-addressing map from a 64-bit key to the lowest row that has it.
    class LowestRowMap {
    public:
        void clear();
        void reserve(std::size_t count);
        void insertIfAbsent(std::uint64_t key, int row);
        int find(std::uint64_t key) const;
        bool empty() const { return m_size == 0; }

    private:
        struct Slot {
            std::uint64_t key;
            int row; // NoMatch marks an empty slot
        };
        std::size_t slotOf(std::uint64_t key) const;
        std::vector<Slot> m_slots;
        std::size_t m_size = 0;
        unsigned m_shift = 64;
    };

    const RuleTable* m_table = nullptr;
    quint64 m_generation = 0;
    bool m_built = false;
    int m_anyAny = NoMatch;           // any address, any port
    LowestRowMap m_byAddress;         // exact address, any port
    std::vector<int> m_byPort;        // any address, exact port (65536 entries, or empty)
    LowestRowMap m_byPortSparse;      // the same for a small index
    LowestRowMap m_byEndpoint;        // exact address and port
    // Exact IPv6 addresses: few in any policy, so ordered maps are plenty.
    std::map<platform::Address6, int> m_byAddress6;                          // any port
    std::map<std::pair<platform::Address6, std::uint16_t>, int> m_byEndpoint6; // exact port
};

// What a rule's program cell means (parseProgramCell above), its kind alone.
inline ProgramPattern::Kind programKind(const QString& cell) {
    return parseProgramCell(cell).kind;
}
// The distinct paths that the enabled rules name.
QStringList programPaths(const RuleTable& table);

// First match over the whole table, program rules included: the any-program index and one
// small index per program file, the lowest row of the two deciding. A rule whose path has no
// file now matches nothing; a connection whose owner is unknown is decided by the rules that
// name no program alone.
class PolicyIndex {
public:
    using Resolve = std::function<std::optional<ProgramIdentity>(const QString&)>;

    // identities: the generation of what resolve answers, so that a replaced file makes the
    // index stale.
    void rebuild(const RuleTable& table, std::uint8_t protocol, const Resolve& resolve,
                 quint64 identities);
    bool isCurrentFor(const RuleTable& table, quint64 identities) const {
        return m_any.isCurrentFor(table) && m_identities == identities;
    }
    // Whether any rule names a program file that exists: only then do owners matter.
    bool hasProgramRules() const { return !m_byProgram.empty(); }

    template <typename Address>
    int firstMatch(const Address& remoteAddress, std::uint16_t remotePort,
                   const ProgramIdentity* owner) const {
        const int row = m_any.firstMatch(remoteAddress, remotePort);
        if (!owner || m_byProgram.empty())
            return row;
        const auto found = m_byProgram.find(*owner);
        if (found == m_byProgram.end())
            return row;
        // NoMatch is the largest value as unsigned.
        return static_cast<int>(std::min(static_cast<unsigned>(row),
                                         static_cast<unsigned>(found->second.firstMatch(
                                             remoteAddress, remotePort))));
    }

private:
    struct Hash {
        std::size_t operator()(const ProgramIdentity& id) const { return qHash(id); }
    };
    RuleIndex m_any;
    std::unordered_map<ProgramIdentity, RuleIndex, Hash> m_byProgram;
    quint64 m_identities = 0;
};

} // namespace tarvok
