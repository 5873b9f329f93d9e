// What the kernel table costs: writing a 10,000-rule policy, and loopback connect-and-accept,
// a 200 MB transfer and UDP datagrams with that policy in force (Arg 1) and without any table
// (Arg 0).
// Runs in the private network namespace that TarvokBench.cpp's main() makes.
//
//   build/bench/tarvok_bench --benchmark_filter=Kernel

#include "enforcer/TableCompiler.h"
#include "engine/KernelRefusals.h"
#include "engine/KernelTable.h"
#include "engine/RuleTable.h"
#include "engine/TypedPolicy.h"
#include "platform/NfTables.h"

#include <QSignalSpy>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <atomic>
#include <chrono>
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

sockaddr_in endpoint(const char* address, std::uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &in.sin_addr);
    return in;
}

void closeNow(int fd) {
    const linger now{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(fd);
}

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

// 1,200-byte datagrams (QUIC's size) from 127.0.0.9 to 127.0.0.2, each read as it arrives, with
// the 10,000 rules covering TCP and UDP: every datagram walks the UDP chains of both hooks.
void BM_KernelUdpDatagrams(benchmark::State& state) {
    static RuleTable udpPolicy;
    if (udpPolicy.count() == 0) {
        QList<Rule> rules = bigPolicy().rules();
        for (Rule& rule : rules)
            rule.protocol = QStringLiteral("TCP/UDP");
        udpPolicy.setRules(rules);
    }
    if (state.range(0) != 0)
        benchTable().write(&udpPolicy);
    const int server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = endpoint("127.0.0.2", 47952), from = endpoint("127.0.0.9", 0);
    if (::bind(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        ::bind(client, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
        state.SkipWithError("cannot bind");
    char datagram[1200] = {}, received[1500];
    for (auto _ : state) {
        if (::sendto(client, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to) != sizeof datagram ||
            ::recv(server, received, sizeof received, 0) != sizeof datagram) {
            state.SkipWithError("a datagram was lost");
            break;
        }
    }
    ::close(server);
    ::close(client);
    setTable(false);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sizeof datagram));
}
BENCHMARK(BM_KernelUdpDatagrams)->Arg(0)->Arg(1)->MinTime(2.0)->UseRealTime();

} // namespace
