// What holding connections for a question costs, with a real enforcer whose program filter is
// attached to a cgroup of this benchmark's own (never the root), in the private network
// namespace that TarvokBench.cpp's main() makes. Needs root and the probe client the tests
// build (TARVOK_TESTS on).
//
//   build/bench/tarvok_bench --benchmark_filter=Ask
//
// AskConnectRateWithFiftyOpen: the connect-and-accept rate of a program that a rule accepts,
// while 50 other programs each hold a connection open for a question, over the rate with none
// open (alternating slices, each side's best counting). AskAnswerToEstablished: from the
// answer to the held connection's arrival at the server, p50 and p99.

#include "engine/EnforcerLink.h"

#include "LoopbackSockets.h"
#include "OwnCgroup.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tarvok;
using namespace tarvok::enforcer;
using bench::closeNow;
using bench::endpoint;

using bench::ownCgroup;

ProgramFile fileOf(const char* path) {
    struct stat file {};
    ::stat(path, &file);
    return {file.st_dev, file.st_ino};
}

// An enforcer that asks, this benchmark's own program accepted by a rule.
struct AskBench {
    EnforcerLink link;
    QSignalSpy questions{&link, &EnforcerLink::question};
    QTemporaryDir folder;
    std::vector<std::unique_ptr<QProcess>> held;

    bool start(benchmark::State& state) {
#ifndef TARVOK_BENCH_PROBE_CLIENT
        state.SkipWithError("the probe client is built with the tests only");
        return false;
#else
        if (ownCgroup().empty()) {
            state.SkipWithError("no cgroup v2 folder of the benchmark's own");
            return false;
        }
        ::setenv("TARVOK_FILTER_CGROUP", ownCgroup().c_str(), 1);
        if (!link.start(QStringLiteral(TARVOK_BENCH_ENFORCER), 0xa5c0000u + ::getpid()) ||
            !link.canAsk()) {
            state.SkipWithError("the enforcer cannot hold connections here");
            return false;
        }
        SetPolicy policy;
        TypedRule self;
        self.namesProgram = true;
        self.program = fileOf("/proc/self/exe");
        self.accept = true;
        self.protocols = ProtoBoth;
        policy.rules = {self};
        policy.ask = true;
        QSignalSpy written(&link, &EnforcerLink::policyWritten);
        link.setPolicy(policy);
        return written.wait(5000);
#endif
    }
    // Starts count programs of their own, each held at its connect to port; false when their
    // questions did not all come.
    bool hold(int count, std::uint16_t port) {
#ifdef TARVOK_BENCH_PROBE_CLIENT
        const int before = questions.count();
        for (int i = 0; i < count; ++i) {
            const QString path = folder.path() + QStringLiteral("/client-%1").arg(held.size());
            if (!QFile::exists(path)) {
                QFile::copy(QStringLiteral(TARVOK_BENCH_PROBE_CLIENT), path);
                QFile(path).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
            }
            auto process = std::make_unique<QProcess>();
            process->start(path, {QStringLiteral("tcp"), QStringLiteral("127.0.0.3"),
                                  QStringLiteral("127.0.0.2"), QString::number(port)});
            process->waitForStarted(5000);
            held.push_back(std::move(process));
        }
        QElapsedTimer clock;
        clock.start();
        while (questions.count() < before + count && clock.elapsed() < 15000)
            questions.wait(100);
        return questions.count() >= before + count;
#else
        (void)count;
        (void)port;
        return false;
#endif
    }
    // Blocks every program held, and waits for them to end.
    void release() {
        for (const QList<QVariant>& question : questions)
            link.answer(question.at(0).value<Question>().program, false);
        for (auto& process : held)
            process->waitForFinished(5000);
        held.clear();
        questions.clear();
    }
};

int listener(const char* address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in at = endpoint(address, port);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
    ::listen(fd, 256);
    return fd;
}

void BM_AskConnectRateWithFiftyOpen(benchmark::State& state) {
    constexpr int Slice = 5000;
    AskBench rig;
    if (!rig.start(state))
        return;
    const int heldServer = listener("127.0.0.2", 47961);
    const int server = listener("127.0.0.8", 47962);
    const sockaddr_in to = endpoint("127.0.0.8", 47962);
    const sockaddr_in from = endpoint("127.0.0.9", 0);
    double best[2] = {1e18, 1e18}; // ns a connection: none open, 50 open
    for (auto _ : state) {
        for (const int open : {0, 1}) {
            if (open && !rig.hold(50, 47961)) {
                state.SkipWithError("50 questions did not come");
                break;
            }
            // The 50 processes' start-up is not what is measured.
            QThread::msleep(300);
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < Slice; ++i) {
                const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                ::bind(client, reinterpret_cast<const sockaddr*>(&from), sizeof from);
                if (::connect(client, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
                    state.SkipWithError("a connect failed");
                    ::close(client);
                    break;
                }
                closeNow(::accept4(server, nullptr, nullptr, SOCK_CLOEXEC));
                closeNow(client);
            }
            const std::chrono::duration<double, std::nano> took =
                std::chrono::steady_clock::now() - start;
            best[open] = std::min(best[open], took.count() / Slice);
            if (open)
                rig.release();
        }
    }
    ::close(server);
    ::close(heldServer);
    state.counters["ratio"] = best[0] / best[1];
    state.counters["ns_none_open"] = best[0];
    state.counters["ns_50_open"] = best[1];
    rig.link.goodbye();
}
BENCHMARK(BM_AskConnectRateWithFiftyOpen)->Iterations(6)->Unit(benchmark::kMillisecond);

void BM_AskAnswerToEstablished(benchmark::State& state) {
    constexpr int Rounds = 100;
    AskBench rig;
    if (!rig.start(state))
        return;
    const int server = listener("127.0.0.2", 47963);
    std::vector<double> ms;
    for (auto _ : state) {
        for (int round = 0; round < Rounds; ++round) {
            // One program, a new process each round: each is asked anew.
            rig.held.clear();
            rig.questions.clear();
            if (!rig.hold(1, 47963)) {
                rig.held.front()->waitForFinished(100);
                const std::string why = "round " + std::to_string(round) +
                                        ": no question; the client's state " +
                                        std::to_string(rig.held.front()->state()) + ", exit " +
                                        std::to_string(rig.held.front()->exitCode());
                state.SkipWithError(why.c_str());
                break;
            }
            const ProgramFile program = rig.questions.at(0).at(0).value<Question>().program;
            const auto start = std::chrono::steady_clock::now();
            rig.link.answer(program, true);
            pollfd arrival{server, POLLIN, 0};
            if (::poll(&arrival, 1, 5000) != 1) {
                state.SkipWithError("the allowed connection did not arrive");
                break;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(
                             std::chrono::steady_clock::now() - start)
                             .count());
            closeNow(::accept4(server, nullptr, nullptr, SOCK_CLOEXEC));
            rig.held.front()->waitForFinished(5000);
        }
    }
    ::close(server);
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        state.counters["p50_ms"] = ms[ms.size() / 2];
        state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
        state.counters["max_ms"] = ms.back();
        state.counters["rounds"] = static_cast<double>(ms.size());
    }
    rig.link.goodbye();
}
BENCHMARK(BM_AskAnswerToEstablished)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
