// The lock objects: one per path, arbitrating between the threads of the
// process, each backed by the lock-file lock while any thread holds it.
//
// State: UNLOCKED -> ACQUIRING -> READ_LOCKED or WRITE_LOCKED -> (RELEASING)
// -> UNLOCKED. Only the thread that moved the object to ACQUIRING or RELEASING
// touches the lock file (and handle_) until it moves the state on, so the
// mutex is never held across a wait for another process or a sleep.
// The attempts a caller grants are one budget: those spent waiting for other
// threads are gone when the lock file is tried.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "base/zt_status.h"
#include "files/filelock_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/filelock.h"

namespace fl = ztbase::filelock;
namespace status = zt::status;
using std::chrono::milliseconds;

namespace {

constexpr int kVerbose = 5; // every trace line of the lock objects
// Lock objects that keep their lock file open between holds, process-wide:
// enough for the few lock files a process takes again and again, few enough
// that a process locking thousands of paths does not run out of descriptors.
constexpr int kMaxIdleHandles = 32;
// A lock file replaced under us this many times in a row is given up.
constexpr int kMaxReopens = 8;
std::atomic<int> g_idle_handles{0};

bool valid_type(int lockType) {
    return lockType == FILELOCK_READ || lockType == FILELOCK_WRITE;
}

void sleep_interval(milliseconds interval) {
    if (interval.count() > 0)
        std::this_thread::sleep_for(interval);
}

} // namespace

FileLock::~FileLock() = default;

ThreadSafeFileLock::ThreadSafeFileLock(const std::string &path) : path_(path) {}

ThreadSafeFileLock::~ThreadSafeFileLock() {
    if (state_ == READ_LOCKED || state_ == WRITE_LOCKED)
        doReleaseLock();
    closeHandle();
}

const std::string &ThreadSafeFileLock::getLockPath() const {
    return path_;
}

ThreadSafeFileLock::State ThreadSafeFileLock::getState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

int32_t ThreadSafeFileLock::getReaders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readers_;
}

int ThreadSafeFileLock::acquire(int lockType, int attempts, milliseconds interval) {
    constexpr const char *tag = "ThreadSafeFileLock::acquire";
    const char *path = path_.c_str();
    logmsgvf(ZTLOG_DEBUG, kVerbose, tag, "Acquiring file lock on %s. lockType = %d.", path,
             lockType);
    int rc;
    if (attempts != INFINITE_ATTEMPTS && attempts < 1) {
        logmsgf(ZTLOG_ERROR, tag, "Invalid lockAttempts provided %d.", attempts);
        rc = status::kInvalidParameter;
    } else if (!valid_type(lockType)) {
        logmsgf(ZTLOG_ERROR, tag, "Invalid lockType provided %d.", lockType);
        rc = status::kInvalidParameter;
    } else {
        rc = acquireLocal(lockType, attempts, interval);
    }
    if (rc == 0)
        logmsgvf(ZTLOG_DEBUG, kVerbose, tag, "Sucessfully acquired file lock on %s. lockType = %d.",
                 path, lockType);
    else
        logmsgf(ZTLOG_ERROR, tag, "Failed to acquire file lock on %s. lockType = %d. error = %d.",
                path, lockType, rc);
    return rc;
}

// The wait for the other threads of the process (acquireReadLock and
// acquireWriteLock in one): a reader joins readers, a writer needs the object
// unlocked; the first holder takes the lock file.
int ThreadSafeFileLock::acquireLocal(int lockType, int attempts, milliseconds interval) {
    const bool write = lockType == FILELOCK_WRITE;
    int left = attempts;
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (state_ == UNLOCKED) {
            state_ = ACQUIRING;
            lock.unlock();
            const int rc = doAcquireLock(lockType, left, interval);
            lock.lock();
            if (rc == 0) {
                state_ = write ? WRITE_LOCKED : READ_LOCKED;
                readers_ = write ? 0 : 1;
            } else {
                state_ = UNLOCKED;
            }
            return rc;
        }
        if (!write && state_ == READ_LOCKED) {
            ++readers_;
            return 0;
        }
        lock.unlock();
        if (left != INFINITE_ATTEMPTS && --left < 1) {
            logmsgf(ZTLOG_ERROR, write ? "acquireWriteLock" : "acquireReadLock",
                    write ? "Write lock on %s failed. Attempts exhausted waiting for local locks."
                          : "Read lock on %s failed. Attempts exhausted waiting for local locks.",
                    path_.c_str());
            return status::kFileLockFailed;
        }
        sleep_interval(interval);
    }
}

