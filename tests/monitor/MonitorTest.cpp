#include "app/AppTestSupport.h"
#include "engine/EnforcementEngine.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakePrompter.h"
#include "monitor/ActivityTab.h"
#include "monitor/AlertRows.h"
#include "monitor/AlertWindow.h"
#include "monitor/ConnectionActions.h"
#include "monitor/ConnectionMonitor.h"
#include "monitor/ProgramIcons.h"
#include "monitor/ResolveWindow.h"
#include "policy/PolicyFile.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "shell/QtPrompter.h"
#include "support/EnforcerSupport.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTimer>
#include <QTest>
#include <QDateTime>
#include <QTreeView>

#include <cerrno>
#include <optional>
#include <sys/socket.h>

using namespace tarvok;
using View = ConnectionMonitor::View;

namespace {

constexpr int Alive = -ETIMEDOUT;

struct Monitor {
    platform::SockDiag diag;
    ConnectionTables tables{diag};
    test::Enforcing enforcing{tables};
    test::FakePrompter prompter;
    test::MapLocaliser language;
    test::RecordingEvents events;
    test::MapSettings settings;
    ConnectionMonitor monitor{tables};
    ConnectionActions actions{monitor, tables, prompter, language};

    Monitor() {
        monitor.setYield([] {});
        monitor.setPrompter(&prompter);
        actions.setEventSink(&events);
        actions.setSettings(&settings);
        for (int key : {25, 88, 89, 90, 91, 92, 93, 94})
            language.texts[QStringLiteral("Main/%1").arg(key)] = QStringLiteral("M%1").arg(key);
    }

    // Rows of a list whose cell column reads text (and cell column2 reads text2, if given).
    std::vector<int> rowsWhere(View view, int column, const QString& text, int column2 = 0,
                               const QString& text2 = {}) {
        std::vector<int> found;
        const ConnectionListModel& list = *monitor.model(view);
        for (int i = 0; i < list.rowCount(); ++i)
            if (list.cell(i, column) == text && (text2.isEmpty() || list.cell(i, column2) == text2))
                found.push_back(i);
        return found;
    }
};

// The Activity tab as the program wires it (the main window's lists, menus and options) over
// real connections to a listener on 127.0.0.2, with a clock that stands still: a row is found
// again by its texts, the time among them.
class ActivityTabLists : public ::testing::Test {
protected:
    void SetUp() override {
        TARVOK_REQUIRE_PRIVATE_NETWORK();
        m.actions.setDoubleClickMode([this] { return mode; });
        window.setConnectionModels(m.monitor.perConnectionModel(), m.monitor.perApplicationModel());
        for (const char* name : {"mnuShowListeningPorts", "mnuDisplayUDP", "mnuDisplay0000127001"})
            action(name)->setChecked(true);
        window.show();
        tab.emplace(m.monitor, m.actions, icons, m.prompter, m.language, &window, &list,
                    window.list("ListConnPROC"), [this](const QString& name) { return window.action(name); });
        listener.emplace("127.0.0.2");
        m.monitor.setClock([] { return QDateTime(QDate(2026, 3, 1), QTime(9, 15)); });
    }
    test::TcpConnection connect(const char* from) { return test::connect(from, *listener); }
    // To the per-connection list, rebuilt at once, as the program switches.
    void showPerConnection() {
        action("mnuDisplayApp")->trigger();
        window.setConnectionView(MainWindow::ConnectionView::PerConnection);
    }
    QAction* action(const char* name) { return window.action(QLatin1String(name)); }
    // The row of an end: a port alone may repeat across local addresses and protocols.
    int rowOf(const char* address, std::uint16_t port, const char* protocol = "TCP") {
        const ConnectionListModel& rows = *m.monitor.perConnectionModel();
        for (int row : m.rowsWhere(View::PerConnection, 2, QString::number(port)))
            if (rows.cell(row, 0) == protocol && rows.cell(row, 1) == address)
                return row;
        return -1;
    }
    QPoint pointOf(const char* address, std::uint16_t port) {
        const QModelIndex index = list.model()->index(rowOf(address, port), 1);
        list.scrollTo(index);
        return list.visualRect(index).center();
    }
    void click(const test::TcpConnection& end, const char* address) {
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, pointOf(address, end.clientPort));
    }

