// Keys: open, create and delete them; query, set, delete and enumerate
// their values.
#include <algorithm>
#include <functional>

#include "platform/registry/registry_store.h"

namespace ztbase::registry {

namespace {

Value read_value(sqlite3_stmt *st) {
    Value v;
    v.name = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
    v.type = static_cast<uint32_t>(sqlite3_column_int64(st, 1));
    const void *blob = sqlite3_column_blob(st, 2);
    v.data.assign(static_cast<const char *>(blob),
                  static_cast<size_t>(sqlite3_column_bytes(st, 2)));
    return v;
}

// NotFound when a key has vanished, Ok when it still exists.
Status key_exists(Store &store, const char *tag, int64_t id) {
    Store::Stmt st(store.prepare("SELECT 1 FROM keys WHERE id = ?1"));
    if (st == nullptr)
        return store.prepare_status();
    sqlite3_bind_int64(st, 1, id);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW)
        return Status::Ok;
    return rc == SQLITE_DONE ? Status::NotFound : store.fail(tag, rc);
}

// Deletes a key and everything below it, deepest keys first, so that no
// delete cascades further than one level whatever the depth of the tree.
Status delete_tree(Store &store, const char *tag, int64_t id) {
    std::vector<std::pair<int64_t, int64_t>> below; // (depth, id)
    {
        Store::Stmt st(store.prepare("WITH RECURSIVE sub(id, depth) AS (SELECT ?1, 0 UNION ALL"
                                     " SELECT keys.id, sub.depth + 1 FROM keys JOIN sub ON"
                                     " keys.parent = sub.id) SELECT depth, id FROM sub"));
        if (st == nullptr)
            return store.prepare_status();
        sqlite3_bind_int64(st, 1, id);
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW)
            below.emplace_back(sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1));
        if (rc != SQLITE_DONE)
            return store.fail(tag, rc);
    }
    std::sort(below.begin(), below.end(), std::greater<>());
    for (const auto &[depth, key] : below) {
        for (const char *sql :
             {"DELETE FROM vals WHERE key = ?1", "DELETE FROM keys WHERE id = ?1"}) {
            Store::Stmt st(store.prepare(sql));
            if (st == nullptr)
                return store.prepare_status();
            sqlite3_bind_int64(st, 1, key);
            int rc = sqlite3_step(st);
            if (rc != SQLITE_DONE)
                return store.fail(tag, rc);
        }
    }
    return Status::Ok;
}

} // namespace

Status Key::open(Root root, std::string_view path, Key &out) {
    int64_t id = -1;
    Status s = Store::of(root).run(Mode::Read, "RegOpenKey", [&](Store &store) {
        return store.resolve("RegOpenKey", path, false, id);
    });
    if (s == Status::Ok) {
        out.root_ = root;
        out.id_ = id;
        out.path_ = std::string(path);
    }
    return s;
}

Status Key::create(Root root, std::string_view path, Key &out) {
    int64_t id = -1;
    Store &store = Store::of(root);
    // Most opens find the key: look without the write lock first.
    Status s = store.run(Mode::Read, "RegCreateKey",
                         [&](Store &st) { return st.resolve("RegCreateKey", path, false, id); });
    if (s == Status::NotFound)
        s = store.run(Mode::Create, "RegCreateKey",
                      [&](Store &st) { return st.resolve("RegCreateKey", path, true, id); });
    if (s == Status::Ok) {
        out.root_ = root;
        out.id_ = id;
        out.path_ = std::string(path);
    }
    return s;
}

Status Key::remove_tree(Root root, std::string_view path) {
    return Store::of(root).run(Mode::Write, "RegDeleteTree", [&](Store &store) {
        int64_t id = -1;
        Status s = store.resolve("RegDeleteTree", path, false, id);
        if (s != Status::Ok)
            return s;
        if (id == 0)
            return Status::InvalidArgument; // the root itself stays
        return delete_tree(store, "RegDeleteTree", id);
    });
}

Status Key::query(std::string_view name, Value &out) const {
    if (!valid_value_name(name))
        return Status::InvalidArgument;
    const std::string folded = fold_name(name);
    return Store::of(root_).run(Mode::Read, "RegQueryValue", [&](Store &store) {
        Store::Stmt st(
            store.prepare("SELECT name, type, data FROM vals WHERE key = ?1 AND fold = ?2"));
        if (st == nullptr)
            return store.prepare_status();
        sqlite3_bind_int64(st, 1, id_);
        sqlite3_bind_text(st, 2, folded.data(), static_cast<int>(folded.size()), SQLITE_STATIC);
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            out = read_value(st);
            return Status::Ok;
        }
        return rc == SQLITE_DONE ? Status::NotFound : store.fail("RegQueryValue", rc);
    });
}

