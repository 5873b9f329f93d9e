// What stays in force when the window ends without an orderly end (kill -9): by default its
// enforcer keeps the last policy, the terminal says so, the next start takes it over with no
// gap and --exit ends it; with the preference, the policy goes with the window. And a refusal
// just before an orderly end is still recorded.

#include "RunningTarvok.h"
#include "support/EnforcerSupport.h"
#include "support/Sandbox.h"

#include <QDir>
#include <QProcess>

#include <csignal>

using namespace tarvok;
using test::ProgramFolder;
using test::RunningTarvok;

namespace {

// Runs the folder's binary as a terminal command; its exit code and standard error.
std::pair<int, QByteArray> command(const ProgramFolder& folder, const QStringList& arguments) {
    QProcess process;
    process.setProcessEnvironment(
        test::environmentWith({}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}));
    process.start(folder.file("tarvok"), arguments);
    EXPECT_TRUE(process.waitForFinished(30000)) << arguments.join(' ').toStdString();
    return {process.exitCode(), process.readAllStandardError() + process.readAllStandardOutput()};
}

// The enforcers the window started itself (its children); none when it took one over.
QString childrenOf(qint64 pid) {
    return QString::fromLatin1(
               test::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(pid)))
        .trimmed();
}

} // namespace

TEST(UnexpectedEnd, TheLastPolicyStaysIsReportedIsTakenOverWithNoGapAndEnds) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    ASSERT_TRUE(test::writePolicy(folder, {test::blockRule(listener)}));
    const std::string table = test::instanceTable(folder.path());
    auto first = std::make_unique<RunningTarvok>(folder);
    ASSERT_TRUE(test::waitFor([&] { return test::tableExists(table); }, 20000));
    first->terminate(SIGKILL);
    EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", listener))) << "kept in force";
    const auto [code, said] = command(folder, {"--status"});
    EXPECT_EQ(code, 5) << said.toStdString();
    EXPECT_TRUE(said.contains("its last policy is still in force since")) << said.toStdString();

    RunningTarvok second(folder, false, false);
    ASSERT_TRUE(test::waitFor([&] { return command(folder, {"--status"}).first == 0; }, 20000));
    EXPECT_EQ(childrenOf(second.processId()), "") << "it took the running enforcer over";
    EXPECT_TRUE(test::tableExists(table));
    EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", listener)));

    // Killed again, the kept policy is ended from the terminal.
    second.terminate(SIGKILL);
    ASSERT_TRUE(test::waitFor([&] { return command(folder, {"--status"}).first == 5; }, 5000));
    EXPECT_EQ(command(folder, {"--exit"}).first, 0);
    EXPECT_TRUE(test::waitFor([&] { return !test::tableExists(table); }, 5000));
    EXPECT_EQ(test::connectError("127.0.0.3", listener), 0);
    EXPECT_EQ(command(folder, {"--status"}).first, 1);
}

TEST(UnexpectedEnd, WithThePreferenceThePolicyGoesWithTheWindow) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    ASSERT_TRUE(test::writePolicy(folder, {test::blockRule(listener)}));
    ASSERT_TRUE(test::writeFile(folder.file("config.ini"),
                                "[Settings]\r\nAllowAllOnCrash=True\r\n"));
    const std::string table = test::instanceTable(folder.path());
    RunningTarvok tarvok(folder);
    ASSERT_TRUE(test::waitFor([&] { return test::tableExists(table); }, 20000));
    tarvok.terminate(SIGKILL);
    EXPECT_TRUE(test::waitFor([&] { return !test::tableExists(table); }, 5000));
    EXPECT_EQ(test::connectError("127.0.0.3", listener), 0);
    EXPECT_EQ(command(folder, {"--status"}).first, 1);
}

// Refusals at the Block level are counted and recorded too, and one that comes just before a
// signal ends the run reaches the day's log: the enforcer passes on what the kernel logged
// before it says goodbye.
TEST(UnexpectedEnd, ARefusalJustBeforeTheEndIsRecordedAtTheBlockLevelToo) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    const std::string table = test::instanceTable(folder.path());
    RunningTarvok tarvok(folder);
    ASSERT_TRUE(test::waitFor([&] { return test::tableExists(table); }, 20000));
    ASSERT_TRUE(test::waitFor([&] { return command(folder, {"--level", "block"}).first == 0; },
                              20000));
    ASSERT_TRUE(test::refused(test::connectError("127.0.0.3", listener)));
    ASSERT_TRUE(tarvok.terminate(SIGTERM));
    const QStringList days = QDir(folder.file("Logs")).entryList({"*.tvl"}, QDir::Files);
    const QByteArray log = folder.read("Logs/" + days.value(0));
    EXPECT_EQ(log.count("\"BLOCKED CONNECTION\""), 1) << log.toStdString();
    EXPECT_TRUE(folder.read("History.tvh").contains(",\"1\"\r\n")) << "counted once";
}
