#include "app/AppTestSupport.h"
#include "fakes/FakePrompter.h"
#include "monitor/ActivityTab.h"
#include "monitor/AlertRows.h"
#include "monitor/AlertWindow.h"
#include "monitor/ConnectionMonitor.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QAction>
#include <QTest>
#include <QTimer>
#include <QTreeView>

using namespace tarvok;

// The whole program: the count watcher fills the per-application list, the test's own program
// is announced, Trust frees the main window, and the view switch shows the other list.
TEST(ActivityTabInTheProgram, CountWatcherAlertAndViewSwitch) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::ProgramFolder folder;
    test::FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    test::TcpListener listener("127.0.0.2");
    auto connection = test::connect("127.0.0.3", listener);

    QTreeView* perApplication = app.window()->list(QStringLiteral("ListConnPROC"));
    QTreeView* perConnection = app.window()->list(QStringLiteral("ListConnections"));
    auto* watcher = app.window()->findChild<QTimer*>(QStringLiteral("Timer1_IMPROVED"));
    ASSERT_NE(watcher, nullptr);
    EXPECT_TRUE(watcher->isActive());
    // The first tick sees the count change from 0 and rebuilds the list.
    QTRY_VERIFY_WITH_TIMEOUT(perApplication->model()->rowCount() > 0, 3000);

    AlertWindow* alert = app.activity()->alertWindow();
    ASSERT_TRUE(alert->isVisible()) << "this test program connected for the first time";
    EXPECT_FALSE(app.window()->isEnabled());
    EXPECT_EQ(app.activity()->alertRows()->row(0).path, QCoreApplication::applicationFilePath());
    while (app.activity()->alertRows()->rowCount() > 0)
        app.activity()->alertRows()->trust(0);
    EXPECT_FALSE(alert->isVisible());
    EXPECT_TRUE(app.window()->isEnabled());

    app.window()->action(QStringLiteral("mnuDisplayApp"))->trigger();
    EXPECT_TRUE(perConnection->isVisibleTo(app.window()));
    EXPECT_FALSE(perApplication->isVisibleTo(app.window()));
    EXPECT_EQ(app.monitor()->viewValue(), QStringLiteral("RefConn"));
    EXPECT_GT(perConnection->model()->rowCount(), 0) << "the new view is rebuilt at once";
    app.shutdown(false);
}
