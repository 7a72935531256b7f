// common_comm: the base family. Writers send each value with as few calls as
// the kernel allows; readers read a value in as few recv calls as the peer's
// segments allow, never past its last byte, and wait only when the kernel has
// nothing yet: the caller's timeout bounds each wait for more bytes, as a
// receive timeout of the socket would, without the socket's own setting being
// touched. A timeout is reported as ETIMEDOUT.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include "wire/common_comm_internal.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

namespace zt::comm {

int send_all(int sock, iovec *iov, int count, int *err, const char *tag) {
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += iov[i].iov_len;
    size_t sent = 0;
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(count);
        const ssize_t n = sendmsg(sock, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int e = errno;
            if (err)
                *err = e;
            logmsgf(ZTLOG_ERROR, tag, "could only write %d of %d bytes to network:  %s", int(sent),
                    int(total), error_text(e).c_str());
            return is_not_connected(e) ? COMM_NOT_CONNECTED : COMM_WRITE_ERROR;
        }
        sent += size_t(n);
        size_t left = size_t(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return 0;
}

} // namespace zt::comm

namespace {

using namespace zt::comm;

// A soft result: flags bit 0 turned "would block" or end of file into 0.
constexpr int kSoftZero = 1;
constexpr int kNonBlockingTries = 1000;
constexpr int kNonBlockingPauseMs = 100;

void set(int *err, int value) {
    if (err)
        *err = value;
}

bool is_nonblocking(int sock) {
    const int fl = fcntl(sock, F_GETFL);
    return fl >= 0 && (fl & O_NONBLOCK);
}

bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// The receives of one call. Each is a non-blocking recv first: bytes already
// queued cost that one system call. Only when the kernel has nothing yet does
// it wait: with a timeout (seconds, > 0) for readiness, at most `timeout`
// since the last bytes arrived; without one in a blocking recv, so that a
// receive timeout the socket carries itself still applies. The socket's
// options and flags are never changed.
class Receiver {
  public:
    Receiver(int sock, int timeout) : sock_(sock), timeout_(timeout) {}
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    // Up to n bytes: > 0, 0 at end of file, or -1 with errno: EAGAIN on a
    // non-blocking socket with nothing there, ETIMEDOUT, EINTR (a signal
    // interrupted the wait; the next call waits on to the same deadline), or
    // the error of the recv.
    ssize_t recv(void *buf, size_t n, int flags) {
        ssize_t r = ::recv(sock_, buf, n, flags | MSG_DONTWAIT);
        if (r < 0 && would_block(errno))
            r = wait_and_recv(buf, n, flags);
        if (r > 0)
            deadline_ = -1;
        return r;
    }

    // A non-blocking socket's pause of up to `ms` for its next bytes.
    void pause(int ms) {
        pollfd pfd{sock_, POLLIN, 0};
        poll(&pfd, 1, ms);
    }

  private:
    ssize_t wait_and_recv(void *buf, size_t n, int flags) {
        if (timeout_ <= 0) {
            // A non-blocking socket returns at once here too.
            const ssize_t r = ::recv(sock_, buf, n, flags);
            if (r < 0 && would_block(errno))
                errno = is_nonblocking(sock_) ? EAGAIN : ETIMEDOUT;
            return r;
        }
        if (is_nonblocking(sock_)) {
            errno = EAGAIN;
            return -1;
        }
        if (deadline_ < 0)
            deadline_ = mono_ms() + int64_t(timeout_) * 1000;
        for (;;) {
            pollfd pfd{sock_, POLLIN, 0};
            const int rc = poll_until(&pfd, deadline_);
            if (rc == 0)
                errno = ETIMEDOUT;
            if (rc <= 0)
                return -1;
            const ssize_t r = ::recv(sock_, buf, n, flags | MSG_DONTWAIT);
            // Ready, yet another reader took the bytes: wait on.
            if (r >= 0 || !would_block(errno))
                return r;
        }
    }

