#pragma once
// The main() of a benchmark that runs the application's routines: they need a Qt application
// and must keep away from the user's settings. prepare() runs before any timing starts.

#include <QCoreApplication>
#include <QStandardPaths>

#include <benchmark/benchmark.h>

#include <functional>

inline int runQtBenchmarks(int argc, char** argv, const std::function<void()>& prepare)
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    prepare();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
