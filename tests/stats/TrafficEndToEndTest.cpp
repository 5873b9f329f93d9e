// The real binary in this test's own network namespace: traffic through loopback, SIGTERM, and
// the run's history line read back with its real totals.

#include "RunningTarvok.h"
#include "stats/CIpHelper.h"
#include "support/Sandbox.h"
#include "TrafficSupport.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

using namespace tarvok;

namespace {

// "12,345 (KB)" -> 12345
qint64 kilobytes(QString field) {
    field.remove(QLatin1Char(',')).remove(QStringLiteral(" (KB)"));
    bool ok = false;
    const qint64 value = field.toLongLong(&ok);
    return ok ? value : -1;
}

} // namespace

TEST(TrafficEndToEnd, TheHistoryLineCarriesTheRunsRealTotals) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::ProgramFolder folder;
    // Grouped totals in this locale: "4,893".
    test::RunningTarvok tarvok(folder, false, true, {"LC_ALL=en_US.UTF-8"});
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo(folder.file("Logs")).isDir(); }, 20000));
    QThread::msleep(1000); // past the first totals update, which fixes the start

    test::TcpListener listener("127.0.0.8");
    test::TcpConnection connection = test::connect("127.0.0.9", listener);
    CIpHelper kernel;
    kernel.Interfaces();
    const std::uint64_t before = kernel.BytesReceived();
    const std::size_t payload = 8'000'000;
    test::sendThrough(connection, payload);
    kernel.Interfaces();
    const double kernelKB = double(kernel.BytesReceived() - before) / 1024;
    QThread::msleep(2500); // two speed ticks after the traffic

    ASSERT_TRUE(tarvok.terminate());

    const QByteArray history = folder.read("History.tvh");
    ASSERT_EQ(history.count("\r\n"), 1) << history.toStdString();
    // Six quoted fields; grouped numbers carry commas inside their quotes.
    const QRegularExpressionMatch line =
        QRegularExpression(R"re(^"[^"]*","[^"]*","([^"]*)","([^"]*)","([^"]*)","([^"]*)"\r\n$)re")
            .match(QString::fromUtf8(history));
    ASSERT_TRUE(line.hasMatch()) << history.toStdString();
    const qint64 received = kilobytes(line.captured(1));
    const qint64 sent = kilobytes(line.captured(2));
    const qint64 total = kilobytes(line.captured(3));
    // Nothing else moves bytes in this namespace; the binary's own rounding of its start and
    // of each second stays within a few KB.
    EXPECT_GE(received, qint64(payload / 1024)) << history.toStdString();
    EXPECT_NEAR(double(received), kernelKB, 3.0) << history.toStdString();
    EXPECT_NEAR(double(sent), kernelKB, 3.0) << history.toStdString();
    EXPECT_EQ(total, received + sent);
    EXPECT_TRUE(line.captured(1).contains(',')) << "grouped in the run's locale";
    EXPECT_TRUE(line.captured(1).endsWith(" (KB)"));
    EXPECT_EQ(line.captured(4), "0");
}
