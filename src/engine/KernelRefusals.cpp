#include "engine/KernelRefusals.h"

#include "engine/TextKeys.h"

namespace tarvok {

KernelRefusals::KernelRefusals(EnforcementEngine& engine, QObject* parent)
    : QObject(parent), m_engine(engine) {
    m_summary.setSingleShot(true);
    m_summary.setInterval(1000);
    connect(&m_summary, &QTimer::timeout, this, &KernelRefusals::summarise);
}

int KernelRefusals::open(std::uint16_t group) {
    m_readable.reset();
    if (const int error = m_log.open(group); error != 0)
        return error;
    m_readable = std::make_unique<QSocketNotifier>(m_log.fd(), QSocketNotifier::Read);
    connect(m_readable.get(), &QSocketNotifier::activated, this, &KernelRefusals::readNow);
    return 0;
}

void KernelRefusals::readNow() {
    m_packets.clear();
    // Bounded per call, so that a flood leaves the event loop room; the rest comes next time.
    // Packets lost to a full socket were refusals too: counted, though not recorded.
    qint64 unrecorded = static_cast<qint64>(m_log.read(m_packets, 4096));
    m_count += unrecorded;
    for (const platform::LoggedPacket& packet : m_packets) {
        ++m_count;
        if (!m_window.isValid() || m_window.elapsed() >= 1000) {
            m_window.start();
            m_inWindow = 0;
        }
        if (m_inWindow >= RecordsPerSecond) {
            ++unrecorded;
            continue;
        }
        ++m_inWindow;
        // The row of the end that Tarvok saw: local is the source of an outgoing packet.
        TcpRow row{};
        row.state = platform::StateSynSent;
        row.family = packet.family;
        const bool out = !packet.incoming;
        row.localAddress = out ? packet.source : packet.destination;
        row.remoteAddress = out ? packet.destination : packet.source;
        row.local6 = out ? packet.source6 : packet.destination6;
        row.remote6 = out ? packet.destination6 : packet.source6;
        row.localPort = platform::portField(out ? packet.sourcePort : packet.destinationPort);
        row.remotePort = platform::portField(out ? packet.destinationPort : packet.sourcePort);
        m_engine.refused(row);
    }
    if (unrecorded > 0) {
        m_engine.countRefused(unrecorded);
        m_unrecorded += unrecorded;
        if (!m_summary.isActive())
            m_summary.start();
    }
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
