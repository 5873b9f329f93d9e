#include "fakes/EngineFakes.h"
#include "fakes/FakePrompter.h"
#include "monitor/ActivityTab.h"
#include "monitor/AlertRows.h"
#include "monitor/AlertWindow.h"
#include "monitor/ConnectionActions.h"
#include "monitor/ConnectionMonitor.h"
#include "monitor/ProgramIcons.h"
#include "monitor/ResolveWindow.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace tarvok;
using View = ConnectionMonitor::View;

namespace {

constexpr int Alive = -ETIMEDOUT;

struct Monitor {
    platform::SockDiag diag;
    ConnectionTables tables{diag};
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

    // Rows of a list whose cell column reads text.
    std::vector<int> rowsWhere(View view, int column, const QString& text) {
        std::vector<int> found;
        const ConnectionListModel& list = *monitor.model(view);
        for (int i = 0; i < list.rowCount(); ++i)
            if (list.cell(i, column) == text)
                found.push_back(i);
        return found;
    }
};

// A child process that holds connections to listener: bash opens them on descriptors 3 and 4,
// then becomes sleep, which keeps them.
struct Child {
    QProcess process;
    Child(const test::TcpListener& listener, int connections) {
        QString script = QStringLiteral("exec");
        for (int i = 0; i < connections; ++i)
            script += QStringLiteral(" %1<>/dev/tcp/%2/%3")
                          .arg(3 + i)
                          .arg(listener.address())
                          .arg(listener.port());
        script += QStringLiteral("; exec sleep 30");
        process.start(QStringLiteral("bash"), {QStringLiteral("-c"), script});
        process.waitForStarted();
    }
    ~Child() {
        process.kill();
        process.waitForFinished();
    }
    // Waits until the child runs sleep with its connections open.
    bool ready(Monitor& m, int connections) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            m.monitor.RefConNetworkTCP_UDP();
            if (static_cast<int>(
                    m.rowsWhere(View::PerApplication, 0, QStringLiteral("sleep")).size()) ==
                connections)
                return true;
            QTest::qWait(20);
        }
        return false;
    }
};

} // namespace

// The child is then ended from its row, and a second kill of the same row finds it gone.
TEST(ConnectionMonitor, AChildProcessAppearsInBothViewsIsAnnouncedOnceAndIsKilledFromItsRow) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Monitor m;
    test::TcpListener listener("127.0.0.2");
    QSignalSpy announced(&m.monitor, &ConnectionMonitor::programAnnounced);
    Child child(listener, 2);
    ASSERT_TRUE(child.ready(m, 2));

    const auto rows = m.rowsWhere(View::PerApplication, 0, QStringLiteral("sleep"));
    const ConnectionListModel& list = *m.monitor.perApplicationModel();
    for (int row : rows) {
        const QStringList cells{list.cell(row, 1), list.cell(row, 4), list.cell(row, 5),
                                list.cell(row, 6), list.cell(row, 7)};
        EXPECT_EQ(cells, (QStringList{"TCP", "127.0.0.2", QString::number(listener.port()),
                                      "ESTABLISHED", "/usr/bin/sleep"}));
    }
    m.monitor.RefConNetworkTCP_UDP();
    ASSERT_EQ(announced.size(), 1) << "two connections, one program, one announcement";
    EXPECT_EQ(announced[0],
              (QVariantList{QStringLiteral("/usr/bin/sleep"), QStringLiteral("127.0.0.2"),
                            static_cast<quint32>(child.process.processId())}));

    m.monitor.RefreshConnections();
    EXPECT_EQ(m.rowsWhere(View::PerConnection, 4, QString::number(listener.port())).size(), 2u);
    const auto listening = m.rowsWhere(View::PerConnection, 6, QStringLiteral("LISTENING"));
    ASSERT_EQ(listening.size(), 1u);
    EXPECT_EQ(m.monitor.perConnectionModel()->cell(listening[0], 3), QStringLiteral("localhost"));
    EXPECT_EQ(m.monitor.perConnectionModel()->cell(listening[0], 5), QStringLiteral("-"));

    m.prompter.answers = {Prompter::Yes};
    m.actions.killProcess(rows.at(0));
    EXPECT_TRUE(child.process.waitForFinished(3000));
    EXPECT_EQ(child.process.exitStatus(), QProcess::CrashExit);
    EXPECT_EQ(m.prompter.messages().size(), 1) << "success shows nothing";
    EXPECT_EQ(m.prompter.messages()[0].text, QStringLiteral("M92: (sleep)"));
    m.prompter.answers = {Prompter::Yes};
    m.actions.killProcess(rows.at(0)); // the same row, its process gone
    ASSERT_EQ(m.prompter.messages().size(), 3);
    EXPECT_EQ(m.prompter.messages()[2].text, QStringLiteral("M94: sleep"));
    EXPECT_EQ(m.prompter.messages()[2].style, Prompter::Critical);
}

