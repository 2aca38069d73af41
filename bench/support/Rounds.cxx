#include "bench/support/Rounds.hxx"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <stdexcept>

namespace Quillomark::Bench {

void Rounds::add(const std::string& name, Body body, Timing timing, double minSeconds) {
    for (const Case& existing : cases) {
        if (existing.name == name) throw std::logic_error("benchmark case added twice: " + name);
    }
    cases.push_back(Case{name, std::move(body), timing, minSeconds});
}

void Rounds::registerAll(int rounds, double minSeconds) const {
    for (int round = 0; round < rounds; ++round) {
        for (const Case& c : cases) {
            auto* registered = benchmark::RegisterBenchmark(c.name.c_str(), c.body);
            if (c.timing == Timing::Manual) {
                registered->UseManualTime();
            } else {
                registered->UseRealTime();
            }
            registered->MinTime(c.minSeconds > 0 ? c.minSeconds : minSeconds)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

void RoundRecorder::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
        const std::string name = run.run_name.function_name;
        // Adjusted times are in the run's unit; keep seconds.
        times[name].push_back(run.GetAdjustedRealTime() /
                              benchmark::GetTimeUnitMultiplier(run.time_unit));
        for (const auto& [counter, value] : run.counters) {
            counters[name][counter].push_back(value.value);
        }
    }
}

void settleHeap() {
    // A request beyond the sizes the allocator keeps per thread makes it
    // merge the small blocks freed so far.
    void* block = std::malloc(64 * 1024);
    benchmark::DoNotOptimize(block);
    std::free(block);
}

bool RoundRecorder::has(const std::string& name) const { return times.count(name) != 0; }

const std::vector<double>& RoundRecorder::seconds(const std::string& name) const {
    static const std::vector<double> none;
    auto found = times.find(name);
    return found == times.end() ? none : found->second;
}

double median(std::vector<double> values) {
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double RoundRecorder::medianSeconds(const std::string& name) const { return median(seconds(name)); }

namespace {

double medianOfRatios(const std::vector<double>& top, const std::vector<double>& bottom) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < std::min(top.size(), bottom.size()); ++i) {
        if (bottom[i] > 0) ratios.push_back(top[i] / bottom[i]);
    }
    return median(ratios);
}

const std::vector<double>& valuesOf(
    const std::map<std::string, std::map<std::string, std::vector<double>>>& counters,
    const std::string& name, const std::string& counter) {
    static const std::vector<double> none;
    auto found = counters.find(name);
    if (found == counters.end()) return none;
    auto values = found->second.find(counter);
    return values == found->second.end() ? none : values->second;
}

}  // namespace

double RoundRecorder::medianRatio(const std::string& numerator,
                                  const std::string& denominator) const {
    return medianOfRatios(seconds(numerator), seconds(denominator));
}

double RoundRecorder::medianCounterRatio(const std::string& numerator,
                                         const std::string& denominator,
                                         const std::string& counter) const {
    return medianOfRatios(valuesOf(counters, numerator, counter),
                          valuesOf(counters, denominator, counter));
}

double RoundRecorder::medianCounter(const std::string& name, const std::string& counter) const {
    return median(valuesOf(counters, name, counter));
}

namespace {

// Takes `--name=value` out of the arguments; empty when absent.
std::string takeOption(int& argc, char** argv, const char* name) {
    const std::string prefix = std::string("--") + name + "=";
    std::string value;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
            value = argv[i] + prefix.size();
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return value;
}

}  // namespace

int run(int argc, char** argv, const Program& program) {
    const std::string figuresPath = takeOption(argc, argv, "figures");
    const std::string roundsText = takeOption(argc, argv, "rounds");
    int rounds = program.rounds;
    if (!roundsText.empty()) {
        rounds = std::atoi(roundsText.c_str());
        if (rounds < 1) {
            std::cerr << "--rounds wants a positive number\n";
            return 2;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

    Rounds cases;
    program.cases(cases);
    cases.registerAll(rounds, program.minSeconds);
    RoundRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();

    FigureTable table;
    program.figures(recorder, table);
    std::cout << "\n";
    table.print(std::cout);
    if (!figuresPath.empty()) table.appendTo(figuresPath);
    return 0;
}

}  // namespace Quillomark::Bench
