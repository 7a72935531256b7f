// The operating-system lock on a lock file: an open-file-description lock on
// its first FILELOCK_RANGE bytes, and the holder line an exclusive holder
// writes. Sound between threads too: the lock belongs to the open, so a
// close of another descriptor of the same file (by any thread) leaves it be.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "files/filelock_internal.h"
#include "platform/posix_io.h"
#include "ztbase/debuglog.h"
#include "ztbase/filelock.h"
#include "ztbase/strings.h"

namespace ztbase::filelock {

namespace {

constexpr mode_t kLockFileMode = 0644;
// A lock file replaced under us this many times in a row is given up.
constexpr int kMaxReopens = 8;

bool valid_type(int lockType) {
    return lockType == FILELOCK_READ || lockType == FILELOCK_WRITE;
}

int set_range(int fd, short type, Wait wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = FILELOCK_RANGE;
    fl.l_pid = 0; // required for open-file-description locks
    const int cmd = wait == Wait::Yes ? F_OFD_SETLKW : F_OFD_SETLK;
    int rc;
    do
        rc = fcntl(fd, cmd, &fl);
    while (rc != 0 && errno == EINTR);
    return rc;
}

// getpid is a system call; the holder line asks for it on every write lock.
std::atomic<pid_t> g_pid{0};

void forget_pid() {
    g_pid.store(0, std::memory_order_relaxed);
}

pid_t own_pid() {
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const bool registered = pthread_atfork(nullptr, nullptr, forget_pid) == 0;
        pid = getpid();
        if (registered)
            g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// The holder line ("%010I64d %d\n" in the format this line keeps: the time and
// the holder's process id) at the start of the file. A longer line of an
// earlier holder may show through after it: the first line is the holder's.
void write_holder_line(int fd, const char *path, const char *tag) {
    char line[48];
    const int n = snprintf(line, sizeof line, "%010" PRId64 " %d\n",
                           static_cast<int64_t>(time(nullptr)), static_cast<int>(own_pid()));
    if (const int rc = ztbase::pio::pwrite_all(fd, line, static_cast<size_t>(n), 0); rc != 0)
        logmsgf(ZTLOG_WARNING, tag, "cannot write the holder line of %s: errno %d", path, rc);
}

// Whether the open file still has a name. (A path lookup would also see the
// file renamed away, but costs as much again as the lock itself.)
bool still_named(const OpenFile &file) {
    struct stat sb;
    return fstat(file.fd, &sb) == 0 && sb.st_nlink > 0;
}

} // namespace

bool open_lock_file(const char *path, int lockType, OpenFile &file, int *os_error,
                    const char *tag) {
    file = OpenFile{};
    pio::Fd fd = pio::open_shared_file(path, O_RDWR | O_CREAT, kLockFileMode);
    file.writable = true;
    if (!fd && errno == EACCES && lockType == FILELOCK_READ) {
        fd = pio::open_shared_file(path, O_RDONLY, 0); // a shared lock needs only read access
        file.writable = false;
    }
    if (!fd) {
        *os_error = errno;
        logmsgf(ZTLOG_ERROR, tag, "cannot open lock file %s: errno %d", path, *os_error);
        errno = *os_error;
        return false;
    }
    file.fd = fd.release();
    return true;
}

int lock_open_file(const char *path, const OpenFile &file, int lockType, Wait wait, int *os_error,
                   const char *tag) {
    *os_error = 0;
    if (set_range(file.fd, lockType == FILELOCK_WRITE ? F_WRLCK : F_RDLCK, wait) != 0) {
        *os_error = errno;
        if (*os_error == EAGAIN || *os_error == EACCES)
            return kRefused;
        logmsgf(ZTLOG_ERROR, tag, "cannot lock %s: errno %d", path, *os_error);
        return kCannotLock;
    }
    if (!still_named(file)) {
        logmsgvf(ZTLOG_DEBUG, 5, tag, "%s was removed or replaced while being locked", path);
        unlock_range(file.fd);
        return kStale;
    }
    if (lockType == FILELOCK_WRITE)
        write_holder_line(file.fd, path, tag);
    return 0;
}

int unlock_range(int fd) {
    return set_range(fd, F_UNLCK, Wait::No) == 0 ? 0 : errno;
}

int lock_file(const char *path, int lockType, Wait wait, int *err, int *os_error, const char *tag) {
    int dummy_err = 0, dummy_os = 0;
    err = err != nullptr ? err : &dummy_err;
    os_error = os_error != nullptr ? os_error : &dummy_os;
    *err = 0;
    *os_error = 0;
    if (path == nullptr || *path == '\0' || !valid_type(lockType) || !pio::utf8_path(path)) {
        logmsgf(ZTLOG_ERROR, tag, "invalid arguments: path %s, lockType %d",
                path != nullptr ? path : "(null)", lockType);
        *err = kCannotLock;
        *os_error = errno = EINVAL;
        return -1;
    }
    for (int round = 0; round < kMaxReopens; ++round) {
        OpenFile file;
        if (!open_lock_file(path, lockType, file, os_error, tag)) {
            *err = kCannotLock;
            return -1;
        }
        pio::Fd owned(file.fd);
        const int rc = lock_open_file(path, file, lockType, wait, os_error, tag);
        if (rc == 0)
            return owned.release();
        if (rc != kStale) {
            owned.close();
            *err = rc;
            errno = *os_error;
            return -1;
        }
    }
    logmsgf(ZTLOG_ERROR, tag, "%s keeps being replaced while it is locked", path);
    *err = kCannotLock;
    *os_error = errno = EAGAIN;
    return -1;
}

int unlock_file(int fd, int *os_error) {
    int dummy = 0;
    os_error = os_error != nullptr ? os_error : &dummy;
    *os_error = 0;
    if (fd < 0) {
        *os_error = errno = EBADF;
        return -1;
    }
    pio::Fd owned(fd);
    *os_error = unlock_range(fd);
    if (!owned.close() && *os_error == 0)
        *os_error = errno;
    if (*os_error != 0) {
        errno = *os_error;
        return -1;
    }
    return 0;
}

} // namespace ztbase::filelock

namespace fl = ztbase::filelock;

namespace {

int lock_wide(const char16_t *path, int lockType, fl::Wait wait, int *err, const char *tag) {
    char *narrow = path != nullptr ? V_StrDupWideToUTF8(path) : nullptr;
    if (narrow == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "%s", "path missing or not valid UTF-16");
        if (err != nullptr)
            *err = fl::kCannotLock;
        errno = EINVAL;
        return -1;
    }
    const int fd = fl::lock_file(narrow, lockType, wait, err, nullptr, tag);
    const int saved = errno;
    free(narrow);
    errno = saved;
    return fd;
}

int unlock_reporting(int handle, int *err, const char *tag) {
    int os_error = 0;
    const int rc = fl::unlock_file(handle, &os_error);
    if (rc != 0)
        logmsgf(ZTLOG_ERROR, tag, "cannot unlock descriptor %d: errno %d", handle, os_error);
    if (err != nullptr)
        *err = os_error;
    errno = os_error != 0 ? os_error : errno;
    return rc;
}

} // namespace

