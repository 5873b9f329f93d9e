#include "records/JournalRecords.h"

#include "records/EventList.h"

#include <QFileInfo>

#include <sys/uio.h>
// Without this, every record carries CODE_FILE with the path of this file on the machine
// that built Tarvok (and the line and function of the call below, which say nothing of
// the event).
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <vector>

namespace tarvok {
namespace journal {
namespace {

// An address with colons (IPv6) is bracketed before its port, as in a URL.
QString endpoint(const QString& address, const QString& port) {
    const QString host = address.contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + address + QLatin1Char(']')
                             : address;
    return port.isEmpty() ? host : host + QLatin1Char(':') + port;
}

} // namespace

QList<QByteArray> fields(const EventRecord& r, const QString& unableClose) {
    QString rule = r.rule;
    rule.remove(QLatin1Char('(')).remove(QLatin1Char(')'));
    // A connection the user or the time-out refused at a question is blocked as well.
    const bool blocked = r.status == QLatin1String("BLOCKED CONNECTION") ||
                         r.status == QLatin1String("BLOCKED BY USER") ||
                         r.status == QLatin1String("BLOCKED: NO ANSWER");
    const bool failed = !blocked && r.status == unableClose;
    // A record without a rule comes from a close that the user asked for.
    const char* action = blocked          ? "block"
                         : failed         ? "cut-failed"
                         : rule.isEmpty() ? "close"
                                          : "accept";
    const int priority = blocked ? Warning : failed ? Error : Info;

    QString message = r.status + QStringLiteral(": ") + r.protocol + QLatin1Char(' ') +
                      endpoint(r.localAddress, r.localPort);
    if (!r.remoteAddress.isEmpty())
        message += QStringLiteral(" -> ") + endpoint(r.remoteAddress, r.remotePort);
    if (!r.service.isEmpty() && r.service != QLatin1String("-"))
        message += QStringLiteral(" (") + r.service + QLatin1Char(')');
    if (!rule.isEmpty())
        message += QStringLiteral(", rule ") + rule;
    if (!r.program.isEmpty())
        message += QStringLiteral(", program ") + r.program;
    if (!r.pid.isEmpty())
        message += QStringLiteral(", pid ") + r.pid;

    QList<QByteArray> result = {"MESSAGE=" + message.toUtf8(),
                                "PRIORITY=" + QByteArray::number(priority),
                                "SYSLOG_IDENTIFIER=tarvok", QByteArray("TARVOK_ACTION=") + action};
    const std::pair<const char*, const QString*> named[] = {
        {"TARVOK_RULE=", &rule},
        {"TARVOK_PROTOCOL=", &r.protocol},
        {"TARVOK_LOCAL_ADDRESS=", &r.localAddress},
        {"TARVOK_LOCAL_PORT=", &r.localPort},
        {"TARVOK_REMOTE_ADDRESS=", &r.remoteAddress},
        {"TARVOK_REMOTE_PORT=", &r.remotePort},
        {"TARVOK_SERVICE=", &r.service},
        {"TARVOK_STATUS=", &r.status},
        {"TARVOK_PROGRAM=", &r.program},
        {"TARVOK_PID=", &r.pid},
    };
    for (const auto& [name, value] : named)
        if (!value->isEmpty())
            result.append(QByteArray(name) + value->toUtf8());
    return result;
}

} // namespace journal

namespace {

void sendToJournal(const QList<QByteArray>& fields) {
    std::vector<iovec> parts;
    parts.reserve(fields.size());
    for (const QByteArray& field : fields)
        parts.push_back({const_cast<char*>(field.constData()), static_cast<size_t>(field.size())});
    // A full or stopped journal is not Tarvok's failure: the log files hold every record.
    (void)sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
}

} // namespace

JournalRecords::JournalRecords(const EventList& events, const SettingsStore& settings,
                               const QString& unableClose, QObject* parent)
    : QObject(parent), m_events(events), m_settings(settings), m_unableClose(unableClose),
      m_running(QFileInfo::exists(QLatin1String(journal::SocketPath))), m_sender(sendToJournal) {
    connect(&events, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { send(first, last); });
}

void JournalRecords::setSender(Sender sender) {
    m_sender = std::move(sender);
    m_running = true;
}

void JournalRecords::send(int first, int last) {
    if (!m_running ||
        m_settings.value(QLatin1String(journal::SettingKey)) == QLatin1String("False"))
        return;
    for (int row = first; row <= last && row < m_events.count(); ++row)
        m_sender(journal::fields(m_events.record(row), m_unableClose));
}

} // namespace tarvok
