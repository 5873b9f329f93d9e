#include "policy/RuleListController.h"

#include "engine/EngineServices.h"
#include "engine/RuleIndex.h"
#include "engine/RuleTable.h"
#include "policy/PolicyCommands.h"
#include "policy/RuleEditorDialog.h"
#include "policy/RuleListModel.h"

#include <QAction>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTreeView>

#include <utility>

namespace tarvok {

namespace {

// The description a new rule starts with (Add 3).
constexpr int DescriptionDesign = 3;

// Draws a rule's accept or block picture in front of its action word, or the warning picture
// of a rule that can never match.
class RuleImageDelegate : public QStyledItemDelegate {
public:
    explicit RuleImageDelegate(QObject* parent)
        : QStyledItemDelegate(parent), m_accept(QStringLiteral(":/icons/rule-accept.svg")),
          m_block(QStringLiteral(":/icons/rule-block.svg")),
          m_warning(QStringLiteral(":/icons/rule-warning.svg")) {}

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const int image = index.data(RuleTable::IconRole).toInt();
        if (index.data(RuleListModel::WarningRole).toBool())
            option->icon = m_warning;
        else if (image == 1 || image == 2)
            option->icon = image == 1 ? m_accept : m_block;
        else
            return;
        option->features |= QStyleOptionViewItem::HasDecoration;
        option->decorationSize = QSize(16, 16);
    }

private:
    QIcon m_accept;
    QIcon m_block;
    QIcon m_warning;
};

} // namespace

RuleListController::RuleListController(QWidget* window, RuleTable& table, PolicyCommands& policy,
                                       const Localiser& language, const TextHolders& texts,
                                       Prompter& prompter)
    : QObject(window), m_window(window), m_table(table), m_policy(policy), m_language(language),
      m_prompter(prompter), m_operations(table, policy, prompter, texts),
      m_rules(list("ListRules")) {
    if (m_rules) {
        m_rules->setItemDelegateForColumn(RuleTable::Action, new RuleImageDelegate(m_rules));
        m_rules->setIconSize(QSize(16, 16));
        m_rulesViewport = m_rules->viewport();
        m_rules->installEventFilter(this);
        m_rulesViewport->installEventFilter(this);
        connect(m_rules, &QObject::destroyed, this, [this] {
            m_rules = nullptr;
            m_rulesViewport = nullptr;
        });
    }
    for (const char* name : {"ListConnections", "ListConnPROC"})
        if (QTreeView* connections = list(name))
            connections->installEventFilter(this);

    const auto on = [this](const char* name, auto&& slot) {
        if (QAction* item = action(name))
            connect(item, &QAction::triggered, this, slot);
    };
    on("mnuAddRule", [this] { addRule(); });
    on("tbAdd", [this] { addRule(); });
    on("mnuEditRule", [this] { editRule(); });
    on("tbEdit", [this] { editRule(); });
    on("mnuDeleteRule", [this] { deleteRule(); });
    on("tbDelete", [this] { deleteRule(); });
    on("tbUp", [this] { moveSelected(true); });
    on("tbDown", [this] { moveSelected(false); });
    on("mnuEnabledRule", [this](bool checked) { toggleEnabled(checked); });
    on("mnuCoverUdp", [this] { coverUdp(); });
    on("mnuReject", [this] { createRuleFrom(RuleSource::PerConnection); });
    on("mnuRejectXP", [this] { createRuleFrom(RuleSource::PerApplication); });
    on("mnuCreateRuleLog", [this] { createRuleFrom(RuleSource::EventList); });
    // The menu shows the key; the list handles it (a context menu's entries never fire).
    if (QAction* remove = action("mnuDeleteRule"))
        remove->setShortcut(QKeySequence::Delete);
    if (auto* menu = m_window->findChild<QMenu*>(QStringLiteral("mnuListRules")))
        connect(menu, &QMenu::aboutToShow, this, &RuleListController::prepareContextMenu);
}

QAction* RuleListController::action(const char* name) const {
    return m_window->findChild<QAction*>(QLatin1String(name));
}

QTreeView* RuleListController::list(const char* name) const {
    return m_window->findChild<QTreeView*>(QLatin1String(name));
}

