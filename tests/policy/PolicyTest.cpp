// The policy file and its commands: reading, saving, New, Open, --reload and the start-up load.

#include "engine/RuleIndex.h"
#include "policy/PolicyFile.h"
#include "settings/Settings.h"
#include "support/ScratchFiles.h"
#include "support/Sandbox.h"

#include "PolicyRig.h"

#include <QDir>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

QString fixture(const char* name) { return QStringLiteral(TARVOK_POLICY_FIXTURES "/") + name; }

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
    const QList<Rule> rules = readPolicy(
        write("; written by hand\n[Other]\nCount=9\nAction_1=2\n\n[rules]\n  count = 3  \n"
             "Desc_1 = \"  quoted  \"\nAction_1=1\nEnabled_1=1\nRemAddr_1=*\nRemP_1=*\nLog_1=1\n"
             "Action_2=3\nEnabled_2=0\nRemAddr_2=1.2.3.4\nRemP_2=8x\nLog_2=yes\nDesc_2=\n"
             "Action_9=1\n"), words).rules;
    // Count larger than the blocks present: the last is a disabled block rule with nothing in it.
    EXPECT_EQ(rules, QList<Rule>({{words.accept, "1", "", words.anyAddress, words.anyPort, "",
                                   "  quoted  ", "TCP", "", 1},
                                  {words.block, "2", words.disabled, "1.2.3.4", "8x", words.noLog,
                                   words.noDescription, "TCP", "", 2},
                                  {words.block, "3", words.disabled, "", "", words.noLog,
                                   words.noDescription, "TCP", "", 2}}));

    // Count is a leading number from 0 to 32767; without one, or beyond, a file is no policy
    // (it read as an empty one, which replaced the rules in force).
    using Failure = PolicyRead::Failure;
    const std::tuple<const char*, int, Failure> cases[] = {
        {"2 rules", 2, Failure::None},        {"2.5", 2, Failure::None},
        {"3.5", 4, Failure::None},            {"0", 0, Failure::None},
        {"abc", 0, Failure::NotAPolicy},      {"", 0, Failure::NotAPolicy},
        {"-4", 0, Failure::BadCount},         {"32768", 0, Failure::BadCount},
        {"1e9", 0, Failure::BadCount},        {"1e999", 0, Failure::BadCount},
        {"99999999999999999999", 0, Failure::BadCount}};
    for (const auto& [count, rows, failure] : cases) {
        const PolicyRead read =
            readPolicy(write(QByteArray("[Rules]\nCount=") + count + "\nAction_1=1\n"), words);
        EXPECT_EQ(std::pair(read.rules.size(), read.failure), std::pair(qsizetype(rows), failure))
            << count;
    }
}

// Proto_n says which protocols a rule covers: absent, TCP or an unknown word is TCP (as every
// file before the key means), and only a rule that covers more than TCP writes the key.
TEST_F(PolicyTest, ProtocolKeyReadsBackAndOnlyRulesBeyondTcpWriteIt) {
    QByteArray file = "[Rules]\nCount=5\n";
    const char* keys[] = {"Proto_1=UDP", "Proto_2=*", "Proto_3=TCP", "Proto_4=udp", ""};
    for (int n = 1; n <= 5; ++n)
        file += "Action_" + QByteArray::number(n) + "=2\n" + keys[n - 1] + "\n";
    const QList<Rule> rules = readPolicy(write(file), words).rules;
    QStringList protocols;
    for (const Rule& rule : rules)
        protocols << rule.protocol;
    EXPECT_EQ(protocols, QStringList({"UDP", "TCP/UDP", "TCP", "TCP", "TCP"}));
    const QByteArray text = policyText(rules, words);
    EXPECT_EQ(text.count("Proto_"), 2);
    EXPECT_TRUE(text.contains("Desc_1=none\r\nProto_1=UDP\r\n"));
    EXPECT_TRUE(text.contains("Desc_2=none\r\nProto_2=*\r\n"));
    EXPECT_EQ(readPolicy(write(text), words).rules, rules);
}

