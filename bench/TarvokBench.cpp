// How much the enforcement pass costs on a large table, next to what reading the table costs
// alone and what `ss -tan` takes. Runs in a network namespace of its own, filled with 10,000
// loopback connections (20,000 table rows) held by child processes.
//
//   build/bench/tarvok_bench                 (as root, or where user namespaces are allowed)
//
// What a change to the pass costs shows best in BM_EnforcementPassByPolicy's ratio (pass over
// read, alternating, so a machine that grows busier weighs on both alike): accept_all is the
// policy under which every row is matched and counted as a hit. Compare its ratio with a build
// of the commit before the change.

#include "engine/ConnectionMemory.h"
#include "engine/ConnectionTables.h"
#include "engine/EnforcementEngine.h"
#include "engine/EnforcerLink.h"
#include "engine/RuleCheck.h"
#include "engine/RuleIndex.h"
#include "engine/RuleTable.h"
#include "platform/SockDiag.h"
#include "records/EventList.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include "RunTool.h"

#include "WidgetMain.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>


namespace {

using namespace tarvok;

constexpr int Connections = 10000;
constexpr int Holders = 4; // child processes; each holds both ends of its share
constexpr int CpuSeconds = 10;

bool enterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "tarvok_bench: cannot make a private network namespace (%s)\n",
                         std::strerror(errno));
            return false;
        }
        char map[64];
        auto write = [](const char* path, const char* text) {
            const int fd = ::open(path, O_WRONLY);
            if (fd >= 0) {
                (void)!::write(fd, text, std::strlen(text));
                ::close(fd);
            }
        };
        write("/proc/self/setgroups", "deny");
        std::snprintf(map, sizeof map, "0 %u 1", uid);
        write("/proc/self/uid_map", map);
        std::snprintf(map, sizeof map, "0 %u 1", gid);
        write("/proc/self/gid_map", map);
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    ::close(fd);
    return up;
}

sockaddr_in endpoint(std::uint32_t address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(port);
    return result;
}

// A child that opens count connections from 127.0.0.3-9 to its own listener on 127.0.0.2,
// writes one byte to ready, and holds them until the parent closes its end of hold.
[[noreturn]] void holdConnections(int count, int ready, int hold) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = endpoint(platform::addressField(127, 0, 0, 2), 0);
    socklen_t length = sizeof local;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listener, 4096) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        ::_exit(2);
    for (int i = 0; i < count; ++i) {
        const int client = ::socket(AF_INET, SOCK_STREAM, 0);
        const auto source = static_cast<std::uint8_t>(3 + i % 7);
        const sockaddr_in from = endpoint(platform::addressField(127, 0, 0, source), 0);
        if (client < 0 || ::bind(client, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
            ::connect(client, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
            ::accept(listener, nullptr, nullptr) < 0)
            ::_exit(3);
    }
    const char byte = 1;
    (void)!::write(ready, &byte, 1);
    char ignored;
    while (::read(hold, &ignored, 1) > 0) {
    }
    ::_exit(0);
}

struct Table {
    std::vector<pid_t> holders;
    int holdWrite = -1;

    bool fill() {
        int hold[2], ready[2];
        if (::pipe(hold) != 0 || ::pipe(ready) != 0)
            return false;
        for (int h = 0; h < Holders; ++h) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(hold[1]);
                ::close(ready[0]);
                holdConnections(Connections / Holders, ready[1], hold[0]);
            }
            holders.push_back(pid);
        }
        ::close(hold[0]);
        ::close(ready[1]);
        holdWrite = hold[1];
        int readyCount = 0;
        char byte;
        while (readyCount < Holders && ::read(ready[0], &byte, 1) == 1)
            ++readyCount;
        ::close(ready[0]);
        return readyCount == Holders;
    }

    ~Table() {
        if (holdWrite >= 0)
            ::close(holdWrite);
        for (pid_t pid : holders)
            ::waitpid(pid, nullptr, 0);
    }
};

