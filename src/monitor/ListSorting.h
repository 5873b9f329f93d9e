#pragma once
// Sorting of the connection lists: by the text of one column, the order flipping on every header
// click and the column remembered across rebuilds. (The log viewer's typed sort is in
// records/LogSort.h.)

#include <QString>

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

// The text order of the lists: case-insensitive, ties broken case-sensitively.
int compareListText(const QString& a, const QString& b);

} // namespace tarvok