// Runs in state ACQUIRING: takes the lock file with what is left of the budget.
// The file kept open since the last hold is used again when it can serve
// this lock type; a lock file replaced in the meantime is opened anew.
int ThreadSafeFileLock::doAcquireLock(int lockType, int attempts, milliseconds interval) {
    constexpr const char *tag = "doAcquireLock";
    const char *path = path_.c_str();
    logmsgvf(ZTLOG_DEBUG, kVerbose, tag, "Attempting OS level file lock on %s. lockType = %d.",
             path, lockType);
    if (idle_) {
        idle_ = false;
        g_idle_handles.fetch_sub(1, std::memory_order_relaxed);
    }
    if (handle_ >= 0 && lockType == FILELOCK_WRITE && !writable_)
        closeHandle();
    const fl::Wait wait = attempts == INFINITE_ATTEMPTS ? fl::Wait::Yes : fl::Wait::No;
    int reopens = 0;
    for (int left = attempts;;) {
        int os_error = 0;
        if (handle_ < 0) {
            fl::OpenFile file;
            if (!fl::open_lock_file(path, lockType, file, &os_error, tag)) {
                logmsgf(ZTLOG_ERROR, tag, "Failed to acquire lock on %s. err = %d.", path,
                        os_error);
                return status::kFileLockFailed;
            }
            handle_ = file.fd;
            writable_ = file.writable;
        }
        const fl::OpenFile file{handle_, writable_};
        const int rc = fl::lock_open_file(path, file, lockType, wait, &os_error, tag);
        if (rc == 0)
            return 0;
        if (rc == fl::kStale && ++reopens < kMaxReopens) {
            closeHandle();
            continue;
        }
        if (rc != fl::kRefused || wait == fl::Wait::Yes) {
            logmsgf(ZTLOG_ERROR, tag, "Failed to acquire lock on %s. err = %d.", path, os_error);
            closeHandle();
            return status::kFileLockFailed;
        }
        if (--left < 1) {
            logmsgf(ZTLOG_ERROR, tag,
                    "Lock on %s failed. Attempts exhausted while attempting OS file lock. "
                    "lockType = %d.",
                    path, lockType);
            closeHandle();
            return status::kFileLockFailed;
        }
        sleep_interval(interval);
    }
}

void ThreadSafeFileLock::closeHandle() {
    if (handle_ >= 0)
        close(handle_);
    handle_ = -1;
    if (idle_) {
        idle_ = false;
        g_idle_handles.fetch_sub(1, std::memory_order_relaxed);
    }
}

int ThreadSafeFileLock::release(int lockType) {
    constexpr const char *tag = "ThreadSafeFileLock::release";
    const char *path = path_.c_str();
    logmsgvf(ZTLOG_DEBUG, kVerbose, tag, "Releasing file lock on %s. lockType = %d.", path,
             lockType);
    int rc = 0;
    if (!valid_type(lockType)) {
        logmsgf(ZTLOG_ERROR, tag, "Invalid lockType provided %d.", lockType);
        rc = status::kInvalidParameter;
    } else {
        std::unique_lock<std::mutex> lock(mutex_);
        const State held = lockType == FILELOCK_WRITE ? WRITE_LOCKED : READ_LOCKED;
        if (state_ != held) {
            logmsgf(ZTLOG_ERROR, tag, "Invalid state. state = %d.", static_cast<int>(state_));
            rc = status::kFileUnlockFailed;
        } else if (held == WRITE_LOCKED || --readers_ == 0) {
            state_ = RELEASING;
            lock.unlock();
            rc = doReleaseLock();
            lock.lock();
            state_ = UNLOCKED;
        }
    }
    if (rc == 0)
        logmsgvf(ZTLOG_DEBUG, kVerbose, tag, "Sucessfully released file lock on %s. lockType = %d.",
                 path, lockType);
    else
        logmsgf(ZTLOG_ERROR, tag, "Failed to release file lock on %s. lockType = %d. error = %d.",
                path, lockType, rc);
    return rc;
}

