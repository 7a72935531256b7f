// The store as operators and other processes meet it: a writer holding its
// transaction, users without write access, files copied and replaced, peers
// killed mid-write, and the modes of the files.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sqlite3.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry/registry_store.h"
#include "registry_fixture.h"

namespace {

using namespace ztbase::registry;
using zt::test::Registry;
using zt::test::spawn;
using zt::test::wait_ok;

constexpr const char kConfig[] = "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Config";

// A process that holds the store's write lock, as a writer in the middle of
// its transaction does, until the holder goes out of scope.
class LockHolder {
  public:
    explicit LockHolder(const std::string &file) {
        EXPECT_EQ(pipe(ready_), 0);
        EXPECT_EQ(pipe(release_), 0);
        pid_ = spawn([&] {
            close(ready_[0]);
            close(release_[1]);
            sqlite3 *db = nullptr;
            if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
                sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
                return 1;
            char c = 0;
            if (write(ready_[1], "l", 1) != 1)
                return 2;
            (void)!read(release_[0], &c, 1); // until the parent lets go
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            return 0;
        });
        close(ready_[1]);
        close(release_[0]);
        char c = 0;
        locked_ = read(ready_[0], &c, 1) == 1;
    }
    ~LockHolder() {
        close(release_[1]);
        close(ready_[0]);
        EXPECT_EQ(wait_ok(pid_), 0);
    }
    bool locked() const { return locked_; }

  private:
    int ready_[2], release_[2];
    pid_t pid_ = -1;
    bool locked_ = false;
};

TEST_F(Registry, NewProcessesReadWhileAWriterHoldsTheLock) {
    Key key = make(kConfig);
    ASSERT_EQ(key.set(Value::sz("SERVER", "master")), Status::Ok);
    close_all();
    LockHolder holder(db_file());
    ASSERT_TRUE(holder.locked());
    // A process starting now (no connection yet) reads at once; were it to
    // take the write lock, it would wait out the busy timeout and fail.
    pid_t reader = spawn([] {
        Key mine;
        Value v;
        if (Key::open(Root::LocalMachine, kConfig, mine) != Status::Ok)
            return 1;
        return mine.query("server", v) == Status::Ok && v.text() == "master" ? 0 : 2;
    });
    EXPECT_EQ(wait_ok(reader), 0);
}

// A user's process reads the machine's store after every writer has closed
// it: with the log files left in place, and without them (a store closed
// before the files were kept, or copied without them).
TEST_F(Registry, ReaderWithoutWriteAccessReadsAClosedStore) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a reader as another user";
    for (bool remove_logs : {false, true}) {
        SCOPED_TRACE(remove_logs ? "log files removed" : "log files kept");
        Key key = make(kConfig);
        ASSERT_EQ(key.set(Value::sz("SERVER", "first")), Status::Ok);
        close_all();
        open_to_all();
        if (remove_logs) {
            ASSERT_EQ(unlink((db_file() + "-wal").c_str()), 0);
            ASSERT_EQ(unlink((db_file() + "-shm").c_str()), 0);
        }
        int to_child[2], to_parent[2];
        ASSERT_EQ(pipe(to_child), 0);
        ASSERT_EQ(pipe(to_parent), 0);
        pid_t reader = spawn([&] {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                return 10;
            Key mine;
            Value v;
            if (Key::open(Root::LocalMachine, kConfig, mine) != Status::Ok ||
                mine.query("SERVER", v) != Status::Ok || v.text() != "first")
                return 11;
            if (mine.set(Value::sz("SERVER", "mine")) != Status::ReadOnly)
                return 12;
            char c = 0;
            if (write(to_parent[1], "r", 1) != 1 || read(to_child[0], &c, 1) != 1)
                return 13;
            // root's later change is seen
            return mine.query("SERVER", v) == Status::Ok && v.text() == "second" ? 0 : 14;
        });
        close(to_parent[1]);
        close(to_child[0]);
        char c = 0;
        if (read(to_parent[0], &c, 1) == 1) {
            EXPECT_EQ(key.set(Value::sz("SERVER", "second")), Status::Ok);
            close_all();
            EXPECT_EQ(write(to_child[1], "w", 1), 1);
        }
        close(to_child[1]);
        close(to_parent[0]);
        EXPECT_EQ(wait_ok(reader), 0);
        ASSERT_EQ(Key::remove_tree(Root::LocalMachine, "SOFTWARE"), Status::Ok);
    }
}

