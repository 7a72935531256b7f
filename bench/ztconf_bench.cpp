// Configuration snapshots: taking the current record (no store access), the
// change check once the 10-second window has passed and nothing changed, and
// a full re-read of the store, in one run; and the information record when it
// is current against building it afresh.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "config/snapshots/ztconf_internal.h"
#include "ztbase/bpconf.h"
#include "ztbase/ztconf.h"

namespace {

namespace zc = ztbase::ztconf;

std::atomic<int64_t> g_now{0};
int64_t fake_clock() {
    return g_now.load(std::memory_order_relaxed);
}

// A store in a scratch registry with a realistic handful of items.
void prepare() {
    static const bool done = [] {
        std::string d = (std::filesystem::temp_directory_path() / "zt-bench-conf.XXXXXX").string();
        if (mkdtemp(d.data()) == nullptr)
            abort();
        setenv("ZT_REGISTRY", (d + "/registry").c_str(), 1);
        setenv("ZT_REGISTRY_USER", (d + "/user").c_str(), 1);
        std::string text = "SERVER = master\nSERVER = media1\nCLIENT_NAME = client1\n"
                           "VERBOSE = 1\nCLIENT_READ_TIMEOUT = 300\nMEDIA_SERVER = media1\n"
                           "PREFERRED_NETWORK = 10.0.0.0/8 MATCH\nBPTM_VERBOSE = 2\n"
                           "MY_FREE_KEY = value\n";
        ZtConfig record{}, definition{};
        if (ParseConfigExA(text.data(), &record, &definition, ZTPARSE_RECORD_EMPTY) != 0 ||
            UpdateLocalHostConfig(bpconfLocalSource, &record, &definition) != 0)
            abort();
        FreeConfig(&record);
        g_now = time(nullptr) + 1000;
        zc::set_clock(fake_clock);
        return true;
    }();
    (void)done;
    if (ZT_read_master_config() != 0)
        abort();
}

void BM_bpconf_no_ref(benchmark::State &state) {
    prepare();
    for (auto _ : state) {
        ZtConfig *c = nullptr;
        bpconf_no_ref(&c, 1);
        benchmark::DoNotOptimize(c);
    }
}
BENCHMARK(BM_bpconf_no_ref);

void BM_check_no_change(benchmark::State &state) {
    prepare();
    const int64_t reads = zc::counters().reads;
    for (auto _ : state) {
        g_now += 11; // the window has passed
        benchmark::DoNotOptimize(ZT_read_master_config());
    }
    if (zc::counters().reads != reads)
        state.SkipWithError("the store was read");
}
BENCHMARK(BM_check_no_change);

void BM_full_reread(benchmark::State &state) {
    prepare();
    for (auto _ : state) {
        zc::forget_times(1);
        benchmark::DoNotOptimize(ZT_forced_read_master_config());
    }
}
BENCHMARK(BM_full_reread);

void BM_ztconf_get_info_current(benchmark::State &state) {
    prepare();
    ztconf_info_t *info = nullptr;
    ztconf_get_info(&info);
    for (auto _ : state) {
        ztconf_get_info(&info);
        benchmark::DoNotOptimize(info);
    }
}
BENCHMARK(BM_ztconf_get_info_current);

void BM_ztconf_get_bpinfo_build(benchmark::State &state) {
    prepare();
    ZtConfig *c = nullptr;
    bpconf_no_ref(&c, 1);
    for (auto _ : state) {
        ztconf_info_t *info = nullptr;
        ztconf_get_bpinfo(c, &info);
        ztconf_free_info(info);
    }
}
BENCHMARK(BM_ztconf_get_bpinfo_build);

} // namespace

int main(int argc, char **argv) {
    return zt::bench::run_and_print_ratios(
        argc, argv,
        {{"BM_check_no_change", "BM_full_reread"},
         {"BM_bpconf_no_ref", "BM_check_no_change"},
         {"BM_ztconf_get_info_current", "BM_ztconf_get_bpinfo_build"}});
}
