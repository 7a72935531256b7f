// Status text lookup: getECmsg's chain of range tests against a hash map of
// every code's text built once.
#include <random>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "ztbase/status.h"

namespace {

std::vector<int> sample_codes() {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(-100, 9400);
    std::vector<int> codes(4096);
    for (int &c : codes)
        c = pick(rng);
    return codes;
}

void BM_getECmsg(benchmark::State &state) {
    const auto codes = sample_codes();
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(getECmsg(codes[i++ & 4095]));
}
BENCHMARK(BM_getECmsg);

void BM_unordered_map(benchmark::State &state) {
    std::unordered_map<int, const char *> texts;
    for (int code = 0; code <= 9309; ++code)
        if (const char *t = getECmsg(code))
            texts.emplace(code, t);
    const auto codes = sample_codes();
    size_t i = 0;
    for (auto _ : state) {
        auto it = texts.find(codes[i++ & 4095]);
        benchmark::DoNotOptimize(it == texts.end() ? "invalid error number" : it->second);
    }
}
BENCHMARK(BM_unordered_map);

} // namespace

int main(int argc, char **argv) {
    return zt::bench::run_and_print_ratios(argc, argv, {{"BM_getECmsg", "BM_unordered_map"}});
}
