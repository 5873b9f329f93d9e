#pragma once
// The traffic figures of the main window: this run's received and sent totals, the speeds of
// the last second, the established-connection count, and which tray picture shows activity.
// Three timers drive it: updateTick() every 400 ms (totals and counts), speedTick() every
// second (speeds), activityTick() every 500 ms (tray activity). All amounts are kilobytes of
// 1024 bytes.
//
// Status-bar texts go out through panelUpdated(panel, text) for panels 3 to 7 at every update.

#include "settings/TextHolders.h"
#include "stats/ProtocolCounters.h"

#include <QLocale>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>

namespace tarvok {

class TrafficDisplay : public QObject {
    Q_OBJECT
public:
    // The four pictures of the tray's activity icon, numbered as in its image list.
    enum Activity { Idle = 1, Receiving = 2, Sending = 3, Both = 4 };

    // The history's traffic fields and end time of this run.
    struct RunTotals {
        QString receivedKB, sentKB, totalKB; // grouped whole numbers, e.g. "1,234"
        QString endTime;                     // empty until the first totals update
    };

    // holders supplies the localised words; both must outlive the display. Numbers and times
    // are written in locale's conventions.
    TrafficDisplay(TrafficCounters& counters, const TextHolders& holders,
                   const QLocale& locale = QLocale(), QObject* parent = nullptr);

    // A size in KB as text: MB below 1048576 KB, GB below 1073741824 KB, TB above, with two
    // decimals in the locale's decimal sign ("0.49 MB", "1.00 GB"). Empty for a value that is
    // not a number.
    static QString SetBytes(double kilobytes, const QLocale& locale = QLocale());

    // Totals update: adds each interface's bytes since the previous read to the run's totals
    // (one whose counter went back adds nothing this time; one that arrived during the run
    // adds its traffic since it arrived), then panels 4 and 5, the history's totals and end
    // time. The first read that succeeds fixes the start.
    void UpdateTraffic();
    // TmrUpdateTraffic: UpdateTraffic, then the connection counts and panel 3.
    void updateTick();
    // TimerTraffic: the last second's speeds (panels 6 and 7) and the running sums. Every
    // second counts, however large.
    void speedTick();
    // Timer2: compares the IP datagram counters with the previous tick's.
    Activity activityTick();

    // Whole KB since the first update, as the interfaces' counters say (lblRecv, lblSent).
    std::int64_t receivedSinceStart() const { return m_received; }
    std::int64_t sentSinceStart() const { return m_sent; }
    // Sums of the speeds of the counted seconds (lblRecvKB, lblSentKB): the run's totals.
    std::uint64_t receivedKB() const { return m_receivedKB; }
    std::uint64_t sentKB() const { return m_sentKB; }
    std::int64_t speedIn() const { return m_speedIn; }
    std::int64_t speedOut() const { return m_speedOut; }
    const ConnectionCounts& connections() const { return m_connections; }
    // The run's totals so far: the counted seconds, and the time of the last totals update.
    RunTotals runTotals() const;
    // At the end of the run: counts the bytes since the last speed update as one more second,
    // so that the history holds the run's traffic up to its end, and returns the totals.
    RunTotals closeRun();
    QString panelText(int panel) const;

signals:
    void panelUpdated(int panel, const QString& text);

private:
    void setPanel(int panel, const QString& text);
    QString grouped(std::uint64_t value) const;

    TrafficCounters& m_counters;
    const TextHolders& m_holders;
    QLocale m_locale;
    InterfaceBytes m_lastRead;  // each interface's counters at the previous read
    bool m_started = false;     // whether a read has fixed the start
    ByteTotals m_counted;       // bytes since the first read, over all interfaces
    std::int64_t m_received = 0, m_sent = 0;           // lblRecv, lblSent
    std::int64_t m_lastReceived = 0, m_lastSent = 0;   // lblCount1, lblCount2
    std::int64_t m_speedIn = 0, m_speedOut = 0;
    std::uint64_t m_receivedKB = 0, m_sentKB = 0;      // lblRecvKB, lblSentKB
    QString m_endTime;
    ConnectionCounts m_connections;
    IpDatagrams m_previousDatagrams;
    std::array<QString, 8> m_panels; // by panel number; 3 to 7 are written here
};

} // namespace tarvok