extern "C" ZTBASE_API int wait_lock(const char *path, int lockType, int *err) {
    return fl::lock_file(path, lockType, fl::Wait::Yes, err, nullptr, "wait_lock");
}

extern "C" ZTBASE_API int nowait_lock(const char *path, int lockType, int *err) {
    return fl::lock_file(path, lockType, fl::Wait::No, err, nullptr, "nowait_lock");
}

extern "C" ZTBASE_API int wait_lockW(const char16_t *path, int lockType, int *err) {
    return lock_wide(path, lockType, fl::Wait::Yes, err, "wait_lockW");
}

extern "C" ZTBASE_API int nowait_lockW(const char16_t *path, int lockType, int *err) {
    return lock_wide(path, lockType, fl::Wait::No, err, "nowait_lockW");
}

extern "C" ZTBASE_API int wait_unlock(int handle, int *err) {
    return unlock_reporting(handle, err, "wait_unlock");
}

extern "C" ZTBASE_API int nowait_unlock(int handle, int *err) {
    return unlock_reporting(handle, err, "nowait_unlock");
}

extern "C" ZTBASE_API int wait_lock_with_timeout(const char *path, int lockType, int ms, int tries,
                                                 int *err) {
    constexpr const char *tag = "wait_lock_with_timeout";
    if (tries < 1) {
        logmsgf(ZTLOG_ERROR, tag, "invalid number of tries %d", tries);
        if (err != nullptr)
            *err = fl::kCannotLock;
        errno = EINVAL;
        return -1;
    }
    int local_err = 0;
    for (int attempt = 1;; ++attempt) {
        const int fd = fl::lock_file(path, lockType, fl::Wait::No, &local_err, nullptr, tag);
        if (fd >= 0 || local_err != fl::kRefused || attempt >= tries) {
            if (err != nullptr)
                *err = fd >= 0 ? 0 : local_err;
            return fd;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms > 0 ? ms : 0));
    }
}