// What a process committed is in the store file once it has exited, so that
// a copy of that file alone holds it.
TEST_F(Registry, CommittedDataIsInTheStoreFileAfterExit) {
    make(kConfig); // this process keeps the store open meanwhile
    pid_t writer = fork();
    if (writer == 0) {
        Key mine;
        if (Key::open(Root::LocalMachine, kConfig, mine) != Status::Ok ||
            mine.set(Value::dword("VERBOSE", 5)) != Status::Ok)
            _exit(1);
        exit(0); // a normal exit: the exit routines close the store
    }
    ASSERT_EQ(wait_ok(writer), 0);
    const std::string copy = root_.path() + "/copy";
    std::filesystem::create_directories(copy);
    std::filesystem::copy_file(db_file(), copy + "/registry.db");
    setenv("ZT_REGISTRY", copy.c_str(), 1);
    Key key;
    Value v;
    ASSERT_EQ(Key::open(Root::LocalMachine, kConfig, key), Status::Ok);
    ASSERT_EQ(key.query("VERBOSE", v), Status::Ok);
    EXPECT_EQ(v.number(), 5u);
}

// An operator moves another store file over the one a running process uses:
// the process reads the new file and its writes land there.
TEST_F(Registry, AReplacedStoreFileIsReopened) {
    Key key = make(kConfig);
    ASSERT_EQ(key.set(Value::sz("SERVER", "old")), Status::Ok);
    const std::string mine = root_directory(Root::LocalMachine);
    const std::string other = root_.path() + "/other";
    setenv("ZT_REGISTRY", other.c_str(), 1);
    Key there = make(kConfig);
    ASSERT_EQ(there.set(Value::sz("SERVER", "new")), Status::Ok);
    close_all();
    setenv("ZT_REGISTRY", mine.c_str(), 1);
    Value v;
    ASSERT_EQ(key.query("SERVER", v), Status::Ok); // the old file, still open
    ASSERT_EQ(rename((other + "/registry.db").c_str(), db_file().c_str()), 0);

    Key reopened;
    ASSERT_EQ(Key::open(Root::LocalMachine, kConfig, reopened), Status::Ok);
    ASSERT_EQ(reopened.query("SERVER", v), Status::Ok);
    EXPECT_EQ(v.text(), "new");
    ASSERT_EQ(reopened.set(Value::sz("PORT", "13724")), Status::Ok);
    pid_t reader = spawn([] {
        Key k;
        Value got;
        return Key::open(Root::LocalMachine, kConfig, k) == Status::Ok &&
                       k.query("PORT", got) == Status::Ok && got.text() == "13724"
                   ? 0
                   : 1;
    });
    EXPECT_EQ(wait_ok(reader), 0);
}

// Writers killed with SIGKILL in the middle of their writes leave locks and
// logs to recover; the writers that live on never see a failure.
// Six writers and a seventh killed every 50 ms: writers take turns, so no
// write waits out the busy limit while the others progress.
TEST_F(Registry, WritersTakeTurnsWhileAPeerIsKilledAgainAndAgain) {
    make("SOFTWARE\\Turns");
    close_all();
    auto writer = [](int id, int count) {
        return [id, count] {
            Key k;
            if (Key::open(Root::LocalMachine, "SOFTWARE\\Turns", k) != Status::Ok)
                return 1;
            for (int i = 0; count < 0 || i < count; ++i) {
                const Status s =
                    k.set(Value::dword("w" + std::to_string(id) + "-" + std::to_string(i % 20),
                                       static_cast<uint32_t>(i)));
                if (s != Status::Ok)
                    return s == Status::Busy ? 3 : 2;
            }
            return 0;
        };
    };
    std::vector<pid_t> writers;
    for (int w = 0; w < 6; ++w)
        writers.push_back(spawn(writer(w, 300)));
    pid_t victim = spawn(writer(99, -1));
    std::vector<int> results;
    for (size_t done = 0; done < writers.size();) {
        usleep(50000);
        kill(victim, SIGKILL);
        wait_ok(victim);
        victim = spawn(writer(99, -1));
        for (pid_t &w : writers) {
            int status = 0;
            if (w > 0 && waitpid(w, &status, WNOHANG) == w) {
                results.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128);
                w = -1;
                ++done;
            }
        }
    }
    kill(victim, SIGKILL);
    wait_ok(victim);
    EXPECT_EQ(results, std::vector<int>(6, 0));
}