// Program_n names a rule's program: absent or empty is any program. A path comes back exactly
// (UTF-8, blanks, past the 354 characters other values are cut at), also from a file that is
// otherwise Windows-1252; a text that cannot name a file is kept and matches nothing, and
// still matches nothing after a save and a read, never any program.
TEST_F(PolicyTest, ProgramPathsReadBackExactlyAndBadOnesMatchNothing) {
    using K = ProgramPattern::Kind;
    const QString long4096 = '/' + QString(4095, 'p');
    const struct {
        const char* fixture;
        int row;
        QString program;
        K kind;
    } cases[] = {
        {"ProgramPathsGoodAndBad.rlsp", 0, "/usr/bin/curl", K::Path},
        {"ProgramPathsGoodAndBad.rlsp", 1, "/opt/Prögramm/x", K::Path},
        {"ProgramPathsGoodAndBad.rlsp", 2, "/opt/trailing blank ", K::Path},
        {"ProgramPathsGoodAndBad.rlsp", 3, "", K::Any},
        {"ProgramPathsGoodAndBad.rlsp", 4, "", K::Any},
        {"ProgramPathsGoodAndBad.rlsp", 5, "curl", K::Nothing},
        {"ProgramPathsGoodAndBad.rlsp", 6, "/usr/bin/tab\there", K::Nothing},
        {"ProgramPathsGoodAndBad.rlsp", 7, "/usr/bin/a\x01" "b", K::Nothing},
        {"ProgramPathsGoodAndBad.rlsp", 8, long4096, K::Path},
        {"ProgramPathsGoodAndBad.rlsp", 9, long4096 + 'p', K::Nothing},
        {"ProgramPathInWindows1252File.rlsp", 0, "/opt/Prögramm/x", K::Path},
        {"ProgramPathInWindows1252File.rlsp", 1, "/opt/Prögramm/y", K::Path},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fixture << " row " << c.row);
        QList<Rule> rules = readPolicy(fixture(c.fixture), words).rules;
        ASSERT_GT(rules.size(), c.row);
        EXPECT_EQ(rules[c.row].program, c.program);
        EXPECT_EQ(parseProgramCell(rules[c.row].program).kind, c.kind);
        rules[c.row].description = "Zürich"; // the file is written back in UTF-8
        EXPECT_EQ(readPolicy(write(policyText(rules, words)), words).rules, rules);
    }
    const QByteArray text = policyText(readPolicy(fixture(cases[0].fixture), words).rules, words);
    EXPECT_EQ(text.count("Program_"), 8);
    EXPECT_TRUE(text.contains("Desc_2=none\r\nProgram_2=/opt/Pr\xC3\xB6gramm/x\r\n"));

    // A line break cannot be stored: it comes back as a tab, and the rule still matches nothing.
    Rule broken{words.block, "1", "", words.anyAddress, words.anyPort, "", "x"};
    broken.program = "/usr/bin/x\ny";
    const QList<Rule> read = readPolicy(write(policyText({broken}, words)), words).rules;
    ASSERT_EQ(read.size(), 1);
    EXPECT_EQ(read[0].program, "/usr/bin/x\ty");
    EXPECT_EQ(parseProgramCell(read[0].program).kind, K::Nothing);
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
    EXPECT_EQ(table.rules(), readPolicy(elsewhere, words).rules);
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

// A policy file that cannot be read, or is no policy, used to load as an empty one, and Save
// wrote the empty table over it.
class StartUpPolicy : public PolicyTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(StartUpPolicy, ThatCannotBeReadIsReportedAndNeverWrittenOver) {
    const QString current = inFolder("Normal.rlsp");
    const bool folder = GetParam() == QLatin1String("Folder");
    ASSERT_TRUE(folder ? QDir(dir.path()).mkdir("Normal.rlsp")
                       : QFile::copy(fixture("ConfigIniPickedAsPolicy.rlsp"), current));
    const QByteArray before = readFile(current);
    policy.LoadPolicy();
    table.appendRule(Rule{"accept", "1", "", "1.2.3.4", "80", "", "x"});
    policy.setSaveChanges(true);
    EXPECT_FALSE(policy.SavePolicy(0)) << "the name dialog was cancelled";
    EXPECT_EQ(asked(), QStringList({"failed Normal.rlsp", "Main/7"})); // reported, then Save As
    prompter.files = {inFolder("Mine.rlsp")};
    EXPECT_TRUE(policy.SavePolicy(0));
    EXPECT_TRUE(settings.values["RuleFile"] == "Mine.rlsp" &&
                readFile(inFolder("Mine.rlsp")).contains("RemAddr_1=1.2.3.4"));
    EXPECT_TRUE(folder ? QFileInfo(current).isDir() : readFile(current) == before);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StartUpPolicy, ::testing::Values("Folder", "NotAPolicy"),
                         [](const auto& info) { return std::string(info.param); });

