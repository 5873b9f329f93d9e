// The traffic figures of the whole program, over a veth pair of the test's own: the status-bar
// panels as assistive technology reads them, and the run's history line with its real totals.
#include "AppTestSupport.h"
#include "TrafficSupport.h"
#include "fakes/FakePrompter.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "stats/CIpHelper.h"
#include "stats/ProtocolCounters.h"
#include "stats/TrafficDisplay.h"
#include "support/Sandbox.h"

#include <QAccessible>
#include <QAction>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

using namespace tarvok;

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

// The totals followed the sum over all interfaces: when one went away the sum went back and
// the second's traffic of every interface was dropped; an interface removed before its last
// bytes were read loses none of them. Loopback traffic is not counted. The panels' accessible
// names follow the live figures and what each picture means.
TEST(TrafficDisplay, TrafficOfAnInterfaceRemovedBeforeItWasReadStillCounts) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::VethPair pair; // present at the start: the figures count from the first read
    std::optional<test::TcpListener> listener = pair.farListener();
    ASSERT_TRUE(pair.ok() && listener);
    const QLocale previousLocale;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); // groups as "4,893"
    test::ProgramFolder folder;
    test::FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    MainWindow* window = app.window();
    QTest::qWait(1000); // past the first totals update, which fixes the start

    // Traffic flows while the window's own timers run; the names are read as it goes.
    CIpHelper kernel;
    kernel.Interfaces();
    const std::uint64_t receivedBefore = kernel.BytesReceived(), sentBefore = kernel.BytesSent();
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
    EXPECT_EQ(window->panelText(7), "Out: " + QString::number(app.traffic()->speedOut()) + " KB/s");
    EXPECT_EQ(accessibleName(window, 1), "Firewall: Active \u2013 Normal (Filter Traffic)");
    EXPECT_EQ(accessibleName(window, 2), window->panelText(2) + " (Policy in force)");

    // A level change changes what the first two pictures mean, and the names follow.
    window->action("mnuLevel2")->trigger();
    EXPECT_EQ(accessibleName(window, 1), window->panelText(1) + " (Block All Traffic)");
    EXPECT_EQ(accessibleName(window, 2), window->panelText(2) + " (Policy not in force)");

    // The last bytes: the window's timers do not run again before the end of the run.
    test::sendThrough(connection, 2'000'000);
    test::TcpListener local("127.0.0.2");
    test::TcpConnection loopback = test::connect("127.0.0.3", local);
    test::sendThrough(loopback, 4u << 20);
    kernel.Interfaces();
    const double receivedKB = double(kernel.BytesReceived() - receivedBefore) / 1024;
    const double sentKB = double(kernel.BytesSent() - sentBefore) / 1024;
    pair.remove();
    app.shutdown(false); // counts the bytes since the last speed tick, then writes the history
    QLocale::setDefault(previousLocale);

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
    // Nothing else moves bytes over the pair; whole KB, each end rounded. A veth end's removal
    // notice carries no received bytes (it reads them from its peer, already gone): the
    // acknowledgements since the last read are lost, nothing more.
    EXPECT_NEAR(double(kilobytes(2)), sentKB, 1.0) << history.toStdString();
    EXPECT_TRUE(kilobytes(1) > 0 && kilobytes(1) <= receivedKB + 1.0) << history.toStdString();
    EXPECT_EQ(kilobytes(3), kilobytes(1) + kilobytes(2));
    EXPECT_TRUE(line.captured(2).contains(',')) << "grouped in the run's locale";
}

// A link made during the run lost its traffic up to the first read that saw it, as if it
// were the past of an interface that moved in (38.0 of 40 MB over a pair made mid-run).
TEST(TrafficDisplay, TrafficOfAnInterfaceMadeDuringTheRunBeforeItWasFirstReadCounts) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    SystemCounters counters;
    const TextHolders holders;
    TrafficDisplay display(counters, holders);
    display.UpdateTraffic(); // the start: loopback alone
    test::VethPair pair;
    std::optional<test::TcpListener> listener = pair.farListener();
    ASSERT_TRUE(pair.ok() && listener);
    test::TcpConnection connection = test::connect(test::VethPair::Near, *listener);
    test::sendThrough(connection, 4u << 20);
    CIpHelper kernel; // the pair's counters from its creation on
    kernel.Interfaces();
    display.UpdateTraffic();
    EXPECT_GE(display.sentSinceStart(), 4096);
    EXPECT_NEAR(double(display.sentSinceStart()), double(kernel.BytesSent()) / 1024, 1.0);
    EXPECT_NEAR(double(display.receivedSinceStart()), double(kernel.BytesReceived()) / 1024, 1.0);
}
