#pragma once
// Runs the benchmarks of a program that shows real widgets, on the offscreen platform unless
// another is set, so that no display is needed.

#include <QApplication>

#include <benchmark/benchmark.h>

namespace tarvok::bench {

inline int runWithWidgets(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace tarvok::bench