    Monitor m;
    QString mode = "1"; // CloseConDBClick
    ProgramIcons icons{DesktopEntries()};
    MainWindow window;
    QTreeView& list = *window.list("ListConnections");
    std::optional<ActivityTab> tab;
    std::optional<test::TcpListener> listener;
};

} // namespace

TEST(ConnectionMonitor, AChildProcessAppearsInBothViewsIsAnnouncedOnceAndIsKilledFromItsRow) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Monitor m;
    test::TcpListener listener("127.0.0.2");
    QSignalSpy announced(&m.monitor, &ConnectionMonitor::programAnnounced);
    QProcess child; // bash opens two connections, then becomes sleep, which keeps them
    const QString target = QStringLiteral("/dev/tcp/127.0.0.2/%1").arg(listener.port());
    child.start("bash", {"-c", QStringLiteral("exec 3<>%1 4<>%1; exec sleep 30").arg(target)});
    const auto sleeping = [&m] {
        m.monitor.RefConNetworkTCP_UDP();
        return m.rowsWhere(View::PerApplication, 0, "sleep");
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return sleeping().size() == 2; }, 5000));
    const auto rows = sleeping();
    const auto& cells = m.monitor.perApplicationModel()->row(rows[1]).cells;
    EXPECT_EQ(QStringList({cells[1], cells[4], cells[5], cells[6], cells[7]}),
              QStringList({"TCP", "127.0.0.2", QString::number(listener.port()), "ESTABLISHED",
                           "/usr/bin/sleep"}));
    // Two connections, one program, one announcement (bash may come first, before it is sleep).
    const QVariantList sleep{"/usr/bin/sleep", "127.0.0.2", quint32(child.processId())};
    EXPECT_EQ(announced.count(sleep), 1);

    m.monitor.RefreshConnections(); // both connections there: AddressTextsAndDisplayOptions
    const int listening = m.rowsWhere(View::PerConnection, 6, "LISTENING").at(0);
    EXPECT_EQ(m.monitor.perConnectionModel()->cell(listening, 3) + '|' +
                  m.monitor.perConnectionModel()->cell(listening, 5), "localhost|-");

    m.prompter.answers = {Prompter::Yes};
    m.actions.killProcess(rows.at(0));
    EXPECT_TRUE(child.waitForFinished(3000));
    EXPECT_EQ(m.prompter.messages().value(1).text + m.prompter.messages().value(0).text,
              "M92: (sleep)") << "the question only: success shows nothing";
    m.prompter.answers = {Prompter::Yes};
    m.actions.killProcess(rows.at(0)); // the same row, its process gone
    ASSERT_EQ(m.prompter.messages().size(), 3);
    EXPECT_EQ(std::tuple(m.prompter.messages()[2].text, m.prompter.messages()[2].style),
              std::tuple(QString("M94: sleep"), Prompter::Critical));
}

