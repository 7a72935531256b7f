// The whitelist cache's health: the integrity and schema checks, the repair
// that deletes and recreates a damaged database, and the diagnostic dump.
//
// A database that is only busy (result 4) is never taken for a damaged one:
// deleting it would throw away the entries of the process that holds it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

#include "security/vnet_whitelist_cache_internal.h"
#include "ztbase/debuglog.h"

namespace ztbase::wlcache {
namespace {

constexpr int kShownIntegrityLines = 100;
constexpr int kRepairAttempts = 101;

int integrity_of(int type, const char *tag) {
    Connection c;
    if (int rc = c.open(type, tag); rc != CS_CACHE_OK)
        return rc;
    std::vector<Row> rows;
    int rc = run(c.db(), "PRAGMA integrity_check;", {}, &rows, tag);
    if (rc != CS_CACHE_OK)
        return rc;
    if (rows.size() == 1 && !rows[0].empty() && rows[0][0].text == "ok") {
        logmsgf(ZTLOG_DEBUG, tag, "Successfully verified integrity of whitelist cache (%s)",
                c.table());
        return CS_CACHE_OK;
    }
    logmsgf(ZTLOG_ERROR, tag,
            "Integrity violation detected(%d lines):", static_cast<int>(rows.size()));
    int shown = 0;
    for (const Row &row : rows) {
        if (shown == kShownIntegrityLines) {
            logmsgf(ZTLOG_ERROR, tag, "Suppressing remaining integrity violation lines(%d):",
                    static_cast<int>(rows.size()) - shown);
            break;
        }
        logmsgf(ZTLOG_ERROR, tag, "Integrity error: <%s>", row.empty() ? "" : row[0].text.c_str());
        ++shown;
    }
    return CS_CACHE_FAILED;
}

int schema_of(int type, const char *tag) {
    Connection c;
    if (int rc = c.open(type, tag); rc != CS_CACHE_OK)
        return rc;
    const std::string table = c.table();
    std::vector<Row> rows;
    int rc =
        run(c.db(), "SELECT sql FROM sqlite_master WHERE name='" + table + "';", {}, &rows, tag);
    if (rc != CS_CACHE_OK)
        return rc;
    if (rows.size() != 1 || rows[0].empty() || rows[0][0].null) {
        logmsg(ZTLOG_ERROR, "Failed to retrieve existing schema", tag);
        return CS_CACHE_FAILED;
    }
    const std::string &stored = rows[0][0].text;
    char expected[1024];
    if (build_schema(expected, sizeof expected, table.c_str()) != CS_CACHE_OK)
        return CS_CACHE_FAILED;
    const std::string wanted = expected;
    const size_t at_stored = stored.find(table), at_wanted = wanted.find(table);
    const size_t end_wanted = wanted.rfind(';');
    if (at_stored == std::string::npos || at_wanted == std::string::npos ||
        end_wanted == std::string::npos || end_wanted < at_wanted) {
        logmsgf(ZTLOG_ERROR, tag, "Invalid schema format detected: (%s) (%s)", stored.c_str(),
                wanted.c_str());
        return CS_CACHE_FAILED;
    }
    if (stored.substr(at_stored) != wanted.substr(at_wanted, end_wanted - at_wanted)) {
        logmsg(ZTLOG_WARNING, "Schema deviation detected:", tag);
        logmsgf(ZTLOG_WARNING, tag, "New schema(%s)", stored.c_str());
        logmsgf(ZTLOG_WARNING, tag, "Old schema(%s)", wanted.c_str());
        return CS_CACHE_FAILED;
    }
    logmsgf(ZTLOG_DEBUG, tag, "Successfully validated schema of whitelist cache (%s)",
            table.c_str());
    return CS_CACHE_OK;
}

// Removes the file and what SQLite keeps beside it: a journal left next to a
// new database would be played back into it as if it belonged there.
bool remove_database(const std::string &path, const char *tag) {
    for (const char *suffix : {"-journal", "-wal", "-shm"})
        if (unlink((path + suffix).c_str()) != 0 && errno != ENOENT)
            logmsgf(ZTLOG_WARNING, tag, "Unable to remove (%s%s): %d", path.c_str(), suffix, errno);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        logmsgf(ZTLOG_ERROR, tag, "Failed an attempt to remove corrupt DB file: %d", errno);
        return false;
    }
    return true;
}

std::string time_text(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    char text[32];
    if (localtime_r(&tt, &tm) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        snprintf(text, sizeof text, "%lld", static_cast<long long>(t));
    return text;
}

const char *state_of(const DumpRow &r, int64_t now) {
    if (r.birth > now)
        return " [INVALID -- FUTURE]";
    if (r.locked)
        return r.ttl > now ? " [LOCKED]" : " [LOCK EXPIRED]";
    return r.ttl > now ? " [UNLOCKED]" : " [EXPIRED]";
}

} // namespace

int dump_rows(const char *domain, int type, const char *name, std::vector<DumpRow> &out,
              int64_t &now) {
    static const char *const tag = "dump_cs_cache";
    out.clear();
    if (domain == nullptr || name == nullptr) {
        logmsg(ZTLOG_ERROR, "Invalid NULL argument specified for request", tag);
        return CS_CACHE_FAILED;
    }
    if ((strcmp(name, "*") != 0 && !usable_key(name, "name", tag)) ||
        (strcmp(domain, "*") != 0 && !usable_key(domain, "domain", tag)))
        return CS_CACHE_FAILED;
    Connection c;
    if (int rc = c.open(type, tag); rc != CS_CACHE_OK)
        return rc;
    if (int rc = run_now(c.db(), now, tag); rc != CS_CACHE_OK)
        return rc;
    std::vector<Bind> binds;
    const std::string where = key_clauses(domain, name, binds);
    std::vector<Row> rows;
    if (int rc =
            run(c.db(), std::string("SELECT * FROM ") + c.table() + where + " ", binds, &rows, tag);
        rc != CS_CACHE_OK)
        return rc;
    int valid = 0;
    for (const Row &row : rows) {
        if (row.size() < 6)
            continue;
        DumpRow r;
        r.name = row[0].text;
        r.domain = row[1].text;
        r.birth = row[2].number;
        r.ttl = row[3].number;
        r.value = row[4].text;
        r.locked = row[5].number != 0;
        r.state = state_of(r, now);
        if (r.birth <= now && r.ttl > now)
            ++valid;
        out.push_back(std::move(r));
    }
    logmsgf(ZTLOG_DEBUG, tag, "Query was executed successfully, found %d valid matching results",
            valid);
    return CS_CACHE_OK;
}

std::string dump_text(const DumpRow &r, int64_t now) {
    const int64_t since = now - r.birth, until = r.ttl - now;
    char born[96], expires[96];
    snprintf(born, sizeof born, "%-20s (time since birth: %s%d)", time_text(r.birth).c_str(),
             since < 0 ? "-" : "", static_cast<int>(since < 0 ? -since : since));
    snprintf(expires, sizeof expires, "%-20s (time until expiry: %s%d)", time_text(r.ttl).c_str(),
             until < 0 ? "-" : "", static_cast<int>(until < 0 ? -until : until));
    return r.domain + "\\" + r.name + " value(" + r.value + ") birth " + born + " ttl " + expires +
           r.state;
}

} // namespace ztbase::wlcache

