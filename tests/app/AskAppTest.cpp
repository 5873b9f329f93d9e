// Asking in the whole program with the real enforcer, its filter in this test's own cgroup: a
// program without a rule waits in the alert window until it is answered there, and the answer
// reaches the kernel.

#include "RunningTarvok.h"
#include "engine/KernelTable.h"
#include "engine/ProgramQuestions.h"
#include "fakes/FakePrompter.h"
#include "monitor/ActivityTab.h"
#include "monitor/AlertWindow.h"
#include "settings/Settings.h"
#include "shell/Application.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include <cerrno>
#include <poll.h>

using namespace tarvok;

TEST(Asking, AProgramWaitsInTheAlertUntilAllowedOnceOrBlockedAlways) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::ownCgroup());
    test::TcpListener server("127.0.0.2");
    test::ProgramFolder folder;
    ASSERT_TRUE(test::writeFile(folder.file("config.ini"),
                                Settings::defaultFileText() + "AskUnknownPrograms=True\r\n"));
    test::FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    ASSERT_TRUE(app.enforcer().canAsk()) << app.enforcer().filterReason().toStdString();
    AlertWindow* alert = app.activity()->alertWindow();
    QTreeView* rows = alert->questionList();

    // Two copies of the probe client: two programs, neither named by a rule.
    const auto copy = [&](const QString& name) {
        const QString path = folder.file(name);
        EXPECT_TRUE(QFile::copy(QStringLiteral(TARVOK_TEST_PROBE_CLIENT), path));
        QFile(path).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        return path;
    };
    const auto connectFrom = [&](const QString& program) {
        auto process = std::make_unique<QProcess>();
        process->start(program, {"tcp", "127.0.0.3", "127.0.0.2", QString::number(server.port())});
        EXPECT_TRUE(process->waitForStarted(5000));
        return process;
    };
    const auto answer = [&](const char* button) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return rows->model()->rowCount() == 1; }, 5000));
        QTest::qWait(200);
        EXPECT_FALSE(alert->isHidden());
        EXPECT_EQ(server.acceptAll(), 0) << "nothing passes while the question is open";
        rows->setCurrentIndex(rows->model()->index(0, 0));
        alert->findChild<QPushButton*>(button)->click();
    };
    const auto exitCode = [](QProcess& process) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 5000));
        return process.exitCode();
    };

    const auto allowed = connectFrom(copy("allowed"));
    answer("cmdAllowOnce");
    EXPECT_EQ(exitCode(*allowed), 0);
    EXPECT_EQ(server.acceptAll(), 1);

    const QString blockedPath = copy("blocked");
    const auto blocked = connectFrom(blockedPath);
    answer("cmdBlockAlways");
    EXPECT_EQ(exitCode(*blocked), ECONNABORTED) << "the held connect fails at once";
    EXPECT_EQ(app.rules().rule(0).program, blockedPath);
    // The rule decides the next run in the kernel: refused at connect(), nothing asked.
    ASSERT_TRUE(app.kernelTable()->waitForWrite());
    const auto again = connectFrom(blockedPath);
    EXPECT_EQ(exitCode(*again), EPERM);
    EXPECT_EQ(rows->model()->rowCount(), 0);
    EXPECT_EQ(server.acceptAll(), 0);
    app.shutdown(false);

    QByteArray logs;
    for (const QString& name : QDir(folder.file("Logs")).entryList(QDir::Files))
        logs += folder.read("Logs/" + name);
    EXPECT_EQ(logs.count("ALLOWED BY USER"), 1) << logs.toStdString();
    EXPECT_EQ(logs.count("BLOCKED BY USER"), 1);
}