// Rules that match none of the loopback connections: exact addresses in 10.0.0.0/8, a mix of
// exact and any ports, as a large hand-written policy would have.
void fillRules(RuleTable& rules, int count) {
    QList<Rule> list;
    list.reserve(count);
    for (int i = 0; i < count; ++i) {
        Rule rule;
        rule.action = (i % 3 == 0) ? QStringLiteral("accept") : QStringLiteral("block");
        rule.number = QString::number(i + 1);
        rule.address = QStringLiteral("10.%1.%2.%3").arg(i / 65536).arg((i / 256) % 256).arg(i % 256);
        rule.port = (i % 4 == 0) ? rules.words().anyPort : QString::number(1 + i % 60000);
        list.append(rule);
    }
    rules.setRules(list);
}

// Policies that match the table's rows, each a single rule at the top.
enum Policy { NoRules, AcceptAll, AcceptAllLogged, HalfLogged };
const char* const PolicyNames[] = {"empty", "accept_all", "accept_all_logged", "half_logged"};

void fillPolicy(RuleTable& rules, int policy) {
    Rule rule;
    rule.action = rules.words().accept;
    rule.number = QStringLiteral("1");
    rule.address = rules.words().anyAddress;
    rule.port = rules.words().anyPort;
    switch (policy) {
    case NoRules: rules.clear(); return;
    case AcceptAll: rule.log = rules.words().noLog; break;
    case AcceptAllLogged: break;
    case HalfLogged: rule.address = QStringLiteral("127.0.0.2"); break; // every client end
    }
    rules.setRules({rule});
}

// The event list that the running program records into, writing to a scratch folder.
struct RealEvents {
    struct Settings : SettingsStore {
        QString value(const QString&) const override { return {}; }
        void setValue(const QString&, const QString&) override {}
    } settings;
    QTemporaryDir folder;
    EventList events{folder.path(), settings};
};

platform::SockDiag& diag() {
    static platform::SockDiag instance;
    return instance;
}

