// The vnet codec (bytes, NUL-terminated strings and decimal numbers over a
// socket), the length-framed string reader, blocking and inheritance flags
// and the orderly close. Every transfer waits through the readiness wait of
// vnet_ready.h; no state is shared between calls except the reader record the
// caller owns.
//
// A reader consumes exactly its value: the bytes after a string's NUL belong
// to the next step of the protocol, possibly to another process after a
// hand-off. vnet_pop_string therefore peeks for the NUL and consumes through it.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "vnet/vnet_codec.h"
#include "netbase/vnet_ready.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

#define VNET_FAIL(tag, status) (vnet_failure(__FILE_NAME__, __LINE__, tag, status), (status))

namespace zt::vnet {

namespace {

bool has_sign(const char *text, char sign) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    return *text == sign;
}

// strto* skip leading blanks and accept "0x"; the whole rest must be digits.
bool whole_number(const char *text, const char *end) {
    if (end == text)
        return false; // no digits at all
    return *end == '\0';
}

} // namespace

int parse_signed(const char *text, long *value) {
    if (text == nullptr)
        return VNET_BAD_NUMBER;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 0);
    if (!whole_number(text, end) || errno == ERANGE)
        return VNET_BAD_NUMBER;
    *value = v;
    return VNET_SUCCESS;
}

int parse_unsigned(const char *text, unsigned long *value) {
    if (text == nullptr || has_sign(text, '-'))
        return VNET_BAD_NUMBER;
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(text, &end, 0);
    if (!whole_number(text, end) || errno == ERANGE)
        return VNET_BAD_NUMBER;
    *value = v;
    return VNET_SUCCESS;
}

} // namespace zt::vnet

