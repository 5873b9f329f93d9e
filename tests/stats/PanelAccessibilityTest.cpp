// Assistive technology reads the status-bar panels through their accessible names, which must
// follow the live figures and what each picture means.
#include "AppTestSupport.h"
#include "TrafficSupport.h"
#include "fakes/FakePrompter.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "stats/TrafficDisplay.h"
#include "support/Sandbox.h"

#include <QAccessible>
#include <QAction>
#include <QDeadlineTimer>
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
