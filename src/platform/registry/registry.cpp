// The registry store on SQLite: one database per root, WAL mode so readers
// never wait for writers (and never take the write lock), one IMMEDIATE
// transaction per change, and the key's last-write time updated in the same
// transaction as the value.
#include "platform/registry/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <new>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>
#include <unordered_map>

#include "base/log_sink.h"

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
    case Status::Busy:
        return "registry store busy";
    case Status::ReadOnly:
        return "registry store is read-only for this user";
    case Status::TooDeep:
        return "key path too deep";
    case Status::Failed:
        return "registry store error";
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

// Paths and names ----------------------------------------------------------

namespace {

constexpr size_t kMaxNameLength = 255;
constexpr int kBusyTimeoutMs = 15000;
constexpr int kSchemaVersion = 2;

// Splits a key path into its names; TooDeep beyond kMaxDepth levels.
Status split_path(std::string_view path, std::vector<std::string_view> &parts) {
    while (!path.empty() && path.front() == '\\')
        path.remove_prefix(1);
    while (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    parts.clear();
    while (!path.empty()) {
        size_t sep = path.find('\\');
        std::string_view part = path.substr(0, sep);
        if (part.empty() || part.size() > kMaxNameLength ||
            part.find('\0') != std::string_view::npos)
            return Status::InvalidArgument;
        if (parts.size() == kMaxDepth)
            return Status::TooDeep;
        parts.push_back(part);
        if (sep == std::string_view::npos)
            break;
        path.remove_prefix(sep + 1);
    }
    return Status::Ok;
}

bool valid_value_name(std::string_view name) {
    return name.size() <= 16383 && name.find('\0') == std::string_view::npos;
}

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Status status_of(int rc) {
    if (rc == SQLITE_READONLY_DBMOVED)
        return Status::Busy; // the file was replaced: reopened and tried again
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return Status::Ok;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return Status::Corrupt;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
        return Status::Busy;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return Status::ReadOnly;
    case SQLITE_CANTOPEN:
        return Status::Unavailable;
    default:
        return Status::Failed;
    }
}

// Simple Unicode case folding, code point by code point, as the names are
// compared; bytes that are not UTF-8 stay as they are (ASCII letters folded).
std::string fold_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    const auto *s = reinterpret_cast<const uint8_t *>(name.data());
    const auto n = static_cast<int32_t>(name.size());
    for (int32_t i = 0; i < n;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, n, c);
        if (c < 0) {
            for (int32_t j = start; j < i; ++j)
                out.push_back(static_cast<char>(s[j]));
            continue;
        }
        c = u_foldCase(c, U_FOLD_CASE_DEFAULT);
        uint8_t buf[U8_MAX_LENGTH];
        int32_t k = 0;
        U8_APPEND_UNSAFE(buf, k, c); // a folded code point is valid
        out.append(reinterpret_cast<const char *>(buf), static_cast<size_t>(k));
    }
    return out;
}

void sql_fold(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(argv[0]));
    const std::string folded = fold_name(std::string_view(
        text != nullptr ? text : "", static_cast<size_t>(sqlite3_value_bytes(argv[0]))));
    sqlite3_result_text(ctx, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

// A name is looked up by its folded form; the name keeps its case beside it.
const char kSchema[] =
    "CREATE TABLE keys("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL,"
    " last_write INTEGER NOT NULL,"
    " fold TEXT NOT NULL DEFAULT '');"
    "CREATE UNIQUE INDEX keys_fold ON keys(parent, fold);"
    "CREATE TABLE vals("
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " seq INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " fold TEXT NOT NULL DEFAULT '',"
    " PRIMARY KEY(key, fold)) WITHOUT ROWID;"
    "INSERT INTO keys(id, parent, name, last_write, fold) VALUES(0, NULL, '', 0, '');"
    "PRAGMA user_version = 2;";

// A store of the first layout compared names with ASCII NOCASE only; its old
// unique constraints are weaker than the folded ones and may stay.
const char kUpgrade[] = "ALTER TABLE keys ADD COLUMN fold TEXT NOT NULL DEFAULT '';"
                        "ALTER TABLE vals ADD COLUMN fold TEXT NOT NULL DEFAULT '';"
                        "UPDATE keys SET fold = zt_fold(name);"
                        "UPDATE vals SET fold = zt_fold(name);"
                        "CREATE UNIQUE INDEX keys_fold ON keys(parent, fold);"
                        "CREATE UNIQUE INDEX vals_fold ON vals(key, fold);"
                        "PRAGMA user_version = 2;";

std::string home_directory() {
    const char *home = getenv("HOME");
    if (home != nullptr && *home != '\0')
        return home;
    struct passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
        pw.pw_dir != nullptr && *pw.pw_dir != '\0')
        return pw.pw_dir;
    return "/";
}

