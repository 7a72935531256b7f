// Inside the registry: the store of one root and the helpers its modules share
// (names and paths, where the store files live, the layout). Not for callers
// outside src/platform/registry; they use registry.h.
#pragma once

#include <ctime>
#include <functional>
#include <mutex>
#include <sqlite3.h>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

#include "platform/registry/registry.h"

namespace ztbase::registry {

constexpr size_t kMaxNameLength = 255;
constexpr int kBusyTimeoutMs = 15000;
constexpr int kSchemaVersion = 3;
// The oldest layout a process that may not write the store still reads.
constexpr int kReadableVersion = 2;

// Names and paths (registry.cpp).

// Splits a key path into its names; TooDeep beyond kMaxDepth levels.
Status split_path(std::string_view path, std::vector<std::string_view> &parts);
bool valid_value_name(std::string_view name);
int64_t now_ns();
// The status of an SQLite result code.
Status status_of(int rc);
// Simple Unicode case folding, code point by code point, as the names are
// compared; bytes that are not UTF-8 stay as they are (ASCII letters folded).
std::string fold_name(std::string_view name);
// zt_fold(text) in SQL: fold_name.
void sql_fold(sqlite3_context *ctx, int, sqlite3_value **argv);

// Where the stores live (registry_files.cpp).

// Creates a directory and its missing parents with `mode`, whatever the umask.
bool make_directories(const std::string &dir, mode_t mode, const char *tag);
// Makes a file SQLite will use with `mode` (the WAL files take the mode of the
// store file); an existing file is left as it is.
bool make_file(const std::string &file, mode_t mode, const char *tag);
// True when no link on the way to `path` belongs to a user other than this
// one and root: another user's link could point this process at files it
// must not touch (and have them made private below). A part not made yet is
// fine: this process makes it.
bool trusted_path(const std::string &path, int links = 0);
// A current user's store made before it was kept private becomes private;
// links are not followed.
void make_private(const std::string &dir, const std::string &file);
// The URI that opens `file` as an immutable database.
std::string uri_of(const std::string &file);
bool exists(const std::string &file);

// The store (registry_store.cpp).

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
// A writer's turn at a store: writers of every process take it one at a
// time, in the order they asked, so no write fails for contention while
// others make progress; a turn not given within the busy timeout is Busy.
class Turn {
  public:
    Turn() = default;
    ~Turn();
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;
    Status take(Root root, const char *tag);

  private:
    void *page_ = nullptr;
};

class Store {
  public:
    static Store &of(Root root);

    // A fork while another thread is inside the store would leave the
    // child a locked mutex (a hang at its first call) and half-changed state:
    // fork waits for the stores to be idle, and the child starts them afresh.
    static void before_fork();
    static void after_fork_in_parent();
    static void after_fork_in_child();

    // Runs fn with an open database inside one transaction of `mode` under the
    // store's lock. A busy store (other writers, a peer's crash being
    // recovered, a replaced file) is waited out within the busy timeout;
    // nothing fn did in a failed attempt stays.
    Status run(Mode mode, const char *tag, const std::function<Status(Store &)> &fn);

    // Closes the connection (checkpointing what it wrote into the store file).
    void close();

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
    sqlite3_stmt *prepare(const char *sql);
    Status prepare_status() const { return prepare_status_; }

    // The status of a failed SQLite call, logged unless it is a busy state
    // that the caller waits out.
    Status fail(const char *tag, int rc);

    Status exec(const char *tag, const char *sql);

    // Resolves (and with `create` makes) the keys of a path; Ok with the id.
    Status resolve(const char *tag, std::string_view path, bool create, int64_t &id);

    // Moves a key's last-write time forward; NotFound when the key is gone.
    Status touch(const char *tag, int64_t id);

    sqlite3 *db() { return db_; }
    const std::string &file() const { return file_; }
    Root root() const { return root_; }

    // After a restore: the next call checks the layout afresh.
    void reopen_later() { broken_ = true; }

  private:
    explicit Store(Root root) : root_(root) {}

    static timespec monotonic();
    static long elapsed_ms(const timespec &since);

    // One statement without results, prepared once.
    Status step(const char *tag, const char *sql);

    Status begin(Mode mode, const char *tag);

    Status end(Mode mode, Status s, const char *tag);

    void drop();

    // True when the file at `file` is no longer the one this connection has
    // open (replaced or removed), or when a store read as an immutable file
    // has got its write-ahead log back.
    bool stale(const std::string &file);

    Status connect(Mode mode, const char *tag);

    static Status foreign_directory(const std::string &dir, const char *tag);

    Status open_file(const std::string &dir, const std::string &file, Mode mode, const char *tag);

    void prepare_session();

    // Reads the layout of the store; makes or upgrades it only when needed,
    // so that readers never take the write lock.
    Status check_layout(Mode mode, const char *tag);

    Status read_layout(const char *tag, int &tables, int &version);

    // Switching to WAL takes an exclusive lock that the busy handler does not
    // always wait for; the caller's busy loop tries again.
    Status wal_mode(const char *tag);

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

} // namespace ztbase::registry