namespace {

using zt::vnet::kNumberSize;

// Deadline of one wait under the codec's timeout rule.
int64_t deadline_after(int timeout) {
    return zt::vnet::now_ms() + (timeout < 0 ? 1000 : int64_t(timeout) * 1000);
}

int wait_for(int sock, bool read, int timeout) {
    return zt::vnet::sock_ready_until_ms(sock, read, !read, deadline_after(timeout), nullptr);
}

bool trace_strings() {
    static const bool on = [] {
        const char *v = getenv("VNET_DEBUG_STRING_INFO");
        return v != nullptr && strcmp(v, "YES") == 0;
    }();
    return on;
}

void trace(int sock, bool sent, int status, const char *text) {
    if (!trace_strings())
        return;
    char local[80] = "", peer[80] = "";
    vnet_socket_to_local_hostname_and_ipstring(sock, nullptr, 0, local, sizeof local);
    vnet_socket_to_peer_hostname_and_ipstring(sock, nullptr, 0, peer, sizeof peer);
    char line[1200];
    snprintf(line, sizeof line, "%s %s %s %d %d <%.1024s>", local, sent ? "->" : "<-", peer, sock,
             status, text != nullptr ? text : "");
    vnet_debug_value_level(__FILE_NAME__, __LINE__, "debug_string_info", "string info", line, 0, 1);
}

// Sends all n bytes: the first wait under the caller's timeout, later ones a
// second each.
int send_all(int sock, const char *data, size_t n, int timeout, const char *tag) {
    int wait = timeout;
    while (n > 0) {
        int rc = wait_for(sock, false, wait);
        if (rc != 0)
            return VNET_FAIL(tag, rc);
        wait = 1;
        ssize_t sent = send(sock, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            logmsgf(ZTLOG_ERROR, tag, "send failed: errno %d sock %d", errno, sock);
            return VNET_FAIL(tag, vnet_errno_to_status(errno, VNET_WRITE_FAILED));
        }
        data += sent;
        n -= static_cast<size_t>(sent);
    }
    return VNET_SUCCESS;
}

// One receive after a successful wait: >0 bytes, 0 for the peer's end of
// stream, -1 to wait again, or -2 with *status set.
ssize_t receive(int sock, char *buf, size_t n, int flags, int *status, const char *tag) {
    ssize_t got = recv(sock, buf, n, flags | MSG_DONTWAIT);
    if (got >= 0)
        return got;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
        return -1;
    logmsgf(ZTLOG_ERROR, tag, "recv failed: errno %d sock %d", errno, sock);
    *status = vnet_errno_to_status(errno, VNET_READ_FAILED);
    return -2;
}

int pop_string(int sock, char *buffer, int size, int timeout, const char *tag) {
    if (buffer == nullptr || size < 1)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    buffer[0] = '\0';
    timeout = vnet_adjust_timeout(sock, timeout);
    // The whole string is due by one deadline: a peer that trickles its
    // bytes cannot stretch the read past the caller's timeout.
    const int64_t deadline = deadline_after(timeout);
    size_t got = 0;
    const size_t room = static_cast<size_t>(size);
    while (got < room) {
        int rc = zt::vnet::sock_ready_until_ms(sock, true, false, deadline, nullptr);
        if (rc != 0) {
            buffer[got] = '\0';
            return VNET_FAIL(tag, rc);
        }
        int status = 0;
        ssize_t n = receive(sock, buffer + got, room - got, MSG_PEEK, &status, tag);
        if (n == -1)
            continue;
        if (n <= 0) {
            buffer[got] = '\0';
            if (n == 0)
                logmsgf(ZTLOG_ERROR, tag, "connection closed by peer, sock %d", sock);
            return VNET_FAIL(tag, n == 0 ? VNET_READ_FAILED : status);
        }
        const void *nul = memchr(buffer + got, '\0', static_cast<size_t>(n));
        size_t take = nul != nullptr
                          ? static_cast<size_t>(static_cast<const char *>(nul) - (buffer + got)) + 1
                          : static_cast<size_t>(n);
        // Peeked bytes are there to take; a short take only on a shared socket.
        n = recv(sock, buffer + got, take, MSG_DONTWAIT);
        if (n <= 0) {
            buffer[got] = '\0';
            return VNET_FAIL(tag, vnet_errno_to_status(errno, VNET_READ_FAILED));
        }
        got += static_cast<size_t>(n);
        if (nul != nullptr && static_cast<size_t>(n) == take)
            return VNET_SUCCESS;
    }
    buffer[room - 1] = '\0';
    logmsgf(ZTLOG_ERROR, tag, "no NUL in %d bytes, sock %d", size, sock);
    return VNET_FAIL(tag, VNET_BAD_STRING);
}

void log_bad_number(const char *str, const char *ptr, const char *tag) {
    logmsgvf(ZTLOG_DEBUG, 1, tag, "str = %p, str_size = %ld, ptr = %p, ptr - str = %ld",
             static_cast<const void *>(str), static_cast<long>(kNumberSize),
             static_cast<const void *>(ptr), static_cast<long>(ptr - str));
    for (long i = 0; i < kNumberSize; ++i)
        logmsgvf(ZTLOG_DEBUG, 1, tag, "    str[%ld] = 0x%02x", i,
                 static_cast<unsigned char>(str[i]));
}

} // namespace

extern "C" ZTBASE_API int vnet_push_byte(int sock, int value, int timeout) {
    static const char *const tag = "vnet_push_byte";
    if (value < 0 || value > 255)
        return VNET_FAIL(tag, VNET_BAD_NUMBER);
    const char byte = static_cast<char>(value);
    return send_all(sock, &byte, 1, timeout, tag);
}

