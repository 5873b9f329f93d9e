#pragma once
// The policy as the enforcer takes it: each rule's cells, which hold the words of the language
// in use and whatever a file held, resolved into typed rules by the same parsers the pass
// uses. A cell that can never match (an address such as "999.999.999.999", a port such as
// "99999") makes a disabled rule, so the enforcer never sees a word or an odd cell.

#include "enforcer/Protocol.h"
#include "engine/EnforcementEngine.h"
#include "engine/RuleTable.h"

namespace tarvok {

enforcer::SetPolicy typedPolicy(const RuleTable& table, SecurityLevel level, bool paused);

} // namespace tarvok