// IPv6 rows in IPv6 text, dual-stack rows in dotted text; options hide listeners, 0.0.0.0, UDP.
TEST(ConnectionMonitor, AddressTextsAndDisplayOptionsInBothViews) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    for (const char* address : {"fd00::2", "fd00::3"})
        ASSERT_TRUE(test::addLoopbackAddress(address)) << address;
    Monitor m;
    test::TcpListener named("127.0.0.2"), any("0.0.0.0"), native("fd00::2");
    auto v6 = test::connect("fd00::3", native);
    auto mapped = test::connect("::ffff:127.0.0.3", named); // a dual-stack socket's connection
    std::uint16_t udpPort = 0;
    test::Fd udp = test::udpSocket("127.0.0.2", udpPort);
    const QString port4 = QString::number(named.port()), port6 = QString::number(native.port());
    for (View view : {View::PerConnection, View::PerApplication}) {
        const int state = 6, local = view == View::PerConnection ? 1 : 2, remote = local + 2;
        m.monitor.setShowListening(true);
        m.monitor.setShowLocal(false);
        m.monitor.setView(view);
        m.monitor.rebuildCurrent();
        // Ports pick this run's rows, not those a repeated run left closing.
        EXPECT_EQ(m.rowsWhere(view, remote, "fd00::2", remote + 1, port6).size(), 1u);
        EXPECT_EQ(m.rowsWhere(view, local, "fd00::2", local + 1, port6).size(), 2u)
            << "listener and accepted end";
        EXPECT_EQ(m.rowsWhere(view, remote, "127.0.0.2", remote + 1, port4).size(), 1u)
            << "the dual-stack client's row in dotted text";
        EXPECT_EQ(m.rowsWhere(view, state, "LISTENING").size(), 2u)
            << "the 0.0.0.0 listener is hidden";
        m.monitor.setShowLocal(true);
        m.monitor.setShowListening(false);
        m.monitor.rebuildCurrent();
        EXPECT_TRUE(m.rowsWhere(view, state, "LISTENING").empty());
        EXPECT_EQ(m.rowsWhere(view, state, "Unknown").size(), 1u)
            << "UDP rows ignore the listening option";
        m.monitor.setShowUdp(false);
        m.monitor.rebuildCurrent();
        EXPECT_TRUE(m.rowsWhere(view, state, "Unknown").empty());
        m.monitor.setShowUdp(true);
    }
}

TEST_F(ActivityTabLists, TakeNoShortcutWhileEmpty) {
    for (int code : {3, 8, 11, 127})
        EXPECT_FALSE(m.actions.keyTyped(View::PerApplication, code, -1)) << code;
}

// Header clicks sort by the local-address column, descending first.
TEST_F(ActivityTabLists, KeepTheClickedRowSelectedThroughASort) {
    auto b = connect("127.0.0.4");
    showPerConnection();
    click(b, "127.0.0.4");
    emit list.header()->sectionClicked(1);
    const ConnectionListModel& sorted = *m.monitor.perConnectionModel();
    for (int row = 1; row < sorted.rowCount(); ++row)
        EXPECT_GE(compareListText(sorted.cell(row - 1, 1), sorted.cell(row, 1)), 0) << row;
    EXPECT_EQ(tab->selectedRow(View::PerConnection), rowOf("127.0.0.4", b.clientPort));
}

// The context menu's copy and resolve, and Backspace, act on the selected row's remote address.
TEST_F(ActivityTabLists, CopyAndResolveTheSelectedRowsRemoteAddress) {
    auto b = connect("127.0.0.4");
    showPerConnection();
    click(b, "127.0.0.4");
    action("mnuCopyRemAdd")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "127.0.0.2");
    action("mnuResolveHost")->trigger();
    EXPECT_EQ(tab->resolveWindow()->findChild<QLineEdit*>("Text1")->text(), "127.0.0.2");
    tab->resolveWindow()->close();
    EXPECT_TRUE(m.actions.keyTyped(View::PerConnection, ConnectionActions::Backspace, 0));
    EXPECT_TRUE(tab->resolveWindow()->isVisible());
}

// The row reached with the arrow keys is the one a rebuild selects again; Ctrl+C copies its
// remote address and cuts nothing.
TEST_F(ActivityTabLists, ReselectTheArrowedRowAfterARebuildAndCopyItWithCtrlC) {
    auto b = connect("127.0.0.4");
    showPerConnection();
    click(b, "127.0.0.4");
    list.setFocus();
    const ConnectionListModel& rows = *m.monitor.perConnectionModel();
    const bool last = rowOf("127.0.0.4", b.clientPort) == rows.rowCount() - 1;
    QTest::keyClick(&list, last ? Qt::Key_Up : Qt::Key_Down);
    const auto arrowed = rows.row(tab->selectedRow(View::PerConnection)).cells;
    ASSERT_NE(arrowed, rows.row(rowOf("127.0.0.4", b.clientPort)).cells);
    m.monitor.RefreshConnections();
    EXPECT_EQ(rows.row(tab->selectedRow(View::PerConnection)).cells, arrowed);
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(&list, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), arrowed[3]);
    EXPECT_TRUE(m.events.records.isEmpty()) << "Ctrl+C closed a connection";
}

