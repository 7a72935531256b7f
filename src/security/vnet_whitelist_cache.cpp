// The whitelist cache's entries: fetch, update, fetch-or-lock and the clears.
//
// Fetch-or-lock runs its fetch and the writing of the lock entry in one
// IMMEDIATE transaction: a fetch followed by a separate write would let two
// processes both see "no entry" and both believe they hold the lock.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <jansson.h>

#include "security/vnet_whitelist_cache_internal.h"
#include "ztbase/debuglog.h"

namespace ztbase::wlcache {
namespace {

// Deeper values are refused on writing: the parser would refuse them on
// reading, and the entry would be lost for every reader.
constexpr int kMaxJsonDepth = 1000;

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

bool depth_within(const json_t *v, int left) {
    if (left < 0)
        return false;
    if (json_is_object(v)) {
        const char *key;
        json_t *child;
        json_object_foreach(const_cast<json_t *>(v), key, child) {
            if (!depth_within(child, left - 1))
                return false;
        }
    } else if (json_is_array(v)) {
        size_t i;
        json_t *child;
        json_array_foreach(v, i, child) {
            if (!depth_within(child, left - 1))
                return false;
        }
    }
    return true;
}

bool null_arguments(const void *a, const void *b, const void *c, const char *tag) {
    if (a != nullptr && b != nullptr && c != nullptr)
        return false;
    logmsg(ZTLOG_ERROR, "Invalid NULL argument specified for request", tag);
    return true;
}

bool any(const char *key) {
    return strcmp(key, "*") == 0;
}

} // namespace

// " WHERE name=? AND domain=?" with the clause of a "*" key left out, and the
// values to bind in the same order.
std::string key_clauses(const char *domain, const char *name, std::vector<Bind> &binds) {
    const bool by_name = strcmp(name, "*") != 0, by_domain = strcmp(domain, "*") != 0;
    std::string where;
    if (by_name || by_domain)
        where += " WHERE ";
    if (by_name) {
        where += "name=?";
        binds.push_back(Bind::of_text("name", name));
    }
    if (by_name && by_domain)
        where += " AND ";
    if (by_domain) {
        where += "domain=?";
        binds.push_back(Bind::of_text("domain", domain));
    }
    return where;
}

int fetch_on(Connection &c, const char *domain, const char *name, json_t **json, const char *tag) {
    const std::string now = now_expression();
    const std::string sql = std::string("SELECT * FROM ") + c.table() +
                            " WHERE name=? AND domain=? AND birth<= " + now + " AND ttl> " + now +
                            ";";
    std::vector<Row> rows;
    int rc = run(c.db(), sql, {Bind::of_text("name", name), Bind::of_text("domain", domain)}, &rows,
                 tag);
    if (rc != CS_CACHE_OK)
        return rc;
    if (rows.empty()) {
        logmsgf(ZTLOG_DEBUG, tag,
                "Query was executed successfully, but found no valid matching results(%s)",
                sql.c_str());
        return CS_CACHE_NO_ENTRY;
    }
    if (rows.size() > 1) {
        logmsgf(ZTLOG_ERROR, tag, "Query unexpectedly returned multiple matches (%s)", sql.c_str());
        return CS_CACHE_FAILED;
    }
    const Row &row = rows[0];
    if (row.size() < 6) {
        logmsgf(ZTLOG_ERROR, tag, "Failed while gathering results from query(%s): %d(%s)",
                sql.c_str(), SQLITE_MISMATCH, "unexpected columns");
        return CS_CACHE_FAILED;
    }
    // A locked entry is reported as locked even when its value cannot be read,
    // so that nobody takes over a lock that another process holds.
    if (row[5].number != 0) {
        logmsg(ZTLOG_DEBUG,
               "Query returned successfully, but whitelist cache entry is [LOCKED].  Returning no "
               "results",
               tag);
        return CS_CACHE_LOCKED;
    }
    const std::string &text = row[4].text;
    json_error_t err{};
    // A value written by update holds "\u0000" where its strings hold a NUL:
    // accept it, or such an entry could be written but never read.
    json_t *value = json_loadb(text.data(), text.size(), JSON_ALLOW_NUL, &err);
    if (value != nullptr && !json_is_object(value)) {
        json_decref(value);
        value = nullptr;
        snprintf(err.text, sizeof err.text, "%s", "value is not an object");
        snprintf(err.source, sizeof err.source, "%s", "<buffer>");
        err.line = err.column = 1;
        err.position = 0;
    }
    if (value == nullptr) {
        logmsgf(ZTLOG_WARNING, tag,
                "Query returned successfully, but json string was corrupt: text(%s) error(%s: "
                "%s:%d, column %d, position %d).  Returning no results",
                text.c_str(), err.text, err.source, err.line, err.column, err.position);
        return CS_CACHE_NO_ENTRY;
    }
    logmsgvf(ZTLOG_DEBUG, 5, tag, "Successfully queried whitelist cache (%s:%s:%s): %s", c.table(),
             domain, name, text.c_str());
    *json = value;
    return CS_CACHE_OK;
}

int update_on(Connection &c, const char *domain, const char *name, const json_t *json, int expiry,
              int locked, const char *tag) {
    if (!depth_within(json, kMaxJsonDepth)) {
        logmsg(ZTLOG_ERROR, "Invalid argument specified for request", tag);
        logmsgf(ZTLOG_DEBUG, tag, "the value nests deeper than %d levels", kMaxJsonDepth);
        return CS_CACHE_FAILED;
    }
    Text text(json_dumps(json, JSON_COMPACT));
    if (text == nullptr) {
        logmsg(ZTLOG_ERROR, "Invalid argument specified for request", tag);
        logmsg(ZTLOG_DEBUG, "the value is not a JSON object or array", tag);
        return CS_CACHE_FAILED;
    }
    std::string sql;
    std::vector<Bind> binds{Bind::of_text("name", name), Bind::of_text("domain", domain),
                            Bind::of_text("value", text.get())};
    const std::string lock = std::to_string(locked);
    if (expiry != 0) {
        const std::string now = now_expression();
        sql = std::string("INSERT OR REPLACE INTO ") + c.table() +
              " (name,domain,value,ttl, birth, locked) VALUES(?,?,?, (? + " + now + "), " + now +
              ", " + lock + ");";
        binds.push_back(Bind::of_number("expiry", expiry));
    } else {
        sql = std::string("UPDATE ") + c.table() +
              " SET name=?, domain=?, value=?, locked=" + lock + " WHERE name=? AND domain=?";
        binds.push_back(Bind::of_text("name", name));
        binds.push_back(Bind::of_text("domain", domain));
    }
    int sqlite_rc = SQLITE_OK;
    int rc = run(c.db(), sql, binds, nullptr, tag, &sqlite_rc);
    if (rc == CS_CACHE_FAILED)
        logmsgf(ZTLOG_ERROR, tag, "Failed database operation: %d", sqlite_rc);
    else if (rc == CS_CACHE_OK)
        logmsgf(ZTLOG_DEBUG, tag, "Successfully updated whitelist cache (%s:%s:%s): %s", c.table(),
                domain, name, text.get());
    return rc;
}

} // namespace ztbase::wlcache

