#pragma once

#include "bench/support/FigureTable.hxx"

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Quillomark::Bench {

// The cases of one benchmark program. Every case runs once per round and the
// cases take turns within a round, so that a change in the machine's load
// falls on a figure and on its baseline alike; a figure is then the median
// over the rounds of the ratio of two cases measured side by side.
class Rounds {
public:
    using Body = std::function<void(benchmark::State&)>;
    // Real: the wall-clock time of each iteration. Manual: the time the case
    // reports itself (see againstBaseline).
    enum class Timing { Real, Manual };

    // `name` must be unique; it names the case in the console and in figures.
    // `minSeconds`, when given, replaces the program's time per case and
    // round (for a case whose iterations spend most time outside the timing).
    void add(const std::string& name, Body body, Timing timing = Timing::Real,
             double minSeconds = 0);
    void registerAll(int rounds, double minSeconds) const;

private:
    struct Case {
        std::string name;
        Body body;
        Timing timing;
        double minSeconds;
    };
    std::vector<Case> cases;
};

// Makes the allocator finish the work that frees left it: glibc defers
// merging small freed blocks until a later, larger allocation, which would
// charge the cost of one case's frees to whatever runs next.
void settleHeap();

// The loop of a case measured against a baseline: each iteration runs the
// baseline once and the body once, in turns first, so that both see the
// same load of the machine and neither gains from what the other left in
// the caches; each part ends with settleHeap. The case's time is the body's
// alone (register it with Timing::Manual); its counter "ratio" is the body's
// total time over the baseline's.
template <class Baseline, class Body>
void againstBaseline(benchmark::State& state, Baseline&& baseline, Body&& body) {
    using Clock = std::chrono::steady_clock;
    Clock::duration baselineTotal{}, bodyTotal{};
    bool baselineFirst = true;
    for (auto _ : state) {
        Clock::duration bodyTime{};
        for (int part = 0; part < 2; ++part) {
            const bool runBaseline = (part == 0) == baselineFirst;
            const auto start = Clock::now();
            if (runBaseline) {
                baseline();
            } else {
                body();
            }
            settleHeap();
            const auto time = Clock::now() - start;
            (runBaseline ? baselineTotal : bodyTime) += time;
        }
        bodyTotal += bodyTime;
        baselineFirst = !baselineFirst;
        state.SetIterationTime(std::chrono::duration<double>(bodyTime).count());
    }
    state.counters["ratio"] = std::chrono::duration<double>(bodyTotal).count() /
                              std::chrono::duration<double>(baselineTotal).count();
}

// Prints the runs as the console reporter does and keeps, per case, the
// real time per iteration and the counters of every round.
class RoundRecorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override;

    bool has(const std::string& name) const;
    // Seconds per iteration of each round, in round order.
    const std::vector<double>& seconds(const std::string& name) const;
    double medianSeconds(const std::string& name) const;
    // The median over the rounds of seconds(numerator) / seconds(denominator).
    double medianRatio(const std::string& numerator, const std::string& denominator) const;
    // The median over the rounds of a counter, e.g. "ratio" of againstBaseline.
    double medianCounter(const std::string& name, const std::string& counter) const;
    // The median over the rounds of the counter of one case over that of
    // another in the same round.
    double medianCounterRatio(const std::string& numerator, const std::string& denominator,
                              const std::string& counter) const;

private:
    std::map<std::string, std::vector<double>> times;
    std::map<std::string, std::map<std::string, std::vector<double>>> counters;
};

double median(std::vector<double> values);

// What one benchmark program runs and what it makes of the results.
struct Program {
    std::function<void(Rounds&)> cases;
    std::function<void(const RoundRecorder&, FigureTable&)> figures;
    int rounds = 5;
    double minSeconds = 0.2;  // per case and round
};

// Runs a program: registers its cases, runs them (with Google Benchmark's
// own options, e.g. --benchmark_filter), prints the table of its figures,
// and appends them to the file of --figures=<path> when given. The rounds
// can be set with --rounds=<n>.
int run(int argc, char** argv, const Program& program);

}  // namespace Quillomark::Bench
