// The alert window's rows of programs held at their first connection, on the offscreen
// platform: many at once, each answered on its own, the window never holding a dialog back;
// and in the whole program, where "always" puts a rule at the top and the end answers the rest.

#include "app/AppTestSupport.h"
#include "engine/ProgramFiles.h"
#include "engine/ProgramQuestions.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakePrompter.h"
#include "monitor/ActivityTab.h"
#include "monitor/AlertRows.h"
#include "monitor/AlertWindow.h"
#include "monitor/QuestionRows.h"
#include "platform/Processes.h"
#include "policy/PolicyCommands.h"
#include "records/EventList.h"
#include "shell/Application.h"
#include "shell/TrayIcon.h"
#include "support/Accessibility.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDialog>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include <unistd.h>

using namespace tarvok;
using Verdict = ProgramQuestions::Verdict;

namespace {

// A question for program {1, inode}, or for the file at path (then its real identity).
enforcer::Question question(std::uint64_t inode, quint32 pid = static_cast<quint32>(::getpid()),
                            const QString& path = {}) {
    enforcer::Question q;
    q.program = {1, inode};
    if (const auto identity = path.isEmpty() ? std::nullopt : statProgram(path))
        q.program = {identity->device, identity->inode};
    q.pid = pid;
    q.protocol = inode % 2 ? 6 : 17;
    q.remote = {127, 0, 0, 3};
    q.remotePort = static_cast<std::uint16_t>(9000 + inode);
    return q;
}

} // namespace

TEST(QuestionWindow, FiftyProgramsWaitInRowsAnsweredOneByOneWithoutHoldingADialog) {
    test::FakePrompter prompter;
    test::MapLocaliser language;
    language.texts = {{"Alert/11", "Allow &once"}, {"Alert/17", "Blocked in %1 s"}};
    QWidget mainWindow;
    QPushButton mainButton(&mainWindow);
    QDialog openDialog(&mainWindow);
    QPushButton cancel(&openDialog);
    mainWindow.show();
    openDialog.show();
    EnforcerLink link;
    ProgramQuestions questions(link);
    QuestionRows rows(questions, prompter, language);
    AlertRows announced(prompter, language);
    AlertWindow window(announced, language, &mainWindow);
    window.setQuestions(rows);
    QObject::connect(&questions, &ProgramQuestions::added, &window, &AlertWindow::announce);
    std::vector<std::pair<std::uint64_t, Verdict>> answers;
    QObject::connect(&questions, &ProgramQuestions::answered, &window,
                     [&](const ProgramQuestions::Question& q, Verdict v) { answers.push_back({q.program.inode, v}); });

    for (std::uint64_t inode = 1; inode <= 50; ++inode)
        emit link.question(question(inode));
    ASSERT_EQ(rows.rowCount(), 50);
    EXPECT_TRUE(window.isVisible() && window.questionList()->isVisible());
    EXPECT_FALSE(window.list()->isVisible()) << "no program announced: only the questions show";
    EXPECT_TRUE(cancel.isEnabled()) << "the open dialog can still be answered";
    EXPECT_EQ(rows.index(1, QuestionRows::PortColumn).data().toString(), "9002/UDP");
    EXPECT_EQ(rows.index(0, QuestionRows::CountdownColumn).data().toString(), "Blocked in 60 s");

    const auto click = [&](int row, const char* button) {
        window.questionList()->setCurrentIndex(rows.index(row, 0));
        window.findChild<QPushButton*>(button)->click();
    };
    click(4, "cmdAllowOnce");
    EXPECT_EQ(rows.rowCount(), 49);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], std::make_pair(std::uint64_t{5}, Verdict::AllowOnce));
    // The row that took the answered one's place is selected: the next click answers it.
    window.findChild<QPushButton*>("cmdBlockOnce")->click();
    EXPECT_EQ(answers.back(), std::make_pair(std::uint64_t{6}, Verdict::BlockOnce));
    click(0, "cmdBlockAlways");
    click(0, "cmdTrust"); // on a question row: allow once
    click(0, "cmdBlock"); // on a question row: a block rule
    EXPECT_EQ(answers, (std::vector<std::pair<std::uint64_t, Verdict>>{
                           {5, Verdict::AllowOnce}, {6, Verdict::BlockOnce}, {1, Verdict::BlockAlways},
                           {2, Verdict::AllowOnce}, {3, Verdict::BlockAlways}}));
    emit link.questionGone({1, 50});
    EXPECT_EQ(rows.rowCount(), 44);

    // Escape hides the window and answers nothing; the next question brings it back.
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(window.questionList(), Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(mainButton.isEnabled());
    EXPECT_EQ(answers.size(), 5u);
    QProcess sleeper;
    sleeper.start("sleep", {"30"});
    ASSERT_TRUE(sleeper.waitForStarted());
    const auto pid = static_cast<quint32>(sleeper.processId());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return platform::readProcess(pid).imagePath == "/usr/bin/sleep"; }, 2000));
    emit link.question(question(60, pid, QStringLiteral("/usr/bin/sleep")));
    EXPECT_TRUE(window.isVisible());
    // Kill asks, blocks the program once and ends its process.
    prompter.answers = {Prompter::Yes};
    click(44, "cmdKill");
    EXPECT_EQ(answers.back().second, Verdict::BlockOnce);
    EXPECT_EQ(answers.size(), 6u);
    EXPECT_TRUE(sleeper.waitForFinished(3000));
    EXPECT_EQ(rows.rowCount(), 44);
}

