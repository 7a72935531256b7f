// common_comm: the process-wide settings and hook, the interrupt status,
// start-up, port files, the UTF-8 check, status texts and the readiness timers
// of the socket value primitives.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <time.h>

#include "platform/posix_io.h"
#include "wire/common_comm_internal.h"
#include "ztbase/comm.h"
#include "ztbase/config.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"

extern "C" {
ZTBASE_API int comm_verbose = 0;
ZTBASE_API int getsock_disable_to = 0;
ZTBASE_API int extra_tries_on_connect = 0;
ZTBASE_API int overide_connect_timeout = 0;
ZTBASE_API int defaultPORT = 0;
}

namespace zt::comm {

namespace {
// Written from signal handlers: lock-free by construction.
std::atomic<int> g_interrupt{0};
static_assert(std::atomic<int>::is_always_lock_free);
} // namespace

int interrupt_status() {
    return g_interrupt.load(std::memory_order_relaxed);
}

void set_interrupt_status(int status) {
    g_interrupt.store(status, std::memory_order_relaxed);
}

int64_t mono_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t deadline_after(int timeout) {
    return timeout < 0 ? -1 : mono_ms() + int64_t(timeout) * 1000;
}

int poll_until(pollfd *pfd, int64_t deadline) {
    for (;;) {
        int ms = -1;
        if (deadline >= 0) {
            const int64_t left = deadline - mono_ms();
            ms = left <= 0 ? 0 : int(std::min<int64_t>(left, INT_MAX));
        }
        const int rc = poll(pfd, 1, ms);
        if (rc > 0 || (rc < 0 && errno != EINTR))
            return rc;
        const int e = errno;
        if (deadline >= 0 && mono_ms() >= deadline)
            return 0;
        if (rc < 0) {
            errno = e;
            return -1;
        }
        // A slice shorter than the wait ended: wait on.
    }
}

bool callback_gives_up() {
    library_callback_fn fn = library_callback_function;
    return fn && fn() != 0;
}

bool is_not_connected(int error) {
    return error == ENOTCONN || error == EPIPE || error == ECONNRESET || error == ECONNABORTED;
}

std::string error_text(int error) {
    char buf[256];
    return strerror_r(error, buf, sizeof buf);
}

bool buffer_check_disabled() {
    // Presence is the value: no output wanted, so the file is never opened.
    return read_AD_HOC_config_entry(getFennicString("BP_DIR"), "DISABLE_BUFFER_CHECK", nullptr,
                                    nullptr, 0, nullptr, "common_comm", __LINE__) == 0;
}

namespace {

// A plain file (through links): a FIFO planted at the name, held open by a
// writer that never writes, would hang every connect that looks for a port.
int read_port_file(const std::string &path, int absent, const char *tag) {
    ztbase::pio::Fd fd = ztbase::pio::open_regular_file(path.c_str());
    if (!fd)
        return absent;
    char line[64] = {};
    size_t length = 0;
    const bool got =
        ztbase::pio::read_all(fd.get(), line, sizeof line - 1, &length) == 0 && length > 0;
    if (char *nl = static_cast<char *>(memchr(line, '\n', length)))
        nl[1] = '\0'; // the first line only
    char *end = nullptr;
    errno = 0;
    const long port = got ? strtol(line, &end, 10) : 0;
    if (!got || end == line || errno != 0 || port < 0 || port > 65535) {
        logmsgf(ZTLOG_WARNING, tag, "no port number in %s", path.c_str());
        return absent;
    }
    return int(port);
}

bool plain_name(const char *name) {
    return name && *name && !strchr(name, '/') && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// Length of the multi-byte sequence a lead byte starts, 0 when it starts none.
int sequence_length(unsigned char c) {
    if (c >= 0xC0 && c <= 0xDF)
        return 2;
    if (c >= 0xE0 && c <= 0xEF)
        return 3;
    if (c >= 0xF0 && c <= 0xF7)
        return 4;
    if (c >= 0xF8 && c <= 0xFB)
        return 5;
    if (c >= 0xFC && c <= 0xFD)
        return 6;
    return 0;
}

int wait_one(int sock, short events, int timeout) {
    pollfd pfd{sock, events, 0};
    const int64_t deadline = deadline_after(timeout);
    for (;;) {
        const int rc = poll_until(&pfd, deadline);
        if (rc > 0 && (pfd.revents & POLLNVAL)) {
            // As select would: a descriptor that is not open is an error.
            errno = EBADF;
            return -1;
        }
        if (rc >= 0 || errno != EINTR)
            return rc;
        if (callback_gives_up()) {
            errno = EINTR;
            return -1;
        }
    }
}

thread_local char t_commerr[80];

} // namespace

} // namespace zt::comm

using namespace zt::comm;

extern "C" ZTBASE_API int sighdl(int signal) {
    const int status = signal == 2 ? COMM_INTERRUPTED : COMM_UNEXPECTED_INTERRUPT;
    set_interrupt_status(status);
    return status;
}

extern "C" ZTBASE_API int recvable_timer(int sock, int timeout) {
    return wait_one(sock, POLLIN, timeout);
}

extern "C" ZTBASE_API int sendable_timer(int sock, int timeout) {
    return wait_one(sock, POLLOUT, timeout);
}

extern "C" ZTBASE_API int winsock_start(void) {
    return 1;
}

extern "C" ZTBASE_API void winsock_stop(void) {}

extern "C" ZTBASE_API int getdefaultPORT(const char *name) {
    if (!plain_name(name))
        return -1;
    return read_port_file(std::string(getFennicString("VM_PORTS_DIR")) + "/" + name, -1,
                          "getdefaultPORT");
}

extern "C" ZTBASE_API int getoverridePORT(const char *name) {
    if (!plain_name(name))
        return 0;
    return read_port_file(std::string(getFennicString("OVERRIDE_PATH")) + getFennicString("_ps") +
                              name,
                          0, "getoverridePORT");
}

extern "C" ZTBASE_API int verify_string(const char *text, int length) {
    if (length < 1 || buffer_check_disabled())
        return 0;
    if (!text)
        return -1;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    for (int i = 0; i < length && p[i] != 0;) {
        const unsigned char c = p[i];
        if (c >= 0x20 && c <= 0x7E) {
            ++i;
            continue;
        }
        const int n = sequence_length(c);
        if (n == 0 || n > length - i)
            return -1;
        for (int k = 1; k < n; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF)
                return -1;
        i += n;
    }
    return 0;
}

extern "C" ZTBASE_API char *commerrstr(int status) {
    static const char *const texts[] = {
        "success",                             // 0
        "incoming data too large for buffer",  // -1
        "connection timed out",                // -2
        "network read error",                  // -3
        "network write error",                 // -4
        "connection dropped or not connected", // -5
        "pipe broken",                         // -6
        "interrupted",                         // -7
        "unexpected interrupt",                // -8
        "premature end of file encountered",   // -9
        nullptr,                               // -10
        "unable to allocate memory",           // -11
        "operation would block",               // -12
        "unexpected message received",         // -13
    };
    const bool known = status <= 0 && status > -int(std::size(texts)) && texts[-status];
    if (known)
        snprintf(t_commerr, sizeof t_commerr, "%s", texts[-status]);
    else
        snprintf(t_commerr, sizeof t_commerr, "%s %d", "unknown error", status);
    return t_commerr;
}