int RuleListController::selectedRow(const QTreeView* list) {
    if (!list || !list->selectionModel())
        return -1;
    const QModelIndexList rows = list->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return -1;
    const int row = rows.first().row();
    return row < list->model()->rowCount() ? row : -1;
}

RuleEditorDialog* RuleListController::editor() const {
    return m_editor.data();
}

void RuleListController::selectRule(int row) {
    if (m_rules && row >= 0 && row < m_table.count())
        m_rules->setCurrentIndex(m_rules->model()->index(row, 0));
}

RuleEditorDialog* RuleListController::openEditor() {
    if (!m_editor) {
        m_editor = new RuleEditorDialog(m_window, m_table, m_policy, m_language, m_prompter);
        // A closed editor is deleted later; an opening before then makes a new one.
        connect(m_editor, &QDialog::finished, this, [this] { m_editor = nullptr; });
        // After a rule is written the toolbar's third button (open) is enabled.
        connect(m_editor, &RuleEditorDialog::ruleWritten, this, [this] {
            if (QAction* open = action("tbOpen"))
                open->setEnabled(true);
        });
    }
    return m_editor;
}

void RuleListController::addRule() {
    openEditor()->openAdd(
        blankFields(m_table.words(), m_language.text(QStringLiteral("Add"), DescriptionDesign)));
}

void RuleListController::editRule() {
    const int row = selectedRow(m_rules);
    if (m_table.count() > 0 && row >= 0)
        openEditor()->openModify(row);
}

void RuleListController::deleteRule() {
    if (m_table.count() == 0)
        return;
    const int row = selectedRow(m_rules);
    if (m_operations.deleteRule(row))
        selectRule(qMin(row, m_table.count() - 1));
}

void RuleListController::moveSelected(bool up) {
    const int row = selectedRow(m_rules);
    const int moved = up ? m_operations.moveUp(row) : m_operations.moveDown(row);
    selectRule(moved);
    m_operations.finishMove();
}

void RuleListController::toggleEnabled(bool checkedNow) {
    // The click has already flipped the check mark; the rule flips from what the menu showed.
    const bool shown = !checkedNow;
    const int row = selectedRow(m_rules);
    const bool check = row >= 0 ? m_operations.toggleEnabled(row, shown) : shown;
    if (QAction* item = action("mnuEnabledRule"))
        item->setChecked(check);
}

void RuleListController::prepareContextMenu() {
    const bool rules = m_table.count() > 0;
    for (const char* name : {"mnuEditRule", "mnuDeleteRule", "mnuEnabledRule"})
        if (QAction* item = action(name))
            item->setEnabled(rules);
    if (QAction* enabled = action("mnuEnabledRule")) {
        const int row = selectedRow(m_rules);
        enabled->setChecked(rules && row >= 0 && m_table.cell(row, RuleTable::Enabled).isEmpty());
    }
    if (QAction* cover = action("mnuCoverUdp"))
        cover->setVisible(leavesUdpOpen(m_table, selectedRow(m_rules)));
}

// The one-click answer to the warning on a TCP-only block rule: it covers UDP too.
void RuleListController::coverUdp() {
    const int row = selectedRow(m_rules);
    if (!leavesUdpOpen(m_table, row))
        return;
    m_table.setCell(row, RuleTable::Protocol, protocolCell(RuleTcpUdp));
    m_policy.setSaveChanges(true);
}

void RuleListController::createRuleFrom(RuleSource source) {
    static constexpr const char* Lists[] = {"ListConnections", "ListConnPROC", "ListLog"};
    const QTreeView* view = list(Lists[static_cast<int>(source)]);
    const int row = selectedRow(view);
    if (row < 0)
        return;
    // A row of the per-application list names its program, and the rule proposed does too.
    openEditor()->openAdd(fieldsFromRow(*view->model(), row, source, m_table.words(),
                                        m_language.text(QStringLiteral("Add"), DescriptionDesign)));
    // The proposal counts as a change at once, even if the editor is then cancelled.
    m_policy.setSaveChanges(true);
}

