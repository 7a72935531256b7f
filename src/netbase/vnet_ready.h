// The readiness wait behind vnet_sock_ready and every deadline-bound socket
// transfer of the library. The deadline is kept in milliseconds since 1970 so
// that relative timeouts are honoured to the millisecond, not rounded to the
// second the exported _abs form works in.
#pragma once

#include <cstdint>
#include <ctime>

namespace zt::vnet {

// Milliseconds since 1970 on the wall clock (the clock deadlines are given in).
int64_t now_ms();

// A deadline in seconds since 1970 as milliseconds. Deadlines beyond any clock
// (a time_t near its limits) are held to a far but finite time, so that the
// arithmetic of a wait on them cannot overflow.
int64_t deadline_ms(time_t deadline);

// Waits in slices of at most one second until sock is ready in an asked
// direction, the deadline passes (VNET_TIMEOUT) or library_callback_function
// asks to stop (VNET_LIBRARY_CALLBACK_QUIT). A wait that fails maps its errno
// through vnet_errno_to_status (default VNET_SOCKET_FAILED). *error_out (when
// given) receives 0 on success, ETIMEDOUT on timeout, EINTR when the callback
// stopped the wait, else the system error.
int sock_ready_until_ms(int sock, bool want_read, bool want_write, int64_t deadline_ms,
                        int *error_out);

} // namespace zt::vnet
