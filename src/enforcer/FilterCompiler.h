#pragma once
// The policy as the program filter holds it: every enabled rule becomes one key of its shape
// (which of program, address and port it names), per protocol it covers, holding the lowest
// rule number that has that key. A connection's first match is then the lowest of the rule
// numbers found under its own key of each shape present: at most eight lookups, whatever the
// number of rules.

#include "enforcer/Protocol.h"
#include "enforcer/bpf/FilterShared.h"

#include <cstdint>
#include <vector>

namespace tarvok::enforcer {

struct FilterEntry {
    filter_key key;
    filter_value value;
};

struct FilterPolicy {
    filter_state state{};
    std::vector<FilterEntry> entries;
};

// The keys of one generation (0 or 1).
FilterPolicy compileFilter(const SetPolicy& policy, std::uint8_t generation);

// stat's st_dev as the kernel's superblocks hold it (major in the high 12 of 32 bits, minor in
// the low 20), and back: the filter reads the latter, the window sends the former.
std::uint64_t kernelDevice(std::uint64_t statDevice);
std::uint64_t statDevice(std::uint64_t kernelDevice);

// The rules the packet filter can decide without knowing the program: a rule that names one
// is dropped when it blocks (the pass cuts that program's connections) and covers every
// program when it accepts (nothing the pass would let through is refused; the pass cuts the
// other programs' connections that a rule below blocks).
std::vector<TypedRule> rulesWithoutPrograms(const std::vector<TypedRule>& rules);

} // namespace tarvok::enforcer
