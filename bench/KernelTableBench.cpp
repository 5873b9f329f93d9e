// What the kernel table costs: writing a 10,000-rule policy, and loopback connect-and-accept,
// a 200 MB transfer and UDP datagrams with that policy in force (Arg 1) and without any table
// (Arg 0); what refused connections and datagrams cost the enforcer and the window.
// Runs in the private network namespace that TarvokBench.cpp's main() makes.
//
//   build/bench/tarvok_bench --benchmark_filter=Kernel

#include "enforcer/ProgramFilter.h"
#include "enforcer/TableCompiler.h"
#include "engine/KernelRefusals.h"
#include "engine/KernelTable.h"
#include "engine/RuleTable.h"
#include "engine/TypedPolicy.h"
#include "platform/NfTables.h"

#include <QSignalSpy>

#include "LoopbackSockets.h"
#include "OwnCgroup.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tarvok;

// 10,000 block rules that match nothing on loopback: address-and-port, address-only and a
// few port-only rules, as a large real policy mixes them.
RuleTable& bigPolicy() {
    static RuleTable table;
    if (table.count() == 0) {
        QList<Rule> rules;
        for (int i = 0; i < 10000; ++i) {
            const QString address =
                QStringLiteral("10.%1.%2.%3").arg(i / 65536).arg(i / 256 % 256).arg(i % 256);
            QString port = QString::number(1000 + i % 5000);
            if (i % 5 == 0)
                port = QStringLiteral("any port");
            Rule rule{QStringLiteral("block"), QString::number(i + 1), {}, address, port, {}, {}};
            if (i % 1000 == 999) { // port-only rules for ports that no connection here uses
                rule.address = QStringLiteral("any address");
                rule.port = QString::number(900 + i / 1000);
            }
            rules.append(rule);
        }
        table.setRules(rules);
    }
    return table;
}

// The table as the enforcer writes it, written by this process: it stays while the process's
// netlink socket does (the table is owned), so the socket lives as long as the benchmark.
struct BenchTable {
    platform::NftScripts nft;
    bool exists = false;
    // Writes the policy (none: removes the table); false with the reason on stderr.
    bool write(const RuleTable* rules, enforcer::TableOptions options = {}) {
        options.name = "tarvok_bench";
        options.mayExist = !exists;
        const std::string script =
            rules ? enforcer::tableScript(typedPolicy(*rules, SecurityLevel::Normal, false), options)
                  : enforcer::tableRemoval(options.name);
        if (!rules && !exists)
            return true;
        const bool ok = nft.run(script);
        if (ok)
            exists = rules != nullptr;
        else
            std::fprintf(stderr, "tarvok_bench: %s\n", nft.error().c_str());
        return ok;
    }
};

BenchTable& benchTable() {
    static BenchTable table;
    return table;
}

void setTable(bool on) {
    benchTable().write(on ? &bigPolicy() : nullptr);
}

using bench::closeNow;
using bench::endpoint;

int listener(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in local = endpoint("127.0.0.8", port);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    ::listen(fd, 128);
    return fd;
}

int connectFrom(const char* from, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = endpoint(from, 0), remote = endpoint("127.0.0.8", port);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void BM_KernelTableWrite10000Rules(benchmark::State& state) {
    for (auto _ : state)
        if (!benchTable().write(&bigPolicy()))
            state.SkipWithError("the table was refused");
    setTable(false);
}
BENCHMARK(BM_KernelTableWrite10000Rules)->Unit(benchmark::kMillisecond)->Iterations(10);

// The first write of a run, with no table of Tarvok's in the kernel yet.
void BM_KernelTableFirstWrite10000Rules(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        setTable(false);
        state.ResumeTiming();
        if (!benchTable().write(&bigPolicy()))
            state.SkipWithError("the table was refused");
    }
    setTable(false);
}
BENCHMARK(BM_KernelTableFirstWrite10000Rules)->Unit(benchmark::kMillisecond)->Iterations(10);

