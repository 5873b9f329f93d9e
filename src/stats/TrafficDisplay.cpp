#include "stats/TrafficDisplay.h"

#include <QTime>

#include <cmath>

namespace tarvok {

namespace {

std::int64_t wholeKilobytes(std::uint64_t bytes) {
    return std::llround(static_cast<double>(bytes) / 1024.0);
}

// What a counter moved since its previous read; nothing when it went back (reset).
std::uint64_t movedSince(std::uint64_t before, std::uint64_t now) {
    return now >= before ? now - before : 0;
}

} // namespace

TrafficDisplay::TrafficDisplay(TrafficCounters& counters, const TextHolders& holders,
                               const QLocale& locale, QObject* parent)
    : QObject(parent), m_counters(counters), m_holders(holders), m_locale(locale) {}

QString TrafficDisplay::SetBytes(double kilobytes, const QLocale& locale) {
    if (!std::isfinite(kilobytes))
        return {};
    QLocale plain = locale;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    const auto text = [&plain](double value, const char* unit) {
        return plain.toString(value, 'f', 2) + QLatin1String(unit);
    };
    if (kilobytes >= 1073741824.0)
        return text(kilobytes / 1024 / 1024 / 1024, " TB");
    if (kilobytes >= 1048576.0)
        return text(kilobytes / 1024 / 1024, " GB");
    return text(kilobytes / 1024, " MB");
}

QString TrafficDisplay::grouped(std::uint64_t value) const {
    return m_locale.toString(static_cast<qulonglong>(value));
}

void TrafficDisplay::UpdateTraffic() {
    // A table that could not be read leaves the totals as they were. Taking it as 0 bytes
    // would make the next good read look like the machine's whole traffic in one second.
    if (const std::optional<InterfaceBytes> read = m_counters.readBytes()) {
        // By interface: one that left takes only its own counters away. One first seen now
        // counts from the counters it arrived with, or from zero when it was made during the
        // run; only those present at the first read start from what they held then.
        const InterfaceBytes arrivals = m_counters.arrivals();
        for (const auto& [index, now] : *read) {
            ByteTotals start;
            if (const auto before = m_lastRead.find(index); before != m_lastRead.end())
                start = before->second;
            else if (const auto arrival = arrivals.find(index); arrival != arrivals.end())
                start = arrival->second;
            else if (!m_started)
                start = now;
            m_counted.received += movedSince(start.received, now.received);
            m_counted.sent += movedSince(start.sent, now.sent);
        }
        m_started = true;
        m_lastRead = *read;
        m_received = wholeKilobytes(m_counted.received);
        m_sent = wholeKilobytes(m_counted.sent);
    }

    setPanel(4, m_receivedKB > 0
                    ? m_holders.received + QStringLiteral(": ") + SetBytes(double(m_receivedKB), m_locale)
                    : m_holders.received + QStringLiteral(" : 0.00 MB"));
    setPanel(5, m_sentKB > 0
                    ? m_holders.sent + QStringLiteral(": ") + SetBytes(double(m_sentKB), m_locale)
                    : m_holders.sent + QStringLiteral(": 0.00 MB"));

    m_endTime = m_locale.toString(QTime::currentTime(), QLocale::ShortFormat);
}

TrafficDisplay::RunTotals TrafficDisplay::runTotals() const {
    // From the sums as they are now, not as the last totals update saw them, so that the
    // history never misses the last counted second.
    return {grouped(m_receivedKB), grouped(m_sentKB), grouped(m_receivedKB + m_sentKB), m_endTime};
}

TrafficDisplay::RunTotals TrafficDisplay::closeRun() {
    UpdateTraffic();
    speedTick();
    return runTotals();
}

void TrafficDisplay::updateTick() {
    UpdateTraffic();
    m_connections = m_counters.readConnections();
    setPanel(3, m_holders.established + QLatin1Char(' ') + QString::number(m_connections.established));
}

void TrafficDisplay::speedTick() {
    // The totals only grow, so neither difference is negative.
    m_speedIn = m_received - m_lastReceived;
    m_speedOut = m_sent - m_lastSent;
    m_receivedKB += static_cast<std::uint64_t>(m_speedIn);
    m_sentKB += static_cast<std::uint64_t>(m_speedOut);
    setPanel(6, m_holders.in + QLatin1Char(' ') + QString::number(m_speedIn) + QStringLiteral(" KB/s"));
    setPanel(7, m_holders.out + QLatin1Char(' ') + QString::number(m_speedOut) + QStringLiteral(" KB/s"));
    m_lastReceived = m_received;
    m_lastSent = m_sent;
}

TrafficDisplay::Activity TrafficDisplay::activityTick() {
    const IpDatagrams fresh = m_counters.readDatagrams();
    const bool receiving = fresh.received > m_previousDatagrams.received;
    const bool sending = fresh.sent > m_previousDatagrams.sent;
    m_previousDatagrams = fresh;
    if (receiving && sending)
        return Both;
    if (sending)
        return Sending;
    return receiving ? Receiving : Idle;
}

QString TrafficDisplay::panelText(int panel) const {
    return panel >= 0 && panel < int(m_panels.size()) ? m_panels[panel] : QString();
}

void TrafficDisplay::setPanel(int panel, const QString& text) {
    // Sent on every update, changed or not: the window may have put its captions back
    // (a change of language) since the last one.
    m_panels[panel] = text;
    emit panelUpdated(panel, text);
}

} // namespace tarvok
