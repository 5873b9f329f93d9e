// The policy file and its commands, then the rule list and editor in the real main window.

#include "engine/EnforcementEngine.h"
#include "fakes/FakeLocaliser.h"
#include "fakes/FakePrompter.h"
#include "policy/PolicyCommands.h"
#include "policy/PolicyFile.h"
#include "policy/RuleEditor.h"
#include "policy/RuleEditorDialog.h"
#include "policy/RuleListController.h"
#include "settings/TextHolders.h"
#include "shell/MainWindow.h"
#include "support/Accessibility.h"
#include "support/EngineRig.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"
#include "support/ScratchFiles.h"

#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <tuple>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// A policy in a program folder, texts that name their own keys ("Add/24"), a scripted prompter.
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

class PolicyTest : public ::testing::Test, public Policy {
protected:
    QString inFolder(const QString& name) const { return dir.path() + '/' + name; }
    QString write(const QByteArray& bytes) {
        const QString path = inFolder(QStringLiteral("p%1.rlsp").arg(++files));
        return writeFile(path, bytes) ? path : QString();
    }
    // A policy of two rules saved as the current file, then edited in the table.
    void editedPolicy() {
        table.appendRule(Rule{table.words().accept, "1", "", "10.0.0.1", "80", "", "a"});
        table.appendRule(Rule{table.words().block, "2", "", "10.0.0.2", "81", "", "b"});
        ASSERT_TRUE(policy.SavePolicy(0));
        saved = readFile(policy.currentFilePath());
        table.setCell(0, RuleTable::Port, "8080");
        policy.setSaveChanges(true);
    }
    // The rules, SaveChanges and the file are as editedPolicy left them.
    void expectUnchanged() {
        EXPECT_EQ(column(RuleTable::Port), QStringList({"8080", "81"}));
        EXPECT_TRUE(policy.SaveChanges());
        EXPECT_EQ(settings.values["RuleFile"], "Normal.rlsp");
        EXPECT_EQ(readFile(inFolder("Normal.rlsp")), saved);
    }
    // The texts the prompter showed; a failure naming a file of the folder reads "failed <name>".
    QStringList asked() const {
        QStringList texts;
        for (const FakePrompter::Call& call : prompter.calls) {
            const QString after = call.text.section(dir.path() + '/', 1);
            const QString name = after.section(QRegularExpression("[: ]"), 0, 0);
            texts.append(name.isEmpty() ? call.text : "failed " + name);
        }
        return texts;
    }

    QByteArray saved;
    RuleWords words;
    int files = 0;
};

TEST_F(PolicyTest, SaveTextIsExactAndReadsBack) {
    // Rules as the table holds them before a file gives them a number and an icon.
    const QList<Rule> rules = {
        {words.accept, "", "", words.anyAddress, "80", "", "Zürich ☃"},
        {"accept ", "", words.disabled, "10.0.0.*", words.anyPort, words.noLog, ""},
        {words.block, "", "x", "1.2.3.4", "*", "y", "two\r\nAction_3=1"}};
    const QByteArray text = policyText(rules, words);
    EXPECT_EQ(text, "[Rules]\r\nCount=3\r\n\r\n"
                    "Action_1=1\r\nEnabled_1=1\r\nRemAddr_1=*\r\nRemP_1=80\r\nLog_1=1\r\n"
                    "Desc_1=Z\xC3\xBCrich \xE2\x98\x83\r\n\r\n"
                    "Action_2=2\r\nEnabled_2=2\r\nRemAddr_2=10.0.0.*\r\nRemP_2=*\r\nLog_2=2\r\n"
                    "Desc_2=none\r\n\r\n"
                    "Action_3=2\r\nEnabled_3=2\r\nRemAddr_3=1.2.3.4\r\nRemP_3=*\r\nLog_3=2\r\n"
                    "Desc_3=two  Action_3=1\r\n\r\n"
                    "\r\n");
    for (int i = 0; i < 2; ++i) // a second file's rules are appended, numbered from 1 again
        ReadPolicyFile(write(text), table);
    EXPECT_EQ(table.rules().mid(0, 3), table.rules().mid(3));
    EXPECT_EQ(policyText(table.rules().mid(3), words), text);
}

