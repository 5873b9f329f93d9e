#pragma once
// The operations that change the rule table from the Policy list: delete with its question,
// enable and disable, move up and down, reorder by dragging, and the two passes that end every
// structural change (renumbering and row images). Each change marks the policy as unsaved.
// Rows are 0-based here; the position users see is row + 1.

#include <QString>

namespace tarvok {

class PolicyCommands;
class Prompter;
class RuleTable;
struct TextHolders;

class RuleListOperations {
public:
    RuleListOperations(RuleTable& table, PolicyCommands& policy, Prompter& prompter,
                       const TextHolders& texts);

    // RenumberRules: the number column becomes the row's position, in list order.
    void renumber();
    // RefreshRuleImages: image 1 for rows whose action is the accept word, 2 for the others.
    void refreshImages();
    // The toolbar's epilogue of a move, run even when nothing moved.
    void finishMove();

    // MoveRuleUp / MoveRuleDown: swaps the rule with its neighbour. Returns the row that holds
    // the rule afterwards (the same row at either end, -1 for no valid row).
    int moveUp(int row);
    int moveDown(int row);

    // The delete question for a row: its text and its title.
    QString deleteQuestion(int row) const;
    QString deleteTitle(int row) const;
    // DeleteRule: asks, and removes the row on Yes. True when the row was removed.
    bool deleteRule(int row);

    // mnuEnabledRule: wasChecked is the check mark as the menu showed it; the click flips the
    // rule. Returns the new check mark.
    bool toggleEnabled(int row, bool wasChecked);

    // Drag reordering. beginDrag records the dragged row; each dragOver moves the dragged rule
    // one row towards rowAtPointer (the row under the pointer, -1 for none) once the pointer
    // has reached another row, and returns the row that holds the rule afterwards.
    void beginDrag(int row);
    bool dragging() const { return m_dragging; }
    int draggedRow() const { return m_draggedRow; }
    int dragOver(int rowAtPointer);
    void endDrag() { m_dragging = false; }

private:
    bool valid(int row) const;
    void markChanged();

    RuleTable& m_table;
    PolicyCommands& m_policy;
    Prompter& m_prompter;
    const TextHolders& m_texts;
    bool m_dragging = false;
    int m_draggedRow = -1;
    int m_lastPointerRow = -1; // the row under the pointer at the end of the previous step
};

} // namespace tarvok
