#include "policy/PolicyFile.h"
#include "support/ScratchFiles.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarvok;

namespace {

// A rule as the table holds it before a file gives it a number and an icon.
Rule rule(const QString& action, const QString& enabled, const QString& address,
          const QString& port, const QString& log, const QString& description) {
    return Rule{action, "", enabled, address, port, log, description};
}

class PolicyFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString write(const QByteArray& bytes) {
        const QString path = dir.filePath(QStringLiteral("p%1.rlsp").arg(++files));
        EXPECT_TRUE(test::writeFile(path, bytes));
        return path;
    }
    QList<Rule> read(const QByteArray& bytes) { return readPolicyRules(write(bytes), words); }

    QTemporaryDir dir;
    RuleWords words;
    int files = 0;
};

TEST_F(PolicyFileTest, SaveTextIsExact) {
    EXPECT_EQ(policyText({}, words), "[Rules]\r\nCount=0\r\n\r\n\r\n");
    const QList<Rule> rules = {
        rule(words.accept, "", words.anyAddress, "80", "", "web"),
        rule("accept ", words.disabled, "10.0.0.*", words.anyPort, words.noLog, ""),
        rule(words.block, "x", "1.2.3.4", "*", "y", "two\r\nAction_3=1"),
    };
    EXPECT_EQ(
        policyText(rules, words),
        "[Rules]\r\nCount=3\r\n\r\n"
        "Action_1=1\r\nEnabled_1=1\r\nRemAddr_1=*\r\nRemP_1=80\r\nLog_1=1\r\nDesc_1=web\r\n\r\n"
        "Action_2=2\r\nEnabled_2=2\r\nRemAddr_2=10.0.0.*\r\nRemP_2=*\r\nLog_2=2\r\n"
        "Desc_2=none\r\n\r\n"
        "Action_3=2\r\nEnabled_3=2\r\nRemAddr_3=1.2.3.4\r\nRemP_3=*\r\nLog_3=2\r\n"
        "Desc_3=two  Action_3=1\r\n\r\n"
        "\r\n");
}

TEST_F(PolicyFileTest, RulesReadBackAsWritten) {
    QList<Rule> rules = {
        rule(words.accept, "", words.anyAddress, words.anyPort, "", "all"),
        rule(words.block, words.disabled, "192.168.0.1", "443", words.noLog, "Zürich ☃"),
        rule(words.block, "", "", "", "", words.noDescription),
    };
    RuleTable table;
    ReadPolicyFile(write(policyText(rules, words)), table);
    ASSERT_EQ(table.count(), 3);
    for (int i = 0; i < 3; ++i) {
        rules[i].number = QString::number(i + 1);
        rules[i].icon = i == 0 ? 1 : 2;
        EXPECT_EQ(table.rule(i), rules[i]) << i;
    }
    ReadPolicyFile(write(policyText(rules.mid(0, 1), words)), table); // appends
    EXPECT_EQ(table.count(), 4);
}

TEST_F(PolicyFileTest, OddFilesLoadAsTheirKeysSay) {
    const QList<Rule> rules =
        read("; written by hand\n"
             "[Other]\nCount=9\nAction_1=2\n\n"
             "[rules]\n"
             "  count = 3  \n"
             "Desc_1 = \"  quoted  \"\n"
             "Action_1=1\nEnabled_1=1\nRemAddr_1=*\nRemP_1=*\nLog_1=1\n"
             "Action_2=3\nEnabled_2=0\nRemAddr_2=1.2.3.4\nRemP_2=8x\nLog_2=yes\nDesc_2=\n"
             "Action_9=1\n");
    ASSERT_EQ(rules.size(), 3);
    EXPECT_EQ(rules[0], (Rule{words.accept, "1", "", words.anyAddress, words.anyPort, "",
                              "  quoted  ", "TCP", 1}));
    EXPECT_EQ(rules[1], (Rule{words.block, "2", words.disabled, "1.2.3.4", "8x", words.noLog,
                              words.noDescription, "TCP", 2}));
    // Count larger than the blocks present: a disabled block rule with nothing in it.
    EXPECT_EQ(rules[2], (Rule{words.block, "3", words.disabled, "", "", words.noLog,
                              words.noDescription, "TCP", 2}));

    // Windows-1252 bytes and CR LF.
    const QList<Rule> old = read("[Rules]\r\nCount=1\r\nAction_1=1\r\nDesc_1=M\xfcnchen \x80\r\n");
    ASSERT_EQ(old.size(), 1);
    EXPECT_EQ(old[0].description, QString::fromUtf8("München €"));
    EXPECT_EQ(old[0].action, words.accept);
}

TEST_F(PolicyFileTest, CountIsALeadingNumberWithinSixteenBits) {
    const struct {
        const char* count;
        int rows;
    } cases[] = {
        {"2 rules", 2}, {"2.5", 2},   {"3.5", 4}, {"abc", 0},   {"", 0},
        {"-4", 0},      {"32768", 0}, {"1e9", 0}, {"1e999", 0}, {"99999999999999999999", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        EXPECT_EQ(read(QByteArray("[Rules]\nCount=") + c.count + "\nAction_1=1\n").size(), c.rows);
    }
    EXPECT_FALSE(policyCount("-32769"));
    EXPECT_EQ(policyCount("-32768"), -32768);

    // The largest Count over a file of one block: every row is made, nothing breaks.
    const QString path = write("[Rules]\nCount=32767\nAction_1=1\n");
    // An old file is trusted by the reader's cache instead of being read again per key.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                 QFileDevice::FileModificationTime));
    file.close();
    const QList<Rule> many = readPolicyRules(path, words);
    ASSERT_EQ(many.size(), MaxPolicyRules);
    EXPECT_EQ(many.first().action, words.accept);
    EXPECT_EQ(many.last().number, "32767");
}

} // namespace
