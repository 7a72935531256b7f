// The clock of the debug log: line times, the day change and the 60-second
// configuration check all read it, so tests can move time without waiting.
#pragma once

#include <ctime>

namespace ztbase::logclock {

using NowFn = void (*)(timespec *now);

// The current wall-clock time (CLOCK_REALTIME unless a test clock is set).
void now(timespec *out);
// Installs a test clock; null restores the real one.
void set(NowFn fn);

} // namespace ztbase::logclock
