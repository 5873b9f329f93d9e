#pragma once
// Wires the Policy list ListRules and the commands that reach it (its context menu, keys,
// double click, drag and the toolbar) to the rule list operations and the rule editor, shows
// each rule's accept or block picture, and turns the selected row of a connection list or of
// the event list into a proposed rule (mnuReject, mnuRejectXP, mnuCreateRuleLog, Ctrl+R).
// It finds the window's widgets and actions by their object names.

#include "policy/RuleListOperations.h"
#include "policy/RulesFromConnections.h"

#include <QObject>
#include <QPointer>

class QAction;
class QTreeView;

namespace tarvok {

class Localiser;
class RuleEditorDialog;

class RuleListController : public QObject {
    Q_OBJECT
public:
    // window owns the lists and actions and becomes this object's parent.
    RuleListController(QWidget* window, RuleTable& table, PolicyCommands& policy,
                       const Localiser& language, const TextHolders& texts, Prompter& prompter);

    RuleListOperations& operations() { return m_operations; }
    // The open rule editor, or null.
    RuleEditorDialog* editor() const;

    // mnuAddRule: the editor in add mode, blank.
    void addRule();
    // EditRule: the editor in modify mode on the selected rule.
    void editRule();
    // mnuDeleteRule: asks, then removes the selected rule.
    void deleteRule();
    // The toolbar's up and down buttons.
    void moveSelected(bool up);
    // The three ways of making a rule from a row.
    void createRuleFrom(RuleSource source);
    // A rule for the whole program at path (absolute), accept or block, any address, any port,
    // TCP and UDP, logged, put at the top of the policy. It is saved at once when the policy
    // had no other unsaved change, and otherwise joins those changes; an open rule editor
    // follows its rule to the row below. The same rule already at the top is not added twice.
    void addProgramRuleAtTop(const QString& path, bool accept, const QString& description);

    // The selected row of a list, or -1.
    static int selectedRow(const QTreeView* list);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    RuleEditorDialog* openEditor();
    void prepareContextMenu();
    void toggleEnabled(bool checkedNow);
    void coverUdp();
    void selectRule(int row);
    int ruleRowAt(int y);
    bool ruleListEvent(QEvent* event);
    bool ruleViewportEvent(QEvent* event);
    QAction* action(const char* name) const;
    QTreeView* list(const char* name) const;

    QWidget* m_window;
    RuleTable& m_table;
    PolicyCommands& m_policy;
    const Localiser& m_language;
    Prompter& m_prompter;
    RuleListOperations m_operations;
    QTreeView* m_rules = nullptr;
    // Kept apart: events of a view that is being destroyed reach the filter when the view no
    // longer is a view, so the filter only compares pointers before it knows the event.
    QObject* m_rulesViewport = nullptr;
    QPointer<RuleEditorDialog> m_editor;
};

} // namespace tarvok
