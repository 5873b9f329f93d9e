// What going through the enforcer costs: one cut by the window's own destroy request against
// the same cut asked of tarvok-enforcer, and the enforcer's resident memory idle and with a
// 10,000-rule table written. Runs in the private network namespace of TarvokBench.cpp's main().
//
//   build/bench/tarvok_bench --benchmark_filter=Enforcer

#include "engine/EnforcerLink.h"
#include "engine/TypedPolicy.h"
#include "platform/SockDiag.h"

#include <benchmark/benchmark.h>

#include <QSignalSpy>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace tarvok;

// A loopback connection from 127.0.0.3 to a listener on 127.0.0.2; the client's row to cut.
struct Loop {
    int listener = -1, client = -1, server = -1;
    platform::TcpRow row{};
    Loop() {
        sockaddr_in to{AF_INET, 0, {platform::addressField(127, 0, 0, 2)}, {}};
        sockaddr_in from{AF_INET, 0, {platform::addressField(127, 0, 0, 3)}, {}};
        socklen_t length = sizeof to;
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        client = ::socket(AF_INET, SOCK_STREAM, 0);
        ::bind(listener, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&to), &length);
        ::bind(client, reinterpret_cast<sockaddr*>(&from), sizeof from);
        ::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to);
        server = ::accept(listener, nullptr, nullptr);
        length = sizeof from;
        ::getsockname(client, reinterpret_cast<sockaddr*>(&from), &length);
        row = {platform::StateEstablished, from.sin_addr.s_addr, from.sin_port,
               to.sin_addr.s_addr, to.sin_port};
    }
    ~Loop() {
        for (int fd : {listener, client, server})
            ::close(fd);
    }
};

template <typename Cut>
void timeCuts(benchmark::State& state, Cut&& cut) {
    for (auto _ : state) {
        Loop loop;
        const auto start = std::chrono::steady_clock::now();
        const std::uint32_t result = cut(loop.row);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (result != 0)
            state.SkipWithError("the cut failed");
    }
}

void BM_EnforcerCutDirect(benchmark::State& state) {
    platform::SockDiag diag;
    timeCuts(state, [&](platform::TcpRow& row) { return diag.destroyTcp(row); });
}

void BM_EnforcerCutThroughIt(benchmark::State& state) {
    EnforcerLink link;
    if (!link.start(QStringLiteral(TARVOK_BENCH_ENFORCER), 0xbe)) {
        state.SkipWithError("the enforcer did not start");
        return;
    }
    timeCuts(state, [&](platform::TcpRow& row) {
        enforcer::Cut cut{0, 6, {}, {}, platform::portNumber(row.localPort),
                          platform::portNumber(row.remotePort), 0};
        std::memcpy(cut.local.data(), &row.localAddress, 4);
        std::memcpy(cut.remote.data(), &row.remoteAddress, 4);
        return static_cast<std::uint32_t>(link.cut(cut));
    });
}

long residentKilobytes(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    long kilobytes = -1;
    if (FILE* file = std::fopen(path, "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, file))
            if (std::sscanf(line, "VmRSS: %ld kB", &kilobytes) == 1)
                break;
        std::fclose(file);
    }
    return kilobytes;
}

void BM_EnforcerMemory(benchmark::State& state) {
    RuleTable table;
    QList<Rule> rules;
    for (int i = 0; i < 10000; ++i)
        rules.append({QStringLiteral("block"), QString::number(i + 1), {},
                      QStringLiteral("10.%1.%2.%3").arg(i / 65536).arg(i / 256 % 256).arg(i % 256),
                      i % 5 == 0 ? QStringLiteral("any port") : QString::number(1000 + i % 5000),
                      {}, {}});
    table.setRules(rules);
    for (auto _ : state) {
        EnforcerLink link;
        if (!link.start(QStringLiteral(TARVOK_BENCH_ENFORCER), 0xbf)) {
            state.SkipWithError("the enforcer did not start");
            return;
        }
        state.counters["idle_kB"] = static_cast<double>(residentKilobytes(link.pid()));
        QSignalSpy written(&link, &EnforcerLink::policyWritten);
        link.setPolicy(typedPolicy(table, SecurityLevel::Normal, false));
        if (!written.wait(30000) || written.at(0).at(0).toInt() != 0) {
            state.SkipWithError("the policy was not written");
            return;
        }
        state.counters["10000_rules_kB"] = static_cast<double>(residentKilobytes(link.pid()));
    }
}

} // namespace

BENCHMARK(BM_EnforcerCutDirect)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);
BENCHMARK(BM_EnforcerCutThroughIt)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);
BENCHMARK(BM_EnforcerMemory)->Iterations(1)->Unit(benchmark::kMillisecond);
