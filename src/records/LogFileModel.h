#pragma once
// The rows of the log viewer: one log file's records, eight columns (the event list's minus
// the rule), sortable by any column in the order that suits the column's kind.

#include "engine/EngineServices.h"
#include "records/LogSort.h"

#include <QAbstractTableModel>
#include <QList>

#include <array>

namespace tarvok {

class LogFileModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ColumnCount = 8;
    // The row's picture: 3 for an established connection, 4 for a blocked one, 0 for none.
    static constexpr int ImageRole = Qt::UserRole + 1;

    explicit LogFileModel(QObject* parent = nullptr);

    // Replaces every row at once.
    void setRecords(QList<EventRecord> records);
    const QList<EventRecord>& records() const { return m_records; }
    const EventRecord& record(int row) const { return m_records.at(row); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Time and date sort as dates, the two ports as numbers, the rest as text.
    static SortKind kindOf(int column);
    // A click on a column header: sorts by it, ascending and descending in turn, each column
    // keeping its own direction.
    void sortByClick(int column);
    void sortBy(int column, bool ascending);
    // Whether the next click on column sorts ascending.
    bool nextAscending(int column) const;

    void setLocale(const QLocale& locale) { m_locale = locale; }

private:
    static QString field(const EventRecord& record, int column);

    QList<EventRecord> m_records;
    std::array<bool, ColumnCount> m_descendingNext{};
    QLocale m_locale = QLocale::system();
};

} // namespace tarvok
