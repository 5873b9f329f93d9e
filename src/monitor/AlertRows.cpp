#include "monitor/AlertRows.h"

#include "engine/EngineServices.h"
#include "engine/Prompter.h"
#include "monitor/ProgramRules.h"
#include "platform/Processes.h"

namespace tarvok {

AlertRows::AlertRows(Prompter& prompter, const Localiser& language, QObject* parent)
    : QAbstractTableModel(parent), m_prompter(prompter), m_language(language) {}

int AlertRows::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int AlertRows::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant AlertRows::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Row& row = m_rows[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
        case 0: return row.path;
        case 1: return row.remoteAddress;
        case 2: return QString::number(row.pid);
        default: return {};
        }
    }
    if (role == Qt::DecorationRole && index.column() == 0 && m_icons)
        return m_icons->icon(row.path);
    return {};
}

QVariant AlertRows::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    if (section == 0)
        return m_language.text(QStringLiteral("Alert"), 2);
    if (section == 1)
        return m_language.text(QStringLiteral("Main"), 51); // "Remote Address"
    return m_language.text(QStringLiteral("Main"), 220);   // "Process ID"
}

void AlertRows::refreshTexts() { emit headerDataChanged(Qt::Horizontal, 0, 2); }

void AlertRows::add(const QString& path, const QString& remoteAddress, quint32 pid) {
    const int at = rowCount();
    beginInsertRows({}, at, at);
    m_rows.push_back({path, remoteAddress, pid});
    endInsertRows();
}

void AlertRows::remove(int row) {
    beginRemoveRows({}, row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
    if (m_rows.empty())
        emit emptied();
}

void AlertRows::clear() {
    if (m_rows.empty())
        return;
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

void AlertRows::trust(int row) {
    if (row >= 0 && row < rowCount())
        remove(row);
}

void AlertRows::block(int row) {
    if (row < 0 || row >= rowCount())
        return;
    const Row entry = m_rows[static_cast<std::size_t>(row)];
    if (entry.path.isEmpty())
        return;
    // The row's path was read from the process's exe link when it was announced.
    const monitor::ProgramFile file = monitor::programFileOf(entry.pid, entry.path);
    remove(row);
    emit programRuleRequested(file.path, false,
                              monitor::programRuleDescription(m_language, file, false));
}

void AlertRows::kill(int row) {
    if (row < 0 || row >= rowCount())
        return;
    const Row entry = m_rows[static_cast<std::size_t>(row)];
    const QString question = m_language.text(QStringLiteral("Alert"), 2) + QStringLiteral(": ") + entry.path;
    if (m_prompter.message(question, Prompter::ExclamationYesNo,
                           m_language.text(QStringLiteral("Main"), 92) + QLatin1Char('?')) != Prompter::Yes)
        return;
    if (!platform::endProcess(entry.pid, entry.path.toStdString())) {
        m_prompter.message(m_language.text(QStringLiteral("Main"), 94), Prompter::Critical,
                           m_language.text(QStringLiteral("Alert"), 5));
        return;
    }
    remove(row);
}

} // namespace tarvok