TEST_F(PolicyTest, OddFilesAndCountsLoadAsTheirKeysSay) {
    const QList<Rule> rules = readPolicyRules(
        write("; written by hand\n[Other]\nCount=9\nAction_1=2\n\n[rules]\n  count = 3  \n"
             "Desc_1 = \"  quoted  \"\nAction_1=1\nEnabled_1=1\nRemAddr_1=*\nRemP_1=*\nLog_1=1\n"
             "Action_2=3\nEnabled_2=0\nRemAddr_2=1.2.3.4\nRemP_2=8x\nLog_2=yes\nDesc_2=\n"
             "Action_9=1\n"), words);
    // Count larger than the blocks present: the last is a disabled block rule with nothing in it.
    EXPECT_EQ(rules, QList<Rule>({{words.accept, "1", "", words.anyAddress, words.anyPort, "",
                                   "  quoted  ", "TCP", 1},
                                  {words.block, "2", words.disabled, "1.2.3.4", "8x", words.noLog,
                                   words.noDescription, "TCP", 2},
                                  {words.block, "3", words.disabled, "", "", words.noLog,
                                   words.noDescription, "TCP", 2}}));

    // Count is a leading number within sixteen bits.
    const std::pair<const char*, int> cases[] = {
        {"2 rules", 2}, {"2.5", 2},   {"3.5", 4}, {"abc", 0},   {"", 0},
        {"-4", 0},      {"32768", 0}, {"1e9", 0}, {"1e999", 0}, {"99999999999999999999", 0}};
    for (const auto& [count, rows] : cases)
        EXPECT_EQ(readPolicyRules(write(QByteArray("[Rules]\nCount=") + count + "\nAction_1=1\n"),
                                  words).size(), rows) << count;
}

TEST_F(PolicyTest, NewChangesNothingUntilAFileIsWritten) {
    editedPolicy();
    policy.NewPolicy(); // answered No, as every question without a scripted answer
    EXPECT_EQ(told(), Box("Tarvok", "Main/95", Prompter::ExclamationYesNo));
    prompter.answers = {Prompter::Yes, Prompter::No};
    policy.NewPolicy(); // and the file dialog is cancelled
    expectUnchanged();
    EXPECT_EQ(asked(), QStringList({"Main/95", "Main/95", "Main/96", "Main/112"}));

    prompter.answers = {Prompter::Yes, Prompter::Yes};
    prompter.files = {other.path() + "/Fresh.rlsp"};
    policy.NewPolicy();
    EXPECT_NE(readFile(inFolder("Normal.rlsp")), saved); // the edits were saved first
    EXPECT_EQ(readFile(other.path() + "/Fresh.rlsp"), "[Rules]\r\nCount=0\r\n\r\n\r\n"); // empty
    EXPECT_EQ(std::tuple(table.count(), policy.statusText(), policy.SaveChanges()),
              std::tuple(0, QString("Policy: FRESH.RLSP"), false));
    prompter.calls.clear();
    policy.AskSaveAtExit();
    EXPECT_TRUE(prompter.calls.isEmpty()) << "nothing unsaved, nothing asked at exit";
}

TEST_F(PolicyTest, SaveAsAndOpenKeepTheFileAndOpenSavesIntoTheProgramFolder) {
    editedPolicy();
    EXPECT_FALSE(policy.SavePolicy(1)); // Save As cancelled
    policy.OpenPolicy(); // not saved, and cancelled
    expectUnchanged();
    EXPECT_EQ(asked(), QStringList({"Main/7", "Main/96", "Main/40"}));
    EXPECT_EQ(QStringList({prompter.calls[0].filter, prompter.calls[0].folder}),
              QStringList({"Tarvok policy file|*.rlsp", dir.path()}));

    prompter.files = {other.path() + "/copy.rlsp"};
    EXPECT_TRUE(policy.SavePolicy(1) && !policy.SaveChanges());
    EXPECT_EQ(policy.statusText(), "Policy: NORMAL.RLSP");
    EXPECT_EQ(readFile(other.path() + "/copy.rlsp"), policyText(table.rules(), table.words()));

    const QString elsewhere = other.path() + "/Office.rlsp";
    ASSERT_TRUE(writeFile(elsewhere, "[Rules]\nCount=1\nAction_1=1\nRemAddr_1=*\nRemP_1=22\n"));
    policy.setSaveChanges(true);
    prompter.files = {elsewhere}; // not saved, and opened
    policy.OpenPolicy();
    EXPECT_EQ(table.rules(), readPolicyRules(elsewhere, words));
    EXPECT_TRUE(policy.statusText() == "Policy: OFFICE.RLSP" && !policy.SaveChanges());
    EXPECT_EQ(readFile(inFolder("Normal.rlsp")), saved);
    ASSERT_TRUE(policy.SavePolicy(0));
    EXPECT_EQ(readFile(inFolder("Office.rlsp")), policyText(table.rules(), table.words()));
}