TEST_F(Registry, WritersSurvivePeersKilledMidWrite) {
    make("SOFTWARE\\Crash");
    close_all();
    auto writer = [](const std::string &prefix, int count) {
        return [prefix, count] {
            Key k;
            if (Key::open(Root::LocalMachine, "SOFTWARE\\Crash", k) != Status::Ok)
                return 1;
            for (int i = 0; count < 0 || i < count; ++i)
                if (k.set(Value::dword(prefix + std::to_string(i % 50),
                                       static_cast<uint32_t>(i))) != Status::Ok)
                    return 2;
            return 0;
        };
    };
    constexpr int kSurvivors = 3, kWrites = 400;
    std::vector<pid_t> survivors, victims;
    for (int s = 0; s < kSurvivors; ++s)
        survivors.push_back(spawn(writer("s" + std::to_string(s) + "-", kWrites)));
    for (int v = 0; v < 3; ++v)
        victims.push_back(spawn(writer("v" + std::to_string(v) + "-", -1)));
    // Kill and replace victims until every survivor is done.
    std::vector<int> results;
    unsigned seed = 7;
    for (size_t done = 0; done < survivors.size();) {
        usleep(1000 + rand_r(&seed) % 15000); // pacing only
        pid_t &victim = victims[rand_r(&seed) % victims.size()];
        kill(victim, SIGKILL);
        wait_ok(victim);
        victim = spawn(writer("v-", -1));
        for (pid_t &s : survivors) {
            int status = 0;
            if (s > 0 && waitpid(s, &status, WNOHANG) == s) {
                results.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128);
                s = -1;
                ++done;
            }
        }
    }
    for (pid_t victim : victims) {
        kill(victim, SIGKILL);
        wait_ok(victim);
    }
    EXPECT_EQ(results, std::vector<int>(kSurvivors, 0));
    Key key;
    ASSERT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\Crash", key), Status::Ok);
    for (int s = 0; s < kSurvivors; ++s) {
        Value v;
        ASSERT_EQ(key.query("s" + std::to_string(s) + "-" + std::to_string((kWrites - 1) % 50), v),
                  Status::Ok);
        EXPECT_EQ(v.number(), static_cast<uint32_t>(kWrites - 1));
    }
}

// An export reads one snapshot while another process adds and deletes keys
// in the tree it walks.
TEST_F(Registry, ExportWhileAnotherProcessChangesTheTree) {
    make("SOFTWARE\\Busy\\Stable");
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    pid_t changer = spawn([&] {
        close(stop[1]);
        fcntl(stop[0], F_SETFL, O_NONBLOCK);
        char c;
        for (int i = 0; read(stop[0], &c, 1) != 0; ++i) {
            const std::string path = "SOFTWARE\\Busy\\k" + std::to_string(i % 7) + "\\sub";
            Key k;
            if (Key::create(Root::LocalMachine, path, k) != Status::Ok ||
                k.set(Value::dword("n", static_cast<uint32_t>(i))) != Status::Ok ||
                Key::remove_tree(Root::LocalMachine,
                                 "SOFTWARE\\Busy\\k" + std::to_string((i + 3) % 7)) ==
                    Status::Unavailable)
                return 1;
        }
        return 0;
    });
    close(stop[0]);
    for (int i = 0; i < 300; ++i) {
        std::string text;
        ASSERT_EQ(export_text(Root::LocalMachine, "SOFTWARE\\Busy", text), Status::Ok) << i;
        ASSERT_NE(text.find("[SOFTWARE\\\\Busy\\\\Stable]"), std::string::npos);
    }
    close(stop[1]);
    EXPECT_EQ(wait_ok(changer), 0);
}

