/* Named read/write locks on lock files. Inside a process one lock object per
 * path arbitrates between threads (many readers or one writer); between
 * processes an open-file-description lock (F_OFD_SETLK) on the first
 * FILELOCK_RANGE bytes of the lock file does the same.
 *
 * Why open-file-description locks: a classic POSIX record lock belongs to the
 * process and is dropped when the process closes *any* descriptor of the file,
 * so another thread that merely opened and closed the lock file would free it
 * behind the holder's back. An open-file-description lock belongs to the one
 * open of the lock file and ends only when that open is unlocked or its last
 * descriptor closed, or the holding process dies (kill -9 included). Two
 * lock objects of one process on the same file also exclude each other.
 *
 * Lock files are opened close-on-exec, never through a symbolic link, never
 * blocking on a FIFO, and only when they are regular files with a single name.
 * A process that forks shares the descriptors of the plain functions (and so
 * their locks) with the child: the child must not release what it did not
 * take. The manager's lock objects do not: in a child forked without exec
 * they start unlocked, their lock files closed, so the child is one more
 * process to exclude (a lock object made by the caller itself is not reset).
 *
 * Lock types: FILELOCK_READ (0, shared) and FILELOCK_WRITE (1, exclusive).
 * Statuses: 0, 9101 (failed to lock), 9102 (failed to unlock), 20 (invalid
 * argument). Every failure is logged at level 16 with the path. */
#ifndef ZTBASE_FILELOCK_H
#define ZTBASE_FILELOCK_H

#include <uchar.h>
#include <ztbase/export.h>

#define FILELOCK_READ 0
#define FILELOCK_WRITE 1
/* The bytes at the start of the lock file that the lock covers. */
#define FILELOCK_RANGE 5000

ZTBASE_BEGIN_C

/* ---- The operating-system lock on one lock file ----
 * Open or create the lock file (mode 0644 less the umask; a read lock on a
 * file this user may not write falls back to opening it read-only) and lock
 * its first FILELOCK_RANGE bytes, shared or exclusive. wait_lock waits for the
 * lock; nowait_lock fails at once when another holds it. An exclusive holder
 * writes "TTTTTTTTTT PID\n" (its time in seconds, ten digits, and its process
 * id) at the start of the file.
 * Returns the descriptor of the locked file, or -1 with *err (err may be null):
 *   -1  the file cannot be opened or locked at all (bad arguments, a path
 *       that is not UTF-8, a link or a FIFO in its place, no permission, a
 *       file system without such locks); errno tells which;
 *   -2  another open of the file holds a conflicting lock (the file is closed). */
ZTBASE_API int wait_lock(const char *path, int lockType, int *err);
ZTBASE_API int nowait_lock(const char *path, int lockType, int *err);
/* The same for a UTF-16 path. */
ZTBASE_API int wait_lockW(const char16_t *path, int lockType, int *err);
ZTBASE_API int nowait_lockW(const char16_t *path, int lockType, int *err);
/* Unlocks the range and closes the descriptor (always closed). 0, or -1 with
 * the errno value in *err (err may be null). The two are the same call. */
ZTBASE_API int wait_unlock(int handle, int *err);
ZTBASE_API int nowait_unlock(int handle, int *err);
/* Up to `tries` nowait_lock attempts, `ms` milliseconds apart, while the
 * answer is -2. Returns as nowait_lock; -1 with *err -1 (errno EINVAL) when
 * tries is less than 1. */
ZTBASE_API int wait_lock_with_timeout(const char *path, int lockType, int ms, int tries, int *err);

/* ---- The process's lock objects ----
 * acquireFileLock: the lock object of `path` (FileLockManager) acquires
 * lockType with `attempts` tries (-1: wait without limit; 0 or below -1 is
 * invalid) spaced `interval_ms` apart. One budget of attempts covers both
 * the wait for other threads and the wait for other processes. Returns 0,
 * 9101 or 20 (also for a null path).
 * releaseFileLock: gives back one hold of lockType: 0, 9102 when the object
 * does not hold that type, 20 for an invalid type or a null path. */
ZTBASE_API int acquireFileLock(const char *path, int lockType, int attempts, int interval_ms);
ZTBASE_API int releaseFileLock(const char *path, int lockType);

ZTBASE_END_C

#ifdef __cplusplus
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

