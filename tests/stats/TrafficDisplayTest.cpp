// The traffic figures: real loopback traffic in the test's own namespace for the totals and
// speeds, stand-in counters for what the kernel cannot be made to do on demand.

#include "fakes/FakeTrafficCounters.h"
#include "stats/TrafficDisplay.h"
#include "support/Sandbox.h"
#include "TrafficSupport.h"

#include <QRegularExpression>

using namespace tarvok;
using tarvok::test::FakeTrafficCounters;

namespace {

const QLocale English(QLocale::English, QLocale::UnitedStates);
const QLocale German(QLocale::German, QLocale::Germany);

// One second of the window's timers: the totals update, then the speed tick.
void tick(TrafficDisplay& display) {
    display.updateTick();
    display.speedTick();
}

} // namespace

TEST(TrafficDisplay, SetBytesAtTheEdgesInTwoLocales) {
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
        EXPECT_EQ(TrafficDisplay::SetBytes(c.kilobytes, German), c.german) << c.kilobytes;
    }
    EXPECT_EQ(TrafficDisplay::SetBytes(std::nan(""), English), "");
}

TEST(TrafficDisplay, LoopbackTrafficMovesTheTotalsAndTheSpeedsByItsSize) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    SystemCounters counters;
    TextHolders holders;
    TrafficDisplay display(counters, holders, English);
    test::TcpListener listener("127.0.0.2");
    test::TcpConnection connection = test::connect("127.0.0.3", listener);

    tick(display); // fixes the baseline
    EXPECT_EQ(display.panelText(4), "Received : 0.00 MB");
    EXPECT_EQ(display.panelText(5), "Sent: 0.00 MB");

    // What the kernel counts for the traffic: the payload, its headers and the acknowledgements.
    // Their share depends on how the kernel cut the stream (a busy reader means small
    // segments and window updates), so the bound only rules out counting it twice.
    counters.helper().Interfaces();
    const std::uint64_t kernelBefore = counters.helper().BytesReceived();
    const std::size_t payload = 5'000'000;
    test::sendThrough(connection, payload);
    counters.helper().Interfaces();
    const double kernelKB = double(counters.helper().BytesReceived() - kernelBefore) / 1024;
    ASSERT_GE(kernelKB, payload / 1024.0);
    ASSERT_LT(kernelKB, payload / 1024.0 * 1.5);

    tick(display);
    display.UpdateTraffic(); // the next totals update shows the second just counted
    // Whole KB, each end rounded: within one KB of the kernel's count.
    EXPECT_NEAR(double(display.speedIn()), kernelKB, 1.0);
    EXPECT_NEAR(double(display.speedOut()), kernelKB, 1.0); // loopback sends what it receives
    EXPECT_EQ(display.receivedKB(), std::uint64_t(display.speedIn()));
    EXPECT_EQ(display.panelText(6), "In: " + QString::number(display.speedIn()) + " KB/s");
    EXPECT_EQ(display.panelText(4),
              "Received: " + TrafficDisplay::SetBytes(double(display.receivedKB()), English));
    const TrafficDisplay::RunTotals totals = display.runTotals();
    EXPECT_EQ(totals.receivedKB, English.toString(qulonglong(display.receivedKB())));
    EXPECT_EQ(totals.totalKB,
              English.toString(qulonglong(display.receivedKB() + display.sentKB())));
    EXPECT_TRUE(totals.receivedKB.contains(',')) << totals.receivedKB.toStdString(); // 4,8xx
    EXPECT_FALSE(totals.endTime.isEmpty());

    // A quiet second: speed 0, the totals stay.
    tick(display);
    EXPECT_LE(display.speedIn(), 1);
    EXPECT_EQ(display.panelText(3), "Established: " +
                                        QString::number(display.connections().established));
    EXPECT_GE(display.connections().established, 2u);
}