// Creates a directory and its missing parents with `mode`, whatever the umask.
bool make_directories(const std::string &dir, mode_t mode, const char *tag) {
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        const std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), mode) == 0) {
            chmod(part.c_str(), mode);
        } else if (errno != EEXIST) {
            logsink::logf(16, 0, tag, "cannot create registry directory %s: %s", part.c_str(),
                          strerror(errno));
            return false;
        }
    }
    return true;
}

// Makes a file SQLite will use with `mode` (the WAL files take the mode of the
// store file); an existing file is left as it is.
bool make_file(const std::string &file, mode_t mode, const char *tag) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        if (errno == EEXIST)
            return true;
        logsink::logf(16, 0, tag, "cannot create registry store %s: %s", file.c_str(),
                      strerror(errno));
        return false;
    }
    fchmod(fd, mode);
    close(fd);
    return true;
}

// True when no link on the way to `path` belongs to a user other than this
// one and root: another user's link could point this process at files it
// must not touch (and have them made private below). A part not made yet is
// fine: this process makes it.
bool trusted_path(const std::string &path, int links = 0) {
    if (links > 16)
        return false;
    const uid_t me = geteuid();
    std::string cur = !path.empty() && path[0] == '/' ? "/" : "";
    for (size_t pos = 0; pos < path.size();) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".")
            continue;
        const std::string parent = cur.empty() ? "." : cur;
        cur += (cur.empty() || cur.back() == '/' ? "" : "/") + part;
        struct stat st;
        if (lstat(cur.c_str(), &st) != 0)
            return errno == ENOENT;
        if (S_ISLNK(st.st_mode)) {
            if (st.st_uid != 0 && st.st_uid != me)
                return false;
            char target[4096];
            const ssize_t n = readlink(cur.c_str(), target, sizeof target - 1);
            if (n <= 0)
                return false;
            target[n] = '\0';
            if (!trusted_path(target[0] == '/' ? target : parent + "/" + target, links + 1))
                return false;
        }
    }
    return true;
}

// A current user's store made before it was kept private becomes private;
// links are not followed.
void make_private(const std::string &dir, const std::string &file) {
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & 077) != 0)
        chmod(dir.c_str(), 0700);
    for (const char *suffix : {"", "-wal", "-shm"}) {
        const std::string f = file + suffix;
        if (lstat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            (st.st_mode & 077) != 0)
            chmod(f.c_str(), 0600);
    }
}

std::string uri_of(const std::string &file) {
    std::string uri = "file:";
    for (unsigned char c : file) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            uri += hex;
        } else {
            uri.push_back(static_cast<char>(c));
        }
    }
    return uri + "?immutable=1";
}

bool exists(const std::string &file) {
    struct stat st;
    return stat(file.c_str(), &st) == 0;
}

} // namespace

std::string root_directory(Root root) {
    if (root == Root::LocalMachine) {
        const char *dir = getenv("ZT_REGISTRY");
        return dir != nullptr && *dir != '\0' ? dir : "/etc/quill/registry";
    }
    const char *dir = getenv("ZT_REGISTRY_USER");
    if (dir != nullptr && *dir != '\0')
        return dir;
    return home_directory() + "/.quill/registry";
}

// The store ---------------------------------------------------------------

enum class Mode {
    Read,     // each statement reads on its own; a missing store is NotFound
    Snapshot, // one read transaction; a missing store is NotFound
    Write,    // a write transaction; a missing store is NotFound
    Create,   // a write transaction; a missing store is made
    Plain,    // no transaction (backup, restore); the store is made
};

