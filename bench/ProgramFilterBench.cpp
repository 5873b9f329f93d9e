// What the program filter costs: loopback connect-and-accept with 1,000 program rules and
// 10,000 address rules in force, against the same without the filter, and the time to put a
// changed policy of 1,000 program rules in force. The filter is attached to a cgroup of this
// benchmark's own, which it joins, never to the root. Runs in the private network namespace
// that TarvokBench.cpp's main() makes; needs root (CAP_BPF, CAP_PERFMON, CAP_NET_ADMIN).
//
//   build/bench/tarvok_bench --benchmark_filter=ProgramFilter

#include "enforcer/ProgramFilter.h"

#include "LoopbackSockets.h"
#include "OwnCgroup.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace tarvok;
using namespace tarvok::enforcer;

using bench::ownCgroup;

// What the kernel charges for this process's BPF maps ("memlock" of every map descriptor).
std::uint64_t mapMemory() {
    std::uint64_t total = 0;
    DIR* fds = ::opendir("/proc/self/fdinfo");
    if (!fds)
        return 0;
    while (const dirent* entry = ::readdir(fds)) {
        std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
        std::string line;
        bool map = false;
        std::uint64_t memlock = 0;
        while (std::getline(info, line)) {
            map = map || line.rfind("map_type:", 0) == 0;
            if (line.rfind("memlock:", 0) == 0)
                memlock = std::stoull(line.substr(8));
        }
        if (map)
            total += memlock;
    }
    ::closedir(fds);
    return total;
}

Address v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return Address{a, b, c, d};
}

// 1,000 block rules for programs that never run here (files of this machine's root device
// with inodes no file has), above 10,000 address block rules that match nothing on loopback;
// every connect here walks all eight shapes. shift changes every program rule's port, so that
// each change rewrites every key.
SetPolicy bigPolicy(std::uint16_t shift = 0, bool addressRules = true) {
    struct stat root {};
    ::stat("/", &root);
    SetPolicy policy;
    for (std::uint32_t i = 0; i < 1000; ++i) {
        TypedRule rule;
        rule.namesProgram = true;
        rule.program = {static_cast<std::uint64_t>(root.st_dev), 0x7f000000u + i};
        rule.anyPort = i % 2 != 0;
        rule.port = static_cast<std::uint16_t>(2000 + i + shift);
        rule.protocols = ProtoBoth;
        policy.rules.push_back(rule);
    }
    for (std::uint32_t i = 0; addressRules && i < 10000; ++i) {
        TypedRule rule;
        rule.family = RuleFamily::V4;
        rule.address = v4(10, static_cast<std::uint8_t>(i / 65536), static_cast<std::uint8_t>(i / 256),
                          static_cast<std::uint8_t>(i));
        rule.anyPort = i % 5 == 0;
        rule.port = static_cast<std::uint16_t>(1000 + i % 5000);
        rule.protocols = i % 2 ? ProtoBoth : ProtoTcp;
        policy.rules.push_back(rule);
    }
    return policy;
}

std::unique_ptr<ProgramFilter> openFilter(benchmark::State& state) {
    const std::string& cgroup = ownCgroup();
    if (cgroup.empty()) {
        state.SkipWithError("no cgroup v2 folder of the benchmark's own");
        return nullptr;
    }
    std::string reason;
    auto filter = ProgramFilter::open(cgroup, &reason);
    if (!filter || !filter->apply(bigPolicy(), &reason)) {
        state.SkipWithError(("the program filter: " + reason).c_str());
        return nullptr;
    }
    return filter;
}

using bench::closeNow;
using bench::endpoint;

// Connects from 127.0.0.9 and accepts on 127.0.0.8, count times; false when one failed.
bool connectAccept(int server, const sockaddr_in& to, int count) {
    const sockaddr_in from = endpoint("127.0.0.9", 0);
    for (int i = 0; i < count; ++i) {
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(client, reinterpret_cast<const sockaddr*>(&from), sizeof from);
        if (::connect(client, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            ::close(client);
            return false;
        }
        closeNow(::accept4(server, nullptr, nullptr, SOCK_CLOEXEC));
        closeNow(client);
    }
    return true;
}

// The goal's figure: connect-and-accept rate with the filter and its 11,000 rules in force
// over that without the filter, from slices that alternate between the two (the filter is
// loaded for each slice with it, and released after), each side's best slice counting.
void BM_ProgramFilterConnectAcceptRatio(benchmark::State& state) {
    constexpr int Slice = 5000;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in to = endpoint("127.0.0.8", 47960);
    ::bind(server, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::listen(server, 128);
    double best[2] = {1e18, 1e18}; // ns a connection: without, with the filter
    for (auto _ : state) {
        for (const int with : {0, 1}) {
            std::unique_ptr<ProgramFilter> filter;
            if (with && !(filter = openFilter(state)))
                break;
            const auto start = std::chrono::steady_clock::now();
            if (!connectAccept(server, to, Slice)) {
                state.SkipWithError("a connect failed");
                break;
            }
            const std::chrono::duration<double, std::nano> took =
                std::chrono::steady_clock::now() - start;
            best[with] = std::min(best[with], took.count() / Slice);
        }
    }
    ::close(server);
    state.counters["ratio"] = best[0] / best[1];
    state.counters["ns_without"] = best[0];
    state.counters["ns_with"] = best[1];
}
BENCHMARK(BM_ProgramFilterConnectAcceptRatio)->Iterations(5)->Unit(benchmark::kMillisecond);

// A changed policy of 1,000 program rules put in force (Arg 1: and 10,000 address rules): the
// new generation's keys written, the switch, the old keys deleted.
void BM_ProgramFilterPolicyChange(benchmark::State& state) {
    std::unique_ptr<ProgramFilter> filter = openFilter(state);
    if (!filter)
        return;
    std::uint16_t shift = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const SetPolicy changed = bigPolicy(++shift, state.range(0) != 0);
        state.ResumeTiming();
        std::string reason;
        if (!filter->apply(changed, &reason)) {
            state.SkipWithError(reason.c_str());
            break;
        }
    }
    state.counters["map_memory_MiB"] = static_cast<double>(mapMemory()) / (1 << 20);
}
BENCHMARK(BM_ProgramFilterPolicyChange)->Arg(0)->Arg(1)->Iterations(10)->Unit(benchmark::kMillisecond);

} // namespace