// In the whole program: Allow always makes an accept rule for the program at the top of the
// rule table and saves it; a question still open when Tarvok ends gets the default, recorded,
// and so does one that comes while nobody can be asked.
TEST(QuestionWindow, AllowAlwaysPutsAProgramRuleAtTheTopAndTheEndAnswersTheRest) {
    test::ProgramFolder folder;
    test::FakePrompter prompter;
    {
        Application app(folder.path(), &prompter);
        ASSERT_TRUE(app.start({}));
        const int before = app.rules().count();
        emit app.enforcer().question(question(1, static_cast<quint32>(::getpid()),
                                              QCoreApplication::applicationFilePath()));
        emit app.enforcer().question(question(2));
        AlertWindow* window = app.activity()->alertWindow();
        ASSERT_EQ(window->questionList()->model()->rowCount(), 2);
        EXPECT_EQ(test::nameless(window), QStringList());
        window->questionList()->setCurrentIndex(window->questionList()->model()->index(0, 0));
        window->findChild<QPushButton*>("cmdAllowAlways")->click();
        ASSERT_EQ(app.rules().count(), before + 1);
        const Rule& made = app.rules().rule(0);
        EXPECT_EQ(QStringList({made.action, made.program, made.protocol}),
                  QStringList({app.rules().words().accept, QCoreApplication::applicationFilePath(), "TCP/UDP"}));
        EXPECT_FALSE(app.policy()->SaveChanges()) << "saved at once";
        EXPECT_TRUE(folder.read("Normal.rlsp").contains(
            "Program_1=" + QCoreApplication::applicationFilePath().toUtf8()));
        app.shutdown(false);
    }
    // Started minimised where no tray can bring the window back: nobody to ask.
    ASSERT_FALSE(TrayIcon::availability()());
    {
        Application app(folder.path(), &prompter);
        ASSERT_TRUE(app.start({"-minimized"}));
        emit app.enforcer().question(question(3));
        EXPECT_TRUE(app.questions()->open().empty());
        app.shutdown(false);
    }
    QByteArray logs;
    for (const QString& name : QDir(folder.file("Logs")).entryList(QDir::Files))
        logs += folder.read("Logs/" + name);
    EXPECT_EQ(logs.count("ALLOWED BY USER"), 1) << logs.toStdString();
    EXPECT_EQ(logs.count("BLOCKED: NO ANSWER"), 2);
}
