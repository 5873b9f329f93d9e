#pragma once
// Counters set by the test, for what the kernel cannot be made to do on demand: a byte counter
// that goes back, an unreadable table, datagrams in one direction only.

#include "stats/ProtocolCounters.h"

namespace tarvok::test {

class FakeTrafficCounters : public TrafficCounters {
public:
    std::optional<InterfaceBytes> readBytes() override {
        if (failReads > 0) {
            --failReads;
            return std::nullopt;
        }
        return bytes;
    }
    InterfaceBytes arrivals() override { return arrivedWith; }
    IpDatagrams readDatagrams() override { return datagrams; }
    ConnectionCounts readConnections() override { return connections; }

    InterfaceBytes bytes;       // by interface index
    InterfaceBytes arrivedWith; // what interfaces moved in since the last read brought along
    IpDatagrams datagrams;
    ConnectionCounts connections;
    int failReads = 0; // the next reads of the interface table fail
};

} // namespace tarvok::test