// IPv6 rows show IPv6 text and a dual-stack socket's IPv4 rows dotted text; the display
// options hide listeners, 0.0.0.0 rows and UDP rows.
TEST(ConnectionMonitor, AddressTextsAndDisplayOptionsInBothViews) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::addLoopbackAddress("fd00::2"));
    ASSERT_TRUE(test::addLoopbackAddress("fd00::3"));
    Monitor m;
    test::TcpListener named("127.0.0.2"), any("0.0.0.0"), native("fd00::2");
    auto v6 = test::connect("fd00::3", native);
    auto mapped = test::connect("::ffff:127.0.0.3", named); // a dual-stack socket's connection
    std::uint16_t udpPort = 0;
    test::Fd udp = test::udpSocket("127.0.0.2", udpPort);
    for (View view : {View::PerConnection, View::PerApplication}) {
        const int state = 6, local = view == View::PerConnection ? 1 : 2, remote = local + 2;
        m.monitor.setShowListening(true);
        m.monitor.setShowLocal(false);
        m.monitor.setView(view);
        m.monitor.rebuildCurrent();
        EXPECT_EQ(m.rowsWhere(view, remote, QStringLiteral("fd00::2")).size(), 1u);
        EXPECT_EQ(m.rowsWhere(view, local, QStringLiteral("fd00::2")).size(), 2u)
            << "listener and accepted end";
        EXPECT_EQ(m.rowsWhere(view, local, QStringLiteral("127.0.0.3")).size(), 1u);
        for (const ListRow& row : m.monitor.model(view)->rows())
            for (const QString& cell : row.cells)
                EXPECT_FALSE(cell.startsWith(QLatin1String("::ffff:"))) << cell.toStdString();
        EXPECT_EQ(m.rowsWhere(view, state, QStringLiteral("LISTENING")).size(), 2u)
            << "the 0.0.0.0 listener is hidden";
        EXPECT_TRUE(m.rowsWhere(view, local, QStringLiteral("0.0.0.0")).empty());
        m.monitor.setShowLocal(true);
        m.monitor.setShowListening(false);
        m.monitor.rebuildCurrent();
        EXPECT_TRUE(m.rowsWhere(view, state, QStringLiteral("LISTENING")).empty());
        EXPECT_EQ(m.rowsWhere(view, state, QStringLiteral("Unknown")).size(), 1u)
            << "UDP rows ignore the listening option";
        m.monitor.setShowUdp(false);
        m.monitor.rebuildCurrent();
        EXPECT_TRUE(m.rowsWhere(view, state, QStringLiteral("Unknown")).empty());
        m.monitor.setShowUdp(true);
    }
}

