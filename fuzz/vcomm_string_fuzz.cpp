// vcomm_get_string_buf on any stream: the first byte picks the caller's
// buffer size; every result is a length that fits, or an error.
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "ztbase/vnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 65536)
        return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return 0;
    const int room = 1 + data[0];
    if (send(sv[0], data + 1, size - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(size - 1)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[0], SHUT_WR);
    vcomm_reader reader{};
    std::vector<char> buf(static_cast<size_t>(room));
    for (int calls = 0; calls < 100000; ++calls) {
        int error = 0;
        int n = vcomm_get_string_buf(sv[1], buf.data(), room, 1, &error, &reader);
        if (n < 0)
            break;
        if (n >= room || buf[static_cast<size_t>(n)] != '\0')
            __builtin_trap();
    }
    vcomm_reader_free(&reader);
    close(sv[0]);
    close(sv[1]);
    return 0;
}