void RuleListController::addProgramRuleAtTop(const QString& path, bool accept,
                                             const QString& description) {
    if (programKind(path) != ProgramPattern::Path)
        return;
    const RuleWords& words = m_table.words();
    Rule rule;
    rule.action = accept ? words.accept : words.block;
    rule.number = QStringLiteral("1");
    rule.address = words.anyAddress;
    rule.port = words.anyPort;
    rule.description = description;
    rule.protocol = protocolCell(RuleTcpUdp);
    rule.program = path;
    rule.icon = accept ? 1 : 2;
    if (m_table.count() > 0 && m_table.rule(0) == rule)
        return;
    const bool otherChanges = m_policy.SaveChanges();
    m_table.insertRule(0, rule);
    m_operations.renumber();
    m_policy.setSaveChanges(true);
    // A failed save reports itself and leaves the rule among the unsaved changes.
    if (!otherChanges)
        m_policy.SavePolicy(0);
    selectRule(0);
}

int RuleListController::ruleRowAt(int y) {
    if (m_table.count() == 0)
        return -1;
    // A pointer beyond the visible rows scrolls the list a row at a time and counts as over
    // the nearest visible row; below the last row there is none.
    const int height = m_rules->viewport()->height();
    if (y < 0 || y >= height) {
        QScrollBar* bar = m_rules->verticalScrollBar();
        bar->setValue(bar->value() + (y < 0 ? -bar->singleStep() : bar->singleStep()));
    }
    const QModelIndex index = m_rules->indexAt(QPoint(2, qBound(0, y, height - 1)));
    return index.isValid() ? index.row() : -1;
}

bool RuleListController::eventFilter(QObject* watched, QEvent* event) {
    if (m_rules && watched == m_rules)
        return ruleListEvent(event);
    if (m_rulesViewport && watched == m_rulesViewport)
        return ruleViewportEvent(event);
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_R && key->modifiers() == Qt::ControlModifier) {
            const auto* view = qobject_cast<QTreeView*>(watched);
            if (view && view->model()->rowCount() > 0)
                createRuleFrom(view->objectName() == QLatin1String("ListConnections")
                                   ? RuleSource::PerConnection
                                   : RuleSource::PerApplication);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

bool RuleListController::ruleListEvent(QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool rules = m_table.count() > 0;
    // Delete removes the selection, as on every desktop list; the question comes first.
    if (key->matches(QKeySequence::Delete)) {
        if (rules)
            deleteRule();
        return true;
    }
    if (key->modifiers() != Qt::ControlModifier)
        return false;
    switch (key->key()) {
    case Qt::Key_A:
        if (rules)
            addRule();
        return true;
    case Qt::Key_E:
        if (rules)
            editRule();
        return true;
    case Qt::Key_D:
        if (rules)
            deleteRule();
        return true;
    default:
        return false;
    }
}

bool RuleListController::ruleViewportEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && m_table.count() > 0)
            editRule();
        return false;
    case QEvent::MouseButtonPress: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton || m_table.count() == 0)
            return false;
        // The view selects the pressed row; that row is the one dragged.
        const QModelIndex pressed = m_rules->indexAt(mouse->position().toPoint());
        if (pressed.isValid()) {
            m_operations.beginDrag(pressed.row());
            m_rules->viewport()->setCursor(Qt::ClosedHandCursor);
        }
        return false;
    }
    case QEvent::MouseMove: {
        if (!m_operations.dragging())
            return false;
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (!(mouse->buttons() & Qt::LeftButton)) {
            m_operations.endDrag();
            m_rules->viewport()->unsetCursor();
            return false;
        }
        const int before = m_operations.draggedRow();
        const int after = m_operations.dragOver(ruleRowAt(mouse->position().toPoint().y()));
        if (after != before)
            selectRule(after);
        // The view's own drag-selection would follow the pointer instead of the rule.
        return true;
    }
    case QEvent::MouseButtonRelease:
        if (!m_operations.dragging())
            return false;
        m_operations.endDrag();
        m_rules->viewport()->unsetCursor();
        // The view handles the release after this; the moved rule is selected once it has.
        QMetaObject::invokeMethod(
            this, [this, row = m_operations.draggedRow()] { selectRule(row); },
            Qt::QueuedConnection);
        return false;
    default:
        return false;
    }
}

} // namespace tarvok