// A manual close cuts the selected connection even after the table changed under the list;
// with CloseConManually on it asks first, and a UDP row is answered with a message.
TEST(ConnectionActions, AManualCloseCutsTheSelectedConnectionAfterTheTableChangedOrAsksFirst) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Monitor m;
    test::TcpListener listener("127.0.0.2");
    auto first = test::connect("127.0.0.3", listener);
    auto chosen = test::connect("127.0.0.3", listener);
    auto other = test::connect("127.0.0.3", listener);
    std::uint16_t udpPort = 0;
    test::Fd udp = test::udpSocket("127.0.0.5", udpPort);
    m.monitor.RefreshConnections();
    const auto rows = m.rowsWhere(View::PerConnection, 2, QString::number(chosen.clientPort));
    ASSERT_EQ(rows.size(), 1u);
    first.client.reset(); // the table changes under the list: one connection goes, others come
    first.server.reset();
    auto later1 = test::connect("127.0.0.4", listener);
    auto later2 = test::connect("127.0.0.2", listener);

    m.actions.closeConnection(View::PerConnection, rows[0]);
    EXPECT_NE(test::readOutcome(chosen.server.get(), 200), Alive);
    for (const auto* alive : {&other, &later1, &later2})
        EXPECT_EQ(test::readOutcome(alive->server.get(), 50), Alive);
    ASSERT_EQ(m.events.records.size(), 1);
    EXPECT_EQ(m.events.records[0].status, QStringLiteral("M90"));
    EXPECT_EQ(m.events.records[0].localPort, QString::number(chosen.clientPort));
    EXPECT_TRUE(m.prompter.messages().isEmpty()) << "no question while CloseConManually is off";

    m.settings.values["CloseConManually"] = "True";
    m.monitor.RefreshConnections();
    const int tcpRow = m.rowsWhere(View::PerConnection, 2, QString::number(other.clientPort)).at(0);
    m.prompter.answers = {Prompter::No};
    m.actions.closeConnection(View::PerConnection, tcpRow);
    EXPECT_EQ(test::readOutcome(other.server.get(), 50), Alive);
    ASSERT_EQ(m.prompter.messages().size(), 1);
    EXPECT_EQ(m.prompter.messages()[0].text,
              QStringLiteral("M89: \n[127.0.0.3:%1:127.0.0.2]").arg(other.clientPort));
    EXPECT_EQ(m.prompter.messages()[0].style, Prompter::Question);

    const int udpRow = m.rowsWhere(View::PerConnection, 2, QString::number(udpPort)).at(0);
    m.actions.closeConnection(View::PerConnection, udpRow);
    EXPECT_EQ(m.prompter.messages().last().text, QStringLiteral("M88: \nUDP [%1]").arg(udpPort));
    ASSERT_EQ(m.events.records.size(), 2) << "the answer No wrote no event";
    EXPECT_EQ(m.events.records[1].protocol, QStringLiteral("UDP"));
    EXPECT_EQ(m.events.records[1].status, QStringLiteral("M88"));
    EXPECT_EQ(m.events.records[1].service, QStringLiteral("-"));
}

