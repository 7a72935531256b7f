// zt whitelist: look into, clear, check and repair the whitelist cache
// database; zt path-allowed: try a path against a path whitelist.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jansson.h>

#include <ztbase/debuglog.h>
#include <ztbase/whitelist.h>
#include <ztbase/whitelist_cache.h>

#include "commands.h"
#include "security/vnet_whitelist_cache_internal.h"

namespace zt {
namespace {

namespace wl = ztbase::wlcache;

constexpr const char kUsage[] = "whitelist dump [NAME [DOMAIN]] [--type 0|1] [--json]\n"
                                "       zt whitelist clear NAME DOMAIN [--type 0|1]\n"
                                "       zt whitelist clear --expired\n"
                                "       zt whitelist clear --older-than SECONDS NAME [--type 0|1]\n"
                                "       zt whitelist check [--json] | zt whitelist repair\n"
                                "NAME and DOMAIN '*' mean any; type 0 is hostid_to_alias, 1 "
                                "hostname_to_hostid (default: both).";

constexpr const char kPathUsage[] =
    "path-allowed [--recursive] [--command] PATH ALLOWED...\n"
    "Exit 0 when PATH (with --command: the program of the command line PATH) lies in an\n"
    "ALLOWED directory (directly, or below it with --recursive), 1 when not.";

const char *meaning(int rc) {
    switch (rc) {
    case CS_CACHE_OK:
        return "ok";
    case CS_CACHE_NO_ENTRY:
        return "no valid entry";
    case CS_CACHE_LOCKED:
        return "locked by another process";
    case CS_CACHE_BUSY:
        return "the database is busy, try again";
    default:
        return "failed";
    }
}

// The library's warnings and errors of this run, shown when a command fails
// (zt has no debug log of its own).
std::vector<std::string> g_lines;
int collect(int level, int, const char *text, const char *tag) {
    if (level >= ZTLOG_WARNING && g_lines.size() < 20)
        g_lines.push_back(std::string(tag != nullptr ? tag : "") + ": " + text);
    return 0;
}
c_shim_logging_fn g_collector = collect;

int failed(const char *what, int rc) {
    fprintf(stderr, "zt: whitelist %s: %s: %s (%d)\n", what, wl::database_path().c_str(),
            meaning(rc), rc);
    for (const std::string &line : g_lines)
        fprintf(stderr, "  %s\n", line.c_str());
    return 1;
}

// Options shared by the subcommands; the rest stays in `words`.
struct Options {
    std::vector<int> types{CS_CACHE_HOSTID_TO_ALIAS, CS_CACHE_HOSTNAME_TO_HOSTID};
    bool json = false, expired = false, help = false;
    const char *older_than = nullptr;
    std::vector<const char *> words;
};

bool parse(int argc, char **argv, Options &o) {
    for (int i = 0; i < argc; ++i) {
        const char *a = argv[i];
        if (strcmp(a, "--type") == 0 && i + 1 < argc) {
            const char *t = argv[++i];
            if (strcmp(t, "0") != 0 && strcmp(t, "1") != 0)
                return false;
            o.types = {atoi(t)};
        } else if (strcmp(a, "--json") == 0) {
            o.json = true;
        } else if (strcmp(a, "--expired") == 0) {
            o.expired = true;
        } else if (strcmp(a, "--older-than") == 0 && i + 1 < argc) {
            o.older_than = argv[++i];
        } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            o.help = true;
        } else if (a[0] == '-' && a[1] != '\0') {
            return false;
        } else {
            o.words.push_back(a);
        }
    }
    return true;
}

const char *state_word(const char *state) {
    // " [LOCK EXPIRED]" -> "LOCK EXPIRED"
    static thread_local std::string w;
    w = state;
    if (w.size() > 3)
        w = w.substr(2, w.size() - 3);
    return w.c_str();
}

int dump(const Options &o) {
    if (o.words.size() > 2)
        return usage(kUsage);
    const char *name = o.words.size() > 0 ? o.words[0] : "*";
    const char *domain = o.words.size() > 1 ? o.words[1] : "*";
    json_t *tables = json_object();
    int64_t now = 0;
    for (int type : o.types) {
        std::vector<wl::DumpRow> rows;
        int rc = wl::dump_rows(domain, type, name, rows, now);
        if (rc != CS_CACHE_OK) {
            json_decref(tables);
            return failed("dump", rc);
        }
        const char *table = wl::table_name(type);
        json_t *list = json_array();
        if (!o.json)
            printf("%s: %zu %s\n", table, rows.size(), rows.size() == 1 ? "entry" : "entries");
        for (const wl::DumpRow &r : rows) {
            if (!o.json) {
                printf("  %s\n", wl::dump_text(r, now).c_str());
                continue;
            }
            json_t *value = json_loadb(r.value.data(), r.value.size(), JSON_DECODE_ANY, nullptr);
            json_array_append_new(
                list,
                json_pack("{s:s%,s:s%,s:I,s:I,s:b,s:s,s:o}", "name", r.name.data(), r.name.size(),
                          "domain", r.domain.data(), r.domain.size(), "birth",
                          static_cast<json_int_t>(r.birth), "ttl", static_cast<json_int_t>(r.ttl),
                          "locked", r.locked, "state", state_word(r.state), "value",
                          value != nullptr ? value : json_stringn(r.value.data(), r.value.size())));
        }
        json_object_set_new(tables, table, list);
    }
    if (o.json) {
        json_t *out = json_pack("{s:s,s:I,s:o}", "database", wl::database_path().c_str(), "now",
                                static_cast<json_int_t>(now), "tables", tables);
        char *text = json_dumps(out, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
        puts(text != nullptr ? text : "{}");
        free(text);
        json_decref(out);
    } else {
        json_decref(tables);
    }
    return 0;
}

bool parse_seconds(const char *text, int &seconds) {
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > INT_MAX)
        return false;
    seconds = static_cast<int>(v);
    return true;
}

int clear(const Options &o) {
    if (o.expired) {
        if (!o.words.empty() || o.older_than != nullptr)
            return usage(kUsage);
        int rc = clear_expired_cs_cache_info();
        if (rc != CS_CACHE_OK)
            return failed("clear", rc);
        puts("cleared expired and future entries");
        return 0;
    }
    if (o.older_than != nullptr) {
        int seconds = 0;
        if (o.words.size() != 1 || !parse_seconds(o.older_than, seconds) ||
            strcmp(o.words[0], "*") == 0)
            return usage(kUsage);
        for (int type : o.types)
            if (int rc = clear_cs_cache_info_by_time(seconds, type, o.words[0]); rc != 0)
                return failed("clear", rc);
        printf("cleared entries of %s older than %d seconds\n", o.words[0], seconds);
        return 0;
    }
    if (o.words.size() != 2)
        return usage(kUsage);
    for (int type : o.types)
        if (int rc = clear_cs_cache_info(o.words[1], type, o.words[0]); rc != 0)
            return failed("clear", rc);
    printf("cleared %s in domain %s\n", o.words[0], o.words[1]);
    return 0;
}

int check(const Options &o) {
    if (!o.words.empty())
        return usage(kUsage);
    const int integrity = verify_cs_cache_integrity();
    const int schema = integrity == CS_CACHE_OK ? validate_cs_cache_schema() : integrity;
    if (o.json) {
        json_t *out = json_pack("{s:s,s:i,s:s,s:i,s:s}", "database", wl::database_path().c_str(),
                                "integrity", integrity, "integrity_text", meaning(integrity),
                                "schema", schema, "schema_text", meaning(schema));
        char *text = json_dumps(out, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
        puts(text != nullptr ? text : "{}");
        free(text);
        json_decref(out);
    } else {
        printf("database: %s\nintegrity: %s\nschema: %s\n", wl::database_path().c_str(),
               meaning(integrity), integrity == CS_CACHE_OK ? meaning(schema) : "not checked");
    }
    if (integrity == CS_CACHE_OK && schema == CS_CACHE_OK)
        return 0;
    for (const std::string &line : g_lines)
        fprintf(stderr, "  %s\n", line.c_str());
    return 1;
}

int repair(const Options &o) {
    if (!o.words.empty() || o.json)
        return usage(kUsage);
    if (verify_cs_cache_integrity() == CS_CACHE_OK && validate_cs_cache_schema() == CS_CACHE_OK) {
        printf("%s: healthy, nothing to repair\n", wl::database_path().c_str());
        return 0;
    }
    int rc = repair_cs_cache();
    if (rc != CS_CACHE_OK)
        return failed("repair", rc);
    printf("%s: recreated empty\n", wl::database_path().c_str());
    return 0;
}

} // namespace

int cmd_whitelist(int argc, char **argv) {
    Options o;
    if (argc == 0)
        return usage(kUsage);
    const char *sub = argv[0];
    if (!parse(argc - 1, argv + 1, o))
        return usage(kUsage);
    if (strcmp(sub, "--help") == 0 || strcmp(sub, "-h") == 0 || o.help) {
        printf("usage: zt %s\n", kUsage);
        return 0;
    }
    c_shim_mod_logging = &g_collector;
    if (strcmp(sub, "dump") == 0)
        return dump(o);
    if (strcmp(sub, "clear") == 0 && !o.json)
        return clear(o);
    if (strcmp(sub, "check") == 0)
        return check(o);
    if (strcmp(sub, "repair") == 0)
        return repair(o);
    return usage(kUsage);
}

int cmd_path_allowed(int argc, char **argv) {
    bool recursive = false, command = false;
    std::vector<const char *> words;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("usage: zt %s\n", kPathUsage);
            return 0;
        }
        if (strcmp(argv[i], "--recursive") == 0)
            recursive = true;
        else if (strcmp(argv[i], "--command") == 0)
            command = true;
        else if (argv[i][0] == '-' && argv[i][1] != '\0')
            return usage(kPathUsage);
        else
            words.push_back(argv[i]);
    }
    if (words.size() < 2)
        return usage(kPathUsage);
    int allowed = 0;
    if (command) {
        std::vector<const char *> dirs(words.begin() + 1, words.end());
        dirs.push_back(nullptr);
        allowed = is_path_whitelisted(words[0], strlen(words[0]), dirs.data(), recursive ? 1 : 0);
    } else {
        ZTWhiteList *list = zt_whitelist_create();
        for (size_t i = 1; i < words.size(); ++i)
            zt_whitelist_add_entry(list, words[i], recursive ? 1 : 0, 1);
        allowed = zt_whitelist_validate_path(list, words[0], 0);
        free_zt_whitelist(list);
    }
    printf("%s: %s\n", command ? words[0] : ZTWhiteList::expand_path(words[0]).c_str(),
           allowed ? "allowed" : "not allowed");
    return allowed ? 0 : 1;
}

} // namespace zt
