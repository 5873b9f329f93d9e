#pragma once
// The real main window, shown, with the rule table, the policy commands and the rule list's
// wiring, a language whose texts name their own keys ("Add/24") and a scripted prompter.

#include "engine/RuleTable.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakeLocaliser.h"
#include "fakes/FakePrompter.h"
#include "policy/PolicyCommands.h"
#include "policy/RuleEditorDialog.h"
#include "policy/RuleListController.h"
#include "settings/TextHolders.h"
#include "shell/MainWindow.h"
#include "support/Loopback.h"
#include "support/ScratchFiles.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/socket.h>

namespace tarvok::test {

// True once the firewall has cut the connection under its client.
inline bool isCut(const TcpConnection& connection) {
    char byte;
    return ::recv(connection.client.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
           errno == ECONNABORTED;
}

struct PolicyWindow {
    QTemporaryDir dir;
    RuleTable table;
    MapSettings settings;
    FakeLocaliser language;
    TextHolders texts;
    FakePrompter prompter;
    PolicyCommands policy{dir.path(), table, settings, language, texts, prompter};
    QStandardItemModel log{0, 9};
    QStandardItemModel history{0, 6};
    MainWindow window;
    RuleListController* controller = nullptr;

    PolicyWindow() {
        settings.values["RuleFile"] = "Normal.rlsp";
        window.setModels(&table, &log, &history);
        controller = new RuleListController(&window, table, policy, language, texts, prompter);
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
                              address, port, "", description, "TCP", accept ? 1 : 2});
    }
    void select(QTreeView* list, int row) { list->setCurrentIndex(list->model()->index(row, 0)); }
    QStringList column(RuleTable::Column c) const {
        QStringList cells;
        for (int row = 0; row < table.count(); ++row)
            cells.append(table.cell(row, c));
        return cells;
    }

    // The open editor, or null once it has closed and gone.
    RuleEditorDialog* editor() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return controller->editor();
    }
    template <typename Widget> Widget* field(const char* name) {
        RuleEditorDialog* open = editor();
        return open ? open->findChild<Widget*>(QLatin1String(name)) : nullptr;
    }
    // Fills the editor as a person would: the action, then a given address and port.
    void fill(bool accept, const QString& address, const QString& port) {
        field<QRadioButton>(accept ? "Option1" : "Option2")->setChecked(true);
        field<QComboBox>("Combo1")->setCurrentIndex(1);
        field<QLineEdit>("txtRemA")->setText(address);
        field<QComboBox>("Combo3")->setCurrentIndex(1);
        field<QLineEdit>("txtRemP")->setText(port);
    }
    RuleEditorDialog* openAdd() {
        action("mnuAddRule")->trigger();
        return editor();
    }
    void click(const char* button) { field<QPushButton>(button)->click(); }
};

} // namespace tarvok::test
