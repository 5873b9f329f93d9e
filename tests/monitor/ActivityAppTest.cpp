#include "app/AppTestSupport.h"
#include "fakes/FakePrompter.h"
#include "monitor/ActivityTab.h"
#include "monitor/AlertRows.h"
#include "monitor/AlertWindow.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QAction>
#include <QTest>
#include <QTreeView>

using namespace tarvok;

// The whole program: the count watcher fills the per-application list and announces the test's
// own program, Trust frees the main window, and the view switch shows the other list, rebuilt.
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
    QTRY_VERIFY_WITH_TIMEOUT(perApplication->model()->rowCount() > 0, 3000);

    ASSERT_TRUE(app.activity()->alertWindow()->isVisible()) << "this program's first connection";
    EXPECT_FALSE(app.window()->isEnabled());
    EXPECT_EQ(app.activity()->alertRows()->row(0).path, QCoreApplication::applicationFilePath());
    while (app.activity()->alertRows()->rowCount() > 0)
        app.activity()->alertRows()->trust(0);
    EXPECT_FALSE(app.activity()->alertWindow()->isVisible());
    EXPECT_TRUE(app.window()->isEnabled());

    app.window()->action(QStringLiteral("mnuDisplayApp"))->trigger();
    EXPECT_TRUE(perConnection->isVisibleTo(app.window()));
    EXPECT_FALSE(perApplication->isVisibleTo(app.window()));
    EXPECT_GT(perConnection->model()->rowCount(), 0) << "the new view is rebuilt at once";
    app.shutdown(false);
}
