// The whole program in this test's network namespace: rules made in the rule editor from the
// menu and from a live connection's row cut that connection within two ticks of Timer1, while
// the editor is still open; a disabled rule lets a new connection live.

#include "PolicyWindow.h"
#include "app/AppTestSupport.h"
#include "engine/EnforcementEngine.h"
#include "shell/Application.h"
#include "support/Sandbox.h"

#include <QDeadlineTimer>
#include <QMenu>
#include <QSignalSpy>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// Runs the event loop until the connection is cut or three ticks of Timer1 have passed (or
// ten seconds); returns the ticks it took, or -1 when the connection lives on.
int ticksUntilCut(Application& app, const TcpConnection& connection) {
    QSignalSpy spy(app.engine()->timer(), &QTimer::timeout);
    const QDeadlineTimer deadline(10000);
    bool cut = false; // the error is reported once
    while (spy.count() < 3 && !(cut = isCut(connection)) && !deadline.hasExpired())
        QTest::qWait(5);
    return cut || isCut(connection) ? static_cast<int>(spy.count()) : -1;
}

TEST(PolicyEndToEnd, RulesFromTheEditorAndFromALiveRowCutWithinTwoTicks) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    // The per-connection list: the per-application one would announce this test program in
    // the alert window, which holds the main window until someone answers it.
    app.window()->action("mnuDisplayApp")->trigger();
    auto* rules = app.window()->findChild<RuleListController*>();
    ASSERT_NE(rules, nullptr);

    TcpListener web("127.0.0.2");
    TcpConnection first = test::connect("127.0.0.3", web);
    EXPECT_EQ(ticksUntilCut(app, first), -1) << "cut with no rule";
    app.window()->action("mnuAddRule")->trigger();
    RuleEditorDialog* editor = rules->editor();
    ASSERT_NE(editor, nullptr);
    fillEditor(editor, false, "127.0.0.2", QString::number(web.port()));
    editor->findChild<QPushButton*>("cmdAdd")->click();
    const int ticks = ticksUntilCut(app, first);
    EXPECT_TRUE(ticks >= 1 && ticks <= 2) << ticks;
    EXPECT_TRUE(editor->isVisible()) << "the editor stays open while the firewall works";
    editor->close();

    // Disabled through the list's context menu: a new connection lives.
    QTreeView* list = app.window()->list("ListRules");
    list->setCurrentIndex(list->model()->index(0, 0));
    emit app.window()->menu("mnuListRules")->aboutToShow();
    app.window()->action("mnuEnabledRule")->trigger();
    TcpConnection second = test::connect("127.0.0.3", web);
    EXPECT_EQ(ticksUntilCut(app, second), -1);

    // Ctrl+R on the live row of another connection in the per-connection list.
    TcpListener mail("127.0.0.4");
    TcpConnection third = test::connect("127.0.0.3", mail);
    QTreeView* connections = app.window()->list("ListConnections");
    const auto rowOfThird = [&] {
        const QAbstractItemModel* rows = connections->model();
        for (int row = 0; row < rows->rowCount(); ++row)
            if (rows->index(row, 2).data().toString() == QString::number(third.clientPort))
                return row;
        return -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(rowOfThird() >= 0, 5000); // the count watcher lists it
    connections->setCurrentIndex(connections->model()->index(rowOfThird(), 0));
    QTest::keyClick(connections, Qt::Key_R, Qt::ControlModifier);
    editor = rules->editor();
    ASSERT_NE(editor, nullptr);
    editor->findChild<QPushButton*>("cmdAdd")->click();
    const int rowTicks = ticksUntilCut(app, third);
    EXPECT_TRUE(rowTicks >= 1 && rowTicks <= 2) << rowTicks;
    EXPECT_FALSE(isCut(second));
    editor->close();
    app.shutdown(false);
}

} // namespace
