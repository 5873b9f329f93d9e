// The traffic figures, from stand-in counters that go back, fail or jump on demand (real
// traffic: TrafficEndToEndTest).
#include "stats/TrafficDisplay.h"
#include "fakes/FakeTrafficCounters.h"

#include <gtest/gtest.h>

using namespace tarvok;
using tarvok::test::FakeTrafficCounters;

namespace {

const QLocale English(QLocale::English, QLocale::UnitedStates);
TextHolders Holders; // the built-in texts

// One second of the window's timers: the totals update, then the speed tick.
void tick(TrafficDisplay& display) {
    display.updateTick();
    display.speedTick();
}

} // namespace

TEST(TrafficDisplay, SetBytesAtTheEdgesInTwoLocales) {
    const QLocale german(QLocale::German, QLocale::Germany);
    const struct { double kilobytes; const char *english, *german; } cases[] = {
        {0, "0.00 MB", "0,00 MB"},           {500, "0.49 MB", "0,49 MB"},
        {1048575, "1024.00 MB", "1024,00 MB"}, {1048576, "1.00 GB", "1,00 GB"},
        {1073741823, "1024.00 GB", "1024,00 GB"}, {1073741824, "1.00 TB", "1,00 TB"},
        {5497558138880.0, "5120.00 TB", "5120,00 TB"}}; // no group separator
    for (const auto& c : cases) {
        EXPECT_EQ(TrafficDisplay::SetBytes(c.kilobytes, English), c.english) << c.kilobytes;
        EXPECT_EQ(TrafficDisplay::SetBytes(c.kilobytes, german), c.german) << c.kilobytes;
    }
    EXPECT_EQ(TrafficDisplay::SetBytes(std::nan(""), English), "");
}

// Each interface counts its own differences: a second of more than 128 MB (an old cut) or
// above 4 GB counts; an interface that leaves, arrives with counters of its past or whose
// counter goes back (a reset) changes nothing but its own share of that second. A failed read
// taken as 0 bytes made the next good read count every byte the machine ever moved. An
// interface made during the run lost its traffic up to the first read that saw it.
TEST(TrafficDisplay, EachInterfaceCountsOnlyItsOwnDifferences) {
    FakeTrafficCounters counters;
    TrafficDisplay display(counters, Holders, English);
    counters.failReads = 1; // even the first read
    tick(display);
    counters.bytes = {{2, {10'000'000, 20'000'000}}, {3, {5'000'000, 5'000'000}}};
    counters.connections.established = 3;
    tick(display); // the first good read fixes the start
    EXPECT_EQ(QStringList({display.panelText(3), display.panelText(4), display.panelText(5)}),
              QStringList({"Established: 3", "Received : 0.00 MB", "Sent: 0.00 MB"}));
    const struct {
        InterfaceBytes bytes, arrivedWith;
        int failReads;
        std::int64_t in, out;
    } seconds[] = {
        {{{2, {10'000'000 + (200 << 20), 20'001'024}}, {3, {5'000'000, 5'000'000}}}, {}, 0,
         204800, 1},
        // Interface 3 leaves, 4 moves in with 9 GB it carried before; 2 moves 10 KB in, 5 GB out.
        {{{2, {10'000'000 + (210 << 20), 5'020'001'024}}, {4, {9'000'000'000, 9'000'000'000}}},
         {{4, {9'000'000'000, 9'000'000'000}}}, 0, 10240, 4882813},
        // Interface 2 is reset; 4 moves 1 KB each way.
        {{{2, {0, 0}}, {4, {9'000'001'024, 9'000'001'024}}}, {}, 0, 1, 1},
        // The table cannot be read; the next read counts from the last one read.
        {{{2, {1024, 0}}, {4, {9'000'001'024, 9'000'001'024}}}, {}, 1, 0, 0},
        {{{2, {2048, 0}}, {4, {9'000'001'024, 9'000'001'024}}}, {}, 0, 2, 0},
        // Interface 5 was made since the last read and has moved 3 KB in, 2 KB out.
        {{{2, {2048, 0}}, {4, {9'000'001'024, 9'000'001'024}}, {5, {3072, 2048}}}, {}, 0, 3, 2},
    };
    for (const auto& second : seconds) {
        counters.bytes = second.bytes;
        counters.arrivedWith = second.arrivedWith;
        counters.failReads = second.failReads;
        tick(display);
        EXPECT_EQ(std::tuple(display.speedIn(), display.speedOut()), std::tuple(second.in, second.out));
    }
    display.UpdateTraffic(); // the next totals update shows the seconds just counted
    const TrafficDisplay::RunTotals totals = display.runTotals();
    EXPECT_EQ(QStringList({display.panelText(4), display.panelText(6), totals.receivedKB,
                           totals.sentKB, totals.totalKB}),
              QStringList({"Received: 210.01 MB", "In: 3 KB/s", "215,046", "4,882,817",
                           "5,097,863"}));
    EXPECT_FALSE(totals.endTime.isEmpty());
}

TEST(TrafficDisplay, ActivityFollowsTheDatagramCounters) {
    FakeTrafficCounters counters;
    TrafficDisplay display(counters, Holders, English);
    counters.datagrams = {100, 100};
    EXPECT_EQ(display.activityTick(), TrafficDisplay::Both) << "against the all-zero start";
    const struct { std::uint64_t received, sent; TrafficDisplay::Activity expected; } steps[] = {
        {1, 0, TrafficDisplay::Receiving}, {0, 1, TrafficDisplay::Sending},
        {1, 1, TrafficDisplay::Both},      {0, 0, TrafficDisplay::Idle}};
    for (const auto& step : steps)
        for (int tick = 0; tick < 4; ++tick) {
            counters.datagrams.received += step.received;
            counters.datagrams.sent += step.sent;
            EXPECT_EQ(display.activityTick(), step.expected) << step.expected << " tick " << tick;
        }
}
