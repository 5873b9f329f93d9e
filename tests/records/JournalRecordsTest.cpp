#include "records/JournalRecords.h"
#include "records/EventList.h"
#include "settings/Settings.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarvok;

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