// The GUI thread while a change of a 10,000-rule policy is written: a 1 ms timer measures the
// longest gap between its ticks (compile, hand-over and the pass after the write included);
// the time reported is from the change to the write's outcome being taken in.
//
//   build/bench/tarvok_bench --benchmark_filter=GuiStretch
void BM_KernelTableGuiStretch10000Rules(benchmark::State& state) {
    platform::SockDiag diag;
    ConnectionTables tables{diag};
    EnforcerLink enforcer;
    if (!enforcer.start(QStringLiteral(TARVOK_BENCH_ENFORCER), 0xb1)) {
        state.SkipWithError("the enforcer did not start");
        return;
    }
    tables.setEnforcer(&enforcer);
    EnforcementEngine engine{tables, bigPolicy()};
    engine.timer()->stop();
    KernelTable kernel(bigPolicy(), engine, nullptr, enforcer);
    kernel.update();
    double longest = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        QTimer tick;
        tick.setInterval(1);
        qint64 last = 0, gap = 0, doneAt = -1;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            gap = std::max(gap, now - last);
            last = now;
        });
        const auto connection =
            QObject::connect(&kernel, &KernelTable::written, [&] { doneAt = clock.nsecsElapsed(); });
        tick.start();
        clock.start();
        emit bigPolicy().wordsChanged();
        // A few ticks past the outcome, so that its handler's time is measured too.
        while ((doneAt < 0 || clock.nsecsElapsed() < doneAt + 3000000) && clock.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QObject::disconnect(connection);
        state.SetIterationTime(static_cast<double>(doneAt) / 1e9);
        longest = std::max(longest, static_cast<double>(gap) / 1e6);
        if (!kernel.inForce())
            state.SkipWithError(kernel.failure().toStdString().c_str());
    }
    state.counters["longest_gui_ms"] = longest;
    // The pass that follows every change, alone: it reads the sockets whatever the write costs.
    QElapsedTimer pass;
    pass.start();
    engine.runPass();
    state.counters["pass_alone_ms"] = static_cast<double>(pass.nsecsElapsed()) / 1e6;
}
BENCHMARK(BM_KernelTableGuiStretch10000Rules)->Unit(benchmark::kMillisecond)->Iterations(10)->UseManualTime();

void BM_KernelTableCompile10000Rules(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(enforcer::tableScript(
            typedPolicy(bigPolicy(), SecurityLevel::Normal, false), enforcer::TableOptions{}));
}
BENCHMARK(BM_KernelTableCompile10000Rules)->Unit(benchmark::kMillisecond);

// The GUI thread's CPU while a client in this namespace makes 10,000 connection attempts a
// second for a second, each refused by a logged rule: cpu_share is that CPU over the wall time.
// The count must come out exact.
//
//   build/bench/tarvok_bench --benchmark_filter=RefusalFlood
void BM_KernelRefusalFlood(benchmark::State& state) {
    platform::SockDiag diag;
    ConnectionTables tables{diag};
    RuleTable rules;
    rules.setRules({Rule{QStringLiteral("block"), QStringLiteral("1"), {}, QStringLiteral("127.0.0.2"),
                         QStringLiteral("47960"), {}, {}}});
    EnforcementEngine engine{tables, rules};
    engine.timer()->stop();
    EnforcerLink enforcer;
    KernelRefusals refusals(engine, enforcer);
    QSignalSpy written(&enforcer, &EnforcerLink::policyWritten);
    if (!enforcer.start(QStringLiteral(TARVOK_BENCH_ENFORCER), 0xb2) ||
        (enforcer.setPolicy(typedPolicy(rules, SecurityLevel::Normal, false)), !written.wait(5000)) ||
        written.at(0).at(0).toInt() != 0) {
        state.SkipWithError("no enforcer or table");
        return;
    }
    constexpr int Attempts = 10000;
    double share = 0, rate = 0;
    qint64 missing = 0;
    for (auto _ : state) {
        const qint64 before = refusals.count();
        std::atomic<int> made{0};
        rusage start{}, end{};
        ::getrusage(RUSAGE_THREAD, &start);
        QElapsedTimer wall;
        wall.start();
        std::thread client([&made] {
            const sockaddr_in remote = endpoint("127.0.0.2", 47960), local = endpoint("127.0.0.3", 0);
            const auto begin = std::chrono::steady_clock::now();
            for (int i = 0; i < Attempts; ++i) {
                std::this_thread::sleep_until(begin + std::chrono::microseconds(100 * i));
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
                if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0)
                    ++made;
                ::close(fd);
            }
        });
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if ((made == Attempts && refusals.count() - before >= made) || wall.elapsed() > 5000)
                loop.quit();
        });
        poll.start(50);
        loop.exec();
        client.join();
        ::getrusage(RUSAGE_THREAD, &end);
        const auto micros = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
        const double cpu = micros(end.ru_utime) + micros(end.ru_stime) -
                           micros(start.ru_utime) - micros(start.ru_stime);
        const double elapsed = static_cast<double>(wall.nsecsElapsed()) / 1e3;
        share = std::max(share, cpu / elapsed);
        rate = made / elapsed * 1e6;
        missing += made - (refusals.count() - before);
        state.SetIterationTime(elapsed / 1e6);
    }
    enforcer.goodbye();
    state.counters["cpu_share"] = share;
    state.counters["attempts_per_s"] = rate;
    state.counters["uncounted"] = static_cast<double>(missing);
}
BENCHMARK(BM_KernelRefusalFlood)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

