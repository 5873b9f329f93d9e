#pragma once
// What the policy tests share: a policy in a program folder with texts that name their own keys
// ("Add/24") and a scripted prompter, and the real main window wired to it.

#include "fakes/FakeLocaliser.h"
#include "fakes/FakePrompter.h"
#include "policy/PolicyCommands.h"
#include "policy/RuleEditorDialog.h"
#include "policy/RuleListController.h"
#include "settings/TextHolders.h"
#include "shell/MainWindow.h"
#include "support/EngineRig.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include <tuple>

namespace tarvok::test {

using Box = std::tuple<QString, QString, int>; // a message's title, text and style

struct Policy {
    Policy() { settings.values["RuleFile"] = "Normal.rlsp"; }
    Box told() const {
        const FakePrompter::Call last = prompter.messages().last();
        return {last.title, last.text, last.style};
    }
    QTemporaryDir dir, other;
    RuleTable table;
    MapSettings settings;
    FakeLocaliser localiser;
    TextHolders texts;
    FakePrompter prompter;
    PolicyCommands policy{dir.path(), table, settings, localiser, texts, prompter};

    QStringList column(RuleTable::Column c) const {
        QStringList cells;
        for (int row = 0; row < table.count(); ++row)
            cells.append(table.cell(row, c));
        return cells;
    }
};

// Fills an editor as a person would: the action, then a given address and port.
inline void fill(RuleEditorDialog* editor, bool accept, const QString& address,
                 const QString& port) {
    editor->findChild<QRadioButton*>(accept ? "Option1" : "Option2")->setChecked(true);
    editor->findChild<QComboBox*>("Combo1")->setCurrentIndex(1);
    editor->findChild<QLineEdit*>("txtRemA")->setText(address);
    editor->findChild<QComboBox*>("Combo3")->setCurrentIndex(1);
    editor->findChild<QLineEdit*>("txtRemP")->setText(port);
}

// The real main window, shown, with the rule list's wiring.
struct PolicyWindow : Policy {
    QStandardItemModel log{0, 9};
    QStandardItemModel history{0, 6};
    MainWindow window;
    RuleListController* controller = nullptr;

    PolicyWindow() {
        window.setModels(&table, &log, &history);
        controller = new RuleListController(&window, table, policy, localiser, texts, prompter);
        window.show();
        window.tabStrip()->setCurrentIndex(MainWindow::PolicyPage);
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    QTreeView* rules() const { return window.list("ListRules"); }
    QAction* action(const char* name) const { return window.action(QLatin1String(name)); }
    // A rule row as the policy file would give it.
    void addRow(bool accept, const QString& address, const QString& port,
                const QString& description = "d") {
        const QString number = QString::number(table.count() + 1);
        table.appendRule(Rule{accept ? table.words().accept : table.words().block, number, "",
                              address, port, "", description, "TCP", "", accept ? 1 : 2});
    }
    void select(QTreeView* list, int row) { list->setCurrentIndex(list->model()->index(row, 0)); }

    // The open editor, or null once it has closed and gone.
    RuleEditorDialog* editor() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return controller->editor();
    }
    template <typename Widget> Widget* field(const char* name) {
        RuleEditorDialog* open = editor();
        return open ? open->findChild<Widget*>(QLatin1String(name)) : nullptr;
    }
    void click(const char* button) { field<QPushButton>(button)->click(); }
};

inline QString order(const PolicyWindow& w) { return w.column(RuleTable::Description).join(','); }
inline QString numbers(const PolicyWindow& w) { return w.column(RuleTable::Number).join(','); }

} // namespace tarvok::test
