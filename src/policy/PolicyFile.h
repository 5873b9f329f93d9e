#pragma once
// The policy file: an INI file with one section [Rules] holding Count and six keys per rule,
// and its mapping onto the rows of the rule table. Two keys are written only where a rule
// needs them, so that other files stay as they always were: Proto_n (UDP, or * for TCP and
// UDP) and Program_n (the absolute path of the program the rule names). Tarvok writes the
// file in UTF-8; a file that is not valid UTF-8 is read as Windows-1252, except a Program_n
// path, which is UTF-8 wherever its own bytes are.

#include "engine/RuleTable.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace tarvok {

class Localiser;

// The file-dialog filter of policy files.
inline const QString PolicyFilter = QStringLiteral("Tarvok policy file|*.rlsp");
// Rule counts and numbers are signed 16-bit numbers in the file.
constexpr int MaxPolicyRules = 32767;
// The largest policy file read. A full policy with every value at its longest fits in a
// third of it; anything larger is no policy Tarvok wrote.
constexpr qint64 MaxPolicyBytes = 64 * 1024 * 1024;

// The number of rule blocks a Count value asks for: its leading number rounded half to even
// (0 when it has none), or nothing when that number does not fit a signed 16-bit number.
std::optional<int> policyCount(const QString& countText);

// What reading a policy file gave: its rows, or why it gave none.
struct PolicyRead {
    enum class Failure {
        None,
        Unreadable, // missing, not a regular file, too large, or a read error: detail says which
        NotAPolicy, // no [Rules] section with a Count that begins with a number
        BadCount,   // a Count outside 0 to 32767: detail holds it
    };
    QList<Rule> rules;
    Failure failure = Failure::None;
    QString detail;
    bool ok() const { return failure == Failure::None; }
};

// Reads the policy file at path in one step: the file is opened only when it is a regular
// file of at most MaxPolicyBytes, and its bytes are read once. "[Rules]" with "Count=0" is a
// valid empty policy; anything that is no policy gives no rows and the reason.
PolicyRead readPolicy(const QString& path, const RuleWords& words);

// Why a read failed, in the localiser's language (in English without one).
QString policyReadFailure(const PolicyRead& read, const Localiser* language);

// ReadPolicyFile: appends the rows of the policy file at path to the table when it is a
// policy; otherwise the table stays as it was. Returns the outcome, its rows moved into the
// table.
PolicyRead ReadPolicyFile(const QString& path, RuleTable& table);

// The whole text of the policy file for these rows, in UTF-8 with CR LF line ends.
QByteArray policyText(const QList<Rule>& rules, const RuleWords& words);

} // namespace tarvok
