#include "AppTestSupport.h"
#include "engine/EnforcementEngine.h"
#include "engine/SecurityLevels.h"
#include "fakes/FakePrompter.h"
#include "policy/PolicyCommands.h"
#include "settings/Settings.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "shell/TrayIcon.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QAction>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTimer>

using namespace tarvok;
using tarvok::test::FakePrompter;
using tarvok::test::ProgramFolder;

namespace {

QAction* action(Application& app, const char* name) {
    QAction* found = app.window()->action(QLatin1String(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

QTimer* timer(Application& app, const char* name) {
    auto* found = app.window()->findChild<QTimer*>(QLatin1String(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

} // namespace

TEST(Application, FirstStartCreatesEveryFileAndShowsANewPolicy) {
    ProgramFolder folder;
    FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));

    EXPECT_EQ(folder.read("config.ini"), Settings::defaultFileText());
    EXPECT_TRUE(QFileInfo(folder.file("Normal.rlsp")).isFile());
    EXPECT_TRUE(QFileInfo(folder.file("History.tvh")).isFile());
    EXPECT_EQ(folder.read("History.tvh"), QByteArray());
    EXPECT_TRUE(QFileInfo(folder.file("Logs")).isDir());
    EXPECT_EQ(app.window()->panelText(2), "Policy: NEW.RLSP");
    EXPECT_TRUE(app.window()->isVisible());
    EXPECT_EQ(app.window()->windowTitle(), "Tarvok");
    EXPECT_TRUE(prompter.calls.isEmpty());

    // The window's timers, with their intervals; Timer2 is switched on at the end of start-up.
    const struct {
        const char* name;
        int interval;
    } timers[] = {{"Timer1", 100}, {"Timer1_IMPROVED", 1000}, {"Timer2", 500},
                  {"TimerTraffic", 1000}, {"TmrUpdateTraffic", 400}};
    for (const auto& t : timers) {
        QTimer* found = timer(app, t.name);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->interval(), t.interval) << t.name;
        EXPECT_TRUE(found->isActive()) << t.name;
    }

    // The close box only hides the window; the program runs on.
    QSignalSpy finished(&app, &Application::finished);
    app.window()->close();
    EXPECT_FALSE(app.window()->isVisible());
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(timer(app, "Timer1")->isActive());

    // The tray's open entry brings it back.
    emit app.tray()->openRequested();
    EXPECT_TRUE(app.window()->isVisible());
}

TEST(Application, MinimizedStartsAndASecondInstance) {
    for (const QStringList& arguments : {QStringList{"/MINIMIZED"}, QStringList{"x", "-Minimized"}}) {
        ProgramFolder folder;
        FakePrompter prompter;
        Application app(folder.path(), &prompter);
        ASSERT_TRUE(app.start(arguments));
        EXPECT_FALSE(app.window()->isVisible()) << arguments.join(' ').toStdString();
    }

    ProgramFolder folder;
    {
        Settings settings(folder.path());
        settings.createDefaultFile();
        settings.load();
        settings.setValue("RunMinimized", "True");
        ASSERT_TRUE(settings.save());
    }
    FakePrompter prompter;
    Application first(folder.path(), &prompter);
    ASSERT_TRUE(first.start({}));
    EXPECT_FALSE(first.window()->isVisible());

    const QByteArray configBefore = folder.read("config.ini");
    FakePrompter secondPrompter;
    Application second(folder.path(), &secondPrompter);
    EXPECT_FALSE(second.start({}));
    ASSERT_EQ(secondPrompter.messages().size(), 1);
    EXPECT_EQ(secondPrompter.messages()[0].text, "Application is already running!");
    EXPECT_EQ(secondPrompter.messages()[0].style, Prompter::Critical);
    EXPECT_EQ(first.window()->isVisible(), false);
    EXPECT_TRUE(first.engine()->timer()->isActive());
    EXPECT_EQ(folder.read("config.ini"), configBefore);
}

TEST(Application, ShutdownAsksOnlyWhenSomeoneCanAnswerAndWritesInOrder) {
    for (const bool interactive : {true, false}) {
        ProgramFolder folder;
        FakePrompter prompter;
        Application app(folder.path(), &prompter);
        ASSERT_TRUE(app.start({}));
        const QByteArray policyBefore = folder.read("Normal.rlsp");

        Rule rule;
        rule.action = "accept";
        rule.address = "127.0.0.2";
        rule.port = "80";
        app.rules().appendRule(rule);
        app.policy()->setSaveChanges(true);
        app.events()->append({"t - d", "TCP", "127.0.0.3", "5000", "127.0.0.2", "80", "HTTP",
                              "ESTABLISHED", "(1)"},
                             false);
        app.window()->resize(app.window()->width() + 40, app.window()->height() + 30);

        QSignalSpy finished(&app, &Application::finished);
        prompter.answers = {Prompter::No};
        app.shutdown(interactive);
        app.shutdown(interactive); // a second request while ending changes nothing
        EXPECT_EQ(finished.count(), 1);

        const auto questions = prompter.messages();
        ASSERT_EQ(questions.size(), interactive ? 1 : 0);
        if (interactive) {
            EXPECT_EQ(questions[0].style, Prompter::ExclamationYesNo);
        }
        EXPECT_EQ(folder.read("Normal.rlsp"), policyBefore) << "No keeps the file as it was";

        const QByteArray history = folder.read("History.tvh");
        EXPECT_EQ(history.count("\r\n"), 1);
        EXPECT_TRUE(history.endsWith(",\"0\"\r\n")) << history.toStdString();
        const QDir logs(folder.file("Logs"));
        const QStringList days = logs.entryList({"*.tvl"}, QDir::Files);
        ASSERT_EQ(days.size(), 1);
        EXPECT_TRUE(folder.read("Logs/" + days[0]).contains("\"ESTABLISHED\""));
        EXPECT_NE(folder.read("config.ini"), Settings::defaultFileText())
            << "the window size was stored";
        EXPECT_FALSE(app.window()->isVisible());
    }
}

TEST(Application, LevelsAndPauseDriveMenusTimersAndBalloons) {
    ProgramFolder folder;
    FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    QSignalSpy balloons(app.tray(), &TrayIcon::balloonRequested);

    EXPECT_TRUE(action(app, "mnuLevel1")->isChecked());
    action(app, "mnuLevel2")->trigger();
    EXPECT_EQ(app.engine()->level(), SecurityLevel::Block);
    EXPECT_TRUE(action(app, "mnuLevel2")->isChecked());
    EXPECT_FALSE(action(app, "mnuLevel1")->isChecked());
    EXPECT_FALSE(timer(app, "Timer2")->isActive());
    ASSERT_EQ(balloons.count(), 1);
    EXPECT_EQ(balloons[0][2].toInt(), 3);
    EXPECT_EQ(balloons[0][3].toInt(), 30000);
    EXPECT_FALSE(balloons[0][0].toString().isEmpty()) << "text from the language file";

    action(app, "mnuPauseFirewall")->trigger();
    EXPECT_TRUE(action(app, "mnuPauseFirewall")->isChecked());
    EXPECT_FALSE(timer(app, "Timer1")->isActive());
    EXPECT_FALSE(timer(app, "Timer1_IMPROVED")->isActive());
    for (const char* name : {"mnuLevel0", "mnuLevel1", "mnuLevel2", "mnuDisplayApp",
                             "mnuShowListeningPorts", "mnuDisplayUDP", "mnuDisplay0000127001"})
        EXPECT_FALSE(action(app, name)->isEnabled()) << name;
    EXPECT_TRUE(app.tray()->menu()->actions()[1]->isChecked());
    EXPECT_EQ(balloons.count(), 2);
    EXPECT_EQ(balloons[1][2].toInt(), 2);

    // Resuming from the tray menu: the level kept through the pause is in force again.
    app.tray()->menu()->actions()[1]->trigger();
    EXPECT_FALSE(app.levels()->paused());
    EXPECT_EQ(app.engine()->level(), SecurityLevel::Block);
    EXPECT_TRUE(action(app, "mnuLevel2")->isChecked());
    EXPECT_TRUE(action(app, "mnuLevel0")->isEnabled());
    EXPECT_TRUE(timer(app, "Timer1")->isActive());
    EXPECT_FALSE(app.tray()->menu()->actions()[1]->isChecked());
    EXPECT_EQ(balloons.count(), 3);

    // The display options write their settings as they are toggled.
    action(app, "mnuDisplayUDP")->trigger();
    EXPECT_EQ(app.settings().value("ShowUDP"), "False");
}

TEST(Application, TheTrayMenuExitAsksAboutUnsavedRulesOnce) {
    ProgramFolder folder;
    FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    QSignalSpy finished(&app, &Application::finished);
    app.policy()->setSaveChanges(true);
    prompter.answers = {Prompter::Yes};
    QAction* exit = app.tray()->menu()->actions().last();
    exit->trigger();
    EXPECT_EQ(finished.count(), 1);
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_FALSE(app.policy()->SaveChanges()) << "Yes saved the policy";
    EXPECT_FALSE(app.tray()->icon()->isVisible());
}

TEST(Application, HelpWithoutItsFileSaysSoOnceAndTheWindowStaysUsable) {
    ProgramFolder folder;
    FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    action(app, "mnuHelpF1")->trigger();
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_EQ(prompter.messages()[0].style, Prompter::Critical);
    EXPECT_FALSE(prompter.messages()[0].text.isEmpty()) << "the language's help-file message";
    EXPECT_TRUE(app.window()->isEnabled());
    action(app, "mnuLevel0")->trigger();
    EXPECT_EQ(app.engine()->level(), SecurityLevel::Allow);
}

TEST(Application, WithoutNetAdminThePanelAndTheTraySayItCanOnlyMonitor) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    const QString monitorOnly =
        "Firewall: Monitor only (no permission to close connections: grant CAP_NET_ADMIN)";
    {
        test::WithoutNetAdmin unprivileged;
        ASSERT_TRUE(unprivileged.dropped());
        ProgramFolder folder;
        FakePrompter prompter;
        Application app(folder.path(), &prompter);
        ASSERT_TRUE(app.start({}));
        EXPECT_EQ(app.engine()->cutAbility(), CutAbility::NoPermission);
        EXPECT_EQ(app.window()->panelText(1), monitorOnly);
        EXPECT_EQ(app.tray()->toolTip(), "Tarvok\n" + monitorOnly);
        // Paused says paused; resumed, it says again that it only monitors.
        action(app, "mnuPauseFirewall")->trigger();
        EXPECT_EQ(app.window()->panelText(1), "Firewall: Paused");
        action(app, "mnuPauseFirewall")->trigger();
        EXPECT_EQ(app.window()->panelText(1), monitorOnly);
    }
    ProgramFolder folder;
    FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    EXPECT_EQ(app.window()->panelText(1), "Firewall: Active");
    EXPECT_EQ(app.tray()->toolTip(), "Tarvok");
}
