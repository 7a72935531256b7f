// The readiness wait. A wait is a run of poll() calls of at most one second
// each, so that the process's library callback is asked between slices
// whether the operation should go on; no lock is held while waiting.
// poll() stands in for select(): it has no limit on descriptor numbers.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <poll.h>

#include "netbase/vnet_ready.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

// Asked between slices of every wait; the socket primitives above use it too.
extern "C" {
ZTBASE_API library_callback_fn library_callback_function = nullptr;
}

namespace zt::vnet {

namespace {

constexpr int64_t kSliceMs = 1000;
// A deadline further than this in the past is a caller's mistake worth a line.
constexpr int64_t kLateLogMs = 5000;
const char kFile[] = "vnet.cpp";
// Deadlines are held within this distance of 1970, far beyond any clock.
constexpr int64_t kFarMs = INT64_MAX / 4;

void set_error(int *error_out, int value) {
    if (error_out)
        *error_out = value;
}

} // namespace

int64_t deadline_ms(time_t deadline) {
    constexpr int64_t kFar = kFarMs / 1000;
    const int64_t s = deadline > kFar ? kFar : (deadline < -kFar ? -kFar : int64_t(deadline));
    return s * 1000;
}

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int sock_ready_until_ms(int sock, bool want_read, bool want_write, int64_t deadline_ms,
                        int *error_out) {
    static const char tag[] = "vnet_sock_ready_abs";
    set_error(error_out, 0);
    if (sock < 0) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] invalid socket %d", kFile, __LINE__, sock);
        set_error(error_out, EBADF);
        return VNET_BAD_PARAM;
    }
    if (!want_read && !want_write)
        return 0;

    deadline_ms = std::clamp(deadline_ms, -kFarMs, kFarMs);
    const int64_t left_on_entry = deadline_ms - now_ms();
    if (left_on_entry < -kLateLogMs)
        logmsgf(ZTLOG_WARNING, tag, "Negative timeout (%d) passed in, timing out immediately",
                int(std::max<int64_t>(left_on_entry / 1000, INT_MIN)));

    pollfd pfd{};
    pfd.fd = sock;
    pfd.events = short((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0));
    for (;;) {
        int64_t left = deadline_ms - now_ms();
        const int slice = int(left <= 0 ? 0 : (left < kSliceMs ? left : kSliceMs));
        pfd.revents = 0;
        int rc = poll(&pfd, 1, slice);
        // Interruptions repeat the slice, but never past the deadline: a poll
        // with nothing ready fails so while a signal is pending.
        if (rc < 0 && errno == EINTR) {
            if (deadline_ms - now_ms() > 0)
                continue;
            rc = 0;
        }
        if (rc < 0) {
            const int e = errno;
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] errno=%d sock=%d", kFile, __LINE__, e, sock);
            set_error(error_out, e);
            return vnet_errno_to_status(e, VNET_SOCKET_FAILED);
        }
        if (rc > 0) {
            if (pfd.revents & POLLNVAL) {
                logmsgf(ZTLOG_ERROR, tag, "[%s:%d] errno=%d sock=%d", kFile, __LINE__, EBADF, sock);
                set_error(error_out, EBADF);
                return VNET_SOCKET_FAILED;
            }
            // An error or hang-up makes the socket "ready" as select would: the
            // next read or write reports the condition itself.
            return 0;
        }
        if (deadline_ms - now_ms() <= 0) {
            if (left_on_entry > 0)
                logmsgf(ZTLOG_INFO, tag, "[%s:%d] abs_time=%d sock=%d err=%d", kFile, __LINE__,
                        int(deadline_ms / 1000), sock, 0);
            set_error(error_out, ETIMEDOUT);
            return VNET_TIMEOUT;
        }
        if (library_callback_function && library_callback_function() != 0) {
            logmsgf(ZTLOG_WARNING, tag, "[%s:%d] library callback asked to stop sock=%d", kFile,
                    __LINE__, sock);
            set_error(error_out, EINTR);
            return VNET_LIBRARY_CALLBACK_QUIT;
        }
    }
}

} // namespace zt::vnet

extern "C" ZTBASE_API int vnet_sock_ready_abs(int sock, int want_read, int want_write,
                                              time_t deadline, int *error_out) {
    return zt::vnet::sock_ready_until_ms(sock, want_read != 0, want_write != 0,
                                         zt::vnet::deadline_ms(deadline), error_out);
}

extern "C" ZTBASE_API int vnet_sock_ready(int sock, int want_read, int want_write, int timeout) {
    // 0 polls once; a negative timeout counts as one second.
    const int64_t span_ms = timeout < 0 ? 1000 : int64_t(timeout) * 1000;
    return zt::vnet::sock_ready_until_ms(sock, want_read != 0, want_write != 0,
                                         zt::vnet::now_ms() + span_ms, nullptr);
}
