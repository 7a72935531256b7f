// The library's one place for plain descriptor I/O: an owning descriptor,
// whole writes and reads that survive EINTR and short transfers, writes that
// cannot kill the caller with SIGPIPE, close-on-exec opens, and the mapping of
// errno values to the product's statuses.
#pragma once

#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/types.h>
#include <utility>

namespace ztbase::pio {

// Owns a descriptor and closes it once.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { close(); }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.release();
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes; false (errno set) when close reported an error, which on some
    // file systems is the first news of a failed write.
    bool close();

  private:
    int fd_ = -1;
};

// The raw write used by write_all; tests and hooks may replace it.
using WriteFn = ssize_t (*)(int fd, const void *buf, size_t len);

// What a write does about SIGPIPE. A regular file never raises it, so the
// debug log's hot path skips the two signal-mask calls the guard costs.
enum class Pipe { Guard, NoGuard };

// Returned by write_all when a write made no progress (returned 0).
constexpr int kNoProgress = -1;

// Writes all n bytes, retrying EINTR and continuing after short writes.
// Returns 0, an errno value, or kNoProgress; *done (when given) receives the
// bytes written, so that a caller can repair a partial record. With
// Pipe::Guard a reader-less pipe or socket gives EPIPE instead of killing the
// process: SIGPIPE is blocked for the write and the one it raised consumed.
// Writes all n bytes at offset `offset` of a regular file (pwrite(2), retrying
// EINTR and short writes). Returns as write_all does; *done (when given)
// receives the bytes written.
int pwrite_all(int fd, const void *buf, size_t n, off_t offset, size_t *done = nullptr);
int write_all(int fd, const void *buf, size_t n, size_t *done = nullptr, Pipe pipe = Pipe::Guard,
              WriteFn fn = nullptr);

// Reads until n bytes or end of file, retrying EINTR. Returns 0 or an errno
// value; *got receives the bytes read.
int read_all(int fd, void *buf, size_t n, size_t *got);

// open(2) with O_CLOEXEC added, retrying EINTR. Invalid with errno set on failure.
Fd open_fd(const char *path, int flags, mode_t mode = 0);
// The same without O_CLOEXEC, for descriptors children must inherit.
Fd open_inheritable(const char *path, int flags, mode_t mode = 0);
// open(2) with the caller's flags as they are, retrying EINTR: for the
// exported wrappers that hand the descriptor on.
Fd open_as_given(const char *path, int flags, mode_t mode);
// fopen(3), for the exported wrapper that hands the stream on.
FILE *open_stream(const char *path, const char *mode);

// What a reader refuses to find at the name it opens. Each family keeps its
// own rule; open_for_reading enforces them all the same way. The open never
// blocks (a FIFO without a writer would hang it); the descriptor is made
// blocking again unless keep_nonblocking.
struct ReadPolicy {
    bool refuse_links = false;      // a symbolic link at the name itself (ELOOP)
    bool refuse_directories = true; // EISDIR
    bool refuse_fifos = true;       // FIFOs and sockets: their reads may block for ever (EINVAL)
    bool refuse_devices = true;     // devices: they may never end (EINVAL)
    bool refuse_foreign = false;    // owned by neither this user nor root (EPERM)
    bool keep_nonblocking = false;  // reads of an empty FIFO end at once
};

// Only a plain file: nothing planted at the name is read.
inline constexpr ReadPolicy kRegularOnly{};
// Whatever is at the name, as a plain open would take it (but never blocking in open).
inline constexpr ReadPolicy kAnyFile{false, false, false, false, false, false};

// The step of open_for_reading that failed.
enum class OpenStep { Open, Check };

// Opens path for reading under the policy. Invalid with errno set on failure;
// *failed (when given) tells whether the open itself or the policy's check
// refused it.
Fd open_for_reading(const char *path, const ReadPolicy &policy, OpenStep *failed = nullptr);

// A regular file opened for reading. Anything else an operator may plant at
// the name (a FIFO that would block the open or the reads, a device that never
// ends, a directory) is refused: invalid, errno EINVAL or EISDIR.
inline Fd open_regular_file(const char *path) {
    return open_for_reading(path, kRegularOnly);
}

// A stdio stream over the descriptor, which it then owns; nullptr (errno set,
// the descriptor closed) on failure.
FILE *stream(Fd fd, const char *mode);

// One read(2), retrying EINTR: the bytes read, 0 at end of file, -1 with errno.
ssize_t read_some(int fd, void *buf, size_t n);

// Appends everything up to end of file to out, retrying EINTR. Returns 0 or
// an errno value; what was read before an error stays in out.
int read_to_end(int fd, std::string &out);

// The whole of a regular file (open_regular_file's rules) into out. Returns 0,
// the errno value of the failed open or read, or EFBIG when the file holds
// more than `limit` bytes (out is then empty).
int read_regular_file(const char *path, size_t limit, std::string &out);

// A file that is written in place by more than one process (a lock file):
// opened with `flags` (O_RDWR or O_RDONLY, O_CREAT allowed), never through a
// symbolic link at the last component, never blocking on a FIFO. Anything but
// a regular file with exactly one name is refused, since a hard link planted
// by another user would send the writes into the file it names: invalid with
// errno ELOOP (symbolic link), EISDIR, EINVAL (not a regular file) or EMLINK.
Fd open_shared_file(const char *path, int flags, mode_t mode);
// A regular file (open_regular_file's rules) named inside the directory dirfd,
// never through a link (ELOOP when the name is one).
Fd open_regular_at(int dirfd, const char *name);
// Keeps fd (opened O_NONBLOCK) only when it is a regular file, then makes it
// blocking; else closes it and sets errno as open_regular_file does.
Fd keep_regular(Fd fd);
// A directory, not through a link at its last component (ELOOP, ENOTDIR).
Fd open_directory(const char *path);

// Whether a descriptor names a pipe or a socket (where SIGPIPE can happen).
bool pipe_like(int fd);

// The product status for an errno value, `fallback` (the failed operation's
// own status, such as file open failed) when none is more precise.
int status_from_errno(int e, int fallback);

// The runtime error number reported for a failed file call: 2 (not found),
// 13 (access denied) or 22 (anything else).
int crt_errno(int e);

// Whether a path is valid UTF-8, as every path of the product must be.
bool utf8_path(const char *path);

} // namespace ztbase::pio
