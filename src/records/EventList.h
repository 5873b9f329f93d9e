#pragma once
// The event list ListLog: this run's event records, shown on the Log tab and kept as the write
// buffer of the day's log file, plus the reader that loads a log file back for the log viewer.

#include "engine/EngineServices.h"

#include <QAbstractTableModel>
#include <QDate>
#include <QList>
#include <QLocale>

#include <functional>

namespace tarvok {

class EventList : public QAbstractTableModel, public EventSink {
    Q_OBJECT
public:
    enum Column {
        Time,
        Protocol,
        LocalAddress,
        LocalPort,
        RemoteAddress,
        RemotePort,
        Service,
        Status,
        Rule,
        ColumnCount
    };
    // A flush after a rule match writes the list once it holds this many records.
    static constexpr int FlushThreshold = 50;
    // LogSize when the setting is empty, in kilobytes.
    static constexpr double DefaultLogSize = 512;

    // programFolder holds Logs/; LogSize is read from settings at every flush.
    EventList(const QString& programFolder, const SettingsStore& settings,
              QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    int count() const { return static_cast<int>(m_records.size()); }
    const EventRecord& record(int row) const { return m_records.at(row); }
    const QList<EventRecord>& records() const { return m_records; }

    void append(const EventRecord& record, bool skipDuplicateCheck) override;
    // The flush after a rule match; see flushIfFull.
    void flush() override { flushIfFull(); }
    // Writes the list to the day's file once it holds FlushThreshold records or more, under
    // the LogSize rule, and empties it. Returns false when the write failed: the records then
    // stay listed for a later flush, the file is as it was and writeFailed is emitted.
    bool flushIfFull();
    // The flush at exit: appends whatever is listed, without the size rule.
    bool flushAtExit();
    // The Log tab's Clear command: writes the records not yet written to the day's file (as
    // a flush does, under the LogSize rule), then empties the list. When the write fails the
    // records stay listed, so that clearing the view never loses a record; false then.
    bool clear();

    QString logsFolder() const;
    // program folder + "/Logs/" + the day's date text with "/" replaced by "-" + ".tvl".
    QString dayFilePath() const;
    static QString dayFileName(const QDate& day, const QLocale& locale);
    // The time field of a record: time of day, " - ", date, in the locale's short formats.
    static QString eventTime(const QDateTime& moment, const QLocale& locale);
    // A log file's size in whole kilobytes, rounded half to even.
    static qint64 sizeInKilobytes(qint64 bytes);

    // The day and the date format come from the system unless a test pins them.
    void setToday(std::function<QDate()> today) { m_today = std::move(today); }
    void setLocale(const QLocale& locale) { m_locale = locale; }

    // Why the last write failed; empty after a write that succeeded.
    QString lastError() const { return m_lastError; }

signals:
    // Emitted when a write fails after the previous one succeeded, so that a full disk is
    // reported once rather than at every pass.
    void writeFailed(const QString& path, const QString& error);
    // Emitted when a write succeeds after a failed one: the outage is over.
    void writeResumed();

private:
    bool write(bool applySizeLimit);
    void empty();
    bool fail(const QString& path, const QString& error);
    double logSizeLimit() const;

    QString m_programFolder;
    const SettingsStore& m_settings;
    QList<EventRecord> m_records;
    std::function<QDate()> m_today;
    QLocale m_locale = QLocale::system();
    QString m_lastError;
};

// Reads a log file for the log viewer: one record per line, eight fields (the rule column is
// not stored, so it stays empty). Damaged lines keep what could be read; a file that cannot be
// opened gives no records and, when error is given, the reason.
QList<EventRecord> readLogFile(const QString& path, QString* error = nullptr);
// The same from the file's bytes.
QList<EventRecord> parseLogFile(const QByteArray& bytes);

} // namespace tarvok
