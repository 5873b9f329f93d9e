#include "monitor/QuestionRows.h"

#include "engine/EngineServices.h"
#include "engine/Prompter.h"
#include "monitor/ConnectionListModel.h"
#include "platform/Processes.h"

#include <netinet/in.h>

namespace tarvok {

QuestionRows::QuestionRows(ProgramQuestions& questions, Prompter& prompter,
                           const Localiser& language, QObject* parent)
    : QAbstractTableModel(parent), m_questions(questions), m_prompter(prompter),
      m_language(language) {
    m_countdown.setInterval(1000);
    connect(&m_countdown, &QTimer::timeout, this, &QuestionRows::tick);
    connect(&questions, &ProgramQuestions::added, this, &QuestionRows::add);
    connect(&questions, &ProgramQuestions::removed, this, &QuestionRows::remove);
    for (const ProgramQuestions::Question& question : questions.open())
        add(question);
}

int QuestionRows::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int QuestionRows::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant QuestionRows::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const ProgramQuestions::Question& question = m_rows[static_cast<std::size_t>(index.row())];
    if (role == Qt::DecorationRole && index.column() == PathColumn && m_icons)
        return m_icons->icon(question.path);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    switch (index.column()) {
    case PathColumn: return question.path;
    case AddressColumn: return question.remoteAddress;
    case PortColumn:
        return QString::number(question.remotePort) +
               (question.protocol == IPPROTO_UDP ? QStringLiteral("/UDP") : QStringLiteral("/TCP"));
    case PidColumn: return QString::number(question.pid);
    case CountdownColumn: {
        const qint64 seconds = (std::max<qint64>(question.deadline.remainingTime(), 0) + 999) / 1000;
        const int key = m_questions.defaultAllow() ? language::question::AllowedIn
                                                   : language::question::BlockedIn;
        QString text = m_language.text(QStringLiteral("Alert"), key);
        if (!text.contains(QLatin1String("%1")))
            text = m_questions.defaultAllow() ? QStringLiteral("Allowed in %1 s")
                                              : QStringLiteral("Blocked in %1 s");
        return text.arg(seconds);
    }
    default: return {};
    }
}

QVariant QuestionRows::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    const auto alert = [this](int key) { return m_language.text(QStringLiteral("Alert"), key); };
    switch (section) {
    case PathColumn: return alert(2);
    case AddressColumn: return m_language.text(QStringLiteral("Main"), 51); // "Remote Address"
    case PortColumn: return alert(language::question::PortHeader);
    case PidColumn: return m_language.text(QStringLiteral("Main"), 220); // "Process ID"
    case CountdownColumn: return alert(language::question::WhenNoAnswer);
    default: return {};
    }
}

void QuestionRows::refreshTexts() { emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1); }

void QuestionRows::add(const ProgramQuestions::Question& question) {
    const int at = rowCount();
    beginInsertRows({}, at, at);
    m_rows.push_back(question);
    endInsertRows();
    if (!m_countdown.isActive())
        m_countdown.start();
}

void QuestionRows::remove(const enforcer::ProgramFile& program) {
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (!(m_rows[i].program == program))
            continue;
        const int row = static_cast<int>(i);
        beginRemoveRows({}, row, row);
        m_rows.erase(m_rows.begin() + row);
        endRemoveRows();
        break;
    }
    if (m_rows.empty())
        m_countdown.stop();
}

void QuestionRows::tick() {
    if (!m_rows.empty())
        emit dataChanged(index(0, CountdownColumn), index(rowCount() - 1, CountdownColumn),
                         {Qt::DisplayRole});
}

void QuestionRows::answer(int row, ProgramQuestions::Verdict verdict) {
    if (row >= 0 && row < rowCount())
        m_questions.answer(m_rows[static_cast<std::size_t>(row)].program, verdict);
}

void QuestionRows::kill(int row) {
    if (row < 0 || row >= rowCount())
        return;
    const ProgramQuestions::Question question = m_rows[static_cast<std::size_t>(row)];
    const QString text = m_language.text(QStringLiteral("Alert"), 2) + QStringLiteral(": ") + question.path;
    if (m_prompter.message(text, Prompter::ExclamationYesNo,
                           m_language.text(QStringLiteral("Main"), 92) + QLatin1Char('?')) != Prompter::Yes)
        return;
    // The question may have been answered while the box was open; then only the end is left.
    m_questions.answer(question.program, ProgramQuestions::Verdict::BlockOnce);
    if (!platform::endProcess(question.pid, question.path.toStdString()))
        m_prompter.message(m_language.text(QStringLiteral("Main"), 94), Prompter::Critical,
                           m_language.text(QStringLiteral("Alert"), 5));
}

} // namespace tarvok
