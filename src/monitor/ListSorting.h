#pragma once
// Sorting of the program's lists. The connection lists sort by the text of one column, the
// order flipping on every header click and the column remembered across rebuilds; SortColumn
// orders a column as text, as numbers or as dates, for the log viewer and the alert list.

#include <QString>
#include <QStringList>

#include <vector>

namespace tarvok {

// The sort state a list keeps: one order per list, not per column.
struct ListSortState {
    bool sorted = false;
    int key = 0;   // 0-based column
    int order = 0; // 0 ascending, 1 descending
};

// A header click (column 1-based): sorting on, key column - 1, the order flipped, so the first
// click after start-up sorts descending.
void SortListView(ListSortState& state, int column);
// After a rebuild: sorting on with the remembered column, the order left as it is.
void SortListViewAuto(ListSortState& state, int column);

enum class SortKind { Text = 0, Number = 1, Date = 2 };

// The key that makes text order follow numeric or date order: a number as ten integer and
// twenty decimal digits; a negative number as "&" and the nines' complement of those digits,
// so larger magnitudes come first; a non-number as the empty text; a date as YYYYMMDDhhmmss.
QString sortKey(const QString& text, SortKind kind);

// Orders rows (each a list of cell texts) by column (1-based). Number and date keys apply to
// column 1 only; other columns sort by their texts as they stand. Rows keep their texts.
void SortColumn(std::vector<QStringList>& rows, int column, SortKind kind, bool ascending);

// The text order of the lists: case-insensitive, ties broken case-sensitively.
int compareListText(const QString& a, const QString& b);

} // namespace tarvok
