// The rule editor frmAdd: its checks, add and modify, the duplicate test, how it opens and
// closes, and a round trip of edited rules through a policy file.

#include "policy/RuleEditor.h"
#include "PolicyWindow.h"
#include "policy/PolicyFile.h"

#include <QApplication>

using namespace tarvok;
using namespace tarvok::test;

namespace {

const QString Any; // a null text: the "any" choice in PolicyWindow::fill

TEST(RuleEditorChecks, AddressesAndPortsThatAConnectionCanHave) {
    for (const char* text :
         {"10.0.0.1", "0.0.0.0", "255.255.255.255", "2001:db8::1", "::1", "fe80::1:2"})
        EXPECT_TRUE(isCanonicalAddress(QString::fromUtf8(text))) << text;
    for (const char* text :
         {"10.0.0", "10.0.0.256", "10.0.0.01", "a.b.c.d", "10.0.0.1 ", "10..0.1", "2001:DB8::1",
          "2001:db8:0:0:0:0:0:1", "::ffff:10.0.0.1", "2001:db8::1%lo", "10.0.0.1\xc3\xa9", ""})
        EXPECT_FALSE(isCanonicalAddress(QString::fromUtf8(text))) << text;
    for (const char* text : {"0", "80", "65535", "080"})
        EXPECT_TRUE(isPortNumber(text)) << text;
    for (const char* text :
         {"65536", "99999", "70000", "8O80", "-1", "", "1 ", "99999999999999999999999"})
        EXPECT_FALSE(isPortNumber(text)) << text;
}

TEST(RuleEditor, EachCheckFailureShowsItsMessageAndChangesNothing) {
    // Among them: two dots, a bad address with a bad port (the address is checked first), and
    // the letter O in a port.
    const struct {
        QString address, port;
        int key;
        QString portAfter; // the port box after the message
    } cases[] = {{"10.0.0.1", "", 22, ""},     {"", "80", 22, "80"},
                 {"10.0.0", "80", 24, "80"},   {"10.0.0.256", "80", 24, "80"},
                 {"a.b.c.d", "80", 24, "80"},  {"10.0.0.01", "8O80", 24, "8O80"},
                 {"10.0.0.1", "8O80", 25, ""}, {"10.0.0.1", "70000", 25, ""},
                 {"10.0.0.1", "99999", 25, ""}};
    for (const auto& c : cases) {
        PolicyWindow w;
        ASSERT_NE(w.openAdd(), nullptr);
        w.fill(false, c.address, c.port);
        w.click("cmdAdd");
        const auto messages = w.prompter.messages();
        ASSERT_EQ(messages.size(), 1) << c.address.toStdString() << " " << c.port.toStdString();
        EXPECT_EQ(messages[0].text, "Add/" + QString::number(c.key));
        EXPECT_EQ(messages[0].style, Prompter::Critical);
        EXPECT_EQ(messages[0].title, "Add/23");
        EXPECT_EQ(w.table.count(), 0);
        EXPECT_FALSE(w.policy.SaveChanges());
        EXPECT_EQ(w.field<QLineEdit>("txtRemP")->text(), c.portAfter);
        EXPECT_TRUE(w.editor()->isVisible());
    }
}

TEST(RuleEditor, AddAppendsTheRuleAndStaysOpen) {
    PolicyWindow w;
    w.addRow(true, "10.0.0.9", "21");
    ASSERT_NE(w.openAdd(), nullptr);
    w.fill(false, "2001:db8::1", "0");
    w.field<QComboBox>("Combo4")->setCurrentIndex(0); // log
    w.field<QComboBox>("Combo5")->setCurrentIndex(1); // disabled
    w.field<QLineEdit>("txtDescript")->setText("");
    w.click("cmdAdd");

    ASSERT_EQ(w.table.count(), 2);
    EXPECT_EQ(w.table.rule(1), (Rule{"block", "2", "false", "2001:db8::1", "0", "", "", "TCP", 2}));
    const auto messages = w.prompter.messages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0].text, "Add/28");
    EXPECT_EQ(messages[0].style, Prompter::Information);
    EXPECT_EQ(messages[0].title, "Add/1");
    EXPECT_TRUE(w.policy.SaveChanges());
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_TRUE(w.editor()->isVisible());
}

TEST(RuleEditor, TheBlankRuleIsAnAcceptOfAnyAddressAndPortWithoutLogging) {
    PolicyWindow w;
    w.action("tbAdd")->trigger();
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_EQ(w.editor()->windowTitle(), "Add/1");
    EXPECT_TRUE(w.field<QPushButton>("cmdAdd")->isVisible());
    EXPECT_FALSE(w.field<QPushButton>("cmdModify")->isVisible());
    EXPECT_EQ(w.editor()->focusWidget(), w.field<QLineEdit>("txtDescript"));
    EXPECT_FALSE(w.field<QLineEdit>("txtRemA")->isEnabled());
    EXPECT_EQ(w.field<QComboBox>("Combo4")->toolTip(), "Add/31 Add/12");
    EXPECT_FALSE(w.editor()->findChild<QWidget*>("lblLogEvent")->isEnabled());
    w.click("cmdAdd");
    ASSERT_EQ(w.table.count(), 1);
    EXPECT_EQ(w.table.rule(0),
              (Rule{"accept", "1", "", "any address", "any port", "disabled", "Add/3", "TCP", 1}));
    // Any address and any port again: refused as a duplicate of row 1.
    w.click("cmdAdd");
    EXPECT_EQ(w.table.count(), 1);
    EXPECT_EQ(w.prompter.messages().last().text, "Add/26");
    EXPECT_EQ(w.prompter.messages().last().style, Prompter::Exclamation);
    EXPECT_EQ(w.prompter.messages().last().title, "Add/271");
}

