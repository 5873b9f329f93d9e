#pragma once

#include "engine/EnforcerLink.h"
#include "AppTestSupport.h"
#include "policy/PolicyFile.h"
#include "support/Loopback.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <csignal>

namespace tarvok::test {

// Copies the binary into the folder (with copy) and starts it there; withoutNetAdmin, through
// capsh with CAP_NET_ADMIN dropped from its bounding set. environment: extra "NAME=value"
// settings. Its standard error is kept for the test to read.
class RunningTarvok {
public:
    explicit RunningTarvok(const ProgramFolder& folder, bool withoutNetAdmin = false,
                           bool copy = true, const QStringList& environment = {}) {
        m_folder = folder.path();
        const QString binary = folder.file("tarvok");
        if (copy)
            QFile::copy(QStringLiteral(TARVOK_BINARY), binary);
        m_process.setProcessEnvironment(
            environmentWith(QStringList{"QT_QPA_PLATFORM=offscreen"} + environment));
        m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        const QStringList drop{"--drop=cap_net_admin", "--", "-c", "exec \"$0\"", binary};
        m_process.start(withoutNetAdmin ? "capsh" : binary, withoutNetAdmin ? drop : QStringList());
        EXPECT_TRUE(m_process.waitForStarted(10000));
    }
    ~RunningTarvok() {
        m_process.kill(); // nothing when it has ended
        m_process.waitForFinished(5000);
        // A window that had to be killed leaves its enforcer keeping the policy: end it too.
        EnforcerLink::endOrphan(EnforcerLink::instanceFor(m_folder));
    }
    // Sends the signal and waits for the orderly end. A program that has ended already has no
    // process id: kill(0) would signal the whole process group, the test runner among it.
    bool terminate(int signal = SIGTERM) {
        if (const auto pid = static_cast<pid_t>(m_process.processId()); pid > 0)
            ::kill(pid, signal);
        const bool ended = (m_process.state() == QProcess::NotRunning ||
                            m_process.waitForFinished(20000)) &&
                           m_process.exitStatus() == QProcess::NormalExit;
        m_errors += m_process.readAllStandardError();
        return ended && m_process.exitCode() == 0;
    }
    // Waits, within a bounded time, until standard error holds text.
    bool waitForError(const QByteArray& text, int milliseconds = 20000) {
        QDeadlineTimer deadline(milliseconds);
        while (!m_errors.contains(text) && !deadline.hasExpired() && running()) {
            m_process.waitForReadyRead(100);
            m_errors += m_process.readAllStandardError();
        }
        return m_errors.contains(text);
    }
    const QByteArray& errors() const { return m_errors; }
    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 processId() const { return m_process.processId(); }

private:
    QProcess m_process;
    QByteArray m_errors;
    QString m_folder;
};

// A rule that blocks the listener's address and port.
inline Rule blockRule(const TcpListener& listener) {
    return {"block", {}, {}, listener.address(), QString::number(listener.port()), {}, {}};
}

// The folder's Normal.rlsp, holding rules.
inline bool writePolicy(const ProgramFolder& folder, const QList<Rule>& rules) {
    return writeFile(folder.file("Normal.rlsp"), policyText(rules, RuleWords{}));
}

// Waits, within a bounded time, until the predicate holds.
template <typename Predicate>
bool waitFor(Predicate holds, int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!holds() && !deadline.hasExpired())
        QThread::msleep(20);
    return holds();
}

} // namespace tarvok::test
