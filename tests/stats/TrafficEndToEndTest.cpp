// The real binary in this test's own network namespace: traffic over a veth pair, SIGTERM, and
// the run's history line read back with its real totals.
#include "RunningTarvok.h"
#include "TrafficSupport.h"
#include "stats/CIpHelper.h"
#include "support/Sandbox.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

using namespace tarvok;

TEST(TrafficEndToEnd, TheHistoryLineCarriesTheRunsRealTotals) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::VethPair pair; // before the start: an interface that arrives brings its past along
    std::optional<test::TcpListener> listener = pair.farListener();
    ASSERT_TRUE(pair.ok() && listener);
    test::ProgramFolder folder;
    test::RunningTarvok tarvok(folder, false, true, {"LC_ALL=en_US.UTF-8"}); // groups as "4,893"
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo(folder.file("Logs")).isDir(); }, 20000));
    QThread::msleep(1000); // past the first totals update, which fixes the start

    test::TcpConnection connection = test::connect(test::VethPair::Near, *listener);
    CIpHelper kernel;
    kernel.Interfaces();
    const std::uint64_t receivedBefore = kernel.BytesReceived(), sentBefore = kernel.BytesSent();
    const std::size_t payload = 8'000'000;
    test::sendThrough(connection, payload);
    kernel.Interfaces();
    const double receivedKB = double(kernel.BytesReceived() - receivedBefore) / 1024;
    const double sentKB = double(kernel.BytesSent() - sentBefore) / 1024;
    QThread::msleep(2500); // two speed ticks after the traffic
    ASSERT_TRUE(tarvok.terminate());

    const QString history = QString::fromUtf8(folder.read("History.tvh"));
    // One line of six quoted fields; grouped numbers carry commas inside their quotes.
    const QRegularExpressionMatch line =
        QRegularExpression(
            R"re(^"[^"]*","[^"]*","([\d,]+) \(KB\)","([\d,]+) \(KB\)","([\d,]+) \(KB\)","0"\r\n$)re")
            .match(history);
    ASSERT_TRUE(line.hasMatch()) << history.toStdString();
    const auto kilobytes = [&line](int field) {
        return line.captured(field).remove(',').toLongLong();
    };
    // Nothing else moves bytes over the pair; the binary's rounding stays within a few KB.
    EXPECT_GE(kilobytes(2), qint64(payload / 1024)) << history.toStdString();
    EXPECT_NEAR(double(kilobytes(1)), receivedKB, 3.0) << history.toStdString();
    EXPECT_NEAR(double(kilobytes(2)), sentKB, 3.0) << history.toStdString();
    EXPECT_EQ(kilobytes(3), kilobytes(1) + kilobytes(2));
    EXPECT_TRUE(line.captured(2).contains(',')) << "grouped in the run's locale";
}
