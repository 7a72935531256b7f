// Arbitrary bytes from a peer through a socketpair into every receiver that
// parses a length or a line: the first byte picks the receiver, the rest is
// what the peer sent before closing.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ztbase/comm.h"
#include "ztbase/debuglog.h"

namespace {

int g_null = -1;

void drain(int which, int sock, int size) {
    char buf[512];
    size = size < int(sizeof buf) ? size : int(sizeof buf);
    int e = 0, len = 0;
    for (int round = 0; round < 64; ++round) {
        switch (which) {
        case 0:
            if (get_string(sock, buf, size, 1, &e) < 0)
                return;
            break;
        case 1:
            if (get_string_ex(sock, buf, size, 1, &e, COMM_NONBLOCK_OK) < 0 || e != 0)
                return;
            break;
        case 2:
            if (!get_string_(sock, buf, &len, size, 1, 0))
                return;
            break;
        case 3: {
            char *s = get_string_(sock, nullptr, &len, 0, 1, 0);
            if (!s)
                return;
            free(s);
            break;
        }
        case 4:
            if (ts_get_string(sock, buf, size, 1, &e) < 0)
                return;
            break;
        case 5: {
            char *s = get_adaptable_string(sock, &len, 1, &e);
            if (!s)
                return;
            free(s);
            break;
        }
        case 6: {
            buf_block *block = create_buf_block(size_t(size % 64 + 1));
            while (Readline(sock, buf, size, 1, block) > 0) {
            }
            free_buf_block(block);
            return;
        }
        default:
            read_remote_file(sock, g_null, 1, "fuzz");
            return;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 65536)
        return 0;
    if (g_null < 0) {
        log_set_verbosity_filter(-2);
        g_null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    const int buffer = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    const int which = data[0] % 8;
    const int bufsize = data[1] % 128 + 1;
    if (send_n_bytes(fds[1], reinterpret_cast<const char *>(data + 2), int(size - 2)) ==
        int(size - 2)) {
        close(fds[1]);
        drain(which, fds[0], bufsize);
    } else {
        close(fds[1]);
    }
    close(fds[0]);
    return 0;
}