void BM_KernelConnectAccept(benchmark::State& state) {
    setTable(state.range(0) != 0);
    const int server = listener(47950);
    for (auto _ : state) {
        const int client = connectFrom("127.0.0.9", 47950);
        if (client < 0) {
            state.SkipWithError("connect failed");
            break;
        }
        const int accepted = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        closeNow(client);
        closeNow(accepted);
    }
    ::close(server);
    setTable(false);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KernelConnectAccept)->Arg(0)->Arg(1)->MinTime(2.0)->UseRealTime();

void BM_KernelTransfer200MB(benchmark::State& state) {
    setTable(state.range(0) != 0);
    constexpr std::size_t Total = 200u * 1024 * 1024;
    const int server = listener(47951);
    for (auto _ : state) {
        const int client = connectFrom("127.0.0.9", 47951);
        if (client < 0) {
            state.SkipWithError("connect failed");
            break;
        }
        const int accepted = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        std::thread reader([accepted] {
            std::vector<char> buffer(256 * 1024);
            std::size_t got = 0;
            while (got < Total) {
                const ssize_t n = ::read(accepted, buffer.data(), buffer.size());
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
        });
        const std::vector<char> chunk(256 * 1024, 'x');
        for (std::size_t sent = 0; sent < Total;) {
            const ssize_t n = ::write(client, chunk.data(), std::min(chunk.size(), Total - sent));
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        reader.join();
        closeNow(client);
        closeNow(accepted);
    }
    ::close(server);
    setTable(false);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Total));
}
BENCHMARK(BM_KernelTransfer200MB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

// The 10,000 rules, covering TCP and UDP.
RuleTable& udpPolicy() {
    static RuleTable table;
    if (table.count() == 0) {
        QList<Rule> rules = bigPolicy().rules();
        for (Rule& rule : rules)
            rule.protocol = QStringLiteral("TCP/UDP");
        table.setRules(rules);
    }
    return table;
}

using bench::DatagramPair;
using bench::threadCpuNs;

// The program filter with the 10,000 rules, attached to this benchmark's own cgroup.
std::unique_ptr<enforcer::ProgramFilter> openFilter(benchmark::State& state) {
    const std::string& cgroup = bench::ownCgroup();
    std::string reason = "no cgroup v2 folder of the benchmark's own";
    std::unique_ptr<enforcer::ProgramFilter> filter;
    if (!cgroup.empty())
        filter = enforcer::ProgramFilter::open(cgroup, &reason);
    if (!filter ||
        !filter->apply(typedPolicy(udpPolicy(), SecurityLevel::Normal, false), &reason)) {
        state.SkipWithError(("the program filter: " + reason).c_str());
        return nullptr;
    }
    return filter;
}

// With the 10,000 rules in force (Arg 1), every datagram is judged in both hooks; those of a
// flow already let through pass the table's cache of remote ends after one lookup.
void BM_KernelUdpDatagrams(benchmark::State& state) {
    if (state.range(0) != 0)
        benchTable().write(&udpPolicy());
    DatagramPair pair;
    if (!pair.bound)
        state.SkipWithError("cannot bind");
    for (auto _ : state) {
        if (!pair.exchange()) {
            state.SkipWithError("a datagram was lost");
            break;
        }
    }
    setTable(false);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DatagramPair::Size));
}
BENCHMARK(BM_KernelUdpDatagrams)->Arg(0)->Arg(1)->MinTime(2.0)->UseRealTime();

