// Reading what a command is given to read: a file, or standard input for "-".
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "commands.h"
#include "platform/posix_io.h"

namespace zt {

bool read_input(const char *path, std::string &out, std::string &error) {
    namespace pio = ztbase::pio;
    pio::Fd owned;
    int fd = STDIN_FILENO;
    if (strcmp(path, "-") != 0) {
        // Only a regular file: a directory would read as nothing, a FIFO or
        // device could block or never end.
        owned = pio::open_regular_file(path);
        if (!owned.valid()) {
            error = strerror(errno);
            return false;
        }
        fd = owned.get();
    }
    out.clear();
    char buf[65536];
    for (;;) {
        size_t got = 0;
        if (int e = pio::read_all(fd, buf, sizeof buf, &got); e != 0) {
            error = strerror(e);
            return false;
        }
        out.append(buf, got);
        if (got < sizeof buf)
            return true;
    }
}

const char *input_name(const char *path) {
    return strcmp(path, "-") == 0 ? "(standard input)" : path;
}

bool take_flag(int &argc, char **argv, const char *flag) {
    for (int i = 0; i < argc; ++i)
        if (strcmp(argv[i], flag) == 0) {
            for (int j = i; j < argc; ++j)
                argv[j] = argv[j + 1];
            --argc;
            return true;
        }
    return false;
}

} // namespace zt