// The original rule dropped every second of 128 MB or more, so a fast link lost exactly its
// busiest seconds from the totals and the history.
TEST(TrafficDisplay, ASecondOfMoreThan128MegabytesCounts) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    SystemCounters counters;
    TextHolders holders;
    TrafficDisplay display(counters, holders, English);
    test::TcpListener listener("127.0.0.4");
    test::TcpConnection connection = test::connect("127.0.0.5", listener);
    tick(display);

    const std::size_t payload = 200u << 20;
    test::sendThrough(connection, payload);
    tick(display);
    display.UpdateTraffic();
    EXPECT_GE(display.speedIn(), std::int64_t(payload / 1024));
    EXPECT_GE(display.sentKB(), payload / 1024);
    // About 204,900 KB received and more with the headers: still shown in MB.
    const QRegularExpressionMatch shown =
        QRegularExpression("^Received: (\\d+\\.\\d\\d) MB$").match(display.panelText(4));
    ASSERT_TRUE(shown.hasMatch()) << display.panelText(4).toStdString();
    EXPECT_GE(shown.captured(1).toDouble(), 200.0);
    EXPECT_LT(shown.captured(1).toDouble(), 300.0);
}

TEST(TrafficDisplay, ACounterThatGoesBackDropsThatSecondOnly) {
    FakeTrafficCounters counters;
    TextHolders holders;
    TrafficDisplay display(counters, holders, English);
    counters.bytes = {10'000'000, 20'000'000};
    tick(display);

    counters.bytes.received += 2048 * 1024; // 2048 KB in one second
    counters.bytes.sent += 1024;
    tick(display);
    EXPECT_EQ(display.panelText(6), "In: 2048 KB/s");
    EXPECT_EQ(display.panelText(7), "Out: 1 KB/s");
    EXPECT_EQ(display.receivedKB(), 2048u);

    // An interface reset: the received sum shrinks. The second is dropped, panels keep
    // their texts, the run's sums do not change.
    display.UpdateTraffic();
    counters.bytes.received -= 5'000'000;
    counters.bytes.sent += 4096;
    tick(display);
    EXPECT_EQ(display.panelText(6), "In: 2048 KB/s");
    EXPECT_EQ(display.panelText(7), "Out: 1 KB/s");
    EXPECT_EQ(display.receivedKB(), 2048u);
    EXPECT_EQ(display.sentKB(), 1u);

    // The next second counts again, from the new level.
    counters.bytes.received += 10 * 1024;
    tick(display);
    EXPECT_EQ(display.panelText(6), "In: 10 KB/s");
    EXPECT_EQ(display.receivedKB(), 2058u);
    EXPECT_EQ(display.runTotals().receivedKB, "2,058");
}

// A failed read taken as 0 bytes made the next good read count every byte the machine ever
// moved as one second's traffic, now that large seconds count.
TEST(TrafficDisplay, AnUnreadableTableCountsNoPhantomSecond) {
    FakeTrafficCounters counters;
    TextHolders holders;
    TrafficDisplay display(counters, holders, English);
    counters.failReads = 1; // even the first read
    tick(display);
    counters.bytes = {50'000'000'000, 40'000'000'000};
    tick(display); // the first good read is the start of the run
    EXPECT_EQ(display.receivedKB(), 0u);

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
    // Against the all-zero start, the first tick sees both.
    EXPECT_EQ(display.activityTick(), TrafficDisplay::Both);

    const struct {
        const char* what;
        std::uint64_t received, sent;
        TrafficDisplay::Activity expected;
    } steps[] = {
        {"receive only", 1, 0, TrafficDisplay::Receiving},
        {"send only", 0, 1, TrafficDisplay::Sending},
        {"both", 1, 1, TrafficDisplay::Both},
        {"none", 0, 0, TrafficDisplay::Idle},
    };
    for (const auto& step : steps) {
        for (int tick = 0; tick < 4; ++tick) {
            counters.datagrams.received += step.received;
            counters.datagrams.sent += step.sent;
            EXPECT_EQ(display.activityTick(), step.expected) << step.what << " tick " << tick;
        }
    }
}
