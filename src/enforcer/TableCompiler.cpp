#include "enforcer/TableCompiler.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <map>
#include <vector>

namespace tarvok::enforcer {
namespace {

using Address6 = Address;
constexpr int None = INT_MAX; // no rule: larger than every row

std::string addressText(std::uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}
std::string addressText(const Address6& address) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return text;
}

// One lookup of the chains: keys of one kind, each refused or accepted.
struct Step {
    std::string map;      // the name of its sets, without the r or a
    std::string type;     // nftables key type of the sets
    std::string outKey;   // the key as the output chain forms it
    std::string inKey;    // the same for the input chain (the packet's source)
    std::vector<std::pair<std::string, bool>> elements; // key text, refuse
};

// What one family's rules hold, each key with the lowest row that has it.
template <typename Addr>
struct FamilyRules {
    std::map<std::pair<Addr, std::uint16_t>, int> endpoints;
    std::map<Addr, int> addresses;
    // Address-only rules and port-only rules (address empty) in table order, for runs.
    struct Ordered {
        int row;
        bool isPort;
        Addr address;
        std::uint16_t port;
    };
    std::vector<Ordered> ordered;
};

// A step's keys as two plain sets, those refused and those accepted (a key is in one at
// most). Plain sets rather than a verdict map: the kernel then neither checks every element's
// jump nor walks them all again to drop their references when the table is replaced.
std::string setsText(const Step& step) {
    std::string out;
    for (const bool refuse : {true, false}) {
        std::size_t count = 0;
        std::string elements;
        for (const auto& [key, refuses] : step.elements) {
            if (refuses != refuse)
                continue;
            if (count++ > 0)
                elements += ",\n\t\t\t";
            elements += key;
        }
        if (count == 0)
            continue;
        // The size tells the kernel how many elements come, so that it makes a hash table
        // of that size at once rather than growing one insert after another.
        out += "\tset " + step.map + (refuse ? "r" : "a") + " {\n\t\ttype " + step.type +
               "\n\t\tsize " + std::to_string(count) + "\n\t\telements = { " + elements +
               " }\n\t}\n";
    }
    return out;
}


// The lookups of one transport protocol. The rules that do not cover it are passed over, which
// gives its packets the first rule that matches them, as the pass gives its rows.
struct ProtocolLookups {
    std::vector<Step> steps;
    bool anyAny = false;     // an any-address, any-port rule ends the lookups
    bool refuseRest = false; // and it blocks
    bool empty() const { return steps.empty() && !anyAny; }
};

class Compiler {
public:
    Compiler(const SetPolicy& policy, const TableOptions& options, RuleProtocol protocol)
        : m_rules(policy.rules), m_options(options), m_protocol(protocol),
          m_l4(protocol == ProtoUdp ? "udp" : "tcp"),
          m_prefix(protocol == ProtoUdp ? "u" : ""), m_ports(65536, None) {}

    ProtocolLookups compile() {
        parse();
        ProtocolLookups lookups;
        compileFamily(m_v4, "4", "ip", "ipv4_addr", "ipv4", lookups.steps);
        compileFamily(m_v6, "6", "ip6", "ipv6_addr", "ipv6", lookups.steps);
        lookups.anyAny = m_anyAny != None;
        lookups.refuseRest = lookups.anyAny && refuses(m_anyAny);
        return lookups;
    }

private:
    bool refuses(int row) const { return !m_rules[static_cast<std::size_t>(row)].accept; }

    void parse() {
        for (std::size_t i = 0; i < m_rules.size(); ++i) {
            const TypedRule& rule = m_rules[i];
            const int row = static_cast<int>(i);
            if (!rule.enabled || !(rule.protocols & m_protocol))
                continue;
            if (rule.family == RuleFamily::Any) {
                if (rule.anyPort) {
                    m_anyAny = row;
                    return; // everything below is shadowed
                }
                if (m_ports[rule.port] == None)
                    m_ports[rule.port] = row;
                m_v4.ordered.push_back({row, true, 0, rule.port});
                m_v6.ordered.push_back({row, true, {}, rule.port});
            } else if (rule.family == RuleFamily::V4) {
                std::uint32_t address = 0;
                std::memcpy(&address, rule.address.data(), sizeof address);
                add(m_v4, address, rule, row);
            } else {
                add(m_v6, rule.address, rule, row);
            }
        }
    }

