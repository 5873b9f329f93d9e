#pragma once
// A rule for a whole program, asked for from the alert or the per-application list: which file
// the rule names, and the texts of the commands and of the rule they make.

#include <QString>

namespace tarvok {

class Localiser;

namespace language::programRule {
constexpr int AlertBlock = 6;        // [Alert] the button that blocks the selected program
constexpr int BlockProgram = 450;    // [Main] the per-application list's menu entries
constexpr int AllowProgram = 451;
constexpr int BlockedDescription = 452; // [Main] the rule's description: %1 the file name
constexpr int AllowedDescription = 453;
constexpr int ReplacedNote = 454;    // [Main] %1 the description of a rule for a replaced file
} // namespace language::programRule

namespace monitor {

struct ProgramFile {
    QString path;          // absolute; empty when no program is known
    bool replaced = false; // the process runs a file that was replaced or deleted since
};

// The file that process pid runs, as /proc/<pid>/exe names it now, when that is still the
// file that knownPath names (the path a row read from the same link earlier). A process that
// has gone, or whose pid a new program holds by now, leaves knownPath itself: the rule is for
// the program the row showed, never for whatever holds its pid now.
ProgramFile programFileOf(quint32 pid, const QString& knownPath);

// The description of the rule made for file.
QString programRuleDescription(const Localiser& language, const ProgramFile& file, bool accept);

} // namespace monitor
} // namespace tarvok
