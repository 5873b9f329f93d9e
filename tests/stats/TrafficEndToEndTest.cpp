// The traffic figures of the whole program, over a veth pair of the test's own: the real binary
// (SIGTERM, and the run's history line read back with its real totals), and the status-bar
// panels as assistive technology reads them, whose accessible names must follow the live figures
// and what each picture means.
#include "RunningTarvok.h"
#include "TrafficSupport.h"
#include "fakes/FakePrompter.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "stats/CIpHelper.h"
#include "stats/TrafficDisplay.h"
#include "support/Sandbox.h"

#include <QAccessible>
#include <QAction>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
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
    EXPECT_NEAR(double(kilobytes(1)), receivedKB, 3.0) << history.toStdString();
    EXPECT_NEAR(double(kilobytes(2)), sentKB, 3.0) << history.toStdString();
    EXPECT_EQ(kilobytes(3), kilobytes(1) + kilobytes(2));
    EXPECT_TRUE(line.captured(2).contains(',')) << "grouped in the run's locale";
}

namespace {

QString accessibleName(MainWindow* window, int panel) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(window->panel(panel));
    return face ? face->text(QAccessible::Name) : QStringLiteral("<no interface>");
}

// Each panel's accessible name is its text, with its picture's meaning in brackets.
void expectNamesFollowTheTexts(MainWindow* window) {
    for (int panel = 1; panel <= MainWindow::PanelCount; ++panel) {
        const QString text = window->panelText(panel);
        const QString meaning = window->panelMeaning(panel);
        EXPECT_EQ(accessibleName(window, panel),
                  meaning.isEmpty() || meaning == text ? text : text + " (" + meaning + ")")
            << "panel " << panel;
    }
}

} // namespace

TEST(PanelAccessibility, EveryPanelReadsItsLiveTextAndPictureMeaning) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::VethPair pair; // before the start, so that the first read already holds it
    std::optional<test::TcpListener> listener = pair.farListener();
    ASSERT_TRUE(pair.ok() && listener);
    test::ProgramFolder folder;
    test::FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    MainWindow* window = app.window();

    // Traffic flows while the window's own timers run; the names are read as it goes.
    test::TcpConnection connection = test::connect(test::VethPair::Near, *listener);
    QSet<QString> speedsHeard;
    QDeadlineTimer deadline(8000);
    while (!deadline.hasExpired() && app.traffic()->sentKB() < 3000) {
        test::sendThrough(connection, 1'000'000);
        QTest::qWait(300);
        expectNamesFollowTheTexts(window);
        speedsHeard.insert(accessibleName(window, 7));
    }
    ASSERT_GE(app.traffic()->sentKB(), 3000u);
    EXPECT_GE(speedsHeard.size(), 2); // the names changed with the figures
    EXPECT_EQ(accessibleName(window, 1), "Firewall: Active \u2013 Normal (Filter Traffic)");
    EXPECT_EQ(accessibleName(window, 2), window->panelText(2) + " (Policy in force)");

    // A level change changes what the first two pictures mean, and the names follow.
    window->action("mnuLevel2")->trigger();
    EXPECT_EQ(accessibleName(window, 1), window->panelText(1) + " (Block All Traffic)");
    EXPECT_EQ(accessibleName(window, 2), window->panelText(2) + " (Policy not in force)");
    app.shutdown(false);
}
