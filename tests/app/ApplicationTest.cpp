#include "AppTestSupport.h"
#include "engine/EnforcementEngine.h"
#include "engine/SecurityLevels.h"
#include "fakes/FakePrompter.h"
#include "policy/PolicyCommands.h"
#include "policy/PolicyFile.h"
#include "settings/Settings.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "shell/TrayIcon.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTimer>

#include <cerrno>
#include <csignal>

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

// config.ini: the defaults with these values in their place.
void writeConfig(const ProgramFolder& folder, const QList<std::pair<QString, QString>>& values) {
    Settings settings(folder.path());
    ASSERT_TRUE(settings.createDefaultFile());
    settings.load();
    for (const auto& [key, value] : values)
        settings.setValue(key, value);
    ASSERT_TRUE(settings.save());
}

// Normal.rlsp: one logged block rule for the listener.
void writeBlockPolicy(const ProgramFolder& folder, const test::TcpListener& listener) {
    Rule block;
    block.action = "block";
    block.address = listener.address();
    block.port = QString::number(listener.port());
    ASSERT_TRUE(test::writeFile(folder.file("Normal.rlsp"), policyText({block}, RuleWords{})));
}

// The desktop's notification area, as the tray sees it, for one test.
class TrayAvailability {
public:
    explicit TrayAvailability(bool available) : m_saved(TrayIcon::availability()) {
        TrayIcon::availability() = [available] { return available; };
    }
    ~TrayAvailability() { TrayIcon::availability() = m_saved; }

private:
    std::function<bool()> m_saved;
};

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
    const TrayAvailability tray(true);
    for (const QStringList& arguments : {QStringList{"/MINIMIZED"}, QStringList{"x", "-Minimized"}}) {
        ProgramFolder folder;
        FakePrompter prompter;
        Application app(folder.path(), &prompter);
        ASSERT_TRUE(app.start(arguments));
        EXPECT_FALSE(app.window()->isVisible()) << arguments.join(' ').toStdString();
    }

    ProgramFolder folder;
    writeConfig(folder, {{"RunMinimized", "True"}});
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
    ASSERT_EQ(balloons.count(), 2);
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

// A minimised start on a desktop without a notification area left no window and no icon; and
// an icon was never added to a notification area that appeared after start.
TEST(Application, MinimizedStartWithoutANotificationAreaShowsTheWindow) {
    const TrayAvailability tray(false);
    ProgramFolder folder;
    writeConfig(folder, {{"RunMinimized", "True"}});
    FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({"-minimized"}));
    EXPECT_TRUE(app.window()->isVisible());
    EXPECT_TRUE(app.tray()->icon()->isVisible()) << "Qt adds a visible icon once a tray appears";
}

// Setting the display check marks at start-up wrote "True" over ShowUDP=false, ShowLocal=yes
// and an empty ShowListening; and a toggle could write another option's key unnoticed.
TEST(Application, StartUpKeepsDisplaySettingsAndEachToggleWritesItsOwnKey) {
    const QList<std::pair<QString, QString>> stored = {
        {"ShowListening", ""}, {"ShowLocal", "yes"}, {"ShowUDP", "false"}};
    const std::pair<const char*, QString> toggles[] = {{"mnuShowListeningPorts", "ShowListening"},
                                                       {"mnuDisplay0000127001", "ShowLocal"},
                                                       {"mnuDisplayUDP", "ShowUDP"}};
    for (const auto& [actionName, key] : toggles) {
        SCOPED_TRACE(actionName);
        ProgramFolder folder;
        writeConfig(folder, stored);
        FakePrompter prompter;
        Application app(folder.path(), &prompter);
        ASSERT_TRUE(app.start({}));
        for (const auto& [name, value] : stored)
            EXPECT_EQ(app.settings().value(name), value) << "untouched at start-up";
        action(app, actionName)->trigger();
        for (const auto& [name, value] : stored)
            EXPECT_EQ(app.settings().value(name), name == key ? "False" : value) << name.toStdString();
    }
}

