#include "bench_ratio.h"

#include <cstdio>
#include <map>
#include <set>

#include <benchmark/benchmark.h>

namespace zt::bench {
namespace {

// Keeps each run's time per iteration (the median of its repetitions when it
// is repeated, which a busy machine disturbs less) while passing everything
// on to the console reporter.
class Recorder : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Iteration && r.iterations > 0 &&
                !medians.count(r.benchmark_name()))
                ns_per_iter[r.benchmark_name()] = r.GetAdjustedRealTime();
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                ns_per_iter[r.run_name.str()] = r.GetAdjustedRealTime();
                medians.insert(r.run_name.str());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> ns_per_iter;
    std::set<std::string> medians;
};

} // namespace

int run_and_print_ratios(int argc, char **argv,
                         const std::vector<std::pair<std::string, std::string>> &pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    for (const auto &[name, baseline] : pairs) {
        auto a = recorder.ns_per_iter.find(name), b = recorder.ns_per_iter.find(baseline);
        if (a == recorder.ns_per_iter.end() || b == recorder.ns_per_iter.end() || a->second <= 0)
            continue;
        printf("ratio %s / %s = %.2fx (rate)\n", name.c_str(), baseline.c_str(),
               b->second / a->second);
    }
    benchmark::Shutdown();
    return 0;
}

} // namespace zt::bench
