#include "policy/RulesFromConnections.h"

#include "policy/ProgramChoice.h"

#include <QAbstractItemModel>

namespace tarvok {

SourceColumns sourceColumns(RuleSource source) {
    switch (source) {
    case RuleSource::PerConnection:
        return {3, 4};
    case RuleSource::PerApplication:
        return {4, 5, 7};
    case RuleSource::EventList:
        break;
    }
    return {4, 5};
}

EditorFields fieldsFromConnection(const QString& remoteAddress, const QString& remotePort,
                                  const RuleWords& words, const QString& description,
                                  const QString& program) {
    EditorFields fields = blankFields(words, description);
    if (checkProgramPath(program) == ProgramCheck::Ok)
        fields.program = program;
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

EditorFields fieldsFromRow(const QAbstractItemModel& model, int row, RuleSource source,
                           const RuleWords& words, const QString& description) {
    const SourceColumns columns = sourceColumns(source);
    const auto cell = [&model, row](int column) {
        return column >= 0 && column < model.columnCount() ? model.index(row, column).data().toString()
                                                           : QString();
    };
    return fieldsFromConnection(cell(columns.address), cell(columns.port), words, description,
                                cell(columns.program));
}

} // namespace tarvok
