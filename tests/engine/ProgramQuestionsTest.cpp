// Questions about programs held at their first connection, as the enforcer's link delivers
// them: one row per program, each answered on its own and recorded in the event list, the log
// and the journal; deadlines and the paths where nobody can answer give the default.

#include "engine/ProgramFiles.h"
#include "engine/ProgramQuestions.h"
#include "fakes/EngineFakes.h"
#include "records/EventList.h"
#include "records/JournalRecords.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace tarvok;
using Verdict = ProgramQuestions::Verdict;
using Source = ProgramQuestions::Source;

namespace {

enforcer::ProgramFile program(std::uint64_t inode) { return {1, inode}; }

// The file this test runs, as the enforcer names it.
enforcer::ProgramFile self() {
    const auto identity = statProgram(QCoreApplication::applicationFilePath());
    return identity ? enforcer::ProgramFile{identity->device, identity->inode} : enforcer::ProgramFile{};
}

// The questions over a real link (nothing started: the test plays the enforcer by emitting its
// signals) and a real event list, log folder and journal record maker.
struct Asking : ::testing::Test {
    QTemporaryDir folder;
    test::MapSettings settings;
    EventList events{folder.path(), settings};
    EnforcerLink link;
    ProgramQuestions questions{link};
    QString unableClose = QStringLiteral("Unable to close connection");
    JournalRecords journal{events, settings, unableClose};
    QList<QList<QByteArray>> sent;
    struct Answer {
        enforcer::ProgramFile program;
        Verdict verdict;
        Source source;
    };
    std::vector<Answer> answers;
    QStringList rules; // "path accept pid" of each rule wanted

    Asking() {
        QDir(folder.path()).mkdir(QStringLiteral("Logs"));
        journal.setSender([this](const QList<QByteArray>& fields) { sent.append(fields); });
        questions.setEventSink(&events);
        QObject::connect(&questions, &ProgramQuestions::answered, &questions,
                         [this](const ProgramQuestions::Question& q, Verdict v, Source s) {
                             answers.push_back({q.program, v, s});
                         });
        QObject::connect(&questions, &ProgramQuestions::programRuleWanted, &questions,
                         [this](const QString& path, bool accept, quint32 pid) {
                             rules.append(QStringLiteral("%1 %2 %3").arg(path).arg(accept).arg(pid));
                         });
    }
    // Asked by this very process: for self() /proc names its file; for any other program the
    // pid runs another file, as when it has gone and its pid was taken.
    void ask(std::uint64_t inode, std::uint16_t port = 8000) { ask(program(inode), port); }
    void ask(const enforcer::ProgramFile& asked, std::uint16_t port) {
        enforcer::Question q;
        q.program = asked;
        q.pid = static_cast<std::uint32_t>(::getpid());
        q.remote = {127, 0, 0, 2};
        q.remotePort = port;
        emit link.question(q);
    }
    QString status(int record) const { return events.record(record).status; }
};

} // namespace

