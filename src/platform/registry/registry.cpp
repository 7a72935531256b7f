// The registry store on SQLite: one database per root, WAL mode so readers
// never wait for writers, one IMMEDIATE transaction per change, and the key's
// last-write time updated in the same transaction as the value.
#include "platform/registry/registry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "logging/log_sink.h"

namespace ztbase::registry {

const char *status_text(Status status) {
    switch (status) {
    case Status::Ok:
        return "success";
    case Status::NotFound:
        return "not found";
    case Status::InvalidArgument:
        return "invalid argument";
    case Status::Unavailable:
        return "registry store unavailable";
    case Status::Corrupt:
        return "registry store is corrupt";
    }
    return "unknown registry status";
}

// Values -----------------------------------------------------------------

Value Value::sz(std::string name, std::string_view text) {
    return Value{std::move(name), kSz, std::string(text)};
}

Value Value::dword(std::string name, uint32_t number) {
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    return Value{std::move(name), kDword, std::move(data)};
}

Value Value::multi_sz(std::string name, const std::vector<std::string> &strings) {
    std::string data;
    for (const std::string &s : strings) {
        data += s;
        data.push_back('\0');
    }
    data.push_back('\0');
    return Value{std::move(name), kMultiSz, std::move(data)};
}

std::string Value::text() const {
    size_t nul = data.find('\0');
    return nul == std::string::npos ? data : data.substr(0, nul);
}

uint32_t Value::number() const {
    if (data.size() < 4)
        return 0;
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i)
        n = (n << 8) | static_cast<unsigned char>(data[i]);
    return n;
}

std::vector<std::string> Value::strings() const {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t nul = data.find('\0', pos);
        if (nul == std::string::npos)
            nul = data.size();
        if (nul == pos)
            break; // the empty string ends the list
        out.emplace_back(data, pos, nul - pos);
        pos = nul + 1;
    }
    return out;
}

// Paths ------------------------------------------------------------------

namespace {

constexpr size_t kMaxNameLength = 255;
constexpr int kBusyTimeoutMs = 15000;

bool split_path(std::string_view path, std::vector<std::string_view> &parts) {
    while (!path.empty() && path.front() == '\\')
        path.remove_prefix(1);
    while (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    parts.clear();
    while (!path.empty()) {
        size_t sep = path.find('\\');
        std::string_view part = path.substr(0, sep);
        if (part.empty() || part.size() > kMaxNameLength)
            return false;
        parts.push_back(part);
        if (sep == std::string_view::npos)
            break;
        path.remove_prefix(sep + 1);
    }
    return true;
}

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Status status_of(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return Status::Ok;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return Status::Corrupt;
    default:
        return Status::Unavailable;
    }
}

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " last_write INTEGER NOT NULL,"
    " UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " seq INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, name, last_write) VALUES(0, NULL, '', 0);";

} // namespace

std::string root_directory(Root root) {
    if (root == Root::LocalMachine) {
        const char *dir = getenv("ZT_REGISTRY");
        return dir != nullptr && *dir != '\0' ? dir : "/etc/quill/registry";
    }
    const char *dir = getenv("ZT_REGISTRY_USER");
    if (dir != nullptr && *dir != '\0')
        return dir;
    const char *home = getenv("HOME");
    return std::string(home != nullptr && *home != '\0' ? home : "/root") + "/.quill/registry";
}

// The store of one root: a connection per process, shared by its threads under
// one mutex, reopened when the root directory changes or after fork.
class Store {
  public:
    static Store &of(Root root) {
        static Store machine(Root::LocalMachine), user(Root::CurrentUser);
        return root == Root::LocalMachine ? machine : user;
    }

    // Runs fn with an open database under the store's lock. Without `create` a
    // missing database is NotFound and nothing is created.
    Status run(bool create, const char *tag, const std::function<Status(Store &)> &fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        Status s = connect(create, tag);
        if (s != Status::Ok)
            return s;
        return fn(*this);
    }

