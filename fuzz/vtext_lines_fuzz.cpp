// The text record line reader on any bytes, from a file (NUL bytes, no final
// newline, backslashes at the end) and from memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "ztbase/vtext.h"

namespace {

size_t drain(vtext_handle *h) {
    size_t n = 0;
    for (;;) {
        void *item = nullptr;
        if (vtext_get_next_item(h, &item) != 0 || item == nullptr)
            return n;
        ++n;
        free(item);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int fd = memfd_create("vtext_fuzz", 0);
    if (fd < 0)
        return 0;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    vtext_handle *h = nullptr;
    if (vtext_open(path, VTEXT_MODE_READ, nullptr, nullptr, nullptr, &h) == 0) {
        size_t first = drain(h);
        void *item = nullptr;
        if (vtext_get_item(h, 0, &item) == 0 && item != nullptr && first == 0)
            __builtin_trap(); // a record appeared on the second reading
        free(item);
        vtext_close(&h, 0);
    }
    std::string text(reinterpret_cast<const char *>(data), size);
    if (vtext_open(text.c_str(), VTEXT_MODE_MEMORY, nullptr, nullptr, nullptr, &h) == 0) {
        drain(h);
        vtext_close(&h, 0);
    }
    return 0;
}
