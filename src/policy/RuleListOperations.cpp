#include "policy/RuleListOperations.h"

#include "engine/Prompter.h"
#include "engine/RuleTable.h"
#include "policy/PolicyCommands.h"
#include "settings/TextHolders.h"

#include <QPersistentModelIndex>

namespace tarvok {

RuleListOperations::RuleListOperations(RuleTable& table, PolicyCommands& policy, Prompter& prompter,
                                       const TextHolders& texts)
    : m_table(table), m_policy(policy), m_prompter(prompter), m_texts(texts) {}

bool RuleListOperations::valid(int row) const {
    return row >= 0 && row < m_table.count();
}

void RuleListOperations::markChanged() {
    m_policy.setSaveChanges(true);
}

void RuleListOperations::renumber() {
    for (int row = 0; row < m_table.count(); ++row)
        m_table.setCell(row, RuleTable::Number, QString::number(row + 1));
}

void RuleListOperations::refreshImages() {
    for (int row = 0; row < m_table.count(); ++row)
        m_table.setIcon(row, m_table.isAccept(row) ? 1 : 2);
}

void RuleListOperations::finishMove() {
    refreshImages();
    renumber();
    markChanged();
}

int RuleListOperations::moveUp(int row) {
    if (!valid(row))
        return -1;
    if (row > 0)
        m_table.moveRule(row, row - 1);
    return row > 0 ? row - 1 : row;
}

int RuleListOperations::moveDown(int row) {
    if (!valid(row))
        return -1;
    const bool last = row == m_table.count() - 1;
    if (!last)
        m_table.moveRule(row, row + 1);
    return last ? row : row + 1;
}

QString RuleListOperations::deleteQuestion(int row) const {
    return m_texts.rule1 + QLatin1Char(' ') + m_table.cell(row, RuleTable::Description) +
           QStringLiteral("\r\n") + m_texts.deleteRule;
}

QString RuleListOperations::deleteTitle(int row) const {
    return m_texts.rule2 + QString::number(row + 1);
}

bool RuleListOperations::deleteRule(int row) {
    if (!valid(row))
        return false;
    // The answer comes from a dialog, during which timers run and the table may change: the
    // rule asked about is followed, wherever it moves, and nothing goes if it has gone.
    const QPersistentModelIndex asked(m_table.index(row, 0));
    if (m_prompter.message(deleteQuestion(row), Prompter::Question, deleteTitle(row)) !=
            Prompter::Yes ||
        !asked.isValid())
        return false;
    m_table.removeRule(asked.row());
    refreshImages();
    renumber();
    markChanged();
    return true;
}

bool RuleListOperations::toggleEnabled(int row, bool wasChecked) {
    if (!valid(row))
        return wasChecked;
    m_table.setCell(row, RuleTable::Enabled, wasChecked ? m_table.words().disabled : QString());
    markChanged();
    return !wasChecked;
}

void RuleListOperations::beginDrag(int row) {
    if (!valid(row))
        return;
    m_dragging = true;
    m_draggedRow = row;
    m_lastPointerRow = row;
}

int RuleListOperations::dragOver(int rowAtPointer) {
    if (!m_dragging || !valid(m_draggedRow))
        return m_draggedRow;
    // The rule moves only once the pointer has been over another row, and never onto the row
    // it already holds.
    if (m_lastPointerRow != m_draggedRow && valid(rowAtPointer) && rowAtPointer != m_draggedRow) {
        m_draggedRow = rowAtPointer < m_draggedRow ? moveUp(m_draggedRow) : moveDown(m_draggedRow);
        refreshImages();
        renumber();
        markChanged();
    }
    if (valid(rowAtPointer))
        m_lastPointerRow = rowAtPointer;
    return m_draggedRow;
}

} // namespace tarvok
