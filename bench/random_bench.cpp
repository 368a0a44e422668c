// The random tables against the work they cannot avoid, measured in the same
// run: filling a table against a bare loop of qrand() calls, a draw against a
// bare uncontended write-lock/unlock pair around one indexed read, and two
// threads drawing from one table against one thread. Prints the ratios at the
// end.
#include "randomnumber.h"

#include <QList>
#include <QReadWriteLock>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kTableSize = 100000;
constexpr int kRepetitions = 9;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void baselineQrandLoop(benchmark::State &state)
{
    for (auto _ : state) {
        qsrand(1);
        int last = 0;
        for (int i = 0; i < kTableSize; ++i) {
            last = qrand();
            benchmark::DoNotOptimize(last);
        }
    }
}
#pragma GCC diagnostic pop

void tableFill(benchmark::State &state)
{
    RandomNumber table(1, kTableSize);
    for (auto _ : state) {
        table.init();
        benchmark::ClobberMemory();
    }
}

void baselineLockAndRead(benchmark::State &state)
{
    QReadWriteLock lock(QReadWriteLock::NonRecursive);
    QList<qint32> values;
    values.reserve(kTableSize);
    for (int i = 0; i < kTableSize; ++i)
        values.append(i);
    int cursor = 0;
    for (auto _ : state) {
        lock.lockForWrite();
        if (cursor == kTableSize)
            cursor = 0;
        long v = values.at(cursor++);
        lock.unlock();
        benchmark::DoNotOptimize(v);
    }
}

void ownCursorDraw(benchmark::State &state)
{
    RandomNumber table(1, kTableSize);
    for (auto _ : state) {
        long v = table.rand();
        benchmark::DoNotOptimize(v);
    }
}

void callerCursorDraw(benchmark::State &state)
{
    RandomNumber table(1, kTableSize);
    long cursor = 0;
    for (auto _ : state) {
        long v = table.rand(cursor);
        benchmark::DoNotOptimize(v);
    }
}

// Both threads draw by the table's own cursor; the reported time is wall time
// per draw over both threads together.
RandomNumber *sharedTable = nullptr;
void sharedDraw(benchmark::State &state)
{
    if (state.thread_index() == 0)
        sharedTable = new RandomNumber(1, kTableSize);
    for (auto _ : state) {
        long v = sharedTable->rand();
        benchmark::DoNotOptimize(v);
    }
    if (state.thread_index() == 0) {
        delete sharedTable;
        sharedTable = nullptr;
    }
}

// Keeps the console output and remembers each benchmark's fastest repetition,
// by CPU time (other load on the machine inflates wall time) and wall time.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    RatioReporter()
        : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular)
    {
    }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min") {
                cpu[run.run_name.function_name] = run.GetAdjustedCPUTime();
                wall[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }
    std::map<std::string, double> cpu;
    std::map<std::string, double> wall;
};

void printRatio(const std::map<std::string, double> &times, const char *what, const char *measured,
                const char *baseline, const char *target)
{
    const auto m = times.find(measured);
    const auto b = times.find(baseline);
    if (m == times.end() || b == times.end() || b->second <= 0)
        return;
    std::printf("  %-50s %6.2f   %s\n", what, m->second / b->second, target);
}

} // namespace

// Repetitions are interleaved at random across the benchmarks (see main), and
// each is summed up by its fastest repetition: on a shared machine that is
// the estimate least disturbed by other load.
double fastest(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}
#define VASK_RANDOM_BENCH(fn)                                                                                          \
    BENCHMARK(fn)->Repetitions(kRepetitions)->DisplayAggregatesOnly(true)->ComputeStatistics("min", fastest)

VASK_RANDOM_BENCH(baselineQrandLoop)->Unit(benchmark::kMicrosecond);
VASK_RANDOM_BENCH(tableFill)->Unit(benchmark::kMicrosecond);
VASK_RANDOM_BENCH(baselineLockAndRead);
VASK_RANDOM_BENCH(ownCursorDraw);
VASK_RANDOM_BENCH(callerCursorDraw);
VASK_RANDOM_BENCH(sharedDraw)->Threads(2)->UseRealTime();

int main(int argc, char **argv)
{
    // Interleave repetitions unless told otherwise, so a burst of outside load
    // does not land on one side of a ratio only.
    std::vector<char *> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nratios of the fastest of %d interleaved repetitions (same run):\n", kRepetitions);
    printRatio(reporter.cpu, "fill 100000 values / bare qrand() loop (CPU)", "tableFill", "baselineQrandLoop",
               "(target <= 1.15)");
    printRatio(reporter.cpu, "rand() / bare lock pair + indexed read (CPU)", "ownCursorDraw", "baselineLockAndRead",
               "(target <= 1.25)");
    printRatio(reporter.cpu, "rand(cursor) / bare lock pair + indexed read (CPU)", "callerCursorDraw",
               "baselineLockAndRead", "(target <= 1.25)");
    printRatio(reporter.wall, "two threads on one table / one thread (wall/draw)", "sharedDraw", "ownCursorDraw",
               "(contention; no target)");
    return 0;
}
