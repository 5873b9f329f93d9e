#pragma once
// The policy as the enforcer takes it: each rule's cells, which hold the words of the language
// in use and whatever a file held, resolved into typed rules by the same parsers the pass
// uses. A cell that can never match (an address such as "999.999.999.999", a port such as
// "99999", a program path that is not absolute or names no file now) makes a disabled rule, so
// the enforcer never sees a word, a path or an odd cell: a program is its file's device and
// inode numbers.

#include "enforcer/Protocol.h"
#include "engine/EnforcementEngine.h"
#include "engine/ProgramIdentity.h"
#include "engine/RuleTable.h"

#include <QString>

#include <functional>
#include <optional>

namespace tarvok {

// The file a program path names now; nullopt when there is no regular file there.
using ProgramResolver = std::function<std::optional<ProgramIdentity>(const QString& path)>;

// resolve defaults to a fresh stat of each path.
enforcer::SetPolicy typedPolicy(const RuleTable& table, SecurityLevel level, bool paused,
                                const ProgramResolver& resolve = {});

} // namespace tarvok
