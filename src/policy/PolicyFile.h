#pragma once
// The policy file: an INI file with one section [Rules] holding Count and six keys per rule,
// and its mapping onto the rows of the rule table.

#include "engine/RuleTable.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace tarvok {

// The file-dialog filter of policy files.
inline const QString PolicyFilter = QStringLiteral("Tarvok policy file|*.rlsp");
// Rule counts and numbers are signed 16-bit numbers in the file.
constexpr int MaxPolicyRules = 32767;

// The number of rule blocks a Count value asks for: its leading number rounded half to even
// (0 when it has none), or nothing when that number does not fit a signed 16-bit number.
std::optional<int> policyCount(const QString& countText);

// The rows that the policy file at path describes, made with the table's words. A missing
// or unreadable file, or a Count out of range, gives no rows.
QList<Rule> readPolicyRules(const QString& path, const RuleWords& words);

// ReadPolicyFile: appends the rows of the policy file at path to the table.
void ReadPolicyFile(const QString& path, RuleTable& table);

// The whole text of the policy file for these rows, in UTF-8 with CR LF line ends.
QByteArray policyText(const QList<Rule>& rules, const RuleWords& words);

} // namespace tarvok