// A menu command acts on the row under the menu, also after the table changed under it; Delete
// and a double click (mode 1) close the selected row; each close is recorded, unasked while
// CloseConManually is off.
TEST_F(ActivityTabLists, CloseTheRowUnderTheMenuTheSelectedOneAndTheDoubleClickedOne) {
    auto a = connect("127.0.0.3"), b = connect("127.0.0.4"), gone = connect("127.0.0.6"),
         kept = connect("127.0.0.5");
    showPerConnection();
    const QPoint underMenu = pointOf("127.0.0.3", a.clientPort);
    QTest::mousePress(list.viewport(), Qt::RightButton, {}, underMenu);
    emit list.customContextMenuRequested(underMenu);
    gone = {};
    auto later = connect("127.0.0.7");
    m.monitor.RefreshConnections();
    action("mnuBreakConnection")->trigger();
    EXPECT_NE(test::readOutcome(a.server.get(), 2000), Alive);
    click(b, "127.0.0.4");
    QTest::keyClick(&list, Qt::Key_Delete);
    EXPECT_NE(test::readOutcome(b.server.get(), 2000), Alive);
    for (const auto* alive : {&kept, &later})
        EXPECT_EQ(test::readOutcome(alive->server.get(), 50), Alive);
    m.monitor.RefreshConnections();
    click(later, "127.0.0.7");
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, pointOf("127.0.0.7", later.clientPort));
    EXPECT_NE(test::readOutcome(later.server.get(), 200), Alive);
    ASSERT_EQ(m.events.records.size(), 3);
    for (const auto& [record, port] : {std::pair{0, a.clientPort}, std::pair{1, b.clientPort}})
        EXPECT_EQ(QStringList({m.events.records[record].status, m.events.records[record].localPort}),
                  QStringList({"M90", QString::number(port)}));
    EXPECT_TRUE(m.prompter.messages().isEmpty());
}

// With CloseConManually on, a close asks first; the answer No closes and records nothing.
TEST_F(ActivityTabLists, AskBeforeACloseAndKeepTheConnectionOnNo) {
    auto c = connect("127.0.0.5");
    std::uint16_t udpPort = 0;
    test::Fd udp = test::udpSocket("127.0.0.5", udpPort);
    m.settings.values["CloseConManually"] = "True";
    showPerConnection();
    m.prompter.answers = {Prompter::No};
    m.actions.closeConnection(View::PerConnection, rowOf("127.0.0.5", c.clientPort));
    EXPECT_EQ(test::readOutcome(c.server.get(), 50), Alive);
    EXPECT_EQ(std::tuple(m.prompter.messages().value(0).text, m.prompter.messages().value(0).style),
              std::tuple(QStringLiteral("M89: \n[127.0.0.5:%1:127.0.0.2]").arg(c.clientPort),
                         Prompter::Question));
    m.actions.closeConnection(View::PerConnection, rowOf("127.0.0.5", udpPort, "UDP"));
    EXPECT_EQ(m.prompter.messages().last().text, QStringLiteral("M88: \nUDP [%1]").arg(udpPort));
    ASSERT_EQ(m.events.records.size(), 1) << "the answer No wrote no event";
    const EventRecord& udpEvent = m.events.records[0];
    EXPECT_EQ(QStringList({udpEvent.protocol, udpEvent.status, udpEvent.service}),
              QStringList({"UDP", "M88", "-"}));
}

