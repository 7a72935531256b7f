// The whitelist cache and the path whitelist against the bare work beneath
// them: fetch_cs_cache_info of a present key (its own connection each call)
// against a bare SQLite open, prepared select of the same row and close; and
// zt_whitelist_validate_path against realpath of the same path.
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>
#include <jansson.h>
#include <sqlite3.h>

#include "bench_ratio.h"
#include "ztbase/whitelist.h"
#include "ztbase/whitelist_cache.h"

namespace {

std::string scratch() {
    static const std::string dir = [] {
        std::string d = (std::filesystem::temp_directory_path() / "zt-bench-wl.XXXXXX").string();
        if (mkdtemp(d.data()) == nullptr)
            abort();
        std::filesystem::create_directories(d + "/allowed/sub");
        return d;
    }();
    return dir;
}

std::string g_db;
const char *db_path() {
    return g_db.c_str();
}
c_shim_vnet_whitelist_cache g_shim = {db_path, nullptr, nullptr, nullptr, nullptr};

void prepare_cache() {
    static bool done = [] {
        g_db = scratch() + "/whitelist_cache.db";
        c_shim_mod_vnet_whitelist_cache = &g_shim;
        json_t *v = json_pack("{s:s,s:[s,s]}", "hostid", "6f1c-22aa", "aliases", "media1",
                              "media1.example.com");
        if (cs_cache_create() != 0 ||
            update_cs_cache_info("example.com", CS_CACHE_HOSTNAME_TO_HOSTID, "media1", v, 86400) !=
                0)
            abort();
        json_decref(v);
        return true;
    }();
    (void)done;
}

void BM_fetch_cs_cache_info(benchmark::State &state) {
    prepare_cache();
    for (auto _ : state) {
        json_t *j = nullptr;
        if (fetch_cs_cache_info("example.com", CS_CACHE_HOSTNAME_TO_HOSTID, "media1", &j) != 0)
            state.SkipWithError("fetch failed");
        json_decref(j);
    }
}
BENCHMARK(BM_fetch_cs_cache_info);

void BM_sqlite_open_select_close(benchmark::State &state) {
    prepare_cache();
    const char *sql = "SELECT * FROM hostname_to_hostid WHERE name=? AND domain=? AND birth<= "
                      "strftime('%s', 'now') AND ttl> strftime('%s', 'now');";
    for (auto _ : state) {
        sqlite3 *db = nullptr;
        sqlite3_open_v2(g_db.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        sqlite3_bind_text(st, 1, "media1", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, "example.com", -1, SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_ROW)
            state.SkipWithError("select failed");
        benchmark::DoNotOptimize(sqlite3_column_text(st, 4));
        sqlite3_finalize(st);
        sqlite3_close(db);
    }
}
BENCHMARK(BM_sqlite_open_select_close);

const std::string &checked_path() {
    static const std::string path = scratch() + "/allowed/sub";
    return path;
}

void BM_zt_whitelist_validate_path(benchmark::State &state) {
    ZTWhiteList *list = zt_whitelist_create();
    zt_whitelist_add_entry(list, (scratch() + "/allowed").c_str(), 0, 1);
    for (auto _ : state)
        if (zt_whitelist_validate_path(list, checked_path().c_str(), 0) != 1)
            state.SkipWithError("not allowed");
    free_zt_whitelist(list);
}
BENCHMARK(BM_zt_whitelist_validate_path);

void BM_realpath(benchmark::State &state) {
    char out[PATH_MAX];
    for (auto _ : state)
        benchmark::DoNotOptimize(realpath(checked_path().c_str(), out));
}
BENCHMARK(BM_realpath);

} // namespace

int main(int argc, char **argv) {
    int rc =
        zt::bench::run_and_print_ratios(argc, argv,
                                        {{"BM_fetch_cs_cache_info", "BM_sqlite_open_select_close"},
                                         {"BM_zt_whitelist_validate_path", "BM_realpath"}});
    std::error_code ec;
    std::filesystem::remove_all(scratch(), ec);
    return rc;
}