// Every failed write is reported and leaves the rules, SaveChanges and the file as they were.
// (A full disk fails the write late, at the flush; a read-only folder, which fails it at the
// open, is tried on the same saveFileAtomically by the records and settings tests.)
TEST_F(PolicyTest, AWriteToAFullDiskIsReportedAndLosesNothing) {
    ScratchMount mount = ScratchMount::smallDisk(dir.path()); // it holds the policy
    TARVOK_REQUIRE_MOUNT(mount);
    editedPolicy();
    ASSERT_TRUE(mount.fill());
    EXPECT_FALSE(policy.SavePolicy(0));
    prompter.answers = {Prompter::Yes, Prompter::Yes}; // New, saving first
    policy.NewPolicy();
    prompter.answers = {Prompter::Yes, Prompter::No}; // New, not saving, into a new file
    prompter.files = {inFolder("Fresh.rlsp")};
    policy.NewPolicy();
    prompter.answers = {Prompter::Yes};
    policy.AskSaveAtExit();
    expectUnchanged();
    EXPECT_FALSE(QFile::exists(inFolder("Fresh.rlsp")));
    EXPECT_EQ(asked(), QStringList({"failed Normal.rlsp", "Main/95", "Main/96",
                                    "failed Normal.rlsp", "Main/95", "Main/96", "Main/112",
                                    "failed Fresh.rlsp", "Main/80", "failed Normal.rlsp"}));
    EXPECT_EQ(prompter.calls[0].style, Prompter::Exclamation);
}

// An unreadable policy used to load as an empty one, and Save wrote the empty table over it.
TEST_F(PolicyTest, UnreadablePolicyAtStartUpIsReportedAndNeverWrittenOver) {
    ASSERT_TRUE(QDir(dir.path()).mkdir("Normal.rlsp"));
    policy.LoadPolicy();
    table.appendRule(Rule{"accept", "1", "", "1.2.3.4", "80", "", "x"});
    policy.setSaveChanges(true);
    EXPECT_FALSE(policy.SavePolicy(0)) << "the name dialog was cancelled";
    EXPECT_EQ(asked(), QStringList({"failed Normal.rlsp", "Main/7"})); // reported, then Save As
    prompter.files = {inFolder("Mine.rlsp")};
    EXPECT_TRUE(policy.SavePolicy(0));
    EXPECT_TRUE(settings.values["RuleFile"] == "Mine.rlsp" &&
                readFile(inFolder("Mine.rlsp")).contains("RemAddr_1=1.2.3.4"));
    EXPECT_TRUE(QFileInfo(inFolder("Normal.rlsp")).isDir());
}

// RuleFile=../x.rlsp wrote and read a file outside the program folder.
TEST_F(PolicyTest, RuleFileLeadingOutOfTheFolderCountsAsMissing) {
    const QString outside = other.path() + "/x.rlsp";
    ASSERT_TRUE(writeFile(outside, "[Rules]\r\nCount=1\r\nAction_1=2\r\n"));
    const QString up = "../" + QDir(other.path()).dirName() + "/x.rlsp";
    const QString nul = QString("x.rlsp") + QChar(0) + ".rlsp";
    for (const QString& name : {up, outside, nul, QString("..")}) {
        SCOPED_TRACE(name.toStdString());
        settings.values["RuleFile"] = name;
        policy.LoadPolicy();
        EXPECT_EQ(table.count(), 0);
        EXPECT_EQ(settings.values["RuleFile"], "New.rlsp");
        EXPECT_EQ(readFile(outside), "[Rules]\r\nCount=1\r\nAction_1=2\r\n");
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    EXPECT_TRUE(prompter.calls.isEmpty());
}

// Fills an editor as a person would: the action, then a given address and port.
void fill(RuleEditorDialog* editor, bool accept, const QString& address, const QString& port) {
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
                              address, port, "", description, "TCP", accept ? 1 : 2});
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

