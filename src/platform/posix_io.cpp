#include "platform/posix_io.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unicode/ustring.h>

#include "base/zt_status.h"

namespace ztbase::pio {

bool Fd::close() {
    if (fd_ < 0)
        return true;
    // Linux releases the descriptor even when close fails: never retry it.
    return ::close(release()) == 0;
}

namespace {

// Blocks SIGPIPE for the calling thread while alive; on EPIPE consumes the
// SIGPIPE the write raised, unless one was already pending before (that one
// belongs to the caller and stays).
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        if (!was_pending_)
            blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
    }
    ~SigpipeGuard() {
        if (!blocked_)
            return;
        if (raised_) {
            const int saved = errno;
            const timespec zero{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &zero) == -1 && errno == EINTR) {
            }
            errno = saved;
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;
    void note_epipe() { raised_ = true; }

  private:
    sigset_t pipe_, old_;
    bool was_pending_ = false, blocked_ = false, raised_ = false;
};

// Writes all n bytes through `step(from, len, written)` (one write of len bytes
// from `from`, `written` bytes already done), retrying EINTR and short writes.
template <class Step> int write_loop(const char *p, size_t n, size_t *done, Step step) {
    size_t written = 0;
    int rc = 0;
    while (written < n) {
        ssize_t w = step(p + written, n - written, written);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            rc = errno;
            break;
        }
        if (w == 0) {
            rc = kNoProgress;
            break;
        }
        written += static_cast<size_t>(w);
    }
    if (done != nullptr)
        *done = written;
    return rc;
}

} // namespace

int write_all(int fd, const void *buf, size_t n, size_t *done, Pipe pipe, WriteFn fn) {
    auto step = [fd, fn](const char *from, size_t len, size_t) {
        return fn != nullptr ? fn(fd, from, len) : ::write(fd, from, len);
    };
    const char *p = static_cast<const char *>(buf);
    if (pipe == Pipe::NoGuard)
        return write_loop(p, n, done, step);
    SigpipeGuard guard;
    int rc = write_loop(p, n, done, step);
    if (rc == EPIPE)
        guard.note_epipe();
    return rc;
}

int pwrite_all(int fd, const void *buf, size_t n, off_t offset, size_t *done) {
    return write_loop(static_cast<const char *>(buf), n, done,
                      [fd, offset](const char *from, size_t len, size_t written) {
                          return ::pwrite(fd, from, len, offset + static_cast<off_t>(written));
                      });
}

int read_all(int fd, void *buf, size_t n, size_t *got) {
    char *p = static_cast<char *>(buf);
    size_t have = 0;
    int rc = 0;
    while (have < n) {
        ssize_t r = ::read(fd, p + have, n - have);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            rc = errno;
            break;
        }
        if (r == 0)
            break;
        have += static_cast<size_t>(r);
    }
    if (got != nullptr)
        *got = have;
    return rc;
}

namespace {

Fd open_with(const char *path, int flags, mode_t mode) {
    if (path == nullptr) {
        errno = EFAULT;
        return Fd();
    }
    int fd;
    do
        fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return Fd(fd);
}

} // namespace

Fd open_fd(const char *path, int flags, mode_t mode) {
    return open_with(path, flags | O_CLOEXEC, mode);
}

Fd open_inheritable(const char *path, int flags, mode_t mode) {
    return open_with(path, flags & ~O_CLOEXEC, mode);
}

Fd open_regular_at(int dirfd, const char *name) {
    if (name == nullptr) {
        errno = EFAULT;
        return Fd();
    }
    int fd;
    do
        fd = ::openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    while (fd < 0 && errno == EINTR);
    return keep_regular(Fd(fd));
}

Fd open_directory(const char *path) {
    return open_with(path, O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW, 0);
}

Fd keep_regular(Fd fd) {
    if (!fd)
        return fd;
    struct stat sb;
    int error = 0;
    if (fstat(fd.get(), &sb) != 0)
        error = errno;
    else if (S_ISDIR(sb.st_mode))
        error = EISDIR;
    else if (!S_ISREG(sb.st_mode))
        error = EINVAL;
    else if (fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        fd.close();
        errno = error;
        return Fd();
    }
    return fd;
}

Fd open_as_given(const char *path, int flags, mode_t mode) {
    return open_with(path, flags, mode);
}

FILE *open_stream(const char *path, const char *mode) {
    return fopen(path, mode);
}

