// The whitelist cache's inner pieces: one connection per public call, the
// statement runner with its busy/locked retry loop, and the settings a host
// process may override.
//
// Invariants:
// - Caller texts (names, domains, JSON values) only ever reach SQLite as bound
//   parameters; the only texts formatted into statements are our table names
//   and the host's "now" expression.
// - A statement that meets a busy or locked database is reset (its bindings
//   stay) and run again from the start after a pause, at most kRetries times
//   after the first attempt; rows collected by an attempt that was cut short
//   are dropped, so a retry never returns a row twice.
// - Every function closes what it opened before it returns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "ztbase/whitelist_cache.h"

namespace ztbase::wlcache {

constexpr int kRetries = 100;
constexpr unsigned kRetryPauseMs = 10;
constexpr int kDefaultBusyTimeoutMs = 100;
constexpr int kDefaultLockSeconds = 8;
constexpr int kKeyMax = CS_CACHE_KEY_MAX;
constexpr const char *kDefaultNow = "strftime('%s', 'now')";
constexpr int kTypes[] = {CS_CACHE_HOSTID_TO_ALIAS, CS_CACHE_HOSTNAME_TO_HOSTID};

// Settings, each through the host's override when it gives one.
std::string database_path();
std::string now_expression();
int busy_timeout_ms();
int lock_seconds();
int build_schema(char *buffer, size_t size, const char *table);
void retry_pause();

// The table of a cache type; null for an unknown type.
const char *table_name(int type);

// Whether SQLite's answer means "busy or locked, try again".
bool busy_or_locked(int rc);

// A connection of cs_cache_init, closed on destruction.
class Connection {
  public:
    Connection() = default;
    ~Connection() { cs_cache_close(&handle_); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    // cs_cache_init; logs "Whitelist cache initialization failed" on failure.
    int open(int type, const char *tag);
    sqlite3 *db() const { return handle_.db; }
    const char *table() const { return handle_.table; }
    int type() const { return handle_.type; }

  private:
    cs_cache_handle handle_{};
};

// One column value of a result row.
struct Cell {
    bool null = true;
    int64_t number = 0;
    std::string text;
};
using Row = std::vector<Cell>;

// A value to bind: text (with the name used in a failure line) or a number.
struct Bind {
    enum class Kind { Text, Number } kind;
    const char *what; // "name", "domain", "value", "expiry"
    std::string text;
    int64_t number = 0;
    static Bind of_text(const char *what, std::string t) {
        return {Kind::Text, what, std::move(t)};
    }
    static Bind of_number(const char *what, int64_t n) { return {Kind::Number, what, {}, n}; }
};

// Prepares, binds and steps `sql` with the retry loop, collecting the rows in
// *rows when given. Returns 0, 3 (failure logged with SQLite's text) or 4
// (busy through every retry, logged); *sqlite_rc (when given) receives
// SQLite's last answer.
int run(sqlite3 *db, const std::string &sql, const std::vector<Bind> &binds, std::vector<Row> *rows,
        const char *tag, int *sqlite_rc = nullptr);

// Whether a name or domain may be used as a key: not null, at most kKeyMax
// bytes, valid UTF-8. Logs the refusal.
bool usable_key(const char *key, const char *what, const char *tag);

// " WHERE name=? AND domain=?" with the clause of a "*" key left out ("" when
// both are "*"), appending the values to bind in the same order.
std::string key_clauses(const char *domain, const char *name, std::vector<Bind> &binds);

// The current time as the database sees it (the "now" expression evaluated).
int run_now(sqlite3 *db, int64_t &now, const char *tag);

// The fetch statement on an open connection (Algorithms: fetch), used alone
// and inside the fetch-or-lock transaction.
int fetch_on(Connection &c, const char *domain, const char *name, struct json_t **json,
             const char *tag);
// The update statement on an open connection.
int update_on(Connection &c, const char *domain, const char *name, const struct json_t *json,
              int expiry, int locked, const char *tag);

// A row of a dump, parsed.
struct DumpRow {
    std::string name, domain, value;
    int64_t birth = 0, ttl = 0;
    bool locked = false;
    const char *state = ""; // " [UNLOCKED]" ...
};
// The rows of dump_cs_cache, for the text list and for zt's JSON.
int dump_rows(const char *domain, int type, const char *name, std::vector<DumpRow> &rows,
              int64_t &now);
// The text of one row, as dump_cs_cache lists it.
std::string dump_text(const DumpRow &row, int64_t now);

} // namespace ztbase::wlcache
