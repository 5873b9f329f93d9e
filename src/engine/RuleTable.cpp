#include "engine/RuleTable.h"

#include "engine/RuleIndex.h"

#include <algorithm>

namespace tarvok {

ProgramPattern parseProgramCell(const QString& cell) {
    if (cell.isEmpty())
        return {ProgramPattern::Any, {}};
    // Every character takes at least one byte, so a longer text need not be encoded to fail.
    if (!cell.startsWith(QLatin1Char('/')) || cell.size() > MaxProgramPathBytes ||
        !QStringView(cell).isValidUtf16())
        return {};
    for (const QChar c : cell)
        if (c.category() == QChar::Other_Control)
            return {};
    if (cell.toUtf8().size() > MaxProgramPathBytes)
        return {};
    return {ProgramPattern::Path, cell};
}

RuleTable::RuleTable(QObject* parent) : QAbstractTableModel(parent) {}

int RuleTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

int RuleTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount + 1; // the rule's cells, then its hits
}

QString& RuleTable::cellRef(Rule& rule, Column column) {
    switch (column) {
    case Action: return rule.action;
    case Number: return rule.number;
    case Enabled: return rule.enabled;
    case Address: return rule.address;
    case Port: return rule.port;
    case Log: return rule.log;
    case Description: return rule.description;
    case Program: return rule.program;
    case Protocol:
    case ColumnCount: break;
    }
    return rule.protocol;
}

QString RuleTable::cell(int row, Column column) const {
    return cellRef(const_cast<Rule&>(m_rules.at(row)), column);
}

QVariant RuleTable::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    if (index.column() == HitsColumn) {
        if (role == Qt::DisplayRole)
            return QString::number(m_hits.at(index.row()));
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    }
    if (index.column() == Program) {
        const QString& program = m_rules.at(index.row()).program;
        if (role == Qt::DisplayRole)
            return program.isEmpty() ? m_anyProgramText : program;
        if (role == Qt::EditRole || (role == Qt::ToolTipRole && !program.isEmpty()))
            return program; // a long path is elided in its column; the tooltip holds it whole
        return {};
    }
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        return cell(index.row(), static_cast<Column>(index.column()));
    if (role == IconRole && index.column() == Action)
        return m_rules.at(index.row()).icon;
    return {};
}

bool RuleTable::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || index.column() == HitsColumn ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    setCell(index.row(), static_cast<Column>(index.column()), value.toString());
    return true;
}

Qt::ItemFlags RuleTable::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

bool RuleTable::removeRows(int row, int count, const QModelIndex& parent) {
    if (parent.isValid() || row < 0 || count <= 0 || row + count > this->count())
        return false;
    beginRemoveRows({}, row, row + count - 1);
    m_rules.remove(row, count);
    m_hits.remove(row, count);
    // A view reads every row again after a change of rows: nothing is left to tell it.
    m_firstUnpublished = m_lastUnpublished = -1;
    touch();
    endRemoveRows();
    return true;
}

void RuleTable::setCell(int row, Column column, const QString& text) {
    QString& target = cellRef(m_rules[row], column);
    if (target == text)
        return;
    target = text;
    touch();
    const QModelIndex changed = index(row, column);
    emit dataChanged(changed, changed, {Qt::DisplayRole, Qt::EditRole});
}

void RuleTable::setRule(int row, const Rule& rule) {
    m_rules[row] = rule;
    touch();
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1)); // the hits stay
}

void RuleTable::setIcon(int row, int icon) {
    if (m_rules[row].icon == icon)
        return;
    m_rules[row].icon = icon;
    const QModelIndex changed = index(row, Action);
    emit dataChanged(changed, changed, {IconRole, Qt::DecorationRole});
}

void RuleTable::insertRule(int row, const Rule& rule) {
    beginInsertRows({}, row, row);
    m_rules.insert(row, rule);
    m_hits.insert(row, 0);
    m_firstUnpublished = m_lastUnpublished = -1;
    touch();
    endInsertRows();
}

void RuleTable::removeRule(int row) {
    removeRows(row, 1);
}

void RuleTable::moveRule(int from, int to) {
    if (from == to || from < 0 || to < 0 || from >= count() || to >= count())
        return;
    // Qt's destination is the row before which the moved row lands, counted before the move.
    const int destination = to > from ? to + 1 : to;
    beginMoveRows({}, from, from, {}, destination);
    m_rules.move(from, to);
    m_hits.move(from, to);
    m_firstUnpublished = m_lastUnpublished = -1;
    touch();
    endMoveRows();
}

void RuleTable::setRules(QList<Rule> rules) {
    beginResetModel();
    m_rules = std::move(rules);
    m_hits.fill(0, m_rules.size());
    m_firstUnpublished = m_lastUnpublished = -1;
    touch();
    endResetModel();
}

void RuleTable::addHit(int row) {
    if (row < 0 || row >= count())
        return;
    ++m_hits[row];
    if (m_firstUnpublished < 0 || row < m_firstUnpublished)
        m_firstUnpublished = row;
    m_lastUnpublished = std::max(m_lastUnpublished, row);
}

void RuleTable::publishHits() {
    if (m_firstUnpublished < 0)
        return;
    emit dataChanged(index(m_firstUnpublished, HitsColumn), index(m_lastUnpublished, HitsColumn),
                     {Qt::DisplayRole});
    m_firstUnpublished = m_lastUnpublished = -1;
}

void RuleTable::setAnyProgramText(const QString& text) {
    if (text == m_anyProgramText)
        return;
    m_anyProgramText = text;
    if (count() > 0)
        emit dataChanged(index(0, Program), index(count() - 1, Program), {Qt::DisplayRole});
}

void RuleTable::setWords(const RuleWords& words) {
    if (words == m_words)
        return;
    m_words = words;
    touch();
    emit wordsChanged();
}

} // namespace tarvok
