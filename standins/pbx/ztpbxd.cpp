// ztpbxd: the port exchange daemon. Runs in the foreground (a service manager
// runs it; its systemd unit is ztpbxd.service.in beside this file), ends
// cleanly on SIGTERM or SIGINT.
//
//   ztpbxd [--port N] [--listen ADDRESS] [--name-timeout SECONDS] [--verbose]
//
// Without --port the port is that of the service "halvane_pbx": the services
// database, else the registry's PortNumber under Software\HALVANE\HxPBX, else
// 1556. --port 0 lets the kernel choose. The bound port is printed on standard
// output as "listening on port N".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

#include "exchange.h"
#include "ztbase/vnet_addrinfo.h"

namespace {

void usage(FILE *to) {
    fprintf(to, "usage: ztpbxd [--port N] [--listen ADDRESS] [--name-timeout SECONDS] "
                "[--verbose]\n");
}

bool number(const char *s, long lo, long hi, long *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    ztpbx::ExchangeOptions opt;
    bool port_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        long v = 0;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--verbose" || a == "-v") {
            opt.verbose = true;
        } else if (a == "--port" && i + 1 < argc && number(argv[i + 1], 0, 65535, &v)) {
            opt.port = int(v);
            port_given = true;
            ++i;
        } else if (a == "--listen" && i + 1 < argc) {
            opt.listen = argv[++i];
        } else if (a == "--name-timeout" && i + 1 < argc && number(argv[i + 1], 1, 3600, &v)) {
            opt.name_timeout_ms = int(v * 1000);
            ++i;
        } else {
            fprintf(stderr, "ztpbxd: bad argument: %s\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    if (!port_given) {
        int port = 0;
        if (vnet_cached_get_service_port("halvane_pbx", &port) == 0 && port > 0 && port < 65536)
            opt.port = port;
    }

    // Signals become readable bytes on a descriptor the loop polls.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sfd = signalfd(-1, &stop, SFD_CLOEXEC);
    if (sfd < 0) {
        fprintf(stderr, "ztpbxd: signalfd: %s\n", strerror(errno));
        return 1;
    }
    opt.on_listening = [](int port) {
        printf("listening on port %d\n", port);
        fflush(stdout);
    };
    int rc = ztpbx::run_exchange(opt, sfd);
    close(sfd);
    return rc == 0 ? 0 : 1;
}