// File > Open and --reload read a file that is no policy as an empty one: the rules in force
// were dropped, "Read 0 rules" was said, and the next Save wrote over the file. A FIFO held
// the window.
TEST_F(PolicyTest, OpenAndReloadOfAFileThatIsNoPolicyRefuseAndKeepTheRules) {
    table.appendRule(Rule{words.accept, "1", "", "10.0.0.1", "80", "", "a", "TCP", "", 1});
    ASSERT_TRUE(policy.SavePolicy(0));
    const QList<Rule> rules = table.rules();
    const QString fifo = inFolder("Pipe.rlsp");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QFile huge(inFolder("Huge.rlsp")); // sparse: no disk is filled
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(MaxPolicyBytes + 1));
    const std::pair<QString, QString> cases[] = {
        {fixture("ConfigIniPickedAsPolicy.rlsp"), "Main/350"},
        {fixture("RulesWithoutCount.rlsp"), "Main/350"},
        {fixture("CountOutOfRange.rlsp"), "\"40000\", is not a number from 0 to 32767"},
        {inFolder("Missing.rlsp"), "No such file"},
        {other.path(), "not a regular file"},
        {fifo, "not a regular file"},
        {huge.fileName(), "larger than"}};
    for (const auto& [path, why] : cases) {
        SCOPED_TRACE(path.toStdString());
        prompter.calls.clear();
        prompter.files = {path};
        policy.OpenPolicy();
        ASSERT_EQ(prompter.messages().size(), 1);
        const auto [title, text, style] = told();
        EXPECT_TRUE(title == "Tarvok" && style == Prompter::Exclamation);
        EXPECT_TRUE(text.startsWith("The policy " + path + " could not be read: ") &&
                    text.contains(why)) << text.toStdString();
        EXPECT_FALSE(policy.replaceRules(path).ok()); // what --reload does
        EXPECT_EQ(std::tuple(table.rules(), settings.values["RuleFile"], policy.SaveChanges()),
                  std::tuple(rules, QString("Normal.rlsp"), false));
    }
    // [Rules] with Count=0 is a policy without rules.
    prompter.calls.clear();
    prompter.files = {fixture("EmptyPolicy.rlsp")};
    policy.OpenPolicy();
    EXPECT_EQ(std::tuple(table.count(), settings.values["RuleFile"], prompter.calls.size()),
              std::tuple(0, QString("EmptyPolicy.rlsp"), qsizetype(1))); // only the file dialog
}

// The first start wrote an empty Normal.rlsp and went on as New.rlsp, so the first Save left
// two policy files behind.
TEST(FirstStart, LeavesOnePolicyFileTheOneConfigIniNames) {
    QTemporaryDir dir;
    RuleTable table;
    FakeLocaliser localiser;
    TextHolders texts;
    FakePrompter prompter;
    for (int start = 1; start <= 2; ++start) {
        Settings settings(dir.path());
        ASSERT_TRUE(settings.createDefaultFile());
        settings.load();
        table.clear();
        PolicyCommands policy(dir.path(), table, settings, localiser, texts, prompter);
        policy.LoadPolicy();
        if (start == 1) {
            table.appendRule(Rule{"block", "1", "", "10.0.0.1", "80", "", "mine", "TCP", "", 2});
            ASSERT_TRUE(policy.SavePolicy(0) && settings.save());
        }
    }
    EXPECT_EQ(table.count(), 1) << "the second start reads what the first saved";
    EXPECT_EQ(QDir(dir.path()).entryList({"*.rlsp"}, QDir::Files), QStringList({"Normal.rlsp"}));
    EXPECT_TRUE(prompter.calls.isEmpty());
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

} // namespace
