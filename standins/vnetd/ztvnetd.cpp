// ztvnetd: the vnetd daemon. Foreground; a service manager runs it.
//   ztvnetd [--port N] [--bind ADDRESS] [--max-connections N]
// --port 0 lets the kernel pick the port; the bound port is printed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vnetd_server.h"

namespace {

void usage() {
    fprintf(stderr, "usage: ztvnetd [--port N] [--bind ADDRESS] [--max-connections N]\n");
}

bool number(const char *text, int lo, int hi, int *out) {
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    ztvnetd::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        }
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        const char *value = argv[++i];
        if ((arg == "--port" && number(value, 0, 65535, &options.port)) ||
            (arg == "--max-connections" && number(value, 1, 65536, &options.max_connections)))
            continue;
        if (arg == "--bind") {
            options.bind = value;
            continue;
        }
        fprintf(stderr, "ztvnetd: invalid argument %s %s\n", arg.c_str(), value);
        usage();
        return 2;
    }
    return ztvnetd::run(options);
}
