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

std::string valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                                 : c >= 0xF0 && c <= 0xF4                          ? 4
                                                                                   : 0;
        if (len > 1) {
            // The second byte's range rules out overlong forms, surrogates
            // and code points past U+10FFFF.
            const unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
            const unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
            if (i + len > n || p[i + 1] < lo || p[i + 1] > hi)
                len = 0;
            for (size_t k = 2; len != 0 && k < len; ++k)
                if ((p[i + k] & 0xC0) != 0x80)
                    len = 0;
        }
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

json_t *json_text(std::string_view text) {
    const std::string valid = valid_utf8(text);
    return json_stringn(valid.data(), valid.size());
}

} // namespace zt

