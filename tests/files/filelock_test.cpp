// File locks between threads (lock objects) and between processes (the lock
// file), with real child processes for the latter.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "ztbase/debuglog.h"
#include "ztbase/filelock.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using zt::test::read_file;

// Every log line while alive, as "tag: text"; safe across threads.
class LogLines {
  public:
    LogLines() : saved_(c_shim_mod_logging) {
        current_ = this;
        c_shim_mod_logging = &fn_;
    }
    ~LogLines() {
        c_shim_mod_logging = saved_;
        current_ = nullptr;
    }
    bool has(const std::string &text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string &l : lines_)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::string all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string out;
        for (const std::string &l : lines_)
            out += l + "\n";
        return out;
    }

  private:
    static int sink(int, int, const char *text, const char *tag) {
        if (current_ != nullptr) {
            std::lock_guard<std::mutex> lock(current_->mutex_);
            current_->lines_.push_back(std::string(tag) + ": " + text);
        }
        return 0;
    }
    static inline LogLines *current_ = nullptr;
    c_shim_logging_fn fn_ = sink;
    c_shim_logging_fn *saved_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// What another process sees: nowait_lock of lockType in a child. 0 granted,
// 2 refused, 1 failed otherwise.
int other_process_tries(const std::string &path, int lockType) {
    const pid_t pid = fork();
    if (pid == 0) {
        int err = 0;
        const int fd = nowait_lock(path.c_str(), lockType, &err);
        _exit(fd >= 0 ? 0 : err == -2 ? 2 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child that takes lockType through the lock objects, reports on a pipe,
// and holds the lock until killed (or for `hold` when given).
class Holder {
  public:
    Holder(const std::string &path, int lockType, milliseconds hold = 0ms) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            const char rc = static_cast<char>(acquireFileLock(path.c_str(), lockType, -1, 10));
            if (write(fds[1], &rc, 1) != 1)
                _exit(3);
            if (hold == 0ms)
                for (;;)
                    pause();
            std::this_thread::sleep_for(hold);
            _exit(releaseFileLock(path.c_str(), lockType) == 0 ? 0 : 1);
        }
        close(fds[1]);
        char rc = -1;
        EXPECT_EQ(read(fds[0], &rc, 1), 1);
        close(fds[0]);
        EXPECT_EQ(rc, 0) << "the child could not take the lock";
    }
    ~Holder() { kill_hard(); }
    pid_t pid() const { return pid_; }
    void kill_hard() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int wait_exit() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
};

class FileLockTest : public zt::test::ZtTest {
  protected:
    // A fresh path per test: the manager's objects live as long as the process.
    std::string lock_path(const char *name = "test.lock") const { return root() / name; }
};

TEST_F(FileLockTest, TwoReadersShareTheLockFileUntilTheLastReleases) {
    const std::string path = lock_path();
    std::atomic<int> granted{0};
    // Each has attempts to spare: one may find the other taking the lock file.
    std::thread a([&] { granted += acquireFileLock(path.c_str(), FILELOCK_READ, 5, 10) == 0; });
    std::thread b([&] { granted += acquireFileLock(path.c_str(), FILELOCK_READ, 5, 10) == 0; });
    a.join();
    b.join();
    ASSERT_EQ(granted, 2);
    auto *lock = static_cast<ThreadSafeFileLock *>(FileLockManager::instance()->getLock(path));
    EXPECT_EQ(lock->getState(), ThreadSafeFileLock::READ_LOCKED);
    EXPECT_EQ(lock->getReaders(), 2);
    EXPECT_EQ(other_process_tries(path, FILELOCK_READ), 0);
    EXPECT_EQ(other_process_tries(path, FILELOCK_WRITE), 2);
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_READ), 0);
    EXPECT_EQ(other_process_tries(path, FILELOCK_WRITE), 2); // one reader is left
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_READ), 0);
    EXPECT_EQ(lock->getState(), ThreadSafeFileLock::UNLOCKED);
    EXPECT_EQ(other_process_tries(path, FILELOCK_WRITE), 0);
}

TEST_F(FileLockTest, AWriterIsRefusedAfterItsAttemptsEachAnIntervalApart) {
    const std::string path = lock_path();
    ASSERT_EQ(acquireFileLock(path.c_str(), FILELOCK_READ, 1, 10), 0);
    LogLines log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(acquireFileLock(path.c_str(), FILELOCK_WRITE, 4, 30), 9101);
    // Four attempts, three waits between them (a lower bound only).
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
    EXPECT_TRUE(
        log.has("Write lock on " + path + " failed. Attempts exhausted waiting for local locks."))
        << log.all();
    EXPECT_TRUE(
        log.has("Failed to acquire file lock on " + path + ". lockType = 1. error = 9101."));
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_READ), 0);
    EXPECT_EQ(acquireFileLock(path.c_str(), FILELOCK_WRITE, 1, 10), 0);
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_WRITE), 0);
}

