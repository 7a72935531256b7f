// Localised messages: a qlgetmsg answered from the cache against snprintf of
// the same default format.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "paths/pathconfig_internal.h"
#include "platform/registry/registry.h"
#include "ztbase/messages.h"
#include "ztbase/paths.h"

namespace {

constexpr const char kDefault[] = "Backup of %s finished: %d files";

struct Setup {
    std::string root;
    Setup() {
        root = (std::filesystem::temp_directory_path() / "zt-bench-msg.XXXXXX").string();
        if (mkdtemp(root.data()) == nullptr)
            abort();
        setenv("ZT_REGISTRY", (root + "/registry").c_str(), 1);
        ztbase::registry::Key paths;
        ztbase::registry::Key::create(ztbase::registry::Root::LocalMachine,
                                      "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Paths", paths);
        paths.set(ztbase::registry::Value::sz("_ql_fs", root + "/usr"));
        ztbase::pathconfig::reset_for_tests();
        const std::string dir = std::string(getFennicString("MSG_DIR")) + "/de/zentor";
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/CerMsgs") << "CerDem0001N \"Sicherung von %s beendet: %d Dateien\"\n";
        char out[128];
        qlgetmsg("CerDem0001N", "de", sizeof out, out, nullptr, 0, nullptr, kDefault, "x", 1);
        if (std::string(out).rfind("Sicherung", 0) != 0)
            abort(); // the catalogue must answer, or the benchmark measures the fallback
    }
    ~Setup() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};

Setup &setup() {
    static Setup s;
    return s;
}

void BM_qlgetmsg_cached(benchmark::State &state) {
    setup();
    char out[128];
    for (auto _ : state) {
        qlgetmsg("CerDem0001N", "de", sizeof out, out, nullptr, 0, nullptr, kDefault, "/home", 42);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_qlgetmsg_cached);

void BM_snprintf(benchmark::State &state) {
    char out[128];
    for (auto _ : state) {
        snprintf(out, sizeof out, kDefault, "/home", 42);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_snprintf);

} // namespace

int main(int argc, char **argv) {
    return zt::bench::run_and_print_ratios(argc, argv, {{"BM_qlgetmsg_cached", "BM_snprintf"}});
}
