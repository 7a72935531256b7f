// The port exchange: one thread, one poll loop. It accepts TCP clients, reads
// each one's hello (and nothing past it) under a deadline, and hands the
// socket to the server registered under the extension over that server's
// control connection. A slow or silent client holds only its own slot.
//
// Invariants:
// - A registration is its control connection: when the connection ends (the
//   server exited, or sent something that is not the protocol), the extension
//   is free again.
// - A server has at most `cap` hand-overs sent and not yet reported taken
//   (its backlog); further clients for it are refused "busy" at once.
// - Every descriptor the loop opens is closed on every path; the loop holds a
//   client's socket only until it is handed over or refused.
#pragma once

#include <functional>
#include <string>

namespace ztpbx {

struct ExchangeOptions {
    int port = 1556;             // TCP port; 0 lets the kernel choose
    std::string listen;          // address to listen on; empty: every address
    int name_timeout_ms = 10000; // a client's hello, a control connection's first message
    size_t max_clients = 1024;   // clients whose hello is still being read
    size_t max_controls = 256;   // control connections (registrations and queries)
    bool verbose = false;        // log every client, not only registrations and errors
    // Called once the sockets listen, with the TCP port bound.
    std::function<void(int port)> on_listening;
    // Where log lines go (default: standard error).
    std::function<void(const std::string &line)> log;
};

// Runs until stop_fd becomes readable (a signalfd or a pipe). 0 after a clean
// stop; otherwise the errno of the failure that ended it (after logging it).
int run_exchange(const ExchangeOptions &options, int stop_fd);

} // namespace ztpbx
