#include "RunningTarvok.h"
#include "settings/Settings.h"
#include "support/Sandbox.h"

#include <QFileInfo>
#include <QTest>

#include <cerrno>

using namespace tarvok;
using tarvok::test::ProgramFolder;
using tarvok::test::RunningTarvok;

// An unwritable history opened a box in the SIGTERM shutdown, which never ended nor saved
// config.ini; unwritable logs lost their records in silence.
TEST(EndToEnd, UnattendedShutdownReportsFailuresOnStandardErrorAndStillSaves) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    ASSERT_TRUE(test::writePolicy(folder, {test::blockRule(listener)}));
    ASSERT_TRUE(test::writeFile(folder.file("config.ini"),
                                "; not saved\r\n" + Settings::defaultFileText()));
    ASSERT_TRUE(QDir(folder.path()).mkdir("History.tvh"));
    ASSERT_TRUE(test::writeFile(folder.file("Logs"), "a file in place of the folder"));

    RunningTarvok tarvok(folder);
    // Refused by the kernel table once it is written, or cut by the pass before that.
    ASSERT_TRUE(test::waitFor([&] {
        return test::connectError("127.0.0.3", listener) == ECONNREFUSED;
    }, 20000));
    QTest::qWait(200); // the refusal's record comes through the kernel's log group
    ASSERT_TRUE(tarvok.terminate()) << tarvok.errors().toStdString();
    for (const char* told : {"history could not be written", "They are lost"})
        EXPECT_TRUE(tarvok.errors().contains(told)) << tarvok.errors().toStdString();
    EXPECT_EQ(folder.read("config.ini"), Settings::defaultFileText());
    EXPECT_TRUE(QFileInfo(folder.file("History.tvh")).isDir());
}

// A lock refused by a read-only folder was reported as "Application is already running!".
TEST(EndToEnd, ReadOnlyFolderIsReportedAsSuchNotAsASecondInstance) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVOK_BINARY), folder.file("tarvok")));
    auto mount = test::ScratchMount::readOnly(folder.path());
    TARVOK_REQUIRE_MOUNT(mount);
    RunningTarvok tarvok(folder, false, false);
    ASSERT_TRUE(tarvok.waitForError("Read-only file system")) << tarvok.errors().toStdString();
    EXPECT_TRUE(tarvok.errors().contains(folder.path().toUtf8()));
    EXPECT_FALSE(tarvok.errors().contains("already running"));
    tarvok.terminate(); // the box is closed and the program ends
    EXPECT_FALSE(tarvok.running());
}

// From a folder holding only a policy: start-up writes the other files, a signal ends in order.
// A start-up box (here: a damaged language file) once opened before the passes started: nothing
// was cut while it waited, and a signal then left the run out of History.tvh.
TEST(EndToEnd, APolicyBlockCutsARealConnectionWhileAStartUpBoxIsOpenOrSaysWhyItCannot) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    // With CAP_NET_ADMIN (and a damaged language file) or not: the blocked client end's
    // outcome, its record, the run's cuts, the signal that ends the run.
    const std::tuple<bool, int, const char*, const char*, int> runs[] = {
        {true, -ECONNABORTED, "\"BLOCKED CONNECTION\"", ",\"1\"\r\n", SIGTERM},
        {false, -ETIMEDOUT, "\"Unable to close connection\"", ",\"0\"\r\n", SIGHUP}};
    for (const auto& [netAdmin, outcome, status, cuts, signal] : runs) {
        SCOPED_TRACE(netAdmin ? "with CAP_NET_ADMIN" : "without CAP_NET_ADMIN");
        ProgramFolder folder;
        test::TcpListener listener("127.0.0.2");
        ASSERT_TRUE(test::writePolicy(folder, {test::blockRule(listener)}));
        const QByteArray earlier = netAdmin ? "\"1/1/26\",\"9:00 - 10:00\",\"0 (KB)\",\"0 (KB)\","
                                              "\"0 (KB)\",\"3\"\r\n" : "";
        if (netAdmin) {
            ASSERT_TRUE(test::writeFile(folder.file("History.tvh"), earlier) &&
                        test::writeFile(folder.file("Language/English.lng"), "\xff\xfe bad\r\n"));
        }
        test::TcpConnection connection = test::connect("127.0.0.3", listener);
        RunningTarvok tarvok(folder, !netAdmin);
        ASSERT_TRUE(test::waitFor([&] { return QFileInfo(folder.file("Logs")).isDir(); }, 20000));
        EXPECT_EQ(folder.read("config.ini"), Settings::defaultFileText());
        EXPECT_EQ(folder.read("History.tvh"), earlier);
        if (netAdmin) { // the box opens right after the first pass, and the passes go on
            ASSERT_TRUE(tarvok.waitForError("is damaged")) << tarvok.errors().toStdString();
        }
        test::TcpListener other("127.0.0.4");
        test::TcpConnection kept = test::connect("127.0.0.5", other);
        // Opened before Tarvok started, so no kernel table refused it: the pass cuts it within a
        // few ticks; an uncut or unrelated connection is quiet after 3 s.
        EXPECT_EQ(test::readOutcome(connection.client.get(), 3000), outcome);
        EXPECT_EQ(test::readOutcome(kept.client.get(), 10), -ETIMEDOUT);

        ASSERT_TRUE(tarvok.terminate(signal));
        // An orderly end leaves no table of Tarvok's in the kernel.
        EXPECT_NE(std::system("nft list table inet tarvok >/dev/null 2>&1"), 0);
        const QByteArray history = folder.read("History.tvh");
        EXPECT_TRUE(history.endsWith(earlier) && history.chopped(earlier.size()).endsWith(cuts) &&
                    history.count("\r\n") == earlier.count("\r\n") + 1) // newest first
            << history.toStdString();
        const QStringList days = QDir(folder.file("Logs")).entryList({"*.tvl"}, QDir::Files);
        const QByteArray log = folder.read("Logs/" + days.value(0));
        EXPECT_TRUE(log.contains("\"TCP\",\"127.0.0.3\"")) << log.toStdString();
        EXPECT_TRUE(log.contains(status)) << log.toStdString();
        EXPECT_EQ(log.count("\r\n"), 1) << "one record, however many passes saw the connection";
    }
}
