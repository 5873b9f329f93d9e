#include "records/EventList.h"

#include "records/TextFiles.h"
#include "settings/SaveFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace tarvok {
namespace {

QStringList storedFields(const EventRecord& r) {
    // The rule column is shown but never stored.
    return {r.time,          r.protocol,   r.localAddress, r.localPort,
            r.remoteAddress, r.remotePort, r.service,      r.status};
}

bool sameConnection(const EventRecord& a, const EventRecord& b) {
    return a.protocol == b.protocol && a.localPort == b.localPort &&
           a.remoteAddress == b.remoteAddress && a.remotePort == b.remotePort &&
           a.status == b.status;
}

} // namespace

EventList::EventList(const QString& programFolder, const SettingsStore& settings, QObject* parent)
    : QAbstractTableModel(parent), m_programFolder(programFolder), m_settings(settings),
      m_today([] { return QDate::currentDate(); }) {
    setObjectName(QStringLiteral("ListLog"));
}

int EventList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

int EventList::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant EventList::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const EventRecord& r = m_records.at(index.row());
    switch (static_cast<Column>(index.column())) {
    case Time:
        return r.time;
    case Protocol:
        return r.protocol;
    case LocalAddress:
        return r.localAddress;
    case LocalPort:
        return r.localPort;
    case RemoteAddress:
        return r.remoteAddress;
    case RemotePort:
        return r.remotePort;
    case Service:
        return r.service;
    case Status:
        return r.status;
    case Rule:
        return r.rule;
    case ColumnCount:
        break;
    }
    return {};
}

void EventList::append(const EventRecord& record, bool skipDuplicateCheck) {
    if (!skipDuplicateCheck) {
        for (const EventRecord& listed : std::as_const(m_records))
            if (sameConnection(listed, record))
                return;
    }
    beginInsertRows({}, count(), count());
    m_records.append(record);
    endInsertRows();
}

bool EventList::flushIfFull() {
    if (count() < FlushThreshold)
        return true;
    return write(true);
}

bool EventList::flushAtExit() {
    if (m_records.isEmpty())
        return true;
    return write(false);
}

bool EventList::clear() {
    return m_records.isEmpty() || write(true);
}

void EventList::empty() {
    if (m_records.isEmpty())
        return;
    beginResetModel();
    m_records.clear();
    endResetModel();
}

QString EventList::logsFolder() const {
    return m_programFolder + QStringLiteral("/Logs");
}

QString EventList::dayFilePath() const {
    return logsFolder() + QLatin1Char('/') + dayFileName(m_today(), m_locale);
}

QString EventList::dayFileName(const QDate& day, const QLocale& locale) {
    QString name = locale.toString(day, QLocale::ShortFormat);
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    return name + QStringLiteral(".tvl");
}

QString EventList::eventTime(const QDateTime& moment, const QLocale& locale) {
    return locale.toString(moment.time(), QLocale::ShortFormat) + QStringLiteral(" - ") +
           locale.toString(moment.date(), QLocale::ShortFormat);
}

qint64 EventList::sizeInKilobytes(qint64 bytes) {
    const qint64 whole = bytes / 1024;
    const qint64 rest = bytes % 1024;
    if (rest > 512 || (rest == 512 && whole % 2 == 1))
        return whole + 1;
    return whole;
}

double EventList::logSizeLimit() const {
    const QString text = m_settings.value(QStringLiteral("LogSize")).trimmed();
    return text.isEmpty() ? DefaultLogSize : leadingNumber(text);
}

bool EventList::fail(const QString& path, const QString& error) {
    const bool first = m_lastError.isEmpty();
    m_lastError = error.isEmpty() ? QStringLiteral("unknown error") : error;
    if (first)
        emit writeFailed(path, m_lastError);
    return false;
}

bool EventList::write(bool applySizeLimit) {
    const QString path = dayFilePath();
    if (!makePrivateFolder(logsFolder()))
        return fail(path, QStringLiteral("the folder %1 could not be created").arg(logsFolder()));

    QByteArray batch;
    for (const EventRecord& r : std::as_const(m_records))
        batch += quotedLine(storedFields(r));

    const QFileInfo info(path);
    // A file that has reached LogSize starts anew with this batch. It is replaced whole, so
    // that a failed write leaves the old file in place.
    const bool replace =
        applySizeLimit && (!info.exists() || !(logSizeLimit() > sizeInKilobytes(info.size())));
    if (replace) {
        QString error;
        if (!saveFileAtomically(path, batch, &error))
            return fail(path, error);
    } else {
        // Unbuffered, so that nothing of a failed batch is left to be written at close.
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                       PrivateFile))
            return fail(path, file.errorString());
        const qint64 before = file.size();
        if (file.write(batch) != batch.size()) {
            const QString error = file.errorString();
            // Take back a partial batch, so that the later flush that writes these records
            // again leaves no half line or doubled lines behind.
            file.resize(before);
            return fail(path, error);
        }
    }

    const bool resumed = !m_lastError.isEmpty();
    m_lastError.clear();
    empty();
    if (resumed)
        emit writeResumed();
    return true;
}

QList<EventRecord> parseLogFile(const QByteArray& bytes) {
    QList<EventRecord> records;
    const QString text = decodeFileText(bytes);
    for (const QStringList& f : parseQuotedLines(text, 8))
        records.append({f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], QString()});
    return records;
}

QList<EventRecord> readLogFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return {};
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFile::NoError && error)
        *error = file.errorString();
    return parseLogFile(bytes);
}

} // namespace tarvok