// The store of one root: a connection per process, shared by its threads under
// one mutex, reopened when the root directory or its file changes, and after
// fork. A call made inside a transaction of the same thread joins it.
class Store {
  public:
    static Store &of(Root root) {
        // Never destroyed: exit routines of other modules may still use them.
        static Store *machine = new Store(Root::LocalMachine);
        static Store *user = new Store(Root::CurrentUser);
        static const int forks =
            pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        (void)forks;
        return root == Root::LocalMachine ? *machine : *user;
    }

    // A fork while another thread is inside the store would leave the
    // child a locked mutex (a hang at its first call) and half-changed state:
    // fork waits for the stores to be idle, and the child starts them afresh.
    static void before_fork() {
        of(Root::LocalMachine).mutex_.lock();
        of(Root::CurrentUser).mutex_.lock();
    }
    static void after_fork_in_parent() {
        of(Root::CurrentUser).mutex_.unlock();
        of(Root::LocalMachine).mutex_.unlock();
    }
    static void after_fork_in_child() {
        for (Root root : {Root::LocalMachine, Root::CurrentUser}) {
            Store &store = of(root);
            // The lock belongs to a thread of the parent: made anew, not unlocked.
            // The thread checker is told it was let go, or it would take the
            // parent's hold for one of the child's.
#if defined(__SANITIZE_THREAD__)
            __tsan_mutex_pre_unlock(&store.mutex_, 0);
            __tsan_mutex_post_unlock(&store.mutex_, 0);
#endif
            new (&store.mutex_) std::recursive_mutex;
            store.depth_ = 0; // a transaction of the parent is not the child's
            store.writing_ = false;
        }
    }