using namespace ztbase::wlcache;

extern "C" ZTBASE_API int fetch_cs_cache_info(const char *domain, int type, const char *name,
                                              json_t **json) {
    static const char *const tag = "fetch_cs_cache_info";
    if (null_arguments(domain, name, json, tag))
        return CS_CACHE_FAILED;
    *json = nullptr;
    if (!usable_key(name, "name", tag) || !usable_key(domain, "domain", tag))
        return CS_CACHE_FAILED;
    Connection c;
    if (int rc = c.open(type, tag); rc != CS_CACHE_OK)
        return rc;
    return fetch_on(c, domain, name, json, tag);
}

extern "C" ZTBASE_API int update_cs_cache_info(const char *domain, int type, const char *name,
                                               const json_t *json, int expiry) {
    static const char *const tag = "update_cs_cache_info";
    if (null_arguments(domain, name, json, tag))
        return CS_CACHE_FAILED;
    if (!usable_key(name, "name", tag) || !usable_key(domain, "domain", tag))
        return CS_CACHE_FAILED;
    Connection c;
    if (int rc = c.open(type, tag); rc != CS_CACHE_OK)
        return rc;
    return update_on(c, domain, name, json, expiry, 0, tag);
}

extern "C" ZTBASE_API int fetch_cs_cache_info_or_lock(const char *domain, int type,
                                                      const char *name, json_t **json) {
    static const char *const tag = "fetch_cs_cache_info_or_lock";
    if (null_arguments(domain, name, json, tag))
        return CS_CACHE_FAILED;
    *json = nullptr;
    if (!usable_key(name, "name", tag) || !usable_key(domain, "domain", tag))
        return CS_CACHE_FAILED;
    Connection c;
    if (int rc = c.open(type, tag); rc != CS_CACHE_OK)
        return rc;
    if (int rc = run(c.db(), "BEGIN IMMEDIATE;", {}, nullptr, tag); rc != CS_CACHE_OK)
        return rc;
    int rc = fetch_on(c, domain, name, json, tag);
    if (rc == CS_CACHE_NO_ENTRY) {
        const int seconds = lock_seconds();
        json_t *empty = json_object();
        int taken = update_on(c, domain, name, empty, seconds, 1, tag);
        json_decref(empty);
        if (taken == CS_CACHE_OK)
            taken = run(c.db(), "COMMIT;", {}, nullptr, tag);
        if (taken == CS_CACHE_OK) {
            logmsgf(ZTLOG_DEBUG, tag, "Whitelist lock(%d seconds) acquired for %s\\%s", seconds,
                    domain, name);
            return CS_CACHE_NO_ENTRY;
        }
        logmsgf(ZTLOG_ERROR, tag, "Whitelist lock for cache entry %s\\%s failed", domain, name);
        rc = taken;
    }
    // Nothing was written (or the write failed): end the transaction without it.
    sqlite3_exec(c.db(), "ROLLBACK;", nullptr, nullptr, nullptr);
    return rc;
}

