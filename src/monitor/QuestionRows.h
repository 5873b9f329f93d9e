#pragma once
// The alert window's rows of programs held at their first connection, waiting for an answer:
// one per program asked, with its icon, path, the remote end it tried first, its process and
// what happens when no answer comes (a countdown). Each row is answered on its own; the rows
// follow the questions, which leave when answered, timed out or gone.

#include "engine/ProgramQuestions.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <vector>

namespace tarvok {

class IconSource;
class Localiser;
class Prompter;

namespace language::question {
constexpr int Heading = 10;     // [Alert] above the rows
constexpr int AllowOnce = 11;   // [Alert] the answers
constexpr int BlockOnce = 12;
constexpr int AllowAlways = 13;
constexpr int BlockAlways = 14;
constexpr int PortHeader = 15;  // [Alert] the column of the remote port and protocol
constexpr int WhenNoAnswer = 16; // [Alert] the countdown's column
constexpr int BlockedIn = 17;   // [Alert] %1 seconds left
constexpr int AllowedIn = 18;
constexpr int ListName = 19;    // [Alert] the list's accessible name
} // namespace language::question

class QuestionRows : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { PathColumn, AddressColumn, PortColumn, PidColumn, CountdownColumn, ColumnCount };

    QuestionRows(ProgramQuestions& questions, Prompter& prompter, const Localiser& language,
                 QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void setIconSource(IconSource* icons) { m_icons = icons; }
    void refreshTexts();
    const ProgramQuestions::Question& row(int index) const {
        return m_rows.at(static_cast<std::size_t>(index));
    }

    // Answers the row's question; no row, nothing.
    void answer(int row, ProgramQuestions::Verdict verdict);
    // Asks, then blocks the row's program once and ends its process; No, nothing happens. A
    // failed end is reported; the answer stands.
    void kill(int row);

private:
    void add(const ProgramQuestions::Question& question);
    void remove(const enforcer::ProgramFile& program);
    void tick();

    ProgramQuestions& m_questions;
    Prompter& m_prompter;
    const Localiser& m_language;
    IconSource* m_icons = nullptr;
    std::vector<ProgramQuestions::Question> m_rows;
    QTimer m_countdown; // once a second while rows wait
};

} // namespace tarvok
