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
    int io_timeout = 10;      // seconds for the handshake, and for each request with its answer
    bool pbx = true;          // register with this host's port exchange whenever it runs
};

// The options as ztvnetd and `zt vnetd run` take them.
#define ZTVNETD_OPTIONS_USAGE \
    "[--port N] [--bind ADDRESS] [--max-connections N] [--io-timeout S] [--idle-timeout S] " \
    "[--pbx auto|off]"

// Takes one option and its value into *options; false when the option is
// unknown or its value out of range.
bool set_option(const std::string &name, const char *value, Options *options);

// Serves until SIGTERM or SIGINT; returns the process exit status.
int run(const Options &options);

} // namespace ztvnetd