TEST_F(Asking, FiftyProgramsAreFiftyRowsEachAnsweredOnItsOwnAndRecorded) {
    for (std::uint64_t inode = 1; inode < 50; ++inode)
        ask(inode, static_cast<std::uint16_t>(8000 + inode));
    ask(self(), 8050);
    ask(7); // the same program again while it is asked: no second row
    ASSERT_EQ(questions.open().size(), 50u);
    const ProgramQuestions::Question& seventh = questions.open()[6];
    EXPECT_EQ(seventh.remoteAddress + ':' + QString::number(seventh.remotePort), "127.0.0.2:8007");
    EXPECT_EQ(questions.open()[49].path, QCoreApplication::applicationFilePath());

    EXPECT_TRUE(questions.answer(program(7), Verdict::AllowOnce));
    EXPECT_FALSE(questions.answer(program(7), Verdict::BlockOnce)) << "answered twice";
    EXPECT_EQ(questions.open().size(), 49u);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].program == program(7) && answers[0].source == Source::User);

    // Always: a rule for the whole program, then the answer; never a rule for a path the pid
    // reached another file by (the rule would be for some other program).
    questions.answer(self(), Verdict::BlockAlways);
    questions.answer(program(9), Verdict::AllowAlways);
    EXPECT_EQ(rules, QStringList({QCoreApplication::applicationFilePath() + " 0 " +
                                  QString::number(::getpid())}));
    // A program whose connections all gave up leaves without an answer.
    emit link.questionGone(program(10));
    EXPECT_EQ(questions.open().size(), 46u);
    EXPECT_EQ(answers.size(), 3u);

    // An enforcer that ended dropped what it held: the rows go, unanswered.
    emit link.gone(QStringLiteral("ended"));
    EXPECT_TRUE(questions.open().empty());
    EXPECT_EQ(answers.size(), 3u);

    ASSERT_EQ(events.count(), 3);
    EXPECT_EQ(QStringList({status(0), status(1), status(2)}),
              QStringList({"ALLOWED BY USER", "BLOCKED BY USER", "ALLOWED BY USER"}));
    const EventRecord& blocked = events.record(1);
    EXPECT_EQ(QStringList({blocked.protocol, blocked.remoteAddress, blocked.remotePort, blocked.program, blocked.pid}),
              QStringList({"TCP", "127.0.0.2", "8050", QCoreApplication::applicationFilePath(),
                           QString::number(::getpid())}));
    ASSERT_EQ(sent.size(), 3);
    EXPECT_TRUE(sent[1].contains("TARVOK_ACTION=block") && sent[1].contains("PRIORITY=4"));
    EXPECT_TRUE(sent[0].contains("TARVOK_PID=" + QByteArray::number(::getpid())));
}

// A question's deadline, nobody there to ask, and more than 100 waiting: the default answer,
// recorded as unanswered, in the list and the day's log file.
TEST_F(Asking, TheDefaultAnswersAtTheDeadlineWhenNobodyCanAnswerAndBeyondAHundred) {
    for (const bool allow : {false, true}) {
        SCOPED_TRACE(allow);
        answers.clear();
        questions.setDefaultAllow(allow);
        const QString unanswered = allow ? "ALLOWED: NO ANSWER" : "BLOCKED: NO ANSWER";
        const auto before = sent.size();

        questions.setTimeout(std::chrono::milliseconds(50));
        ask(1);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !answers.empty(); }, 3000));
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].source, Source::TimedOut);
        EXPECT_EQ(answers[0].verdict, allow ? Verdict::AllowOnce : Verdict::BlockOnce);

        questions.setTimeout(std::chrono::minutes(10));
        questions.setSomeoneToAsk([] { return false; });
        ask(2);
        EXPECT_TRUE(questions.open().empty()) << "nobody could answer: no row";
        questions.setSomeoneToAsk([] { return true; });
        for (std::uint64_t inode = 100; inode < 100 + ProgramQuestions::MaxOpen + 1; ++inode)
            ask(inode);
        EXPECT_EQ(questions.open().size(), std::size_t(ProgramQuestions::MaxOpen));
        ASSERT_EQ(answers.size(), 3u);
        EXPECT_TRUE(answers[1].source == Source::NoOneToAsk && answers[2].source == Source::NoOneToAsk);
        EXPECT_TRUE(answers[2].program == program(100 + ProgramQuestions::MaxOpen));
        questions.answerAllByDefault(); // the session ends
        EXPECT_TRUE(questions.open().empty());
        EXPECT_EQ(answers.size(), 3u + ProgramQuestions::MaxOpen);
        // The list writes itself to the log in batches; the journal sees every record.
        ASSERT_EQ(sent.size() - before, 3 + ProgramQuestions::MaxOpen);
        for (auto record = before; record < sent.size(); ++record)
            ASSERT_TRUE(sent[record].contains("TARVOK_STATUS=" + unanswered.toUtf8()));
    }
    ASSERT_TRUE(events.flushAtExit());
    const QByteArray log = test::readFile(events.dayFilePath());
    EXPECT_EQ(log.count("BLOCKED: NO ANSWER"), 3 + ProgramQuestions::MaxOpen);
    EXPECT_EQ(log.count("ALLOWED: NO ANSWER"), 3 + ProgramQuestions::MaxOpen);
}
