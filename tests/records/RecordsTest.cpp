// The event list and its day files, the history of runs, and the records sent to the journal.
#include "records/EventList.h"
#include "records/History.h"
#include "records/JournalRecords.h"

#include "fakes/EngineFakes.h"
#include "settings/Settings.h"
#include "support/Loopback.h"
#include "support/ScratchFiles.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// A record per remote port, so that none is a duplicate of another.
EventRecord cut(int remotePort, const QString& localPort = QStringLiteral("50000")) {
    return {"09:15 - 05/03/2024",        "TCP", "192.168.1.10",       localPort, "203.0.113.7",
            QString::number(remotePort), "-",   "BLOCKED CONNECTION", "(3)"};
}

class EventListTest : public ::testing::Test {
protected:
    void SetUp() override {
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

// The file is named by the desktop's short date format, for the day of the flush; the records
// read back as written, in order, without the rule column.
TEST_F(EventListTest, FiftiethRecordFlushesInLineFormatAndOrderToTheDayFile) {
    const QString path = list.dayFilePath();
    EXPECT_EQ(path, dir.path() + "/Logs/3-5-24.tvl");
    addRecords(49);
    EXPECT_TRUE(list.flushIfFull());
    EXPECT_FALSE(QFile::exists(path));
    EventRecord odd = cut(50);
    odd.service = QStringLiteral("Zürich – ok");
    list.append(odd, false);
    QList<EventRecord> written = list.records();
    EXPECT_TRUE(list.flushIfFull());
    EXPECT_TRUE(
        readFile(path).startsWith("\"09:15 - 05/03/2024\",\"TCP\",\"192.168.1.10\",\"50000\","
                                  "\"203.0.113.7\",\"1\",\"-\",\"BLOCKED CONNECTION\"\r\n"));
    for (EventRecord& r : written)
        r.rule.clear();
    EXPECT_EQ(readLogFile(path), written);
    list.setToday([] { return QDate(2024, 3, 6); });
    EXPECT_EQ(list.dayFilePath(), dir.path() + "/Logs/3-6-24.tvl");
}

TEST_F(EventListTest, DuplicateCheckComparesTheConnectionNotTheMoment) {
    EventRecord first = cut(80);
    list.append(first, false);
    const EventRecord again{
        "09:16 - 05/03/2024", "TCP", "10.0.0.1", "50000", "203.0.113.7", "80", "http",
        "BLOCKED CONNECTION", "(4)"};
    list.append(again, false);
    EXPECT_EQ(list.count(), 1);

    list.append(cut(80, QStringLiteral("50001")), false); // another local port
    EventRecord accepted = first;
    accepted.status = QStringLiteral("ESTABLISHED");
    list.append(accepted, false);
    list.append(again, true); // manual actions skip the check
    EXPECT_EQ(list.count(), 4);
}

TEST_F(EventListTest, LogSizeDecidesBetweenAppendAndReplaceButNotAtExit) {
    const QString path = list.dayFilePath();
    const struct {
        qint64 bytes;
        QString logSize;
        bool appended, atExit = false;
    } cases[] = {
        {99 * 1024, "100", true},        {100 * 1024, "100", false},
        {99 * 1024 + 512, "100", false}, // 99.5 KB rounds to 100
        {2 * 1024 * 1024, "512", false}, // a file past 1 MiB counts at its real size
        {99 * 1024, "", true},           // empty LogSize means 512
        {99 * 1024, "abc", false},       // no number means 0
        {200 * 1024, "100", true, true}, // the exit flush appends whatever the size
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        ASSERT_TRUE(writeFile(path, QByteArray(c.bytes, 'a')));
        settings.values[QStringLiteral("LogSize")] = c.logSize;
        addRecords(50);
        ASSERT_TRUE(c.atExit ? list.flushAtExit() : list.flushIfFull());
        const QByteArray after = readFile(path);
        EXPECT_EQ(after.count('\n'), 50);
        EXPECT_EQ(after.startsWith("aaaa"), c.appended);
    }
    // Half a kilobyte rounds to the even number.
    const std::pair<qint64, int> sizes[] = {{511, 0}, {512, 0}, {513, 1}, {1536, 2}, {2560, 2}};
    for (auto [bytes, kilobytes] : sizes)
        EXPECT_EQ(EventList::sizeInKilobytes(bytes), kilobytes) << bytes;
}

// Other users could read what the user connected to: with the common umask 022 the day's log
// (appended at exit), its folder and the history made at the first start were 0644 and 0755.
TEST_F(EventListTest, DayFileItsFolderAndTheHistoryAreTheUsersAlone) {
    const auto restoreMask = qScopeGuard([mask = ::umask(022)] { ::umask(mask); });
    ASSERT_TRUE(QDir(dir.path()).rmdir("Logs"));
    addRecords(1);
    ASSERT_TRUE(list.flushAtExit());
    ASSERT_TRUE(HistoryList(dir.path()).load());
    EXPECT_EQ(std::tuple(fileMode(dir.path() + "/Logs"), fileMode(list.dayFilePath()),
                         fileMode(dir.path() + "/History.tvh")),
              std::tuple(0700, 0600, 0600));
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
    EXPECT_EQ(QStringList({r[1].localAddress, r[1].localPort, r[1].status}),
              QStringList({QString::fromUtf8("München€"), "1", ""}));
    EXPECT_EQ(r[2], (EventRecord{"plain", "q", "", "x", "y", "z", "w", "v", ""}));
    EXPECT_EQ(r[3].localAddress, "never closed");
}

// A flush that cannot write keeps its records, leaves the file as it was and is told once per
// outage; once the fault is gone the records reach the file. Clear Log Window dropped the
// records not yet written: it writes them first, and keeps them while it cannot.
TEST_F(EventListTest, AFlushOrClearThatCannotWriteKeepsItsRecordsAndTheFile) {
    const QString logs = dir.path() + "/Logs", path = list.dayFilePath();
    const QByteArray old = "\"old\"\r\n";
    int failed = 0;
    QObject::connect(&list, &EventList::writeFailed, &list, [&failed] { ++failed; });
    for (const bool full : {false, true}) {
        for (const QString logSize : {"100", "0"}) { // append, replace
            SCOPED_TRACE((full ? "full disk, LogSize " : "read-only, LogSize ") +
                         logSize.toStdString());
            settings.values[QStringLiteral("LogSize")] = logSize;
            ASSERT_TRUE(writeFile(path, old));
            ScratchMount mount =
                full ? ScratchMount::smallDisk(logs) : ScratchMount::readOnly(logs);
            TARVOK_REQUIRE_MOUNT(mount);
            ASSERT_TRUE(!full || (writeFile(path, old) && mount.fill()));
            failed = 0;
            addRecords(50);
            EXPECT_FALSE(list.flushIfFull());
            addRecords(1, 100);
            EXPECT_FALSE(list.flushIfFull());
            EXPECT_EQ(failed, 1); // told once, not at every pass
            EXPECT_FALSE(list.flushAtExit() || list.clear());
            EXPECT_TRUE(list.count() == 51 && !list.lastError().isEmpty());
            EXPECT_EQ(readFile(path), old);

            mount.release();
            addRecords(1, 200);
            EXPECT_TRUE(full ? list.flushIfFull() : list.clear());
            EXPECT_EQ(list.count(), 0);
            EXPECT_EQ(readFile(path).count('\n'), logSize == "0" ? 52 : 53);
        }
    }
}

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

TEST(JournalRecords, EachKindOfRecordGetsItsPriorityActionAndFields) {
    const QString unable = QStringLiteral("Unable to close connection");
    const EventRecord block{
        "10:00 - 1/2/26",     "TCP", "127.0.0.3", "40000", "127.0.0.2", "80", "http",
        "BLOCKED CONNECTION", "(3)"};
    EXPECT_EQ(
        journal::fields(block, unable),
        (QList<QByteArray>{
            "MESSAGE=BLOCKED CONNECTION: TCP 127.0.0.3:40000 -> 127.0.0.2:80 (http), rule 3",
            "PRIORITY=4", "SYSLOG_IDENTIFIER=tarvok", "TARVOK_ACTION=block", "TARVOK_RULE=3",
            "TARVOK_PROTOCOL=TCP", "TARVOK_LOCAL_ADDRESS=127.0.0.3", "TARVOK_LOCAL_PORT=40000",
            "TARVOK_REMOTE_ADDRESS=127.0.0.2", "TARVOK_REMOTE_PORT=80", "TARVOK_SERVICE=http",
            "TARVOK_STATUS=BLOCKED CONNECTION"}));
    // The other kinds: message, priority and action; empty fields are left out.
    const struct {
        EventRecord record;
        QList<QByteArray> first;
    } rows[] = {
        {{"t", "TCP", "fd00::3", "5000", "fd00::2", "443", "https", "ESTABLISHED", "(12)"},
         {"MESSAGE=ESTABLISHED: TCP [fd00::3]:5000 -> [fd00::2]:443 (https), rule 12", "PRIORITY=6",
          "SYSLOG_IDENTIFIER=tarvok", "TARVOK_ACTION=accept"}},
        {{"t", "UDP", "127.0.0.4", "53", "", "", "-", unable, ""},
         {"MESSAGE=Unable to close connection: UDP 127.0.0.4:53", "PRIORITY=3",
          "SYSLOG_IDENTIFIER=tarvok", "TARVOK_ACTION=cut-failed", "TARVOK_PROTOCOL=UDP"}},
        {{"t", "TCP", "127.0.0.5", "6000", "127.0.0.6", "22", "ssh", "Closed", ""},
         {"MESSAGE=Closed: TCP 127.0.0.5:6000 -> 127.0.0.6:22 (ssh)", "PRIORITY=6",
          "SYSLOG_IDENTIFIER=tarvok", "TARVOK_ACTION=close", "TARVOK_PROTOCOL=TCP"}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(journal::fields(row.record, unable).mid(0, row.first.size()), row.first)
            << row.record.status.toStdString();
}

TEST(JournalRecords, EveryAppendedRecordIsSentUnlessThePreferenceIsOff) {
    QTemporaryDir folder;
    Settings settings(folder.path());
    EventList events(folder.path(), settings);
    const QString unable = QStringLiteral("Unable to close connection");
    JournalRecords journal(events, settings, unable);
    QList<QList<QByteArray>> sent;
    journal.setSender([&sent](const QList<QByteArray>& fields) { sent.append(fields); });
    const EventRecord record{"t", "TCP", "127.0.0.3",          "1",  "127.0.0.2",
                             "2", "",    "BLOCKED CONNECTION", "(1)"};
    for (const char* value : {"", "True", "False", "True"}) {
        settings.setValue(journal::SettingKey, value);
        events.append(record, true);
    }
    ASSERT_EQ(sent.size(), 3);
    EXPECT_EQ(sent[0], journal::fields(record, unable));
}

// Every record carried CODE_FILE with the path of the source file as the build machine's
// compiler saw it (absolute, or relative to the build folder). A journal socket of the test's
// own hears what the real sender sends.
TEST(JournalRecords, RecordsCarryNoSourcePathOfTheBuildMachine) {
    ScratchMount run = ScratchMount::smallDisk(QStringLiteral("/run"));
    TARVOK_REQUIRE_MOUNT(run);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(journal::SocketPath).path()));
    const Fd listener(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, journal::SocketPath);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    QTemporaryDir folder;
    Settings settings(folder.path());
    EventList events(folder.path(), settings);
    JournalRecords journal(events, settings, QStringLiteral("Unable to close connection"));
    ASSERT_TRUE(journal.journalRunning());
    events.append({"t", "TCP", "127.0.0.3", "1", "127.0.0.2", "2", "", "BLOCKED CONNECTION", "(1)"},
                  true);
    char buffer[4096];
    const ssize_t size = ::recv(listener.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    ASSERT_GT(size, 0);
    const QByteArray sent(buffer, size);
    EXPECT_TRUE(sent.contains("\nTARVOK_ACTION=block\n")) << sent.toStdString();
    for (const QByteArray& field : sent.split('\n'))
        EXPECT_FALSE(field.startsWith("CODE_FILE=/") || field.startsWith("CODE_FILE=..") ||
                     field.contains("/src/records/"))
            << field.toStdString();
}

} // namespace
