#include "policy/PolicyCommands.h"
#include "policy/PolicyFile.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakeLocaliser.h"
#include "fakes/FakePrompter.h"
#include "settings/TextHolders.h"
#include "support/ScratchFiles.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// A program folder with a policy, its commands and a scripted prompter.
class PolicyTest : public ::testing::Test {
protected:
    void SetUp() override { settings.values["RuleFile"] = "Normal.rlsp"; }
    QString inFolder(const QString& name) const { return dir.path() + '/' + name; }
    QString write(const QByteArray& bytes) {
        const QString path = inFolder(QStringLiteral("p%1.rlsp").arg(++files));
        EXPECT_TRUE(writeFile(path, bytes));
        return path;
    }
    QList<Rule> read(const QByteArray& bytes) { return readPolicyRules(write(bytes), words); }
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
        ASSERT_EQ(table.count(), 2);
        EXPECT_EQ(table.cell(0, RuleTable::Port), "8080");
        EXPECT_TRUE(policy.SaveChanges());
        EXPECT_EQ(settings.values["RuleFile"], "Normal.rlsp");
        EXPECT_EQ(readFile(inFolder("Normal.rlsp")), saved);
    }
    // The texts the prompter showed, in order; a failure naming a file of the program folder
    // reads "failed" and the file's name.
    QStringList asked() const {
        QStringList texts;
        for (const FakePrompter::Call& call : prompter.calls) {
            const QString after = call.text.section(dir.path() + '/', 1);
            const QString name = after.section(QRegularExpression("[: ]"), 0, 0);
            texts.append(name.isEmpty() ? call.text : "failed " + name);
        }
        return texts;
    }

    QTemporaryDir dir, other;
    RuleTable table;
    MapSettings settings;
    FakeLocaliser localiser;
    TextHolders texts;
    FakePrompter prompter;
    PolicyCommands policy{dir.path(), table, settings, localiser, texts, prompter};
    QByteArray saved;
    RuleWords words;
    int files = 0;
};

TEST_F(PolicyTest, SaveTextIsExactAndReadsBack) {
    EXPECT_EQ(policyText({}, words), "[Rules]\r\nCount=0\r\n\r\n\r\n");
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
    RuleTable table;
    for (int i = 0; i < 2; ++i) // a second file's rules are appended
        ReadPolicyFile(write(text), table);
    const QList<Rule> read = {
        {words.accept, "1", "", words.anyAddress, "80", "", "Zürich ☃", "TCP", 1},
        {words.block, "2", words.disabled, "10.0.0.*", words.anyPort, words.noLog,
         words.noDescription, "TCP", 2},
        {words.block, "3", words.disabled, "1.2.3.4", words.anyPort, words.noLog,
         "two  Action_3=1", "TCP", 2}};
    EXPECT_EQ(table.rules(), read + read);
}

TEST_F(PolicyTest, OddFilesLoadAsTheirKeysSay) {
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
}

TEST_F(PolicyTest, CountIsALeadingNumberWithinSixteenBits) {
    const std::pair<const char*, int> cases[] = {
        {"2 rules", 2}, {"2.5", 2},   {"3.5", 4}, {"abc", 0},   {"", 0},
        {"-4", 0},      {"32768", 0}, {"1e9", 0}, {"1e999", 0}, {"99999999999999999999", 0}};
    for (const auto& [count, rows] : cases)
        EXPECT_EQ(read(QByteArray("[Rules]\nCount=") + count + "\nAction_1=1\n").size(), rows)
            << count;
    EXPECT_FALSE(policyCount("-32769"));
    EXPECT_EQ(policyCount("-32768"), -32768);

    // The largest Count over a file of one block: every row is made, nothing breaks. An old
    // file is trusted by the reader's cache instead of being read again per key.
    const QString path = write("[Rules]\nCount=32767\nAction_1=1\n");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite) &&
                file.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                 QFileDevice::FileModificationTime));
    const QList<Rule> many = readPolicyRules(path, words);
    ASSERT_EQ(many.size(), MaxPolicyRules);
    EXPECT_EQ(many.first().action, words.accept);
    EXPECT_EQ(many.last().number, "32767");
}

TEST_F(PolicyTest, SaveAsWritesACopyAndKeepsTheCurrentName) {
    editedPolicy();
    prompter.files = {"", other.path() + "/copy.rlsp"};
    EXPECT_FALSE(policy.SavePolicy(1)); // cancelled
    EXPECT_TRUE(policy.SaveChanges());
    EXPECT_TRUE(policy.SavePolicy(1));
    EXPECT_FALSE(policy.SaveChanges());
    EXPECT_EQ(policy.statusText(), "Policy: NORMAL.RLSP");
    EXPECT_EQ(readFile(other.path() + "/copy.rlsp"), policyText(table.rules(), table.words()));
    EXPECT_EQ(readFile(inFolder("Normal.rlsp")), saved);
    EXPECT_EQ(prompter.calls[0].text, "Main/7");
    EXPECT_EQ(prompter.calls[0].filter, "Tarvok policy file|*.rlsp");
    EXPECT_EQ(prompter.calls[0].folder, dir.path());
}

