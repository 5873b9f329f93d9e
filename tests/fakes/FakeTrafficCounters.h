#pragma once
// Counters set by the test, for driving the traffic display through what the kernel cannot be
// made to do on demand: a byte total that goes back, datagrams in one direction only.

#include "stats/ProtocolCounters.h"

namespace tarvok::test {

class FakeTrafficCounters : public TrafficCounters {
public:
    ByteTotals readBytes() override { return bytes; }
    IpDatagrams readDatagrams() override { return datagrams; }
    ConnectionCounts readConnections() override { return connections; }

    ByteTotals bytes;
    IpDatagrams datagrams;
    ConnectionCounts connections;
};

} // namespace tarvok::test
