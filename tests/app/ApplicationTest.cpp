#include "RunningTarvok.h"
#include "engine/KernelTable.h"
#include "fakes/FakePrompter.h"
#include "policy/PolicyCommands.h"
#include "settings/FrmPreferences.h"
#include "shell/Application.h"
#include "shell/FrmAbout.h"
#include "shell/MainWindow.h"
#include "shell/ShellWindows.h"
#include "shell/TrayIcon.h"
#include "support/EnforcerSupport.h"
#include "support/Sandbox.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>

using namespace tarvok;
using tarvok::test::FakePrompter;
using tarvok::test::ProgramFolder;
using tarvok::test::RunningTarvok;

namespace {

// The whole program started in a folder, asking its questions of a scripted prompter.
struct Started {
    explicit Started(const ProgramFolder& folder, const QStringList& arguments = {})
        : app(folder.path(), &prompter), started(app.start(arguments)) {}
    QAction* action(const char* name) const { return app.window()->action(QLatin1String(name)); }
    FakePrompter prompter;
    Application app;
    bool started;
};

} // namespace

// Start-up wrote "True" over stored display values, and a toggle could write another option's key.
TEST(Application, ARunShowsTheWindowRunsItsTimersKeepsItsSettingsAndEndsUnattended) {
    const std::pair<QString, QString> stored[] = {
        {"ShowListening", ""}, {"ShowLocal", "yes"}, {"ShowUDP", "false"}};
    ProgramFolder folder;
    QByteArray stock = Settings::defaultFileText();
    for (const auto& [key, value] : stored)
        stock.replace((key + "=True").toUtf8(), (key + "=" + value).toUtf8());
    ASSERT_TRUE(test::writeFile(folder.file("config.ini"), stock));
    Started run(folder);
    ASSERT_TRUE(run.started);
    MainWindow* window = run.app.window();
    EXPECT_TRUE(window->isVisible());
    // The window's timers run from the start (their intervals are Application.cpp's).
    for (const char* name :
         {"Timer1", "Timer1_IMPROVED", "Timer2", "TimerTraffic", "TmrUpdateTraffic"}) {
        const QTimer* timer = window->findChild<QTimer*>(name);
        EXPECT_TRUE(timer && timer->isActive()) << name;
    }

    // The close box only hides the window; the program runs on and the tray brings it back.
    // (Without a tray it minimises: Control.WithoutATray....)
    QSignalSpy finished(&run.app, &Application::finished);
    const auto desktop = std::exchange(TrayIcon::availability(), [] { return true; });
    window->close();
    TrayIcon::availability() = desktop;
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(window->findChild<QTimer*>("Timer1")->isActive());
    emit run.app.tray()->openRequested();
    EXPECT_TRUE(window->isVisible());

    // Window-modal preferences, saved at the end of the run; About from the tray has no owner.
    run.action("mnuPreferences")->trigger();
    FrmPreferences* preferences = run.app.windows()->preferences();
    ASSERT_NE(preferences, nullptr);
    EXPECT_EQ(preferences->windowModality(), Qt::WindowModal);
    preferences->box("ChkFilePropertiesDBClick")->click();
    QTest::keyClick(preferences, Qt::Key_Escape);
    emit run.app.tray()->aboutRequested();
    ASSERT_NE(run.app.windows()->about(), nullptr);
    EXPECT_EQ(run.app.windows()->about()->parentWidget(), nullptr);

    const char* toggles[] = {"mnuShowListeningPorts", "mnuDisplay0000127001", "mnuDisplayUDP"};
    for (int toggled = 0; toggled <= 3; ++toggled) {
        SCOPED_TRACE(toggled);
        if (toggled > 0)
            run.action(toggles[toggled - 1])->trigger();
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(run.app.settings().value(stored[i].first),
                      i < toggled ? "False" : stored[i].second) << stored[i].first.toStdString();
    }
    run.action("mnuLevel2")->trigger(); // the first panel names the level in words
    EXPECT_EQ(window->panelText(1), "Firewall: Active \u2013 Block all");

    // An unattended end asks nothing, even about unsaved rules, and stores the window's size.
    run.app.policy()->setSaveChanges(true);
    window->resize(window->width() + 40, window->height() + 30);
    run.app.shutdown(false);
    run.app.shutdown(true); // a second request while ending changes nothing
    EXPECT_EQ(finished.count(), 1);
    EXPECT_FALSE(window->findChild<QTimer*>("Timer1")->isActive()) << "no pass after the flush";
    EXPECT_TRUE(run.prompter.calls.isEmpty());
    const QByteArray config = folder.read("config.ini");
    for (const char* line : {"CloseConDBClick=False", "FilePropertyDBClick=True"})
        EXPECT_TRUE(config.contains(line)) << line;
    EXPECT_FALSE(config.contains("Width=11460")) << config.toStdString();
}