extern "C" ZTBASE_API int clear_cs_cache_info(const char *domain, int type, const char *name) {
    static const char *const tag = "clear_cs_cache_info";
    if (null_arguments(domain, name, tag, tag))
        return CS_CACHE_FAILED;
    if ((!any(name) && !usable_key(name, "name", tag)) ||
        (!any(domain) && !usable_key(domain, "domain", tag)))
        return CS_CACHE_FAILED;
    Connection c;
    if (int rc = c.open(type, tag); rc != CS_CACHE_OK)
        return rc;
    std::vector<Bind> binds;
    const std::string sql =
        std::string("DELETE FROM ") + c.table() + key_clauses(domain, name, binds) + ";";
    int rc = run(c.db(), sql, binds, nullptr, tag);
    if (rc == CS_CACHE_OK)
        logmsgf(ZTLOG_DEBUG, tag, "Successfully updated cleared whitelist cache (%s:%s:%s)",
                c.table(), domain, name);
    return rc;
}

extern "C" ZTBASE_API int clear_cs_cache_info_by_time(int olderThanSeconds, int type,
                                                      const char *name) {
    static const char *const tag = "clear_cs_cache_info_by_time";
    if (name == nullptr) {
        logmsg(ZTLOG_ERROR, "Invalid key argument specified for request", tag);
        return CS_CACHE_FAILED;
    }
    if (any(name)) {
        logmsg(ZTLOG_ERROR, "For older_by_in_sec option, specific key/host-name must be specified",
               tag);
        return CS_CACHE_FAILED;
    }
    // A negative age would reach into the future and delete every entry.
    if (olderThanSeconds < 0 || !usable_key(name, "name", tag)) {
        logmsg(ZTLOG_ERROR, "Invalid argument specified for request", tag);
        return CS_CACHE_FAILED;
    }
    Connection c;
    if (int rc = c.open(type, tag); rc != CS_CACHE_OK)
        return rc;
    const std::string sql = std::string("DELETE FROM ") + c.table() +
                            " WHERE name=? AND birth < (" + now_expression() + " - " +
                            std::to_string(olderThanSeconds) + ");";
    int rc = run(c.db(), sql, {Bind::of_text("name", name)}, nullptr, tag);
    if (rc == CS_CACHE_OK)
        logmsgf(ZTLOG_DEBUG, tag, "Successfully updated cleared whitelist cache (%s:%s:%s)",
                c.table(), "*", name);
    return rc;
}

extern "C" ZTBASE_API int clear_expired_cs_cache_info(void) {
    static const char *const tag = "clear_expired_cs_cache_info";
    const std::string now = now_expression();
    for (int type : kTypes) {
        Connection c;
        int rc = c.open(type, tag);
        if (rc == CS_CACHE_OK)
            rc = run(c.db(),
                     std::string("DELETE FROM ") + c.table() + " WHERE ttl<" + now + " OR birth>" +
                         now + ";",
                     {}, nullptr, tag);
        if (rc != CS_CACHE_OK) {
            logmsg(ZTLOG_ERROR, "Whitelist expired cache cleanup failed", tag);
            return rc;
        }
        logmsgf(ZTLOG_DEBUG, tag, "Successfully cleared expired entries from whitelist cache (%s)",
                c.table());
    }
    return CS_CACHE_OK;
}