// Balloons were tested only for PopupAlert=True, though every value but "False" means on. A
// language file without rule words made the accept and block words both empty: every rule
// then matched as accept and a block rule cut nothing.
TEST(Application, BlockRuleCutsAndBalloonsFollowPopupAlertWhateverTheLanguageFile) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener listener("127.0.0.2");
    const struct {
        const char* popupAlert;
        QByteArray language; // empty: the shipped English file
        int balloons;
    } cases[] = {{"True", {}, 1}, {"", {}, 1}, {"true", {}, 1}, {"0", {}, 1}, {"False", {}, 0},
                 {"True", "\xff\xfe garbage \x81\r\n", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.popupAlert + c.language.toStdString());
        ProgramFolder folder;
        writeConfig(folder, {{"PopupAlert", c.popupAlert}});
        writeBlockPolicy(folder, listener);
        if (!c.language.isEmpty()) {
            ASSERT_TRUE(test::writeFile(folder.file("Language/English.lng"), c.language));
        }
        FakePrompter prompter;
        Application app(folder.path(), &prompter);
        ASSERT_TRUE(app.start({}));
        // A damaged file is told once, with its name.
        ASSERT_EQ(prompter.messages().size(), c.language.isEmpty() ? 0 : 1);
        if (!c.language.isEmpty()) {
            EXPECT_TRUE(prompter.messages()[0].text.contains("English.lng"));
        }
        QSignalSpy shown(app.tray(), &TrayIcon::balloonRequested);
        test::TcpConnection connection = test::connect("127.0.0.3", listener);
        app.engine()->tick();
        EXPECT_EQ(test::readOutcome(connection.client.get(), 2000), -ECONNABORTED);
        EXPECT_EQ(shown.count(), c.balloons);
    }
}

// With Logs/ unwritable every record was lost at exit in silence.
TEST(Application, LogWriteFailuresAreToldOncePerOutageAndAtExit) {
    ProgramFolder folder;
    ASSERT_TRUE(test::writeFile(folder.file("Logs"), "a file in place of the folder"));
    FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    QSignalSpy balloons(app.tray(), &TrayIcon::balloonRequested);
    for (int batch = 0; batch < 2; ++batch) {
        for (int i = 0; i < EventList::FlushThreshold; ++i)
            app.events()->append({"t", "TCP", "127.0.0.3", QString::number(batch * 100 + i),
                                  "127.0.0.2", "80", "HTTP", "ESTABLISHED", "(1)"},
                                 false);
        app.events()->flush();
    }
    ASSERT_EQ(balloons.count(), 1) << "once per outage";
    EXPECT_TRUE(balloons[0][0].toString().contains(folder.file("Logs")));
    EXPECT_EQ(app.window()->panel(1)->toolTip(), balloons[0][0].toString());

    app.shutdown(true);
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_TRUE(prompter.messages()[0].text.contains(folder.file("Logs")));
    EXPECT_TRUE(QFileInfo(folder.file("Logs")).isFile());
}

// A box open when a signal came swallowed it: the box stayed and the program never ended.
TEST(Application, ASignalWhileABoxIsOpenClosesItAndEndsInOrder) {
    ProgramFolder folder;
    Application app(folder.path()); // real message boxes
    ASSERT_TRUE(app.start({}));
    app.installSignalHandlers();
    QSignalSpy finished(&app, &Application::finished);
    QTimer::singleShot(300, &app, [] { ::raise(SIGTERM); });
    // Should the signal not close it, the box is closed later so that the test fails, not hangs.
    bool forced = false;
    QTimer::singleShot(10000, &app, [&forced] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) {
                forced = true;
                dialog->done(0);
            }
    });
    action(app, "mnuHelpF1")->trigger(); // no help file: a box opens and waits
    EXPECT_FALSE(forced) << "the signal left the box open";
    EXPECT_TRUE(finished.count() == 1 || finished.wait(5000));
    EXPECT_EQ(folder.read("History.tvh").count("\r\n"), 1);
}

TEST(Application, WithoutNetAdminThePanelAndTheTraySayItCanOnlyMonitor) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    const QString monitorOnly =
        "Firewall: Monitor only \u2013 no permission to close connections: grant CAP_NET_ADMIN";
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