TEST_F(FileLockTest, InvalidRequestsAndReleasesOfWhatIsNotHeld) {
    const std::string path = lock_path();
    const struct {
        const char *call;
        int type, attempts;
        bool release;
        int status;
        std::string line;
    } cases[] = {
        {"attempts 0", FILELOCK_READ, 0, false, 20, "Invalid lockAttempts provided 0."},
        {"attempts -2", FILELOCK_WRITE, -2, false, 20, "Invalid lockAttempts provided -2."},
        {"type 2", 2, 1, false, 20, "Invalid lockType provided 2."},
        {"release write, unlocked", FILELOCK_WRITE, 0, true, 9102, "Invalid state. state = 0."},
        {"release read, unlocked", FILELOCK_READ, 0, true, 9102, "Invalid state. state = 0."},
        {"release type -1", -1, 0, true, 20, "Invalid lockType provided -1."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        LogLines log;
        const int rc = c.release ? releaseFileLock(path.c_str(), c.type)
                                 : acquireFileLock(path.c_str(), c.type, c.attempts, 10);
        EXPECT_EQ(rc, c.status);
        EXPECT_TRUE(log.has(c.line)) << log.all();
        const std::string failed = c.release ? "Failed to release file lock on "
                                             : "Failed to "
                                               "acquire file "
                                               "lock on ";
        EXPECT_TRUE(log.has(failed + path + ". lockType = " + std::to_string(c.type) +
                            ". error = " + std::to_string(c.status) + "."))
            << log.all();
    }
    // Held for writing: a read release is refused and the write stays held.
    ASSERT_EQ(acquireFileLock(path.c_str(), FILELOCK_WRITE, 1, 10), 0);
    LogLines log;
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_READ), 9102);
    EXPECT_TRUE(log.has("Invalid state. state = 3."));
    EXPECT_EQ(other_process_tries(path, FILELOCK_READ), 2);
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_WRITE), 0);
    EXPECT_EQ(acquireFileLock(nullptr, FILELOCK_READ, 1, 10), 20);
}

TEST_F(FileLockTest, PathsAreComparedByteForByte) {
    FileLockManager *m = FileLockManager::instance();
    const std::string upper = lock_path("Case.lock"), lower = lock_path("case.lock");
    EXPECT_EQ(m->getLock(upper), m->getLock(upper));
    EXPECT_NE(m->getLock(upper), m->getLock(lower));
    EXPECT_EQ(m->getLock(upper)->getLockPath(), upper);
    // Two files: holding one leaves the other free.
    ASSERT_EQ(acquireFileLock(upper.c_str(), FILELOCK_WRITE, 1, 10), 0);
    EXPECT_EQ(acquireFileLock(lower.c_str(), FILELOCK_WRITE, 1, 10), 0);
    EXPECT_EQ(releaseFileLock(lower.c_str(), FILELOCK_WRITE), 0);
    EXPECT_EQ(releaseFileLock(upper.c_str(), FILELOCK_WRITE), 0);
}

TEST_F(FileLockTest, ClosingAnotherDescriptorOfTheFileKeepsTheLock) {
    const std::string path = lock_path();
    ASSERT_EQ(acquireFileLock(path.c_str(), FILELOCK_WRITE, 1, 10), 0);
    // A classic record lock would be gone after this thread's close.
    std::thread([&] {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const int dup_fd = dup(fd);
        close(dup_fd);
        close(fd);
    }).join();
    EXPECT_EQ(other_process_tries(path, FILELOCK_READ), 2);
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_WRITE), 0);
    EXPECT_EQ(other_process_tries(path, FILELOCK_READ), 0);
}

TEST_F(FileLockTest, AProcessKilledWhileHoldingTheWriteLockFreesIt) {
    const std::string path = lock_path();
    Holder child(path, FILELOCK_WRITE);
    const std::regex holder_line("[0-9]{10} " + std::to_string(child.pid()) + "\n.*",
                                 std::regex::extended);
    EXPECT_TRUE(std::regex_match(read_file(path), holder_line)) << read_file(path);
    LogLines log;
    EXPECT_EQ(acquireFileLock(path.c_str(), FILELOCK_READ, 3, 10), 9101);
    EXPECT_TRUE(log.has("Lock on " + path +
                        " failed. Attempts exhausted while attempting OS file lock. lockType = 0."))
        << log.all();
    child.kill_hard();
    EXPECT_EQ(acquireFileLock(path.c_str(), FILELOCK_WRITE, 1, 10), 0);
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_WRITE), 0);
}

