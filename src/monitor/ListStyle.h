#pragma once

#include <QTreeView>

namespace tarvok {

// The look every list of the program shares: flat rows of equal height, whole-row selection,
// no editing, and a context menu that the owner opens on request.
inline void applyListStyle(QTreeView* list,
                           QAbstractItemView::SelectionMode mode = QAbstractItemView::SingleSelection) {
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(mode);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
}

} // namespace tarvok