// Mode 0 opens the properties of the program, from the per-application list only; Ctrl+K
// (end the process) is no key of the per-connection list.
TEST_F(ActivityTabLists, DoubleClickModeZeroShowsThePropertiesOnlyPerApplication) {
    auto c = connect("127.0.0.5");
    showPerConnection();
    const int row = rowOf("127.0.0.5", c.clientPort);
    mode = "0";
    QSignalSpy properties(&m.actions, &ConnectionActions::propertiesRequested);
    m.monitor.RefConNetworkTCP_UDP();
    m.actions.doubleClicked(View::PerConnection, row);
    EXPECT_EQ(test::readOutcome(c.server.get(), 50), Alive) << "mode 0 does nothing here";
    m.actions.doubleClicked(
        View::PerApplication, m.rowsWhere(View::PerApplication, 3, QString::number(c.clientPort)).at(0));
    ASSERT_EQ(properties.size(), 1);
    EXPECT_EQ(properties[0][0].toString(), QCoreApplication::applicationFilePath());
    EXPECT_FALSE(m.actions.keyTyped(View::PerConnection, ConnectionActions::CtrlK, row));
}

TEST_F(ActivityTabLists, ADisplayOptionRebuildsTheCurrentViewOnly) {
    showPerConnection();
    m.monitor.RefConNetworkTCP_UDP();
    const int before = m.monitor.perApplicationModel()->rowCount();
    action("mnuShowListeningPorts")->trigger();
    EXPECT_TRUE(m.rowsWhere(View::PerConnection, 6, "LISTENING").empty());
    EXPECT_EQ(m.monitor.perApplicationModel()->rowCount(), before);
}

// Kill of a pid that no longer exists, or that now runs another program, sends nothing and
// keeps the row. The alert holds back the main window's own widgets but never a dialog already
// open over it; Escape hides it with its rows, closing drops them. (Showing it and Trust on the
// last row are checked in ActivityTabInTheProgram.)
TEST(AlertWindow, HoldsBackOnlyTheMainWindowKillsOnlyTheAnnouncedProgramAndEscapeKeepsItsRows) {
    test::FakePrompter prompter;
    test::MapLocaliser language;
    language.texts = {{"Alert/3", "Trust"}, {"Main/51", "Remote Address"}, {"Main/220", "PID"}};
    QWidget mainWindow;
    QPushButton mainButton(&mainWindow);
    QDialog openDialog(&mainWindow); // a file dialog or a message box, open when the alert comes
    QPushButton cancel(&openDialog);
    mainWindow.show();
    openDialog.show();
    AlertRows rows(prompter, language);
    AlertWindow window(rows, language, &mainWindow);
    rows.add("/usr/bin/one", "127.0.0.2", 4000001);
    window.announce();
    rows.add("/usr/bin/two", "127.0.0.3", 4000002);
    window.announce();
    EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(mainButton.isEnabled());
    EXPECT_TRUE(cancel.isEnabled()) << "the open dialog can still be answered";
    // The address column is headed as an address, not with the text of a menu entry.
    EXPECT_EQ(QStringList({rows.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(),
                           rows.headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(),
                           window.findChild<QPushButton*>("cmdTrust")->text()}),
              QStringList({"Remote Address", "PID", "Trust"}));

    QProcess sleeper;
    sleeper.start("sleep", {"30"});
    ASSERT_TRUE(sleeper.waitForStarted());
    const auto pid = static_cast<quint32>(sleeper.processId());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return platform::readProcess(pid).imagePath == "/usr/bin/sleep"; }, 2000));
    rows.add("/usr/bin/announced-program", "127.0.0.2", pid);
    for (int row : {0, 2}) { // no such process; the pid now names this sleep
        prompter.answers = {Prompter::Yes};
        rows.kill(row);
        EXPECT_EQ(prompter.messages().last().style, Prompter::Critical);
    }
    EXPECT_FALSE(sleeper.waitForFinished(200)) << "another program's process was killed";
    EXPECT_EQ(rows.rowCount(), 3);
    rows.add("/usr/bin/sleep", "127.0.0.2", pid);
    prompter.answers = {Prompter::Yes};
    rows.kill(3);
    EXPECT_TRUE(sleeper.waitForFinished(3000));
    EXPECT_EQ(rows.rowCount(), 3);

    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(window.list(), Qt::Key_Escape); // hidden, rows kept, main window free
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(mainButton.isEnabled());
    rows.add("/usr/bin/four", "127.0.0.4", 4000004);
    window.announce();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(rows.rowCount(), 4);
    // A box asked for from the alert opens over it, never underneath.
    QtPrompter shown;
    shown.setParentWidget(&mainWindow);
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QWidget* boxParent = nullptr;
    QTimer::singleShot(0, &window, [&boxParent] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            boxParent = box->parentWidget();
            box->close();
        }
    });
    shown.message(QStringLiteral("M94"), Prompter::Critical, QStringLiteral("Alert/5"));
    EXPECT_EQ(boxParent, &window);
    window.close(); // closed with rows in it: the main window is usable, the rows are gone
    EXPECT_TRUE(mainButton.isEnabled() && mainWindow.isEnabled());
    EXPECT_EQ(rows.rowCount(), 0);
}

