// The rule list and the rule editor in the real main window, and edits made while passes run.

#include "engine/EnforcementEngine.h"
#include "policy/RuleEditor.h"
#include "policy/RuleListModel.h"
#include "settings/LanguageFile.h"
#include "support/EnforcerSupport.h"
#include "support/Accessibility.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include "PolicyRig.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QScopeGuard>

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

using namespace tarvok;
using namespace tarvok::test;

namespace {

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
    const struct { QString list; const char* item; QString row, address, port, program{}; } cases[] = {
        {"ListConnections", "mnuReject", "TCP,10.0.0.5,40000,10.1.2.3,443,https,ESTABLISHED,t",
         "10.1.2.3", "443"},
        {"ListConnections", nullptr, "UDP,10.0.0.5,53,,,,Unknown,t", "any address", "any port"},
        {"ListConnPROC", "mnuRejectXP",
         "firefox,TCP,10.0.0.5,40001,localhost,0,SYN_SENT,/usr/bin/firefox", "any address",
         "any port", "/usr/bin/firefox"},
        {"ListConnPROC", nullptr, "curl,TCP,10.0.0.5,40002,10.9.9.9,8080,ESTABLISHED,/usr/bin/curl",
         "10.9.9.9", "8080", "/usr/bin/curl"},
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
                                                      false, true, "Add/3", "TCP/UDP", c.program}));
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

// A rule for one program made Add refuse a rule for any program with its address and port.
TEST(RuleEditorChecks, ARuleForOneProgramIsNoDuplicateOfOneForAnyProgram) {
    RuleTable table;
    Rule forCurl{"block", "1", "", "10.0.0.1", "80", "", "d"};
    forCurl.program = "/usr/bin/curl";
    table.appendRule(forCurl);
    EXPECT_EQ(duplicateRow(table, "10.0.0.1", "80"), -1);
    EXPECT_EQ(duplicateRow(table, "10.0.0.1", "80", "/usr/bin/curl"), 0);
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
    w.click("cmdAdd"); // an accept of any address and port, without logging, TCP and UDP
    EXPECT_EQ(w.table.rules(), QList<Rule>({{"accept", "1", "", "any address", "any port",
                                             "disabled", "Add/3", "TCP/UDP", "", 1}}));
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
    w.field<QComboBox>("ComboProtocol")->setCurrentIndex(0); // TCP alone
    w.click("cmdAdd");
    ASSERT_EQ(w.table.count(), 2);
    EXPECT_EQ(w.table.rule(1), (Rule{"block", "2", "false", "2001:db8::1", "0", "", "", "TCP", "", 2}));
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
              QList<Rule>({{"block", "3", "", "2001:db8::1", "0", "", "moved", "TCP", "", 2}}));
    EXPECT_EQ(w.told(), Box("Add/273", "Add/29 moved\r\nAdd/30", Prompter::Information));
    EXPECT_TRUE(w.policy.SaveChanges());
    EXPECT_TRUE(w.editor()->isVisible());
}

// "Log Events: disabled" and "Enabled: false" were drawn greyed out, as if they could not be
// changed, though they could be.
TEST(RuleEditor, ChoicesThatAreOffAreDrawnAsUsableControls) {
    PolicyWindow w;
    w.action("mnuAddRule")->trigger(); // a new rule does not log
    ASSERT_NE(w.editor(), nullptr);
    w.field<QComboBox>("Combo5")->setCurrentIndex(1);
    for (const auto& [choice, caption] : {std::pair("Combo4", "lblLogEvent"),
                                          std::pair("Combo5", "lblEnabled")}) {
        EXPECT_EQ(w.field<QComboBox>(choice)->currentIndex(), 1);
        EXPECT_FALSE(w.field<QComboBox>(choice)->testAttribute(Qt::WA_SetPalette)) << choice;
        EXPECT_TRUE(w.field<QLabel>(caption)->isEnabled()) << caption;
    }
}

// The editor offered a "simple address", answered port 70000 with "must be a number", and never
// said that connections from 127.0.0.1 are passed over, so a rule tried locally looked broken.
TEST(RuleEditor, EnglishTextsSaySingleThePortRangeAndHowToTryARuleLocally) {
    Policy p;
    const LanguageFile english(QStringLiteral(TARVOK_TEST_LANGUAGE_DIR "/English.lng"));
    RuleEditorDialog editor(nullptr, p.table, p.policy, english, p.prompter);
    editor.openAdd(blankFields(p.table.words(), "r"));
    fill(&editor, false, "10.0.0.1", "70000");
    editor.findChild<QPushButton*>("cmdAdd")->click();
    EXPECT_EQ(
        QStringList({editor.findChild<QComboBox*>("Combo1")->itemText(1),
                     editor.findChild<QComboBox*>("Combo3")->itemText(1), std::get<1>(p.told())}),
        QStringList({"single address", "single port",
                     "The remote port must be a number from 0 to 65535."}));
    EXPECT_TRUE(editor.findChild<QLineEdit*>("txtRemA")->toolTip().contains(
        "127.0.0.1 is never blocked; to try a rule on this machine use another local address, "
        "e.g. curl --interface 127.0.0.5"));
}

