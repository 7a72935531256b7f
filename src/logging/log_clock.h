// The clocks of the debug log: line times and the day change read the wall
// clock, the 60-second configuration check a monotonic one (a wall clock set
// back must not stall it). Tests replace either to move time without waiting.
#pragma once

#include <ctime>

namespace ztbase::logclock {

using NowFn = void (*)(timespec *now);

// The current wall-clock time (CLOCK_REALTIME unless a test clock is set).
void now(timespec *out);
// Installs a test wall clock; null restores the real one.
void set(NowFn fn);

// Seconds on a clock that never goes back (CLOCK_MONOTONIC unless a test
// clock is set).
long long monotonic_seconds();
// Installs a test monotonic clock; null restores the real one.
void set_monotonic(NowFn fn);

} // namespace ztbase::logclock
