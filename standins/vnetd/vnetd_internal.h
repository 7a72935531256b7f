// Between the vnetd stand-in's listener and its conversation.
#pragma once

#include "vnetd_server.h"

namespace ztvnetd {

// Serves one client connection to its end; the connection is closed or
// handed over, after forget(fd).

void serve_connection(int fd, const Options &options);

// The listener stops tracking fd (before it is closed or handed over).
void forget(int fd);

// Wakes every connection waiting for a forward so that it ends now.
void stop_waiting();

} // namespace ztvnetd