/* A named read/write lock. */
class ZTBASE_API FileLock {
  public:
    static constexpr int DEFAULT_INTERVAL_MS = 10;
    static constexpr std::chrono::milliseconds DEFAULT_INTERVAL{DEFAULT_INTERVAL_MS};
    static constexpr int INFINITE_ATTEMPTS = -1;

    /* Takes the lock: 0, 9101 when it was not granted within `attempts`
     * tries `interval` apart, 20 for an invalid type or attempts. */
    virtual int acquire(int lockType, int attempts, std::chrono::milliseconds interval) = 0;
    /* Gives one hold back: 0, 9102 when that type is not held, 20 for an
     * invalid type. */
    virtual int release(int lockType) = 0;
    /* The path as the caller gave it. */
    virtual const std::string &getLockPath() const = 0;
    virtual ~FileLock();
};

/* The lock object of one path. Thread-safe: its mutex guards the state and
 * the reader count, and is never held while waiting for another process or
 * sleeping. Between holds it may keep the lock file open (unlocked) for the
 * next acquisition; a few dozen objects of the process do, the rest close it.
 * Destroying it while it holds a lock releases the lock file. */
class ZTBASE_API ThreadSafeFileLock : public FileLock {
  public:
    enum State : int32_t {
        UNLOCKED = 0,
        ACQUIRING = 1, /* one thread is taking the lock file */
        READ_LOCKED = 2,
        WRITE_LOCKED = 3,
        RELEASING = 4 /* the last holder is giving the lock file back */
    };

    explicit ThreadSafeFileLock(const std::string &path);
    ~ThreadSafeFileLock() override;
    ThreadSafeFileLock(const ThreadSafeFileLock &) = delete;
    ThreadSafeFileLock &operator=(const ThreadSafeFileLock &) = delete;

    int acquire(int lockType, int attempts, std::chrono::milliseconds interval) override;
    int release(int lockType) override;
    const std::string &getLockPath() const override;

    /* A snapshot, for reports and tests. */
    State getState() const;
    int32_t getReaders() const;

  private:
    int acquireLocal(int lockType, int attempts, std::chrono::milliseconds interval);
    int doAcquireLock(int lockType, int attempts, std::chrono::milliseconds interval);
    int doReleaseLock();

    void closeHandle();
    /* In the child of a fork: the holds and the open lock file are the
     * parent's; the child starts unlocked with its copy of the file closed. */
    void forgetAfterFork();
    friend class FileLockManager;

    std::string path_;
    State state_ = UNLOCKED;
    int32_t readers_ = 0;
    mutable std::mutex mutex_;
    /* The open lock file: locked in states 2 and 3, kept open but unlocked
     * between holds when idle_ is set. Touched only by the thread that moved
     * the state to ACQUIRING or RELEASING. */
    int handle_ = -1;
    bool writable_ = false;
    bool idle_ = false;
};

/* The process's lock objects, one per path. Paths are compared byte for byte,
 * as Linux names files: "A.lock" and "a.lock" are two files and get two
 * objects. (Two spellings of one file, such as "x//a.lock", get two objects
 * too; their lock-file locks still exclude each other.) */
class ZTBASE_API FileLockManager {
  public:
    /* Created on first use; lives as long as the process. */
    static FileLockManager *instance();
    /* The lock object of `path`, created on first use; never null. */
    FileLock *getLock(const std::string &path);

  private:
    FileLockManager() = default;
    /* A fork waits until no thread is inside the manager; the child then
     * forgets the parent's holds (see forgetAfterFork). */
    static void beforeFork();
    static void afterForkInParent();
    static void afterForkInChild();
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<ThreadSafeFileLock>> locks_;
};

/* Holds a lock for a scope: acquires at construction (status 20 when `lock`
 * is null) and releases at destruction when the acquisition succeeded. */
class ZTBASE_API FileLockGuard {
  public:
    FileLockGuard(FileLock *lock, int lockType, int attempts = FileLock::INFINITE_ATTEMPTS,
                  std::chrono::milliseconds interval = FileLock::DEFAULT_INTERVAL);
    ~FileLockGuard();
    FileLockGuard(const FileLockGuard &) = delete;
    FileLockGuard &operator=(const FileLockGuard &) = delete;
    int getLockStatus() const;

  private:
    FileLock *lock_;
    int lockType_;
    int status_;
};
#endif

#endif