TEST(RuleEditor, ADuplicateIsFoundByAddressAndPortOnly) {
    PolicyWindow w;
    w.addRow(false, "10.0.0.1", "80");
    w.addRow(false, "10.0.0.2", "443", "web");
    ASSERT_NE(w.openAdd(), nullptr);
    w.fill(true, "10.0.0.2", "443"); // another action, state, log and description
    w.field<QComboBox>("Combo4")->setCurrentIndex(0);
    w.click("cmdAdd");
    EXPECT_EQ(w.table.count(), 2);
    EXPECT_EQ(w.prompter.messages().last().title, "Add/272");
    EXPECT_FALSE(w.policy.SaveChanges());
}

TEST(RuleEditor, ModifyRewritesTheSelectedRuleWithoutTheDuplicateTest) {
    PolicyWindow w;
    w.addRow(false, "10.0.0.1", "80");
    w.addRow(true, "10.0.0.2", "443", "web");
    w.table.setCell(1, RuleTable::Protocol, "TCP");
    w.select(w.rules(), 1);
    QTest::keyClick(w.rules(), Qt::Key_E, Qt::ControlModifier);
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_EQ(w.editor()->windowTitle(), "Add/33");
    EXPECT_FALSE(w.field<QPushButton>("cmdAdd")->isVisible());
    EXPECT_TRUE(w.field<QPushButton>("cmdModify")->isVisible());
    EXPECT_TRUE(w.field<QRadioButton>("Option1")->isChecked());
    EXPECT_EQ(w.field<QLineEdit>("txtRemA")->text(), "10.0.0.2");
    EXPECT_EQ(w.field<QLineEdit>("txtDescript")->text(), "web");

    // The address and port of row 1 are accepted here.
    w.fill(false, "10.0.0.1", "80");
    w.field<QLineEdit>("txtDescript")->setText("moved");
    w.click("cmdModify");
    EXPECT_EQ(w.table.rules().mid(1),
              QList<Rule>({{"block", "2", "", "10.0.0.1", "80", "", "moved", "TCP", 2}}));
    const auto last = w.prompter.messages().last();
    EXPECT_EQ(last.text, "Add/29 moved\r\nAdd/30");
    EXPECT_EQ(last.title, "Add/272");
    EXPECT_TRUE(w.policy.SaveChanges());
    EXPECT_TRUE(w.editor()->isVisible());
}

TEST(RuleEditor, ARuleStoredWithAnAddressThatCannotMatchLoadsButMustBeFixedToModify) {
    PolicyWindow w;
    ASSERT_TRUE(writeFile(w.policy.currentFilePath(),
                          "[Rules]\r\nCount=1\r\nAction_1=2\r\nEnabled_1=1\r\n"
                          "RemAddr_1=10.0.0.256\r\nRemP_1=99999\r\nLog_1=1\r\nDesc_1=old\r\n"));
    w.policy.LoadPolicy();
    ASSERT_EQ(w.table.count(), 1);
    EXPECT_EQ(w.table.cell(0, RuleTable::Port), "99999");
    w.select(w.rules(), 0);
    w.action("tbEdit")->trigger();
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_EQ(w.field<QLineEdit>("txtRemA")->text(), "10.0.0.256");
    w.click("cmdModify");
    EXPECT_EQ(w.prompter.messages().last().text, "Add/24");
    EXPECT_EQ(w.table.cell(0, RuleTable::Address), "10.0.0.256");
}

TEST(RuleEditor, BlocksTheMainWindowAndClosesByCancelEscapeAndCloseBox) {
    for (int way = 0; way < 3; ++way) {
        PolicyWindow w;
        RuleEditorDialog* editor = w.openAdd();
        ASSERT_NE(editor, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(editor));
        EXPECT_EQ(editor->windowModality(), Qt::WindowModal);
        EXPECT_EQ(QApplication::activeModalWidget(), editor);
        EXPECT_EQ(editor->parentWidget(), &w.window);
        way == 0   ? w.click("cmdCancel")
        : way == 1 ? QTest::keyClick(w.field<QLineEdit>("txtRemA"), Qt::Key_Escape)
                   : void(editor->close());
        EXPECT_EQ(w.editor(), nullptr) << way;
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
}

TEST(RuleEditor, RulesMadeInTheEditorSurviveASaveAndAReload) {
    PolicyWindow w;
    w.openAdd();
    w.fill(false, "10.1.2.3", "8080");
    w.click("cmdAdd");
    w.fill(true, Any, "53");
    w.field<QComboBox>("Combo4")->setCurrentIndex(0);
    w.field<QLineEdit>("txtDescript")->setText("dns");
    w.click("cmdAdd");
    w.fill(false, "fe80::1", Any);
    w.field<QComboBox>("Combo5")->setCurrentIndex(1);
    w.click("cmdAdd");
    ASSERT_EQ(w.table.count(), 3);
    ASSERT_TRUE(w.policy.SavePolicy(0));

    RuleTable reloaded;
    ReadPolicyFile(w.policy.currentFilePath(), reloaded);
    EXPECT_EQ(reloaded.rules(), w.table.rules());
}

// A closed editor is deleted only when the event loop next runs; an opening before then used
// to reuse the dying dialog, which then vanished.
TEST(RuleEditor, AnEditorReopenedBeforeTheEventLoopRunsStaysOpen) {
    PolicyWindow w;
    w.action("mnuAddRule")->trigger();
    w.controller->editor()->close();
    ASSERT_NE(w.openAdd(), nullptr);
    EXPECT_TRUE(w.editor()->isVisible());
}

} // namespace
