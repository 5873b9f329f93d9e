#include "records/History.h"

#include "records/TextFiles.h"
#include "settings/SaveFile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace tarvok {

HistoryList::HistoryList(const QString& programFolder, QObject* parent)
    : QAbstractTableModel(parent), m_programFolder(programFolder) {
    setObjectName(QStringLiteral("ListHistory"));
}

int HistoryList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

int HistoryList::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryList::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole ||
        !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    return m_rows.at(index.row()).at(index.column());
}

QString HistoryList::filePath() const {
    return m_programFolder + QStringLiteral("/History.tvh");
}

bool HistoryList::load() {
    const QString path = filePath();
    QList<QStringList> rows;
    m_unreadable = false;
    m_lastError.clear();
    bool ok = true;
    if (!QFileInfo::exists(path)) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly, PrivateFile)) {
            m_lastError = file.errorString();
            ok = false;
        }
    } else {
        QFile file(path);
        QByteArray bytes;
        if (file.open(QIODevice::ReadOnly))
            bytes = file.readAll();
        if (file.error() != QFile::NoError) {
            // Saving over a history that could not be read would lose it.
            m_unreadable = true;
            m_lastError = file.errorString();
            ok = false;
        }
        rows = parseQuotedLines(decodeFileText(bytes), ColumnCount);
    }
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
    return ok;
}

QStringList HistoryList::recordOf(const RunSummary& run) {
    const QString kb = QStringLiteral(" (KB)");
    return {run.startDate,       run.startTime + QStringLiteral(" - ") + run.endTime,
            run.receivedKB + kb, run.sentKB + kb,
            run.totalKB + kb,    run.cuts};
}

bool HistoryList::save(const RunSummary& run) {
    const QString path = filePath();
    QString error;
    bool ok = false;
    if (m_unreadable) {
        error = QStringLiteral("it could not be read at start-up (%1)").arg(m_lastError);
    } else {
        QByteArray text = quotedLine(recordOf(run));
        for (const QStringList& row : std::as_const(m_rows))
            text += quotedLine(row);
        ok = saveFileAtomically(path, text, &error);
    }
    if (ok) {
        m_lastError.clear();
        return true;
    }
    m_lastError = error;
    return false;
}

void HistoryList::clearSelection(const QList<int>& rows) {
    QList<int> sorted = rows;
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    for (const int row : std::as_const(sorted)) {
        if (row < 0 || row >= count())
            continue;
        beginRemoveRows({}, row, row);
        m_rows.removeAt(row);
        endRemoveRows();
    }
}

void HistoryList::clearAll() {
    if (m_rows.isEmpty())
        return;
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

} // namespace tarvok