// The lists of a tab: reselection after a rebuild, header sorts, the context menu, the keys
// and the double-click modes.
TEST(ActivityTab, ListsSortReselectAndTakeTheirKeysAndDoubleClicks) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Monitor m;
    QString mode = QStringLiteral("1");
    m.actions.setDoubleClickMode([&mode] { return mode; });
    QWidget mainWindow;
    QTreeView perConnection(&mainWindow), perApplication(&mainWindow);
    perConnection.resize(600, 400);
    perApplication.hide();
    mainWindow.resize(600, 400);
    mainWindow.show();
    perConnection.setModel(m.monitor.perConnectionModel());
    perApplication.setModel(m.monitor.perApplicationModel());
    ProgramIcons icons{DesktopEntries()};
    QMap<QString, QAction*> actions;
    for (const char* name : {"mnuDisplayApp", "mnuShowListeningPorts", "mnuDisplayUDP",
                             "mnuDisplay0000127001", "mnuCopyRemAdd", "mnuResolveHost"}) {
        actions.insert(QLatin1String(name), new QAction(&mainWindow));
        actions[QLatin1String(name)]->setCheckable(true);
        actions[QLatin1String(name)]->setChecked(true);
    }
    ActivityTab tab(m.monitor, m.actions, icons, m.prompter, m.language, &mainWindow,
                    &perConnection, &perApplication,
                    [&actions](const QString& name) { return actions.value(name); });
    for (int code : {3, 8, 11}) // empty lists: no shortcut acts
        EXPECT_FALSE(m.actions.keyTyped(View::PerApplication, code, -1));

    test::TcpListener listener("127.0.0.2");
    auto a = test::connect("127.0.0.3", listener);
    auto b = test::connect("127.0.0.4", listener);
    actions["mnuDisplayApp"]->trigger(); // to the per-connection view, rebuilt at once
    const auto rowOf = [&m](const auto& connection) {
        return m.rowsWhere(View::PerConnection, 2, QString::number(connection.clientPort)).at(0);
    };

    // Click a row, rebuild: the same row is selected again.
    const QRect rect = perConnection.visualRect(perConnection.model()->index(rowOf(b), 1));
    QTest::mouseClick(perConnection.viewport(), Qt::LeftButton, {}, rect.center());
    auto c = test::connect("127.0.0.5", listener);
    m.monitor.RefreshConnections();
    EXPECT_EQ(tab.selectedRow(View::PerConnection), rowOf(b));

    // Header clicks: the local-address column, descending first; the selection follows its row.
    perConnection.header()->setSectionsClickable(true);
    emit perConnection.header()->sectionClicked(1);
    const ConnectionListModel& sorted = *m.monitor.perConnectionModel();
    for (int row = 1; row < sorted.rowCount(); ++row)
        EXPECT_GE(compareListText(sorted.cell(row - 1, 1), sorted.cell(row, 1)), 0) << row;
    EXPECT_EQ(tab.selectedRow(View::PerConnection), rowOf(b));

    // The context menu's copy and resolve act on the selected row's remote address.
    actions["mnuCopyRemAdd"]->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("127.0.0.2"));
    actions["mnuResolveHost"]->trigger();
    EXPECT_TRUE(tab.resolveWindow()->isVisible());
    EXPECT_EQ(tab.resolveWindow()->findChild<QLineEdit*>(QStringLiteral("Text1"))->text(),
              QStringLiteral("127.0.0.2"));
    tab.resolveWindow()->close();

    // Ctrl+C on the list closes the selected connection; a double click in mode 1 closes its row's.
    perConnection.setFocus();
    QTest::keyClick(&perConnection, Qt::Key_C, Qt::ControlModifier);
    EXPECT_NE(test::readOutcome(b.server.get(), 200), Alive);
    EXPECT_EQ(test::readOutcome(a.server.get(), 50), Alive);
    m.monitor.RefreshConnections();
    const QPoint aPoint =
        perConnection.visualRect(perConnection.model()->index(rowOf(a), 1)).center();
    QTest::mouseClick(perConnection.viewport(), Qt::LeftButton, {}, aPoint);
    QTest::mouseDClick(perConnection.viewport(), Qt::LeftButton, {}, aPoint);
    EXPECT_NE(test::readOutcome(a.server.get(), 200), Alive);

    // Mode 0 opens the properties of the program, from the per-application list only.
    mode = QStringLiteral("0");
    QSignalSpy properties(&m.actions, &ConnectionActions::propertiesRequested);
    m.monitor.RefreshConnections();
    m.monitor.RefConNetworkTCP_UDP();
    m.actions.doubleClicked(View::PerConnection, rowOf(c));
    EXPECT_EQ(test::readOutcome(c.server.get(), 50), Alive) << "mode 0 does nothing here";
    m.actions.doubleClicked(
        View::PerApplication,
        m.rowsWhere(View::PerApplication, 3, QString::number(c.clientPort)).at(0));
    ASSERT_EQ(properties.size(), 1);
    EXPECT_EQ(properties[0][0].toString(), QCoreApplication::applicationFilePath());
    QSignalSpy resolves(&m.actions, &ConnectionActions::resolveRequested);
    EXPECT_TRUE(m.actions.keyTyped(View::PerConnection, ConnectionActions::Backspace, rowOf(c)));
    EXPECT_EQ(resolves.size(), 1);
    EXPECT_FALSE(m.actions.keyTyped(View::PerConnection, ConnectionActions::CtrlK, rowOf(c)))
        << "no end process in the per-connection list";

    // A display option rebuilds the current view only.
    const int before = m.monitor.perApplicationModel()->rowCount();
    actions["mnuShowListeningPorts"]->trigger();
    EXPECT_TRUE(m.rowsWhere(View::PerConnection, 6, QStringLiteral("LISTENING")).empty());
    EXPECT_EQ(m.monitor.perApplicationModel()->rowCount(), before);
}

