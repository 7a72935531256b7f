// zt demo: the whitelist cache database and the path whitelist.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <jansson.h>

#include <ztbase/paths.h>
#include <ztbase/whitelist.h>
#include <ztbase/whitelist_cache.h>

#include "commands.h"

namespace zt {
namespace {

void show_dump() {
    sql_text_results_list *list = nullptr;
    int rc = dump_cs_cache("*", CS_CACHE_HOSTNAME_TO_HOSTID, "*", &list);
    printf("  dump_cs_cache(\"*\", 1, \"*\") = %d\n", rc);
    for (auto *p = list; p != nullptr; p = p->next)
        printf("    %s\n", p->text);
    free_sql_text_results_list(list);
}

void demo_cache() {
    const std::string db = getFennicString("VN_PATH_WHITELIST_CACHE");
    std::filesystem::create_directories(std::filesystem::path(db).parent_path());
    printf("  database: %s\n", db.c_str());
    printf("  cs_cache_create() = %d\n", cs_cache_create());
    const int t = CS_CACHE_HOSTNAME_TO_HOSTID;
    json_t *value = json_pack("{s:s,s:[s,s]}", "hostid", "6f1c-22aa", "aliases", "media1",
                              "media1.example.com");
    printf("  update_cs_cache_info(\"example.com\", 1, \"Media1\", {...}, 3600) = %d\n",
           update_cs_cache_info("example.com", t, "Media1", value, 3600));
    json_decref(value);
    json_t *got = nullptr;
    int rc = fetch_cs_cache_info("EXAMPLE.COM", t, "media1", &got);
    char *text = got != nullptr ? json_dumps(got, JSON_COMPACT) : nullptr;
    printf("  fetch_cs_cache_info(\"EXAMPLE.COM\", 1, \"media1\") = %d %s  (keys ignore case)\n",
           rc, text != nullptr ? text : "");
    free(text);
    json_decref(got);
    got = nullptr;
    printf("  fetch_cs_cache_info_or_lock(..., \"media2\") = %d  (no entry: this caller holds "
           "the lock)\n",
           fetch_cs_cache_info_or_lock("example.com", t, "media2", &got));
    printf("  fetch_cs_cache_info_or_lock(..., \"media2\") = %d  (locked by the first for 8 s)\n",
           fetch_cs_cache_info_or_lock("example.com", t, "media2", &got));
    printf("  fetch_cs_cache_info(\"x'; DROP TABLE hostname_to_hostid; --\") = %d  (a key like "
           "any other)\n",
           fetch_cs_cache_info("example.com", t, "x'; DROP TABLE hostname_to_hostid; --", &got));
    show_dump();
    // Damage the file, then let the health checks find and repair it.
    int fd = open(db.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!pwrite(fd, "garbage garbage garbage garbage", 31, 0);
        close(fd);
    }
    printf("  after overwriting the file's first bytes: verify_cs_cache_integrity() = %d\n",
           verify_cs_cache_integrity());
    const int repaired = repair_cs_cache();
    printf("  repair_cs_cache() = %d, then validate_cs_cache_schema() = %d (the entries are "
           "gone)\n",
           repaired, validate_cs_cache_schema());
}

void demo_paths_allowed(const std::string &root) {
    namespace fs = std::filesystem;
    const std::string base = root + "/wl";
    fs::create_directories(base + "/backup/daily");
    fs::create_directories(base + "/secret");
    std::error_code ec;
    fs::create_directory_symlink(base + "/secret", base + "/backup/escape", ec);
    ZTWhiteList *list = zt_whitelist_create();
    zt_whitelist_add_entry(list, (base + "/backup/").c_str(), 0, 1);
    printf("  entry %s/backup (non-recursive); %s/backup/escape -> %s/secret\n", base.c_str(),
           base.c_str(), base.c_str());
    for (const char *rel : {"backup/file", "backup/daily/file", "backup-old/file", "BACKUP/file",
                            "backup/../secret/file", "backup/escape/file"}) {
        const std::string path = base + "/" + rel;
        printf("    %-24s %s\n", rel,
               zt_whitelist_validate_path(list, path.c_str(), 0) ? "allowed" : "not allowed");
    }
    free_zt_whitelist(list);
    const std::string dir = base + "/backup";
    const char *allowed[] = {dir.c_str(), nullptr};
    const std::string cmd = base + "/backup/run-job --full";
    printf("  is_path_whitelisted(\"<root>/wl/backup/run-job --full\", ...) = %d\n",
           is_path_whitelisted(cmd.c_str(), cmd.size(), allowed, 0));
}

} // namespace

void demo_whitelist(const std::string &root) {
    printf("\n== %s ==\n", "The whitelist cache and the path whitelist");
    demo_cache();
    demo_paths_allowed(root);
}

} // namespace zt