    template <typename Addr>
    static void add(FamilyRules<Addr>& rules, const Addr& address, const TypedRule& rule, int row) {
        if (rule.anyPort) {
            rules.addresses.emplace(address, row); // keeps the first, lowest row
            rules.ordered.push_back({row, false, address, 0});
        } else {
            rules.endpoints.emplace(std::pair(address, rule.port), row);
        }
    }

    template <typename Addr>
    void compileFamily(const FamilyRules<Addr>& rules, const std::string& suffix,
                       const std::string& proto, const std::string& addrType,
                       const std::string& nfproto, std::vector<Step>& steps) {
        // Resolved exact keys: the first rule of any kind that matches each.
        std::map<std::pair<Addr, std::uint16_t>, int> endpoints;
        for (const auto& [key, row] : rules.endpoints) {
            int lowest = std::min(row, m_ports[key.second]);
            if (const auto found = rules.addresses.find(key.first); found != rules.addresses.end())
                lowest = std::min(lowest, found->second);
            endpoints.emplace(key, lowest);
        }

        // Port rules that this family can meet, by row.
        std::vector<std::pair<int, std::uint16_t>> ports;
        for (const auto& entry : rules.ordered)
            if (entry.isPort && m_ports[entry.port] == entry.row)
                ports.push_back({entry.row, entry.port});
        std::vector<std::pair<int, Addr>> addresses;
        for (const auto& [address, row] : rules.addresses)
            addresses.push_back({row, address});
        std::sort(addresses.begin(), addresses.end());

        // Pairs where an address rule is above a port rule (needed when ports go first).
        std::size_t addressAbove = 0;
        for (const auto& port : ports)
            addressAbove += static_cast<std::size_t>(
                std::lower_bound(addresses.begin(), addresses.end(),
                                 std::pair(port.first, Addr{})) -
                addresses.begin());
        const std::size_t portAbove = addresses.size() * ports.size() - addressAbove;
        const bool portsFirst = addressAbove <= portAbove;
        // A few runs cost a new connection a few lookups more; thousands of resolved pairs
        // cost every write their parsing. Runs win while they are few or pairs too many.
        std::size_t runs = 0;
        for (std::size_t i = 0; i < rules.ordered.size(); ++i)
            runs += i == 0 || rules.ordered[i].isPort != rules.ordered[i - 1].isPort;
        const std::size_t pairs = std::min(addressAbove, portAbove);
        const bool resolve = pairs <= m_options.pairLimit &&
                             (runs > TableOptions::FewRuns || pairs <= runs);
        if (resolve) {
            for (const auto& port : ports)
                for (const auto& address : addresses) {
                    const bool addressWins = address.first < port.first;
                    if (addressWins == portsFirst) // this pair would be decided wrongly
                        endpoints.emplace(std::pair(address.second, port.second),
                                          std::min(address.first, port.first));
                }
        }

        const std::string endpointType = addrType + " . inet_service";
        Step endpointStep{m_prefix + "e" + suffix, endpointType,
                          proto + " daddr . " + m_l4 + " dport",
                          proto + " saddr . " + m_l4 + " sport", {}};
        for (const auto& [key, row] : endpoints)
            endpointStep.elements.push_back(
                {addressText(key.first) + " . " + std::to_string(key.second), refuses(row)});
        pushStep(steps, std::move(endpointStep));

        const auto addressStep = [&](const std::string& name) {
            return Step{name, addrType, proto + " daddr", proto + " saddr", {}};
        };
        const auto portStep = [&](const std::string& name) {
            return Step{name, "inet_service", "meta nfproto " + nfproto + " " + m_l4 + " dport",
                        "meta nfproto " + nfproto + " " + m_l4 + " sport", {}};
        };
        if (resolve) {
            Step byAddress = addressStep(m_prefix + "a" + suffix);
            for (const auto& [row, address] : addresses)
                byAddress.elements.push_back({addressText(address), refuses(row)});
            Step byPort = portStep(m_prefix + "p" + suffix);
            for (const auto& [row, port] : ports)
                byPort.elements.push_back({std::to_string(port), refuses(row)});
            pushStep(steps, portsFirst ? std::move(byPort) : std::move(byAddress));
            pushStep(steps, portsFirst ? std::move(byAddress) : std::move(byPort));
            return;
        }
        // Too many pairs: runs of one kind, in table order; the first key of a run decides.
        std::size_t run = 0;
        for (std::size_t i = 0; i < rules.ordered.size();) {
            const bool isPort = rules.ordered[i].isPort;
            const std::string name = m_prefix + "r" + suffix + "_" + std::to_string(run++);
            Step step = isPort ? portStep(name) : addressStep(name);
            std::map<std::string, bool> seen;
            for (; i < rules.ordered.size() && rules.ordered[i].isPort == isPort; ++i) {
                const auto& entry = rules.ordered[i];
                std::string key = isPort ? std::to_string(entry.port) : addressText(entry.address);
                if (seen.emplace(key, true).second)
                    step.elements.push_back({std::move(key), refuses(entry.row)});
            }
            pushStep(steps, std::move(step));
        }
    }

