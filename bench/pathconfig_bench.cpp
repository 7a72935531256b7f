// getFennicString of a label already expanded (the common case: callers ask for
// the same paths again and again), from one thread and from two, against a
// std::unordered_map<std::string, std::string> lookup of the same text.
#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "paths/pathconfig_rows.h"
#include "ztbase/paths.h"

namespace {

const char *const kLabels[] = {"BP_LOGS",     "BPCD_LOCKPATH",  "VN_PATH_HOST_CACHE",
                               "LOCALE_FILE", "BP_BIN_BPRD",    "VN_PATH_VNETD",
                               "MSG_DIR",     "VAR_GLOBAL_PATH"};
constexpr size_t kCount = sizeof kLabels / sizeof kLabels[0];

void BM_getFennicString(benchmark::State &state) {
    for (const char *label : kLabels)
        getFennicString(label); // expand and cache before timing
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(getFennicString(kLabels[i++ % kCount]));
}
BENCHMARK(BM_getFennicString)->Threads(1)->Threads(2);

const std::unordered_map<std::string, std::string> &map_of_all_labels() {
    static const auto map = [] {
        std::unordered_map<std::string, std::string> m;
        for (size_t r = 0; r < ztbase::pathconfig::kBuiltinRowCount; ++r)
            m.emplace(ztbase::pathconfig::kBuiltinRows[r].label,
                      getFennicString(ztbase::pathconfig::kBuiltinRows[r].label));
        return m;
    }();
    return map;
}

void BM_unordered_map(benchmark::State &state) {
    const auto &map = map_of_all_labels();
    size_t i = 0;
    for (auto _ : state) {
        // the caller holds a C string, as getFennicString's callers do
        auto it = map.find(kLabels[i++ % kCount]);
        benchmark::DoNotOptimize(it->second.c_str());
    }
}
BENCHMARK(BM_unordered_map)->Threads(1)->Threads(2);

} // namespace

int main(int argc, char **argv) {
    map_of_all_labels();
    return zt::bench::run_and_print_ratios(
        argc, argv,
        {{"BM_getFennicString/threads:1", "BM_unordered_map/threads:1"},
         {"BM_getFennicString/threads:2", "BM_unordered_map/threads:2"}});
}
