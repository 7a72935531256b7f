// The whitelist cache's database plumbing: settings and their overrides, the
// file checks before SQLite opens anything, one connection per call, the
// statement runner with the busy/locked retry loop, and the creation of the
// database with its two tables.
//
// The file: SQLite opens it by name. Before it does, the name is checked with
// lstat: a symbolic link is refused (and SQLite is told not to follow one),
// and so is anything but a regular file, since a FIFO would block the first
// read of every caller. Root creates the file itself, mode 0644 whatever its
// umask, so that every process of the host may read it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_io.h"
#include "security/vnet_whitelist_cache_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/vnet.h"

extern "C" {
ZTBASE_API c_shim_vnet_whitelist_cache *c_shim_mod_vnet_whitelist_cache = nullptr;
}

namespace ztbase::wlcache {
namespace {

constexpr const char kCreateFormat[] =
    "CREATE TABLE IF NOT EXISTS %s(name varchar(%d) NOT NULL COLLATE NOCASE, domain varchar(%d) "
    "NOT NULL COLLATE NOCASE, birth int NOT NULL,ttl int NOT NULL,value BLOB NOT NULL,locked int "
    "NOT NULL,PRIMARY KEY (name, domain));";

const c_shim_vnet_whitelist_cache *shim() {
    return c_shim_mod_vnet_whitelist_cache;
}

const char *errtext(sqlite3 *db) {
    return db != nullptr ? sqlite3_errmsg(db) : "out of memory";
}

// Whether the database file may be handed to SQLite: a regular file, or
// missing when `may_create`. Logs the refusal.
bool usable_file(const std::string &path, bool may_create, const char *tag) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT && may_create)
            return true;
        logmsgf(ZTLOG_ERROR, tag, "Failed to open whitelist cache database at (%s): %d",
                path.c_str(), errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        logmsgf(ZTLOG_ERROR, tag,
                "Failed to open whitelist cache database at (%s): %d (not a regular file)",
                path.c_str(), S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        return false;
    }
    return true;
}

// Creates a missing database file with its final mode; an existing one (made
// by another process in the meantime) is left as it is.
bool create_file(const std::string &path, const char *tag) {
    pio::Fd fd = pio::open_fd(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (!fd) {
        if (errno == EEXIST)
            return usable_file(path, false, tag);
        logmsgf(ZTLOG_ERROR, tag, "Failed to open whitelist cache database at (%s): %d",
                path.c_str(), errno);
        return false;
    }
    if (geteuid() == 0 && fchmod(fd.get(), 0644) != 0)
        logmsgf(ZTLOG_WARNING, tag, "Unable to set the mode of (%s): %d", path.c_str(), errno);
    return true;
}

void close_db(sqlite3 *db) {
    if (db != nullptr)
        sqlite3_close_v2(db);
}

} // namespace

std::string database_path() {
    if (shim() != nullptr && shim()->database_path != nullptr) {
        const char *p = shim()->database_path();
        if (p != nullptr && *p != '\0')
            return p;
    }
    return getFennicString("VN_PATH_WHITELIST_CACHE");
}

std::string now_expression() {
    if (shim() != nullptr && shim()->now_expression != nullptr) {
        const char *p = shim()->now_expression();
        if (p != nullptr && *p != '\0')
            return p;
    }
    return kDefaultNow;
}

int busy_timeout_ms() {
    if (shim() != nullptr && shim()->busy_timeout_ms != nullptr)
        return shim()->busy_timeout_ms();
    return kDefaultBusyTimeoutMs;
}

int lock_seconds() {
    if (shim() != nullptr && shim()->lock_seconds != nullptr)
        return shim()->lock_seconds();
    return kDefaultLockSeconds;
}

int build_schema(char *buffer, size_t size, const char *table) {
    if (shim() != nullptr && shim()->build_table_schema != nullptr)
        return shim()->build_table_schema(buffer, size, table);
    return build_current_table_schema(buffer, size, table);
}

void retry_pause() {
    if (c_shim_mod_vnet_private != nullptr && c_shim_mod_vnet_private->sleep_ms != nullptr) {
        c_shim_mod_vnet_private->sleep_ms(kRetryPauseMs);
        return;
    }
    struct timespec ts = {0, static_cast<long>(kRetryPauseMs) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

const char *table_name(int type) {
    switch (type) {
    case CS_CACHE_HOSTID_TO_ALIAS:
        return "hostid_to_alias";
    case CS_CACHE_HOSTNAME_TO_HOSTID:
        return "hostname_to_hostid";
    default:
        return nullptr;
    }
}

bool busy_or_locked(int rc) {
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

bool usable_key(const char *key, const char *what, const char *tag) {
    const size_t n = strnlen(key, kKeyMax + 1);
    if (n > static_cast<size_t>(kKeyMax) || !pio::utf8_path(key)) {
        logmsgf(ZTLOG_ERROR, tag, "Invalid argument specified for request");
        logmsgf(ZTLOG_DEBUG, tag, "the %s is longer than %d bytes or not UTF-8", what, kKeyMax);
        return false;
    }
    return true;
}

int Connection::open(int type, const char *tag) {
    if (cs_cache_init(type, &handle_) != CS_CACHE_OK) {
        logmsg(ZTLOG_ERROR, "Whitelist cache initialization failed", tag);
        return CS_CACHE_FAILED;
    }
    return CS_CACHE_OK;
}

int run(sqlite3 *db, const std::string &sql, const std::vector<Bind> &binds, std::vector<Row> *rows,
        const char *tag, int *sqlite_rc) {
    int rc = SQLITE_OK;
    for (int attempt = 0;; ++attempt) {
        if (rows != nullptr)
            rows->clear();
        sqlite3_stmt *st = nullptr;
        rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
        if (rc == SQLITE_OK) {
            for (size_t i = 0; i < binds.size() && rc == SQLITE_OK; ++i) {
                const Bind &b = binds[i];
                rc = b.kind == Bind::Kind::Text
                         ? sqlite3_bind_text(st, static_cast<int>(i + 1), b.text.data(),
                                             static_cast<int>(b.text.size()), SQLITE_TRANSIENT)
                         : sqlite3_bind_int64(st, static_cast<int>(i + 1), b.number);
                if (rc != SQLITE_OK) {
                    std::string shown =
                        b.kind == Bind::Kind::Text ? b.text : std::to_string(b.number);
                    logmsgf(ZTLOG_ERROR, tag,
                            "Failed while binding argument in statement(%s), %s(%s): %d(%s)",
                            sql.c_str(), b.what, shown.c_str(), rc, errtext(db));
                    sqlite3_finalize(st);
                    if (sqlite_rc != nullptr)
                        *sqlite_rc = rc;
                    return CS_CACHE_FAILED;
                }
            }
            bool got_rows = false;
            while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                got_rows = true;
                if (rows == nullptr)
                    continue;
                Row row(static_cast<size_t>(sqlite3_column_count(st)));
                for (size_t c = 0; c < row.size(); ++c) {
                    const int col = static_cast<int>(c);
                    const int kind = sqlite3_column_type(st, col);
                    row[c].null = kind == SQLITE_NULL;
                    row[c].number = sqlite3_column_int64(st, col);
                    const auto *text = sqlite3_column_text(st, col);
                    if (text != nullptr)
                        row[c].text.assign(reinterpret_cast<const char *>(text),
                                           static_cast<size_t>(sqlite3_column_bytes(st, col)));
                }
                rows->push_back(std::move(row));
            }
            if (rc == SQLITE_DONE) {
                sqlite3_finalize(st);
                if (sqlite_rc != nullptr)
                    *sqlite_rc = SQLITE_OK;
                return CS_CACHE_OK;
            }
            if (!busy_or_locked(rc))
                logmsgf(ZTLOG_ERROR, tag,
                        got_rows ? "Failed while gathering results from query(%s): %d(%s)"
                                 : "Failed while executing query statement(%s): %d(%s)",
                        sql.c_str(), rc, errtext(db));
            sqlite3_finalize(st);
        } else if (!busy_or_locked(rc)) {
            logmsgf(ZTLOG_ERROR, tag, "Failed while preparing statement(%s): %d(%s)", sql.c_str(),
                    rc, errtext(db));
        }
        if (sqlite_rc != nullptr)
            *sqlite_rc = rc;
        if (!busy_or_locked(rc))
            return CS_CACHE_FAILED;
        if (attempt >= kRetries) {
            logmsg(ZTLOG_WARNING, "SQLITE_BUSY_OR_LOCKED , Not a fatal error", tag);
            return CS_CACHE_BUSY;
        }
        retry_pause();
    }
}

int run_now(sqlite3 *db, int64_t &now, const char *tag) {
    std::vector<Row> rows;
    int rc = run(db, "SELECT " + now_expression() + ";", {}, &rows, tag);
    if (rc == CS_CACHE_OK) {
        if (rows.size() != 1 || rows[0].empty())
            return CS_CACHE_FAILED;
        now = rows[0][0].number;
    }
    return rc;
}

} // namespace ztbase::wlcache

using namespace ztbase::wlcache;

extern "C" ZTBASE_API int build_current_table_schema(char *buffer, size_t size, const char *table) {
    if (buffer == nullptr || size == 0 || table == nullptr)
        return CS_CACHE_FAILED;
    const int n = snprintf(buffer, size, kCreateFormat, table, kKeyMax, kKeyMax);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        buffer[0] = '\0';
        return CS_CACHE_FAILED;
    }
    return CS_CACHE_OK;
}

extern "C" ZTBASE_API int cs_cache_init(int type, cs_cache_handle *handle) {
    static const char *const tag = "cs_cache_init";
    const char *table = table_name(type);
    if (handle == nullptr || table == nullptr) {
        if (handle != nullptr)
            logmsgf(ZTLOG_ERROR, tag, "Invalid cache type specified for request: %d", type);
        logmsg(ZTLOG_ERROR, "Invalid argument specified for request", tag);
        return CS_CACHE_FAILED;
    }
    *handle = cs_cache_handle{};
    handle->type = type;
    snprintf(handle->table, sizeof handle->table, "%s", table);
    const std::string path = database_path();
    if (!usable_file(path, false, tag))
        return CS_CACHE_FAILED;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_SHAREDCACHE | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
    if (rc != SQLITE_OK) {
        logmsgf(ZTLOG_ERROR, tag, "Failed to open whitelist cache database at (%s): %d",
                path.c_str(), rc);
        close_db(db);
        return CS_CACHE_FAILED;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, busy_timeout_ms());
    handle->db = db;
    return CS_CACHE_OK;
}

extern "C" ZTBASE_API void cs_cache_close(cs_cache_handle *handle) {
    if (handle == nullptr)
        return;
    close_db(handle->db);
    handle->db = nullptr;
}

extern "C" ZTBASE_API int cs_cache_create(void) {
    static const char *const tag = "cs_cache_create";
    const std::string path = database_path();
    if (!usable_file(path, true, tag))
        return CS_CACHE_FAILED;
    struct stat st;
    bool made = false;
    if (lstat(path.c_str(), &st) != 0) {
        if (!create_file(path, tag))
            return CS_CACHE_FAILED;
        made = lstat(path.c_str(), &st) == 0;
    }
    sqlite3 *db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        logmsgf(ZTLOG_ERROR, tag, "Failed to open whitelist cache database at (%s): %d",
                path.c_str(), rc);
        close_db(db);
        return CS_CACHE_FAILED;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, busy_timeout_ms());
    logmsg(ZTLOG_DEBUG, "opened sqlite3 database", tag);
    int result = CS_CACHE_OK;
    for (int type : kTypes) {
        const char *table = table_name(type);
        char sql[1024];
        int sqlite_rc = SQLITE_OK;
        if (build_schema(sql, sizeof sql, table) != CS_CACHE_OK ||
            run(db, sql, {}, nullptr, tag, &sqlite_rc) != CS_CACHE_OK) {
            logmsgf(ZTLOG_ERROR, tag, "Failed while creating table (%s): %d(%s), (%s)", table,
                    sqlite_rc, errtext(db), sql);
            result = CS_CACHE_FAILED;
            break;
        }
        logmsgf(ZTLOG_DEBUG, tag, "Created table (%s)", table);
    }
    close_db(db);
    logmsg(ZTLOG_DEBUG, "closed sqlite3 database", tag);
    // A database this call made but could not finish (a full disk) is not
    // left behind as an empty file without tables. Another process may have
    // replaced it meanwhile: only the very file made here goes.
    struct stat now;
    if (result != CS_CACHE_OK && made && lstat(path.c_str(), &now) == 0 &&
        now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
        if (unlink(path.c_str()) != 0)
            logmsgf(ZTLOG_WARNING, tag, "Unable to remove (%s): %d", path.c_str(), errno);
    }
    return result;
}
