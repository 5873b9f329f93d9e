// The Policy list's operations through the window's own ways in (toolbar, context menu, keys,
// double click, drag), the row pictures, and rules proposed from connection and log rows.

#include "PolicyWindow.h"
#include "records/EventList.h"

#include <QImage>
#include <QMenu>
#include <QScrollBar>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// Four rules: accept, block, block, accept, described "r1" .. "r4".
void fourRules(PolicyWindow& w) {
    for (int i = 1; i <= 4; ++i)
        w.addRow(i == 1 || i == 4, "10.0.0." + QString::number(i), "80", "r" + QString::number(i));
}

TEST(RuleList, ToolbarMovesSwapNeighboursAndRenumberEvenAtTheEnds) {
    PolicyWindow w;
    // On an empty table the moves only mark the policy.
    w.action("tbUp")->trigger();
    w.action("tbDown")->trigger();
    EXPECT_TRUE(w.policy.SaveChanges());

    // The first rule up and the last rule down move nothing but still mark the policy.
    fourRules(w);
    const struct {
        int row;
        const char* action;
        const char* order;
        int selected;
    } moves[] = {{2, "tbUp", "r1,r3,r2,r4", 1},
                 {0, "tbUp", "r1,r3,r2,r4", 0},
                 {3, "tbDown", "r1,r3,r2,r4", 3},
                 {0, "tbDown", "r3,r1,r2,r4", 1}};
    for (const auto& m : moves) {
        SCOPED_TRACE(std::to_string(m.row) + m.action);
        w.policy.setSaveChanges(false);
        w.select(w.rules(), m.row);
        w.action(m.action)->trigger();
        EXPECT_EQ(w.column(RuleTable::Description).join(','), m.order);
        EXPECT_EQ(w.column(RuleTable::Number), QStringList({"1", "2", "3", "4"}));
        EXPECT_EQ(RuleListController::selectedRow(w.rules()), m.selected);
        EXPECT_TRUE(w.policy.SaveChanges());
    }
}