// Five new rules ("Unsaved changes: yes") were lost without a word when a signal or the
// session's end closed Tarvok: the policy kept Count=0 and nothing else held them.
TEST(Application, UnsavedRulesOfAnEndNobodyAnswersAreKeptBesideThePolicyAndOfferedBack) {
    ProgramFolder folder;
    ASSERT_TRUE(test::writePolicy(folder, {}));
    const QByteArray policy = folder.read("Normal.rlsp");
    const QString kept = folder.file("Normal.unsaved.rlsp");
    const RuleWords words;
    QList<Rule> five;
    for (int i = 1; i <= 5; ++i) {
        five.append({words.block, QString::number(i), {}, QStringLiteral("127.0.0.%1").arg(i + 1),
                     "80", {}, QStringLiteral("new %1").arg(i)});
        five.last().icon = 2;
    }
    {
        Started run(folder);
        ASSERT_TRUE(run.started);
        run.app.rules().setRules(five);
        run.app.policy()->setSaveChanges(true);
        QSignalSpy finished(&run.app, &Application::finished);
        run.app.requestExit(); // what SIGTERM, SIGINT, SIGHUP and the session's end do
        ASSERT_TRUE(finished.wait(5000));
        EXPECT_TRUE(run.prompter.calls.isEmpty());
    }
    EXPECT_EQ(folder.read("Normal.rlsp"), policy);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(kept).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // The next start asks once the passes run; restored, they are unsaved changes of the
    // policy, which changes only when the user saves them.
    Started again(folder);
    ASSERT_TRUE(again.started);
    EXPECT_TRUE(again.prompter.calls.isEmpty()) << "no box before the passes run";
    again.prompter.answers = {Prompter::Yes, Prompter::Yes};
    ASSERT_TRUE(QTest::qWaitFor([&] { return !again.prompter.calls.isEmpty(); }, 5000));
    EXPECT_EQ(again.prompter.calls[0].style, Prompter::Question);
    EXPECT_TRUE(again.prompter.calls[0].text.contains(kept));
    EXPECT_EQ(again.app.rules().rules(), five);
    EXPECT_TRUE(again.app.policy()->SaveChanges());
    EXPECT_EQ(folder.read("Normal.rlsp"), policy);
    again.app.shutdown(true); // "Yes" to saving them: the kept file goes
    EXPECT_EQ(readPolicy(folder.file("Normal.rlsp"), words).rules, five);
    EXPECT_FALSE(QFile::exists(kept));

    // "No" to restoring them deletes the kept file.
    ASSERT_TRUE(test::writeFile(kept, policyText(five, words)));
    Started declined(folder);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !declined.prompter.calls.isEmpty(); }, 5000));
    EXPECT_FALSE(QFile::exists(kept));
    EXPECT_FALSE(declined.app.policy()->SaveChanges());
}

