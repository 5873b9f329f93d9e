// The secondary windows reached through the running program: the menu and tray commands lead
// to them, and what they change reaches config.ini at the end of the run.

#include "AppTestSupport.h"
#include "fakes/FakePrompter.h"
#include "records/FrmLog.h"
#include "records/LogFileModel.h"
#include "settings/FrmPreferences.h"
#include "shell/Application.h"
#include "shell/FrmAbout.h"
#include "shell/MainWindow.h"
#include "shell/ShellWindows.h"
#include "shell/TrayIcon.h"

#include <QAction>
#include <QCheckBox>
#include <QTest>

using namespace tarvok;
using tarvok::test::FakePrompter;
using tarvok::test::ProgramFolder;

TEST(WindowCommands, PreferencesAboutHelpAndLogViewerFromTheRunningProgram) {
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    ProgramFolder folder;
    FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    MainWindow* window = app.window();
    ASSERT_NE(app.windows(), nullptr);

    // Preferences: window-modal, its boxes write the settings, saved at the end of the run.
    window->action(QStringLiteral("mnuPreferences"))->trigger();
    FrmPreferences* preferences = app.windows()->preferences();
    ASSERT_NE(preferences, nullptr);
    EXPECT_EQ(preferences->windowModality(), Qt::WindowModal);
    preferences->box("ChkFilePropertiesDBClick")->click();
    QTest::keyClick(preferences, Qt::Key_Escape);
    EXPECT_FALSE(preferences->isVisible());

    // About from the tray has no owner; help without its file says so.
    emit app.tray()->aboutRequested();
    ASSERT_NE(app.windows()->about(), nullptr);
    EXPECT_EQ(app.windows()->about()->parentWidget(), nullptr);
    window->action(QStringLiteral("tbHelp"))->trigger();
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_EQ(prompter.messages()[0].style, Prompter::Critical);

    ASSERT_TRUE(test::writeFile(folder.file("Logs/old.tvl"),
                                "\"1\",\"TCP\",\"a\",\"1\",\"b\",\"2\",\"-\",\"ESTABLISHED\"\r\n"));
    prompter.files = {folder.file("Logs/old.tvl")};
    window->action(QStringLiteral("mnuOpenLogFile"))->trigger();
    ASSERT_NE(app.windows()->logViewer(), nullptr);
    EXPECT_EQ(app.windows()->logViewer()->model()->rowCount(), 1);
    EXPECT_EQ(app.windows()->logViewer()->parentWidget(), window);

    app.shutdown(false);
    EXPECT_TRUE(folder.read("config.ini").contains("CloseConDBClick=False"));
    EXPECT_TRUE(folder.read("config.ini").contains("FilePropertyDBClick=True"));
    qunsetenv("XDG_CONFIG_HOME");
}
