#include "monitor/ConnectionListModel.h"

#include <algorithm>

namespace tarvok {

ConnectionListModel::ConnectionListModel(QObject* parent) : QAbstractTableModel(parent) {}

int ConnectionListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ConnectionListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount + (m_ruleColumn ? 1 : 0);
}

void ConnectionListModel::setRuleColumn(RuleColumn column) {
    beginResetModel();
    m_ruleColumn = std::move(column);
    endResetModel();
}

void ConnectionListModel::rulesChanged() {
    if (m_ruleColumn && rowCount() > 0)
        emit dataChanged(index(0, ColumnCount), index(rowCount() - 1, ColumnCount),
                         {Qt::DisplayRole, Qt::ToolTipRole});
}

QVariant ConnectionListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    const ListRow& row = m_rows[static_cast<std::size_t>(index.row())];
    if (index.column() == ColumnCount) {
        if ((role == Qt::DisplayRole || role == Qt::ToolTipRole) && row.connection)
            return m_ruleColumn(*row.connection, row.udp, row.program ? &*row.program : nullptr);
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return row.cells[static_cast<std::size_t>(index.column())];
    case Qt::DecorationRole:
        if (index.column() == 0 && m_icons && !row.icon.isEmpty())
            return m_icons->icon(row.icon);
        return {};
    case TagRole:
        return row.tag;
    default:
        return {};
    }
}

QString ConnectionListModel::cell(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= ColumnCount)
        return QString();
    return m_rows[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)];
}

void ConnectionListModel::update(std::vector<ListRow> rows) {
    const std::size_t oldSize = m_rows.size();
    const std::size_t newSize = rows.size();
    // Unchanged rows at the head and at the tail.
    std::size_t head = 0;
    while (head < oldSize && head < newSize && m_rows[head] == rows[head])
        ++head;
    std::size_t tail = 0;
    while (tail < oldSize - head && tail < newSize - head &&
           m_rows[oldSize - 1 - tail] == rows[newSize - 1 - tail])
        ++tail;
    const std::size_t oldMiddle = oldSize - head - tail;
    const std::size_t newMiddle = newSize - head - tail;
    const std::size_t common = std::min(oldMiddle, newMiddle);

    // Inserted or removed rows are announced with the other rows as they were; the rows that
    // changed in place are then replaced and announced as changed.
    if (newMiddle > oldMiddle) {
        const std::size_t first = head + oldMiddle;
        const std::size_t count = newMiddle - oldMiddle;
        beginInsertRows({}, static_cast<int>(first), static_cast<int>(first + count) - 1);
        m_rows.insert(m_rows.begin() + std::ptrdiff_t(first), rows.begin() + std::ptrdiff_t(first),
                      rows.begin() + std::ptrdiff_t(first + count));
        endInsertRows();
    } else if (newMiddle < oldMiddle) {
        const std::size_t first = head + newMiddle;
        const std::size_t count = oldMiddle - newMiddle;
        beginRemoveRows({}, static_cast<int>(first), static_cast<int>(first + count) - 1);
        m_rows.erase(m_rows.begin() + std::ptrdiff_t(first),
                     m_rows.begin() + std::ptrdiff_t(first + count));
        endRemoveRows();
    }
    m_rows = std::move(rows);
    if (common > 0)
        emit dataChanged(index(static_cast<int>(head), 0),
                         index(static_cast<int>(head + common) - 1, columnCount() - 1));
}

} // namespace tarvok