// Runs in state RELEASING (or in the destructor): gives the lock file back
// and keeps it open for the next hold while few others are kept.
int ThreadSafeFileLock::doReleaseLock() {
    constexpr const char *tag = "doReleaseLock";
    logmsgvf(ZTLOG_DEBUG, kVerbose, tag, "Attempting OS level file unlock on %s.", path_.c_str());
    const int os_error = handle_ >= 0 ? fl::unlock_range(handle_) : EBADF;
    if (os_error != 0) {
        closeHandle(); // closing the last descriptor of the open drops its lock
        logmsgf(ZTLOG_ERROR, tag, "Failed to release lock on %s. err = %d.", path_.c_str(),
                os_error);
        return status::kFileUnlockFailed;
    }
    if (g_idle_handles.fetch_add(1, std::memory_order_relaxed) < kMaxIdleHandles) {
        idle_ = true;
    } else {
        g_idle_handles.fetch_sub(1, std::memory_order_relaxed);
        closeHandle();
    }
    return 0;
}

// Called by the manager's child-of-fork handler, the only thread there is.
// A child forked without exec holds a copy of the descriptor, and thereby the
// same open file description: locking through it would be granted while the
// parent holds the lock (an open-file-description lock never conflicts with
// itself), and a hold of one of the parent's threads would stay in the
// child's state forever. So the copy is closed (the parent's lock stays) and
// the object starts unlocked; the child takes locks of its own.
void ThreadSafeFileLock::forgetAfterFork() {
    if (handle_ >= 0)
        close(handle_);
    handle_ = -1;
    if (idle_)
        g_idle_handles.fetch_sub(1, std::memory_order_relaxed);
    idle_ = false;
    writable_ = false;
    state_ = UNLOCKED;
    readers_ = 0;
}

FileLockManager *FileLockManager::instance() {
    // Never destroyed: a thread may still release a lock while the process exits.
    static FileLockManager *const manager = [] {
        auto *m = new FileLockManager;
        pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
        return m;
    }();
    return manager;
}

// A fork while another thread is inside the manager would leave the child a
// locked mutex and perhaps a half-changed map: the fork waits for the
// manager, which is held only briefly (never across a wait, a sleep or a log
// line). A lock object's mutex guards only the state the child resets anyway,
// so it is not waited for (a process may have thousands): one that a thread
// of the parent held is made anew in the child.
void FileLockManager::beforeFork() {
    instance()->mutex_.lock();
}

void FileLockManager::afterForkInParent() {
    instance()->mutex_.unlock();
}

void FileLockManager::afterForkInChild() {
    FileLockManager *m = instance();
    for (auto &[path, lock] : m->locks_) {
        if (lock->mutex_.try_lock())
            lock->mutex_.unlock();
        else
            new (&lock->mutex_) std::mutex; // its holder is not in this process
        lock->forgetAfterFork();
    }
    m->mutex_.unlock();
}

FileLock *FileLockManager::getLock(const std::string &path) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = locks_.find(path);
    if (it != locks_.end())
        return it->second.get();
    it = locks_.emplace(path, std::make_unique<ThreadSafeFileLock>(path)).first;
    FileLock *created = it->second.get();
    lock.unlock();
    logmsgvf(ZTLOG_DEBUG, kVerbose, "FileLockManager::getLock", "Creating new FileLock for %s.",
             path.c_str());
    return created;
}

FileLockGuard::FileLockGuard(FileLock *lock, int lockType, int attempts, milliseconds interval)
    : lock_(lock), lockType_(lockType),
      status_(lock != nullptr ? lock->acquire(lockType, attempts, interval)
                              : status::kInvalidParameter) {}

FileLockGuard::~FileLockGuard() {
    if (status_ == 0)
        lock_->release(lockType_);
}

int FileLockGuard::getLockStatus() const {
    return status_;
}

extern "C" ZTBASE_API int acquireFileLock(const char *path, int lockType, int attempts,
                                          int interval_ms) {
    if (path == nullptr) {
        logmsgf(ZTLOG_ERROR, "acquireFileLock", "%s", "no path");
        return status::kInvalidParameter;
    }
    return FileLockManager::instance()->getLock(path)->acquire(lockType, attempts,
                                                               milliseconds(interval_ms));
}

extern "C" ZTBASE_API int releaseFileLock(const char *path, int lockType) {
    if (path == nullptr) {
        logmsgf(ZTLOG_ERROR, "releaseFileLock", "%s", "no path");
        return status::kInvalidParameter;
    }
    return FileLockManager::instance()->getLock(path)->release(lockType);
}
