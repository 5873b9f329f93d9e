#include "engine/KernelRefusals.h"

#include "engine/ProgramFiles.h"
#include "engine/TextKeys.h"
#include "platform/Processes.h"

#include <cstring>
#include <netinet/in.h>

namespace tarvok {

KernelRefusals::KernelRefusals(EnforcementEngine& engine, EnforcerLink& enforcer,
                               QObject* parent)
    : QObject(parent), m_engine(engine) {
    m_summary.setSingleShot(true);
    m_summary.setInterval(1000);
    connect(&m_summary, &QTimer::timeout, this, &KernelRefusals::summarise);
    connect(&enforcer, &EnforcerLink::refused, this, &KernelRefusals::take);
    connect(&enforcer, &EnforcerLink::lost, this, &KernelRefusals::countLost);
}

void KernelRefusals::take(const enforcer::Refusal& refusal) {
    ++m_count;
    if (!m_window.isValid() || m_window.elapsed() >= 1000) {
        m_window.start();
        m_inWindow = 0;
    }
    if (m_inWindow >= RecordsPerSecond) {
        countLost(0);
        return;
    }
    ++m_inWindow;
    // The row of the end that Tarvok saw: the enforcer names it as the pass would.
    TcpRow row{};
    row.state = platform::StateSynSent;
    row.family = static_cast<platform::Family>(refusal.family);
    if (row.family == platform::Family::Inet6) {
        row.local6 = refusal.local;
        row.remote6 = refusal.remote;
    } else {
        std::memcpy(&row.localAddress, refusal.local.data(), sizeof row.localAddress);
        std::memcpy(&row.remoteAddress, refusal.remote.data(), sizeof row.remoteAddress);
    }
    row.localPort = platform::portField(refusal.localPort);
    row.remotePort = platform::portField(refusal.remotePort);
    // A refusal of the program filter names the program, whose rules decided it.
    const ProgramIdentity program{refusal.program.device, refusal.program.inode};
    if (program.inode == 0) {
        m_engine.refused(row, refusal.protocol == IPPROTO_UDP);
        return;
    }
    m_engine.refused(row, refusal.protocol == IPPROTO_UDP, &program, programPath(refusal));
}

QString KernelRefusals::programPath(const enforcer::Refusal& refusal) const {
    // A file a rule names is known by its path already; another is read from the process,
    // if it still runs that file.
    const ProgramIdentity program{refusal.program.device, refusal.program.inode};
    const ProgramFiles& files = m_engine.programFiles();
    for (const QString& path : files.paths())
        if (files.identity(path) == program)
            return path;
    const QString path = QString::fromStdString(platform::readProcess(refusal.pid).imagePath);
    return !path.isEmpty() && statProgram(path) == program ? path : QString();
}

// Refusals the kernel could not deliver (lost > 0), or one over the rate (0, counted already):
// counted, not recorded, and summed up in a balloon.
void KernelRefusals::countLost(quint32 lost) {
    m_count += lost;
    m_engine.countRefused(lost > 0 ? lost : 1);
    m_unrecorded += lost > 0 ? lost : 1;
    if (!m_summary.isActive())
        m_summary.start();
}

void KernelRefusals::summarise() {
    if (m_unrecorded == 0)
        return;
    QString text = m_localiser ? m_localiser->text(QStringLiteral("Main"),
                                                   language::kernel::RefusalsUnrecorded)
                               : QString();
    if (text.isEmpty())
        text = QStringLiteral("%1 more connections refused (records are limited to 50 a second)");
    text = text.arg(m_unrecorded);
    m_unrecorded = 0;
    if (m_notifier)
        m_notifier->showBalloon(text, QStringLiteral("Tarvok"), Notifier::Critical,
                                Notifier::BalloonTimeoutMs);
}

} // namespace tarvok