// Without a notification area a minimised start left no window and no icon, even once one came.
TEST(Application, MinimizedStartsHideTheWindowOnlyWithATrayAndASecondInstanceIsRefused) {
    const struct { bool tray, runMinimized; QStringList arguments; bool visible; } starts[] = {
        {true, false, {"/MINIMIZED"}, false}, {true, false, {"x", "-Minimized"}, false},
        {true, true, {}, false}, {false, true, {"-minimized"}, true}}; // no tray: the window shows
    for (const auto& start : starts) {
        SCOPED_TRACE(start.arguments.join(' ').toStdString());
        const auto desktop = TrayIcon::availability(); // the notification area, as seen
        TrayIcon::availability() = [&] { return start.tray; };
        const auto restore = qScopeGuard([&] { TrayIcon::availability() = desktop; });
        ProgramFolder folder;
        const char* minimized = start.runMinimized ? "RunMinimized=True" : "RunMinimized=False";
        ASSERT_TRUE(test::writeFile(folder.file("config.ini"), Settings::defaultFileText().replace(
                                                                   "RunMinimized=False", minimized)));
        Started first(folder, start.arguments);
        ASSERT_TRUE(first.started);
        EXPECT_EQ(first.app.window()->isVisible(), start.visible);
        EXPECT_TRUE(first.app.tray()->icon()->isVisible()) << "Qt shows it once a tray appears";
        if (start.tray && start.runMinimized) {
            const QByteArray configBefore = folder.read("config.ini");
            Started second(folder);
            EXPECT_FALSE(second.started);
            ASSERT_EQ(second.prompter.messages().size(), 1);
            EXPECT_EQ(second.prompter.messages()[0].text, "Application is already running!");
            EXPECT_EQ(second.prompter.messages()[0].style, Prompter::Critical);
            EXPECT_EQ(folder.read("config.ini"), configBefore);
        }
    }
}

// A language file without rule words made block rules match as accept; its message box then
// opened during start-up, and nothing was cut until someone answered it.
TEST(Application, ADamagedLanguageFileIsToldOnceOnlyAfterTheFirstPassAndBlockRulesStillCut) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener listener("127.0.0.2");
    ProgramFolder folder;
    ASSERT_TRUE(test::writePolicy(folder, {test::blockRule(listener)}));
    ASSERT_TRUE(test::writeFile(folder.file("Language/English.lng"), "\xff\xfe garbage \x81\r\n"));
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    Started run(folder);
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.prompter.messages().isEmpty()) << "no box before the passes run";
    QSignalSpy shown(run.app.tray(), &TrayIcon::balloonRequested);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !run.prompter.messages().isEmpty(); }, 5000));
    EXPECT_EQ(test::readOutcome(connection.client.get(), 0), -ECONNABORTED) << "cut first";
    EXPECT_EQ(shown.count(), 1);
    QTest::qWait(300);
    ASSERT_EQ(run.prompter.messages().size(), 1);
    EXPECT_TRUE(run.prompter.messages()[0].text.contains("English.lng"));
}

// With Logs/ unwritable every record was lost at exit in silence.
TEST(Application, LogWriteFailuresAreToldOncePerOutageAndAtTheTrayExit) {
    ProgramFolder folder;
    ASSERT_TRUE(test::writeFile(folder.file("Logs"), "a file in place of the folder"));
    Started run(folder);
    ASSERT_TRUE(run.started);
    QSignalSpy balloons(run.app.tray(), &TrayIcon::balloonRequested);
    for (int batch = 0; batch < 2; ++batch) {
        for (int i = 0; i < EventList::FlushThreshold; ++i)
            run.app.events()->append({"t", "TCP", "127.0.0.3", QString::number(batch * 100 + i),
                                      "127.0.0.2", "80", "HTTP", "ESTABLISHED", "(1)"},
                                     false);
        run.app.events()->flush();
    }
    ASSERT_EQ(balloons.count(), 1) << "once per outage";
    EXPECT_TRUE(balloons[0][0].toString().contains(folder.file("Logs")));
    EXPECT_EQ(run.app.window()->panel(1)->toolTip(), balloons[0][0].toString());
    // The tray's Exit asks about unsaved rules, then tells of the records lost.
    run.app.policy()->setSaveChanges(true);
    run.app.tray()->menu()->actions().last()->trigger();
    ASSERT_EQ(run.prompter.messages().size(), 2);
    EXPECT_EQ(run.prompter.messages()[0].style, Prompter::ExclamationYesNo);
    EXPECT_TRUE(run.prompter.messages()[1].text.contains(folder.file("Logs")));
    EXPECT_FALSE(run.app.tray()->icon()->isVisible());
}

