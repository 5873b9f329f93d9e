#pragma once
// The history ListHistory: one row per earlier run of the program, newest first, loaded from
// History.tvh at start-up and written back, headed by the ending run, at exit.

#include <QAbstractTableModel>
#include <QList>
#include <QStringList>

namespace tarvok {

// The values of the ending run that make up its history record.
struct RunSummary {
    QString startDate;  // the date the run started
    QString startTime;  // the time it started
    QString endTime;    // the time it ended
    QString receivedKB; // traffic in kilobytes, as displayed
    QString sentKB;
    QString totalKB;
    QString cuts = QStringLiteral("0"); // connections cut during the run
};

class HistoryList : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Date, Times, Received, Sent, Total, Cuts, ColumnCount };

    explicit HistoryList(const QString& programFolder, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    int count() const { return static_cast<int>(m_rows.size()); }
    // A row's six fields in column order.
    const QStringList& row(int index) const { return m_rows.at(index); }

    QString filePath() const;

    // Fills the list from History.tvh, replacing its rows; creates the file empty when it is
    // missing. Returns false when the file could not be read or created.
    bool load();
    // Rewrites History.tvh: the ending run first, then every row. The file is replaced whole;
    // on failure it stays as it was and false is returned, with the reason in lastError(). A
    // file that existed but could not be read at load is not overwritten. The caller tells
    // the user, or standard error when nobody can answer.
    bool save(const RunSummary& run);
    // Removes the rows at the given indexes; indexes out of range are ignored.
    void clearSelection(const QList<int>& rows);
    void clearAll();

    // The six fields of a run's record.
    static QStringList recordOf(const RunSummary& run);

    QString lastError() const { return m_lastError; }

private:
    QString m_programFolder;
    QList<QStringList> m_rows;
    bool m_unreadable = false;
    QString m_lastError;
};

} // namespace tarvok
