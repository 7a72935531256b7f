// Host identity on the system resolver (literals and /etc/hosts only), in one
// run:
// - a role question about a host whose flags are cached, against the first
//   question of the same kind in a fresh memory table (goal: 50 times
//   faster, and no system call beyond the clock);
// - vnet_same_host of two cached names, against retry_same_host, which
//   asks the resolver for both names each time.
// The configuration lives in a temporary registry with the file cache
// switched off, so that every first question really is one.
//
// "host_bench --probe N" asks the cached role question N times and nothing
// else, for counting its system calls: strace -c -f host_bench --probe 100000
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "vnet/vnet_host_internal.h"
#include "ztbase/bpconf.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_host.h"

namespace {

namespace host = zt::vnet::host;

const char kHost[] = "192.0.2.77";
const char kConfig[] = "SERVER = localhost\n"
                       "SERVER = 198.51.100.5\n"
                       "EMMSERVER = 198.51.100.6\n"
                       "VANTREL_SERVER_NAME = 198.51.100.7\n"
                       "VNET_OPTIONS = 120 3600 200 40 3 1 30 5 1793 32 1 0\n";

std::string g_root;

bool set_up() {
    g_root = (std::filesystem::temp_directory_path() / "zt-host-bench.XXXXXX").string();
    if (mkdtemp(g_root.data()) == nullptr) {
        perror("mkdtemp");
        return false;
    }
    setenv("ZT_REGISTRY", (g_root + "/registry").c_str(), 1);
    setenv("ZT_REGISTRY_USER", (g_root + "/user").c_str(), 1);
    auto record = std::make_unique<ZtConfig>();
    auto definition = std::make_unique<ZtConfig>();
    std::string copy = kConfig;
    int s = ParseConfigExA(copy.data(), record.get(), definition.get(),
                           ZTPARSE_RECORD_EMPTY | ZTPARSE_STRICT);
    if (s == 0)
        s = UpdateLocalHostConfig(bpconfLocalSource, record.get(), definition.get());
    FreeConfig(record.get());
    if (s != 0)
        fprintf(stderr, "configuration update failed: %d\n", s);
    return s == 0;
}

void BM_role_first_question(benchmark::State &state) {
    for (auto _ : state) {
        vnet_cached_free_memory();
        if (vnet_is_server(kHost) != 0 || host::last_from_flags())
            state.SkipWithError("not a first question");
    }
}

void BM_role_cached_flags(benchmark::State &state) {
    vnet_cached_free_memory();
    vnet_is_server(kHost);
    for (auto _ : state)
        if (vnet_is_server(kHost) != 0 || !host::last_from_flags())
            state.SkipWithError("not answered from the flags");
}

void BM_retry_same_host(benchmark::State &state) {
    for (auto _ : state)
        if (retry_same_host("localhost", "127.0.0.1", 0) != 1)
            state.SkipWithError("no match");
}

void BM_same_host_cached(benchmark::State &state) {
    vnet_same_host("localhost", "127.0.0.1", 0);
    for (auto _ : state)
        if (vnet_same_host("localhost", "127.0.0.1", 0) != 1)
            state.SkipWithError("no match");
}

BENCHMARK(BM_role_first_question);
BENCHMARK(BM_role_cached_flags);
BENCHMARK(BM_retry_same_host);
BENCHMARK(BM_same_host_cached);

} // namespace

int main(int argc, char **argv) {
    if (!set_up())
        return 1;
    int rc = 0;
    if (argc == 3 && strcmp(argv[1], "--probe") == 0) {
        vnet_is_server(kHost);
        const long n = strtol(argv[2], nullptr, 10);
        fprintf(stderr, "probe: %ld cached role questions follow\n", n);
        for (long i = 0; i < n; ++i)
            vnet_is_server(kHost);
        fprintf(stderr, "probe: done\n");
    } else {
        rc = zt::bench::run_and_print_ratios(argc, argv,
                                             {{"BM_role_cached_flags", "BM_role_first_question"},
                                              {"BM_same_host_cached", "BM_retry_same_host"}});
    }
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
    return rc;
}
