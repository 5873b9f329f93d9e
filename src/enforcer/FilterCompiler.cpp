#include "enforcer/FilterCompiler.h"

#include <sys/sysmacros.h>

#include <cstring>
#include <unordered_set>

namespace tarvok::enforcer {
namespace {

constexpr std::uint8_t Protocols[][2] = {{ProtoTcp, 6}, {ProtoUdp, 17}};

struct KeyHash {
    std::size_t operator()(const filter_key& key) const {
        std::uint64_t hash = 1469598103934665603ull;
        const auto* bytes = reinterpret_cast<const unsigned char*>(&key);
        for (std::size_t i = 0; i < sizeof key; ++i)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
        return static_cast<std::size_t>(hash);
    }
};
struct KeyEqual {
    bool operator()(const filter_key& a, const filter_key& b) const {
        return std::memcmp(&a, &b, sizeof a) == 0;
    }
};

} // namespace

std::uint64_t kernelDevice(std::uint64_t device) {
    return (static_cast<std::uint64_t>(major(device)) << 20) | minor(device);
}

std::uint64_t statDevice(std::uint64_t device) {
    return makedev(static_cast<unsigned>(device >> 20), static_cast<unsigned>(device & 0xfffff));
}

FilterPolicy compileFilter(const SetPolicy& policy, std::uint8_t generation) {
    FilterPolicy out;
    out.state.mode = policy.paused || policy.level == Level::Allow ? MODE_PASS
                     : policy.level == Level::Block               ? MODE_BLOCK
                                                                  : MODE_RULES;
    if (out.state.mode != MODE_RULES)
        return out;
    if (policy.ask)
        out.state.ask = ASK_ON | (policy.askDefaultAllow ? ASK_DEFAULT_ALLOW : 0);
    std::unordered_set<filter_key, KeyHash, KeyEqual> seen;
    for (std::size_t row = 0; row < policy.rules.size(); ++row) {
        const TypedRule& rule = policy.rules[row];
        if (!rule.enabled)
            continue;
        filter_key key;
        std::memset(&key, 0, sizeof key); // padding too: the kernel hashes every byte
        key.generation = generation;
        std::uint8_t shape = 0;
        if (rule.namesProgram) {
            shape |= SHAPE_PROGRAM;
            key.device = kernelDevice(rule.program.device);
            key.inode = rule.program.inode;
        }
        if (rule.family != RuleFamily::Any) {
            shape |= SHAPE_ADDRESS;
            key.family = static_cast<std::uint8_t>(rule.family);
            std::memcpy(key.address, rule.address.data(), rule.family == RuleFamily::V4 ? 4 : 16);
        }
        if (!rule.anyPort) {
            shape |= SHAPE_PORT;
            key.port = rule.port;
        }
        key.shape = shape;
        for (const auto& [bit, number] : Protocols) {
            if (!(rule.protocols & bit))
                continue;
            key.protocol = number;
            if (!seen.insert(key).second)
                continue; // a rule above has this key
            (number == 6 ? out.state.tcp_shapes : out.state.udp_shapes) |= 1u << shape;
            out.entries.push_back({key, {static_cast<std::uint32_t>(row), rule.accept ? 1u : 0u}});
        }
    }
    return out;
}

std::vector<TypedRule> rulesWithoutPrograms(const std::vector<TypedRule>& rules) {
    std::vector<TypedRule> out;
    out.reserve(rules.size());
    for (TypedRule rule : rules) {
        if (rule.namesProgram) {
            if (!rule.accept)
                continue;
            rule.namesProgram = false;
            rule.program = {};
        }
        out.push_back(rule);
    }
    return out;
}

} // namespace tarvok::enforcer