mode_t mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A user's own store is private to that user whatever the umask; the
// machine's store is readable by all.
TEST_F(Registry, StoreFilesGetTheirModes) {
    const mode_t old_umask = umask(077);
    make(kConfig, Root::LocalMachine);
    umask(022);
    make(kConfig, Root::CurrentUser);
    umask(old_umask);
    const struct {
        Root root;
        mode_t dir, file;
    } cases[] = {{Root::LocalMachine, 0755, 0644}, {Root::CurrentUser, 0700, 0600}};
    for (const auto &c : cases) {
        const std::string dir = root_directory(c.root);
        SCOPED_TRACE(dir);
        EXPECT_EQ(mode_of(dir), c.dir);
        for (const char *name : {"/registry.db", "/registry.db-wal", "/registry.db-shm"})
            EXPECT_EQ(mode_of(dir + name), c.file) << name;
    }

    // a store made before it was kept private becomes private when opened
    close_all();
    const std::string user = root_directory(Root::CurrentUser);
    chmod(user.c_str(), 0755);
    chmod((user + "/registry.db").c_str(), 0644);
    Key key;
    ASSERT_EQ(Key::open(Root::CurrentUser, kConfig, key), Status::Ok);
    EXPECT_EQ(mode_of(user), 0700u);
    EXPECT_EQ(mode_of(user + "/registry.db"), 0600u);
}

// A process whose current user's store lies behind another user's link, or in
// another user's directory, neither follows the links there nor makes what it
// finds private: that other user could aim it at the machine's store or at
// any file of the process's own user.
TEST_F(Registry, UserStoreBehindAnotherUsersLinkIsNotUsed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to plant another user's links";
    make(kConfig, Root::LocalMachine);
    close_all();
    const std::string machine = root_directory(Root::LocalMachine);
    const std::string mine = root_.path() + "/mine.txt";
    zt::test::write_file(mine, "mine");
    chmod(mine.c_str(), 0644);
    const std::string other = root_.path() + "/other";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    ASSERT_EQ(symlink(machine.c_str(), (other + "/to-machine").c_str()), 0);
    ASSERT_EQ(mkdir((other + "/store").c_str(), 0755), 0);
    ASSERT_EQ(symlink(mine.c_str(), (other + "/store/registry.db").c_str()), 0);
    for (const std::string &f :
         {other, other + "/to-machine", other + "/store", other + "/store/registry.db"})
        ASSERT_EQ(lchown(f.c_str(), 65534, 65534), 0) << f;
    ASSERT_EQ(symlink(machine.c_str(), (root_.path() + "/own-link").c_str()), 0);

    const struct {
        std::string dir;
        Status expected;
    } cases[] = {
        {other + "/to-machine", Status::Unavailable}, // their link to the machine's store
        {other + "/store", Status::Unavailable},      // their directory, their link in it
        {root_.path() + "/own-link", Status::Ok},     // a link of this user's own
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dir);
        setenv("ZT_REGISTRY_USER", c.dir.c_str(), 1);
        Key key;
        EXPECT_EQ(Key::open(Root::CurrentUser, kConfig, key), c.expected);
        close_all();
        if (c.expected == Status::Ok)
            continue;
        EXPECT_EQ(mode_of(machine), 0755u);
        EXPECT_EQ(mode_of(machine + "/registry.db"), 0644u);
        EXPECT_EQ(mode_of(mine), 0644u);
    }
}

TEST_F(Registry, CurrentUserStoreWithoutHomeComesFromThePasswdEntry) {
    unsetenv("HOME");
    unsetenv("ZT_REGISTRY_USER");
    // As another user where we can: root's home would hide a fixed "/root".
    pid_t child = spawn([] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            return 10;
        struct passwd *pw = getpwuid(geteuid());
        if (pw == nullptr)
            return 11;
        return root_directory(Root::CurrentUser) == std::string(pw->pw_dir) + "/.quill/registry"
                   ? 0
                   : 12;
    });
    EXPECT_EQ(wait_ok(child), 0);
}

