#include "records/LogFileModel.h"

namespace tarvok {

LogFileModel::LogFileModel(QObject* parent) : QAbstractTableModel(parent) {}

void LogFileModel::setRecords(QList<EventRecord> records) {
    beginResetModel();
    m_records = std::move(records);
    endResetModel();
}

int LogFileModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_records.size());
}

int LogFileModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QString LogFileModel::field(const EventRecord& r, int column) {
    switch (column) {
    case 0: return r.time;
    case 1: return r.protocol;
    case 2: return r.localAddress;
    case 3: return r.localPort;
    case 4: return r.remoteAddress;
    case 5: return r.remotePort;
    case 6: return r.service;
    case 7: return r.status;
    default: return {};
    }
}

QVariant LogFileModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const EventRecord& r = m_records.at(index.row());
    if (role == Qt::DisplayRole)
        return field(r, index.column());
    if (role == ImageRole && index.column() == 0) {
        // Answers to a question about a program show as the allowed or blocked they were.
        if (r.status == QLatin1String("ESTABLISHED") || r.status.startsWith(QLatin1String("ALLOWED")))
            return 3;
        if (r.status.startsWith(QLatin1String("BLOCKED")))
            return 4;
        return 0;
    }
    return {};
}

SortKind LogFileModel::kindOf(int column) {
    switch (column) {
    case 0: return SortKind::Date;
    case 3:
    case 5: return SortKind::Number;
    default: return SortKind::Text;
    }
}

bool LogFileModel::nextAscending(int column) const {
    return column >= 0 && column < ColumnCount && !m_descendingNext[column];
}

void LogFileModel::sortByClick(int column) {
    if (column < 0 || column >= ColumnCount)
        return;
    const bool ascending = nextAscending(column);
    m_descendingNext[column] = ascending;
    sortBy(column, ascending);
}

void LogFileModel::sortBy(int column, bool ascending) {
    if (column < 0 || column >= ColumnCount || m_records.isEmpty())
        return;
    const std::vector<int> order = SortColumn(
        static_cast<int>(m_records.size()),
        [this, column](int row) { return field(m_records.at(row), column); }, kindOf(column),
        ascending, m_locale);
    // Rows move, none come or go: a layout change keeps the views' persistent indexes right.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    QList<EventRecord> sorted;
    sorted.reserve(m_records.size());
    for (int row : order)
        sorted.append(std::move(m_records[row]));
    const QModelIndexList before = persistentIndexList();
    std::vector<int> newRowOf(order.size());
    for (size_t i = 0; i < order.size(); ++i)
        newRowOf[order[i]] = static_cast<int>(i);
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before)
        after.append(this->index(newRowOf[index.row()], index.column()));
    m_records = std::move(sorted);
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

} // namespace tarvok