// The goal's figure: UDP throughput with the 10,000 rules in force over that without a table,
// from slices that alternate between the settings below, so that a machine growing busier
// weighs on all alike; each setting's best slice counts. cpu_ratio is from this thread's CPU
// time, which carries the whole loopback path (both hooks and the delivery), wall_ratio from
// the clock.
// floor_ratio is the same with the rules for TCP alone, which UDP never walks: what the table's
// two hooks cost a datagram by being there, the most any UDP matching can reach.
// table_ratio_filtered is the table the enforcer writes while the program filter decides
// outgoing traffic (input hook only), without the filter; filter_ratio is that table with the
// filter and the same rules in force in this benchmark's own cgroup: what a datagram sent
// with sendto() pays where the filter runs. batched_ratio and batched_filter_ratio are cpu_ratio
// and filter_ratio for datagrams sent ten at a time (UDP_SEGMENT), as QUIC stacks send them.
//
//   build/bench/tarvok_bench --benchmark_filter=KernelUdpDatagramsRatio
void BM_KernelUdpDatagramsRatio(benchmark::State& state) {
    constexpr int Slice = 20000, Batch = 10;
    bench::ownCgroup(); // before the sockets, which belong to their maker's cgroup
    DatagramPair single, batched(Batch, 47953);
    if (!single.bound || !batched.bound) {
        state.SkipWithError("cannot bind");
        return;
    }
    enforcer::TableOptions filtered;
    filtered.outgoingByFilter = true;
    struct Setting {
        const RuleTable* rules; // none: no table
        bool filtered, filter, batched;
    };
    const Setting slices[] = {
        {nullptr, false, false, false},      // without a table
        {&udpPolicy(), false, false, false}, // the rules
        {&bigPolicy(), false, false, false}, // the rules for TCP alone
        {&udpPolicy(), true, false, false},  // the table beside the filter
        {&udpPolicy(), true, true, false},   // that table and the filter
        {nullptr, false, false, true},       // batched, without a table
        {&udpPolicy(), false, false, true},  // batched, the rules
        {&udpPolicy(), true, true, true},    // batched, the table beside the filter and the filter
    };
    constexpr int Count = static_cast<int>(sizeof slices / sizeof slices[0]);
    double cpu[Count], wall[Count]; // ns a datagram, each slice's best
    std::fill(std::begin(cpu), std::end(cpu), 1e18);
    std::fill(std::begin(wall), std::end(wall), 1e18);
    for (auto _ : state) {
        for (int at = 0; at < Count; ++at) {
            const Setting& slice = slices[at];
            if (slice.rules)
                benchTable().write(slice.rules,
                                   slice.filtered ? filtered : enforcer::TableOptions{});
            std::unique_ptr<enforcer::ProgramFilter> filter;
            if (slice.filter && !(filter = openFilter(state)))
                return;
            DatagramPair& pair = slice.batched ? batched : single;
            const int rounds = Slice / pair.batch;
            const double cpuStart = threadCpuNs();
            const auto wallStart = std::chrono::steady_clock::now();
            for (int i = 0; i < rounds; ++i)
                if (!pair.exchange()) {
                    state.SkipWithError("a datagram was lost");
                    return;
                }
            const std::chrono::duration<double, std::nano> took =
                std::chrono::steady_clock::now() - wallStart;
            cpu[at] = std::min(cpu[at], (threadCpuNs() - cpuStart) / Slice);
            wall[at] = std::min(wall[at], took.count() / Slice);
            setTable(false);
        }
    }
    state.counters["cpu_ratio"] = cpu[0] / cpu[1];
    state.counters["wall_ratio"] = wall[0] / wall[1];
    state.counters["floor_ratio"] = cpu[0] / cpu[2];
    state.counters["table_ratio_filtered"] = cpu[0] / cpu[3];
    state.counters["filter_ratio"] = cpu[0] / cpu[4];
    state.counters["batched_ratio"] = cpu[5] / cpu[6];
    state.counters["batched_filter_ratio"] = cpu[5] / cpu[7];
    state.counters["cpu_ns_without"] = cpu[0];
    state.counters["cpu_ns_with"] = cpu[1];
}
BENCHMARK(BM_KernelUdpDatagramsRatio)->Iterations(10)->Unit(benchmark::kMillisecond);

// A process's CPU time so far (all its threads), in seconds.
double processCpuSeconds(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* file = std::fopen(path, "r");
    if (!file)
        return 0;
    char text[1024] = {};
    const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    // The fields after the name, which is in parentheses and may hold anything: utime and
    // stime are the 14th and 15th fields of the line.
    const char* rest = std::strrchr(text, ')');
    unsigned long user = 0, system = 0;
    if (!rest || std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                             &user, &system) != 2)
        return 0;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The CPU of refused datagrams: a client in this namespace sends 10,000 datagrams a second for
