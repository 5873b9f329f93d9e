#pragma once
// The window's side of the enforcer: it starts tarvok-enforcer, the one process of Tarvok that
// holds capabilities, and asks it for every privileged act over their socket. A policy is
// handed over and its outcome comes later (policyWritten); a cut waits for its answer, since
// the pass goes on only when it knows. What the enforcer reports on its own (refusals) and
// answers that arrive while a cut waits are delivered from the event loop, never from inside
// the call that read them, so no handler runs nested in a pass.

#include "enforcer/Protocol.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <deque>
#include <memory>

namespace tarvok {

class EnforcerLink : public QObject {
    Q_OBJECT
public:
    static constexpr int AnswerTimeoutMs = 5000;

    explicit EnforcerLink(QObject* parent = nullptr);
    // Says goodbye when the enforcer still runs: an object that ends is an orderly end.
    ~EnforcerLink() override;

    // Starts the enforcer at program for this instance and waits for its greeting; false with
    // failure() saying why.
    bool start(const QString& program, quint64 instance);
    // Starts the enforcer again, as the last start() did, after it ended unasked; false when
    // there was no start() or it fails again.
    bool restart();
    // Takes over this user's enforcer of the instance whose window ended unexpectedly, its
    // policy still in force; false when there is none. program is what restart() runs.
    bool adopt(const QString& program, quint64 instance);
    bool adopted() const { return m_adopted; }
    bool isRunning() const { return m_socket >= 0; }
    const QString& failure() const { return m_failure; }
    const QString& tableName() const { return m_tableName; }
    quint16 logGroup() const { return m_logGroup; }
    // The enforcer's process id when this link started it; -1 otherwise.
    int pid() const { return m_pid; }
    std::uint32_t abilities() const { return m_abilities; }
    // Whether the program filter decides outgoing connections in the kernel, and why not.
    bool filterInForce() const { return m_abilities & enforcer::FilterInForce; }
    const QString& filterReason() const { return m_filterReason; }
    // Whether connections can be held while their program is asked (see question()).
    bool canAsk() const { return m_abilities & enforcer::CanAsk; }

    // Hands a policy over; policyWritten follows once the enforcer has written it.
    void setPolicy(const enforcer::SetPolicy& policy);
    // Waits for the answers to every request sent so far and delivers them, with every report
    // read meanwhile; false when they did not come within timeoutMs.
    bool settle(int timeoutMs = AnswerTimeoutMs);
    // Cuts one socket: 0 or an errno value (ENOTCONN without an enforcer, ETIMEDOUT).
    int cut(const enforcer::Cut& cut);
    // The programs the program filter saw connect these sockets (by cookie); those it did not
    // see, or all without an enforcer or a filter, are left out.
    std::vector<enforcer::SocketOwner> owners(const std::vector<std::uint64_t>& cookies);
    // Answers the question the enforcer asked for a program (see enforcer::Answer).
    void answer(const enforcer::ProgramFile& program, bool allow);
    // Ends in order: the enforcer removes its table and passes on every refusal logged before
    // it; those are delivered before this returns. False when it did not answer in time.
    bool goodbye(int timeoutMs = AnswerTimeoutMs);

    // The instance id of a program folder: two instances never share a table or a rendezvous.
    static quint64 instanceFor(const QString& programFolder);
    // What the enforcer of an instance whose window ended keeps in force; nothing when no such
    // enforcer answers. endOrphan() ends it and its policy; false when none answered.
    static std::optional<enforcer::StatusAnswer> orphanStatus(quint64 instance);
    static bool endOrphan(quint64 instance);

signals:
    void policyWritten(int error, const QString& reason);
    void refused(const tarvok::enforcer::Refusal& refusal);
    void lost(quint32 count);
    // A program is held at its first connection (asking is on), or all it held has gone.
    void question(const tarvok::enforcer::Question& question);
    void questionGone(const tarvok::enforcer::ProgramFile& program);
    // The enforcer ended without being asked to; reason says what was seen.
    void gone(const QString& reason);

private:
    std::uint32_t send(enforcer::Body body);
    // Writes a whole record; false (and the link lost) when the socket fails.
    bool write(const std::vector<std::uint8_t>& bytes);
    // Reads until the answer to sequence arrives or timeoutMs pass; the other records wait in
    // m_waiting for deliver().
    std::optional<enforcer::Record> await(std::uint32_t sequence, int timeoutMs);
    // Reads what is there without blocking; false when the enforcer is gone.
    bool readAvailable();
    void onReadable();
    void deliver();
    void dispatch(const enforcer::Record& record);
    void lose(const QString& reason);
    bool greet(enforcer::Body request, const QString& program);

    int m_socket = -1;
    int m_pid = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    enforcer::Reader m_reader;
    std::deque<enforcer::Record> m_waiting;
    bool m_deliveryQueued = false;
    std::uint32_t m_sequence = 0;
    std::uint32_t m_answered = 0; // the newest request whose answer has been read
    QString m_failure;
    QString m_program; // what start() ran, for restart()
    quint64 m_instance = 0;
    QString m_tableName;
    quint16 m_logGroup = 0;
    bool m_adopted = false;
    std::uint32_t m_abilities = 0;
    QString m_filterReason;
};

} // namespace tarvok

Q_DECLARE_METATYPE(tarvok::enforcer::Refusal)
Q_DECLARE_METATYPE(tarvok::enforcer::Question)
Q_DECLARE_METATYPE(tarvok::enforcer::ProgramFile)
