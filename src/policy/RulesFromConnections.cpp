#include "policy/RulesFromConnections.h"

namespace tarvok {

SourceColumns sourceColumns(RuleSource source) {
    switch (source) {
    case RuleSource::PerConnection:
        return {3, 4};
    case RuleSource::PerApplication:
    case RuleSource::EventList:
        break;
    }
    return {4, 5};
}

EditorFields fieldsFromConnection(const QString& remoteAddress, const QString& remotePort,
                                  const RuleWords& words, const QString& description) {
    EditorFields fields = blankFields(words, description);
    fields.accept = false;
    if (remoteAddress != QLatin1String("localhost") && !remoteAddress.isEmpty()) {
        fields.specificAddress = true;
        fields.address = remoteAddress;
    }
    if (remotePort != QLatin1String("0") && !remotePort.isEmpty()) {
        fields.specificPort = true;
        fields.port = remotePort;
    }
    return fields;
}

} // namespace tarvok