Status Key::set(const Value &value) {
    if (!valid_value_name(value.name))
        return Status::InvalidArgument;
    const std::string folded = fold_name(value.name);
    return Store::of(root_).run(Mode::Write, "RegSetValue", [&](Store &store) {
        Status s = store.touch("RegSetValue", id_);
        if (s != Status::Ok)
            return s;
        // A value keeps its place in the enumeration and the case of its
        // first name when it is set again.
        Store::Stmt st(store.prepare("INSERT INTO vals(key, seq, name, type, data, fold)"
                                     " VALUES(?1, (SELECT coalesce(max(seq), 0) + 1 FROM vals"
                                     " WHERE key = ?1), ?2, ?3, ?4, ?5)"
                                     " ON CONFLICT(key, fold) DO UPDATE SET type ="
                                     " excluded.type, data = excluded.data"));
        if (st == nullptr)
            return store.prepare_status();
        sqlite3_bind_int64(st, 1, id_);
        sqlite3_bind_text(st, 2, value.name.data(), static_cast<int>(value.name.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(st, 3, value.type);
        sqlite3_bind_blob(st, 4, value.data.data(), static_cast<int>(value.data.size()),
                          SQLITE_STATIC);
        sqlite3_bind_text(st, 5, folded.data(), static_cast<int>(folded.size()), SQLITE_STATIC);
        int rc = sqlite3_step(st);
        return rc == SQLITE_DONE ? Status::Ok : store.fail("RegSetValue", rc);
    });
}

Status Key::remove_value(std::string_view name) {
    if (!valid_value_name(name))
        return Status::InvalidArgument;
    const std::string folded = fold_name(name);
    return Store::of(root_).run(Mode::Write, "RegDeleteValue", [&](Store &store) {
        Store::Stmt st(store.prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2"));
        if (st == nullptr)
            return store.prepare_status();
        sqlite3_bind_int64(st, 1, id_);
        sqlite3_bind_text(st, 2, folded.data(), static_cast<int>(folded.size()), SQLITE_STATIC);
        int rc = sqlite3_step(st);
        if (rc != SQLITE_DONE)
            return store.fail("RegDeleteValue", rc);
        if (sqlite3_changes(store.db()) == 0)
            return Status::NotFound;
        return store.touch("RegDeleteValue", id_);
    });
}

Status Key::values(std::vector<Value> &out) const {
    return Store::of(root_).run(Mode::Read, "RegEnumValue", [&](Store &store) {
        out.clear();
        Store::Stmt st(
            store.prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY seq"));
        if (st == nullptr)
            return store.prepare_status();
        sqlite3_bind_int64(st, 1, id_);
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW)
            out.push_back(read_value(st));
        if (rc != SQLITE_DONE)
            return store.fail("RegEnumValue", rc);
        return out.empty() ? key_exists(store, "RegEnumValue", id_) : Status::Ok;
    });
}

Status Key::subkeys(std::vector<std::string> &out) const {
    return Store::of(root_).run(Mode::Read, "RegEnumKey", [&](Store &store) {
        out.clear();
        Store::Stmt st(
            store.prepare("SELECT name FROM keys WHERE parent = ?1 ORDER BY fold, name"));
        if (st == nullptr)
            return store.prepare_status();
        sqlite3_bind_int64(st, 1, id_);
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW)
            out.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
        if (rc != SQLITE_DONE)
            return store.fail("RegEnumKey", rc);
        return out.empty() ? key_exists(store, "RegEnumKey", id_) : Status::Ok;
    });
}

Status Key::last_write(int64_t &ns) const {
    return Store::of(root_).run(Mode::Read, "RegQueryInfoKey", [&](Store &store) {
        Store::Stmt st(store.prepare("SELECT last_write FROM keys WHERE id = ?1"));
        if (st == nullptr)
            return store.prepare_status();
        sqlite3_bind_int64(st, 1, id_);
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            ns = sqlite3_column_int64(st, 0);
            return Status::Ok;
        }
        return rc == SQLITE_DONE ? Status::NotFound : store.fail("RegQueryInfoKey", rc);
    });
}

} // namespace ztbase::registry
