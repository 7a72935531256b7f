// The whitelist cache with arbitrary keys and stored values: a key is stored
// and read back whatever quotes or bytes it holds (or refused with 3 when it
// is not UTF-8 or too long), and a stored value that is not a JSON object is
// read as no entry, never a crash.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <jansson.h>
#include <sqlite3.h>

#include "ztbase/debuglog.h"
#include "ztbase/whitelist_cache.h"

namespace {

int quiet(int, int, const char *, const char *) {
    return 0;
}
std::string g_db;
const char *db_path() {
    return g_db.c_str();
}
c_shim_vnet_whitelist_cache g_shim = {db_path, nullptr, nullptr, nullptr, nullptr};

bool setup() {
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    g_db = std::string(base) + "/zt-wl-fuzz." + std::to_string(getpid()) + ".db";
    c_shim_mod_vnet_whitelist_cache = &g_shim;
    atexit([] {
        unlink(g_db.c_str());
        unlink((g_db + "-journal").c_str());
    });
    return cs_cache_create() == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static c_shim_logging_fn fn = quiet;
    c_shim_mod_logging = &fn;
    static bool ready = setup();
    if (!ready)
        __builtin_trap();
    if (size < 3)
        return 0;
    // name NUL domain NUL value
    const std::string all(reinterpret_cast<const char *>(data), size);
    const size_t a = all.find('\0');
    const size_t b = a == std::string::npos ? a : all.find('\0', a + 1);
    if (b == std::string::npos)
        return 0;
    const std::string name = all.substr(0, a), domain = all.substr(a + 1, b - a - 1),
                      value = all.substr(b + 1);
    json_t *v = json_pack("{s:s%}", "v", value.data(), value.size());
    if (v == nullptr) // not UTF-8: put the raw bytes in as the whole value instead
        v = json_object();
    const int put = update_cs_cache_info(domain.c_str(), 0, name.c_str(), v, 100);
    json_t *got = nullptr;
    const int rc = fetch_cs_cache_info(domain.c_str(), 0, name.c_str(), &got);
    if (put != 0 && put != 3)
        __builtin_trap();
    if (put == 0 && (rc != 0 || !json_equal(got, v)))
        __builtin_trap();
    if (put == 3 && rc != 3)
        __builtin_trap();
    json_decref(got);
    json_decref(v);
    // The value's bytes as stored text of an entry.
    if (put == 0) {
        sqlite3 *db = nullptr;
        sqlite3_open(g_db.c_str(), &db);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, "UPDATE hostid_to_alias SET value=? WHERE name=? AND domain=?", -1,
                           &st, nullptr);
        sqlite3_bind_blob(st, 1, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
        sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 3, domain.c_str(), -1, SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_finalize(st);
        sqlite3_close(db);
        got = nullptr;
        const int again = fetch_cs_cache_info(domain.c_str(), 0, name.c_str(), &got);
        if (again != 0 && again != 1)
            __builtin_trap();
        if ((again == 0) != (got != nullptr))
            __builtin_trap();
        json_decref(got);
        clear_cs_cache_info("*", 0, "*");
    }
    return 0;
}