    int sock_;
    int timeout_;
    int64_t deadline_ = -1; // of the wait under way, on the monotonic clock
};

// The n bytes of an integer value: 0, kSoftZero or a negative status.
int read_value(Receiver &rx, unsigned char *buf, int n, int *err, int flags, const char *tag) {
    int got = 0;
    int tries = 0;
    while (got < n) {
        const ssize_t r = rx.recv(buf + got, size_t(n - got), 0);
        if (r > 0) {
            got += int(r);
            continue;
        }
        if (r == 0) {
            if (flags & COMM_NONBLOCK_OK)
                return kSoftZero;
            logmsgf(ZTLOG_ERROR, tag, "(2) premature end of file (byte %d)", got);
            set(err, EIO);
            return COMM_PREMATURE_EOF;
        }
        const int e = errno;
        if (e == EINTR) {
            if (interrupt_status() == COMM_TIMEDOUT) {
                set(err, e);
                return COMM_TIMEDOUT;
            }
            continue;
        }
        if (e == EAGAIN && (flags & COMM_NONBLOCK_OK)) {
            if (got == 0) {
                set(err, e);
                return kSoftZero;
            }
            if (++tries <= kNonBlockingTries) {
                rx.pause(kNonBlockingPauseMs);
                continue;
            }
        }
        set(err, e);
        logmsgf(ZTLOG_ERROR, tag, "(1) cannot read (byte %d) from network: %s", got,
                error_text(e).c_str());
        return COMM_READ_ERROR;
    }
    return 0;
}

// Message numbers of the two string readers: (premature end, read error).
struct BodyMsgs {
    int eof;
    int error;
};

// The n bytes of a string body: 0 or a negative status.
int read_body(Receiver &rx, char *buf, int n, int *err, int flags, BodyMsgs msgs,
              const char *tag) {
    int got = 0;
    int tries = 0;
    while (got < n) {
        const ssize_t r = rx.recv(buf + got, size_t(n - got), 0);
        if (r > 0) {
            got += int(r);
            continue;
        }
        if (r == 0) {
            logmsgf(ZTLOG_ERROR, tag, "(%d) premature end of file", msgs.eof);
            logmsgf(ZTLOG_ERROR, tag, "read %d of %d bytes from socket", got, n);
            set(err, EIO);
            return COMM_PREMATURE_EOF;
        }
        const int e = errno;
        if (e == EINTR) {
            if (const int status = interrupt_status()) {
                set(err, e);
                return status;
            }
            continue;
        }
        if (e == EAGAIN && (flags & COMM_NONBLOCK_OK)) {
            if (++tries <= kNonBlockingTries) {
                rx.pause(kNonBlockingPauseMs);
                continue;
            }
            logmsgf(ZTLOG_ERROR, tag, "did not receive data after %d non-blocking reads",
                    kNonBlockingTries);
        }
        set(err, e);
        logmsgf(ZTLOG_ERROR, tag, "(%d) network read() error:  %s", msgs.error,
                error_text(e).c_str());
        return COMM_READ_ERROR;
    }
    return 0;
}

// An integer value of n bytes under the caller's timeout. *value holds the
// big-endian bytes; returns 0, kSoftZero or a negative status.
int get_base(int sock, int timeout, int *err, int adjust, int flags, unsigned char *bytes, int n,
             const char *tag) {
    set(err, 0);
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    Receiver rx(sock, timeout);
    return read_value(rx, bytes, n, err, flags, tag);
}

int put_bytes(int sock, const unsigned char *bytes, int n, int *err, const char *tag) {
    set(err, 0);
    iovec iov{const_cast<unsigned char *>(bytes), size_t(n)};
    return send_all(sock, &iov, 1, err, tag);
}

// The length of a string (0, kSoftZero, status) into *length.
int read_length(Receiver &rx, int *length, int *err, int flags, const char *tag) {
    unsigned char b[4];
    const int rc = read_value(rx, b, 4, err, flags, tag);
    *length = rc == 0 ? int32_t(load32(b)) : 0;
    return rc;
}

int get_string_impl(int sock, char *buffer, int size, int timeout, int *err, int flags,
                    int adjust) {
    static const char tag[] = "get_string";
    int local_err = 0;
    if (!err)
        err = &local_err;
    *err = 0;
    if (!buffer || size < 1) {
        logmsgf(ZTLOG_ERROR, tag, "buffer space for %d bytes, but incoming data needs %d bytes",
                size, 1);
        *err = EINVAL;
        return COMM_TOO_LARGE;
    }
    buffer[0] = '\0';
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    Receiver rx(sock, timeout);
    int length = 0;
    const int rc = read_length(rx, &length, err, flags, tag);
    if (rc < 0 && *err != 0)
        return rc;
    if (rc < 0 || (length == 0 && !(flags & COMM_NONBLOCK_OK))) {
        logmsg(ZTLOG_ERROR, "(6) protocol error", tag);
        return COMM_READ_ERROR;
    }
    if (length == 0)
        return 0;
    if (length > kTextLengthThreshold && size >= 4) {
        store32(reinterpret_cast<unsigned char *>(buffer), uint32_t(length));
        bool newline = false;
        const int n = read_text_line(buffer, size, 4, &newline, [&](char *p, int room, bool peek) {
            for (;;) {
                const ssize_t r = rx.recv(p, size_t(room), peek ? MSG_PEEK : 0);
                if (r >= 0)
                    return int(r);
                if (errno == EINTR && interrupt_status() == 0)
                    continue;
                *err = errno == EAGAIN ? ETIMEDOUT : errno;
                logmsgf(ZTLOG_ERROR, tag, "(8) network read() error:  %s",
                        error_text(*err).c_str());
                return int(COMM_READ_ERROR);
            }
        });
        if (n == COMM_PREMATURE_EOF) {
            logmsg(ZTLOG_ERROR, "(9) premature end of file", tag);
            *err = EIO;
        }
        return n;
    }
    if (length < 0 || length >= size) {
        logmsgf(ZTLOG_ERROR, tag, "buffer space for %d bytes, but incoming data needs %d bytes",
                size, length);
        logmsg(ZTLOG_ERROR, "(7) inadequate buffer space for data", tag);
        return COMM_TOO_LARGE;
    }
    const int body = read_body(rx, buffer, length, err, flags, {9, 8}, tag);
    if (body < 0) {
        buffer[0] = '\0';
        return body;
    }
    buffer[length] = '\0';
    return length;
}

char *get_adaptable_impl(int sock, int *length, int timeout, int *err, int flags) {
    static const char tag[] = "get_adaptable_string";
    int local_err = 0, local_length = 0;
    if (!err)
        err = &local_err;
    if (!length)
        length = &local_length;
    *err = 0;
    Receiver rx(sock, timeout);
    int n = 0;
    const int rc = read_length(rx, &n, err, flags, tag);
    auto fail = [&](int status) -> char * {
        if (*err == 0)
            *err = EINVAL;
        *length = status;
        return nullptr;
    };
    if (rc < 0 && *err != 0)
        return fail(rc);
    const bool soft = flags & COMM_NONBLOCK_OK;
    if (rc < 0 || n < 0 || (n == 0 && !soft)) {
        logmsg(ZTLOG_ERROR, "(3) protocol error", tag);
        return fail(COMM_READ_ERROR);
    }
    if (n > COMM_MAX_ALLOC_STRING) {
        logmsgf(ZTLOG_ERROR, tag, "%s: %d bytes, at most %d", commerrstr(COMM_TOO_LARGE), n,
                COMM_MAX_ALLOC_STRING);
        return fail(COMM_TOO_LARGE);
    }
    char *buf = static_cast<char *>(malloc(size_t(n) + 1));
    if (!buf) {
        logmsgf(ZTLOG_ERROR, tag, "malloc of %ld bytes failed", long(n) + 1);
        return fail(COMM_NO_MEMORY);
    }
    const int body = read_body(rx, buf, n, err, flags, {5, 4}, tag);
    if (body < 0) {
        free(buf);
        return fail(body);
    }
    buf[n] = '\0';
    *length = n;
    return buf;
}

} // namespace

extern "C" ZTBASE_API int put_short(int sock, int value, int *err) {
    if (value < 0 || value > kMaxShort) {
        set(err, 0);
        logmsgf(ZTLOG_ERROR, "put_short", "max data size is %d", kMaxShort);
        return COMM_TOO_LARGE;
    }
    unsigned char b[2];
    store16(b, uint32_t(value));
    return put_bytes(sock, b, 2, err, "put_short");
}

extern "C" ZTBASE_API int put_long(int sock, int value, int *err) {
    unsigned char b[4];
    store32(b, uint32_t(value));
    return put_bytes(sock, b, 4, err, "put_long");
}

extern "C" ZTBASE_API int put_vint64t(int sock, vint64t value, int *err) {
    unsigned char b[8];
    store64(b, uint64_t(value));
    return put_bytes(sock, b, 8, err, "put_length_bytes64");
}

extern "C" ZTBASE_API int put_vuint64t(int sock, vuint64t value, int *err) {
    unsigned char b[8];
    store64(b, value);
    return put_bytes(sock, b, 8, err, "put_length_bytes64");
}

extern "C" ZTBASE_API int put_length_string(int sock, int length, const char *bytes, int *err) {
    static const char tag[] = "put_length_string";
    set(err, 0);
    if (length < 0 || (length > 0 && !bytes)) {
        logmsgf(ZTLOG_ERROR, tag, "cannot send %d bytes from %p", length,
                static_cast<const void *>(bytes));
        set(err, EINVAL);
        return COMM_TOO_LARGE;
    }
    unsigned char head[4];
    store32(head, uint32_t(length));
    iovec iov[2] = {{head, 4}, {const_cast<char *>(bytes), size_t(length)}};
    return send_all(sock, iov, 2, err, tag);
}

extern "C" ZTBASE_API int put_string(int sock, const char *text, int *err) {
    if (!text)
        text = "";
    // Length and text leave in one write, whatever their size.
    return put_length_string(sock, int(strlen(text)), text, err);
}

extern "C" ZTBASE_API int get_short_ex(int sock, int timeout, int *err, int adjust, int flags) {
    unsigned char b[2];
    const int rc = get_base(sock, timeout, err, adjust, flags, b, 2, "get_short_base");
    return rc == 0 ? int(load16(b)) : (rc == kSoftZero ? 0 : rc);
}

extern "C" ZTBASE_API int get_short(int sock, int timeout, int *err) {
    return get_short_ex(sock, timeout, err, 0, 0);
}

extern "C" ZTBASE_API int get_long_ex_ex(int sock, int timeout, int *err, int adjust, int flags) {
    unsigned char b[4];
    const int rc = get_base(sock, timeout, err, adjust, flags, b, 4, "get_long_base");
    return rc == 0 ? int32_t(load32(b)) : (rc == kSoftZero ? 0 : rc);
}

extern "C" ZTBASE_API int get_long_ex(int sock, int timeout, int *err, int flags) {
    return get_long_ex_ex(sock, timeout, err, 0, flags);
}

extern "C" ZTBASE_API int get_long(int sock, int timeout, int *err) {
    return get_long_ex_ex(sock, timeout, err, 0, 0);
}

extern "C" ZTBASE_API vint64t get_vint64t_ex(int sock, int timeout, int *status, int adjust,
                                             int flags) {
    unsigned char b[8];
    int e = 0;
    const int rc = get_base(sock, timeout, &e, adjust, flags, b, 8, "get_vint64t_base");
    set(status, rc == kSoftZero ? 0 : rc);
    return rc == 0 ? vint64t(load64(b)) : 0;
}

extern "C" ZTBASE_API vint64t get_vint64t(int sock, int timeout, int *status) {
    return get_vint64t_ex(sock, timeout, status, 0, 0);
}

extern "C" ZTBASE_API vuint64t get_vuint64t_ex(int sock, int timeout, int *status, int adjust,
                                               int flags) {
    unsigned char b[8];
    int e = 0;
    const int rc = get_base(sock, timeout, &e, adjust, flags, b, 8, "get_vuint64t_base");
    set(status, rc == kSoftZero ? 0 : rc);
    return rc == 0 ? load64(b) : 0;
}

extern "C" ZTBASE_API vuint64t get_vuint64t(int sock, int timeout, int *status) {
    return get_vuint64t_ex(sock, timeout, status, 0, 0);
}

extern "C" ZTBASE_API int get_string_ex_ex(int sock, char *buffer, int size, int timeout, int *err,
                                           int flags, int adjust) {
    return get_string_impl(sock, buffer, size, timeout, err, flags, adjust);
}

extern "C" ZTBASE_API int get_string_ex(int sock, char *buffer, int size, int timeout, int *err,
                                        int flags) {
    return get_string_impl(sock, buffer, size, timeout, err, flags, 0);
}

extern "C" ZTBASE_API int get_string(int sock, char *buffer, int size, int timeout, int *err) {
    return get_string_impl(sock, buffer, size, timeout, err, 0, 0);
}

extern "C" ZTBASE_API char *get_adaptable_string_ex(int sock, int *length, int timeout, int *err,
                                                    int flags) {
    return get_adaptable_impl(sock, length, timeout, err, flags);
}

extern "C" ZTBASE_API char *get_adaptable_string(int sock, int *length, int timeout, int *err) {
    return get_adaptable_impl(sock, length, timeout, err, 0);
}