// two seconds to an endpoint that a logged rule blocks, from one socket (one flow, which the
// enforcer reports once a minute; Arg 0) or each from a port of its own (as many flows as
// datagrams; Arg 1). enforcer_cpu is the enforcer's CPU over the time the datagrams took to
// send, window_cpu that of this thread, where the window takes the refusals in (the worst of
// the rounds). uncounted is the flows sent less the refusals counted, once the client ended
// and the last refusals had time to arrive: it must be 0.
//
//   build/bench/tarvok_bench --benchmark_filter=KernelUdpRefusalFlood
void BM_KernelUdpRefusalFlood(benchmark::State& state) {
    const bool manyFlows = state.range(0) != 0;
    platform::SockDiag diag;
    ConnectionTables tables{diag};
    RuleTable rules;
    Rule rule;
    rule.action = QStringLiteral("block");
    rule.number = QStringLiteral("1");
    rule.address = QStringLiteral("127.0.0.2");
    rule.port = QStringLiteral("47962");
    rule.protocol = QStringLiteral("UDP");
    rules.setRules({rule});
    EnforcementEngine engine{tables, rules};
    engine.timer()->stop();
    EnforcerLink enforcer;
    KernelRefusals refusals(engine, enforcer);
    QSignalSpy written(&enforcer, &EnforcerLink::policyWritten);
    if (!enforcer.start(QStringLiteral(TARVOK_BENCH_ENFORCER), manyFlows ? 0xb4 : 0xb3) ||
        (enforcer.setPolicy(typedPolicy(rules, SecurityLevel::Normal, false)), !written.wait(5000)) ||
        written.at(0).at(0).toInt() != 0) {
        state.SkipWithError("no enforcer or table");
        return;
    }
    constexpr int PerSecond = 10000, Datagrams = 2 * PerSecond;
    double enforcerShare = 0, windowShare = 0, rate = 0;
    qint64 uncounted = 0;
    int round = 0;
    for (auto _ : state) {
        // Every round from an address of its own: its flows are new to the enforcer.
        const std::string from = "127.0.0." + std::to_string(3 + round++);
        const qint64 before = refusals.count();
        std::atomic<int> sent{0};
        std::atomic<double> sending{1}; // seconds the client took to send
        const double enforcerStart = processCpuSeconds(enforcer.pid()), windowStart = threadCpuNs();
        QElapsedTimer wall;
        wall.start();
        std::thread client([&sent, &sending, &from, manyFlows] {
            const sockaddr_in remote = endpoint("127.0.0.2", 47962);
            const auto open = [&from](std::uint16_t port) {
                const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                const sockaddr_in local = endpoint(from.c_str(), port);
                ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
                return fd;
            };
            const int one = open(20000);
            const char datagram[1200] = {};
            const auto begin = std::chrono::steady_clock::now();
            for (int i = 0; i < Datagrams; ++i) {
                std::this_thread::sleep_until(begin + std::chrono::microseconds(1000000 / PerSecond * i));
                const int fd = manyFlows ? open(static_cast<std::uint16_t>(20001 + i)) : one;
                // Refused in the output hook: the send fails with EPERM.
                if (::sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&remote),
                             sizeof remote) < 0)
                    ++sent;
                if (fd != one)
                    ::close(fd);
            }
            sending = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            ::close(one);
        });
        const qint64 expected = manyFlows ? Datagrams : 1;
        QEventLoop loop;
        QTimer poll;
        qint64 doneAt = -1;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (doneAt < 0 && sent == Datagrams && refusals.count() - before >= expected)
                doneAt = wall.elapsed();
            // A little longer, so that a refusal counted twice would show.
            if ((doneAt >= 0 && wall.elapsed() > doneAt + 200) || wall.elapsed() > 8000)
                loop.quit();
        });
        poll.start(20);
        loop.exec();
        client.join();
        // All the CPU spent until the last refusal was in, over the time the datagrams came.
        const double seconds = sending;
        enforcerShare = std::max(enforcerShare, (processCpuSeconds(enforcer.pid()) - enforcerStart) / seconds);
        windowShare = std::max(windowShare, (threadCpuNs() - windowStart) / 1e9 / seconds);
        rate = sent / seconds;
        uncounted += expected - (refusals.count() - before);
        state.SetIterationTime(static_cast<double>(wall.nsecsElapsed()) / 1e9);
    }
    enforcer.goodbye();
    state.counters["enforcer_cpu"] = enforcerShare;
    state.counters["window_cpu"] = windowShare;
    state.counters["refused_per_s"] = rate;
    state.counters["uncounted"] = static_cast<double>(uncounted);
}
BENCHMARK(BM_KernelUdpRefusalFlood)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

} // namespace
