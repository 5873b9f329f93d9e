// Feeds arbitrary bytes to the log viewer as a log file: every column sorted both ways must
// keep the same records, and a column of numbers must come in the order of their values.

#include "FuzzCheck.h"
#include "records/EventList.h"
#include "records/LogFileModel.h"

#include <algorithm>

using namespace tarvok;
using tarvok::fuzz::check;

namespace {

QStringList rowsOf(const LogFileModel& model) {
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < LogFileModel::ColumnCount; ++column)
            cells << model.index(row, column).data().toString();
        rows << cells.join(QChar(0));
    }
    return rows;
}

// The value of a plain decimal number of up to 18 digits; -1 for any other text.
qint64 plainNumber(const QString& text) {
    if (text.isEmpty() || text.size() > 18)
        return -1;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return -1;
    return text.toLongLong();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QList<EventRecord> records =
        parseLogFile(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (records.size() > 200) // many rows cost time, not new paths
        records.resize(200);
    LogFileModel model;
    model.setLocale(QLocale::c());
    model.setRecords(records);
    QStringList before = rowsOf(model);
    std::sort(before.begin(), before.end());
    for (int column = 0; column < LogFileModel::ColumnCount; ++column)
        for (const bool ascending : {true, false}) {
            model.sortBy(column, ascending);
            QStringList after = rowsOf(model);
            if (ascending && LogFileModel::kindOf(column) == SortKind::Number) {
                qint64 last = -1;
                for (int row = 0; row < model.rowCount(); ++row) {
                    const qint64 value = plainNumber(model.index(row, column).data().toString());
                    check(value < 0 || value >= last, "numbers sort by value");
                    last = std::max(last, value);
                }
            }
            std::sort(after.begin(), after.end());
            check(after == before, "a sort keeps every record");
        }
    return 0;
}
