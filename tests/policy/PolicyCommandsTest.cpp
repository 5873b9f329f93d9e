#include "policy/PolicyCommands.h"

#include "engine/RuleTable.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakeLocaliser.h"
#include "fakes/FakePrompter.h"
#include "support/ScratchFiles.h"
#include "policy/PolicyFile.h"
#include "settings/TextHolders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

using Call = FakePrompter::Call;

const QByteArray EmptyPolicy = "[Rules]\r\nCount=0\r\n\r\n\r\n";

class PolicyCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(other.isValid());
        settings.values["RuleFile"] = "Normal.rlsp";
    }
    QString inFolder(const QString& name) const { return dir.path() + '/' + name; }
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

    QTemporaryDir dir, other;
    RuleTable table;
    MapSettings settings;
    FakeLocaliser localiser;
    TextHolders texts;
    FakePrompter prompter;
    PolicyCommands policy{dir.path(), table, settings, localiser, texts, prompter};
    QByteArray saved;
};

TEST_F(PolicyCommandsTest, FirstStartWritesAnEmptyPolicyAndGoesOnAsNew) {
    settings.values["RuleFile"] = "";
    QString status;
    QObject::connect(&policy, &PolicyCommands::statusTextChanged,
                     [&](const QString& text) { status = text; });
    policy.LoadPolicy();
    EXPECT_EQ(readFile(inFolder("Normal.rlsp")), EmptyPolicy);
    EXPECT_EQ(settings.values["RuleFile"], "New.rlsp");
    EXPECT_EQ(status, "Policy: NEW.RLSP");
    EXPECT_EQ(table.count(), 0);
    EXPECT_FALSE(policy.SaveChanges());
    EXPECT_TRUE(prompter.calls.isEmpty());
}

TEST_F(PolicyCommandsTest, SaveAsWritesACopyAndKeepsTheCurrentName) {
    editedPolicy();
    prompter.files = {"", other.path() + "/copy.rlsp"};
    EXPECT_FALSE(policy.SavePolicy(1)); // cancelled
    EXPECT_TRUE(policy.SaveChanges());
    EXPECT_TRUE(policy.SavePolicy(1));
    EXPECT_FALSE(policy.SaveChanges());
    EXPECT_EQ(policy.statusText(), "Policy: NORMAL.RLSP");
    EXPECT_EQ(readFile(other.path() + "/copy.rlsp"), policyText(table.rules(), table.words()));
    EXPECT_EQ(readFile(inFolder("Normal.rlsp")), saved);
    EXPECT_EQ(prompter.calls[0].kind, Call::Save);
    EXPECT_EQ(prompter.calls[0].text, "Main/7");
    EXPECT_EQ(prompter.calls[0].filter, "Tarvok policy file|*.rlsp");
    EXPECT_EQ(prompter.calls[0].folder, dir.path());
    EXPECT_FALSE(policy.SavePolicy(2));
}

TEST_F(PolicyCommandsTest, NewChangesNothingUntilAFileIsWritten) {
    editedPolicy();
    prompter.answers = {Prompter::No};
    policy.NewPolicy();
    prompter.answers = {Prompter::Yes, Prompter::No};
    policy.NewPolicy(); // and the file dialog is cancelled
    expectUnchanged();
    ASSERT_EQ(prompter.calls.size(), 4);
    EXPECT_EQ(prompter.calls[0].text, "Main/95");
    EXPECT_EQ(prompter.calls[0].style, Prompter::ExclamationYesNo);
    EXPECT_EQ(prompter.calls[0].title, "Tarvok");
    EXPECT_EQ(prompter.calls[2].text, "Main/96");
    EXPECT_EQ(prompter.calls[3].text, "Main/112");

    prompter.answers = {Prompter::Yes, Prompter::Yes};
    prompter.files = {other.path() + "/Fresh.rlsp"};
    policy.NewPolicy();
    EXPECT_NE(readFile(inFolder("Normal.rlsp")), saved); // the edits were saved first
    EXPECT_EQ(readFile(other.path() + "/Fresh.rlsp"), EmptyPolicy);
    EXPECT_EQ(table.count(), 0);
    EXPECT_EQ(policy.statusText(), "Policy: FRESH.RLSP");
    EXPECT_FALSE(policy.SaveChanges());
}