TEST(RuleList, DeleteAsksWithTheRuleAndRemovesOnYesOnly) {
    PolicyWindow w;
    w.texts.rule1 = "Rule:";
    w.texts.rule2 = "Rule #";
    w.texts.deleteRule = "Delete it?";
    for (int i = 1; i <= 3; ++i)
        w.addRow(i != 2, "10.0.0." + QString::number(i), "80", i == 3 ? "Web" : "x");
    w.select(w.rules(), 2);
    w.action("mnuDeleteRule")->trigger(); // answered No
    ASSERT_EQ(w.prompter.messages().size(), 1);
    EXPECT_EQ(w.prompter.messages()[0].text, "Rule: Web\r\nDelete it?");
    EXPECT_EQ(w.prompter.messages()[0].title, "Rule #3");
    EXPECT_EQ(w.prompter.messages()[0].style, Prompter::Question);
    EXPECT_EQ(w.table.count(), 3);
    EXPECT_FALSE(w.policy.SaveChanges());

    w.prompter.answers = {Prompter::Yes};
    w.select(w.rules(), 1);
    QTest::keyClick(w.rules(), Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(w.column(RuleTable::Address), QStringList({"10.0.0.1", "10.0.0.3"}));
    EXPECT_EQ(w.column(RuleTable::Number), QStringList({"1", "2"}));
    EXPECT_EQ(w.table.rule(0).icon, 1);
    EXPECT_EQ(w.table.rule(1).icon, 1);
    EXPECT_TRUE(w.policy.SaveChanges());
}

TEST(RuleList, ContextMenuChecksTheRuleStateAndItsClickFlipsIt) {
    PolicyWindow w;
    QMenu* menu = w.window.menu("mnuListRules");
    QAction* enabled = w.action("mnuEnabledRule");
    emit menu->aboutToShow();
    EXPECT_FALSE(w.action("mnuEditRule")->isEnabled());
    EXPECT_FALSE(w.action("mnuDeleteRule")->isEnabled());
    EXPECT_FALSE(enabled->isEnabled());
    EXPECT_TRUE(w.action("mnuAddRule")->isEnabled());

    w.addRow(false, "10.0.0.1", "80");
    w.table.setCell(0, RuleTable::Enabled, w.table.words().disabled);
    w.select(w.rules(), 0);
    emit menu->aboutToShow();
    EXPECT_TRUE(enabled->isEnabled());
    EXPECT_FALSE(enabled->isChecked());
    enabled->trigger();
    EXPECT_EQ(w.table.cell(0, RuleTable::Enabled), "");
    EXPECT_TRUE(enabled->isChecked());
    EXPECT_TRUE(w.policy.SaveChanges());
    emit menu->aboutToShow();
    enabled->trigger();
    EXPECT_EQ(w.table.cell(0, RuleTable::Enabled), "false");
    EXPECT_FALSE(enabled->isChecked());
}

TEST(RuleList, KeysAndDoubleClickNeedARule) {
    PolicyWindow w;
    QTest::keyClick(w.rules(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(w.rules(), Qt::Key_E, Qt::ControlModifier);
    QTest::mouseDClick(w.rules()->viewport(), Qt::LeftButton, {}, QPoint(20, 5));
    EXPECT_EQ(w.editor(), nullptr);

    w.addRow(true, "10.0.0.1", "80", "first");
    QTest::keyClick(w.rules(), Qt::Key_A, Qt::ControlModifier);
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_FALSE(w.editor()->modifyMode());
    w.editor()->close();
    const QRect row = w.rules()->visualRect(w.rules()->model()->index(0, 1));
    QTest::mouseClick(w.rules()->viewport(), Qt::LeftButton, {}, row.center());
    QTest::mouseDClick(w.rules()->viewport(), Qt::LeftButton, {}, row.center());
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_TRUE(w.editor()->modifyMode());
    EXPECT_EQ(w.editor()->fields().description, "first");
}

TEST(RuleList, ADragTravelsOneRowPerStepAndRenumbersEachTime) {
    PolicyWindow w;
    fourRules(w);
    QWidget* viewport = w.rules()->viewport();
    const auto centre = [&](int row) {
        return w.rules()->visualRect(w.rules()->model()->index(row, 1)).center();
    };
    QTest::mousePress(viewport, Qt::LeftButton, {}, centre(3));
    // The first step over another row only notes it; each further step moves one row.
    QStringList orders;
    for (int step = 0; step < 5; ++step) {
        QTest::mouseMove(viewport, centre(0));
        orders.append(w.column(RuleTable::Description).join(','));
        EXPECT_EQ(w.column(RuleTable::Number), QStringList({"1", "2", "3", "4"}));
    }
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, centre(0));
    QCoreApplication::processEvents();
    EXPECT_EQ(orders, QStringList({"r1,r2,r3,r4", "r1,r2,r4,r3", "r1,r4,r2,r3", "r4,r1,r2,r3",
                                   "r4,r1,r2,r3"}));
    EXPECT_EQ(RuleListController::selectedRow(w.rules()), 0);
    EXPECT_EQ(w.table.rule(0).icon, 1);
    EXPECT_EQ(w.table.rule(1).icon, 1);
    EXPECT_TRUE(w.policy.SaveChanges());

    // After the drop, moving the pointer moves nothing.
    QTest::mouseMove(viewport, centre(3));
    EXPECT_EQ(w.column(RuleTable::Description).join(','), "r4,r1,r2,r3");
}

TEST(RuleList, ADragAboveTheVisibleRowsScrollsAndKeepsMovingTheRule) {
    PolicyWindow w;
    for (int i = 1; i <= 60; ++i)
        w.addRow(false, "10.0.0." + QString::number(i), "80", "r" + QString::number(i));
    w.rules()->scrollToBottom();
    QWidget* viewport = w.rules()->viewport();
    const QPoint last = w.rules()->visualRect(w.rules()->model()->index(59, 1)).center();
    QTest::mousePress(viewport, Qt::LeftButton, {}, last);
    const int before = w.rules()->verticalScrollBar()->value();
    for (int step = 0; step < 10; ++step)
        QTest::mouseMove(viewport, QPoint(last.x(), -20));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, QPoint(last.x(), -20));
    EXPECT_LT(w.rules()->verticalScrollBar()->value(), before);
    const int row = w.column(RuleTable::Description).indexOf("r60");
    EXPECT_LT(row, 59);
    EXPECT_EQ(w.table.cell(row, RuleTable::Number), QString::number(row + 1));
}

// The share of a rectangle of an image in which green outweighs red, and the other way round.
std::pair<double, double> greenAndRed(const QImage& image, const QRect& area) {
    int green = 0, red = 0, all = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            ++all;
            green += c.green() > c.red() + 60;
            red += c.red() > c.green() + 60;
        }
    return {double(green) / all, double(red) / all};
}

TEST(RuleList, EachRowShowsTheAcceptOrBlockPictureOfItsAction) {
    PolicyWindow w;
    w.addRow(true, "10.0.0.1", "80");
    w.addRow(false, "10.0.0.2", "80");
    w.rules()->clearSelection();
    w.rules()->setCurrentIndex({});
    const QImage shot = w.rules()->viewport()->grab().toImage();
    const auto picture = [&](int row) {
        QRect cell = w.rules()->visualRect(w.rules()->model()->index(row, 0));
        cell.setWidth(cell.height() + 4);
        return greenAndRed(shot, cell);
    };
    EXPECT_GT(picture(0).first, 0.2);
    EXPECT_LT(picture(0).second, 0.02);
    EXPECT_GT(picture(1).second, 0.2);
    EXPECT_LT(picture(1).first, 0.02);
}