TEST_F(PolicyTest, NewChangesNothingUntilAFileIsWritten) {
    editedPolicy();
    prompter.answers = {Prompter::No};
    policy.NewPolicy();
    prompter.answers = {Prompter::Yes, Prompter::No};
    policy.NewPolicy(); // and the file dialog is cancelled
    expectUnchanged();
    EXPECT_EQ(asked(), QStringList({"Main/95", "Main/95", "Main/96", "Main/112"}));
    EXPECT_EQ(prompter.calls[0].style, Prompter::ExclamationYesNo);
    EXPECT_EQ(prompter.calls[0].title, "Tarvok");

    prompter.answers = {Prompter::Yes, Prompter::Yes};
    prompter.files = {other.path() + "/Fresh.rlsp"};
    policy.NewPolicy();
    EXPECT_NE(readFile(inFolder("Normal.rlsp")), saved); // the edits were saved first
    EXPECT_EQ(readFile(other.path() + "/Fresh.rlsp"), "[Rules]\r\nCount=0\r\n\r\n\r\n");
    EXPECT_EQ(table.count(), 0);
    EXPECT_EQ(policy.statusText(), "Policy: FRESH.RLSP");
    EXPECT_FALSE(policy.SaveChanges());
    prompter.calls.clear();
    policy.AskSaveAtExit();
    EXPECT_TRUE(prompter.calls.isEmpty()) << "nothing unsaved, nothing asked at exit";
}

TEST_F(PolicyTest, OpenFromAnotherFolderSavesIntoTheProgramFolder) {
    editedPolicy();
    const QString elsewhere = other.path() + "/Office.rlsp";
    ASSERT_TRUE(writeFile(elsewhere, "[Rules]\nCount=1\nAction_1=1\nRemAddr_1=*\nRemP_1=22\n"));
    prompter.answers = {Prompter::No};
    policy.OpenPolicy(); // not saved, and cancelled
    expectUnchanged();
    prompter.answers = {Prompter::No};
    prompter.files = {elsewhere};
    policy.OpenPolicy();
    EXPECT_EQ(prompter.calls.last().text, "Main/40");
    ASSERT_EQ(table.count(), 1);
    EXPECT_EQ(table.cell(0, RuleTable::Port), "22");
    EXPECT_EQ(policy.statusText(), "Policy: OFFICE.RLSP");
    EXPECT_FALSE(policy.SaveChanges());
    EXPECT_EQ(readFile(inFolder("Normal.rlsp")), saved);
    ASSERT_TRUE(policy.SavePolicy(0));
    EXPECT_EQ(readFile(inFolder("Office.rlsp")), policyText(table.rules(), table.words()));
}

// Every failed write is reported and leaves the rules, SaveChanges and the file as they were.
class PolicyWriteFailure : public PolicyTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PolicyWriteFailure, LosesNothing) {
    const bool fullDisk = GetParam();
    std::optional<ScratchMount> mount;
    if (fullDisk)
        mount.emplace(ScratchMount::smallDisk(dir.path()));
    editedPolicy();
    if (!fullDisk)
        mount.emplace(ScratchMount::readOnly(dir.path()));
    TARVOK_REQUIRE_MOUNT(*mount);
    ASSERT_TRUE(!fullDisk || mount->fill());
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

INSTANTIATE_TEST_SUITE_P(Mounts, PolicyWriteFailure, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FullDisk" : "ReadOnly"; });

// An unreadable policy used to load as an empty one, and Save wrote the empty table over it.
TEST_F(PolicyTest, UnreadablePolicyAtStartUpIsReportedAndNeverWrittenOver) {
    ASSERT_TRUE(QDir(dir.path()).mkdir("Normal.rlsp"));
    policy.LoadPolicy();

    EXPECT_EQ(policy.statusText(), "Policy: NORMAL.RLSP");
    table.appendRule(Rule{"accept", "1", "", "1.2.3.4", "80", "", "x"});
    policy.setSaveChanges(true);
    EXPECT_FALSE(policy.SavePolicy(0)) << "the name dialog was cancelled";
    EXPECT_EQ(asked(), QStringList({"failed Normal.rlsp", "Main/7"})); // reported, then Save As
    EXPECT_TRUE(policy.SaveChanges());
    prompter.files = {inFolder("Mine.rlsp")};
    EXPECT_TRUE(policy.SavePolicy(0));
    EXPECT_EQ(settings.values["RuleFile"], "Mine.rlsp");
    EXPECT_TRUE(readFile(inFolder("Mine.rlsp")).contains("RemAddr_1=1.2.3.4"));
    EXPECT_TRUE(QFileInfo(inFolder("Normal.rlsp")).isDir());
}

// RuleFile=../x.rlsp wrote and read a file outside the program folder.
TEST_F(PolicyTest, RuleFileLeadingOutOfTheFolderCountsAsMissing) {
    const QString outside = other.path() + "/x.rlsp";
    ASSERT_TRUE(writeFile(outside, "[Rules]\r\nCount=1\r\nAction_1=2\r\n"));
    const QString up = "../" + QDir(other.path()).dirName() + "/x.rlsp";
    for (const QString& name : {up, outside, QString("x.rlsp") + QChar(0) + ".rlsp", QString("..")}) {
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

} // namespace
