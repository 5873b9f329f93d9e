// What opening a large log file in the log viewer costs: reading and parsing a file of
// 100,000 records, filling the viewer and showing it, and sorting it by its typed columns.
// The window must not freeze: the whole open stays well under half a second.
//
//   QT_QPA_PLATFORM=offscreen build/bench/tarvok_logview_bench

#include "records/EventList.h"
#include "records/FrmLog.h"
#include "records/LogFileModel.h"
#include "records/TextFiles.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeView>

#include "WidgetMain.h"

#include <benchmark/benchmark.h>

namespace {

constexpr int Lines = 100000;

// A day's log of Lines records, in the file format, with varied ports, times and states.
QString makeLogFile(const QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("big.tvl"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    QByteArray bytes;
    bytes.reserve(Lines * 120);
    for (int i = 0; i < Lines; ++i) {
        const QString time = QStringLiteral("%1:%2 - %3/%4/26")
                                 .arg(i / 3600 % 24)
                                 .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                                 .arg(i % 12 + 1)
                                 .arg(i % 28 + 1);
        bytes += tarvok::quotedLine(
            {time, QStringLiteral("TCP"), QStringLiteral("10.0.0.%1").arg(i % 250),
             QString::number(1024 + i % 60000), QStringLiteral("192.0.2.%1").arg(i % 200),
             QString::number(i % 3 ? 443 : 80), QStringLiteral("https"),
             i % 2 ? QStringLiteral("BLOCKED CONNECTION") : QStringLiteral("ESTABLISHED")});
    }
    file.write(bytes);
    return path;
}

void BM_OpenLogFile(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = makeLogFile(dir);
    tarvok::FrmLog viewer;
    viewer.show();
    for (auto _ : state) {
        viewer.setRecords(tarvok::readLogFile(path));
        QApplication::processEvents();
        benchmark::DoNotOptimize(viewer.model()->rowCount());
    }
    state.counters["rows"] = viewer.model()->rowCount();
}

void BM_SortLogColumn(benchmark::State& state) {
    QTemporaryDir dir;
    tarvok::LogFileModel model;
    model.setRecords(tarvok::readLogFile(makeLogFile(dir)));
    const int column = static_cast<int>(state.range(0));
    for (auto _ : state)
        model.sortByClick(column);
}

} // namespace

BENCHMARK(BM_OpenLogFile)->Unit(benchmark::kMillisecond)->Iterations(5);
// Time and date (dates), remote address (text), local port (numbers).
BENCHMARK(BM_SortLogColumn)->Arg(0)->Arg(4)->Arg(3)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    return tarvok::bench::runWithWidgets(argc, argv);
}