using namespace ztbase::wlcache;

extern "C" ZTBASE_API int verify_cs_cache_integrity(void) {
    static const char *const tag = "verify_cs_cache_integrity";
    for (int type : kTypes)
        if (int rc = integrity_of(type, tag); rc != CS_CACHE_OK) {
            logmsg(ZTLOG_ERROR, "Whitelist cache integrity verification failed", tag);
            return rc;
        }
    return CS_CACHE_OK;
}

extern "C" ZTBASE_API int validate_cs_cache_schema(void) {
    static const char *const tag = "validate_cs_cache_schema";
    for (int type : kTypes)
        if (int rc = schema_of(type, tag); rc != CS_CACHE_OK) {
            logmsg(ZTLOG_ERROR, "Whitelist schema verification failed", tag);
            return rc;
        }
    return CS_CACHE_OK;
}

extern "C" ZTBASE_API int repair_cs_cache(void) {
    static const char *const tag = "repair_cs_cache";
    int rc = verify_cs_cache_integrity();
    if (rc == CS_CACHE_BUSY)
        return rc;
    if (rc != CS_CACHE_OK) {
        logmsg(ZTLOG_ERROR, "Cache integrity check failed, will attempt to repair", tag);
    } else {
        rc = validate_cs_cache_schema();
        if (rc == CS_CACHE_OK || rc == CS_CACHE_BUSY)
            return rc;
        logmsg(ZTLOG_WARNING,
               "Unable to validate DB schema against current schema, will attempt to repair", tag);
    }
    const std::string path = database_path();
    for (int attempt = 0; attempt < kRepairAttempts; ++attempt) {
        if (!remove_database(path, tag)) {
            rc = CS_CACHE_FAILED;
            continue;
        }
        rc = cs_cache_create();
        if (rc == CS_CACHE_OK) {
            logmsg(ZTLOG_INFO, "Successfully deleted and recreated corrupt DB file", tag);
            return rc;
        }
        logmsg(ZTLOG_ERROR, "Failed an attempt to create new DB file", tag);
    }
    logmsg(ZTLOG_ERROR, "Failed to repair corrupt DB file", tag);
    return rc;
}

extern "C" ZTBASE_API int dump_cs_cache(const char *domain, int type, const char *name,
                                        sql_text_results_list **list) {
    if (list == nullptr) {
        logmsg(ZTLOG_ERROR, "Invalid NULL argument specified for request", "dump_cs_cache");
        return CS_CACHE_FAILED;
    }
    *list = nullptr;
    std::vector<DumpRow> rows;
    int64_t now = 0;
    int rc = dump_rows(domain, type, name, rows, now);
    if (rc != CS_CACHE_OK)
        return rc;
    sql_text_results_list **tail = list;
    for (const DumpRow &r : rows) {
        auto *node = static_cast<sql_text_results_list *>(calloc(1, sizeof **list));
        char *text = node != nullptr ? strdup(dump_text(r, now).c_str()) : nullptr;
        if (text == nullptr) {
            free(node);
            free_sql_text_results_list(*list);
            *list = nullptr;
            logmsg(ZTLOG_ERROR, "out of memory", "dump_cs_cache");
            return CS_CACHE_FAILED;
        }
        node->text = text;
        *tail = node;
        tail = &node->next;
    }
    return CS_CACHE_OK;
}

extern "C" ZTBASE_API void free_sql_text_results_list(sql_text_results_list *list) {
    while (list != nullptr) {
        sql_text_results_list *next = list->next;
        free(list->text);
        free(list);
        list = next;
    }
}
