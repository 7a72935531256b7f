#include "logging/log_clock.h"

#include <atomic>

namespace ztbase::logclock {
namespace {

std::atomic<NowFn> g_now{nullptr};
std::atomic<NowFn> g_monotonic{nullptr};

} // namespace

void now(timespec *out) {
    NowFn fn = g_now.load(std::memory_order_acquire);
    if (fn != nullptr)
        fn(out);
    else
        clock_gettime(CLOCK_REALTIME, out);
}

void set(NowFn fn) {
    g_now.store(fn, std::memory_order_release);
}

long long monotonic_seconds() {
    timespec ts;
    NowFn fn = g_monotonic.load(std::memory_order_acquire);
    if (fn != nullptr)
        fn(&ts);
    else
        clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

void set_monotonic(NowFn fn) {
    g_monotonic.store(fn, std::memory_order_release);
}

} // namespace ztbase::logclock
