#include "logging/log_clock.h"

#include <atomic>

namespace ztbase::logclock {
namespace {

std::atomic<NowFn> g_now{nullptr};

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

} // namespace ztbase::logclock