TEST_F(FileLockTest, AReaderInAnotherProcessBlocksAWriterUntilItLeaves) {
    const std::string path = lock_path();
    {
        Holder reader(path, FILELOCK_READ);
        EXPECT_EQ(acquireFileLock(path.c_str(), FILELOCK_READ, 1, 10), 0); // readers share
        EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_READ), 0);
        EXPECT_EQ(acquireFileLock(path.c_str(), FILELOCK_WRITE, 3, 10), 9101);
    }
    // Without a limit the writer waits for the reader to release on its own.
    Holder reader(path, FILELOCK_READ, 100ms);
    EXPECT_EQ(acquireFileLock(path.c_str(), FILELOCK_WRITE, FileLock::INFINITE_ATTEMPTS, 10), 0);
    EXPECT_EQ(reader.wait_exit(), 0);
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_WRITE), 0);
}

TEST_F(FileLockTest, ALockFileRemovedBetweenHoldsIsLockedAnew) {
    const std::string path = lock_path();
    ASSERT_EQ(acquireFileLock(path.c_str(), FILELOCK_WRITE, 1, 10), 0);
    ASSERT_EQ(releaseFileLock(path.c_str(), FILELOCK_WRITE), 0);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(acquireFileLock(path.c_str(), FILELOCK_WRITE, 1, 10), 0);
    EXPECT_EQ(other_process_tries(path, FILELOCK_READ), 2);
    EXPECT_EQ(releaseFileLock(path.c_str(), FILELOCK_WRITE), 0);
}

// A child forked without exec is another process: it neither shares the
// parent's lock file (kept open between holds) nor inherits the holds of the
// parent's threads, and a fork while other threads take locks leaves it none
// of their mutexes.
TEST_F(FileLockTest, AForkedChildIsAnotherHolder) {
    const std::string kept = lock_path("kept.lock"), held = lock_path("held.lock");
    ASSERT_EQ(acquireFileLock(kept.c_str(), FILELOCK_WRITE, 1, 10), 0);
    ASSERT_EQ(releaseFileLock(kept.c_str(), FILELOCK_WRITE), 0);
    ASSERT_EQ(acquireFileLock(held.c_str(), FILELOCK_WRITE, 1, 10), 0);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
#if defined(__SANITIZE_ADDRESS__)
        // This sanitizer's allocator is not fork-safe: a child forked while
        // this thread allocates would hang in its own first allocation.
        return;
#endif
        for (int i = 0; !stop; ++i) {
            const std::string p = lock_path(("busy" + std::to_string(i % 64)).c_str());
            if (acquireFileLock(p.c_str(), FILELOCK_READ, 1, 1) == 0)
                releaseFileLock(p.c_str(), FILELOCK_READ);
        }
    });
    int to_child[2], to_parent[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(to_parent), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10); // a mutex left locked by the busy thread would hang here
        char c = 0;
        // 'k': holds kept.lock; 'r': refused held.lock while the parent holds it.
        const bool got = acquireFileLock(kept.c_str(), FILELOCK_WRITE, 1, 10) == 0;
        const bool refused = acquireFileLock(held.c_str(), FILELOCK_WRITE, 2, 10) == 9101;
        c = static_cast<char>((got ? 1 : 0) | (refused ? 2 : 0));
        if (write(to_parent[1], &c, 1) != 1 || read(to_child[0], &c, 1) != 1)
            _exit(3);
        // The parent has released held.lock by now.
        _exit(acquireFileLock(held.c_str(), FILELOCK_WRITE, 1, 10) == 0 ? 0 : 4);
    }
    char c = 0;
    ASSERT_EQ(read(to_parent[0], &c, 1), 1);
    stop = true;
    busy.join();
    EXPECT_EQ(c, 3) << "1: child took kept.lock, 2: child was refused held.lock";
    EXPECT_EQ(acquireFileLock(kept.c_str(), FILELOCK_WRITE, 2, 10), 9101);
    EXPECT_EQ(releaseFileLock(held.c_str(), FILELOCK_WRITE), 0);
    ASSERT_EQ(write(to_child[1], &c, 1), 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]})
        close(fd);
    EXPECT_EQ(acquireFileLock(kept.c_str(), FILELOCK_WRITE, 1, 10), 0); // the child is gone
    EXPECT_EQ(releaseFileLock(kept.c_str(), FILELOCK_WRITE), 0);
}

