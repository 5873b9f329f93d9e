#include "records/History.h"

#include "support/ScratchFiles.h"

#include <QAbstractItemModelTester>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// The run of the given day, with one cut fewer than its day.
RunSummary run(int day) {
    const QString cuts = QString::number(day - 1);
    return {QStringLiteral("%1/03/2024").arg(day), "09:00", "17:30", "10", "5", "15", cuts};
}

class HistoryTest : public ::testing::Test {
protected:
    // One run of the program: load at start, save at exit.
    void runOnce(const RunSummary& summary) {
        HistoryList history(dir.path());
        ASSERT_TRUE(history.load());
        ASSERT_TRUE(history.save(summary));
    }
    QString path() const { return dir.path() + "/History.tvh"; }

    QTemporaryDir dir;
};

TEST_F(HistoryTest, RunsAreWrittenInLineFormatKeptNewestFirstAndClearedAtExit) {
    runOnce(run(1));
    EXPECT_EQ(readFile(path()), "\"1/03/2024\",\"09:00 - 17:30\",\"10 (KB)\",\"5 (KB)\","
                                "\"15 (KB)\",\"0\"\r\n");
    for (int day = 2; day <= 4; ++day)
        runOnce(run(day));
    {
        HistoryList history(dir.path());
        QAbstractItemModelTester tester(&history,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
        ASSERT_TRUE(history.load());
        ASSERT_EQ(history.count(), 4);
        for (int row = 0; row < 4; ++row)
            EXPECT_EQ(history.row(row), HistoryList::recordOf(run(4 - row)));
        history.clearSelection({0, 2, 2, 9, -1}); // runs 4 and 2; nonsense ignored
        EXPECT_EQ(history.row(0).first() + ' ' + history.row(1).first(), "3/03/2024 1/03/2024");
        ASSERT_TRUE(history.save(run(5)));
    }
    HistoryList history(dir.path());
    ASSERT_TRUE(history.load());
    ASSERT_EQ(history.count(), 3);
    history.clearAll();
    ASSERT_TRUE(history.save(run(6)));
    EXPECT_EQ(readFile(path()).count('\n'), 1);
}

// The file keeps its old contents and the reason is given; a folder in its place is checked
// end to end (EndToEnd.UnattendedShutdownReportsFailuresOnStandardErrorAndStillSaves).
TEST_F(HistoryTest, FailedSaveLeavesTheFileAndGivesTheReason) {
    const QByteArray old = "\"old\",\"\",\"\",\"\",\"\",\"0\"\r\n";
    for (const bool full : {false, true}) {
        SCOPED_TRACE(full ? "full disk" : "read-only");
        ASSERT_TRUE(full || writeFile(path(), old));
        ScratchMount mount =
            full ? ScratchMount::smallDisk(dir.path()) : ScratchMount::readOnly(dir.path());
        TARVOK_REQUIRE_MOUNT(mount);
        ASSERT_TRUE(!full || (writeFile(path(), old) && mount.fill()));
        HistoryList history(dir.path());
        EXPECT_TRUE(history.load());
        EXPECT_FALSE(history.save(run(2)));
        EXPECT_FALSE(history.lastError().isEmpty());
        EXPECT_EQ(readFile(path()), old);
    }
}

} // namespace