QString order(const PolicyWindow& w) { return w.column(RuleTable::Description).join(','); }
QString numbers(const PolicyWindow& w) { return w.column(RuleTable::Number).join(','); }

TEST(RuleList, MovesDragsAndDeletesRenumberAndRowsShowThePictureOfTheirAction) {
    PolicyWindow w;
    w.action("tbUp")->trigger(); // on an empty table a move only marks the policy
    EXPECT_TRUE(w.policy.SaveChanges());
    for (int i = 1; i <= 4; ++i) // r1 and r4 accept, r2 and r3 block
        w.addRow(i == 1 || i == 4, "10.0.0." + QString::number(i), "80", "r" + QString::number(i));
    // The first rule up and the last rule down move nothing but still mark the policy.
    const struct { int row; const char *action, *order; int selected; } moves[] = {
        {2, "tbUp", "r1,r3,r2,r4", 1}, {0, "tbUp", "r1,r3,r2,r4", 0},
        {3, "tbDown", "r1,r3,r2,r4", 3}, {0, "tbDown", "r3,r1,r2,r4", 1}};
    for (const auto& m : moves) {
        SCOPED_TRACE(std::to_string(m.row) + m.action);
        w.policy.setSaveChanges(false);
        w.select(w.rules(), m.row);
        w.action(m.action)->trigger();
        EXPECT_EQ(QStringList({order(w), numbers(w)}), QStringList({m.order, "1,2,3,4"}));
        EXPECT_EQ(RuleListController::selectedRow(w.rules()), m.selected);
        EXPECT_TRUE(w.policy.SaveChanges());
    }

    // A drag: the first step over another row only notes it; each further one moves one row.
    w.policy.setSaveChanges(false);
    QWidget* viewport = w.rules()->viewport();
    const auto centre = [&](int row) {
        return w.rules()->visualRect(w.rules()->model()->index(row, 1)).center();
    };
    QTest::mousePress(viewport, Qt::LeftButton, {}, centre(3));
    QStringList orders;
    for (int step = 0; step < 5; ++step) {
        QTest::mouseMove(viewport, centre(0));
        orders.append(order(w));
        EXPECT_EQ(numbers(w), "1,2,3,4");
    }
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, centre(0));
    QCoreApplication::processEvents();
    EXPECT_EQ(orders, QStringList({"r3,r1,r2,r4", "r3,r1,r4,r2", "r3,r4,r1,r2", "r4,r3,r1,r2",
                                   "r4,r3,r1,r2"}));
    EXPECT_EQ(RuleListController::selectedRow(w.rules()), 0);
    EXPECT_TRUE(w.policy.SaveChanges());
    QTest::mouseMove(viewport, centre(3)); // after the drop, nothing moves
    EXPECT_EQ(order(w), "r4,r3,r1,r2");

    // The accept rule r4 shows green, the block rule r3 red.
    w.rules()->clearSelection();
    w.rules()->setCurrentIndex({});
    const QImage shot = viewport->grab().toImage();
    for (int row : {0, 1}) {
        QRect cell = w.rules()->visualRect(w.rules()->model()->index(row, 0));
        cell.setWidth(cell.height() + 4);
        int own = 0, other = 0; // pixels where the action's colour, or the other, leads
        for (int y = cell.top(); y <= cell.bottom(); ++y)
            for (int x = cell.left(); x <= cell.right(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                const int lead = (row == 0 ? 1 : -1) * (c.green() - c.red());
                own += lead > 60;
                other += lead < -60;
            }
        EXPECT_GT(own, 0.2 * cell.width() * cell.height()) << row;
        EXPECT_LT(other, 0.02 * cell.width() * cell.height()) << row;
    }

    // A delete asks with the rule and removes it on Yes only.
    w.policy.setSaveChanges(false);
    w.select(w.rules(), 2);
    w.action("mnuDeleteRule")->trigger(); // answered No
    ASSERT_EQ(w.prompter.messages().size(), 1);
    EXPECT_EQ(w.told(), Box("Rule #3", "Rule: r1\r\nDo you want to delete the selected rule?",
                            Prompter::Question));
    EXPECT_FALSE(w.policy.SaveChanges());
    // Yes (to Ctrl+D) while the table changes under the question: the rule asked about goes,
    // wherever it is now.
    w.prompter.answers = {Prompter::Yes};
    w.prompter.whileAsking = [&w] { w.table.moveRule(0, 3); };
    w.select(w.rules(), 3);
    QTest::keyClick(w.rules(), Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(QStringList({order(w), numbers(w)}), QStringList({"r3,r1,r4", "1,2,3"}));
    EXPECT_TRUE(w.policy.SaveChanges());
}

TEST(RuleList, EveryWayInNeedsARowAndTheMenuFlipsTheEnabledMark) {
    PolicyWindow w;
    w.window.setConnectionView(MainWindow::ConnectionView::PerConnection);
    QAction* enabled = w.action("mnuEnabledRule");
    emit w.window.menu("mnuListRules")->aboutToShow();
    for (const char* name : {"mnuEditRule", "mnuDeleteRule", "mnuEnabledRule"})
        EXPECT_FALSE(w.action(name)->isEnabled()) << name;
    QTest::keyClick(w.rules(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(w.rules(), Qt::Key_E, Qt::ControlModifier);
    QTest::keyClick(w.window.list("ListConnections"), Qt::Key_R, Qt::ControlModifier);
    w.action("mnuReject")->trigger();
    w.action("mnuCreateRuleLog")->trigger();
    EXPECT_EQ(w.editor(), nullptr);
    EXPECT_FALSE(w.policy.SaveChanges());

    w.addRow(false, "10.0.0.1", "80", "first");
    w.table.setCell(0, RuleTable::Enabled, w.table.words().disabled);
    QTest::keyClick(w.rules(), Qt::Key_A, Qt::ControlModifier);
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_FALSE(w.editor()->modifyMode());
    w.editor()->close();
    const QRect row = w.rules()->visualRect(w.rules()->model()->index(0, 1));
    QTest::mouseClick(w.rules()->viewport(), Qt::LeftButton, {}, row.center());
    QTest::mouseDClick(w.rules()->viewport(), Qt::LeftButton, {}, row.center());
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_EQ(w.editor()->fields().description, "first"); // opened on the rule, not blank
    w.editor()->close();

    for (const QString after : {"", "false"}) { // the mark shows the rule's state; a click flips it
        w.policy.setSaveChanges(false);
        emit w.window.menu("mnuListRules")->aboutToShow();
        EXPECT_EQ(enabled->isChecked(), after == "false");
        enabled->trigger();
        EXPECT_EQ(w.table.cell(0, RuleTable::Enabled), after);
        EXPECT_TRUE(w.policy.SaveChanges());
    }
}

TEST(RulesFromConnections, RowsProposeABlockRuleForTheirRemoteEnd) {
    // The list, its menu item (none: Ctrl+R), the row's cells joined by commas, what is proposed.
    const struct { QString list; const char* item; QString row, address, port; } cases[] = {
        {"ListConnections", "mnuReject", "TCP,10.0.0.5,40000,10.1.2.3,443,https,ESTABLISHED,t",
         "10.1.2.3", "443"},
        {"ListConnections", nullptr, "UDP,10.0.0.5,53,,,,Unknown,t", "any address", "any port"},
        {"ListConnPROC", "mnuRejectXP",
         "firefox,TCP,10.0.0.5,40001,localhost,0,SYN_SENT,/usr/bin/firefox", "any address",
         "any port"},
        {"ListConnPROC", nullptr, "curl,TCP,10.0.0.5,40002,10.9.9.9,8080,ESTABLISHED,/usr/bin/curl",
         "10.9.9.9", "8080"},
        {"ListLog", "mnuCreateRuleLog",
         "12:00 - 01/01/26,TCP,10.0.0.5,40000,10.1.2.3,80,http,BLOCKED CONNECTION,(1)", "10.1.2.3",
         "80"}};
    for (const auto& c : cases) {
        PolicyWindow w;
        SCOPED_TRACE(c.row.toStdString());
        const int columns = static_cast<int>(c.row.count(',')) + 1;
        auto* rows = new QStandardItemModel(1, columns, &w.window);
        for (int column = 0; column < columns; ++column)
            rows->setItem(0, column, new QStandardItem(c.row.section(',', column, column)));
        if (c.list == "ListLog")
            w.window.setModels(&w.table, rows, &w.history);
        else
            w.window.setConnectionModels(rows, rows);
        w.window.setConnectionView(c.list == "ListConnPROC"
                                       ? MainWindow::ConnectionView::PerApplication
                                       : MainWindow::ConnectionView::PerConnection);
        QTreeView* list = w.window.list(c.list);
        w.select(list, 0);
        if (c.item)
            w.action(c.item)->trigger();
        else
            QTest::keyClick(list, Qt::Key_R, Qt::ControlModifier);
        ASSERT_NE(w.editor(), nullptr);
        const bool specific = c.port != "any port"; // a block rule, not logged, enabled
        EXPECT_EQ(w.editor()->fields(), (EditorFields{false, specific, c.address, specific, c.port,
                                                      false, true, "Add/3"}));
        w.click("cmdCancel"); // the table stays as it was, the policy stays marked
        EXPECT_EQ(w.table.count(), 0);
        EXPECT_TRUE(w.policy.SaveChanges());
    }
}

// Any IPv6 form inet_pton reads was refused unless already canonical ("2001:DB8::1"); the
// duplicate test compared the address only, refusing the same address with another port.
TEST(RuleEditorChecks, AddressesAndPortsThatAConnectionCanHaveInTheFormItShows) {
    const std::pair<const char*, const char*> addresses[] = {
        {"10.0.0.1", "10.0.0.1"}, {"255.255.255.255", "255.255.255.255"}, {"::1", "::1"},
        {"2001:DB8::1", "2001:db8::1"}, {"2001:db8:0:0:0:0:0:1", "2001:db8::1"},
        {"::ffff:10.0.0.1", "10.0.0.1"}, // its connections show as IPv4
        {"10.0.0", ""}, {"10.0.0.256", ""}, {"10.0.0.01", ""}, {"a.b.c.d", ""}, {"10.0.0.1 ", ""},
        {"10..0.1", ""}, {"2001:db8::1%lo", ""}, {"10.0.0.1\xc3\xa9", ""}, {"", ""}};
    for (const auto& [text, canonical] : addresses)
        EXPECT_EQ(canonicalAddress(QString::fromUtf8(text)), canonical) << text;
    RuleTable table;
    const RuleWords& words = table.words();
    EditorFields fields = blankFields(words, "");
    fields.address = "2001:DB8:0::1";
    fields.port = "80";
    EXPECT_EQ(checkFields(fields, words), EditorCheck::Ok);
    table.appendRule(ruleOfFields(fields, words));
    EXPECT_EQ(table.rule(0).address, "2001:db8::1");
    EXPECT_EQ(duplicateRow(table, "2001:DB8::1", "80"), 0);
    EXPECT_EQ(duplicateRow(table, "2001:db8::1", "443"), -1);
    for (const char* text : {"0", "80", "65535", "080"})
        EXPECT_TRUE(isPortNumber(text)) << text;
    for (const char* text : {"65536", "99999", "8O80", "-1", "", "1 ", "99999999999999999999999"})
        EXPECT_FALSE(isPortNumber(text)) << text;
}

// The editor blocks the main window and closes by Cancel, Escape and the close box. A closed
// editor is deleted only when the event loop next runs; an opening before then used to reuse
// the dying dialog, which then vanished. Then Add clicked again and again in one open editor (a
// duplicate is found by address and port only), and Modify on a stored rule.
TEST(RuleEditor, ClosesEveryWayReopensAtOnceChecksWritesAndOnlyAddRefusesDuplicates) {
    PolicyWindow w;
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        w.action("mnuAddRule")->trigger();
        RuleEditorDialog* editor = w.editor();
        ASSERT_NE(editor, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(editor));
        EXPECT_EQ(editor->windowModality(), Qt::WindowModal);
        EXPECT_EQ(QApplication::activeModalWidget(), editor);
        EXPECT_EQ(editor->parentWidget(), &w.window);
        way == 0   ? w.click("cmdCancel")
        : way == 1 ? QTest::keyClick(w.field<QLineEdit>("txtRemA"), Qt::Key_Escape)
                   : void(editor->close());
        EXPECT_EQ(w.editor(), nullptr);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
    w.action("mnuAddRule")->trigger();
    w.controller->editor()->close();
    w.action("tbAdd")->trigger();
    ASSERT_TRUE(w.editor() && w.editor()->isVisible());
    EXPECT_EQ(w.editor()->windowTitle() + ' ' + w.field<QComboBox>("Combo4")->toolTip(),
              "Add/1 Add/31 Add/12");
    EXPECT_EQ(w.editor()->focusWidget(), w.field<QLineEdit>("txtDescript"));
    EXPECT_FALSE(w.field<QPushButton>("cmdModify")->isVisible() ||
                 w.field<QLineEdit>("txtRemA")->isEnabled());
    // A screen reader names every control, each field by its caption.
    EXPECT_EQ(test::nameless(w.editor()), QStringList());
    w.click("cmdAdd"); // an accept of any address and port, without logging
    EXPECT_EQ(w.table.rules(), QList<Rule>({{"accept", "1", "", "any address", "any port",
                                             "disabled", "Add/3", "TCP", 1}}));
    EXPECT_EQ(w.told(), Box("Add/1", "Add/28", Prompter::Information));
    w.click("cmdAdd");
    EXPECT_EQ(w.table.count(), 1);
    EXPECT_EQ(w.told(), Box("Add/271", "Add/26", Prompter::Exclamation)); // a duplicate of row 1

    // A bad address with a bad port: the address is checked first.
    const struct { const char *address, *port; int key; const char* portAfter; } failures[] = {
        {"10.0.0.1", "", 22, ""}, {"", "80", 22, "80"}, {"10.0.0.01", "8O80", 24, "8O80"},
        {"10.0.0.1", "70000", 25, ""}};
    for (const auto& c : failures) {
        SCOPED_TRACE(std::string(c.address) + " " + c.port);
        w.prompter.calls.clear();
        w.policy.setSaveChanges(false);
        fill(w.editor(), false, c.address, c.port);
        w.click("cmdAdd");
        ASSERT_EQ(w.prompter.messages().size(), 1);
        EXPECT_EQ(w.told(), Box("Add/23", "Add/" + QString::number(c.key), Prompter::Critical));
        EXPECT_EQ(std::tuple(w.table.count(), w.policy.SaveChanges(),
                             w.field<QLineEdit>("txtRemP")->text()),
                  std::tuple(1, false, QString(c.portAfter)));
    }

    fill(w.editor(), false, "2001:db8::1", "0");
    w.field<QComboBox>("Combo4")->setCurrentIndex(0); // log
    w.field<QComboBox>("Combo5")->setCurrentIndex(1); // disabled
    w.field<QLineEdit>("txtDescript")->setText("");
    w.click("cmdAdd");
    ASSERT_EQ(w.table.count(), 2);
    EXPECT_EQ(w.table.rule(1), (Rule{"block", "2", "false", "2001:db8::1", "0", "", "", "TCP", 2}));
    EXPECT_TRUE(w.policy.SaveChanges());
    w.policy.setSaveChanges(false);
    fill(w.editor(), true, "2001:db8::1", "0");
    w.field<QComboBox>("Combo4")->setCurrentIndex(1);
    w.field<QComboBox>("Combo5")->setCurrentIndex(0);
    w.field<QLineEdit>("txtDescript")->setText("other");
    w.click("cmdAdd");
    EXPECT_EQ(w.table.count(), 2);
    EXPECT_EQ(w.prompter.messages().last().title, "Add/272");
    EXPECT_FALSE(w.policy.SaveChanges());

    // A rule stored with an address that cannot match loads, but must be fixed to be modified;
    // Modify skips the duplicate test.
    w.editor()->close();
    w.addRow(true, "10.0.0.256", "99999", "web");
    w.select(w.rules(), 2);
    QTest::keyClick(w.rules(), Qt::Key_E, Qt::ControlModifier);
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_EQ(w.editor()->windowTitle() + ' ' + w.field<QLineEdit>("txtRemA")->text(),
              "Add/33 10.0.0.256");
    EXPECT_TRUE(!w.field<QPushButton>("cmdAdd")->isVisible() &&
                w.field<QRadioButton>("Option1")->isChecked());
    w.click("cmdModify");
    EXPECT_EQ(w.prompter.messages().last().text, "Add/24");
    EXPECT_EQ(w.table.cell(2, RuleTable::Address), "10.0.0.256");
    fill(w.editor(), false, "2001:db8::1", "0"); // row 2's address and port are accepted here
    w.field<QLineEdit>("txtDescript")->setText("moved");
    w.click("cmdModify");
    EXPECT_EQ(w.table.rules().mid(2),
              QList<Rule>({{"block", "3", "", "2001:db8::1", "0", "", "moved", "TCP", 2}}));
    EXPECT_EQ(w.told(), Box("Add/273", "Add/29 moved\r\nAdd/30", Prompter::Information));
    EXPECT_TRUE(w.policy.SaveChanges());
    EXPECT_TRUE(w.editor()->isVisible());
}

TEST(EditsDuringPasses, EveryDecisionFollowsTheTableOfItsMoment) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    PolicyWindow w;
    w.prompter.answers = QList<Prompter::Answer>(100, Prompter::Yes);
    // Eight connections, each with a logged rule, accept and block alternating.
    constexpr int Connections = 8;
    std::vector<std::unique_ptr<TcpListener>> listeners;
    std::vector<TcpConnection> connections;
    std::map<int, int> byClientPort;
    for (int i = 0; i < Connections; ++i) {
        listeners.push_back(std::make_unique<TcpListener>("127.0.0.2"));
        connections.push_back(test::connect("127.0.0.3", *listeners.back()));
        byClientPort[connections.back().clientPort] = i;
        w.addRow(i % 2 == 0, "127.0.0.2", QString::number(listeners.back()->port()));
    }
    const auto walk = [&](int i) { // connection i's first enabled rule, or -1
        return test::walk(w.table, "127.0.0.2", listeners[i]->port());
    };

    platform::SockDiag diag;
    ConnectionTables tables(diag);
    EnforcementEngine engine(tables, w.table);
    engine.timer()->stop();
    engine.setYieldBudget(0); // yield at every point where the pass may yield
    RecordingEvents events;
    engine.setEventSink(&events);

    // Records and cuts since the last edit were decided on the table as it still stands (a
    // pass never yields between a decision and its record).
    std::vector<bool> cut(Connections, false);
    qsizetype checked = 0;
    int accepted = 0;
    const auto check = [&] {
        for (; checked < events.records.size(); ++checked) {
            const EventRecord& record = events.records[checked];
            const int i = byClientPort.at(record.localPort.toInt());
            ASSERT_GE(walk(i), 0) << "connection " << i << " recorded without a rule";
            const bool accept = w.table.isAccept(walk(i));
            EXPECT_EQ(record.status, accept ? "ESTABLISHED" : "BLOCKED CONNECTION") << i;
            EXPECT_EQ(record.rule, "(" + QString::number(walk(i) + 1) + ")") << i;
            accepted += accept;
        }
        for (int i = 0; i < Connections; ++i) // a cut is reported to the client once
            if (!cut[i] && readOutcome(connections[i].client.get(), 0) == -ECONNABORTED) {
                cut[i] = true;
                EXPECT_TRUE(walk(i) >= 0 && !w.table.isAccept(walk(i)))
                    << "connection " << i << " cut without a block rule";
            }
    };
    // At every yield, after the checks, one edit through a command a person uses.
    int step = 0;
    bool yielding = false;
    engine.setYield([&] {
        ASSERT_FALSE(std::exchange(yielding, true)) << "a pass ran inside another";
        const auto end = qScopeGuard([&] { yielding = false; });
        engine.tick(); // a tick or pass asked for meanwhile returns at once
        engine.runPass();
        check();
        if (w.table.count() == 0)
            return;
        const int row = step * 3 % w.table.count();
        w.select(w.rules(), row);
        switch (step++ % 6) {
        case 0:
            emit w.window.menu("mnuListRules")->aboutToShow();
            w.action("mnuEnabledRule")->trigger();
            break;
        case 1:
        case 3:
            w.action(step % 6 == 2 ? "tbUp" : "tbDown")->trigger();
            break;
        case 2: // flip the action in the editor
            w.action("tbEdit")->trigger();
            w.field<QRadioButton>(w.table.isAccept(row) ? "Option2" : "Option1")->setChecked(true);
            w.click("cmdModify");
            w.controller->editor()->close();
            break;
        case 4:
            w.action("mnuDeleteRule")->trigger();
            break;
        case 5: // a new rule for a connection whose rule may be gone
            w.action("mnuAddRule")->trigger();
            fill(w.editor(), step % 4 == 0, "127.0.0.2",
                 QString::number(listeners[step % Connections]->port()));
            w.click("cmdAdd");
            w.controller->editor()->close();
            break;
        }
    });

    for (int pass = 0; pass < 6; ++pass) {
        engine.runPass();
        check();
    }
    EXPECT_GT(step, 12); // every kind of edit went on, and both kinds of decision were made
    EXPECT_GT(accepted, 0);
    EXPECT_GT(std::count(cut.begin(), cut.end(), true), 0);
}

} // namespace