// Delete on the rule list did nothing; a list's Delete removes its selection, after the question.
// A block rule for one address that covers TCP alone leaves the address open over UDP
// (HTTP/3): the row says so, and the menu makes it cover UDP too in one click.
TEST(RuleList, ATcpOnlyBlockRuleForAnAddressIsWarnedAndCoversUdpInOneClick) {
    PolicyWindow w;
    const struct { bool accept; const char *address, *protocol; bool warned; } rows[] = {
        {false, "127.0.0.2", "TCP", true},    {false, "fd00::2", "TCP", true},
        {true, "10.0.0.1", "TCP", false},     {false, "any address", "TCP", false},
        {false, "10.0.0.3", "TCP/UDP", false}, {false, "10.0.0.4", "UDP", false}};
    for (const auto& row : rows) {
        w.addRow(row.accept, row.address, "443");
        w.table.setCell(w.table.count() - 1, RuleTable::Protocol, row.protocol);
    }
    RuleListModel shown(w.table, w.localiser);
    const auto warning = [&](int row) {
        shown.checkNow();
        return shown.index(row, 0).data(Qt::ToolTipRole).toString();
    };
    for (int row = 0; row < w.table.count(); ++row) {
        EXPECT_EQ(warning(row), rows[row].warned ? "Main/347" : "") << row;
        w.select(w.rules(), row);
        emit w.window.menu("mnuListRules")->aboutToShow();
        EXPECT_EQ(w.action("mnuCoverUdp")->isVisible(), rows[row].warned) << row;
    }
    w.select(w.rules(), 1);
    emit w.window.menu("mnuListRules")->aboutToShow();
    w.action("mnuCoverUdp")->trigger();
    EXPECT_EQ(w.table.cell(1, RuleTable::Protocol), "TCP/UDP");
    EXPECT_EQ(warning(1), "");
    EXPECT_TRUE(w.policy.SaveChanges());
}

// The Program column sits between the protocol and the hits, under its own header; a rule
// that names no program reads "Any program" in the user's language, while its cell stays empty.
TEST(RuleList, TheProgramColumnShowsThePathOrAnyProgramUnderItsOwnHeader) {
    PolicyWindow w;
    w.addRow(false, "10.0.0.1", "443");
    w.addRow(false, "10.0.0.2", "443");
    ASSERT_TRUE(w.table.setData(w.table.index(1, RuleTable::Program), "/usr/bin/curl"));
    w.window.applyLanguage(w.localiser);
    const QAbstractItemModel* shown = w.rules()->model();
    EXPECT_EQ(shown->columnCount(), RuleTable::HitsColumn + 1);
    EXPECT_EQ(shown->headerData(RuleTable::Program, Qt::Horizontal).toString(), "Main/440");
    EXPECT_EQ(shown->headerData(RuleTable::HitsColumn, Qt::Horizontal).toString(), "Main/340");
    const auto program = [&](int row, int role = Qt::DisplayRole) {
        return shown->index(row, RuleTable::Program).data(role).toString();
    };
    EXPECT_EQ(QStringList({program(0), program(1), program(1, Qt::ToolTipRole)}),
              QStringList({"Any program", "/usr/bin/curl", "/usr/bin/curl"}));
    w.table.setAnyProgramText("Add/38");
    EXPECT_EQ(program(0), "Add/38");
    EXPECT_EQ(w.column(RuleTable::Program), QStringList({"", "/usr/bin/curl"}));
}

TEST(RuleList, DeleteKeyAsksThenDeletesTheSelectedRule) {
    PolicyWindow w;
    QTest::keyClick(w.rules(), Qt::Key_Delete); // no rules: nothing to ask about
    EXPECT_TRUE(w.prompter.calls.isEmpty());
    w.addRow(false, "10.0.0.1", "80", "r1");
    w.addRow(false, "10.0.0.2", "80", "r2");
    w.select(w.rules(), 1);
    QTest::keyClick(w.rules(), Qt::Key_Delete); // answered No
    EXPECT_EQ(order(w), "r1,r2");
    w.prompter.answers = {Prompter::Yes};
    QTest::keyClick(w.rules(), Qt::Key_Delete);
    EXPECT_EQ(order(w), "r1");
    EXPECT_EQ(w.prompter.messages().size(), 2) << "one question a key press";
    EXPECT_TRUE(w.policy.SaveChanges());
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
    test::Enforcing enforcing(tables);
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