    // Runs fn with an open database inside one transaction of `mode` under the
    // store's lock. A busy store (other writers, a peer's crash being
    // recovered, a replaced file) is waited out within the busy timeout;
    // nothing fn did in a failed attempt stays.
    Status run(Mode mode, const char *tag, const std::function<Status(Store &)> &fn) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (depth_ > 0) {
            if (mode != Mode::Read && mode != Mode::Snapshot && !writing_) {
                logsink::logf(16, 0, tag, "a change inside a read transaction of the registry");
                return Status::InvalidArgument;
            }
            ++depth_;
            Status s = fn(*this);
            --depth_;
            return s;
        }
        const timespec start = monotonic();
        for (int attempt = 0;; ++attempt) {
            Status s = connect(mode, tag);
            if (s == Status::Ok) {
                s = begin(mode, tag);
                if (s == Status::Ok) {
                    depth_ = 1;
                    writing_ = mode != Mode::Read && mode != Mode::Snapshot;
                    s = fn(*this);
                    depth_ = 0;
                    s = end(mode, s, tag);
                }
            }
            if (s != Status::Busy)
                return s;
            const long waited = elapsed_ms(start);
            if (waited >= kBusyTimeoutMs) {
                logsink::logf(16, 0, tag, "registry store %s stayed busy for %ld ms", file_.c_str(),
                              waited);
                return s;
            }
            // A short, growing pause with some spread so that waiting
            // processes do not retry in step.
            usleep(static_cast<useconds_t>(1000 * (1 + std::min(attempt, 20)) +
                                           (getpid() * 37 + attempt * 101) % 1000));
        }
    }

    // Closes the connection (checkpointing what it wrote into the store file).
    void close() {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (depth_ == 0)
            drop();
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

    // A kept statement; null on failure, with the reason in prepare_status().
    sqlite3_stmt *prepare(const char *sql) {
        auto it = stmts_.find(sql);
        if (it != stmts_.end())
            return it->second;
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
        if (rc != SQLITE_OK) {
            prepare_status_ = fail("registry", rc);
            return nullptr;
        }
        stmts_.emplace(sql, st);
        return st;
    }
    Status prepare_status() const { return prepare_status_; }

    // The status of a failed SQLite call, logged unless it is a busy state
    // that the caller waits out.
    Status fail(const char *tag, int rc) {
        Status s = status_of(rc);
        if (s != Status::Busy)
            logsink::logf(16, 0, tag, "registry store %s: %s (%d)", file_.c_str(),
                          db_ != nullptr ? sqlite3_errmsg(db_) : "not open", rc);
        if (s == Status::Corrupt || rc == SQLITE_READONLY_DBMOVED)
            broken_ = true; // the next call looks at the file afresh
        return s;
    }

    Status exec(const char *tag, const char *sql) {
        int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        return rc == SQLITE_OK ? Status::Ok : fail(tag, rc);
    }

    // Resolves (and with `create` makes) the keys of a path; Ok with the id.
    Status resolve(const char *tag, std::string_view path, bool create, int64_t &id) {
        std::vector<std::string_view> parts;
        Status s = split_path(path, parts);
        if (s != Status::Ok) {
            if (s == Status::TooDeep)
                logsink::logf(16, 0, tag, "key path deeper than %zu levels refused", kMaxDepth);
            return s;
        }
        id = 0;
        for (std::string_view part : parts) {
            const std::string folded = fold_name(part);
            Stmt st(prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2"));
            if (st == nullptr)
                return prepare_status_;
            sqlite3_bind_int64(st, 1, id);
            sqlite3_bind_text(st, 2, folded.data(), static_cast<int>(folded.size()), SQLITE_STATIC);
            int rc = sqlite3_step(st);
            if (rc == SQLITE_ROW) {
                id = sqlite3_column_int64(st, 0);
                continue;
            }
            if (rc != SQLITE_DONE)
                return fail(tag, rc);
            if (!create)
                return Status::NotFound;
            Stmt ins(
                prepare("INSERT INTO keys(parent, name, last_write, fold) VALUES(?1, ?2, ?3, ?4)"));
            if (ins == nullptr)
                return prepare_status_;
            sqlite3_bind_int64(ins, 1, id);
            sqlite3_bind_text(ins, 2, part.data(), static_cast<int>(part.size()), SQLITE_STATIC);
            sqlite3_bind_int64(ins, 3, now_ns());
            sqlite3_bind_text(ins, 4, folded.data(), static_cast<int>(folded.size()),
                              SQLITE_STATIC);
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
            return prepare_status_;
        sqlite3_bind_int64(st, 1, id);
        sqlite3_bind_int64(st, 2, now_ns());
        int rc = sqlite3_step(st);
        if (rc != SQLITE_DONE)
            return fail(tag, rc);
        return sqlite3_changes(db_) == 0 ? Status::NotFound : Status::Ok;
    }

    sqlite3 *db() { return db_; }
    const std::string &file() const { return file_; }
    Root root() const { return root_; }

    // After a restore: the next call checks the layout afresh.
    void reopen_later() { broken_ = true; }

  private:
    explicit Store(Root root) : root_(root) {}

    static timespec monotonic() {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts;
    }
    static long elapsed_ms(const timespec &since) {
        timespec now = monotonic();
        return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
    }

    // One statement without results, prepared once.
    Status step(const char *tag, const char *sql) {
        Stmt st(prepare(sql));
        if (st == nullptr)
            return prepare_status_;
        int rc = sqlite3_step(st);
        return rc == SQLITE_DONE ? Status::Ok : fail(tag, rc);
    }

    Status begin(Mode mode, const char *tag) {
        if (mode == Mode::Plain || mode == Mode::Read)
            return Status::Ok;
        return step(tag, mode == Mode::Snapshot ? "BEGIN" : "BEGIN IMMEDIATE");
    }

    Status end(Mode mode, Status s, const char *tag) {
        if (mode == Mode::Plain || mode == Mode::Read)
            return s;
        if (s == Status::Ok) {
            s = step(tag, "COMMIT");
            if (s == Status::Ok)
                return s;
        }
        if (sqlite3_get_autocommit(db_) == 0)
            step(tag, "ROLLBACK");
        return s;
    }

    void drop() {
        if (db_ == nullptr)
            return;
        if (pid_ == getpid()) {
            for (auto &entry : stmts_)
                sqlite3_finalize(entry.second);
            // Copy what this process wrote into the store file even while
            // other processes keep the store open; the last one to close
            // empties the log.
            if (!readonly_)
                sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            sqlite3_close_v2(db_);
        } else {
            // A connection inherited over fork belongs to the parent: leave
            // it be, but keep it reachable (it is not a leak).
            static std::vector<sqlite3 *> *inherited = new std::vector<sqlite3 *>;
            inherited->push_back(db_);
        }
        stmts_.clear();
        db_ = nullptr;
        file_.clear();
        readonly_ = immutable_ = false;
    }

    // True when the file at `file` is no longer the one this connection has
    // open (replaced or removed), or when a store read as an immutable file
    // has got its write-ahead log back.
    bool stale(const std::string &file) {
        struct stat st;
        if (stat(file.c_str(), &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_)
            return true;
        return immutable_ && exists(file + "-wal");
    }

    Status connect(Mode mode, const char *tag) {
        const std::string dir = root_directory(root_);
        const std::string file = dir + "/registry.db";
        if (db_ != nullptr && (broken_ || pid_ != getpid() || file != file_ || stale(file)))
            drop();
        broken_ = false;
        if (db_ == nullptr) {
            Status s = open_file(dir, file, mode, tag);
            if (s != Status::Ok)
                return s;
        }
        if (readonly_ && mode != Mode::Read && mode != Mode::Snapshot) {
            logsink::logf(16, 0, tag, "registry store %s is read-only for this process",
                          file.c_str());
            return Status::ReadOnly;
        }
        if (!checked_) {
            Status s = check_layout(mode, tag);
            if (s != Status::Ok)
                return s;
            checked_ = true;
        }
        return Status::Ok;
    }

    static Status foreign_directory(const std::string &dir, const char *tag) {
        logsink::logf(16, 0, tag,
                      "registry store directory %s belongs to another user or is reached "
                      "through another user's link; not used",
                      dir.c_str());
        return Status::Unavailable;
    }

    Status open_file(const std::string &dir, const std::string &file, Mode mode, const char *tag) {
        const bool user = root_ == Root::CurrentUser;
        // The user's own files in a directory of the user's own.
        if (user && !trusted_path(dir))
            return foreign_directory(dir, tag);
        struct stat st;
        if (stat(file.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                logsink::logf(16, 0, tag, "cannot reach registry store %s: %s", file.c_str(),
                              strerror(errno));
                return Status::Unavailable;
            }
            if (mode != Mode::Create && mode != Mode::Plain)
                return Status::NotFound;
            // The machine's store is readable by every user; a user's own
            // store by that user alone.
            if (!make_directories(dir, user ? 0700 : 0755, tag) ||
                !make_file(file, user ? 0600 : 0644, tag))
                return Status::Unavailable;
        }
        if (user) {
            if (stat(dir.c_str(), &st) != 0 || st.st_uid != geteuid())
                return foreign_directory(dir, tag);
            make_private(dir, file);
        }
        int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc == SQLITE_OK && sqlite3_db_readonly(db_, "main") == 1) {
            // A process that may not write the store (a user reading the
            // machine's store) reads it as it is.
            sqlite3_close_v2(db_);
            rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
            readonly_ = true;
        }
        if (rc != SQLITE_OK) {
            logsink::logf(16, 0, tag, "cannot open registry store %s: %s", file.c_str(),
                          db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
            sqlite3_close_v2(db_);
            db_ = nullptr;
            readonly_ = false;
            return Status::Unavailable;
        }
        if (stat(file.c_str(), &st) == 0) {
            dev_ = st.st_dev;
            ino_ = st.st_ino;
        }
        file_ = file;
        pid_ = getpid();
        checked_ = false;
        prepare_session();
        return Status::Ok;
    }

    void prepare_session() {
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_exec(db_, "PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                     nullptr);
        sqlite3_create_function_v2(db_, "zt_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   sql_fold, nullptr, nullptr, nullptr);
        if (!readonly_) {
            // The log files stay when the last connection closes (emptied),
            // so that users who may only read the store can still open it.
            int persist = 1;
            sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
            sqlite3_exec(db_, "PRAGMA journal_size_limit=4194304;", nullptr, nullptr, nullptr);
        }
    }

    // Reads the layout of the store; makes or upgrades it only when needed,
    // so that readers never take the write lock.
    Status check_layout(Mode mode, const char *tag) {
        int tables = 0, version = 0;
        Status s = read_layout(tag, tables, version);
        if (s == Status::Unavailable && readonly_ && !immutable_) {
            // The log files cannot be made here (a directory this process
            // may not write, a read-only file system): the store was closed
            // cleanly, so the file alone holds everything.
            sqlite3_close_v2(db_);
            db_ = nullptr;
            int rc = sqlite3_open_v2(uri_of(file_).c_str(), &db_,
                                     SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                                     nullptr);
            if (rc != SQLITE_OK) {
                logsink::logf(16, 0, tag, "cannot open registry store %s for reading: %s",
                              file_.c_str(), db_ != nullptr ? sqlite3_errmsg(db_) : "no memory");
                sqlite3_close_v2(db_);
                db_ = nullptr;
                file_.clear();
                return Status::Unavailable;
            }
            immutable_ = true;
            prepare_session();
            s = read_layout(tag, tables, version);
        }
        if (s != Status::Ok)
            return s;
        if (!readonly_ && tables == 2 && version >= kSchemaVersion) {
            // A store copied in from a backup may come in another journal
            // mode; readers must not wait for writers.
            return wal_mode(tag);
        }
        if (tables == 2 && version >= kSchemaVersion)
            return Status::Ok;
        if (readonly_) {
            if (tables == 0)
                return Status::NotFound;
            logsink::logf(16, 0, tag,
                          "registry store %s has an older layout; a process that may write it "
                          "upgrades it",
                          file_.c_str());
            return Status::Unavailable;
        }
        if (tables == 0 && mode != Mode::Create && mode != Mode::Plain)
            return Status::NotFound;
        s = wal_mode(tag);
        if (s != Status::Ok)
            return s;
        s = step(tag, "BEGIN IMMEDIATE");
        if (s != Status::Ok)
            return s;
        s = read_layout(tag, tables, version); // another process may have been first
        if (s == Status::Ok && tables == 0)
            s = exec(tag, kSchema);
        else if (s == Status::Ok && version < kSchemaVersion)
            s = exec(tag, kUpgrade);
        return end(Mode::Write, s, tag);
    }

    Status read_layout(const char *tag, int &tables, int &version) {
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v2(db_,
                                    "SELECT (SELECT count(*) FROM sqlite_master WHERE type = "
                                    "'table' AND name IN ('keys', 'vals')),"
                                    " (SELECT user_version FROM pragma_user_version)",
                                    -1, &st, nullptr);
        if (rc == SQLITE_OK)
            rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            tables = sqlite3_column_int(st, 0);
            version = sqlite3_column_int(st, 1);
            rc = SQLITE_OK;
        }
        sqlite3_finalize(st);
        if (((rc & 0xFF) == SQLITE_CANTOPEN || rc == SQLITE_READONLY_DIRECTORY ||
             rc == SQLITE_READONLY_CANTINIT) &&
            readonly_ && !immutable_)
            return Status::Unavailable; // no log files here: read the file alone
        return rc == SQLITE_OK ? Status::Ok : fail(tag, rc);
    }

    // Switching to WAL takes an exclusive lock that the busy handler does not
    // always wait for; the caller's busy loop tries again.
    Status wal_mode(const char *tag) {
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode", -1, &st, nullptr);
        bool wal = false;
        if (rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            wal = strcmp(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "wal") == 0;
        sqlite3_finalize(st);
        if (wal)
            return Status::Ok;
        return exec(tag, "PRAGMA journal_mode=WAL");
    }

    Root root_;
    std::recursive_mutex mutex_;
    int depth_ = 0;        // nesting of run() inside the current transaction
    bool writing_ = false; // the current transaction may write
    sqlite3 *db_ = nullptr;
    std::string file_;
    pid_t pid_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool broken_ = false;
    bool readonly_ = false;
    bool immutable_ = false;
    bool checked_ = false;
    Status prepare_status_ = Status::Ok;
    std::unordered_map<const char *, sqlite3_stmt *> stmts_;
};

void close_all() {
    Store::of(Root::LocalMachine).close();
    Store::of(Root::CurrentUser).close();
}

namespace {

// Closes the connections at exit (or when the library is unloaded), so that
// committed data is checkpointed into the store file.
struct CloseAtExit {
    ~CloseAtExit() { close_all(); }
} g_close_at_exit;

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

Status transact(Root root, const std::function<Status()> &fn) {
    return Store::of(root).run(Mode::Create, "RegTransaction", [&](Store &) { return fn(); });
}

Status read_snapshot(Root root, const std::function<Status()> &fn) {
    return Store::of(root).run(Mode::Snapshot, "RegSnapshot", [&](Store &) { return fn(); });
}

// Keys -------------------------------------------------------------------

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

// Backup and restore --------------------------------------------------------

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
