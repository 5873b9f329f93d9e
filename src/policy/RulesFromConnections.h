#pragma once
// Rules made from a row of a connection list or of the event list: which columns hold the
// remote address and port (and the program, where the list names it), and the editor fields
// proposed for them (a block rule for that address and port, and that program, enabled, not
// logged).

#include "policy/RuleEditor.h"

class QAbstractItemModel;

namespace tarvok {

enum class RuleSource {
    PerConnection,  // ListConnections, through mnuReject
    PerApplication, // ListConnPROC, through mnuRejectXP
    EventList,      // ListLog, through mnuCreateRuleLog
};

struct SourceColumns {
    int address;
    int port;
    int program = -1; // the executable's path as the list shows it (/proc/<pid>/exe); -1: none
};
SourceColumns sourceColumns(RuleSource source);

// "localhost" or an empty address proposes any address; "0" or an empty port any port.
// A program path that cannot name a file (a process whose executable could not be read)
// proposes any program.
EditorFields fieldsFromConnection(const QString& remoteAddress, const QString& remotePort,
                                  const RuleWords& words, const QString& description,
                                  const QString& program = {});
// The same from a row of a list's model, its cells taken from sourceColumns(source).
EditorFields fieldsFromRow(const QAbstractItemModel& model, int row, RuleSource source,
                           const RuleWords& words, const QString& description);

} // namespace tarvok