extern "C" ZTBASE_API int vnet_pop_byte(int sock, int *value, int timeout) {
    static const char *const tag = "vnet_pop_byte";
    if (value == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    *value = -1;
    for (;;) {
        int rc = wait_for(sock, true, timeout);
        if (rc != 0)
            return VNET_FAIL(tag, rc);
        unsigned char byte = 0;
        int status = 0;
        ssize_t n = receive(sock, reinterpret_cast<char *>(&byte), 1, 0, &status, tag);
        if (n == -1)
            continue;
        if (n <= 0)
            return VNET_FAIL(tag, n == 0 ? VNET_READ_FAILED : status);
        *value = byte;
        return VNET_SUCCESS;
    }
}

extern "C" ZTBASE_API int vnet_push_string(int sock, const char *text, int timeout) {
    static const char *const tag = "vnet_push_string";
    if (text == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    int rc = send_all(sock, text, strlen(text) + 1, timeout, tag);
    trace(sock, true, rc, text);
    return rc;
}

extern "C" ZTBASE_API int vnet_pop_string(int sock, char *buffer, int size, int timeout) {
    int rc = pop_string(sock, buffer, size, timeout, "vnet_pop_string");
    trace(sock, false, rc, buffer);
    return rc;
}

extern "C" ZTBASE_API int vnet_push_signed(int sock, long value, int timeout) {
    char text[kNumberSize];
    snprintf(text, sizeof text, "%ld", value);
    int rc = vnet_push_string(sock, text, timeout);
    return rc != 0 ? VNET_FAIL("vnet_push_signed", rc) : rc;
}

extern "C" ZTBASE_API int vnet_push_unsigned(int sock, unsigned long value, int timeout) {
    char text[kNumberSize];
    snprintf(text, sizeof text, "%lu", value);
    int rc = vnet_push_string(sock, text, timeout);
    return rc != 0 ? VNET_FAIL("vnet_push_unsigned", rc) : rc;
}

extern "C" ZTBASE_API int vnet_push_status(int sock, int status, int timeout) {
    int rc = vnet_push_signed(sock, status, timeout);
    return rc != 0 ? VNET_FAIL("vnet_push_status", rc) : rc;
}

extern "C" ZTBASE_API int vnet_pop_signed(int sock, long *value, int timeout) {
    static const char *const tag = "vnet_pop_signed";
    if (value == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    char str[kNumberSize] = {};
    int rc = vnet_pop_string(sock, str, sizeof str, timeout);
    if (rc != 0)
        return VNET_FAIL(tag, rc);
    if (zt::vnet::parse_signed(str, value) != 0) {
        log_bad_number(str, str + strlen(str), tag);
        return VNET_FAIL(tag, VNET_BAD_NUMBER);
    }
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_pop_unsigned(int sock, unsigned long *value, int timeout) {
    static const char *const tag = "vnet_pop_unsigned";
    if (value == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    char str[kNumberSize] = {};
    int rc = vnet_pop_string(sock, str, sizeof str, timeout);
    if (rc != 0)
        return VNET_FAIL(tag, rc);
    if (zt::vnet::parse_unsigned(str, value) != 0) {
        log_bad_number(str, str + strlen(str), tag);
        return VNET_FAIL(tag, VNET_BAD_NUMBER);
    }
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_pop_status(int sock, int *status, int timeout) {
    static const char *const tag = "vnet_pop_status";
    if (status == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    long value = 0;
    int rc = vnet_pop_signed(sock, &value, timeout);
    if (rc != 0)
        return VNET_FAIL(tag, rc);
    if (value < INT_MIN || value > INT_MAX)
        return VNET_FAIL(tag, VNET_BAD_NUMBER);
    *status = static_cast<int>(value);
    return VNET_SUCCESS;
}

// ---- length-framed strings ------------------------------------------------

namespace {

constexpr size_t kReaderInitial = 8192;
constexpr size_t kLengthBytes = 4;

// Moves the unread bytes to the front.
void compact(vcomm_reader *r) {
    if (r->pos > 0) {
        memmove(r->buf, r->buf + r->pos, r->held - r->pos);
        r->held -= r->pos;
        r->pos = 0;
    }
}

// Room for at least one more byte, doubling towards `need`: the buffer grows
// with what the peer sends, never with the length it merely claims.
bool make_room(vcomm_reader *r, size_t need) {
    if (r->held < r->size)
        return true;
    size_t size = r->size > 0 ? r->size * 2 : kReaderInitial;
    if (r->size > 0 && size > need)
        size = need;
    auto *grown = static_cast<char *>(realloc(r->buf, size));
    if (grown == nullptr)
        return false;
    r->buf = grown;
    r->size = size;
    return true;
}

// Reads until `need` unread bytes are held: 0, -9 at the peer's end, -3 on error.
int fill(int sock, vcomm_reader *r, size_t need, int *error_out, const char *tag) {
    if (r->held - r->pos >= need)
        return 0;
    compact(r);
    while (r->held < need) {
        if (!make_room(r, need)) {
            *error_out = ENOMEM;
            return -3;
        }
        ssize_t n = recv(sock, r->buf + r->held, r->size - r->held, 0);
        if (n == 0) {
            logmsg(ZTLOG_ERROR, "(7) premature end of file", tag);
            return -9;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error_out = errno;
            logmsgf(ZTLOG_ERROR, tag, "(5) network read() error:  %s", strerror(errno));
            return -3;
        }
        r->held += static_cast<size_t>(n);
    }
    return 0;
}

uint32_t length_at(const char *p) {
    uint32_t be;
    memcpy(&be, p, sizeof be);
    return ntohl(be);
}

} // namespace

extern "C" ZTBASE_API void vcomm_reader_free(vcomm_reader *reader) {
    if (reader == nullptr)
        return;
    free(reader->buf);
    *reader = vcomm_reader{};
}

extern "C" ZTBASE_API int vcomm_get_string_buf(int sock, char *buffer, int size, int timeout,
                                               int *error_out, vcomm_reader *reader) {
    static const char *const tag = "vcomm_get_string_buf";
    int ignored = 0;
    if (error_out == nullptr)
        error_out = &ignored;
    *error_out = 0;
    if (buffer == nullptr || size < 1 || reader == nullptr || reader->pos > reader->held) {
        logmsg(ZTLOG_ERROR, "(1) protocol error", tag);
        return -3;
    }
    timeval saved{};
    socklen_t saved_len = sizeof saved;
    bool timeout_set = false;
    // The receive timeout applies to this call only; it is set when the socket
    // must be read and put back before returning.
    auto set_timeout = [&]() -> int {
        if (timeout_set)
            return 0;
        if (getsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &saved, &saved_len) != 0) {
            *error_out = errno;
            logmsgf(ZTLOG_ERROR, tag, "(2) getsockopt failed:  %s", strerror(errno));
            return -3;
        }
        timeval tv{timeout > 0 ? timeout : 0, 0};
        if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
            *error_out = errno;
            logmsgf(ZTLOG_ERROR, tag, "(3) setsockopt failed:  %s", strerror(errno));
            return -3;
        }
        timeout_set = true;
        return 0;
    };
    auto finish = [&](int result) {
        if (timeout_set && setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &saved, sizeof saved) != 0) {
            logmsgf(ZTLOG_ERROR, tag, "(4) setsockopt failed:  %s", strerror(errno));
            if (result >= 0) {
                *error_out = errno;
                result = -3;
            }
        }
        return result;
    };

    int rc = 0;
    if (reader->held - reader->pos < kLengthBytes &&
        ((rc = set_timeout()) != 0 || (rc = fill(sock, reader, kLengthBytes, error_out, tag)) != 0))
        return finish(rc);
    const uint32_t length = length_at(reader->buf + reader->pos);
    if (length < 1 || length > INT32_MAX) {
        logmsg(ZTLOG_ERROR, "(1) protocol error", tag);
        return finish(-3);
    }
    if (length > static_cast<uint32_t>(size) - 1) {
        logmsgf(ZTLOG_ERROR, tag, "(8) room for %d bytes, but incoming data needs %d bytes",
                size - 1, static_cast<int>(length));
        return finish(-1);
    }
    const size_t frame = kLengthBytes + length;
    if (reader->held - reader->pos < frame &&
        ((rc = set_timeout()) != 0 || (rc = fill(sock, reader, frame, error_out, tag)) != 0))
        return finish(rc);
    memcpy(buffer, reader->buf + reader->pos + kLengthBytes, length);
    buffer[length] = '\0';
    reader->pos += frame;
    return finish(static_cast<int>(length));
}

// ---- descriptor flags and closing -------------------------------------------

namespace {

int set_flag(int sock, bool non_blocking, const char *message, const char *tag) {
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0 ||
        fcntl(sock, F_SETFL, non_blocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "%s: errno %d", message, errno);
        return VNET_FAIL(tag, VNET_SYSCALL_FAILED);
    }
    return VNET_SUCCESS;
}

} // namespace

extern "C" ZTBASE_API int vnet_set_blocking(int sock) {
    return set_flag(sock, false, "set blocking failed", "vnet_set_blocking");
}

extern "C" ZTBASE_API int vnet_set_non_blocking(int sock) {
    return set_flag(sock, true, "set non blocking failed", "vnet_set_non_blocking");
}

extern "C" ZTBASE_API int vnet_get_inherit_flag(int handle, int *flag) {
    static const char *const tag = "vnet_get_inherit_flag";
    int fd_flags = fcntl(handle, F_GETFD);
    if (flag == nullptr || fd_flags < 0) {
        logmsgf(ZTLOG_ERROR, tag, "GetHandleInformation() failed: errno %d", errno);
        return VNET_FAIL(tag, VNET_SYSCALL_FAILED);
    }
    *flag = (fd_flags & FD_CLOEXEC) ? 0 : 1;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_set_inherit_flag(int handle, int flag) {
    static const char *const tag = "vnet_set_inherit_flag";
    int fd_flags = fcntl(handle, F_GETFD);
    if (fd_flags < 0 ||
        fcntl(handle, F_SETFD, flag ? fd_flags & ~FD_CLOEXEC : fd_flags | FD_CLOEXEC) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "SetHandleInformation() failed: errno %d", errno);
        return VNET_FAIL(tag, VNET_SYSCALL_FAILED);
    }
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_closesocket(int sock) {
    static const char *const tag = "vnet_closesocket";
    if (sock == -1)
        return VNET_SUCCESS;
    vnet_deregister_resilient_socket(sock);
    if (close(sock) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "close errno %d sock %d", errno, sock);
        return VNET_FAIL(tag, VNET_SOCKET_FAILED);
    }
    return VNET_SUCCESS;
}

namespace {

constexpr int kDiscardRounds = 10;
constexpr size_t kDiscardSize = 4096;

// Reads until the peer's end of stream: true when it was seen.
bool drain_to_eof(int sock, int timeout, bool discard, int *result, const char *tag) {
    char buf[kDiscardSize];
    for (int rounds = 0;;) {
        int rc = wait_for(sock, true, timeout);
        if (rc != 0) {
            logmsgf(ZTLOG_ERROR, tag, "vnet_sock_ready() failed: %d", rc);
            *result = rc;
            return false;
        }
        ssize_t n = recv(sock, buf, discard ? sizeof buf : 1, 0);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            logmsgf(ZTLOG_ERROR, tag, "error on read EOF: errno %d", errno);
            return false;
        }
        if (!discard) {
            logmsg(ZTLOG_ERROR, "unexpected data, expecting EOF", tag);
            return false;
        }
        logmsgf(ZTLOG_WARNING, tag, "Discarding data size: %ld", static_cast<long>(n));
        if (++rounds >= kDiscardRounds) {
            logmsgf(ZTLOG_ERROR, tag, "Reached the max limit of recv loop: %d", rounds);
            return false;
        }
    }
}

} // namespace

extern "C" ZTBASE_API int vnet_close_socket_safely_ex(int sock, int timeout, int discard) {
    static const char *const tag = "vnet_close_socket_safely_ex";
    int result = VNET_SUCCESS;
    int keepalive = 0;
    socklen_t len = sizeof keepalive;
    if (getsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &len) != 0) {
        if (errno == ENOTSOCK) {
            logmsgf(ZTLOG_ERROR, tag, "not a socket: %d", sock);
            return VNET_FAIL(tag, VNET_BAD_PARAM);
        }
        logmsgf(ZTLOG_ERROR, tag, "getsockopt errno %d", errno);
        result = VNET_BAD_PARAM;
    } else if (keepalive == 0) {
        logmsgf(ZTLOG_WARNING, tag, "keepalive not set on socket %d", sock);
        result = VNET_BAD_PARAM;
    }
    if (shutdown(sock, SHUT_WR) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "shutdown errno %d", errno);
        result = VNET_BAD_PARAM;
    }
    vnet_set_non_blocking(sock);
    bool eof = drain_to_eof(sock, timeout, discard != 0, &result, tag);
    if (!eof && result == VNET_SUCCESS)
        result = VNET_READ_FAILED;
    if (vnet_closesocket(sock) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "close errno %d", errno);
        result = VNET_BAD_PARAM;
    }
    vnet_debug_value_level(__FILE_NAME__, __LINE__, tag, "safe close", nullptr, result, 5);
    return result != VNET_SUCCESS ? VNET_FAIL(tag, result) : result;
}

extern "C" ZTBASE_API int vnet_close_socket_safely(int sock, int timeout) {
    return vnet_close_socket_safely_ex(sock, timeout, 0);
}