// A connection list of one row, as the connection monitor fills it.
QStandardItemModel* connectionRow(QObject* parent, const QStringList& cells) {
    auto* model = new QStandardItemModel(0, 8, parent);
    QList<QStandardItem*> items;
    for (const QString& cell : cells)
        items.append(new QStandardItem(cell));
    model->appendRow(items);
    return model;
}

TEST(RulesFromConnections, RowsProposeABlockRuleForTheirRemoteEnd) {
    // Each row's cells joined by commas; the address and port proposed, or the any words.
    const struct {
        bool perApplication, byKey;
        QString address, port, row;
    } cases[] = {
        {false, false, "10.1.2.3", "443", "TCP,10.0.0.5,40000,10.1.2.3,443,https,ESTABLISHED,t"},
        {false, true, "10.1.2.3", "443", "TCP,10.0.0.5,40000,10.1.2.3,443,https,ESTABLISHED,t"},
        {false, false, "any address", "any port", "TCP,10.0.0.5,22,localhost,0,-,LISTENING,t"},
        {false, true, "any address", "any port", "UDP,10.0.0.5,53,,,,Unknown,t"},
        {true, false, "any address", "any port",
         "firefox,TCP,10.0.0.5,40001,localhost,0,SYN_SENT,/usr/bin/firefox"},
        {true, true, "10.9.9.9", "8080",
         "curl,TCP,10.0.0.5,40002,10.9.9.9,8080,ESTABLISHED,/usr/bin/curl"}};
    for (const auto& c : cases) {
        PolicyWindow w;
        SCOPED_TRACE(c.row.toStdString());
        QStandardItemModel* rows = connectionRow(&w.window, c.row.split(','));
        QTreeView* list;
        if (c.perApplication) {
            w.window.setConnectionModels(nullptr, rows);
            w.window.setConnectionView(MainWindow::ConnectionView::PerApplication);
            list = w.window.list("ListConnPROC");
        } else {
            w.window.setConnectionModels(rows, nullptr);
            w.window.setConnectionView(MainWindow::ConnectionView::PerConnection);
            list = w.window.list("ListConnections");
        }
        w.select(list, 0);
        if (c.byKey)
            QTest::keyClick(list, Qt::Key_R, Qt::ControlModifier);
        else
            w.action(c.perApplication ? "mnuRejectXP" : "mnuReject")->trigger();
        ASSERT_NE(w.editor(), nullptr);
        EditorFields expected = blankFields(w.table.words(), "Add/3");
        expected.accept = false;
        expected.address = c.address;
        expected.port = c.port;
        expected.specificAddress = c.address != "any address";
        expected.specificPort = c.port != "any port";
        EXPECT_EQ(w.editor()->fields(), expected);
        EXPECT_FALSE(w.editor()->modifyMode());
        // Cancelled: the table stays as it was, the policy stays marked.
        w.click("cmdCancel");
        EXPECT_EQ(w.table.count(), 0);
        EXPECT_TRUE(w.policy.SaveChanges());
    }
}

TEST(RulesFromConnections, AnEmptyListProposesNothing) {
    PolicyWindow w;
    w.window.setConnectionView(MainWindow::ConnectionView::PerConnection);
    QTest::keyClick(w.window.list("ListConnections"), Qt::Key_R, Qt::ControlModifier);
    w.action("mnuReject")->trigger();
    w.action("mnuCreateRuleLog")->trigger();
    EXPECT_EQ(w.editor(), nullptr);
    EXPECT_FALSE(w.policy.SaveChanges());
}

TEST(RulesFromConnections, ALogRecordProposesItsRemoteEndAndAddAppendsIt) {
    PolicyWindow w;
    EventList events(w.dir.path(), w.settings);
    w.window.setModels(&w.table, &events, &w.history);
    events.append({"12:00 - 01/01/26", "TCP", "10.0.0.5", "40000", "10.1.2.3", "80", "http",
                   "BLOCKED CONNECTION", "(1)"},
                  true);
    w.select(w.window.list("ListLog"), 0);
    w.action("mnuCreateRuleLog")->trigger();
    ASSERT_NE(w.editor(), nullptr);
    w.click("cmdAdd");
    ASSERT_EQ(w.table.count(), 1);
    EXPECT_EQ(w.table.rule(0),
              (Rule{"block", "1", "", "10.1.2.3", "80", "disabled", "Add/3", "TCP", 2}));
    // A second proposal from the same record is refused as a duplicate.
    w.editor()->close();
    w.action("mnuCreateRuleLog")->trigger();
    w.click("cmdAdd");
    EXPECT_EQ(w.table.count(), 1);
    EXPECT_EQ(w.prompter.messages().last().text, "Add/26");
}

} // namespace
