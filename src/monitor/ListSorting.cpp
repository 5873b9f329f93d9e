#include "monitor/ListSorting.h"

namespace tarvok {

void SortListView(ListSortState& state, int column) {
    state.sorted = true;
    state.key = column - 1;
    state.order = state.order == 0 ? 1 : 0;
}

void SortListViewAuto(ListSortState& state, int column) {
    state.sorted = true;
    state.key = column - 1;
}

int compareListText(const QString& a, const QString& b) {
    const int folded = QString::compare(a.toCaseFolded(), b.toCaseFolded());
    return folded != 0 ? folded : a.compare(b, Qt::CaseSensitive);
}

} // namespace tarvok