void BM_BareTableRead(benchmark::State& state) {
    std::vector<platform::TcpRow> rows;
    for (auto _ : state) {
        diag().readTcp(rows);
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = static_cast<double>(rows.size());
}

void BM_EnforcementPass(benchmark::State& state) {
    ConnectionTables tables(diag());
    RuleTable rules;
    fillRules(rules, static_cast<int>(state.range(0)));
    EnforcementEngine engine(tables, rules);
    engine.timer()->stop();
    engine.runPass(); // builds the rule index once, as the first tick after an edit does
    for (auto _ : state)
        engine.runPass();
    state.counters["cuts"] = static_cast<double>(engine.cutCount());
}

double threadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A pass under each policy next to a bare read, the two alternating iteration by iteration so
// that a machine growing busier during the run weighs on both alike.
void BM_EnforcementPassByPolicy(benchmark::State& state) {
    ConnectionTables tables(diag());
    RuleTable rules;
    fillPolicy(rules, static_cast<int>(state.range(0)));
    RealEvents recorded;
    EnforcementEngine engine(tables, rules);
    engine.timer()->stop();
    engine.setEventSink(&recorded.events);
    engine.runPass(); // the first pass records what the policy logs; later ones repeat nothing
    std::vector<platform::TcpRow> rows;
    double reads = 0, passes = 0;
    for (auto _ : state) {
        const double start = threadCpuSeconds();
        diag().readTcp(rows);
        const double read = threadCpuSeconds();
        engine.runPass();
        reads += read - start;
        passes += threadCpuSeconds() - read;
    }
    state.SetLabel(PolicyNames[state.range(0)]);
    const auto n = static_cast<double>(state.iterations());
    state.counters["read_cpu_ms"] = reads / n * 1000;
    state.counters["pass_cpu_ms"] = passes / n * 1000;
    state.counters["ratio"] = passes / reads;
}

// What remembering recorded connections costs a pass that logs every row.
void BM_RecordedMemoryPerPass(benchmark::State& state) {
    std::vector<platform::TcpRow> rows;
    diag().readTcp(rows);
    ConnectionMemory memory;
    for (auto _ : state) {
        for (const platform::TcpRow& row : rows)
            benchmark::DoNotOptimize(memory.seenBefore(row, false));
        memory.endPass();
    }
    state.counters["rows"] = static_cast<double>(rows.size());
}

void BM_RuleLookupPerConnection(benchmark::State& state) {
    RuleTable rules;
    fillRules(rules, static_cast<int>(state.range(0)));
    RuleIndex index;
    index.rebuild(rules);
    std::vector<platform::TcpRow> rows;
    diag().readTcp(rows);
    std::int64_t decided = 0;
    for (auto _ : state) {
        for (const platform::TcpRow& row : rows)
            benchmark::DoNotOptimize(
                index.firstMatch(row.remoteAddress, platform::portNumber(row.remotePort)));
        decided += static_cast<std::int64_t>(rows.size());
    }
    state.counters["ns_per_connection"] = benchmark::Counter(
        static_cast<double>(decided), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Finding the rules that can never match in a large policy, as after every edit.
void BM_NeverMatchingCheck(benchmark::State& state) {
    RuleTable rules;
    fillRules(rules, static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(findNeverMatching(rules).data());
}

void BM_RuleIndexRebuild(benchmark::State& state) {
    RuleTable rules;
    fillRules(rules, static_cast<int>(state.range(0)));
    RuleIndex index;
    for (auto _ : state)
        index.rebuild(rules);
}

double cpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// CPU used by `read` and by `pass`, each run ten times a second for CpuSeconds, driven by a
// 100 ms QTimer as Timer1 drives the pass. The two alternate second by second, so that load
// from elsewhere on the machine falls on both alike. Returns {reads, passes} in seconds.
std::pair<double, double> cpuOfTenPerSecond(const std::function<void()>& read,
                                            const std::function<void()>& pass) {
    constexpr int TicksPerSecond = 1000 / EnforcementEngine::TickIntervalMs;
    double spent[2] = {0, 0};
    int tick = 0;
    double chunkStart = cpuSeconds();
    QEventLoop loop;
    QTimer timer;
    timer.setInterval(EnforcementEngine::TickIntervalMs);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const int mode = (tick / TicksPerSecond) % 2;
        (mode == 0 ? read : pass)();
        if (++tick % TicksPerSecond == 0) {
            const double now = cpuSeconds();
            spent[mode] += now - chunkStart;
            chunkStart = now;
            if (tick == 2 * CpuSeconds * TicksPerSecond)
                loop.quit();
        }
    });
    timer.start();
    loop.exec();
    return {spent[0], spent[1]};
}

// Argument: a policy of fillPolicy, or -1 for 10,000 rules that match nothing.
void BM_CpuOfTenPassesPerSecond(benchmark::State& state) {
    ConnectionTables tables(diag());
    // Cuts go through the enforcer, as the program's do.
    EnforcerLink enforcer;
    if (!enforcer.start(QStringLiteral(TARVOK_BENCH_ENFORCER), 0xb3)) {
        state.SkipWithError("the enforcer did not start");
        return;
    }
    tables.setEnforcer(&enforcer);
    RuleTable rules;
    if (state.range(0) < 0)
        fillRules(rules, 10000);
    else
        fillPolicy(rules, static_cast<int>(state.range(0)));
    RealEvents recorded;
    EnforcementEngine engine(tables, rules);
    engine.timer()->stop();
    engine.setEventSink(&recorded.events);
    engine.runPass(); // the first pass records what the policy logs, once
    state.SetLabel(state.range(0) < 0 ? "10000_rules" : PolicyNames[state.range(0)]);
    std::vector<platform::TcpRow> rows;
    for (auto _ : state) {
        const auto [reads, passes] =
            cpuOfTenPerSecond([&rows] { diag().readTcp(rows); }, [&engine] { engine.tick(); });
        state.counters["cpu_ms_bare_reads"] = reads * 1000;
        state.counters["cpu_ms_passes"] = passes * 1000;
        state.counters["ratio"] = passes / reads;
    }
}

void BM_SsTan(benchmark::State& state) { bench::timeSs(state, "-tan"); }

} // namespace

BENCHMARK(BM_BareTableRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_EnforcementPass)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RecordedMemoryPerPass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RuleLookupPerConnection)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RuleIndexRebuild)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NeverMatchingCheck)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnforcementPassByPolicy)
    ->DenseRange(NoRules, HalfLogged)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_CpuOfTenPassesPerSecond)
    ->Arg(-1)
    ->DenseRange(NoRules, HalfLogged)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_SsTan)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv) {
    if (!enterPrivateNetwork())
        return 1;
    Table table;
    if (!table.fill()) {
        std::fprintf(stderr, "tarvok_bench: could not open %d loopback connections\n", Connections);
        return 1;
    }
    // The monitor's benchmarks show a real list view.
    return tarvok::bench::runWithWidgets(argc, argv);
}
