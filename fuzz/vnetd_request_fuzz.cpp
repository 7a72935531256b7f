// The vnetd daemon's request reader: a client's bytes, whatever they are,
// through the handshake and the requests. The conversation must end when the
// input closes, without a crash or a sanitizer report.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "vnetd_internal.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Nothing of the host's: the registry and every path below a scratch root.
    char dir[] = "/tmp/vnetd-fuzz.XXXXXX";
    if (mkdtemp(dir) != nullptr) {
        setenv("ZT_REGISTRY", (std::string(dir) + "/registry").c_str(), 1);
        setenv("ZT_REGISTRY_USER", (std::string(dir) + "/user").c_str(), 1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536)
        return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    int big = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (size > 0 && send(sv[0], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[0], SHUT_WR);
    ztvnetd::Options options;
    options.io_timeout = 1;
    options.idle_timeout = 1;
    ztvnetd::serve_connection(sv[1], options); // closes or hands over sv[1]
    close(sv[0]);
    return 0;
}
