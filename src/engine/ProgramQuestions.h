#pragma once
// The questions the enforcer asks while asking is on: a program without a rule is held at its
// first connection until someone says whether it may connect. One open question per program
// (its executable file), with the process and the remote end that came first. Each answer goes
// to the enforcer and becomes an event record; "always" also asks for a rule for the whole
// program at the top of the policy. Nothing here waits: a question nobody answers gets the
// default answer at its deadline, and one that nobody can be asked (no one is there, or too
// many already wait) gets it at once.

#include "engine/EnforcerLink.h"
#include "engine/EngineServices.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <vector>

namespace tarvok {

class ProgramQuestions : public QObject {
    Q_OBJECT
public:
    // More programs than this waiting at once: the next gets the default answer at once.
    static constexpr int MaxOpen = 100;
    static constexpr int DefaultTimeoutSeconds = 60;

    enum class Verdict { AllowOnce, BlockOnce, AllowAlways, BlockAlways };
    // Who answered: the user, the deadline, or nobody could be asked.
    enum class Source { User, TimedOut, NoOneToAsk };

    struct Question {
        enforcer::ProgramFile program;
        // From /proc/<pid>/exe when asked; empty when the pid no longer ran the asked file.
        // A file replaced since the process started keeps its path, as the alert shows it.
        QString path;
        quint32 pid = 0;
        quint8 family = 4;
        quint8 protocol = 6;
        QString remoteAddress;
        quint16 remotePort = 0;
        QDateTime asked;
        QDeadlineTimer deadline;
    };

    explicit ProgramQuestions(EnforcerLink& link, QObject* parent = nullptr);

    // Where the answers are recorded (the event list, and from it the log and the journal).
    void setEventSink(EventSink* sink) { m_events = sink; }
    // The time a question waits for an answer; questions asked from now on.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    std::chrono::milliseconds timeout() const { return m_timeout; }
    // The answer at the deadline or when nobody can be asked: allow once, else block once.
    void setDefaultAllow(bool allow) { m_defaultAllow = allow; }
    bool defaultAllow() const { return m_defaultAllow; }
    // Whether a person can answer now; asked at each new question.
    void setSomeoneToAsk(std::function<bool()> present) { m_someoneToAsk = std::move(present); }

    const std::vector<Question>& open() const { return m_open; }
    // The row of the program's open question, or -1.
    int indexOf(const enforcer::ProgramFile& program) const;

    // The user's answer to the program's open question; false when it has none.
    bool answer(const enforcer::ProgramFile& program, Verdict verdict);
    // Every open question gets the default answer now, recorded as unanswered: the session or
    // the program ends.
    void answerAllByDefault();

    // The record's status for an answer.
    static QString statusText(bool allow, Source source);

signals:
    // A question was opened (appended to open()), or left it (answered or gone).
    void added(const tarvok::ProgramQuestions::Question& question);
    void removed(const tarvok::enforcer::ProgramFile& program);
    // An answer was sent to the enforcer, opened question or not.
    void answered(const tarvok::ProgramQuestions::Question& question,
                  tarvok::ProgramQuestions::Verdict verdict,
                  tarvok::ProgramQuestions::Source source);
    // "Always": a rule for the whole program at path, accept or block, is wanted at the top.
    void programRuleWanted(const QString& path, bool accept, quint32 pid);

private:
    void ask(const enforcer::Question& question);
    void gone(const enforcer::ProgramFile& program);
    void settle(Question question, Verdict verdict, Source source);
    void record(const Question& question, bool allow, Source source);
    void expire();
    void scheduleExpiry();
    Verdict defaultVerdict() const { return m_defaultAllow ? Verdict::AllowOnce : Verdict::BlockOnce; }

    EnforcerLink& m_link;
    EventSink* m_events = nullptr;
    std::function<bool()> m_someoneToAsk;
    std::chrono::milliseconds m_timeout{std::chrono::seconds(DefaultTimeoutSeconds)};
    bool m_defaultAllow = false;
    std::vector<Question> m_open;
    QTimer m_expiry;
};

} // namespace tarvok
