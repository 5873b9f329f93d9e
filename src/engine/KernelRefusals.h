#pragma once
// Connections that the kernel table refused, as the kernel reports them through its NFLOG
// group: each is counted, announced and recorded as a cut is. A flood cannot drown the
// program: beyond RecordsPerSecond in a second they are only counted, and a summary says how
// many were not recorded.

#include "engine/EnforcementEngine.h"
#include "platform/NfLog.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>

namespace tarvok {

class KernelRefusals : public QObject {
    Q_OBJECT
public:
    static constexpr std::uint16_t DefaultGroup = 29814;
    static constexpr int RecordsPerSecond = 50;

    explicit KernelRefusals(EnforcementEngine& engine, QObject* parent = nullptr);

    // Listens to a log group; 0 or an errno value.
    int open(std::uint16_t group = DefaultGroup);
    bool isOpen() const { return m_log.fd() >= 0; }
    int socket() const { return m_log.fd(); }

    void setNotifier(Notifier* notifier) { m_notifier = notifier; }
    void setLocaliser(const Localiser* localiser) { m_localiser = localiser; }

    // Refusals reported since start, recorded or not.
    qint64 count() const { return m_count; }
    // Reads what the kernel has sent; the socket's notifier calls it.
    void readNow();

private:
    void summarise();

    EnforcementEngine& m_engine;
    platform::NfLog m_log;
    std::unique_ptr<QSocketNotifier> m_readable;
    std::vector<platform::LoggedPacket> m_packets;
    Notifier* m_notifier = nullptr;
    const Localiser* m_localiser = nullptr;
    QElapsedTimer m_window;   // the current second
    int m_inWindow = 0;       // recorded in it
    qint64 m_unrecorded = 0;  // counted only, since the last summary
    QTimer m_summary;
    qint64 m_count = 0;
};

} // namespace tarvok
