#include "shell/ShellWindows.h"

#include "fakes/FakePrompter.h"
#include "records/EventList.h"
#include "records/FrmLog.h"
#include "records/LogFileModel.h"
#include "records/LogText.h"
#include "settings/LanguageFile.h"
#include "settings/Settings.h"
#include "shell/MainWindow.h"
#include "shell/TrayIcon.h"
#include "support/ScratchFiles.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTreeView>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

EventRecord record(const QString& remote, const QString& status) {
    return {QStringLiteral("09:15 - 3/5/24"), QStringLiteral("TCP"), QStringLiteral("10.0.0.2"),
            QStringLiteral("50000"),          remote,
            QStringLiteral("80"),             QStringLiteral("http"),
            status,                           QStringLiteral("(1)")};
}

// A program folder with the built language files, a main window and the commands on it.
class ShellWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QDir(dir.path()).mkpath(QStringLiteral("Logs"));
        language.setPath(QStringLiteral(TARVOK_TEST_LANGUAGE_DIR) + QStringLiteral("/English.lng"));
        window.setModels(&rules, &eventList, &history);
        windows = std::make_unique<ShellWindows>(
            ShellWindows::Parts{dir.path(), &window, &eventList, &settings, &language, &prompter,
                                &tray});
    }
    QAction* action(const char* name) { return window.action(QLatin1String(name)); }

    QTemporaryDir dir;
    Settings settings{dir.path()};
    EventList eventList{dir.path(), settings};
    QStandardItemModel rules, history;
    LanguageFile language;
    FakePrompter prompter;
    TrayIcon tray;
    MainWindow window;
    std::unique_ptr<ShellWindows> windows;
};

} // namespace

TEST_F(ShellWindowsTest, LogTabMenuCopiesClearsAndHandsOnTheSelectedRecord) {
    eventList.append(record(QStringLiteral("192.0.2.1"), QStringLiteral("ESTABLISHED")), true);
    eventList.append(record(QStringLiteral("192.0.2.2"), QStringLiteral("BLOCKED CONNECTION")), true);
    QTreeView* list = window.list(QStringLiteral("ListLog"));
    list->setCurrentIndex(list->model()->index(1, 0));

    action("mnuCopyText")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              recordText(eventList.record(1), RecordTextStyle::EventList));
    QStringList handed;
    QObject::connect(windows.get(), &ShellWindows::resolveRequested,
                     [&](const EventRecord& r) { handed << QStringLiteral("resolve ") + r.remoteAddress; });
    QObject::connect(windows.get(), &ShellWindows::createRuleRequested,
                     [&](const EventRecord& r) { handed << QStringLiteral("rule ") + r.remoteAddress; });
    action("mnuResolveHostLog")->trigger();
    action("mnuCreateRuleLog")->trigger();
    EXPECT_EQ(handed, (QStringList{"resolve 192.0.2.2", "rule 192.0.2.2"}));

    // Cleared records are dropped without a question and never reach a file.
    action("mnuClearLogWindow")->trigger();
    EXPECT_EQ(eventList.count(), 0);
    EXPECT_TRUE(prompter.calls.isEmpty());
    EXPECT_TRUE(eventList.flushAtExit());
    EXPECT_FALSE(QFile::exists(eventList.dayFilePath()));
}

TEST_F(ShellWindowsTest, OpenLogFileShowsTheFileInOneViewer) {
    const QString path = dir.filePath(QStringLiteral("Logs/day.tvl"));
    ASSERT_TRUE(writeFile(path, "\"09:15 - 3/5/24\",\"TCP\",\"10.0.0.2\",\"50000\",\"192.0.2.9\","
                                "\"80\",\"http\",\"BLOCKED CONNECTION\"\r\n"));
    prompter.files = {QString(), path, path};
    action("mnuOpenLogFile")->trigger(); // cancelled
    EXPECT_EQ(windows->logViewer(), nullptr);
    action("mnuOpenLogFile")->trigger();
    ASSERT_EQ(prompter.calls.size(), 2);
    EXPECT_EQ(prompter.calls[1].text, language.text(QStringLiteral("Main"), 104));
    EXPECT_EQ(prompter.calls[1].filter, QStringLiteral("Tarvok Log File|*.tvl"));
    FrmLog* viewer = windows->logViewer();
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(viewer->model()->rowCount(), 1);
    EXPECT_EQ(viewer->windowTitle(), language.text(QStringLiteral("Log"), 1) + " - " + path);
    EXPECT_FALSE(viewer->list()->model()->index(0, 0).data(Qt::DecorationRole).isNull());
    action("mnuOpenLogFile")->trigger();
    EXPECT_EQ(windows->logViewer(), viewer);
    EXPECT_EQ(viewer->model()->rowCount(), 1);
}

TEST_F(ShellWindowsTest, UnreadableLogFileIsReportedNotShownEmpty) {
    EXPECT_FALSE(windows->showLogFile(dir.filePath(QStringLiteral("Logs/missing.tvl"))));
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_TRUE(prompter.messages()[0].text.contains(QStringLiteral("missing.tvl")));
    EXPECT_EQ(windows->logViewer(), nullptr);
}
