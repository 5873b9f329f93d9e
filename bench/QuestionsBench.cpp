// The GUI thread while programs are asked about: 50 questions arrive one by one, each shown in
// the alert window (with icons, the countdown and the held-back main window), then each is
// answered by its own click, recorded in a real event list that writes its log. The figure is
// the longest single stretch the thread spends on one arrival or one answer, events and paint
// included; the goal is under 50 ms.
//
//   QT_QPA_PLATFORM=offscreen build/bench/tarvok_questions_bench

#include "engine/ProgramQuestions.h"
#include "monitor/AlertRows.h"
#include "monitor/AlertWindow.h"
#include "monitor/DesktopEntries.h"
#include "monitor/ProgramIcons.h"
#include "monitor/QuestionRows.h"
#include "records/EventList.h"
#include "settings/LanguageFile.h"
#include "settings/Settings.h"
#include "shell/QtPrompter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>

#include "WidgetMain.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

namespace {

constexpr int Programs = 50;

void BM_FiftyQuestionsShownAndAnswered(benchmark::State& state) {
    QTemporaryDir folder;
    QDir(folder.path()).mkdir(QStringLiteral("Logs"));
    tarvok::Settings settings(folder.path());
    tarvok::LanguageFile language; // the build's English texts
    language.setPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../Language/English.lng"));
    tarvok::QtPrompter prompter; // never asked: nothing here ends a process
    tarvok::EventList events(folder.path(), settings);
    tarvok::ProgramIcons icons(tarvok::DesktopEntries::load());
    QWidget mainWindow;
    mainWindow.resize(800, 600);
    mainWindow.show();
    tarvok::EnforcerLink link;
    tarvok::ProgramQuestions questions(link);
    questions.setEventSink(&events);
    tarvok::QuestionRows rows(questions, prompter, language);
    rows.setIconSource(&icons);
    tarvok::AlertRows announced(prompter, language);
    tarvok::AlertWindow window(announced, language, &mainWindow);
    window.setQuestions(rows);
    QObject::connect(&questions, &tarvok::ProgramQuestions::added, &window,
                     &tarvok::AlertWindow::announce);
    auto* allowOnce = window.findChild<QPushButton*>(QStringLiteral("cmdAllowOnce"));

    double longest = 0;
    const auto stretch = [&longest](auto&& step) {
        QElapsedTimer clock;
        clock.start();
        step();
        QApplication::processEvents();
        longest = std::max(longest, clock.nsecsElapsed() / 1e6);
    };
    std::uint64_t next = 1;
    for (auto _ : state) {
        for (int i = 0; i < Programs; ++i) {
            tarvok::enforcer::Question question;
            question.program = {1, next++};
            question.pid = static_cast<std::uint32_t>(::getpid());
            question.remote = {127, 0, 0, 2};
            question.remotePort = static_cast<std::uint16_t>(1000 + i);
            stretch([&] { emit link.question(question); });
        }
        while (rows.rowCount() > 0)
            stretch([&] {
                window.questionList()->setCurrentIndex(rows.index(rows.rowCount() / 2, 0));
                allowOnce->click();
            });
    }
    state.counters["longest_ms"] = longest;
}

} // namespace

BENCHMARK(BM_FiftyQuestionsShownAndAnswered)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    return tarvok::bench::runWithWidgets(argc, argv);
}
