// The store of one root: its connection, transactions, busy waits, layout and
// fork handling.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log_sink.h"
#include "platform/posix_io.h"
#include "platform/registry/registry_store.h"

namespace ztbase::registry {

namespace {

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
    "CREATE INDEX vals_seq ON vals(key, seq);"
    "INSERT INTO keys(id, parent, name, last_write, fold) VALUES(0, NULL, '', 0, '');"
    "PRAGMA user_version = 3;";

// A store of the first layout compared names with ASCII NOCASE only; its old
// unique constraints are weaker than the folded ones and may stay.
const char kUpgrade[] = "ALTER TABLE keys ADD COLUMN fold TEXT NOT NULL DEFAULT '';"
                        "ALTER TABLE vals ADD COLUMN fold TEXT NOT NULL DEFAULT '';"
                        "UPDATE keys SET fold = zt_fold(name);"
                        "UPDATE vals SET fold = zt_fold(name);"
                        "CREATE UNIQUE INDEX keys_fold ON keys(parent, fold);"
                        "CREATE UNIQUE INDEX vals_fold ON vals(key, fold);"
                        "PRAGMA user_version = 2;";

// The second layout found the next enumeration number of a key by reading
// all its values; the index makes each new value cost the same however many
// the key holds. Stores of the second layout are still read as they are.
const char kUpgradeSeq[] = "CREATE INDEX IF NOT EXISTS vals_seq ON vals(key, seq);"
                           "PRAGMA user_version = 3;";

} // namespace

namespace {

// The writers' turnstile of a store directory: a robust, process-shared mutex
// with priority inheritance in a small file beside the store
// ("registry.db-turn"). The kernel hands such a mutex from its owner straight
// to the writer that has waited longest (no newcomer can barge in), and a
// writer killed while it holds it gives it up (EOWNERDEAD). A store whose
// turnstile cannot be made is written without one: SQLite's own locking still
// keeps it consistent.
struct TurnPage {
    uint32_t magic;
    uint32_t size;
    pthread_mutex_t mutex;
};
constexpr uint32_t kTurnMagic = 0x7a747231; // "ztr1"

std::mutex g_turns_mutex;
struct MappedTurn {
    TurnPage *page;
    dev_t dev;
    ino_t ino;
};
// Kept for the life of the process (a few bytes per store directory used).
std::unordered_map<std::string, MappedTurn> *g_turns =
    new std::unordered_map<std::string, MappedTurn>;

// Whether the turnstile's file may be used: a regular file with one name,
// of this user, that no one else may write. Anyone who could write it could
// hold every writer's turn, or corrupt the mutex in it.
bool trusted_turn_file(const struct stat &st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The file lock under which a turnstile is made: making one takes no time,
// and anyone who may read the file may hold the lock, so a writer waits a
// second at most and then goes without.
bool lock_for_making(int fd) {
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 >=
            1000)
            return false;
        usleep(2000);
    }
}

TurnPage *map_turn(const std::string &dir, bool user, const char *tag, struct stat &st) {
    const std::string file = dir + "/registry.db-turn";
    const mode_t mode = user ? 0600 : 0644;
    // Never through a link, never blocking on a FIFO, never a second name.
    int fd = pio::open_shared_file(file.c_str(), O_RDWR | O_CREAT, mode).release();
    if (fd < 0) {
        if (errno != ENOENT && errno != EACCES && errno != EROFS)
            logsink::logf(8, 0, tag, "registry store %s: turnstile %s refused (%d)", dir.c_str(),
                          file.c_str(), errno);
        return nullptr; // no directory yet, or not ours to write
    }
    TurnPage *page = nullptr;
    if (fstat(fd, &st) == 0 && trusted_turn_file(st)) {
        void *m = MAP_FAILED;
        // A turnstile made already is used as it is: the file lock is taken
        // only to make one, so that whoever holds it cannot stop writers.
        if (st.st_size >= static_cast<off_t>(sizeof(TurnPage)))
            m = mmap(nullptr, sizeof(TurnPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (m != MAP_FAILED &&
            __atomic_load_n(&static_cast<TurnPage *>(m)->magic, __ATOMIC_ACQUIRE) == kTurnMagic)
            page = static_cast<TurnPage *>(m);
        else if (lock_for_making(fd) && fstat(fd, &st) == 0 &&
                 (st.st_size >= static_cast<off_t>(sizeof(TurnPage)) ||
                  ftruncate(fd, 4096) == 0)) {
            if (m == MAP_FAILED)
                m = mmap(nullptr, sizeof(TurnPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (m != MAP_FAILED) {
                page = static_cast<TurnPage *>(m);
                // Made under the file lock; a maker killed halfway left no magic.
                if (__atomic_load_n(&page->magic, __ATOMIC_ACQUIRE) != kTurnMagic) {
                    pthread_mutexattr_t attr;
                    pthread_mutexattr_init(&attr);
                    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
                    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
                    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
                    const int rc = pthread_mutex_init(&page->mutex, &attr);
                    pthread_mutexattr_destroy(&attr);
                    if (rc == 0) {
                        page->size = sizeof(TurnPage);
                        __atomic_store_n(&page->magic, kTurnMagic, __ATOMIC_RELEASE);
                    } else {
                        munmap(m, sizeof(TurnPage));
                        page = nullptr;
                    }
                }
            }
            flock(fd, LOCK_UN);
        } else if (m != MAP_FAILED) {
            munmap(m, sizeof(TurnPage));
        }
    }
    if (page == nullptr)
        logsink::logf(8, 0, tag, "registry store %s: writers go without a turnstile", dir.c_str());
    close(fd); // the mapping keeps what it needs
    return page;
}

} // namespace

Status Turn::take(Root root, const char *tag) {
    const std::string dir = root_directory(root);
    const bool user = root == Root::CurrentUser;
    if (user && !trusted_path(dir))
        return Status::Ok; // refused when the store is opened
    {
        std::lock_guard<std::mutex> lock(g_turns_mutex);
        struct stat now;
        const bool there = stat((dir + "/registry.db-turn").c_str(), &now) == 0;
        auto it = g_turns->find(dir);
        if (it != g_turns->end() && there && it->second.dev == now.st_dev &&
            it->second.ino == now.st_ino) {
            page_ = it->second.page;
        } else if (exists(dir)) {
            // New, or replaced (a directory made afresh): mapped again. An
            // old mapping stays; a writer may still be in its turn there.
            struct stat st;
            if (TurnPage *page = map_turn(dir, user, tag, st)) {
                (*g_turns)[dir] = MappedTurn{page, st.st_dev, st.st_ino};
                page_ = page;
            }
        }
    }
    if (page_ == nullptr)
        return Status::Ok;
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kBusyTimeoutMs / 1000;
    auto *mutex = &static_cast<TurnPage *>(page_)->mutex;
    int rc = pthread_mutex_timedlock(mutex, &deadline);
    if (rc == EOWNERDEAD) {
        // A writer was killed in its turn; SQLite rolls its transaction back.
        pthread_mutex_consistent(mutex);
        rc = 0;
#if defined(__SANITIZE_THREAD__)
        // The thread checker counts a timed lock as taken only when it
        // answers 0; this one is ours as well.
        __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
        __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock, 0);
#endif
    }
    if (rc == 0)
        return Status::Ok;
    page_ = nullptr;
    if (rc == ETIMEDOUT) {
        logsink::logf(16, 0, tag, "registry store in %s: no turn to write within %d ms",
                      dir.c_str(), kBusyTimeoutMs);
        return Status::Busy;
    }
    logsink::logf(8, 0, tag, "registry store in %s: turnstile unusable (%d); writing without",
                  dir.c_str(), rc);
    return Status::Ok;
}

Turn::~Turn() {
    if (page_ != nullptr)
        pthread_mutex_unlock(&static_cast<TurnPage *>(page_)->mutex);
}

Store &Store::of(Root root) {
    // Never destroyed: exit routines of other modules may still use them.
    static Store *machine = new Store(Root::LocalMachine);
    static Store *user = new Store(Root::CurrentUser);
    static const int forks = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    (void)forks;
    return root == Root::LocalMachine ? *machine : *user;
}

void Store::before_fork() {
    of(Root::LocalMachine).mutex_.lock();
    of(Root::CurrentUser).mutex_.lock();
}

void Store::after_fork_in_parent() {
    of(Root::CurrentUser).mutex_.unlock();
    of(Root::LocalMachine).mutex_.unlock();
}

void Store::after_fork_in_child() {
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

Status Store::run(Mode mode, const char *tag, const std::function<Status(Store &)> &fn) {
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
    // Writers take their turn first: one at a time, in the order they came.
    const bool writes = mode != Mode::Read && mode != Mode::Snapshot;
    Turn turn;
    if (writes) {
        Status s = turn.take(root_, tag);
        if (s != Status::Ok)
            return s;
    }
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

void Store::close() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (depth_ == 0)
        drop();
}

sqlite3_stmt *Store::prepare(const char *sql) {
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

Status Store::fail(const char *tag, int rc) {
    Status s = status_of(rc);
    if (s != Status::Busy)
        logsink::logf(16, 0, tag, "registry store %s: %s (%d)", file_.c_str(),
                      db_ != nullptr ? sqlite3_errmsg(db_) : "not open", rc);
    if (s == Status::Corrupt || rc == SQLITE_READONLY_DBMOVED)
        broken_ = true; // the next call looks at the file afresh
    return s;
}

Status Store::exec(const char *tag, const char *sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? Status::Ok : fail(tag, rc);
}

Status Store::resolve(const char *tag, std::string_view path, bool create, int64_t &id) {
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
        sqlite3_bind_text(ins, 4, folded.data(), static_cast<int>(folded.size()), SQLITE_STATIC);
        rc = sqlite3_step(ins);
        if (rc != SQLITE_DONE)
            return fail(tag, rc);
        id = sqlite3_last_insert_rowid(db_);
    }
    return Status::Ok;
}

Status Store::touch(const char *tag, int64_t id) {
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

timespec Store::monotonic() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

long Store::elapsed_ms(const timespec &since) {
    timespec now = monotonic();
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

Status Store::step(const char *tag, const char *sql) {
    Stmt st(prepare(sql));
    if (st == nullptr)
        return prepare_status_;
    int rc = sqlite3_step(st);
    return rc == SQLITE_DONE ? Status::Ok : fail(tag, rc);
}

Status Store::begin(Mode mode, const char *tag) {
    if (mode == Mode::Plain || mode == Mode::Read)
        return Status::Ok;
    return step(tag, mode == Mode::Snapshot ? "BEGIN" : "BEGIN IMMEDIATE");
}

Status Store::end(Mode mode, Status s, const char *tag) {
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

void Store::drop() {
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

bool Store::stale(const std::string &file) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_)
        return true;
    return immutable_ && exists(file + "-wal");
}

Status Store::connect(Mode mode, const char *tag) {
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
        logsink::logf(16, 0, tag, "registry store %s is read-only for this process", file.c_str());
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

Status Store::foreign_directory(const std::string &dir, const char *tag) {
    logsink::logf(16, 0, tag,
                  "registry store directory %s belongs to another user or is reached "
                  "through another user's link; not used",
                  dir.c_str());
    return Status::Unavailable;
}

Status Store::open_file(const std::string &dir, const std::string &file, Mode mode,
                        const char *tag) {
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
    int rc =
        sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
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

void Store::prepare_session() {
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

Status Store::check_layout(Mode mode, const char *tag) {
    int tables = 0, version = 0;
    Status s = read_layout(tag, tables, version);
    if (s == Status::Unavailable && readonly_ && !immutable_) {
        // The log files cannot be made here (a directory this process
        // may not write, a read-only file system): the store was closed
        // cleanly, so the file alone holds everything.
        sqlite3_close_v2(db_);
        db_ = nullptr;
        int rc =
            sqlite3_open_v2(uri_of(file_).c_str(), &db_,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
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
    if (tables == 2 && version >= kReadableVersion && readonly_)
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
    else if (s == Status::Ok && version < kSchemaVersion) {
        if (version < 2)
            s = exec(tag, kUpgrade);
        if (s == Status::Ok)
            s = exec(tag, kUpgradeSeq);
    }
    return end(Mode::Write, s, tag);
}

Status Store::read_layout(const char *tag, int &tables, int &version) {
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

Status Store::wal_mode(const char *tag) {
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

} // namespace

Status transact(Root root, const std::function<Status()> &fn) {
    return Store::of(root).run(Mode::Create, "RegTransaction", [&](Store &) { return fn(); });
}

Status read_snapshot(Root root, const std::function<Status()> &fn) {
    return Store::of(root).run(Mode::Snapshot, "RegSnapshot", [&](Store &) { return fn(); });
}

} // namespace ztbase::registry
