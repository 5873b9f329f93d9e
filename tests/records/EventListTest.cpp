#include "records/EventList.h"

#include "fakes/EngineFakes.h"
#include "support/ScratchFiles.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// A record per remote port, so that none is a duplicate of another.
EventRecord cut(int remotePort, const QString& localPort = QStringLiteral("50000")) {
    return {"09:15 - 05/03/2024", "TCP", "192.168.1.10", localPort, "203.0.113.7",
            QString::number(remotePort), "-", "BLOCKED CONNECTION", "(3)"};
}

class EventListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("Logs")));
        settings.values[QStringLiteral("LogSize")] = QStringLiteral("100");
        list.setToday([] { return QDate(2024, 3, 5); });
        list.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void addRecords(int n, int firstPort = 1) {
        for (int i = 0; i < n; ++i)
            list.append(cut(firstPort + i), false);
    }

    QTemporaryDir dir;
    MapSettings settings;
    EventList list{dir.path(), settings};
    QAbstractItemModelTester tester{&list, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(EventListTest, FiftiethRecordFlushesInLineFormatAndOrderToTheDayFile) {
    // The file is named by the desktop's short date format, for the day of the flush.
    EXPECT_EQ(EventList::dayFileName(QDate(2024, 3, 5), QLocale(QLocale::German, QLocale::Germany)),
              "05.03.24.tvl");
    const QString path = list.dayFilePath();
    EXPECT_EQ(path, dir.path() + "/Logs/3-5-24.tvl");
    addRecords(49);
    EXPECT_TRUE(list.flushIfFull());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(list.count(), 49);

    addRecords(1, 50);
    EXPECT_TRUE(list.flushIfFull());
    EXPECT_EQ(list.count(), 0);
    const QList<QByteArray> lines = readFile(path).split('\n');
    ASSERT_EQ(lines.size(), 51); // 50 lines and the empty text after the last line end
    EXPECT_EQ(lines[0], "\"09:15 - 05/03/2024\",\"TCP\",\"192.168.1.10\",\"50000\","
                        "\"203.0.113.7\",\"1\",\"-\",\"BLOCKED CONNECTION\"\r");
    EXPECT_TRUE(lines[49].contains("\"50\",\"-\""));
    EXPECT_TRUE(lines[50].isEmpty());
    list.setToday([] { return QDate(2024, 3, 6); });
    EXPECT_EQ(list.dayFilePath(), dir.path() + "/Logs/3-6-24.tvl");
}

TEST_F(EventListTest, DuplicateCheckComparesTheConnectionNotTheMoment) {
    EventRecord first = cut(80);
    list.append(first, false);
    EventRecord again = first;
    again.time = QStringLiteral("09:16 - 05/03/2024");
    again.localAddress = QStringLiteral("10.0.0.1");
    again.service = QStringLiteral("http");
    again.rule = QStringLiteral("(4)");
    list.append(again, false);
    EXPECT_EQ(list.count(), 1);

    list.append(cut(80, QStringLiteral("50001")), false); // another local port
    EventRecord accepted = first;
    accepted.status = QStringLiteral("ESTABLISHED");
    list.append(accepted, false);
    list.append(again, true); // manual actions skip the check
    EXPECT_EQ(list.count(), 4);
}

TEST_F(EventListTest, LogSizeDecidesBetweenAppendAndReplace) {
    const QString path = list.dayFilePath();
    struct Case {
        qint64 bytes;
        QString logSize;
        bool appended;
    };
    const Case cases[] = {
        {99 * 1024, "100", true},        {100 * 1024, "100", false},
        {99 * 1024 + 512, "100", false}, // 99.5 KB rounds to 100
        {2 * 1024 * 1024, "512", false}, // a file past 1 MiB counts at its real size
        {99 * 1024, "", true},           // empty LogSize means 512
        {99 * 1024, "abc", false},       // no number means 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        ASSERT_TRUE(writeFile(path, QByteArray(c.bytes, 'a')));
        settings.values[QStringLiteral("LogSize")] = c.logSize;
        addRecords(50);
        ASSERT_TRUE(list.flushIfFull());
        const QByteArray after = readFile(path);
        EXPECT_EQ(after.count('\n'), 50);
        EXPECT_EQ(after.startsWith("aaaa"), c.appended);
    }
    // Half a kilobyte rounds to the even number.
    const std::pair<qint64, int> sizes[] = {{511, 0}, {512, 0}, {513, 1}, {1536, 2}, {2560, 2}};
    for (auto [bytes, kilobytes] : sizes)
        EXPECT_EQ(EventList::sizeInKilobytes(bytes), kilobytes) << bytes;
}

TEST_F(EventListTest, ExitFlushAppendsWhateverIsLeft) {
    const QString path = list.dayFilePath();
    EXPECT_TRUE(list.flushAtExit());
    EXPECT_FALSE(QFile::exists(path)); // nothing listed, nothing written

    addRecords(3);
    EXPECT_TRUE(list.flushAtExit()); // creates the file
    ASSERT_TRUE(
        writeFile(path, readFile(path) + QByteArray(200 * 1024, 'a') + "\r\n")); // past LogSize
    addRecords(2, 10);
    EXPECT_TRUE(list.flushAtExit()); // no size rule at exit
    const QList<EventRecord> back = readLogFile(path);
    ASSERT_EQ(back.size(), 6);
    EXPECT_EQ(back[4].remotePort, "10");
    EXPECT_EQ(back[5].remotePort, "11");
}

TEST_F(EventListTest, RecordsReadBackWithoutTheRuleColumn) {
    addRecords(50);
    QList<EventRecord> written = list.records();
    written[7].service = QStringLiteral("Zürich – ok");
    list.clear();
    for (const EventRecord& r : written)
        list.append(r, true);
    ASSERT_TRUE(list.flushIfFull());
    const QList<EventRecord> back = readLogFile(list.dayFilePath());
    ASSERT_EQ(back.size(), 50);
    for (int i = 0; i < 50; ++i) {
        EventRecord expected = written[i];
        expected.rule.clear();
        EXPECT_EQ(back[i], expected) << i;
    }
}

TEST(LogFileReader, AcceptsLineEndsEncodingsAndDamage) {
    const QByteArray bytes = "\"1\",\"TCP\",\"a\",\"1\",\"b\",\"2\",\"-\",\"ESTABLISHED\"\n" // LF
                             "\r\n"                                       // blank line
                             "\"2\",\"TCP\",\"M\xfcnchen\x80\",\"1\"\r\n" // 1252, short
                             " plain , \"q\"junk,,x,y,z,w,v,extra\r"      // unquoted, CR
                             "\"3\",\"TCP\",\"never closed";              // no line end
    const QList<EventRecord> r = parseLogFile(bytes);
    ASSERT_EQ(r.size(), 4);
    EXPECT_EQ(r[0].status, "ESTABLISHED");
    EXPECT_EQ(r[1].localAddress, QString::fromUtf8("München€"));
    EXPECT_EQ(r[1].localPort, "1");
    EXPECT_EQ(r[1].status, "");
    EXPECT_EQ(r[2], (EventRecord{"plain", "q", "", "x", "y", "z", "w", "v", ""}));
    EXPECT_EQ(r[3].localAddress, "never closed");

    QString error;
    EXPECT_TRUE(readLogFile(QStringLiteral("/nonexistent/x.tvl"), &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
}

// A flush that cannot write keeps its records and leaves the file as it was.
TEST_F(EventListTest, ReadOnlyFolderKeepsRecordsAndFile) {
    const QString path = list.dayFilePath();
    int failed = 0;
    QObject::connect(&list, &EventList::writeFailed, &list, [&failed] { ++failed; });
    for (const QByteArray& old : {QByteArray("\"old\"\r\n"), QByteArray(150 * 1024, 'a')}) {
        SCOPED_TRACE(old.size()); // small: append; large: replace
        ASSERT_TRUE(writeFile(path, old));
        auto mount = ScratchMount::readOnly(dir.path() + "/Logs");
        TARVOK_REQUIRE_MOUNT(mount);
        failed = 0;
        addRecords(50);
        EXPECT_FALSE(list.flushIfFull());
        addRecords(1, 100);
        EXPECT_FALSE(list.flushIfFull());
        EXPECT_EQ(failed, 1); // told once, not at every pass
        EXPECT_EQ(list.count(), 51);
        EXPECT_FALSE(list.lastError().isEmpty());
        EXPECT_EQ(readFile(path), old);

        mount.release();
        EXPECT_TRUE(list.flushIfFull());
        EXPECT_EQ(list.count(), 0);
        EXPECT_EQ(readFile(path).count('\n'), 51 + (old.size() < 100 ? 1 : 0));
    }
}

TEST_F(EventListTest, FullDiskKeepsRecordsAndFile) {
    auto disk = ScratchMount::smallDisk(dir.path() + "/Logs");
    TARVOK_REQUIRE_MOUNT(disk);
    const QString path = list.dayFilePath();
    const QByteArray old = "\"old\"\r\n";
    ASSERT_TRUE(writeFile(path, old));
    ASSERT_TRUE(disk.fill());
    addRecords(50);
    EXPECT_FALSE(list.flushIfFull()); // append
    EXPECT_FALSE(list.flushAtExit());
    settings.values[QStringLiteral("LogSize")] = QStringLiteral("0");
    EXPECT_FALSE(list.flushIfFull()); // replace
    EXPECT_EQ(list.count(), 50);
    EXPECT_EQ(readFile(path), old);
}

} // namespace
