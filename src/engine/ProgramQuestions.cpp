#include "engine/ProgramQuestions.h"

#include "engine/ProgramFiles.h"
#include "engine/ServiceNames.h"
#include "platform/Processes.h"

#include <QLocale>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tarvok {

namespace {

QString addressText(std::uint8_t family, const enforcer::Address& address) {
    char text[INET6_ADDRSTRLEN] = {};
    const int af = family == 6 ? AF_INET6 : AF_INET;
    return ::inet_ntop(af, address.data(), text, sizeof text) ? QString::fromLatin1(text)
                                                                : QString();
}

bool runs(quint32 pid, const enforcer::ProgramFile& program) {
    const std::optional<ProgramIdentity> running =
        statProgram(QStringLiteral("/proc/%1/exe").arg(pid));
    return running && *running == ProgramIdentity{program.device, program.inode};
}

// The path of the file that process pid runs, while that is still the asked program's file
// (checked on both sides of reading the link); empty once the pid runs another program, so
// that no rule is ever made for whatever holds the pid by now.
QString runningPath(quint32 pid, const enforcer::ProgramFile& program) {
    if (!runs(pid, program))
        return {};
    const QString path = QString::fromStdString(platform::readProcess(pid).imagePath);
    return runs(pid, program) ? path : QString();
}

} // namespace

ProgramQuestions::ProgramQuestions(EnforcerLink& link, QObject* parent)
    : QObject(parent), m_link(link) {
    m_expiry.setSingleShot(true);
    connect(&m_expiry, &QTimer::timeout, this, &ProgramQuestions::expire);
    connect(&link, &EnforcerLink::question, this, &ProgramQuestions::ask);
    connect(&link, &EnforcerLink::questionGone, this, &ProgramQuestions::gone);
    // An enforcer that ended took what it held along (the kernel drops it): nothing is left
    // to answer, and an answer to the next enforcer would mean nothing.
    connect(&link, &EnforcerLink::gone, this, [this] {
        while (!m_open.empty())
            gone(m_open.front().program);
    });
}

int ProgramQuestions::indexOf(const enforcer::ProgramFile& program) const {
    for (std::size_t i = 0; i < m_open.size(); ++i)
        if (m_open[i].program == program)
            return static_cast<int>(i);
    return -1;
}

void ProgramQuestions::ask(const enforcer::Question& asked) {
    // The enforcer asks once per program; a repeat adds nothing while the first is open.
    if (indexOf(asked.program) >= 0)
        return;
    Question question;
    question.program = asked.program;
    question.pid = asked.pid;
    question.path = runningPath(asked.pid, asked.program);
    question.family = asked.family;
    question.protocol = asked.protocol;
    question.remoteAddress = addressText(asked.family, asked.remote);
    question.remotePort = asked.remotePort;
    question.asked = QDateTime::currentDateTime();
    question.deadline = QDeadlineTimer(m_timeout);
    const bool someone = !m_someoneToAsk || m_someoneToAsk();
    if (!someone || static_cast<int>(m_open.size()) >= MaxOpen) {
        settle(question, defaultVerdict(), Source::NoOneToAsk);
        return;
    }
    m_open.push_back(question);
    emit added(m_open.back());
    scheduleExpiry();
}

void ProgramQuestions::gone(const enforcer::ProgramFile& program) {
    const int row = indexOf(program);
    if (row < 0)
        return;
    m_open.erase(m_open.begin() + row);
    emit removed(program);
    scheduleExpiry();
}

bool ProgramQuestions::answer(const enforcer::ProgramFile& program, Verdict verdict) {
    const int row = indexOf(program);
    if (row < 0)
        return false;
    const Question question = m_open[static_cast<std::size_t>(row)];
    m_open.erase(m_open.begin() + row);
    emit removed(program);
    settle(question, verdict, Source::User);
    scheduleExpiry();
    return true;
}

void ProgramQuestions::answerAllByDefault() {
    m_expiry.stop();
    while (!m_open.empty()) {
        const Question question = m_open.front();
        m_open.erase(m_open.begin());
        emit removed(question.program);
        settle(question, defaultVerdict(), Source::NoOneToAsk);
    }
}

void ProgramQuestions::settle(Question question, Verdict verdict, Source source) {
    const bool allow = verdict == Verdict::AllowOnce || verdict == Verdict::AllowAlways;
    const bool always = verdict == Verdict::AllowAlways || verdict == Verdict::BlockAlways;
    // The rule goes in first, so that the program's next connection meets it rather than a
    // question; a program whose file could not be named gets the answer once.
    if (always && !question.path.isEmpty())
        emit programRuleWanted(question.path, allow, question.pid);
    m_link.answer(question.program, allow);
    record(question, allow, source);
    emit answered(question, verdict, source);
}

QString ProgramQuestions::statusText(bool allow, Source source) {
    if (source == Source::User)
        return allow ? QStringLiteral("ALLOWED BY USER") : QStringLiteral("BLOCKED BY USER");
    return allow ? QStringLiteral("ALLOWED: NO ANSWER") : QStringLiteral("BLOCKED: NO ANSWER");
}

void ProgramQuestions::record(const Question& question, bool allow, Source source) {
    if (!m_events)
        return;
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    const QString port = QString::number(question.remotePort);
    EventRecord event{
        locale.toString(now.time(), QLocale::ShortFormat) + QStringLiteral(" - ") +
            locale.toString(now.date(), QLocale::ShortFormat),
        question.protocol == IPPROTO_UDP ? QStringLiteral("UDP") : QStringLiteral("TCP"),
        QStringLiteral("-"), // the held connection has no local end Tarvok was told of
        QStringLiteral("-"),
        question.remoteAddress,
        port,
        serviceName(port),
        statusText(allow, source),
        QStringLiteral("(0)"),
        question.path,
        QString::number(question.pid),
    };
    // Every answer is its own event, however like an earlier one it looks.
    m_events->append(event, true);
    m_events->flush();
}

void ProgramQuestions::expire() {
    // Questions were opened in order with one time-out, but a changed time-out breaks that.
    for (std::size_t i = 0; i < m_open.size();) {
        if (!m_open[i].deadline.hasExpired()) {
            ++i;
            continue;
        }
        const Question question = m_open[i];
        m_open.erase(m_open.begin() + static_cast<std::ptrdiff_t>(i));
        emit removed(question.program);
        settle(question, defaultVerdict(), Source::TimedOut);
    }
    scheduleExpiry();
}

void ProgramQuestions::scheduleExpiry() {
    if (m_open.empty()) {
        m_expiry.stop();
        return;
    }
    qint64 soonest = m_open.front().deadline.remainingTime();
    for (const Question& question : m_open)
        soonest = std::min(soonest, question.deadline.remainingTime());
    m_expiry.start(static_cast<int>(std::max<qint64>(soonest, 0)));
}

} // namespace tarvok
