/* The whitelist cache: a small SQLite database, shared by every process of the
 * host, in which host validation remembers which host identifier belongs to a
 * host name and which aliases belong to a host identifier.
 *
 * Each entry is keyed by (name, domain), both compared without regard to ASCII
 * case, and carries a JSON value, a birth time and an absolute expiry time
 * (seconds since 1970). An entry is valid while birth <= now < expiry. One
 * process at a time may hold a short lock on an entry while it computes the
 * value (fetch_cs_cache_info_or_lock).
 *
 * Every call opens its own connection, runs its statements and closes the
 * connection before returning, so the functions may be called from any thread
 * and any process at once; SQLite's file locks order them. Caller texts are
 * always bound as statement parameters, never pasted into SQL.
 *
 * Results of the family (CS_CACHE_*):
 *   0 success (fetch: one valid entry found)
 *   1 no valid entry (fetch-or-lock: no valid entry and the caller now holds
 *     the entry's lock)
 *   2 the entry is locked by someone else
 *   3 failure: a bad argument, the database cannot be opened, an SQL failure,
 *     several matches
 *   4 the database stayed busy or locked through every retry: no answer for
 *     now, not a sign of damage */
#ifndef ZTBASE_WHITELIST_CACHE_H
#define ZTBASE_WHITELIST_CACHE_H

#include <stddef.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

struct json_t;  /* Jansson's value */
struct sqlite3; /* SQLite's connection */

#define CS_CACHE_OK 0
#define CS_CACHE_NO_ENTRY 1
#define CS_CACHE_LOCKED 2
#define CS_CACHE_FAILED 3
#define CS_CACHE_BUSY 4

/* Cache types: each selects one table. */
#define CS_CACHE_HOSTID_TO_ALIAS 0    /* table hostid_to_alias */
#define CS_CACHE_HOSTNAME_TO_HOSTID 1 /* table hostname_to_hostid */

/* Longest name or domain the tables hold, in bytes; longer ones are refused
 * with 3. */
#define CS_CACHE_KEY_MAX 1025

/* An open cache: the connection, the cache type and its table's name. */
typedef struct cs_cache_handle {
    struct sqlite3 *db;
    int type;
    char table[65];
} cs_cache_handle;

/* Opens the existing database (never creates it) read-write with a shared
 * cache and a busy timeout, for the table of `type`. 0, or 3 for a null
 * handle, an unknown type or an open failure (handle->db then null). Release
 * with cs_cache_close. */
ZTBASE_API int cs_cache_init(int type, cs_cache_handle *handle);
/* Closes the connection of cs_cache_init; the handle may be reused. */
ZTBASE_API void cs_cache_close(cs_cache_handle *handle);

/* Opens the database, creating the file when it is missing (mode 0644 when
 * the caller is root; a symbolic link, a directory or a FIFO in its place is
 * refused), and creates both tables when they are missing. 0 or 3. */
ZTBASE_API int cs_cache_create(void);

/* The valid, unlocked entry of (name, domain): 0 and *json a new object the
 * caller releases with json_decref; otherwise *json is left null: 1 no valid
 * entry (a value that is not a JSON object counts as none), 2 locked by
 * another, 3, 4. */
ZTBASE_API int fetch_cs_cache_info(const char *domain, int type, const char *name,
                                   struct json_t **json);

/* Writes the entry unlocked. With a non-zero expiry (seconds from now) the
 * entry is written whole, born now; with expiry 0 the value of an existing
 * entry is replaced and its times kept (a missing entry stays missing: 0).
 * json must be an object or an array. 0, 3 or 4. */
ZTBASE_API int update_cs_cache_info(const char *domain, int type, const char *name,
                                    const struct json_t *json, int expiry);

/* Fetch; when no valid entry exists, takes the entry's lock in the same
 * transaction (a locked entry with an empty object that expires after the
 * lock lifetime, 8 seconds) and returns 1: the caller is then to compute the
 * value and store it with update_cs_cache_info. Of several callers racing for
 * one key, exactly one gets 1; the others get 2 until the value is stored or
 * the lock expires. Other results as fetch_cs_cache_info. */
ZTBASE_API int fetch_cs_cache_info_or_lock(const char *domain, int type, const char *name,
                                           struct json_t **json);

/* Deletes the entries of (name, domain); "*" as either means any. 0, 3, 4. */
ZTBASE_API int clear_cs_cache_info(const char *domain, int type, const char *name);
/* Deletes the entries of `name` (any domain) born more than olderThanSeconds
 * ago. A null or "*" name, or a negative age, is refused with 3. */
ZTBASE_API int clear_cs_cache_info_by_time(int olderThanSeconds, int type, const char *name);
/* Deletes, in both tables, entries that have expired or are born in the
 * future. 0, 3, 4. */
ZTBASE_API int clear_expired_cs_cache_info(void);

/* "PRAGMA integrity_check" for both tables: 0, 3 on a violation or when the
 * file is not a readable database, 4 when busy. */
ZTBASE_API int verify_cs_cache_integrity(void);
/* Both tables' stored CREATE statements against the current one: 0 or 3
 * (4 when busy). */
ZTBASE_API int validate_cs_cache_schema(void);
/* Runs both checks; on a failure deletes the database file (with its
 * journal) and creates it anew, up to 101 attempts. 0, or the last failure.
 * A database that is only busy (4) is left alone and 4 returned. */
ZTBASE_API int repair_cs_cache(void);

/* A list of texts, one per node. */
typedef struct sql_text_results_list {
    char *text;
    struct sql_text_results_list *next;
} sql_text_results_list;

/* One text per matching row ("*" as name or domain means any), in table
 * order, each with its times and its state: " [INVALID -- FUTURE]",
 * " [EXPIRED]", " [LOCKED]", " [LOCK EXPIRED]" or " [UNLOCKED]". 0 and *list
 * (null when nothing matched; release with free_sql_text_results_list), or
 * 3, 4. */
ZTBASE_API int dump_cs_cache(const char *domain, int type, const char *name,
                             sql_text_results_list **list);
ZTBASE_API void free_sql_text_results_list(sql_text_results_list *list);

/* The CREATE statement of `table` into buffer: 0, or 3 when an argument is
 * null or the buffer is too small (buffer then holds ""). */
ZTBASE_API int build_current_table_schema(char *buffer, size_t size, const char *table);

/* Overrides a host process may fill; a null table or entry keeps the default.
 * database_path: the file (default: the path label VN_PATH_WHITELIST_CACHE).
 * now_expression: the SQL expression for "now" (default
 *   "strftime('%s', 'now')"); a host's own text, never a caller's.
 * busy_timeout_ms: SQLite's busy timeout of each connection (default 100).
 * lock_seconds: the lifetime of an entry lock (default 8).
 * build_table_schema: replaces build_current_table_schema.
 * The pause between retries of a busy database is the second entry of
 * c_shim_mod_vnet_private (vnet.h). */
typedef struct c_shim_vnet_whitelist_cache {
    const char *(*database_path)(void);
    const char *(*now_expression)(void);
    int (*busy_timeout_ms)(void);
    int (*lock_seconds)(void);
    int (*build_table_schema)(char *buffer, size_t size, const char *table);
} c_shim_vnet_whitelist_cache;
ZTBASE_API extern c_shim_vnet_whitelist_cache *c_shim_mod_vnet_whitelist_cache;

ZTBASE_END_C

#endif
