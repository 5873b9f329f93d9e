#pragma once
// Rules made from a row of a connection list or of the event list: which columns hold the
// remote address and port, and the editor fields proposed for them (a block rule for that
// address and port, enabled, not logged).

#include "policy/RuleEditor.h"

namespace tarvok {

enum class RuleSource {
    PerConnection,  // ListConnections, through mnuReject
    PerApplication, // ListConnPROC, through mnuRejectXP
    EventList,      // ListLog, through mnuCreateRuleLog
};

struct SourceColumns {
    int address;
    int port;
};
SourceColumns sourceColumns(RuleSource source);

// "localhost" or an empty address proposes any address; "0" or an empty port any port.
EditorFields fieldsFromConnection(const QString& remoteAddress, const QString& remotePort,
                                  const RuleWords& words, const QString& description);

} // namespace tarvok