TEST_F(FileLockTest, WritersExcludeEveryoneAcrossThreads) {
    const std::string path = lock_path();
    std::atomic<int> readers{0}, writers{0}, faults{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const int type = (i + t) % 3 == 0 ? FILELOCK_WRITE : FILELOCK_READ;
                if (acquireFileLock(path.c_str(), type, -1, 1) != 0) {
                    ++faults;
                    continue;
                }
                std::atomic<int> &mine = type == FILELOCK_WRITE ? writers : readers;
                ++mine;
                if (writers > 1 || (writers == 1 && readers > 0))
                    ++faults;
                --mine;
                if (releaseFileLock(path.c_str(), type) != 0)
                    ++faults;
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(faults, 0);
    EXPECT_EQ(other_process_tries(path, FILELOCK_WRITE), 0);
}

TEST_F(FileLockTest, GuardsAndObjectsReleaseWhatTheyHold) {
    const std::string path = lock_path();
    FileLock *lock = FileLockManager::instance()->getLock(path);
    {
        FileLockGuard guard(lock, FILELOCK_WRITE, 1);
        EXPECT_EQ(guard.getLockStatus(), 0);
        FileLockGuard refused(lock, FILELOCK_READ, 2, 1ms);
        EXPECT_EQ(refused.getLockStatus(), 9101); // and releases nothing on leaving
        EXPECT_EQ(FileLockGuard(nullptr, FILELOCK_READ).getLockStatus(), 20);
    }
    EXPECT_EQ(other_process_tries(path, FILELOCK_WRITE), 0);

    auto own = std::make_unique<ThreadSafeFileLock>(path);
    ASSERT_EQ(own->acquire(FILELOCK_WRITE, 1, FileLock::DEFAULT_INTERVAL), 0);
    EXPECT_EQ(lock->acquire(FILELOCK_READ, 1, 1ms), 9101); // two objects still exclude
    own.reset();                                           // destroyed while holding
    EXPECT_EQ(other_process_tries(path, FILELOCK_WRITE), 0);
}

TEST_F(FileLockTest, PlainLockFunctions) {
    const std::string path = lock_path();
    int err = 0;
    const int fd = wait_lock(path.c_str(), FILELOCK_WRITE, &err);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(nowait_lock(path.c_str(), FILELOCK_READ, &err), -1);
    EXPECT_EQ(err, -2);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_lock_with_timeout(path.c_str(), FILELOCK_READ, 20, 3, &err), -1);
    EXPECT_EQ(err, -2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
    EXPECT_EQ(wait_lock_with_timeout(path.c_str(), FILELOCK_READ, 20, 0, &err), -1);
    EXPECT_EQ(err, -1);
    EXPECT_EQ(wait_unlock(fd, &err), 0);
    const int wide = nowait_lockW(u"test.lock", FILELOCK_READ, &err); // relative to the cwd
    EXPECT_GE(wide, 0);
    EXPECT_EQ(nowait_unlock(wide, &err), 0);
    EXPECT_EQ(wait_unlock(-1, &err), -1);
    EXPECT_EQ(err, EBADF);

    // What must never be locked: a FIFO (no hang), a link to another file, a
    // name that is not UTF-8, a missing directory, an invalid type.
    const std::string target = lock_path("precious");
    zt::test::write_file(target, "keep me\n");
    ASSERT_EQ(symlink(target.c_str(), lock_path("sym.lock").c_str()), 0);
    ASSERT_EQ(link(target.c_str(), lock_path("hard.lock").c_str()), 0);
    ASSERT_EQ(mkfifo(lock_path("fifo.lock").c_str(), 0600), 0);
    const struct {
        std::string path;
        int type;
    } refused[] = {
        {lock_path("sym.lock"), FILELOCK_WRITE},        {lock_path("hard.lock"), FILELOCK_WRITE},
        {lock_path("fifo.lock"), FILELOCK_READ},        {lock_path("bad\xff.lock"), FILELOCK_READ},
        {lock_path("no/such/dir.lock"), FILELOCK_READ}, {path, 7}};
    for (const auto &c : refused) {
        err = 0;
        EXPECT_EQ(nowait_lock(c.path.c_str(), c.type, &err), -1) << c.path;
        EXPECT_EQ(err, -1) << c.path;
    }
    EXPECT_EQ(read_file(target), "keep me\n");
}

} // namespace
