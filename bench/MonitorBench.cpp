// What the connection monitor costs on the benchmark's table of 20,000 rows (the namespace and
// the connections are made by main() in TarvokBench.cpp): a whole per-application rebuild next
// to `ss -tanp`, a count-watcher tick that finds no change next to one bare count, the UDP
// dump with and without the endpoints of the rule column, and the longest stretch the GUI
// thread spends without handling events while a rebuild runs.

#include "engine/ConnectionTables.h"
#include "monitor/ConnectionMonitor.h"
#include "monitor/DesktopEntries.h"
#include "monitor/ProgramIcons.h"
#include "platform/SockDiag.h"
#include "platform/SocketOwners.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeView>

#include "RunTool.h"

#include <benchmark/benchmark.h>

#include <algorithm>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace tarvok;

platform::SockDiag& monitorDiag() {
    static platform::SockDiag instance;
    return instance;
}

// The per-application list as the main window shows it: a visible view with program icons.
struct ShownList {
    ConnectionTables tables{monitorDiag()};
    ConnectionMonitor monitor{tables};
    ProgramIcons icons{DesktopEntries::load()};
    std::unique_ptr<QTreeView> view;

    ShownList() {
        monitor.perApplicationModel()->setIconSource(&icons);
        if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
            view = std::make_unique<QTreeView>();
            view->setUniformRowHeights(true);
            view->setRootIsDecorated(false);
            view->setModel(monitor.perApplicationModel());
            view->resize(900, 600);
            view->show();
        }
        QCoreApplication::processEvents();
    }
    // Empties the list, so that the next rebuild fills it whole, as after start-up.
    void empty() {
        monitor.perApplicationModel()->update({});
        QCoreApplication::processEvents();
    }
};

void BM_PerApplicationRebuild(benchmark::State& state) {
    ShownList list;
    for (auto _ : state) {
        state.PauseTiming();
        list.empty();
        state.ResumeTiming();
        list.monitor.RefConNetworkTCP_UDP();
        QCoreApplication::processEvents(); // the view lays out and paints the new rows
    }
    state.counters["rows"] = list.monitor.perApplicationModel()->rowCount();
    state.counters["view"] = list.view ? 1 : 0;
}

// The two parts of a rebuild that are the kernel's work: the walk over /proc/*/fd and the
// owner-aware TCP dump that uses it.
void BM_SocketOwnerScan(benchmark::State& state) {
    for (auto _ : state) {
        const platform::SocketOwners owners = platform::SocketOwners::scan();
        benchmark::DoNotOptimize(owners.size());
    }
}

void BM_OwnerTcpDumpWithoutScan(benchmark::State& state) {
    const platform::SocketOwners owners = platform::SocketOwners::scan();
    const platform::SocketOwners::Reuse reuse(owners);
    std::vector<platform::TcpOwnerRow> rows;
    for (auto _ : state) {
        monitorDiag().readTcpOwners(rows);
        benchmark::DoNotOptimize(rows.data());
    }
}

// The owner-aware UDP dump of a per-application rebuild with 500 connected UDP sockets, alone
// (Arg 0) and with the endpoints that the rule column judges the rows by (Arg 1): what the
// rule column adds to a rebuild's reading. The /proc walk is left out, as above.
void BM_OwnerUdpDump(benchmark::State& state) {
    constexpr int Sockets = 500;
    std::vector<int> sockets;
    for (int i = 0; i < Sockets; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in peer{AF_INET, htons(static_cast<std::uint16_t>(40000 + i)),
                         {platform::addressField(127, 0, 0, 2)}, {}};
        ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        sockets.push_back(fd);
    }
    const platform::SocketOwners owners = platform::SocketOwners::scan();
    const platform::SocketOwners::Reuse reuse(owners);
    std::vector<platform::UdpOwnerRow> rows;
    std::vector<platform::UdpConnectionRow> ends;
    for (auto _ : state) {
        monitorDiag().readUdpOwners(rows, state.range(0) != 0 ? &ends : nullptr);
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = static_cast<double>(rows.size());
    for (const int fd : sockets)
        ::close(fd);
}

void BM_SsTanp(benchmark::State& state) { bench::timeSs(state, "-tanp"); }

void BM_BareCount(benchmark::State& state) {
    std::vector<platform::TcpRow> rows;
    std::size_t count = 0;
    for (auto _ : state) {
        monitorDiag().readTcp(rows);
        count = rows.size();
        benchmark::DoNotOptimize(count);
    }
    state.counters["rows"] = static_cast<double>(count);
}

void BM_CountWatcherTickNoChange(benchmark::State& state) {
    ConnectionTables tables(monitorDiag());
    ConnectionMonitor monitor(tables);
    monitor.setYield([] {});
    monitor.setShowUdp(false);
    monitor.countWatcherTick(); // the first tick sees the count change and rebuilds
    for (auto _ : state)
        monitor.countWatcherTick();
    state.counters["rows"] = monitor.perApplicationModel()->rowCount();
}

// The longest time between two moments at which the GUI thread handles events, during
// rebuilds that fill the shown list from empty.
void BM_LongestGuiStretchDuringRebuild(benchmark::State& state) {
    ShownList list;
    QElapsedTimer sinceEvents;
    qint64 longest = 0;
    list.monitor.setYield([&] {
        longest = std::max(longest, sinceEvents.nsecsElapsed());
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        sinceEvents.start();
    });
    for (auto _ : state) {
        list.empty();
        sinceEvents.start();
        list.monitor.RefConNetworkTCP_UDP();
        // The rebuild's return to the event loop, where the view lays the rows out.
        QCoreApplication::processEvents();
        longest = std::max(longest, sinceEvents.nsecsElapsed());
    }
    state.counters["longest_ms"] = static_cast<double>(longest) / 1e6;
    state.counters["rows"] = list.monitor.perApplicationModel()->rowCount();
}

} // namespace

BENCHMARK(BM_PerApplicationRebuild)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_SocketOwnerScan)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_OwnerTcpDumpWithoutScan)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_OwnerUdpDump)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_SsTanp)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_BareCount)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CountWatcherTickNoChange)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LongestGuiStretchDuringRebuild)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
