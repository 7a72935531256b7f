// The whitelist cache: validity windows on a clock the test moves, the entry
// lock across threads and processes, hostile keys and values, damaged and
// misplaced database files, and a database held busy by another writer.
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <jansson.h>
#include <sqlite3.h>

#include "support/temp_root.h"
#include "ztbase/paths.h"
#include "ztbase/vnet.h"
#include "ztbase/whitelist_cache.h"

namespace {

namespace fs = std::filesystem;
constexpr int kAlias = CS_CACHE_HOSTID_TO_ALIAS;
constexpr int kHost = CS_CACHE_HOSTNAME_TO_HOSTID;

// The clock of the database, moved by tests through the "now" override.
char g_now[32] = "1000000";
const char *now_text() {
    return g_now;
}
void set_now(long t) {
    snprintf(g_now, sizeof g_now, "%ld", t);
}
int short_busy() {
    return 1;
}
void no_pause(unsigned) {}

c_shim_vnet_whitelist_cache g_clock = {nullptr, now_text, nullptr, nullptr, nullptr};

class WhitelistCacheTest : public zt::test::ZtTest {
  protected:
    void SetUp() override {
        db_ = getFennicString("VN_PATH_WHITELIST_CACHE");
        fs::create_directories(fs::path(db_).parent_path());
        set_now(1000000);
        c_shim_mod_vnet_whitelist_cache = &g_clock;
    }
    void TearDown() override {
        c_shim_mod_vnet_whitelist_cache = nullptr;
        c_shim_mod_vnet_private = nullptr;
    }
    // Stores {"v": value} and returns the result.
    static int put(const char *name, const char *domain, const char *value, int expiry,
                   int type = kAlias) {
        json_t *j = json_pack("{s:s}", "v", value);
        int rc = update_cs_cache_info(domain, type, name, j, expiry);
        json_decref(j);
        return rc;
    }
    // The fetch result, with the "v" of a found value in *value.
    static int get(const char *name, const char *domain, std::string *value = nullptr,
                   int type = kAlias) {
        json_t *j = nullptr;
        int rc = fetch_cs_cache_info(domain, type, name, &j);
        if (rc == 0 && value != nullptr)
            *value = json_string_value(json_object_get(j, "v"));
        EXPECT_TRUE(rc == 0 ? j != nullptr : j == nullptr) << rc;
        json_decref(j);
        return rc;
    }
    static int lock(const char *name, const char *domain) {
        json_t *j = nullptr;
        int rc = fetch_cs_cache_info_or_lock(domain, kAlias, name, &j);
        json_decref(j);
        return rc;
    }
    static int rows(int type = kAlias) {
        sql_text_results_list *list = nullptr;
        if (dump_cs_cache("*", type, "*", &list) != 0)
            return -1;
        int n = 0;
        for (auto *p = list; p != nullptr; p = p->next)
            ++n;
        free_sql_text_results_list(list);
        return n;
    }
    // Runs SQL on the file with a connection of the test's own.
    void sql(const std::string &text) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    std::string db_;
};

TEST_F(WhitelistCacheTest, SchemaTextAndMissingDatabase) {
    char buf[512];
    ASSERT_EQ(build_current_table_schema(buf, sizeof buf, "hostid_to_alias"), 0);
    EXPECT_STREQ(buf, "CREATE TABLE IF NOT EXISTS hostid_to_alias(name varchar(1025) NOT NULL "
                      "COLLATE NOCASE, domain varchar(1025) NOT NULL COLLATE NOCASE, birth int "
                      "NOT NULL,ttl int NOT NULL,value BLOB NOT NULL,locked int NOT NULL,PRIMARY "
                      "KEY (name, domain));");
    EXPECT_EQ(build_current_table_schema(buf, 40, "hostid_to_alias"), 3);
    EXPECT_STREQ(buf, "");

    // Only creation makes the file; every other call answers 3 without it.
    EXPECT_EQ(get("h", "d"), 3);
    EXPECT_EQ(put("h", "d", "x", 60), 3);
    EXPECT_FALSE(fs::exists(db_));
    cs_cache_handle h{};
    EXPECT_EQ(cs_cache_init(7, &h), 3);
    EXPECT_EQ(h.db, nullptr);
    ASSERT_EQ(cs_cache_create(), 0);
    struct stat st {};
    ASSERT_EQ(stat(db_.c_str(), &st), 0);
    if (geteuid() == 0) { // readable by every process of the host, whatever the umask
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
    EXPECT_EQ(cs_cache_init(kHost, &h), 0);
    EXPECT_STREQ(h.table, "hostname_to_hostid");
    cs_cache_close(&h);
    EXPECT_EQ(verify_cs_cache_integrity(), 0);
    EXPECT_EQ(validate_cs_cache_schema(), 0);
}

// A creation that fails half-way (a full disk, here a table that cannot be
// made) leaves no empty database behind, and never removes one it did not make.
TEST_F(WhitelistCacheTest, AFailedCreationLeavesNoFileBehind) {
    static c_shim_vnet_whitelist_cache broken = {nullptr, now_text, nullptr, nullptr,
                                                 [](char *buffer, size_t size, const char *) {
                                                     snprintf(buffer, size, "CREATE TABLE (;");
                                                     return 0;
                                                 }};
    c_shim_mod_vnet_whitelist_cache = &broken;
    EXPECT_EQ(cs_cache_create(), 3);
    EXPECT_FALSE(fs::exists(db_));
    c_shim_mod_vnet_whitelist_cache = &g_clock;
    ASSERT_EQ(cs_cache_create(), 0);
    ASSERT_EQ(put("h", "d", "v", 60), 0);
    c_shim_mod_vnet_whitelist_cache = &broken;
    EXPECT_EQ(cs_cache_create(), 3);
    c_shim_mod_vnet_whitelist_cache = &g_clock;
    EXPECT_EQ(get("h", "d"), 0);
}

TEST_F(WhitelistCacheTest, EntriesAreValidFromBirthUntilExpiry) {
    ASSERT_EQ(cs_cache_create(), 0);
    const struct {
        long written, read;
        int expiry, want;
    } cases[] = {
        {1000000, 1000005, 10, 0}, {1000000, 1000009, 10, 0},
        {1000000, 1000010, 10, 1}, {1000100, 1000000, 10, 1}, // born in the future
        {1000000, 1000000, -1, 1},                            // expired at birth
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(n);
        const std::string name = "host" + std::to_string(n++);
        set_now(c.written);
        ASSERT_EQ(put(name.c_str(), "dom", "v", c.expiry), 0);
        set_now(c.read);
        EXPECT_EQ(get(name.c_str(), "dom"), c.want);
    }
    // Expired and future entries go; the valid ones stay.
    set_now(1000009);
    EXPECT_EQ(clear_expired_cs_cache_info(), 0);
    EXPECT_EQ(rows(), 3);
    EXPECT_EQ(get("host1", "dom"), 0);
}

TEST_F(WhitelistCacheTest, UpdatesAndCaseInsensitiveKeys) {
    ASSERT_EQ(cs_cache_create(), 0);
    // Expiry 0 changes only what exists, and keeps its times.
    EXPECT_EQ(put("missing", "dom", "x", 0), 0);
    EXPECT_EQ(get("missing", "dom"), 1);
    ASSERT_EQ(put("Host.Example.COM", "Dom", "first", 10), 0);
    set_now(1000005);
    ASSERT_EQ(put("host.example.com", "DOM", "second", 0), 0);
    std::string v;
    EXPECT_EQ(get("HOST.example.com", "dom", &v), 0);
    EXPECT_EQ(v, "second");
    set_now(1000010);
    EXPECT_EQ(get("host.example.com", "dom"), 1);
    // The two tables are apart.
    EXPECT_EQ(put("host.example.com", "dom", "x", 100, kHost), 0);
    EXPECT_EQ(rows(kAlias), 1);
    EXPECT_EQ(rows(kHost), 1);
}

TEST_F(WhitelistCacheTest, FetchOrLockTakesTheLockUntilItExpires) {
    ASSERT_EQ(cs_cache_create(), 0);
    EXPECT_EQ(lock("h", "d"), 1);
    EXPECT_EQ(lock("H", "D"), 2);
    EXPECT_EQ(get("h", "d"), 2);
    sql_text_results_list *list = nullptr;
    ASSERT_EQ(dump_cs_cache("d", kAlias, "h", &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_NE(strstr(list->text, "value({})"), nullptr) << list->text;
    EXPECT_NE(strstr(list->text, " [LOCKED]"), nullptr) << list->text;
    free_sql_text_results_list(list);
    set_now(1000007);
    EXPECT_EQ(lock("h", "d"), 2);
    set_now(1000008); // the lock's 8 seconds are over
    EXPECT_EQ(lock("h", "d"), 1);
    // The holder stores the value; then everyone reads it.
    ASSERT_EQ(put("h", "d", "computed", 60), 0);
    std::string v;
    EXPECT_EQ(lock("h", "d"), 0);
    EXPECT_EQ(get("h", "d", &v), 0);
    EXPECT_EQ(v, "computed");
}

TEST_F(WhitelistCacheTest, OneThreadGetsTheLock) {
    c_shim_mod_vnet_whitelist_cache = nullptr; // real time: the lock must not expire meanwhile
    ASSERT_EQ(cs_cache_create(), 0);
    std::atomic<int> go{0}, got_lock{0}, locked{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&] {
            while (go.load() == 0)
                std::this_thread::yield();
            int rc = lock("h", "d");
            if (rc == 1)
                ++got_lock;
            else if (rc == 2)
                ++locked;
        });
    go = 1;
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(got_lock.load(), 1);
    EXPECT_EQ(locked.load(), 5);
}

TEST_F(WhitelistCacheTest, OneProcessGetsTheLock) {
    c_shim_mod_vnet_whitelist_cache = nullptr;
    ASSERT_EQ(cs_cache_create(), 0);
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char c;
            (void)!read(gate[0], &c, 1); // all start when the gate closes
            _exit(lock("h", "d"));
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    int results[5] = {};
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        ++results[WEXITSTATUS(status) < 5 ? WEXITSTATUS(status) : 0];
    }
    EXPECT_EQ(results[1], 1);
    EXPECT_EQ(results[2], 5);
}

TEST_F(WhitelistCacheTest, ClearsByKeyAnyAndAge) {
    ASSERT_EQ(cs_cache_create(), 0);
    auto fill = [] {
        for (const char *n : {"a", "b"})
            for (const char *d : {"x", "y"})
                ASSERT_EQ(put(n, d, "v", 100), 0);
    };
    const struct {
        const char *name, *domain;
        int left;
    } cases[] = {{"a", "x", 3}, {"A", "*", 2}, {"*", "Y", 2}, {"*", "*", 0}, {"zz", "*", 4}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + "/" + c.domain);
        fill();
        EXPECT_EQ(clear_cs_cache_info(c.domain, kAlias, c.name), 0);
        EXPECT_EQ(rows(), c.left);
    }
    EXPECT_EQ(clear_cs_cache_info_by_time(10, kAlias, "*"), 3);
    EXPECT_EQ(clear_cs_cache_info_by_time(10, kAlias, nullptr), 3);
    EXPECT_EQ(clear_cs_cache_info_by_time(-5, kAlias, "a"), 3);
    EXPECT_EQ(clear_cs_cache_info(nullptr, kAlias, "a"), 3);
    EXPECT_EQ(clear_cs_cache_info("*", 2, "*"), 3);
    // By age: only what was born more than 10 s ago, of that name, in any domain.
    ASSERT_EQ(clear_cs_cache_info("*", kAlias, "*"), 0);
    ASSERT_EQ(put("a", "x", "old", 100), 0);
    set_now(1000020);
    ASSERT_EQ(put("a", "y", "new", 100), 0);
    ASSERT_EQ(put("b", "x", "old", 100), 0);
    EXPECT_EQ(clear_cs_cache_info_by_time(10, kAlias, "A"), 0);
    EXPECT_EQ(get("a", "x"), 1);
    EXPECT_EQ(get("a", "y"), 0);
    EXPECT_EQ(get("b", "x"), 0);
}

TEST_F(WhitelistCacheTest, HostileKeysAndValues) {
    ASSERT_EQ(cs_cache_create(), 0);
    // Texts that would break a statement built from them are plain keys.
    const char *odd[] = {"x'; DROP TABLE hostid_to_alias; --", "\"\";", "%s%n", "*?", "a\\b"};
    for (const char *k : odd) {
        SCOPED_TRACE(k);
        ASSERT_EQ(put(k, k, k, 100), 0);
        std::string v;
        EXPECT_EQ(get(k, k, &v), 0);
        EXPECT_EQ(v, k);
    }
    EXPECT_EQ(rows(), 5);
    EXPECT_EQ(validate_cs_cache_schema(), 0);

    const std::string longest(1025, 'n'), too_long(1026, 'n'), huge(1 << 20, 'h');
    EXPECT_EQ(put(longest.c_str(), "d", "v", 100), 0);
    for (const std::string &bad : {too_long, huge, std::string("\xff\xfe"), std::string("a\xc3")}) {
        EXPECT_EQ(put(bad.c_str(), "d", "v", 100), 3);
        EXPECT_EQ(put("n", bad.c_str(), "v", 100), 3);
        EXPECT_EQ(get(bad.c_str(), "d"), 3);
        EXPECT_EQ(lock("n", bad.c_str()), 3);
        EXPECT_EQ(clear_cs_cache_info("*", kAlias, bad.c_str()), 3);
    }
    EXPECT_EQ(rows(), 6);
    json_t *j = nullptr;
    EXPECT_EQ(fetch_cs_cache_info("d", kAlias, nullptr, &j), 3);
    EXPECT_EQ(fetch_cs_cache_info("d", kAlias, "n", nullptr), 3);
    EXPECT_EQ(update_cs_cache_info("d", kAlias, "n", nullptr, 5), 3);

    // A value nested deeper than any reader accepts is refused on writing.
    json_t *deep = json_object();
    for (int i = 0; i < 10000; ++i) {
        json_t *outer = json_object();
        json_object_set_new(outer, "k", deep);
        deep = outer;
    }
    EXPECT_EQ(update_cs_cache_info("d", kAlias, "deep", deep, 100), 3);
    json_decref(deep);
    // A NUL inside a string is written as \u0000 and must read back.
    json_t *nul = json_pack("{s:s#}", "v", "a\0b", 3);
    ASSERT_EQ(update_cs_cache_info("d", kAlias, "nul", nul, 100), 0);
    json_t *back = nullptr;
    EXPECT_EQ(fetch_cs_cache_info("d", kAlias, "nul", &back), 0);
    EXPECT_TRUE(json_equal(back, nul));
    json_decref(back);
    json_decref(nul);
    json_t *scalar = json_integer(5);
    EXPECT_EQ(update_cs_cache_info("d", kAlias, "scalar", scalar, 100), 3);
    json_decref(scalar);

    // Values that are not JSON objects in the file read as no entry.
    std::string nested(10000, '['), rows_sql;
    for (const std::string &value : {std::string("not json"), std::string("[1]"), std::string("7"),
                                     nested, std::string("{\"a\":")})
        rows_sql += "INSERT INTO hostid_to_alias VALUES('bad" + std::to_string(rows_sql.size()) +
                    "','d',0,9999999999,'" + value + "',0);";
    sql(rows_sql);
    sql_text_results_list *list = nullptr;
    ASSERT_EQ(dump_cs_cache("d", kAlias, "*", &list), 0);
    for (auto *p = list; p != nullptr; p = p->next)
        if (strncmp(p->text, "d\\bad", 5) == 0) {
            std::string name(p->text + 2, strchr(p->text, ' '));
            SCOPED_TRACE(name);
            EXPECT_EQ(get(name.c_str(), "d"), 1);
            EXPECT_EQ(lock(name.c_str(), "d"), 1); // and may be computed anew
        }
    free_sql_text_results_list(list);
}

TEST_F(WhitelistCacheTest, FilesThatAreNotDatabases) {
    const std::string elsewhere = root() / "elsewhere.db";
    const struct {
        const char *what;
        std::function<void(const std::string &)> make;
    } cases[] = {
        {"empty file", [](const std::string &p) { zt::test::write_file(p, ""); }},
        {"text file",
         [](const std::string &p) { zt::test::write_file(p, std::string(5000, 'x')); }},
        {"directory", [](const std::string &p) { fs::create_directories(p); }},
        {"fifo", [](const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
        {"link to a database",
         [&](const std::string &p) {
             ASSERT_EQ(cs_cache_create(), 0);
             fs::rename(p, elsewhere);
             fs::create_symlink(elsewhere, p);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        fs::remove_all(db_, ec);
        c.make(db_);
        EXPECT_EQ(get("h", "d"), 3);
        EXPECT_EQ(put("h", "d", "v", 10), 3);
        EXPECT_EQ(lock("h", "d"), 3);
        EXPECT_TRUE(verify_cs_cache_integrity() != 0 || validate_cs_cache_schema() != 0);
        const bool directory = fs::is_directory(fs::symlink_status(db_));
        EXPECT_EQ(repair_cs_cache(), directory ? 3 : 0);
        if (!directory) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(db_)));
            EXPECT_EQ(put("h", "d", "v", 10), 0);
        }
    }
    EXPECT_TRUE(fs::exists(elsewhere)); // repair removed the link, not its target
}

TEST_F(WhitelistCacheTest, DamagedDatabaseAndOtherSchemaAreRepaired) {
    ASSERT_EQ(cs_cache_create(), 0);
    sql("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c WHERE x<200) "
        "INSERT INTO hostid_to_alias SELECT 'host'||x, 'd', 0, 9999999999, "
        "'{\"v\":\"'||hex(randomblob(300))||'\"}', 0 FROM c;");
    // Overwrite the middle of the file: b-tree pages, not the header.
    {
        const auto size = fs::file_size(db_);
        int fd = open(db_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        std::string junk(8192, '\x5a');
        ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), static_cast<off_t>(size / 2)),
                  static_cast<ssize_t>(junk.size()));
        close(fd);
    }
    EXPECT_EQ(verify_cs_cache_integrity(), 3);
    EXPECT_EQ(repair_cs_cache(), 0);
    EXPECT_EQ(verify_cs_cache_integrity(), 0);
    EXPECT_EQ(rows(), 0);

