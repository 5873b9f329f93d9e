// What rules that name a program cost the enforcement pass, on the benchmark's table of 20,000
// rows (the namespace and connections are made by main() in TarvokBench.cpp), and what
// learning the owners of sockets costs the worker thread that walks /proc.
//
//   build/bench/tarvok_bench --benchmark_filter='Program|OwnerWalk'
//
// BM_PassWithProgramRules alternates a pass under 10,000 address rules with a pass under the
// same rules plus 1,000 program rules (50 programs, one of them the program that holds every
// connection, so each row's owner is looked up and its program's rules consulted); "ratio" is
// the second over the first. The owners are learnt before the measurement, as after the first
// passes of a run.

#include "engine/ConnectionTables.h"
#include "engine/EnforcementEngine.h"
#include "engine/RuleTable.h"
#include "platform/Processes.h"
#include "platform/SockDiag.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <ctime>
#include <unordered_set>

namespace {

using namespace tarvok;

platform::SockDiag& programDiag() {
    static platform::SockDiag instance;
    return instance;
}

double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// 10,000 address rules that match none of the loopback connections.
QList<Rule> addressRules(const RuleWords& words) {
    QList<Rule> list;
    for (int i = 0; i < 10000; ++i) {
        Rule rule;
        rule.action = i % 3 == 0 ? words.accept : words.block;
        rule.address = QStringLiteral("10.%1.%2.%3").arg(i / 65536).arg((i / 256) % 256).arg(i % 256);
        rule.port = i % 4 == 0 ? words.anyPort : QString::number(1 + i % 60000);
        list.append(rule);
    }
    return list;
}

void BM_PassWithProgramRules(benchmark::State& state) {
    QTemporaryDir folder;
    QStringList programs = {QCoreApplication::applicationFilePath()};
    for (int i = 1; i < 50; ++i) {
        programs << folder.filePath(QStringLiteral("program-%1").arg(i));
        QFile file(programs.last());
        if (!file.open(QIODevice::WriteOnly))
            state.SkipWithError("cannot write a program file");
    }
    ConnectionTables tables(programDiag());
    RuleTable plain, withPrograms;
    const QList<Rule> rules = addressRules(plain.words());
    plain.setRules(rules);
    QList<Rule> mixed = rules;
    for (int i = 0; i < 1000; ++i) {
        Rule rule;
        rule.action = withPrograms.words().block;
        rule.address = QStringLiteral("10.200.%1.%2").arg(i / 256).arg(i % 256);
        rule.port = i % 2 ? withPrograms.words().anyPort : QString::number(80 + i);
        rule.program = programs[i % programs.size()];
        mixed.insert(i * 10, rule); // spread through the list
    }
    withPrograms.setRules(mixed);
    EnforcementEngine without(tables, plain), with(tables, withPrograms);
    without.timer()->stop();
    with.timer()->stop();
    without.runPass();
    with.runPass();
    if (!with.programOwners().waitForWalk(60000)) {
        state.SkipWithError("the owner walk did not end");
        return;
    }
    with.runPass(); // takes the owners
    double plainSeconds = 0, programSeconds = 0;
    for (auto _ : state) {
        const double start = threadSeconds();
        without.runPass();
        const double middle = threadSeconds();
        with.runPass();
        plainSeconds += middle - start;
        programSeconds += threadSeconds() - middle;
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["owners"] = static_cast<double>(with.programOwners().size());
    state.counters["plain_ms"] = plainSeconds / n * 1000;
    state.counters["programs_ms"] = programSeconds / n * 1000;
    state.counters["ratio"] = programSeconds / plainSeconds;
}

// One walk of /proc naming the owners of every socket (the first pass with program rules),
// and of one socket no process holds (a pass that saw one new socket: the walk cannot stop
// early). Arg: 0 for all, 1 for one.
void BM_OwnerWalk(benchmark::State& state) {
    std::vector<platform::TcpRow> rows;
    std::vector<platform::SocketId> ids;
    programDiag().readTcp(rows, ids);
    std::unordered_set<std::uint32_t> wanted;
    if (state.range(0) == 0) {
        for (const platform::SocketId& id : ids)
            if (id.inode != 0)
                wanted.insert(id.inode);
    } else {
        wanted.insert(0xfffffff0u);
    }
    std::size_t named = 0;
    for (auto _ : state)
        named = platform::socketExecutables(wanted).size();
    state.SetLabel(state.range(0) == 0 ? "every_socket" : "one_new_socket");
    state.counters["wanted"] = static_cast<double>(wanted.size());
    state.counters["named"] = static_cast<double>(named);
}

} // namespace

BENCHMARK(BM_PassWithProgramRules)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_OwnerWalk)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
