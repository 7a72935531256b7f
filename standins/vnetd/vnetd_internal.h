// Between the vnetd stand-in's listener and its conversation.
#pragma once

#include <sys/types.h>

#include "vnetd_server.h"

namespace ztvnetd {

// Where a connection came from.
struct Peer {
    enum Kind { kTcp, kLocal, kExchange } kind = kTcp;
    // kLocal: the process at the other end, from the kernel.
    pid_t pid = 0;
    uid_t uid = 0;
};

// Serves one client connection to its end; the connection is closed or
// handed over, after forget(fd).
void serve_connection(int fd, const Options &options, const Peer &peer);

// Serves a new connection in a thread of its own when there is a slot (else
// closes it); the handshake has io_timeout in all.
void admit(int fd, const Options &options, const Peer &peer);

// The registrations with this host's port exchange (options.pbx): kept by a
// thread of their own from start to stop.
void start_exchange(const Options &options);
void stop_exchange();
// Whether connections through the exchange reach this daemon now.
bool exchange_registered();

// The listener stops tracking fd (before it is closed or handed over).
void forget(int fd);

// The step of the conversation that begins now (the wait for a request when
// idle, else one request with its answer) must be over within `seconds`
// (-1: no bound while the daemon works on its own); past it the connection
// is shut down, however its bytes trickle. Nothing for a forgotten fd.
void set_deadline(int fd, int seconds, bool idle = false);

// Wakes every connection waiting for a forward so that it ends now.
void stop_waiting();

} // namespace ztvnetd