    sql("DROP TABLE hostname_to_hostid; CREATE TABLE hostname_to_hostid(name text, value text);");
    EXPECT_EQ(verify_cs_cache_integrity(), 0);
    EXPECT_EQ(validate_cs_cache_schema(), 3);
    EXPECT_EQ(repair_cs_cache(), 0);
    EXPECT_EQ(validate_cs_cache_schema(), 0);
    sql("DROP TABLE hostid_to_alias;");
    EXPECT_EQ(validate_cs_cache_schema(), 3);
    EXPECT_EQ(repair_cs_cache(), 0);
    EXPECT_EQ(put("h", "d", "v", 10), 0);
}

TEST_F(WhitelistCacheTest, ABusyDatabaseAnswersFourAndIsNotRepaired) {
    ASSERT_EQ(cs_cache_create(), 0);
    ASSERT_EQ(put("h", "d", "v", 100), 0);
    static c_shim_vnet_whitelist_cache quick = {nullptr, now_text, short_busy, nullptr, nullptr};
    static c_shim_vnet_private no_sleep = {nullptr, no_pause};
    c_shim_mod_vnet_whitelist_cache = &quick;
    c_shim_mod_vnet_private = &no_sleep;
    sqlite3 *writer = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(get("h", "d"), 4);
    EXPECT_EQ(put("h", "d", "w", 100), 4);
    EXPECT_EQ(lock("x", "d"), 4);
    EXPECT_EQ(clear_expired_cs_cache_info(), 4);
    EXPECT_EQ(repair_cs_cache(), 4);
    sqlite3_exec(writer, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    std::string v;
    EXPECT_EQ(get("h", "d", &v), 0); // nothing was lost
    EXPECT_EQ(v, "v");
}

} // namespace