// Churn that asks for a rebuild in every rebuild never keeps input out: what is asked for
// meanwhile runs once, from the event loop.
TEST(ConnectionMonitor, ARebuildAskedForDuringOneIsQueuedNotRunInTheSameCall) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Monitor m;
    test::TcpListener listener("127.0.0.2");
    QSignalSpy rebuilt(&m.monitor, &ConnectionMonitor::rebuilt);
    qsizetype rebuiltInsideYield = -1;
    int asked = 0;
    m.monitor.setYield([&] { // timer ticks in the rebuild: the count watcher and a display option
        if (asked++ >= 20)
            return;
        m.monitor.countWatcherTick();
        m.monitor.rebuildCurrent();
        if (rebuiltInsideYield < 0)
            rebuiltInsideYield = rebuilt.size();
    });
    m.monitor.RefConNetworkTCP_UDP();
    EXPECT_EQ(rebuiltInsideYield, 0) << "nothing was rebuilt inside the yield";
    EXPECT_EQ(rebuilt.size(), 1) << "the call returns after one rebuild";
    m.monitor.setYield([] {});
    QCoreApplication::processEvents();
    EXPECT_EQ(rebuilt.size(), 2) << "the rebuild asked for meanwhile ran once, afterwards";
}

// Ownerless rows (TIME_WAIT) come after the programs; a program whose only connection is still
// connecting is announced; the first owner row (tag 0) can be closed from this list.
TEST(ConnectionMonitor, PerApplicationListPutsProgramsFirstAnnouncesConnectingOnesAndClosesRowZero) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Monitor m;
    test::TcpListener listener("127.0.0.9");
    // The lowest local end, below every port the kernel hands out (earlier tests of this
    // executable may leave rows in TIME_WAIT): tag 0.
    auto first = test::connect("127.0.0.2", listener, 1);
    auto closed = test::connect("127.0.0.3", listener);
    closed.client = {}; // the client ends first, so its end waits in TIME_WAIT
    closed.server = {};
    m.monitor.RefConNetworkTCP_UDP();
    const ConnectionListModel& list = *m.monitor.perApplicationModel();
    int ownerless = 0;
    for (int row = 0; row < list.rowCount(); ++row) {
        ownerless += list.cell(row, 0).isEmpty();
        EXPECT_TRUE(list.cell(row, 0).isEmpty() || ownerless == 0) << "a program after row " << row;
    }
    EXPECT_GT(ownerless, 0);
    const std::vector<int> zero =
        m.rowsWhere(View::PerApplication, 2, "127.0.0.2", 3, QString::number(first.clientPort));
    ASSERT_EQ(zero.size(), 1u);
    ASSERT_EQ(list.row(zero[0]).tag, 0);
    m.actions.closeConnection(View::PerApplication, zero[0]);
    EXPECT_NE(test::readOutcome(first.server.get(), 2000), Alive);

    // With the listener's queue full, a new connection stays in SYN_SENT.
    ASSERT_EQ(::listen(listener.fd(), 0), 0);
    QTcpSocket queued;
    queued.connectToHost(QStringLiteral("127.0.0.9"), listener.port());
    ASSERT_TRUE(queued.waitForConnected(2000));
    QSignalSpy announced(&m.monitor, &ConnectionMonitor::programAnnounced);
    QProcess connecting;
    connecting.start("bash", {"-c", QStringLiteral("exec 3<>/dev/tcp/127.0.0.9/%1").arg(listener.port())});
    ASSERT_TRUE(QTest::qWaitFor([&] {
        m.monitor.RefConNetworkTCP_UDP();
        return !m.rowsWhere(View::PerApplication, 7, "/usr/bin/bash", 6, "SYN_SENT").empty();
    }, 5000));
    const QVariantList bash{"/usr/bin/bash", "127.0.0.9", quint32(connecting.processId())};
    EXPECT_EQ(announced.count(bash), 1);
    connecting.kill();
    connecting.waitForFinished(2000);
}