// Kill of a pid that no longer exists, or that now runs another program, sends nothing and
// keeps the row; closing the window with rows, or trusting the last row, frees the main window.
TEST(AlertWindow, KillOnlyTheAnnouncedProgramAndTrustOnTheLastRowClosesTheWindow) {
    test::FakePrompter prompter;
    test::MapLocaliser language;
    language.texts["Alert/3"] = "Trust";
    language.texts["Main/4"] = "Policy file...";
    language.texts["Main/51"] = "Remote Address";
    QWidget mainWindow;
    mainWindow.show();
    AlertRows rows(prompter, language);
    AlertWindow window(rows, language, &mainWindow);
    const auto announceTwo = [&] {
        rows.add(QStringLiteral("/usr/bin/one"), QStringLiteral("127.0.0.2"), 4000001);
        window.announce();
        rows.add(QStringLiteral("/usr/bin/two"), QStringLiteral("127.0.0.3"), 4000002);
        window.announce();
    };
    announceTwo();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(mainWindow.isEnabled());
    EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    // The address column is headed as an address, not with the text of a menu entry.
    EXPECT_EQ(rows.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(),
              QStringLiteral("Remote Address"));
    EXPECT_EQ(window.findChild<QPushButton*>(QStringLiteral("cmdTrust"))->text(),
              QStringLiteral("Trust"));

    QProcess sleeper;
    sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(sleeper.waitForStarted());
    const auto pid = static_cast<quint32>(sleeper.processId());
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(platform::readProcess(pid).imagePath),
                              QStringLiteral("/usr/bin/sleep"), 2000);
    rows.add(QStringLiteral("/usr/bin/announced-program"), QStringLiteral("127.0.0.2"), pid);
    for (int row : {0, 2}) { // no such process; the pid now names this sleep
        prompter.answers = {Prompter::Yes};
        rows.kill(row);
        EXPECT_EQ(prompter.messages().last().style, Prompter::Critical);
    }
    EXPECT_FALSE(sleeper.waitForFinished(200)) << "another program's process was killed";
    EXPECT_EQ(rows.rowCount(), 3);
    rows.add(QStringLiteral("/usr/bin/sleep"), QStringLiteral("127.0.0.2"), pid);
    prompter.answers = {Prompter::Yes};
    rows.kill(3);
    EXPECT_TRUE(sleeper.waitForFinished(3000));
    EXPECT_EQ(rows.rowCount(), 3);

    window.close(); // closed with rows in it: the main window is usable, the rows are gone
    EXPECT_TRUE(mainWindow.isEnabled());
    EXPECT_EQ(rows.rowCount(), 0);
    announceTwo();
    EXPECT_FALSE(mainWindow.isEnabled());
    window.findChild<QPushButton*>(QStringLiteral("cmdTrust"))->click();
    EXPECT_TRUE(window.isVisible());
    rows.trust(0);
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(mainWindow.isEnabled());
    EXPECT_EQ(rows.rowCount(), 0);
}

TEST(ConnectionMonitor, ARebuildAskedForWhileOneYieldsRunsAfterItNotInsideIt) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    Monitor m;
    test::TcpListener listener("127.0.0.2");
    QSignalSpy rebuilt(&m.monitor, &ConnectionMonitor::rebuilt);
    int yields = 0;
    qsizetype rebuiltInsideYield = -1;
    m.monitor.setYield([&] {
        // Timer ticks in the middle of the rebuild: the count watcher and a display option.
        if (yields++ == 0) {
            m.monitor.countWatcherTick();
            m.monitor.rebuildCurrent();
            rebuiltInsideYield = rebuilt.size();
        }
    });
    m.monitor.RefConNetworkTCP_UDP();
    EXPECT_EQ(rebuiltInsideYield, 0) << "nothing was rebuilt inside the yield";
    EXPECT_EQ(rebuilt.size(), 2) << "the rebuild asked for meanwhile ran once, afterwards";
    EXPECT_FALSE(m.monitor.rebuilding());
}
