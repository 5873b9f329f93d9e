// The traffic figures: real loopback traffic in the test's own namespace, and stand-in counters
// that go back, fail or jump on demand.
#include "stats/TrafficDisplay.h"
#include "fakes/FakeTrafficCounters.h"
#include "support/Sandbox.h"
#include "TrafficSupport.h"

#include <gtest/gtest.h>

using namespace tarvok;
using tarvok::test::FakeTrafficCounters;

namespace {

const QLocale English(QLocale::English, QLocale::UnitedStates);

// One second of the window's timers: the totals update, then the speed tick.
void tick(TrafficDisplay& display) {
    display.updateTick();
    display.speedTick();
}

} // namespace

TEST(TrafficDisplay, SetBytesAtTheEdgesInTwoLocales) {
    const QLocale german(QLocale::German, QLocale::Germany);
    const struct {
        double kilobytes;
        const char* english;
        const char* german;
    } cases[] = {
        {0, "0.00 MB", "0,00 MB"},
        {500, "0.49 MB", "0,49 MB"},
        {1048575, "1024.00 MB", "1024,00 MB"},
        {1048576, "1.00 GB", "1,00 GB"},
        {1073741823, "1024.00 GB", "1024,00 GB"},
        {1073741824, "1.00 TB", "1,00 TB"},
        {5497558138880.0, "5120.00 TB", "5120,00 TB"}, // no group separator
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TrafficDisplay::SetBytes(c.kilobytes, English), c.english) << c.kilobytes;
        EXPECT_EQ(TrafficDisplay::SetBytes(c.kilobytes, german), c.german) << c.kilobytes;
    }
    EXPECT_EQ(TrafficDisplay::SetBytes(std::nan(""), English), "");
}

// The old rule also dropped every second of 128 MB or more: this one carries 200 MB.
TEST(TrafficDisplay, LoopbackTrafficMovesTheSpeedsAndTotalsByTheKernelsCountAbove128MB) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    SystemCounters counters;
    TextHolders holders;
    TrafficDisplay display(counters, holders, English);
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    tick(display); // fixes the baseline

    counters.helper().Interfaces();
    const std::uint64_t before = counters.helper().BytesReceived();
    const std::size_t payload = 200u << 20;
    test::sendThrough(connection, payload);
    counters.helper().Interfaces();
    const double kernelKB = double(counters.helper().BytesReceived() - before) / 1024;
    // The payload with its headers and acknowledgements, whose share depends on how the kernel
    // cut the stream: the bound only rules out counting the traffic twice.
    ASSERT_GE(kernelKB, payload / 1024.0);
    ASSERT_LT(kernelKB, payload / 1024.0 * 1.5);

    tick(display);
    display.UpdateTraffic(); // the next totals update shows the second just counted
    EXPECT_NEAR(double(display.speedIn()), kernelKB, 1.0); // whole KB, each end rounded
    EXPECT_NEAR(double(display.speedOut()), kernelKB, 1.0); // loopback sends what it receives
    EXPECT_EQ(display.receivedKB(), std::uint64_t(display.speedIn()));
    EXPECT_EQ(display.panelText(4),
              "Received: " + TrafficDisplay::SetBytes(double(display.receivedKB()), English));
}

// The old rule dropped every second of 128 MB or more from the totals; a counter that goes back
// (an interface reset) drops that second only.
TEST(TrafficDisplay, ASecondOfMoreThan128MegabytesCountsAndOneThatGoesBackDoesNot) {
    FakeTrafficCounters counters;
    TextHolders holders;
    TrafficDisplay display(counters, holders, English);
    counters.bytes = {10'000'000, 20'000'000};
    counters.connections.established = 3;
    tick(display); // fixes the baseline
    EXPECT_EQ(display.panelText(3), "Established: 3");
    EXPECT_EQ(display.panelText(4), "Received : 0.00 MB");
    EXPECT_EQ(display.panelText(5), "Sent: 0.00 MB");
    counters.bytes.received += 200 << 20;
    counters.bytes.sent += 1024;
    tick(display);
    display.UpdateTraffic(); // the next totals update shows the second just counted
    EXPECT_EQ(display.panelText(4), "Received: 200.00 MB");

    counters.bytes.received -= 5'000'000;
    counters.bytes.sent += 4096;
    tick(display);
    EXPECT_EQ(display.panelText(6), "In: 204800 KB/s");
    EXPECT_EQ(display.panelText(7), "Out: 1 KB/s");
    EXPECT_EQ(display.sentKB(), 1u);

    counters.bytes.received += 10 * 1024; // the next second counts again, from the new level
    tick(display);
    EXPECT_EQ(display.panelText(6), "In: 10 KB/s");
    const TrafficDisplay::RunTotals totals = display.runTotals();
    EXPECT_EQ(totals.receivedKB, "204,810");
    EXPECT_EQ(totals.totalKB, "204,811");
    EXPECT_FALSE(totals.endTime.isEmpty());
}

// A failed read taken as 0 bytes made the next good read count every byte the machine ever
// moved as one second's traffic.
TEST(TrafficDisplay, AnUnreadableTableCountsNoPhantomSecond) {
    FakeTrafficCounters counters;
    TextHolders holders;
    TrafficDisplay display(counters, holders, English);
    counters.failReads = 1; // even the first read
    tick(display);
    counters.bytes = {50'000'000'000, 40'000'000'000};
    tick(display); // the first good read is the start of the run
    counters.bytes.received += 100 * 1024;
    counters.failReads = 1;
    tick(display);
    counters.bytes.received += 20 * 1024;
    tick(display);
    EXPECT_EQ(display.receivedKB(), 120u);
    EXPECT_EQ(display.sentKB(), 0u);
}

TEST(TrafficDisplay, ActivityFollowsTheDatagramCounters) {
    FakeTrafficCounters counters;
    TextHolders holders;
    TrafficDisplay display(counters, holders, English);
    counters.datagrams = {100, 100};
    EXPECT_EQ(display.activityTick(), TrafficDisplay::Both) << "against the all-zero start";
    const struct {
        std::uint64_t received, sent;
        TrafficDisplay::Activity expected;
    } steps[] = {{1, 0, TrafficDisplay::Receiving},
                 {0, 1, TrafficDisplay::Sending},
                 {1, 1, TrafficDisplay::Both},
                 {0, 0, TrafficDisplay::Idle}};
    for (const auto& step : steps) {
        for (int tick = 0; tick < 4; ++tick) {
            counters.datagrams.received += step.received;
            counters.datagrams.sent += step.sent;
            EXPECT_EQ(display.activityTick(), step.expected) << step.expected << " tick " << tick;
        }
    }
}
