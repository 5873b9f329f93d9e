#pragma once
// Sends every event record to the systemd journal as well, with fields of Tarvok's own
// (TARVOK_RULE, TARVOK_ACTION, ...), so that `journalctl -t tarvok TARVOK_RULE=3` finds them
// and the system's own tools can forward them. The log files stay the record of truth: where
// no journal runs nothing is sent and nothing is reported.

#include "engine/EngineServices.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>

namespace tarvok {

class EventList;

namespace journal {

// The config.ini key of the preference; on unless it is "False".
inline constexpr char SettingKey[] = "JournalRecords";
// Where a running journal listens.
inline constexpr char SocketPath[] = "/run/systemd/journal/socket";

// Syslog priorities of the records.
enum Priority { Error = 3, Warning = 4, Info = 6 };

// The journal fields of one record ("NAME=value", empty values left out). unableClose is the
// status text of a cut that failed, in the language in use.
QList<QByteArray> fields(const EventRecord& record, const QString& unableClose);

} // namespace journal

class JournalRecords : public QObject {
    Q_OBJECT
public:
    using Sender = std::function<void(const QList<QByteArray>& fields)>;

    // Follows the records appended to events from now on. unableClose is read at each record,
    // so it follows a change of language.
    JournalRecords(const EventList& events, const SettingsStore& settings,
                   const QString& unableClose, QObject* parent = nullptr);

    // Whether a journal was found running at construction; without one nothing is sent.
    bool journalRunning() const { return m_running; }
    // Where the fields go: sd_journal_sendv by default. Also makes the journal count as
    // running.
    void setSender(Sender sender);

private:
    void send(int first, int last);

    const EventList& m_events;
    const SettingsStore& m_settings;
    const QString& m_unableClose;
    bool m_running = false;
    Sender m_sender;
};

} // namespace tarvok