TEST(ActivityTabInTheProgram, CountWatcherAlertAndViewSwitch) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::ProgramFolder folder;
    test::FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    test::TcpListener listener("127.0.0.2");
    auto connection = test::connect("127.0.0.3", listener);
    QTreeView* perConnection = app.window()->list("ListConnections");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return app.window()->list("ListConnPROC")->model()->rowCount() > 0; }, 3000));

    ASSERT_TRUE(app.activity()->alertWindow()->isVisible()) << "this program's first connection";
    EXPECT_FALSE(app.window()->centralWidget()->isEnabled());
    EXPECT_EQ(app.activity()->alertRows()->row(0).path, QCoreApplication::applicationFilePath());
    auto* trust = app.activity()->alertWindow()->findChild<QPushButton*>("cmdTrust");
    for (int row = 0; row < 10 && app.activity()->alertWindow()->isVisible(); ++row)
        trust->click(); // each click trusts the selected row; the last one closes the window
    EXPECT_FALSE(app.activity()->alertWindow()->isVisible());
    EXPECT_TRUE(app.window()->centralWidget()->isEnabled());

    app.window()->action("mnuDisplayApp")->trigger();
    EXPECT_TRUE(perConnection->isVisibleTo(app.window()));
    EXPECT_GT(perConnection->model()->rowCount(), 0) << "the new view is rebuilt at once";
    app.shutdown(false);
}

// The per-application list names the rule or level that decides each connection, as the
// per-connection list does, and its menu's "Show the rule" opens that rule on the Policy tab.
TEST(ActivityTabInTheProgram, PerApplicationListNamesTheDecidingRuleAndShowsIt) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener listener("127.0.0.4");
    const QString port = QString::number(listener.port());
    test::ProgramFolder folder;
    const QList<Rule> rules{{"block", {}, {}, "127.0.0.9", "any port", {}, {}},
                            {"accept", {}, {}, "127.0.0.4", port, {}, {}}};
    ASSERT_TRUE(test::writeFile(folder.file("Normal.rlsp"), policyText(rules, RuleWords{})));
    const test::TcpConnection kept = test::connect("127.0.0.5", listener);
    test::FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    app.monitor()->RefConNetworkTCP_UDP();
    QTreeView* list = app.window()->list("ListConnPROC");
    const auto rowOf = [list](const QString& local, const QString& localPort) {
        for (int row = 0; row < list->model()->rowCount(); ++row)
            if (list->model()->index(row, 2).data() == local && list->model()->index(row, 3).data() == localPort)
                return row;
        return -1;
    };
    const int client = rowOf("127.0.0.5", QString::number(kept.clientPort)), listening = rowOf("127.0.0.4", port);
    ASSERT_GE(std::min(client, listening), 0);
    EXPECT_EQ(list->model()->headerData(8, Qt::Horizontal).toString(), "Rule");
    const auto decided = [list](int row) { return list->model()->index(row, 8).data().toString(); };
    EXPECT_EQ(decided(client) + '|' + decided(listening), "#2 accept|");

    QAction* showRule = app.window()->action("mnuShowRuleXP");
    ASSERT_TRUE(showRule);
    for (const int row : {listening, client}) { // the menu opens on the row, the client's last
        list->scrollTo(list->model()->index(row, 0));
        emit list->customContextMenuRequested(list->visualRect(list->model()->index(row, 0)).center());
        app.window()->menu("mnuListConnXP")->hide();
        EXPECT_EQ(showRule->isEnabled(), row == client) << row;
    }
    showRule->trigger();
    EXPECT_EQ(app.window()->tabStrip()->currentIndex(), MainWindow::PolicyPage);
    EXPECT_EQ(app.window()->list("ListRules")->currentIndex().row(), 1);
    app.shutdown(false);
}