namespace {

// errno for a file the policy refuses, 0 when it is taken.
int refusal(const struct stat &sb, const ReadPolicy &policy) {
    if (S_ISREG(sb.st_mode))
        return policy.refuse_foreign && sb.st_uid != geteuid() && sb.st_uid != 0 ? EPERM : 0;
    if (S_ISDIR(sb.st_mode))
        return policy.refuse_directories ? EISDIR : 0;
    if (S_ISFIFO(sb.st_mode) || S_ISSOCK(sb.st_mode))
        return policy.refuse_fifos ? EINVAL : 0;
    if (S_ISCHR(sb.st_mode) || S_ISBLK(sb.st_mode))
        return policy.refuse_devices ? EINVAL : 0;
    return 0;
}

} // namespace

Fd open_for_reading(const char *path, const ReadPolicy &policy, OpenStep *failed) {
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (policy.refuse_links)
        flags |= O_NOFOLLOW;
    Fd fd = open_with(path, flags, 0);
    if (!fd) {
        if (failed != nullptr)
            *failed = OpenStep::Open;
        return fd;
    }
    const bool any = !policy.refuse_directories && !policy.refuse_fifos && !policy.refuse_devices &&
                     !policy.refuse_foreign;
    struct stat sb;
    int error = 0;
    if (!any && fstat(fd.get(), &sb) != 0)
        error = errno;
    else if (!any)
        error = refusal(sb, policy);
    if (error == 0 && !policy.keep_nonblocking &&
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        fd.close();
        if (failed != nullptr)
            *failed = OpenStep::Check;
        errno = error;
        return Fd();
    }
    return fd;
}

int read_regular_file(const char *path, size_t limit, std::string &out) {
    out.clear();
    Fd fd = open_regular_file(path);
    if (!fd)
        return errno;
    char buf[16384];
    for (;;) {
        size_t got = 0;
        const int rc = read_all(fd.get(), buf, sizeof buf, &got);
        if (rc != 0) {
            out.clear();
            return rc;
        }
        if (out.size() + got > limit) {
            out.clear();
            return EFBIG;
        }
        out.append(buf, got);
        if (got < sizeof buf)
            return 0;
    }
}

Fd open_shared_file(const char *path, int flags, mode_t mode) {
    Fd fd = open_with(path, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode);
    if (!fd)
        return fd;
    struct stat sb;
    int error = 0;
    if (fstat(fd.get(), &sb) != 0)
        error = errno;
    else if (S_ISDIR(sb.st_mode))
        error = EISDIR;
    else if (!S_ISREG(sb.st_mode))
        error = EINVAL;
    else if (sb.st_nlink != 1)
        error = EMLINK;
    else if (fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        fd.close();
        errno = error;
        return Fd();
    }
    return fd;
}

FILE *stream(Fd fd, const char *mode) {
    FILE *f = fdopen(fd.get(), mode);
    if (f != nullptr)
        fd.release();
    else {
        const int saved = errno;
        fd.close();
        errno = saved;
    }
    return f;
}

ssize_t read_some(int fd, void *buf, size_t n) {
    ssize_t r;
    do
        r = ::read(fd, buf, n);
    while (r < 0 && errno == EINTR);
    return r;
}

int read_to_end(int fd, std::string &out) {
    struct stat sb;
    if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_size > 0)
        out.reserve(out.size() + static_cast<size_t>(sb.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t r = read_some(fd, buf, sizeof buf);
        if (r < 0)
            return errno;
        if (r == 0)
            return 0;
        out.append(buf, static_cast<size_t>(r));
    }
}

bool pipe_like(int fd) {
    struct stat sb;
    if (fstat(fd, &sb) != 0)
        return true; // unknown: guard it
    return S_ISFIFO(sb.st_mode) || S_ISSOCK(sb.st_mode) || S_ISCHR(sb.st_mode);
}

int status_from_errno(int e, int fallback) {
    namespace st = zt::status;
    switch (e) {
    case 0:
        return st::kOk;
    case ENOENT:
    case ENOTDIR:
        return st::kNoSuchFile;
    case ENOMEM:
        return st::kNoMemory;
    case EADDRINUSE:
        return st::kAddressInUse;
    case ETIMEDOUT:
        return st::kNetworkTimeout;
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
        return st::kConnectionBroken;
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
        return st::kCannotConnect;
    default:
        return fallback;
    }
}

int crt_errno(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return ENOENT;
    case EACCES:
    case EPERM:
        return EACCES;
    default:
        return EINVAL;
    }
}

bool utf8_path(const char *path) {
    if (path == nullptr)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    int32_t units = 0;
    u_strFromUTF8(nullptr, 0, &units, path, -1, &status);
    return status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status);
}

} // namespace ztbase::pio
