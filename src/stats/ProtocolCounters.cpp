#include "stats/ProtocolCounters.h"

#include "platform/UniqueFd.h"

#include <QList>

#include <fcntl.h>
#include <unistd.h>

namespace tarvok {

namespace proc {

QByteArray readFile(const char* path) {
    QByteArray text;
    const platform::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return text;
    char chunk[4096];
    // /proc files report no size: read until the end, bounded.
    for (int i = 0; i < 64; ++i) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got <= 0)
            break;
        text.append(chunk, got);
    }
    return text;
}

namespace {

std::optional<std::uint64_t> number(QByteArrayView word) {
    bool ok = false;
    const qulonglong value = word.toULongLong(&ok);
    return ok ? std::optional<std::uint64_t>(value) : std::nullopt;
}

QList<QByteArrayView> words(QByteArrayView line) {
    QList<QByteArrayView> result;
    qsizetype start = -1;
    for (qsizetype i = 0; i <= line.size(); ++i) {
        const bool blank = i == line.size() || line[i] == ' ' || line[i] == '\t';
        if (blank && start >= 0) {
            result.append(line.sliced(start, i - start));
            start = -1;
        } else if (!blank && start < 0) {
            start = i;
        }
    }
    return result;
}

QList<QByteArrayView> lines(QByteArrayView text) {
    QList<QByteArrayView> result;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        result.append(text.sliced(start, end - start));
        start = end + 1;
    }
    return result;
}

} // namespace

std::optional<std::uint64_t> snmpValue(QByteArrayView text, QByteArrayView table,
                                       QByteArrayView name) {
    const QList<QByteArrayView> all = lines(text);
    for (qsizetype i = 0; i + 1 < all.size(); ++i) {
        const QList<QByteArrayView> names = words(all[i]);
        if (names.isEmpty() || !names[0].endsWith(':') || names[0].chopped(1) != table)
            continue;
        const QList<QByteArrayView> values = words(all[i + 1]);
        if (values.isEmpty() || values[0] != names[0])
            return std::nullopt;
        for (qsizetype k = 1; k < names.size() && k < values.size(); ++k)
            if (names[k] == name)
                return number(values[k]);
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> snmp6Value(QByteArrayView text, QByteArrayView name) {
    for (QByteArrayView line : lines(text)) {
        const QList<QByteArrayView> pair = words(line);
        if (pair.size() == 2 && pair[0] == name)
            return number(pair[1]);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> sockstatValue(QByteArrayView text, QByteArrayView protocol,
                                           QByteArrayView name) {
    for (QByteArrayView line : lines(text)) {
        const QList<QByteArrayView> fields = words(line);
        if (fields.isEmpty() || !fields[0].endsWith(':') || fields[0].chopped(1) != protocol)
            continue;
        for (qsizetype k = 1; k + 1 < fields.size(); k += 2)
            if (fields[k] == name)
                return number(fields[k + 1]);
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace proc

std::optional<InterfaceBytes> SystemCounters::readBytes() {
    const CInterfaces& interfaces = m_helper.Interfaces();
    m_arrivals.clear();
    if (m_helper.lastResult() != CIpHelper::ResultOk)
        return std::nullopt;
    const auto counters = [](const CInterface& item) {
        return ByteTotals{item.OctetsReceived, item.OctetsSent};
    };
    InterfaceBytes bytes;
    for (const CInterface& item : interfaces)
        if (CIpHelper::carriesTraffic(item))
            bytes[item.InterfaceIndex] = counters(item);
    for (const CInterface& item : m_helper.arrived())
        if (CIpHelper::carriesTraffic(item))
            m_arrivals[item.InterfaceIndex] = counters(item);
    // A removed interface takes part once more, with its counters as it left.
    for (const CInterface& item : m_helper.departed())
        if (CIpHelper::carriesTraffic(item))
            bytes.try_emplace(item.InterfaceIndex, counters(item));
    return bytes;
}

IpDatagrams SystemCounters::readDatagrams() {
    // /proc/self/net is the table of this process's own network namespace.
    const QByteArray v4 = proc::readFile("/proc/self/net/snmp");
    const QByteArray v6 = proc::readFile("/proc/self/net/snmp6");
    IpDatagrams counts;
    counts.received = proc::snmpValue(v4, "Ip", "InReceives").value_or(0) +
                      proc::snmp6Value(v6, "Ip6InReceives").value_or(0);
    counts.sent = proc::snmpValue(v4, "Ip", "OutRequests").value_or(0) +
                  proc::snmp6Value(v6, "Ip6OutRequests").value_or(0);
    return counts;
}

ConnectionCounts SystemCounters::readConnections() {
    const QByteArray snmp = proc::readFile("/proc/self/net/snmp");
    const QByteArray v4 = proc::readFile("/proc/self/net/sockstat");
    const QByteArray v6 = proc::readFile("/proc/self/net/sockstat6");
    ConnectionCounts counts;
    // The kernel keeps one TCP table of counters for IPv4 and IPv6 sockets alike.
    counts.established = proc::snmpValue(snmp, "Tcp", "CurrEstab").value_or(0);
    // Sockets in TIME_WAIT leave "inuse" and are counted in "tw" (IPv4 and IPv6 together).
    counts.tcpTotal = proc::sockstatValue(v4, "TCP", "inuse").value_or(0) +
                      proc::sockstatValue(v4, "TCP", "tw").value_or(0) +
                      proc::sockstatValue(v6, "TCP6", "inuse").value_or(0);
    counts.udpListeners = proc::sockstatValue(v4, "UDP", "inuse").value_or(0) +
                          proc::sockstatValue(v6, "UDP6", "inuse").value_or(0);
    return counts;
}

} // namespace tarvok