TEST_F(PolicyCommandsTest, OpenFromAnotherFolderSavesIntoTheProgramFolder) {
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

TEST_F(PolicyCommandsTest, ExitAsksOnlyAboutUnsavedEdits) {
    policy.AskSaveAtExit();
    EXPECT_TRUE(prompter.calls.isEmpty());
    editedPolicy();
    prompter.answers = {Prompter::No};
    policy.AskSaveAtExit();
    expectUnchanged();
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_EQ(prompter.messages()[0].text, "Main/80");
    prompter.answers = {Prompter::Yes};
    policy.AskSaveAtExit();
    EXPECT_EQ(readFile(inFolder("Normal.rlsp")), policyText(table.rules(), table.words()));
}

// Every failed write is reported and leaves the rules, SaveChanges and the file as they were.
TEST_F(PolicyCommandsTest, ReadOnlyFolderLosesNothing) {
    editedPolicy();
    auto mount = ScratchMount::readOnly(dir.path());
    TARVOK_REQUIRE_MOUNT(mount);
    EXPECT_FALSE(policy.SavePolicy(0));
    prompter.answers = {Prompter::Yes, Prompter::Yes}; // New, saving first
    policy.NewPolicy();
    prompter.answers = {Prompter::Yes};
    policy.AskSaveAtExit();
    expectUnchanged();
    const QList<Call> told = prompter.messages();
    ASSERT_EQ(told.size(), 6);
    EXPECT_TRUE(told[0].text.contains(inFolder("Normal.rlsp")));
    EXPECT_EQ(told[0].style, Prompter::Exclamation);
    EXPECT_TRUE(told[3].text.contains(inFolder("Normal.rlsp"))); // New stopped after it
    EXPECT_EQ(told[4].text, "Main/80");
    EXPECT_TRUE(told[5].text.contains(inFolder("Normal.rlsp")));
}

TEST_F(PolicyCommandsTest, FullDiskLosesNothing) {
    auto disk = ScratchMount::smallDisk(dir.path());
    TARVOK_REQUIRE_MOUNT(disk);
    editedPolicy();
    ASSERT_TRUE(disk.fill());
    EXPECT_FALSE(policy.SavePolicy(0));
    prompter.files = {inFolder("Fresh.rlsp")};
    prompter.answers = {Prompter::Yes, Prompter::No};
    policy.NewPolicy();
    expectUnchanged();
    EXPECT_FALSE(QFile::exists(inFolder("Fresh.rlsp")));
    EXPECT_EQ(prompter.messages().size(), 4);
}

// An unreadable policy used to load as an empty one, and Save wrote the empty table over it.
TEST_F(PolicyCommandsTest, UnreadablePolicyAtStartUpIsReportedAndNeverWrittenOver) {
    ASSERT_TRUE(QDir(dir.path()).mkdir("Normal.rlsp"));
    policy.LoadPolicy();
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_TRUE(prompter.messages()[0].text.contains(inFolder("Normal.rlsp")));
    EXPECT_EQ(policy.statusText(), "Policy: NORMAL.RLSP");
    EXPECT_EQ(table.count(), 0);

    table.appendRule(Rule{"accept", "1", "", "1.2.3.4", "80", "", "x"});
    policy.setSaveChanges(true);
    EXPECT_FALSE(policy.SavePolicy(0)) << "the name dialog was cancelled";
    ASSERT_EQ(prompter.calls.last().kind, Call::Save);
    EXPECT_TRUE(policy.SaveChanges());
    prompter.files = {inFolder("Mine.rlsp")};
    EXPECT_TRUE(policy.SavePolicy(0));
    EXPECT_EQ(settings.values["RuleFile"], "Mine.rlsp");
    EXPECT_TRUE(readFile(inFolder("Mine.rlsp")).contains("RemAddr_1=1.2.3.4"));
    EXPECT_TRUE(QFileInfo(inFolder("Normal.rlsp")).isDir());
}

// RuleFile=../x.rlsp wrote and read a file outside the program folder.
TEST_F(PolicyCommandsTest, RuleFileLeadingOutOfTheFolderCountsAsMissing) {
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
