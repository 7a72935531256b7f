// common_comm: the deadline family. Reads and writes never block (MSG_DONTWAIT,
// so a blocking socket keeps the deadline too); when the kernel has nothing,
// the readiness wait runs until the deadline, asking the library callback
// between its one-second slices. Deadlines are kept in milliseconds so that a
// relative timeout is not rounded to the wall-clock second.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include "netbase/vnet_ready.h"
#include "wire/common_comm_internal.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

using namespace zt::comm;

namespace {

void set(int *err, int value) {
    if (err)
        *err = value;
}

int64_t relative_deadline(int timeout) {
    const int64_t span = timeout == 0 ? kForeverSeconds : timeout;
    return zt::vnet::now_ms() + span * 1000;
}

void log_failure(const char *tag, const char *what, int e) {
    logmsgf(ZTLOG_ERROR, tag, "%s: %s (%d)", what, error_text(e).c_str(), e);
}

// A readiness wait that did not end ready, as a status of the family.
int wait_failed(int status, int e, bool writing, int *err, const char *tag) {
    if (status == VNET_TIMEOUT) {
        set(err, ETIMEDOUT);
        log_failure(tag, writing ? "socket write timed out" : "socket read timed out", ETIMEDOUT);
        return COMM_TIMEDOUT;
    }
    set(err, e ? e : EINTR);
    log_failure(tag,
                status == VNET_LIBRARY_CALLBACK_QUIT ? "library callback failed"
                                                     : "select on socket failed",
                e ? e : EINTR);
    return writing ? COMM_WRITE_ERROR : COMM_READ_ERROR;
}

int put_until(int sock, int n, const char *bytes, int64_t deadline_ms, int *err) {
    static const char tag[] = "put_n_bytes_abs";
    set(err, 0);
    if (n < 0 || (n > 0 && !bytes)) {
        set(err, EINVAL);
        log_failure(tag, "write to socket failed", EINVAL);
        return COMM_WRITE_ERROR;
    }
    int done = 0;
    while (done < n) {
        const ssize_t w = send(sock, bytes + done, size_t(n - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            done += int(w);
            continue;
        }
        const int e = w < 0 ? errno : EAGAIN;
        if (e == EINTR) {
            if (callback_gives_up()) {
                set(err, e);
                log_failure(tag, "library callback failed", e);
                return COMM_WRITE_ERROR;
            }
            continue;
        }
        if (e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS) {
            int we = 0;
            const int st = zt::vnet::sock_ready_until_ms(sock, false, true, deadline_ms, &we);
            if (st != 0)
                return wait_failed(st, we, true, err, tag);
            continue;
        }
        set(err, e);
        log_failure(tag, "write to socket failed", e);
        return is_not_connected(e) ? COMM_NOT_CONNECTED : COMM_WRITE_ERROR;
    }
    return 0;
}

// n bytes (or fewer at end of file when or_eof): 0 or a negative status.
int get_until(int sock, int n, char *buffer, int64_t deadline_ms, int *err, int *got, bool or_eof,
              int recv_flags = 0) {
    static const char tag[] = "get_exactly_n_bytes_or_eof_abs";
    set(err, 0);
    if (got)
        *got = 0;
    if (n < 0 || (n > 0 && !buffer)) {
        set(err, EINVAL);
        log_failure(tag, "read from socket failed", EINVAL);
        return COMM_READ_ERROR;
    }
    int done = 0;
    while (done < n) {
        const ssize_t r = recv(sock, buffer + done, size_t(n - done), recv_flags | MSG_DONTWAIT);
        if (r > 0) {
            done += int(r);
            if (got)
                *got = done;
            if (recv_flags & MSG_PEEK)
                break;
            continue;
        }
        if (r == 0) {
            if (or_eof)
                return 0;
            set(err, EPIPE);
            log_failure(tag, "premature EOF found", EPIPE);
            return COMM_PREMATURE_EOF;
        }
        const int e = errno;
        if (e == EINTR) {
            if (callback_gives_up()) {
                set(err, e);
                log_failure(tag, "library callback failed", e);
                return COMM_READ_ERROR;
            }
            continue;
        }
        if (e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS) {
            int we = 0;
            const int st = zt::vnet::sock_ready_until_ms(sock, true, false, deadline_ms, &we);
            if (st != 0)
                return wait_failed(st, we, false, err, tag);
            continue;
        }
        set(err, e);
        log_failure(tag, "read from socket failed", e);
        return COMM_READ_ERROR;
    }
    return 0;
}

int put_string_until(int sock, int n, const char *bytes, int64_t deadline_ms, int *err) {
    if (n < 0 || (n > 0 && !bytes)) {
        set(err, EINVAL);
        logmsgf(ZTLOG_ERROR, "ts_put_length_string_slow", "%s: length %d", "put long failed", n);
        return COMM_WRITE_ERROR;
    }
    if (n <= kOneWriteString) {
        unsigned char one[4 + kOneWriteString];
        store32(one, uint32_t(n));
        if (n > 0)
            memcpy(one + 4, bytes, size_t(n));
        const int rc = put_until(sock, n + 4, reinterpret_cast<char *>(one), deadline_ms, err);
        if (rc != 0)
            logmsg(ZTLOG_ERROR, "put n bytes failed", "ts_put_length_string_optimized");
        return rc;
    }
    unsigned char head[4];
    store32(head, uint32_t(n));
    int rc = put_until(sock, 4, reinterpret_cast<char *>(head), deadline_ms, err);
    if (rc != 0) {
        logmsg(ZTLOG_ERROR, "put long failed", "ts_put_length_string_slow");
        return rc;
    }
    rc = put_until(sock, n, bytes, deadline_ms, err);
    if (rc != 0)
        logmsg(ZTLOG_ERROR, "put n bytes failed", "ts_put_length_string_slow");
    return rc;
}

int put_short_until(int sock, int value, int64_t deadline_ms, int *err) {
    if (value < 0 || value > kMaxShort) {
        set(err, ERANGE);
        logmsgf(ZTLOG_ERROR, "ts_put_short", "max data is %d: sock %d", kMaxShort, sock);
        return COMM_TOO_LARGE;
    }
    unsigned char b[2];
    store16(b, uint32_t(value));
    return put_until(sock, 2, reinterpret_cast<char *>(b), deadline_ms, err);
}

// A fixed-size value: 0 with the bytes, or a negative status (logged).
int get_value(int sock, unsigned char *b, int n, int64_t deadline_ms, int *err, const char *what,
              const char *tag) {
    const int rc =
        get_until(sock, n, reinterpret_cast<char *>(b), deadline_ms, err, nullptr, false);
    if (rc != 0)
        logmsg(ZTLOG_ERROR, what, tag);
    return rc;
}

int get_long_until(int sock, int64_t deadline_ms, int *err) {
    unsigned char b[4];
    const int rc =
        get_value(sock, b, 4, deadline_ms, err, "error reading long from socket", "ts_get_long");
    return rc != 0 ? rc : int32_t(load32(b));
}

int get_string_until(int sock, char *buffer, int size, int64_t deadline_ms, int *err) {
    static const char tag[] = "ts_get_string";
    set(err, 0);
    if (!buffer || size < 1) {
        set(err, EINVAL);
        logmsg(ZTLOG_ERROR, "string too large for buffer", tag);
        return COMM_TOO_LARGE;
    }
    buffer[0] = '\0';
    unsigned char b[4];
    const int rc = get_value(sock, b, 4, deadline_ms, err, "error reading long from socket", tag);
    if (rc != 0)
        return rc;
    const int32_t n = int32_t(load32(b));
    if (n > kTextLengthThreshold && size >= 4) {
        store32(reinterpret_cast<unsigned char *>(buffer), uint32_t(n));
        bool newline = false;
        const int len =
            read_text_line(buffer, size, 4, &newline, [&](char *p, int room, bool peek) {
                int got = 0;
                const int st =
                    get_until(sock, room, p, deadline_ms, err, &got, true, peek ? MSG_PEEK : 0);
                return st != 0 ? st : got;
            });
        if (len < 0) {
            if (len == COMM_PREMATURE_EOF)
                set(err, EPIPE);
            return len;
        }
        logmsgf(ZTLOG_INFO, tag, "%s: %-.4095s",
                newline ? "read until a newline was found" : "read until buffer was full", buffer);
        return len;
    }
    if (n < 0) {
        set(err, EINVAL);
        logmsgf(ZTLOG_ERROR, tag, "negative length detected: %d", n);
        return COMM_UNEXPECTED_MESSAGE;
    }
    if (n >= size) {
        set(err, ERANGE);
        logmsgf(ZTLOG_ERROR, tag, "string too large for buffer: %d bytes, room for %d", n,
                size - 1);
        return COMM_TOO_LARGE;
    }
    const int body = get_until(sock, n, buffer, deadline_ms, err, nullptr, false);
    if (body != 0) {
        buffer[0] = '\0';
        return body;
    }
    buffer[n] = '\0';
    return n;
}

} // namespace

extern "C" ZTBASE_API int put_n_bytes_abs(int sock, int n, const char *bytes, time_t deadline,
                                          int *err) {
    return put_until(sock, n, bytes, zt::vnet::deadline_ms(deadline), err);
}

extern "C" ZTBASE_API int put_n_bytes(int sock, int n, const char *bytes, int timeout, int *err) {
    return put_until(sock, n, bytes, relative_deadline(timeout), err);
}

extern "C" ZTBASE_API int get_n_bytes_abs(int sock, int n, char *buffer, time_t deadline,
                                          int *err) {
    return get_until(sock, n, buffer, zt::vnet::deadline_ms(deadline), err, nullptr, false);
}

extern "C" ZTBASE_API int get_n_bytes(int sock, int n, char *buffer, int timeout, int *err) {
    return get_until(sock, n, buffer, relative_deadline(timeout), err, nullptr, false);
}

extern "C" ZTBASE_API int get_n_bytes_or_eof_abs(int sock, int n, char *buffer, time_t deadline,
                                                 int *err, int *got) {
    return get_until(sock, n, buffer, zt::vnet::deadline_ms(deadline), err, got, true);
}

extern "C" ZTBASE_API int get_n_bytes_or_eof(int sock, int n, char *buffer, int timeout, int *err,
                                             int *got) {
    return get_until(sock, n, buffer, relative_deadline(timeout), err, got, true);
}

extern "C" ZTBASE_API int ts_put_short(int sock, int value, int *err) {
    return put_short_until(sock, value, relative_deadline(0), err);
}

extern "C" ZTBASE_API int ts_put_short_t(int sock, int value, int timeout, int *err) {
    return put_short_until(sock, value, relative_deadline(timeout), err);
}

extern "C" ZTBASE_API int ts_put_long_abs(int sock, int value, time_t deadline, int *err) {
    unsigned char b[4];
    store32(b, uint32_t(value));
    return put_until(sock, 4, reinterpret_cast<char *>(b), zt::vnet::deadline_ms(deadline), err);
}

extern "C" ZTBASE_API int ts_put_long(int sock, int value, int *err) {
    unsigned char b[4];
    store32(b, uint32_t(value));
    return put_until(sock, 4, reinterpret_cast<char *>(b), relative_deadline(0), err);
}

extern "C" ZTBASE_API int ts_put_vint64t(int sock, vint64t value, int *err) {
    unsigned char b[8];
    store64(b, uint64_t(value));
    return put_until(sock, 8, reinterpret_cast<char *>(b), relative_deadline(0), err);
}

extern "C" ZTBASE_API int ts_put_vuint64t(int sock, vuint64t value, int *err) {
    unsigned char b[8];
    store64(b, value);
    return put_until(sock, 8, reinterpret_cast<char *>(b), relative_deadline(0), err);
}

extern "C" ZTBASE_API int ts_put_length_string_abs(int sock, int n, const char *bytes,
                                                   time_t deadline, int *err) {
    return put_string_until(sock, n, bytes, zt::vnet::deadline_ms(deadline), err);
}

extern "C" ZTBASE_API int ts_put_length_string(int sock, int n, const char *bytes, int *err) {
    return put_string_until(sock, n, bytes, relative_deadline(0), err);
}

extern "C" ZTBASE_API int ts_put_string_abs(int sock, const char *text, time_t deadline, int *err) {
    if (!text)
        text = "";
    return put_string_until(sock, int(strlen(text)), text, zt::vnet::deadline_ms(deadline), err);
}

extern "C" ZTBASE_API int ts_put_string(int sock, const char *text, int *err) {
    if (!text)
        text = "";
    return put_string_until(sock, int(strlen(text)), text, relative_deadline(0), err);
}

extern "C" ZTBASE_API int ts_get_short_tt(int sock, int timeout, int *err, int adjust) {
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    unsigned char b[2];
    const int rc = get_value(sock, b, 2, relative_deadline(timeout), err,
                             "error reading short from socket", "ts_get_short");
    return rc != 0 ? rc : int(load16(b));
}

extern "C" ZTBASE_API int ts_get_short(int sock, int timeout, int *err) {
    return ts_get_short_tt(sock, timeout, err, 0);
}

extern "C" ZTBASE_API int ts_get_long_abs(int sock, time_t deadline, int *err) {
    return get_long_until(sock, zt::vnet::deadline_ms(deadline), err);
}

extern "C" ZTBASE_API int ts_get_long_tt(int sock, int timeout, int *err, int adjust) {
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    return get_long_until(sock, relative_deadline(timeout), err);
}

extern "C" ZTBASE_API int ts_get_long(int sock, int timeout, int *err) {
    return get_long_until(sock, relative_deadline(timeout), err);
}

extern "C" ZTBASE_API vint64t ts_get_vint64t(int sock, int timeout, int *err) {
    unsigned char b[8];
    const int rc = get_value(sock, b, 8, relative_deadline(timeout), err,
                             "error reading v_int64_t from socket", "ts_get_vint64t");
    return rc != 0 ? rc : vint64t(load64(b));
}

extern "C" ZTBASE_API vuint64t ts_get_vuint64t(int sock, int timeout, int *err) {
    unsigned char b[8];
    const int rc = get_value(sock, b, 8, relative_deadline(timeout), err,
                             "error reading v_uint64_t from socket", "ts_get_vuint64t");
    return rc != 0 ? vuint64t(int64_t(rc)) : load64(b);
}

extern "C" ZTBASE_API int ts_get_string_tt(int sock, char *buffer, int size, int timeout, int *err,
                                           int adjust) {
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    return get_string_until(sock, buffer, size, relative_deadline(timeout), err);
}

extern "C" ZTBASE_API int ts_get_string(int sock, char *buffer, int size, int timeout, int *err) {
    return get_string_until(sock, buffer, size, relative_deadline(timeout), err);
}