    // A prepared statement kept for the life of the connection. The guard
    // resets it when the caller is done: a statement left stepping would hold
    // its read snapshot open and hide other processes' writes.
    class Stmt {
      public:
        explicit Stmt(sqlite3_stmt *st) : st_(st) {}
        ~Stmt() {
            if (st_ != nullptr) {
                sqlite3_reset(st_);
                sqlite3_clear_bindings(st_);
            }
        }
        Stmt(const Stmt &) = delete;
        Stmt &operator=(const Stmt &) = delete;
        operator sqlite3_stmt *() const { return st_; }

      private:
        sqlite3_stmt *st_;
    };

    sqlite3_stmt *prepare(const char *sql) {
        auto it = stmts_.find(sql);
        if (it != stmts_.end())
            return it->second;
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) !=
            SQLITE_OK) {
            logsink::logf(16, 0, "registry", "cannot prepare \"%s\": %s", sql, sqlite3_errmsg(db_));
            return nullptr;
        }
        stmts_.emplace(sql, st);
        return st;
    }

    Status fail(const char *tag, int rc) {
        Status s = status_of(rc);
        logsink::logf(16, 0, tag, "registry store %s: %s (%d)", file_.c_str(), sqlite3_errmsg(db_),
                      rc);
        if (s == Status::Corrupt)
            broken_ = true; // the next call looks at the file afresh
        return s;
    }

    Status exec(const char *tag, const char *sql) {
        int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        return rc == SQLITE_OK ? Status::Ok : fail(tag, rc);
    }

    // One write transaction: fn's changes are committed together or not at all.
    Status write(const char *tag, const std::function<Status()> &fn) {
        Status s = exec(tag, "BEGIN IMMEDIATE");
        if (s != Status::Ok)
            return s;
        s = fn();
        if (s == Status::Ok) {
            int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK)
                return Status::Ok;
            s = fail(tag, rc);
        }
        if (db_ != nullptr)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return s;
    }

    // Resolves (and with `create` makes) the keys of a path; Ok with the id.
    Status resolve(const char *tag, std::string_view path, bool create, int64_t &id) {
        std::vector<std::string_view> parts;
        if (!split_path(path, parts))
            return Status::InvalidArgument;
        id = 0;
        for (std::string_view part : parts) {
            Stmt st(prepare("SELECT id FROM keys WHERE parent = ?1 AND name = ?2"));
            if (st == nullptr)
                return Status::Unavailable;
            sqlite3_bind_int64(st, 1, id);
            sqlite3_bind_text(st, 2, part.data(), static_cast<int>(part.size()), SQLITE_STATIC);
            int rc = sqlite3_step(st);
            if (rc == SQLITE_ROW) {
                id = sqlite3_column_int64(st, 0);
                continue;
            }
            if (rc != SQLITE_DONE)
                return fail(tag, rc);
            if (!create)
                return Status::NotFound;
            Stmt ins(prepare("INSERT INTO keys(parent, name, last_write) VALUES(?1, ?2, ?3)"));
            if (ins == nullptr)
                return Status::Unavailable;
            sqlite3_bind_int64(ins, 1, id);
            sqlite3_bind_text(ins, 2, part.data(), static_cast<int>(part.size()), SQLITE_STATIC);
            sqlite3_bind_int64(ins, 3, now_ns());
            rc = sqlite3_step(ins);
            if (rc != SQLITE_DONE)
                return fail(tag, rc);
            id = sqlite3_last_insert_rowid(db_);
        }
        return Status::Ok;
    }

    // Moves a key's last-write time forward; NotFound when the key is gone.
    Status touch(const char *tag, int64_t id) {
        Stmt st(prepare("UPDATE keys SET last_write = max(?2, last_write + 1) WHERE id = ?1"));
        if (st == nullptr)
            return Status::Unavailable;
        sqlite3_bind_int64(st, 1, id);
        sqlite3_bind_int64(st, 2, now_ns());
        int rc = sqlite3_step(st);
        if (rc != SQLITE_DONE)
            return fail(tag, rc);
        return sqlite3_changes(db_) == 0 ? Status::NotFound : Status::Ok;
    }

    sqlite3 *db() { return db_; }

  private:
    explicit Store(Root root) : root_(root) {}

    void drop() {
        if (db_ == nullptr)
            return;
        if (pid_ == getpid()) {
            for (auto &entry : stmts_)
                sqlite3_finalize(entry.second);
            sqlite3_close_v2(db_);
        }
        // A connection inherited over fork belongs to the parent: leave it be.
        stmts_.clear();
        db_ = nullptr;
        file_.clear();
    }

    Status connect(bool create, const char *tag) {
        const std::string dir = root_directory(root_);
        const std::string file = dir + "/registry.db";
        if (db_ != nullptr && (broken_ || pid_ != getpid() || file != file_))
            drop();
        broken_ = false;
        if (db_ != nullptr)
            return Status::Ok;

        struct stat st;
        if (stat(file.c_str(), &st) != 0) {
            if (!create)
                return Status::NotFound;
            std::error_code ec;
            std::filesystem::create_directories(dir, ec);
            if (ec) {
                logsink::logf(16, 0, tag, "cannot create registry directory %s: %s", dir.c_str(),
                              ec.message().c_str());
                return Status::Unavailable;
            }
        }
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
        int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) {
            logsink::logf(16, 0, tag, "cannot open registry store %s: %s", file.c_str(),
                          db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
            sqlite3_close_v2(db_);
            db_ = nullptr;
            return Status::Unavailable;
        }
        file_ = file;
        pid_ = getpid();
        if (sqlite3_db_readonly(db_, "main") == 1) {
            // A process that may not write the store (a user reading the
            // machine's store) reads it as it is: opened read-only, SQLite
            // reads the WAL without needing to write its index.
            sqlite3_close_v2(db_);
            db_ = nullptr;
            rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
            if (rc != SQLITE_OK) {
                logsink::logf(16, 0, tag, "cannot open registry store %s for reading: %s", file.c_str(),
                              db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
                sqlite3_close_v2(db_);
                db_ = nullptr;
                file_.clear();
                return Status::Unavailable;
            }
            sqlite3_busy_timeout(db_, kBusyTimeoutMs);
            sqlite3_extended_result_codes(db_, 1);
            return Status::Ok;
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db_, 1);

        // Switching to WAL takes an exclusive lock that the busy handler does
        // not always wait for; a first use by several processes retries.
        for (int attempt = 0;; ++attempt) {
            rc = sqlite3_exec(
                db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;",
                nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK)
                break;
            if ((rc & 0xFF) != SQLITE_BUSY || attempt == 200) {
                Status s = fail(tag, rc);
                drop();
                return s;
            }
            usleep(10000);
        }
        Status s = write(tag, [this, tag] { return exec(tag, kSchema); });
        if (s != Status::Ok) {
            drop();
            return s;
        }
        return Status::Ok;
    }

    Root root_;
    std::mutex mutex_;
    sqlite3 *db_ = nullptr;
    std::string file_;
    pid_t pid_ = 0;
    bool broken_ = false;
    std::unordered_map<const char *, sqlite3_stmt *> stmts_;
};

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
        return Status::Unavailable;
    sqlite3_bind_int64(st, 1, id);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW)
        return Status::Ok;
    return rc == SQLITE_DONE ? Status::NotFound : store.fail(tag, rc);
}