// A connected UDP socket is decided in both lists by the first rule covering UDP that matches
// its peer, as the pass decides it (a TCP-only rule above is passed over); an unconnected one
// by nothing, as a listening TCP socket.
TEST(ConnectionMonitor, TheRuleColumnDecidesConnectedUdpSocketsByTheRulesForUdp) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Monitor m;
    RuleTable rules;
    const auto rule = [](const char* action, const char* address, const char* port,
                         const char* protocol) {
        Rule made;
        std::tie(made.action, made.address, made.port, made.protocol) =
            std::tuple(action, address, port, protocol);
        return made;
    };
    rules.setRules({rule("block", "127.0.0.2", "any port", "TCP"),
                    rule("accept", "127.0.0.2", "4435", "TCP/UDP"),
                    rule("block", "127.0.0.3", "any port", "UDP")});
    EnforcementEngine engine{m.tables, rules};
    engine.timer()->stop(); // no pass cuts the blocked socket
    const auto column = [&engine](const TcpRow& row, bool udp, const ProgramIdentity* owner) {
        const EnforcementEngine::Decision decision = engine.decide(row, udp, owner);
        if (decision.kind == EnforcementEngine::Decision::Rule)
            return QString::number(decision.row + 1);
        return decision.kind == EnforcementEngine::Decision::Level ? QString("level") : QString();
    };
    m.monitor.perConnectionModel()->setRuleColumn(column);
    m.monitor.perApplicationModel()->setRuleColumn(column);
    // Local addresses in the reverse order of the peers: the per-application sort moves them.
    const std::pair<const char*, const char*> ends[] = {{"127.0.0.9", "127.0.0.2"},
                                                        {"127.0.0.8", "127.0.0.3"},
                                                        {"127.0.0.7", "127.0.0.4"},
                                                        {"127.0.0.6", nullptr}};
    std::vector<test::Fd> sockets;
    for (const auto& [local, peer] : ends) {
        sockets.push_back(test::boundUdp(local, 0));
        if (peer) {
            const test::Endpoint remote = test::endpoint(peer, 4435);
            ASSERT_EQ(::connect(sockets.back().get(), remote.get(), remote.length), 0);
        }
    }
    for (const SecurityLevel level : {SecurityLevel::Normal, SecurityLevel::Block}) {
        engine.setLevel(level);
        for (const View view : {View::PerConnection, View::PerApplication}) {
            m.monitor.setView(view);
            m.monitor.rebuildCurrent();
            const int local = view == View::PerConnection ? 1 : 2; // the protocol just before
            QStringList decided;
            for (const auto& end : ends) {
                const std::vector<int> rows = m.rowsWhere(view, local, end.first, local - 1, "UDP");
                decided << (rows.size() == 1 ? m.monitor.model(view)->index(rows[0], 8).data().toString()
                                             : QString("%1 rows").arg(rows.size()));
            }
            EXPECT_EQ(decided.join('|').toStdString(),
                      level == SecurityLevel::Normal ? "2|3|level|" : "level|level|level|")
                << (view == View::PerConnection ? "per connection" : "per application");
        }
    }
}
