#pragma once
// The typed column sort of the log viewer, on any column: the row order that sorts rows by
// kind (numbers by value, however many digits; text as the lists compare it) and, for the event
// time "time - date", by the moment it names. The order is computed once, so a file of many
// thousand records sorts without touching the view row by row.

#include <QLocale>
#include <QString>

#include <functional>
#include <vector>

namespace tarvok {

enum class SortKind { Text = 0, Number = 1, Date = 2 };

// Key of an event time "time - date" (or a date alone) in the locale's short or long formats,
// or ISO: "YYYYMMDDhhmmss"; empty when it reads as no date. A two-digit year is this century's.
QString eventTimeSortKey(const QString& text, const QLocale& locale = QLocale::system());

// The row order that sorts rowCount rows by the keys of textOf(row): stable, so rows of equal
// keys keep their order; descending reverses the comparison, not the ties. Texts without a
// number or date key sort first.
std::vector<int> SortColumn(int rowCount, const std::function<QString(int)>& textOf,
                            SortKind kind, bool ascending,
                            const QLocale& locale = QLocale::system());

} // namespace tarvok
