#include "RunningTarvok.h"
#include "engine/EnforcementEngine.h"
#include "fakes/FakePrompter.h"
#include "monitor/ConnectionListModel.h"
#include "monitor/ConnectionMonitor.h"
#include "policy/RuleListModel.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "support/Sandbox.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>

using namespace tarvok;

// The Policy list marks the rules that never match and counts hits; the per-connection list
// names the rule or level that decides each connection and shows that rule on request.
TEST(RuleInsight, TheListsSayWhichRuleDecidesWhichNeverMatchesAndHowOftenEachHit) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener listener("127.0.0.4");
    const QString port = QString::number(listener.port());
    test::ProgramFolder folder;
    ASSERT_TRUE(test::writePolicy(folder, {{"accept", {}, {}, "127.0.0.4", port, {}, {}},
                                           {"block", {}, {}, "127.0.0.4", port, {}, {}},
                                           {"block", {}, {}, "010.0.0.1", "any port", {}, {}}}));
    const test::TcpConnection kept = test::connect("127.0.0.5", listener);
    test::FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    MainWindow* window = app.window();
    QTreeView* rules = window->list("ListRules");
    const auto ruleData = [rules](int row, int column, int role) {
        return rules->model()->index(row, column).data(role);
    };

    ASSERT_TRUE(QTest::qWaitFor([&] { return ruleData(0, RuleTable::HitsColumn, Qt::DisplayRole) == "1"; }, 5000));
    EXPECT_EQ(rules->model()->headerData(RuleTable::HitsColumn, Qt::Horizontal).toString(), "Hits");
    EXPECT_EQ(ruleData(0, 0, RuleListModel::WarningRole), false);
    EXPECT_EQ(ruleData(1, 0, RuleListModel::WarningRole), true);
    EXPECT_TRUE(ruleData(1, 4, Qt::ToolTipRole).toString().contains("rule #1 above"));
    EXPECT_TRUE(ruleData(2, 0, Qt::AccessibleDescriptionRole).toString().contains("\"010.0.0.1\""));
    EXPECT_TRUE(window->panel(1)->toolTip().contains("Rules that can never match: 2"));

    // Per connection: the accepted client end, the other end that no rule matches, and the
    // listening socket that the pass passes over.
    window->action("mnuDisplayApp")->trigger();
    app.monitor()->rebuildCurrent();
    QTreeView* connections = window->list("ListConnections");
    const ConnectionListModel& model = *app.monitor()->perConnectionModel();
    const auto rowOf = [&model](const QString& local, const QString& state) {
        for (int row = 0; row < model.rowCount(); ++row)
            if (model.cell(row, 1) == local && model.cell(row, 6) == state)
                return row;
        return -1;
    };
    const int client = rowOf("127.0.0.5", "ESTABLISHED"), server = rowOf("127.0.0.4", "ESTABLISHED"),
              listening = rowOf("127.0.0.4", "LISTENING");
    ASSERT_GE(std::min({client, server, listening}), 0);
    EXPECT_EQ(connections->model()->headerData(8, Qt::Horizontal).toString(), "Rule");
    const auto decided = [&model](int row) { return model.index(row, 8).data().toString(); };
    EXPECT_EQ(decided(client) + '|' + decided(server) + '|' + decided(listening), "#1 accept|Normal|");
    for (const auto& [level, word] : {std::pair(SecurityLevel::Allow, "Allow all"),
                                      std::pair(SecurityLevel::Block, "Block all")}) {
        app.engine()->setLevel(level); // read before any pass runs at this level
        EXPECT_EQ(decided(client) + '|' + decided(listening), QString(word) + '|');
    }
    app.engine()->setLevel(SecurityLevel::Normal);

    connections->setCurrentIndex(connections->model()->index(client, 0));
    window->action("mnuShowRule")->trigger();
    EXPECT_EQ(window->tabStrip()->currentIndex(), MainWindow::PolicyPage);
    EXPECT_EQ(rules->currentIndex().row(), 0);

    app.rules().removeRule(2); // an edit: the count follows
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->panel(1)->toolTip().contains("never match: 1"); }, 2000));
    EXPECT_EQ(test::readOutcome(kept.client.get(), 0), -ETIMEDOUT) << "the accepted connection lives";
    app.shutdown(false);
}

// A program rule for a file that is not there matches nothing and is marked; the mark went
// only with the next edit of the table, not when the file appeared.
TEST(RuleInsight, AProgramFileThatAppearsClearsItsRulesMarkWithoutAnEdit) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::ProgramFolder folder;
    const QString program = folder.file("bin/later");
    ASSERT_TRUE(QDir().mkpath(folder.file("bin")));
    Rule rule{"block", {}, {}, "127.0.0.4", "any port", {}, {}};
    rule.program = program;
    rule.protocol = "TCP/UDP"; // no warning that UDP is left open
    ASSERT_TRUE(test::writePolicy(folder, {rule}));
    test::FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    const QAbstractItemModel* rules = app.window()->list("ListRules")->model();
    const auto marked = [rules] { return rules->index(0, 0).data(RuleListModel::WarningRole).toBool(); };
    ASSERT_TRUE(QTest::qWaitFor(marked, 5000));
    ASSERT_TRUE(QFile::copy("/bin/true", program));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !marked(); }, 5000))
        << rules->index(0, 0).data(Qt::ToolTipRole).toString().toStdString();
}
