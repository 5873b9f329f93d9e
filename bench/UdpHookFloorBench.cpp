// What one kernel hook costs a UDP datagram by being there, with nothing to decide: the least
// that any table or filter deciding UDP can cost. Each hook is timed alone against no hook,
// over the same 1,200-byte loopback exchange as the table's UDP figures: an nftables chain on
// the input hook and one on the output hook (no rule in either), a BPF program on the cgroup's
// UDP sendmsg hook and one on its ingress hook (each returns "allow" at once). The BPF
// programs go to this benchmark's own cgroup, never to the root. Runs in the private network
// namespace that TarvokBench.cpp's main() makes; needs root.
//
//   build/bench/tarvok_bench --benchmark_filter=UdpHookFloor

#include "platform/NfTables.h"

#include "LoopbackSockets.h"
#include "OwnCgroup.h"

#include <benchmark/benchmark.h>

#include <bpf/bpf.h>
#include <fcntl.h>
#include <linux/bpf.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

using namespace tarvok;

// An empty program of the given type that lets everything through: r0 = 1; exit.
int allowAll(bpf_prog_type type, bpf_attach_type attach) {
    const bpf_insn code[] = {
        {BPF_ALU64 | BPF_MOV | BPF_K, 0, 0, 0, 1},
        {BPF_JMP | BPF_EXIT, 0, 0, 0, 0},
    };
    LIBBPF_OPTS(bpf_prog_load_opts, options, .expected_attach_type = attach);
    return ::bpf_prog_load(type, "tarvok_floor", "GPL", code, 2, &options);
}

struct Hook {
    const char* counter;
    const char* chain;     // an nftables hook, or null
    bpf_prog_type program; // else a BPF program of this type on this attach point
    bpf_attach_type attach;
};

const Hook Hooks[] = {
    {"nft_input_ratio", "input", {}, {}},
    {"nft_output_ratio", "output", {}, {}},
    {"bpf_sendmsg_ratio", nullptr, BPF_PROG_TYPE_CGROUP_SOCK_ADDR, BPF_CGROUP_UDP4_SENDMSG},
    {"bpf_ingress_ratio", nullptr, BPF_PROG_TYPE_CGROUP_SKB, BPF_CGROUP_INET_INGRESS},
};
constexpr int HookCount = static_cast<int>(sizeof Hooks / sizeof Hooks[0]);

// Puts the hook in place (on) or takes it away; false with the reason when it cannot.
bool place(const Hook& hook, bool on, platform::NftScripts& nft, int cgroup, std::string* why) {
    if (hook.chain) {
        const std::string script =
            on ? std::string("table inet tarvok_floor {\n chain c {\n  type filter hook ") +
                     hook.chain + " priority filter; policy accept;\n }\n}\n"
               : "delete table inet tarvok_floor";
        if (!nft.run(script))
            *why = nft.error();
        return why->empty();
    }
    static int program = -1;
    if (on) {
        program = allowAll(hook.program, hook.attach);
        if (program < 0 || ::bpf_prog_attach(program, cgroup, hook.attach, BPF_F_ALLOW_MULTI) != 0)
            *why = "cannot load or attach a BPF program";
    } else {
        ::bpf_prog_detach2(program, cgroup, hook.attach);
        ::close(program);
        program = -1;
    }
    return why->empty();
}

// Each hook's ratio: datagrams a second with it ÷ without any hook, from this thread's CPU
// time, in slices that alternate between no hook and each hook; each side's best slice counts.
void BM_UdpHookFloor(benchmark::State& state) {
    constexpr int Slice = 20000;
    // A socket belongs to the cgroup its maker was in: join first.
    const std::string& folder = bench::ownCgroup();
    bench::DatagramPair pair;
    const int cgroup =
        folder.empty() ? -1 : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!pair.bound || cgroup < 0) {
        state.SkipWithError("cannot bind, or no cgroup v2 folder of the benchmark's own");
        return;
    }
    platform::NftScripts nft;
    double best[HookCount + 1];
    std::fill(std::begin(best), std::end(best), 1e18);
    for (auto _ : state) {
        for (int hook = -1; hook < HookCount; ++hook) {
            std::string why;
            if (hook >= 0 && !place(Hooks[hook], true, nft, cgroup, &why)) {
                state.SkipWithError((std::string(Hooks[hook].counter) + ": " + why).c_str());
                break;
            }
            const double start = bench::threadCpuNs();
            bool lost = false;
            for (int i = 0; i < Slice && !lost; ++i)
                lost = !pair.exchange();
            best[hook + 1] = std::min(best[hook + 1], (bench::threadCpuNs() - start) / Slice);
            if (hook >= 0)
                place(Hooks[hook], false, nft, cgroup, &why);
            if (lost) {
                state.SkipWithError("a datagram was lost");
                break;
            }
        }
    }
    ::close(cgroup);
    state.counters["cpu_ns_without"] = best[0];
    for (int hook = 0; hook < HookCount; ++hook)
        state.counters[Hooks[hook].counter] = best[0] / best[hook + 1];
}
BENCHMARK(BM_UdpHookFloor)->Iterations(7)->Unit(benchmark::kMillisecond);

} // namespace
