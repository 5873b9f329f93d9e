// The whole program in this test's network namespace: a rule made in the rule editor from a
// live connection's row cuts that connection within two ticks of Timer1, while the editor is
// still open.

#include "PolicyWindow.h"
#include "app/AppTestSupport.h"
#include "engine/EnforcementEngine.h"
#include "shell/Application.h"
#include "support/Sandbox.h"

#include <QDeadlineTimer>
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

TEST(PolicyEndToEnd, ARuleFromALiveRowCutsItWithinTwoTicks) {
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
    TcpConnection connection = test::connect("127.0.0.3", web);
    QTreeView* connections = app.window()->list("ListConnections");
    const auto row = [&] {
        const QAbstractItemModel* rows = connections->model();
        for (int row = 0; row < rows->rowCount(); ++row)
            if (rows->index(row, 2).data().toString() == QString::number(connection.clientPort))
                return row;
        return -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(row() >= 0, 5000); // the count watcher lists it
    EXPECT_EQ(ticksUntilCut(app, connection), -1) << "cut with no rule";
    connections->setCurrentIndex(connections->model()->index(row(), 0));
    QTest::keyClick(connections, Qt::Key_R, Qt::ControlModifier);
    RuleEditorDialog* editor = rules->editor();
    ASSERT_NE(editor, nullptr);
    editor->findChild<QPushButton*>("cmdAdd")->click();
    const int ticks = ticksUntilCut(app, connection);
    EXPECT_TRUE(ticks >= 1 && ticks <= 2) << ticks;
    EXPECT_TRUE(editor->isVisible()) << "the editor stays open while the firewall works";
    editor->close();
    app.shutdown(false);
}

} // namespace