// Runs SQL on a copy of a store with plain SQLite, as someone preparing a file
// for an operator to restore would.
void doctor(const std::string &file, const std::string &sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char *error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << sql << ": " << (error != nullptr ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

// A restored copy becomes every process's store: a copy with something that
// runs inside the store's own statements, other columns or damaged pages is
// refused, and the store stays as it was.
TEST_F(Registry, RestoreRefusesCopiesThatAreNoSoundStore) {
    Key key = make(kConfig);
    for (int i = 0; i < 200; ++i) // several pages, so that one can be damaged
        ASSERT_EQ(key.set(Value::sz("v" + std::to_string(i), std::string(100, 'x'))), Status::Ok);
    const std::string good = root_.path() + "/good.db";
    ASSERT_EQ(backup(Root::LocalMachine, good), Status::Ok);
    ASSERT_EQ(key.set(Value::sz("SERVER", "live")), Status::Ok);

    struct Case {
        const char *what;
        std::string sql, then; // then: in a connection that reads the changed schema
    };
    const Case cases[] = {
        {"a trigger that swallows writes",
         "CREATE TRIGGER t BEFORE INSERT ON vals BEGIN SELECT RAISE(IGNORE); END", ""},
        {"a view", "CREATE VIEW v AS SELECT 1", ""},
        {"a renamed column", "ALTER TABLE keys RENAME COLUMN name TO nm", ""},
        {"a computed column", "ALTER TABLE vals ADD COLUMN x AS (1)", ""},
        {"a name that is NULL",
         "PRAGMA writable_schema=1; UPDATE sqlite_master SET sql = replace(sql, 'name TEXT NOT "
         "NULL', 'name TEXT') WHERE name = 'keys'",
         "INSERT INTO keys(parent, name, last_write, fold) VALUES(0, NULL, 0, 'x')"},
    };
    const std::string copy = root_.path() + "/copy.db";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::copy_file(good, copy, std::filesystem::copy_options::overwrite_existing);
        doctor(copy, c.sql);
        if (!c.then.empty())
            doctor(copy, c.then);
        EXPECT_EQ(restore(Root::LocalMachine, copy), Status::Corrupt);
    }
    {
        SCOPED_TRACE("a damaged page");
        std::string bytes = zt::test::read_file(good);
        ASSERT_GT(bytes.size(), 4096u * 4);
        bytes.replace(4096 * 3 + 8, 200, std::string(200, '\xff'));
        zt::test::write_file(copy, bytes);
        EXPECT_EQ(restore(Root::LocalMachine, copy), Status::Corrupt);
    }
    Value v;
    ASSERT_EQ(key.query("SERVER", v), Status::Ok);
    EXPECT_EQ(v.text(), "live");

    // a copy of a store of the first layout is still taken, and upgraded
    doctor(copy + "1", "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER REFERENCES "
                       "keys(id) ON DELETE CASCADE, name TEXT NOT NULL COLLATE NOCASE, "
                       "last_write INTEGER NOT NULL, UNIQUE(parent, name));"
                       "CREATE TABLE vals(key INTEGER NOT NULL REFERENCES keys(id) ON DELETE "
                       "CASCADE, seq INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE, type "
                       "INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name)) WITHOUT "
                       "ROWID;"
                       "INSERT INTO keys VALUES(0, NULL, '', 0), (1, 0, 'Old', 5);"
                       "INSERT INTO vals VALUES(1, 1, 'Name', 1, 'kept');");
    ASSERT_EQ(restore(Root::LocalMachine, copy + "1"), Status::Ok);
    Key old;
    ASSERT_EQ(Key::open(Root::LocalMachine, "OLD", old), Status::Ok);
    ASSERT_EQ(old.query("name", v), Status::Ok);
    EXPECT_EQ(v.text(), "kept");
}

} // namespace

namespace {

// What a query of one number answers on a store file.
int64_t number_in(const std::string &file, const char *sql) {
    sqlite3 *db = nullptr;
    sqlite3_stmt *st = nullptr;
    int64_t n = -1;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    sqlite3_close_v2(db);
    return n;
}

TEST_F(Registry, AStoreWithoutTheEnumerationIndexIsReadAndUpgraded) {
    Key key = make("SOFTWARE\\Order");
    for (const char *name : {"b", "a"})
        ASSERT_EQ(key.set(Value::sz(name, name)), Status::Ok);
    close_all();
    doctor(db_file(), "DROP INDEX vals_seq; PRAGMA user_version = 2;");
    ASSERT_EQ(number_in(db_file(), "SELECT user_version FROM pragma_user_version"), 2);
    ASSERT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\Order", key), Status::Ok);
    ASSERT_EQ(key.set(Value::sz("c", "c")), Status::Ok);
    std::vector<Value> values;
    ASSERT_EQ(key.values(values), Status::Ok);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name + values[1].name + values[2].name, "bac");
    close_all();
    EXPECT_EQ(number_in(db_file(), "SELECT user_version FROM pragma_user_version"), 3);
    EXPECT_EQ(number_in(db_file(), "SELECT count(*) FROM sqlite_master WHERE name = 'vals_seq'"),
              1);
}

} // namespace

