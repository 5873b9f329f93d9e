#pragma once
// Finds the rules that can never decide a connection: a rule whose address, port or program
// cell can match nothing, and a rule below an enabled rule that covers every connection it
// covers (any address and any port; the same address with any port; any address with the
// same port; the same address and port), for every protocol it covers. A rule for any program
// covers the rules below it for any program and for one; a rule that names a program covers
// only rules below it for the same program. A rule that names a program whose file is not
// there now matches nothing until it is installed. Such rules are only reported; nothing is
// changed.

#include "engine/RuleTable.h"

#include <vector>

namespace tarvok {

struct RuleFinding {
    enum Kind { Fine, ShadowedBy, BadAddress, BadPort, BadProgram, MissingProgram } kind = Fine;
    int by = -1; // for ShadowedBy: the 0-based row of the first rule that covers this one

    bool operator==(const RuleFinding&) const = default;
};

// One finding per row of the table, in a single walk from the top, with at most one stat per
// distinct program path (and none for a rule already found shadowed).
std::vector<RuleFinding> findNeverMatching(const RuleTable& table);

// Whether the row is an enabled block rule for one address that covers TCP alone: programs
// still reach that address over UDP (QUIC, DNS). False for a row out of range.
bool leavesUdpOpen(const RuleTable& table, int row);

} // namespace tarvok
