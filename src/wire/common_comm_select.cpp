// common_comm: the select family. A transfer tries the kernel first and waits
// for readiness (poll in place of select: no limit on descriptor numbers) only
// when it has no room or no data: the same outcome as a wait that finds the
// socket ready, one system call fewer, so bytes already queued cost one recv.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "wire/common_comm_internal.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

namespace zt::comm {

void log_errno(int level, const char *tag, const char *format) {
    const int e = errno;
    logmsgf(level, tag, format, error_text(e).c_str());
    errno = e;
}

int transfer(int sock, char *buf, int n, int timeout, int flags, bool sending, bool wait_first) {
    if (n < 0 || (n > 0 && !buf)) {
        errno = EINVAL;
        return -1;
    }
    int done = 0;
    bool ready = !wait_first;
    while (done < n) {
        if (!ready) {
            // With no limit of its own, a partly moved buffer waits in
            // one-second rounds instead of spinning on zero-time polls.
            // An interrupted wait is repeated for the time it has left.
            const int64_t deadline = deadline_after(timeout == 0 && done > 0 ? 1 : timeout);
            pollfd pfd{sock, short(sending ? POLLOUT : POLLIN), 0};
            int rc = 0;
            do
                rc = poll_until(&pfd, deadline);
            while (rc < 0 && errno == EINTR);
            if (rc > 0) {
                ready = true;
                continue;
            }
            const int e = rc < 0 ? errno : ETIMEDOUT;
            if (callback_gives_up()) {
                errno = rc < 0 ? e : EINTR;
                return -1;
            }
            if (rc < 0) {
                errno = e;
                return -1;
            }
            if (timeout > 0 || done == 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            continue;
        }
        const ssize_t r =
            sending ? send(sock, buf + done, size_t(n - done), flags | MSG_NOSIGNAL | MSG_DONTWAIT)
                    : recv(sock, buf + done, size_t(n - done), flags | MSG_DONTWAIT);
        if (r > 0) {
            done += int(r);
            continue;
        }
        if (r == 0 && !sending)
            return done;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        ready = false;
    }
    return done;
}

} // namespace zt::comm

using namespace zt::comm;

namespace {

// A fixed-size value: 0, or -1 with errno (EPIPE at end of file).
int recv_exact(int sock, unsigned char *b, int n, int timeout, int flags) {
    const int r = transfer(sock, reinterpret_cast<char *>(b), n, timeout, flags, false, false);
    if (r == n)
        return 0;
    if (r >= 0)
        errno = EPIPE;
    return -1;
}

int send_value(int sock, const unsigned char *b, int n, int timeout, const char *format) {
    if (transfer(sock, const_cast<char *>(reinterpret_cast<const char *>(b)), n, timeout, 0, true,
                 false) == n)
        return 0;
    log_errno(ZTLOG_ERROR, n == 2 ? "put_short_" : "put_long_", format);
    return -1;
}

char *get_string_impl(int sock, char *buffer, int *length, int size, int timeout, int flags,
                      int adjust) {
    static const char tag[] = "get_string_";
    int local_length = 0;
    if (!length)
        length = &local_length;
    *length = -1;
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    unsigned char b[4];
    if (recv_exact(sock, b, 4, timeout, flags) != 0) {
        log_errno(ZTLOG_ERROR, tag, "failed reading string length (%s)");
        return nullptr;
    }
    const int32_t n = int32_t(load32(b));
    if (buffer && size >= 4 && n > kTextLengthThreshold) {
        store32(reinterpret_cast<unsigned char *>(buffer), uint32_t(n));
        bool newline = false;
        const int len =
            read_text_line(buffer, size, 4, &newline, [&](char *p, int room, bool peek) {
                const int r = transfer(sock, p, peek ? 1 : room, timeout, peek ? MSG_PEEK : flags,
                                       false, false);
                if (r <= 0)
                    return r;
                if (!peek)
                    return r;
                // One byte is known to be there: see how much more is.
                const ssize_t more = recv(sock, p, size_t(room), MSG_PEEK | MSG_DONTWAIT);
                return more > 0 ? int(more) : r;
            });
        if (len < 0) {
            if (len == COMM_PREMATURE_EOF)
                errno = EPIPE;
            log_errno(ZTLOG_ERROR, tag, "protocol error - string read failed (%s)");
            return nullptr;
        }
        *length = len;
        return buffer;
    }
    if (n < 0 || (buffer && n >= size) || (!buffer && n > COMM_MAX_ALLOC_STRING)) {
        logmsg(ZTLOG_ERROR, "Read string too large for provided buffer area", tag);
        errno = ERANGE;
        return nullptr;
    }
    char *out = buffer;
    if (!out) {
        out = static_cast<char *>(malloc(size_t(n) + 1));
        if (!out) {
            logmsgf(ZTLOG_ERROR, tag, "malloc of %ld bytes failed", long(n) + 1);
            errno = ENOMEM;
            return nullptr;
        }
    }
    const int r = transfer(sock, out, n, timeout, flags, false, false);
    if (r != n) {
        if (r >= 0) {
            logmsg(ZTLOG_ERROR, "unexpected EOF reading string", tag);
            errno = EPIPE;
        } else {
            log_errno(ZTLOG_ERROR, tag, "protocol error - string read failed (%s)");
        }
        if (out != buffer) {
            const int e = errno;
            free(out);
            errno = e;
        }
        return nullptr;
    }
    out[n] = '\0';
    *length = n;
    return out;
}

} // namespace

extern "C" ZTBASE_API int Send(int sock, const char *bytes, int n, int timeout, int flags) {
    return transfer(sock, const_cast<char *>(bytes), n, timeout, flags, true, false);
}

extern "C" ZTBASE_API int Recv(int sock, char *bytes, int n, int timeout, int flags) {
    return transfer(sock, bytes, n, timeout, flags, false, false);
}

extern "C" ZTBASE_API int Recv_ex(int sock, char *bytes, int n, int timeout, int flags,
                                  int adjust) {
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    return transfer(sock, bytes, n, timeout, flags, false, false);
}

extern "C" ZTBASE_API int send_n_bytes(int sock, const char *bytes, int n) {
    return transfer(sock, const_cast<char *>(bytes), n, -1, 0, true, false);
}

extern "C" ZTBASE_API int recv_n_bytes(int sock, char *bytes, int n) {
    return transfer(sock, bytes, n, -1, 0, false, false);
}

extern "C" ZTBASE_API int put_short_(int sock, int value, int timeout) {
    if (value < 0 || value > kMaxShort) {
        logmsgf(ZTLOG_ERROR, "put_short_", "max data size is %d", kMaxShort);
        errno = ERANGE;
        return -1;
    }
    unsigned char b[2];
    store16(b, uint32_t(value));
    return send_value(sock, b, 2, timeout, "protocol error - two byte send failed (%s)");
}

extern "C" ZTBASE_API int put_long_(int sock, int value, int timeout) {
    unsigned char b[4];
    store32(b, uint32_t(value));
    return send_value(sock, b, 4, timeout, "protocol error - four byte send failed (%s)");
}

extern "C" ZTBASE_API int put_string_(int sock, const char *text, int timeout, int flags, int tag) {
    static const char fn[] = "put_string_";
    if (!text) {
        errno = EINVAL;
        log_errno(ZTLOG_ERROR, fn, "protocol error - string send failed (%s)");
        return -1;
    }
    const size_t len = strlen(text);
    if (len > size_t(INT32_MAX) || tag < 0 || tag > 65535) {
        errno = ERANGE;
        log_errno(ZTLOG_ERROR, fn, "protocol error - string send failed (%s)");
        return -1;
    }
    // The tag and length travel with the first piece of the text.
    unsigned char first[6 + kOneWriteString];
    int head = 0;
    if (tag != 0) {
        store16(first, uint32_t(tag));
        head = 2;
    }
    store32(first + head, uint32_t(len));
    head += 4;
    size_t piece = len < size_t(kOneWriteString) ? len : size_t(kOneWriteString);
    memcpy(first + head, text, piece);
    if (transfer(sock, reinterpret_cast<char *>(first), head + int(piece), timeout, flags, true,
                 false) != head + int(piece)) {
        log_errno(ZTLOG_ERROR, fn, "protocol error - string send failed (%s)");
        return -1;
    }
    for (size_t sent = piece; sent < len; sent += piece) {
        piece = len - sent < size_t(kOneWriteString) ? len - sent : size_t(kOneWriteString);
        if (transfer(sock, const_cast<char *>(text + sent), int(piece), timeout, flags, true,
                     false) != int(piece)) {
            log_errno(ZTLOG_ERROR, fn, "protocol error - string send failed (%s)");
            return -1;
        }
    }
    return int(len);
}

extern "C" ZTBASE_API int get_short_ex_(int sock, int timeout, int flags, int adjust) {
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    unsigned char b[2];
    if (recv_exact(sock, b, 2, timeout, flags) != 0) {
        log_errno(ZTLOG_ERROR, "get_short_", "protocol error - two byte read failed (%s)");
        return -1;
    }
    return int(load16(b));
}

extern "C" ZTBASE_API int get_short_(int sock, int timeout, int flags) {
    return get_short_ex_(sock, timeout, flags, 0);
}

extern "C" ZTBASE_API int get_long_ex_(int sock, int timeout, int flags, int adjust) {
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    unsigned char b[4];
    if (recv_exact(sock, b, 4, timeout, flags) != 0) {
        if (errno != ETIMEDOUT)
            log_errno(ZTLOG_ERROR, "get_long_", "protocol error - four byte read failed (%s)");
        return -1;
    }
    return int32_t(load32(b));
}

extern "C" ZTBASE_API int get_long_(int sock, int timeout, int flags) {
    return get_long_ex_(sock, timeout, flags, 0);
}

extern "C" ZTBASE_API char *get_string_ex_(int sock, char *buffer, int *length, int size,
                                           int timeout, int flags, int adjust) {
    return get_string_impl(sock, buffer, length, size, timeout, flags, adjust);
}

extern "C" ZTBASE_API char *get_string_(int sock, char *buffer, int *length, int size, int timeout,
                                        int flags) {
    return get_string_impl(sock, buffer, length, size, timeout, flags, 0);
}
