// Backup and restore: a consistent copy of a store in one file, and a store
// replaced by such a copy.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "base/log_sink.h"
#include "platform/registry/registry_store.h"

namespace ztbase::registry {

namespace {

// Copies every page of one database into another in one step; the
// destination's busy handler waits for its writers.
Status copy_database(sqlite3 *dest, sqlite3 *src, const char *tag, const std::string &what) {
    sqlite3_backup *b = sqlite3_backup_init(dest, "main", src, "main");
    if (b == nullptr) {
        logsink::logf(16, 0, tag, "cannot copy registry store %s: %s", what.c_str(),
                      sqlite3_errmsg(dest));
        return status_of(sqlite3_errcode(dest));
    }
    int rc = sqlite3_backup_step(b, -1);
    int fin = sqlite3_backup_finish(b);
    if (rc == SQLITE_DONE)
        rc = fin;
    if (rc == SQLITE_OK || rc == SQLITE_DONE)
        return Status::Ok;
    Status s = status_of(rc);
    if (s != Status::Busy)
        logsink::logf(16, 0, tag, "cannot copy registry store %s: %s (%d)", what.c_str(),
                      sqlite3_errstr(rc), rc);
    return s;
}

// Why a database is no registry store the way this code writes it, or null.
// A copy is the store of every process after a restore: it must hold nothing
// that runs (triggers, views, computed columns), the columns the statements
// use, and no damaged pages or missing names.
const char *not_a_store(sqlite3 *db) {
    struct Check {
        const char *sql;
        const char *reason;
    };
    // Each query answers 1 when the copy passes.
    static const Check kChecks[] = {
        {"SELECT (SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('keys',"
         " 'vals')) = 2",
         "no registry tables"},
        {"SELECT NOT EXISTS(SELECT 1 FROM sqlite_master WHERE type NOT IN ('table', 'index') OR"
         " (type = 'table' AND name NOT IN ('keys', 'vals') AND name NOT LIKE 'sqlite\\_stat%'"
         " ESCAPE '\\') OR (type = 'index' AND tbl_name NOT IN ('keys', 'vals')))",
         "objects of its own (triggers, views or other tables)"},
        {"SELECT (SELECT group_concat(name || ':' || hidden, ',') FROM (SELECT name, hidden FROM"
         " pragma_table_xinfo('keys') ORDER BY cid)) = CASE WHEN (SELECT user_version FROM"
         " pragma_user_version) >= 2 THEN 'id:0,parent:0,name:0,last_write:0,fold:0' ELSE"
         " 'id:0,parent:0,name:0,last_write:0' END",
         "other columns in keys"},
        {"SELECT (SELECT group_concat(name || ':' || hidden, ',') FROM (SELECT name, hidden FROM"
         " pragma_table_xinfo('vals') ORDER BY cid)) = CASE WHEN (SELECT user_version FROM"
         " pragma_user_version) >= 2 THEN 'key:0,seq:0,name:0,type:0,data:0,fold:0' ELSE"
         " 'key:0,seq:0,name:0,type:0,data:0' END",
         "other columns in vals"},
        // The NOT NULL reports of a check are left to the query after it.
        {"SELECT NOT EXISTS(SELECT 1 FROM pragma_quick_check WHERE quick_check <> 'ok' AND"
         " quick_check NOT LIKE 'NULL value in %')",
         "damaged pages"},
        {"SELECT NOT EXISTS(SELECT 1 FROM keys WHERE name IS NULL OR last_write IS NULL) AND NOT"
         " EXISTS(SELECT 1 FROM vals WHERE key IS NULL OR seq IS NULL OR name IS NULL OR type IS"
         " NULL OR data IS NULL) AND EXISTS(SELECT 1 FROM keys WHERE id = 0 AND parent IS NULL)",
         "missing names, data or root key"},
    };
    for (const Check &check : kChecks) {
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v2(db, check.sql, -1, &st, nullptr);
        bool good =
            rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == 1;
        sqlite3_finalize(st);
        if (!good)
            return check.reason;
    }
    return nullptr;
}

// Opens a copy made by backup for reading inside one read transaction (the
// copy checked is the copy restored) and checks that it is a registry store.
Status open_copy(const std::string &file, const char *tag, sqlite3 *&db) {
    db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "BEGIN; SELECT count(*) FROM sqlite_master", nullptr, nullptr,
                          nullptr);
    const char *reason = rc == SQLITE_OK ? not_a_store(db) : nullptr;
    if (rc == SQLITE_OK && reason == nullptr)
        return Status::Ok;
    logsink::logf(16, 0, tag, "%s is not a registry store: %s", file.c_str(),
                  reason != nullptr ? reason : sqlite3_errmsg(db));
    sqlite3_close_v2(db);
    db = nullptr;
    if ((rc & 0xFF) == SQLITE_CANTOPEN)
        return Status::NotFound;
    return Status::Corrupt;
}

} // namespace

Status backup(Root root, const std::string &file) {
    const char *tag = "RegSaveKey";
    const std::string tmp = file + ".tmp";
    Status s = Store::of(root).run(Mode::Read, tag, [&](Store &store) {
        unlink(tmp.c_str());
        const mode_t mode = root == Root::CurrentUser ? 0600 : 0644;
        if (!make_file(tmp, mode, tag))
            return Status::Failed;
        sqlite3 *dest = nullptr;
        int rc = sqlite3_open_v2(tmp.c_str(), &dest, SQLITE_OPEN_READWRITE, nullptr);
        Status r = rc == SQLITE_OK ? copy_database(dest, store.db(), tag, tmp) : status_of(rc);
        // One self-contained file: no log beside it.
        if (r == Status::Ok && sqlite3_exec(dest, "PRAGMA journal_mode=DELETE", nullptr, nullptr,
                                            nullptr) != SQLITE_OK)
            r = Status::Failed;
        sqlite3_close_v2(dest);
        if (r == Status::Ok && rename(tmp.c_str(), file.c_str()) != 0) {
            logsink::logf(16, 0, tag, "cannot rename %s to %s: %s", tmp.c_str(), file.c_str(),
                          strerror(errno));
            r = Status::Failed;
        }
        return r;
    });
    if (s != Status::Ok)
        unlink(tmp.c_str());
    return s;
}

Status restore(Root root, const std::string &file) {
    const char *tag = "RegRestoreKey";
    sqlite3 *src = nullptr;
    Status s = open_copy(file, tag, src);
    if (s != Status::Ok)
        return s == Status::NotFound ? Status::InvalidArgument : s;
    Store &store = Store::of(root);
    s = store.run(Mode::Plain, tag, [&](Store &st) {
        Status r = copy_database(st.db(), src, tag, file);
        st.reopen_later(); // the copy may need its layout upgraded
        return r;
    });
    sqlite3_close_v2(src);
    if (s == Status::Ok) // upgrade (when needed) before anyone else reads it
        s = store.run(Mode::Create, tag, [](Store &) { return Status::Ok; });
    return s;
}

} // namespace ztbase::registry
