#pragma once
// The counters the traffic display reads from the system: the bytes of each interface, the IP
// datagrams received and sent, and the TCP and UDP connection counts, each for IPv4 and IPv6
// together. TrafficCounters is the seam: the program reads the kernel through SystemCounters,
// tests can drive the display with counters of their own.

#include "stats/CIpHelper.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <map>
#include <optional>

namespace tarvok {

struct ByteTotals {
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
};

// The byte counters of each interface that carries traffic (loopback left out), by the
// kernel's interface index: the display counts each interface's own differences, so one that
// leaves or arrives changes nothing but its own share.
using InterfaceBytes = std::map<std::int32_t, ByteTotals>;

// IP datagrams received (InReceives) and sent (OutRequests), IPv4 and IPv6 added up.
struct IpDatagrams {
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
};

struct ConnectionCounts {
    std::uint64_t established = 0;  // TCP connections established or closing on the far side
    std::uint64_t tcpTotal = 0;     // every TCP socket: listening, connected, in TIME_WAIT
    std::uint64_t udpListeners = 0; // UDP sockets
};

class TrafficCounters {
public:
    virtual ~TrafficCounters() = default;
    // Nothing when the interface table could not be read.
    virtual std::optional<InterfaceBytes> readBytes() = 0;
    // After a read: the counters that interfaces which arrived since the previous read
    // brought along (a link moved in from another network namespace keeps its past). An
    // interface new to the display and missing here was made during the run: all of its
    // traffic is this run's.
    virtual InterfaceBytes arrivals() { return {}; }
    virtual IpDatagrams readDatagrams() = 0;
    virtual ConnectionCounts readConnections() = 0;
};

// The kernel's counters of the network namespace the program runs in: the interface table
// (CIpHelper), /proc/net/snmp and /proc/net/snmp6 for datagrams and established connections,
// /proc/net/sockstat and /proc/net/sockstat6 for the socket counts. A file that cannot be
// read counts as 0.
class SystemCounters : public TrafficCounters {
public:
    explicit SystemCounters(Prompter* prompter = nullptr) : m_helper(prompter) {}
    std::optional<InterfaceBytes> readBytes() override;
    InterfaceBytes arrivals() override { return m_arrivals; }
    IpDatagrams readDatagrams() override;
    ConnectionCounts readConnections() override;
    CIpHelper& helper() { return m_helper; }

private:
    CIpHelper m_helper;
    InterfaceBytes m_arrivals;
};

namespace proc {

// A whole /proc file; empty when it cannot be read.
QByteArray readFile(const char* path);

// /proc/net/snmp: a line of names ("Ip: Forwarding DefaultTTL InReceives ...") followed by a
// line of values with the same prefix. The value of name in the table of that prefix.
std::optional<std::uint64_t> snmpValue(QByteArrayView text, QByteArrayView table,
                                       QByteArrayView name);
// /proc/net/snmp6: one "name value" pair per line.
std::optional<std::uint64_t> snmp6Value(QByteArrayView text, QByteArrayView name);
// /proc/net/sockstat and sockstat6: "TCP: inuse 3 orphan 0 tw 1 ...".
std::optional<std::uint64_t> sockstatValue(QByteArrayView text, QByteArrayView protocol,
                                           QByteArrayView name);

} // namespace proc

} // namespace tarvok