// What may stand at the turnstile's name, and who may hold it: a writer in a
// fresh process is never held up by a file it cannot trust or by another
// process holding the file's lock, and nothing outside the store is touched.
TEST_F(Registry, AWriterIsNotHeldByWhatStandsAtTheTurnstilesName) {
    make("SOFTWARE\\Turns");
    close_all();
    const std::string turn = root_directory(Root::LocalMachine) + "/registry.db-turn";
    const std::string outside = root_.path() + "/outside";
    struct Case {
        const char *what;
        std::function<pid_t()> plant; // a process that must stay alive, or -1
    };
    // A process holding its turn in the turnstile; the file then loosened.
    auto holder_of_turn = [&](mode_t mode) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t pid = spawn([&] {
            Turn t;
            if (t.take(Root::LocalMachine, "test") != Status::Ok)
                return 1;
            (void)!write(ready[1], "t", 1);
            pause();
            return 0;
        });
        char c;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        close(ready[1]);
        chmod(turn.c_str(), mode);
        return pid;
    };
    // A process holding the file lock of the turnstile, as anyone who may read it can.
    auto file_lock_holder = [&] {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t pid = spawn([&] {
            int fd = open(turn.c_str(), O_RDONLY | O_CREAT, 0644);
            if (fd < 0 || flock(fd, LOCK_EX) != 0)
                return 1;
            (void)!write(ready[1], "l", 1);
            pause();
            return 0;
        });
        char c;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        close(ready[1]);
        return pid;
    };
    const std::vector<Case> cases = {
        {"another process holding the lock of a new file", [&] { return file_lock_holder(); }},
        {"another process holding the lock of a turnstile in use",
         [&] {
             EXPECT_EQ(wait_ok(spawn([] {
                           Turn t;
                           return t.take(Root::LocalMachine, "test") == Status::Ok ? 0 : 1;
                       })),
                       0);
             return file_lock_holder();
         }},
        {"a turnstile everyone may write, its turn held", [&] { return holder_of_turn(0666); }},
        {"a turnstile others' group may write, its turn held",
         [&] { return holder_of_turn(0664); }},
        {"a symbolic link",
         [&] {
             zt::test::write_file(outside, "keep");
             EXPECT_EQ(symlink(outside.c_str(), turn.c_str()), 0);
             return pid_t(-1);
         }},
        {"a FIFO",
         [&] {
             EXPECT_EQ(mkfifo(turn.c_str(), 0644), 0);
             return pid_t(-1);
         }},
        {"a short file of garbage",
         [&] {
             zt::test::write_file(turn, "garbage");
             return pid_t(-1);
         }},
        {"a second name of another file",
         [&] {
             zt::test::write_file(outside, "keep");
             EXPECT_EQ(link(outside.c_str(), turn.c_str()), 0);
             return pid_t(-1);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(turn);
        std::filesystem::remove(outside);
        const pid_t planted = c.plant();
        const int written = wait_ok(spawn([] {
            alarm(5); // a writer held up dies here
            Key k;
            return Key::open(Root::LocalMachine, "SOFTWARE\\Turns", k) == Status::Ok &&
                           k.set(Value::dword("v", 1)) == Status::Ok
                       ? 0
                       : 1;
        }));
        EXPECT_EQ(written, 0);
        if (planted > 0) {
            kill(planted, SIGKILL);
            wait_ok(planted);
        }
        if (std::filesystem::exists(outside)) {
            EXPECT_TRUE(zt::test::read_file(outside) == "keep") << "the file outside was written";
        }
    }
}
