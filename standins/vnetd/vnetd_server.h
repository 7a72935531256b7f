// The vnetd stand-in: listens on the vnetd port, answers the version
// handshake and the requests, and hands connections to the services
// registered in the vnetd directory. ztvnetd and `zt vnetd run` run it.
#pragma once

#include <string>

namespace ztvnetd {

struct Options {
    int port = -1;            // -1: the configured vnetd port; 0: the kernel picks
    std::string bind;         // empty: every address of both families
    bool print_port = true;   // "listening on port N" on stdout once bound
    int max_connections = 256;
    int idle_timeout = 60;    // seconds a client may wait between requests
    int io_timeout = 10;      // seconds for each value within a request
};

// Serves until SIGTERM or SIGINT; returns the process exit status.
int run(const Options &options);

} // namespace ztvnetd
