// Cached resolution against the system resolver, in one run:
// - a memory hit of "localhost" against getaddrinfo of the same name, which
//   the resolver answers from /etc/hosts (goal: 30 times faster);
// - a file-cache hit in a fresh memory table against the same getaddrinfo
//   (goal: 1.5 times faster);
// - a miss plus insert that evicts, with 100 000 entries in the table, the
//   resolver being an instant stand-in (goal: under 20 microseconds).
// The file cache lives in a temporary directory set as the process override.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/stat.h>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "vnet/vnet_addrinfo_internal.h"
#include "ztbase/vnet_addrinfo.h"

namespace {

namespace rs = zt::vnet::resolve;

std::string g_dir;

void set_up_file_cache() {
    if (!g_dir.empty())
        return;
    g_dir = (std::filesystem::temp_directory_path() / "zt-resolve-bench.XXXXXX").string();
    if (mkdtemp(g_dir.data()) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    chmod(g_dir.c_str(), 0755);
    vnet_set_override_values(g_dir.c_str());
}

void lookup_or_fail(benchmark::State &state, const char *name) {
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    if (vnet_cached_getaddrinfo(name, nullptr, nullptr, &list, &rv) != 0)
        state.SkipWithError("cached lookup failed");
    vnet_freeaddrinfo(list);
}

void BM_getaddrinfo_hosts(benchmark::State &state) {
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    for (auto _ : state) {
        addrinfo *res = nullptr;
        if (getaddrinfo("localhost", nullptr, &hints, &res) != 0)
            state.SkipWithError("getaddrinfo failed");
        freeaddrinfo(res);
    }
}

void BM_memory_hit(benchmark::State &state) {
    set_up_file_cache();
    lookup_or_fail(state, "localhost");
    for (auto _ : state)
        lookup_or_fail(state, "localhost");
}

void BM_file_hit_fresh_table(benchmark::State &state) {
    set_up_file_cache();
    lookup_or_fail(state, "localhost");
    for (auto _ : state) {
        vnet_cached_free_memory();
        lookup_or_fail(state, "localhost");
    }
}

// An instant resolver: one IPv4 address for any name.
int instant_getaddrinfo(const char *, const char *, const addrinfo *hints, addrinfo **result) {
    auto *a = static_cast<addrinfo *>(calloc(1, sizeof(addrinfo) + sizeof(sockaddr_in)));
    auto *in = reinterpret_cast<sockaddr_in *>(a + 1);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(0xc0000201u);
    a->ai_family = AF_INET;
    a->ai_socktype = hints != nullptr ? hints->ai_socktype : SOCK_STREAM;
    a->ai_addrlen = sizeof(sockaddr_in);
    a->ai_addr = reinterpret_cast<sockaddr *>(in);
    *result = a;
    return 0;
}
void instant_free(addrinfo *a) {
    free(a);
}
rs::Settings memory_only() {
    rs::Settings s;
    s.file_cache_disabled = true;
    return s;
}

void BM_miss_insert_evict_100k(benchmark::State &state) {
    static const rs::ResolverTable table = [] {
        rs::ResolverTable t{};
        t.getaddrinfo = instant_getaddrinfo;
        t.freeaddrinfo = instant_free;
        return t;
    }();
    const rs::ResolverTable *previous = rs::set_resolver(&table);
    rs::SettingsFn previous_settings = rs::set_settings_source(memory_only);
    vnet_cached_free_memory();
    char name[64];
    for (int i = 0; i < 100000; ++i) {
        snprintf(name, sizeof name, "host%06d.example", i);
        lookup_or_fail(state, name);
    }
    if (rs::counts().count != 100000)
        state.SkipWithError("the table did not fill");
    long next = 100000;
    for (auto _ : state) {
        snprintf(name, sizeof name, "host%06ld.example", next++);
        lookup_or_fail(state, name);
    }
    if (rs::counts().count != 100000)
        state.SkipWithError("the table grew past its cap");
    vnet_cached_free_memory();
    rs::set_settings_source(previous_settings);
    rs::set_resolver(previous);
}

BENCHMARK(BM_getaddrinfo_hosts);
BENCHMARK(BM_memory_hit);
BENCHMARK(BM_file_hit_fresh_table);
BENCHMARK(BM_miss_insert_evict_100k)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
    int rc = zt::bench::run_and_print_ratios(argc, argv,
                                             {{"BM_memory_hit", "BM_getaddrinfo_hosts"},
                                              {"BM_file_hit_fresh_table", "BM_getaddrinfo_hosts"}});
    vnet_set_override_values(nullptr);
    if (!g_dir.empty())
        std::filesystem::remove_all(g_dir);
    return rc;
}
