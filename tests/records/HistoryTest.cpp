#include "records/History.h"

#include "support/ScratchFiles.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <optional>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

RunSummary run(int day, const QString& cuts = QStringLiteral("0")) {
    return {QStringLiteral("%1/03/2024").arg(day), "09:00", "17:30", "10", "5", "15", cuts};
}

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    // One run of the program: load at start, save at exit.
    void runOnce(const RunSummary& summary) {
        HistoryList history(dir.path());
        ASSERT_TRUE(history.load());
        ASSERT_TRUE(history.save(summary));
    }
    QString path() const { return dir.path() + "/History.tvh"; }

    QTemporaryDir dir;
};

TEST_F(HistoryTest, FirstStartCreatesAnEmptyFileAndRunsAreKeptNewestFirst) {
    {
        HistoryList history(dir.path());
        ASSERT_TRUE(history.load());
        EXPECT_EQ(history.count(), 0);
        EXPECT_TRUE(QFile::exists(path()));
        EXPECT_TRUE(readFile(path()).isEmpty());
        ASSERT_TRUE(history.save(run(1)));
        EXPECT_EQ(readFile(path()), "\"1/03/2024\",\"09:00 - 17:30\",\"10 (KB)\",\"5 (KB)\","
                                    "\"15 (KB)\",\"0\"\r\n");
    }
    runOnce(run(2, "7"));
    runOnce(run(3));
    HistoryList history(dir.path());
    ASSERT_TRUE(history.load());
    ASSERT_EQ(history.count(), 3);
    EXPECT_EQ(history.row(0), HistoryList::recordOf(run(3)));
    EXPECT_EQ(history.row(1), HistoryList::recordOf(run(2, "7")));
    EXPECT_EQ(history.row(2), HistoryList::recordOf(run(1)));
}

TEST_F(HistoryTest, ClearingRowsReachesTheFileAtExit) {
    for (int day = 1; day <= 4; ++day)
        runOnce(run(day));
    {
        HistoryList history(dir.path());
        QAbstractItemModelTester tester(&history,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
        ASSERT_TRUE(history.load());
        history.clearSelection({0, 2, 2, 9, -1}); // runs 4 and 2; nonsense ignored
        ASSERT_EQ(history.count(), 2);
        EXPECT_EQ(history.row(0).first(), "3/03/2024");
        EXPECT_EQ(history.row(1).first(), "1/03/2024");
        ASSERT_TRUE(history.save(run(5)));
    }
    HistoryList history(dir.path());
    ASSERT_TRUE(history.load());
    ASSERT_EQ(history.count(), 3);
    history.clearAll();
    ASSERT_TRUE(history.save(run(6)));
    EXPECT_EQ(readFile(path()).count('\n'), 1);
}

TEST_F(HistoryTest, LoadsFilesFromElsewhere) {
    ASSERT_TRUE(writeFile(path(),
                          "\"1.3.2024\",\"09:00 - 10:00\",\"1 (KB)\",\"2 (KB)\",\"3 (KB)\",\"0\"\n"
                          "\n"
                          "\"Mi\xe9\",\"t\"\r\n"));
    HistoryList history(dir.path());
    ASSERT_TRUE(history.load());
    ASSERT_EQ(history.count(), 2);
    EXPECT_EQ(history.row(0).last(), "0");
    EXPECT_EQ(history.row(1), (QStringList{QString::fromUtf8("Mié"), "t", "", "", "", ""}));
}

// In each fault the file keeps its old contents (a folder stays a folder) and the reason is given.
TEST_F(HistoryTest, FailedSaveLeavesTheFileAndGivesTheReason) {
    const QByteArray old = "\"old\",\"\",\"\",\"\",\"\",\"0\"\r\n";
    for (const char* fault : {"folder", "read-only", "full disk"}) {
        SCOPED_TRACE(fault);
        QTemporaryDir folder;
        const QString file = folder.path() + "/History.tvh";
        std::optional<ScratchMount> mount;
        if (fault == std::string("folder")) {
            ASSERT_TRUE(QDir(folder.path()).mkdir("History.tvh"));
        } else if (fault == std::string("read-only")) {
            ASSERT_TRUE(writeFile(file, old));
            mount.emplace(ScratchMount::readOnly(folder.path()));
        } else {
            mount.emplace(ScratchMount::smallDisk(folder.path()));
            ASSERT_TRUE(writeFile(file, old));
            ASSERT_TRUE(mount->fill());
        }
        if (mount)
            TARVOK_REQUIRE_MOUNT(*mount);
        HistoryList history(folder.path());
        EXPECT_EQ(history.load(), mount.has_value()) << "a folder cannot be read";
        EXPECT_FALSE(history.save(run(2)));
        EXPECT_FALSE(history.lastError().isEmpty());
        if (mount)
            EXPECT_EQ(readFile(file), old);
        else
            EXPECT_TRUE(QFileInfo(file).isDir());
    }
}

} // namespace