    static void pushStep(std::vector<Step>& steps, Step step) {
        if (!step.elements.empty())
            steps.push_back(std::move(step));
    }

    const std::vector<TypedRule>& m_rules;
    const TableOptions& m_options;
    const RuleProtocol m_protocol;
    const std::string m_l4;     // the nftables word for the protocol's header
    const std::string m_prefix; // of its set names
    std::vector<int> m_ports; // lowest row of each any-address port rule
    int m_anyAny = None;
    FamilyRules<std::uint32_t> m_v4;
    FamilyRules<Address6> m_v6;
};


const char* const Exempt[] = {"127.0.0.1", "{ ::1, ::ffff:127.0.0.1 }"};

// The UDP endpoint cache: the remote ends (destination going out, source coming in) whose
// datagrams the lookups let pass, so that the next datagrams of a flow take one lookup rather
// than the whole walk. The answer hangs on the remote end alone once the exempt rows have been
// let through, so an end is cached for every local one. Refused ends are never cached, so every
// refused datagram is still logged. The sets come new with every write of the table: a new
// rule judges every running flow again at its next datagram. An end expires after a minute;
// when a set is full, the add fails and the datagram is simply accepted uncached.
constexpr const char* UdpCacheKeys[2][2] = {{"ip saddr . udp sport", "ip6 saddr . udp sport"},
                                            {"ip daddr . udp dport", "ip6 daddr . udp dport"}};

std::string udpCacheSets() {
    std::string out;
    for (const char* way : {"out", "in"})
        for (const auto& [family, type] : {std::pair("4", "ipv4_addr"), std::pair("6", "ipv6_addr")})
            out += std::string("\tset udp_seen") + family + "_" + way + " {\n\t\ttype " + type +
                   " . inet_service\n\t\tsize 65536\n\t\tflags dynamic,timeout\n"
                   "\t\ttimeout 60s\n\t}\n";
    return out;
}

// Puts the remote end of a datagram that passed into the cache, and accepts it.
std::string udpAdmitChain(bool output) {
    const std::string way = output ? "out" : "in";
    const auto& keys = UdpCacheKeys[output];
    return "\tchain admit_udp_" + way + " {\n\t\tadd @udp_seen4_" + way + " { " + keys[0] +
           " }\n\t\tadd @udp_seen6_" + way + " { " + keys[1] + " }\n\t\taccept\n\t}\n";
}

// A datagram's first look in its decide chain: a cached remote end passes at once.
std::string udpCacheLookups(bool output) {
    const std::string way = output ? "out" : "in";
    const auto& keys = UdpCacheKeys[output];
    return std::string("\t\t") + keys[0] + " @udp_seen4_" + way + " accept\n\t\t" + keys[1] +
           " @udp_seen6_" + way + " accept\n";
}

// One decide chain: the rows the pass never cuts, then the lookups of one protocol. What
// passes them goes to admit when there is one (the UDP endpoint cache), else is accepted.
std::string decideChain(const std::string& name, bool output, const ProtocolLookups& lookups,
                        const std::string& refuse, const std::string& admit = {}) {
    const std::string local = output ? "saddr" : "daddr";
    const std::string accepted = admit.empty() ? "accept" : "goto " + admit;
    std::string out = "\tchain " + name + " {\n";
    if (!admit.empty())
        out += udpCacheLookups(output);
    out += "\t\tip " + local + " " + Exempt[0] + " accept\n";
    out += "\t\tip6 " + local + " " + Exempt[1] + " accept\n";
    for (const Step& step : lookups.steps) {
        const std::string& key = output ? step.outKey : step.inKey;
        const auto has = [&](bool refuses) {
            return std::any_of(step.elements.begin(), step.elements.end(),
                               [&](const auto& element) { return element.second == refuses; });
        };
        if (has(true))
            out += "\t\t" + key + " @" + step.map + "r goto " + refuse + "\n";
        if (has(false))
            out += "\t\t" + key + " @" + step.map + "a " + accepted + "\n";
    }
    if (lookups.refuseRest)
        out += "\t\tgoto " + refuse + "\n";
    else if (!admit.empty())
        out += "\t\tgoto " + admit + "\n";
    return out + "\t}\n";
}

// At the Block level, ICMP: the link's own messages (IPv6 neighbour discovery and router
// messages, without which the link fails) and errors about what passes go on; the rest stops.
std::string icmpChain(const std::string& name, bool output) {
    const std::string local = output ? "saddr" : "daddr";
    std::string out = "\tchain " + name + " {\n";
    out += "\t\tip " + local + " " + Exempt[0] + " accept\n";
    out += "\t\tip6 " + local + " " + Exempt[1] + " accept\n";
    out += "\t\ticmpv6 type { nd-neighbor-solicit, nd-neighbor-advert, nd-router-solicit, "
           "nd-router-advert, nd-redirect } accept\n";
    if (!output) // the input hook comes after connection tracking
        out += "\t\tct state related accept\n";
    return out + "\t\tdrop\n\t}\n";
}

std::string script(const SetPolicy& policy, const TableOptions& options) {
    std::string out = options.mayExist ? "table inet " + options.name + "\n" : "";
    out += "delete table inet " + options.name + "\n";
    out += "table inet " + options.name + " {\n\tflags owner\n";
    const bool block = !policy.paused && policy.level == Level::Block;
    ProtocolLookups tcp, udp;
    if (block) {
        tcp.refuseRest = udp.refuseRest = true;
    } else if (!policy.paused && policy.level == Level::Normal) {
        tcp = Compiler(policy, options, ProtoTcp).compile();
        udp = Compiler(policy, options, ProtoUdp).compile();
    }
    const bool hasTcp = block || !tcp.empty(), hasUdp = block || !udp.empty();
    if (!hasTcp && !hasUdp)
        return out + "}\n";
    const std::string log =
        options.logGroup > 0 ? "\t\tlog group " + std::to_string(options.logGroup) + "\n" : "";
    // A refused TCP connection gets a reset; a refused datagram is dropped, so that the program
    // sending it gets EPERM from its send and nothing leaves.
    if (hasTcp)
        out += "\tchain refuse {\n" + log + "\t\treject with tcp reset\n\t}\n";
    if (hasUdp)
        out += "\tchain refuse_datagram {\n" + log + "\t\tdrop\n\t}\n";
    for (const ProtocolLookups* lookups : {&tcp, &udp})
        for (const Step& step : lookups->steps)
            out += setsText(step);
    // At the Block level nothing but the exempt rows passes: there is nothing to cache.
    const bool udpCache = hasUdp && !block;
    if (udpCache)
        out += udpCacheSets();
    for (const bool output : {true, false}) {
        const std::string way = output ? "_out" : "_in";
        if (hasTcp)
            out += decideChain("decide" + way, output, tcp, "refuse");
        if (udpCache)
            out += udpAdmitChain(output);
        if (hasUdp)
            out += decideChain("decide_udp" + way, output, udp, "refuse_datagram",
                               udpCache ? "admit_udp" + way : std::string());
        if (block)
            out += icmpChain("decide_icmp" + way, output);
        // Only the first packet of a new TCP connection goes further, but every datagram (one
        // whose remote end is cached passes after one lookup): a new rule then stops a UDP
        // flow already running at once. The output chain runs before connection tracking and
        // address translation, so that it judges the destination the program asked for, as
        // the pass does; refused there, the packet leaves no conntrack entry behind.
        const bool filtered = output && options.outgoingByFilter;
        // A hook with nothing to decide still costs every packet a call: while the program
        // filter decides outgoing connections, the output hook exists at the Block level only.
        if (filtered && !block)
            continue;
        out += output ? "\tchain output {\n\t\ttype filter hook output priority raw; "
                        "policy accept;\n"
                      : "\tchain input {\n\t\ttype filter hook input priority filter; "
                        "policy accept;\n";
        if (hasTcp && !filtered)
            out += "\t\ttcp flags & (syn | ack) == syn goto decide" + way + "\n";
        if (hasUdp && !filtered)
            out += "\t\tmeta l4proto udp goto decide_udp" + way + "\n";
        if (block)
            out += "\t\tmeta l4proto { icmp, ipv6-icmp } goto decide_icmp" + way + "\n";
        out += "\t}\n";
    }
    return out + "}\n";
}

} // namespace

std::string tableScript(const SetPolicy& policy, const TableOptions& options) {
    return script(policy, options);
}

std::string tableRemoval(const std::string& name) {
    return "delete table inet " + name + "\n";
}

} // namespace tarvok::enforcer