// With cuts working but the kernel table refused, it says it cuts open connections only;
// without CAP_NET_ADMIN, that it can only monitor.
TEST(Application, ThePanelSaysWhenItCutsOnlyOpenConnectionsOrOnlyMonitorsAndAPauseLocksMenus) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    {
        // Another program owns a table of this instance's name: the enforcer cuts, but the
        // kernel refuses its table.
        const auto squatter = test::squatTable(EnforcerLink::instanceFor(folder.path()));
        Started run(folder);
        ASSERT_TRUE(run.started);
        const QString cutsOnly = "Firewall: cutting open connections only \u2013 the kernel "
                                 "refused Tarvok's packet filter table: ";
        EXPECT_TRUE(run.app.window()->panelText(1).startsWith(cutsOnly))
            << run.app.window()->panelText(1).toStdString();
        EXPECT_TRUE(run.app.window()->panelText(1).contains("Operation not permitted"));
        EXPECT_EQ(run.app.tray()->toolTip(), "Tarvok\n" + run.app.window()->panelText(1));
    }
    const QString monitorOnly =
        "Firewall: Monitor only \u2013 no permission to close connections: grant CAP_NET_ADMIN";
    test::UnprivilegedEnforcer unprivileged;
    Started run(folder);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.app.window()->panelText(1), monitorOnly);
    EXPECT_EQ(run.app.tray()->toolTip(), "Tarvok\n" + monitorOnly);
    // Paused says paused and locks the level and display menus; resumed from the tray, it says
    // again that it only monitors.
    QAction* trayPause = run.app.tray()->menu()->actions()[1];
    run.action("mnuPauseFirewall")->trigger();
    EXPECT_EQ(run.app.window()->panelText(1), "Firewall: Paused");
    EXPECT_TRUE(trayPause->isChecked());
    for (const char* name : {"mnuLevel0", "mnuLevel1", "mnuLevel2", "mnuDisplayApp",
                             "mnuShowListeningPorts", "mnuDisplayUDP", "mnuDisplay0000127001"})
        EXPECT_FALSE(run.action(name)->isEnabled()) << name;
    trayPause->trigger();
    EXPECT_EQ(run.app.window()->panelText(1), monitorOnly);
    EXPECT_TRUE(run.action("mnuLevel0")->isEnabled());
    EXPECT_FALSE(run.action("mnuPauseFirewall")->isChecked());
    // The Block level cuts nothing either: it does not claim to block all traffic.
    QSignalSpy balloons(run.app.tray(), &TrayIcon::balloonRequested);
    run.action("mnuLevel2")->trigger();
    EXPECT_EQ(run.app.window()->panelText(1), monitorOnly);
    EXPECT_EQ(run.app.window()->panelMeaning(1), "");
    ASSERT_EQ(balloons.count(), 1);
    EXPECT_EQ(balloons[0][0].toString(), "Block All is chosen, but no connection is being cut:\n"
                                         "no permission to close connections: grant CAP_NET_ADMIN");
}

// The real binary, started in a folder of its own.

// An unwritable history opened a box in the SIGTERM shutdown, which never ended nor saved
// config.ini; unwritable logs lost their records in silence.
TEST(EndToEnd, UnattendedShutdownReportsFailuresOnStandardErrorAndStillSaves) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    ASSERT_TRUE(test::writePolicy(folder, {test::blockRule(listener)}));
    ASSERT_TRUE(test::writeFile(folder.file("config.ini"),
                                "; not saved\r\n" + Settings::defaultFileText()));
    ASSERT_TRUE(QDir(folder.path()).mkdir("History.tvh"));
    ASSERT_TRUE(test::writeFile(folder.file("Logs"), "a file in place of the folder"));

    RunningTarvok tarvok(folder);
    // Refused by the kernel table once it is written, or cut by the pass before that.
    ASSERT_TRUE(test::waitFor(
        [&] { return test::refused(test::connectError("127.0.0.3", listener)); }, 20000));
    QTest::qWait(200); // the refusal's record comes through the kernel's log group
    ASSERT_TRUE(tarvok.terminate()) << tarvok.errors().toStdString();
    for (const char* told : {"history could not be written", "They are lost"})
        EXPECT_TRUE(tarvok.errors().contains(told)) << tarvok.errors().toStdString();
    EXPECT_EQ(folder.read("config.ini"), Settings::defaultFileText());
    EXPECT_TRUE(QFileInfo(folder.file("History.tvh")).isDir());
}