bool valid_value_name(std::string_view name) {
    return name.size() <= 16383 && name.find('\0') == std::string_view::npos;
}

} // namespace

// Keys -------------------------------------------------------------------

Status Key::open(Root root, std::string_view path, Key &out) {
    int64_t id = -1;
    Status s = Store::of(root).run(false, "RegOpenKey", [&](Store &store) {
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
    Status s = Store::of(root).run(true, "RegCreateKey", [&](Store &store) {
        // Most opens find the key: try without the write lock first.
        Status found = store.resolve("RegCreateKey", path, false, id);
        if (found != Status::NotFound)
            return found;
        return store.write("RegCreateKey",
                           [&] { return store.resolve("RegCreateKey", path, true, id); });
    });
    if (s == Status::Ok) {
        out.root_ = root;
        out.id_ = id;
        out.path_ = std::string(path);
    }
    return s;
}

Status Key::remove_tree(Root root, std::string_view path) {
    return Store::of(root).run(false, "RegDeleteTree", [&](Store &store) {
        return store.write("RegDeleteTree", [&] {
            int64_t id = -1;
            Status s = store.resolve("RegDeleteTree", path, false, id);
            if (s != Status::Ok)
                return s;
            if (id == 0)
                return Status::InvalidArgument; // the root itself stays
            Store::Stmt st(store.prepare("DELETE FROM keys WHERE id = ?1"));
            if (st == nullptr)
                return Status::Unavailable;
            sqlite3_bind_int64(st, 1, id);
            int rc = sqlite3_step(st);
            return rc == SQLITE_DONE ? Status::Ok : store.fail("RegDeleteTree", rc);
        });
    });
}

Status Key::query(std::string_view name, Value &out) const {
    if (!valid_value_name(name))
        return Status::InvalidArgument;
    return Store::of(root_).run(false, "RegQueryValue", [&](Store &store) {
        Store::Stmt st(
            store.prepare("SELECT name, type, data FROM vals WHERE key = ?1 AND name = ?2"));
        if (st == nullptr)
            return Status::Unavailable;
        sqlite3_bind_int64(st, 1, id_);
        sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
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
    return Store::of(root_).run(true, "RegSetValue", [&](Store &store) {
        return store.write("RegSetValue", [&] {
            Status s = store.touch("RegSetValue", id_);
            if (s != Status::Ok)
                return s;
            // A value keeps its place in the enumeration and the case of its
            // first name when it is set again.
            Store::Stmt st(store.prepare("INSERT INTO vals(key, seq, name, type, data)"
                                         " VALUES(?1, (SELECT coalesce(max(seq), 0) + 1 FROM vals "
                                         "WHERE key = ?1), ?2, ?3, ?4)"
                                         " ON CONFLICT(key, name) DO UPDATE SET type = "
                                         "excluded.type, data = excluded.data"));
            if (st == nullptr)
                return Status::Unavailable;
            sqlite3_bind_int64(st, 1, id_);
            sqlite3_bind_text(st, 2, value.name.data(), static_cast<int>(value.name.size()),
                              SQLITE_STATIC);
            sqlite3_bind_int64(st, 3, value.type);
            sqlite3_bind_blob(st, 4, value.data.data(), static_cast<int>(value.data.size()),
                              SQLITE_STATIC);
            int rc = sqlite3_step(st);
            return rc == SQLITE_DONE ? Status::Ok : store.fail("RegSetValue", rc);
        });
    });
}

Status Key::remove_value(std::string_view name) {
    if (!valid_value_name(name))
        return Status::InvalidArgument;
    return Store::of(root_).run(false, "RegDeleteValue", [&](Store &store) {
        return store.write("RegDeleteValue", [&] {
            Store::Stmt st(store.prepare("DELETE FROM vals WHERE key = ?1 AND name = ?2"));
            if (st == nullptr)
                return Status::Unavailable;
            sqlite3_bind_int64(st, 1, id_);
            sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
            int rc = sqlite3_step(st);
            if (rc != SQLITE_DONE)
                return store.fail("RegDeleteValue", rc);
            if (sqlite3_changes(store.db()) == 0)
                return Status::NotFound;
            return store.touch("RegDeleteValue", id_);
        });
    });
}

Status Key::values(std::vector<Value> &out) const {
    return Store::of(root_).run(false, "RegEnumValue", [&](Store &store) {
        out.clear();
        Store::Stmt st(
            store.prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY seq"));
        if (st == nullptr)
            return Status::Unavailable;
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
    return Store::of(root_).run(false, "RegEnumKey", [&](Store &store) {
        out.clear();
        Store::Stmt st(store.prepare("SELECT name FROM keys WHERE parent = ?1 ORDER BY name"));
        if (st == nullptr)
            return Status::Unavailable;
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
    return Store::of(root_).run(false, "RegQueryInfoKey", [&](Store &store) {
        Store::Stmt st(store.prepare("SELECT last_write FROM keys WHERE id = ?1"));
        if (st == nullptr)
            return Status::Unavailable;
        sqlite3_bind_int64(st, 1, id_);
        int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            ns = sqlite3_column_int64(st, 0);
            return Status::Ok;
        }
        return rc == SQLITE_DONE ? Status::NotFound : store.fail("RegQueryInfoKey", rc);
    });
}

// Export -----------------------------------------------------------------

namespace {

void append_quoted(std::string &out, std::string_view text) {
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out.push_back('"');
}

void append_value(std::string &out, const Value &v) {
    if (v.name.empty())
        out += "@";
    else
        append_quoted(out, v.name);
    out += "=";
    char buf[32];
    switch (v.type) {
    case kSz:
        append_quoted(out, v.data);
        break;
    case kDword:
        snprintf(buf, sizeof buf, "dword:%08x", v.number());
        out += buf;
        break;
    case kExpandSz:
    case kMultiSz:
        snprintf(buf, sizeof buf, "str(%u):", v.type);
        out += buf;
        append_quoted(out, v.data);
        break;
    default:
        snprintf(buf, sizeof buf, v.type == kBinary ? "hex:" : "hex(%x):", v.type);
        out += buf;
        for (size_t i = 0; i < v.data.size(); ++i) {
            snprintf(buf, sizeof buf, i == 0 ? "%02x" : ",%02x",
                     static_cast<unsigned char>(v.data[i]));
            out += buf;
        }
    }
    out += "\n";
}

Status export_key(const Key &key, const std::string &shown, std::string &out) {
    int64_t ns = 0;
    std::vector<Value> values;
    std::vector<std::string> children;
    Status s = key.last_write(ns);
    if (s == Status::Ok)
        s = key.values(values);
    if (s == Status::Ok)
        s = key.subkeys(children);
    if (s != Status::Ok)
        return s;
    if (!shown.empty()) {
        out += "\n[";
        for (char c : shown)
            out += c == '\\' ? std::string("\\\\") : std::string(1, c);
        out += "] " + std::to_string(ns / 1000000000) + "\n";
        for (const Value &v : values)
            append_value(out, v);
    }
    for (const std::string &child : children) {
        std::string path = key.path().empty() ? child : key.path() + "\\" + child;
        Key sub;
        s = Key::open(key.root(), path, sub);
        if (s == Status::NotFound)
            continue; // deleted while we walked
        if (s == Status::Ok)
            s = export_key(sub, shown.empty() ? child : shown + "\\" + child, out);
        if (s != Status::Ok)
            return s;
    }
    return Status::Ok;
}

} // namespace

Status export_text(Root root, std::string_view path, std::string &out) {
    Key key;
    Status s = Key::open(root, path, key);
    if (s != Status::Ok)
        return s;
    std::vector<std::string_view> parts;
    split_path(path, parts);
    std::string shown;
    for (std::string_view p : parts)
        shown += (shown.empty() ? "" : "\\") + std::string(p);
    out = "ZT REGISTRY Version 1\n;; All keys relative to ";
    out += root == Root::LocalMachine ? "HKEY_LOCAL_MACHINE\n" : "HKEY_CURRENT_USER\n";
    return export_key(key, shown, out);
}

} // namespace ztbase::registry
