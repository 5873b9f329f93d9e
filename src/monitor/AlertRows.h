#pragma once
// The rows of the alert window: one per program seen on the network for the first time, with
// the remote address that revealed it and its process id, and what Trust, Block and Kill do to
// them.

#include "monitor/ConnectionListModel.h"

#include <QAbstractTableModel>

#include <vector>

namespace tarvok {

class Localiser;
class Prompter;

class AlertRows : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Row {
        QString path;
        QString remoteAddress;
        quint32 pid = 0;
    };

    AlertRows(Prompter& prompter, const Localiser& language, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void setIconSource(IconSource* icons) { m_icons = icons; }
    // Header texts follow the language at every announcement.
    void refreshTexts();

    void add(const QString& path, const QString& remoteAddress, quint32 pid);
    const Row& row(int index) const { return m_rows.at(static_cast<std::size_t>(index)); }

    // Removes the row (no rule is made and the program stays known).
    void trust(int row);
    // Asks for a block rule for the row's program at the top of the policy, and removes the
    // row as Trust does. A row without a program path asks for nothing.
    void block(int row);
    // Asks, then ends the row's process; the row goes only when that worked, and a failure is
    // reported. No row, or No for an answer: nothing happens.
    void kill(int row);
    // Discards every row (the window has closed); the programs stay known.
    void clear();

signals:
    // The last row has gone: the window closes.
    void emptied();
    // A rule for the program at path (accept, or block) with that description is wanted.
    void programRuleRequested(const QString& path, bool accept, const QString& description);

private:
    void remove(int row);

    Prompter& m_prompter;
    const Localiser& m_language;
    IconSource* m_icons = nullptr;
    std::vector<Row> m_rows;
};

} // namespace tarvok
