#include "engine/TypedPolicy.h"

#include "engine/ProgramFiles.h"
#include "engine/RuleIndex.h"

#include <cstring>

namespace tarvok {

enforcer::SetPolicy typedPolicy(const RuleTable& table, SecurityLevel level, bool paused,
                                const ProgramResolver& resolve) {
    using enforcer::RuleFamily;
    enforcer::SetPolicy policy;
    policy.level = level == SecurityLevel::Block    ? enforcer::Level::Block
                   : level == SecurityLevel::Normal ? enforcer::Level::Normal
                                                    : enforcer::Level::Allow;
    policy.paused = paused;
    policy.rules.reserve(static_cast<std::size_t>(table.count()));
    const RuleWords& words = table.words();
    for (int row = 0; row < table.count(); ++row) {
        const Rule& cells = table.rule(row);
        const AddressPattern address = parseAddressCell(cells.address, words);
        const PortPattern port = parsePortCell(cells.port, words);
        enforcer::TypedRule rule;
        rule.accept = table.isAccept(row);
        rule.protocols = parseProtocolCell(cells.protocol);
        rule.enabled = table.isEnabled(row) && address.kind != AddressPattern::Nothing &&
                       port.kind != PortPattern::Nothing;
        const ProgramPattern::Kind program = programKind(cells.program);
        if (rule.enabled && program != ProgramPattern::Any) {
            // A program that is not there now matches nothing until its file appears.
            const std::optional<ProgramIdentity> file =
                program == ProgramPattern::Nothing ? std::nullopt
                : resolve                          ? resolve(cells.program)
                                                   : statProgram(cells.program);
            rule.enabled = file.has_value();
            rule.namesProgram = rule.enabled;
            if (file)
                rule.program = {file->device, file->inode};
        }
        if (rule.enabled) {
            if (address.kind == AddressPattern::Exact) {
                rule.family = RuleFamily::V4;
                std::memcpy(rule.address.data(), &address.address, sizeof address.address);
            } else if (address.kind == AddressPattern::Exact6) {
                rule.family = RuleFamily::V6;
                rule.address = address.address6;
            }
            rule.anyPort = port.kind == PortPattern::Any;
            rule.port = rule.anyPort ? 0 : port.port;
        }
        policy.rules.push_back(rule);
    }
    return policy;
}

} // namespace tarvok