// A lock refused by a read-only folder was reported as "Application is already running!".
TEST(EndToEnd, ReadOnlyFolderIsReportedAsSuchNotAsASecondInstance) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVOK_BINARY), folder.file("tarvok")));
    auto mount = test::ScratchMount::readOnly(folder.path());
    TARVOK_REQUIRE_MOUNT(mount);
    RunningTarvok tarvok(folder, false, false);
    ASSERT_TRUE(tarvok.waitForError("Read-only file system")) << tarvok.errors().toStdString();
    EXPECT_TRUE(tarvok.errors().contains(folder.path().toUtf8()));
    EXPECT_FALSE(tarvok.errors().contains("already running"));
    tarvok.terminate(); // the box is closed and the program ends
    EXPECT_FALSE(tarvok.running());
}

// From a folder holding only a policy: start-up writes the other files, a signal ends in order.
// A start-up box (here: a damaged language file) once opened before the passes started: nothing
// was cut while it waited, and a signal then left the run out of History.tvh.
TEST(EndToEnd, APolicyBlockCutsARealConnectionWhileAStartUpBoxIsOpenOrSaysWhyItCannot) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    // With CAP_NET_ADMIN (and a damaged language file) or not: the blocked client end's
    // outcome, its record, the run's cuts, the signal that ends the run.
    const std::tuple<bool, int, const char*, const char*, int> runs[] = {
        {true, -ECONNABORTED, "\"BLOCKED CONNECTION\"", ",\"1\"\r\n", SIGTERM},
        {false, -ETIMEDOUT, "\"Unable to close connection\"", ",\"0\"\r\n", SIGHUP}};
    for (const auto& [netAdmin, outcome, status, cuts, signal] : runs) {
        SCOPED_TRACE(netAdmin ? "with CAP_NET_ADMIN" : "without CAP_NET_ADMIN");
        ProgramFolder folder;
        test::TcpListener listener("127.0.0.2");
        ASSERT_TRUE(test::writePolicy(folder, {test::blockRule(listener)}));
        const QByteArray earlier = netAdmin ? "\"1/1/26\",\"9:00 - 10:00\",\"0 (KB)\",\"0 (KB)\","
                                              "\"0 (KB)\",\"3\"\r\n"
                                            : "";
        if (netAdmin) {
            ASSERT_TRUE(test::writeFile(folder.file("History.tvh"), earlier) &&
                        test::writeFile(folder.file("Language/English.lng"), "\xff\xfe bad\r\n"));
        }
        test::TcpConnection connection = test::connect("127.0.0.3", listener);
        RunningTarvok tarvok(folder, !netAdmin);
        // The config.ini a first start writes is checked by ProgramFolder.InstalledTarvok...
        ASSERT_TRUE(test::waitFor([&] { return QFileInfo(folder.file("Logs")).isDir(); }, 20000));
        EXPECT_EQ(folder.read("History.tvh"), earlier);
        if (netAdmin) { // the box opens right after the first pass, and the passes go on
            ASSERT_TRUE(tarvok.waitForError("is damaged")) << tarvok.errors().toStdString();
        }
        test::TcpListener other("127.0.0.4");
        test::TcpConnection kept = test::connect("127.0.0.5", other);
        // Opened before Tarvok started, so no kernel table refused it: the pass cuts it within a
        // few ticks; an uncut or unrelated connection is quiet after 3 s.
        EXPECT_EQ(test::readOutcome(connection.client.get(), 3000), outcome);
        EXPECT_EQ(test::readOutcome(kept.client.get(), 10), -ETIMEDOUT);

        ASSERT_TRUE(tarvok.terminate(signal));
        // An orderly end leaves no table of Tarvok's in the kernel.
        EXPECT_FALSE(test::tableExists(test::instanceTable(folder.path())));
        const QByteArray history = folder.read("History.tvh");
        EXPECT_TRUE(history.endsWith(earlier) && history.chopped(earlier.size()).endsWith(cuts) &&
                    history.count("\r\n") == earlier.count("\r\n") + 1) // newest first
            << history.toStdString();
        const QStringList days = QDir(folder.file("Logs")).entryList({"*.tvl"}, QDir::Files);
        const QByteArray log = folder.read("Logs/" + days.value(0));
        EXPECT_TRUE(log.contains("\"TCP\",\"127.0.0.3\"")) << log.toStdString();
        EXPECT_TRUE(log.contains(status)) << log.toStdString();
        EXPECT_EQ(log.count("\r\n"), 1) << "one record, however many passes saw the connection";
    }
}
