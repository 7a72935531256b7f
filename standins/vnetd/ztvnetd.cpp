// ztvnetd: the vnetd daemon. Foreground; a service manager runs it.
//   ztvnetd [--port N] [--bind ADDRESS] [--max-connections N] [--io-timeout S]
//           [--idle-timeout S] [--pbx auto|off]
// --port 0 lets the kernel pick the port; the bound port is printed.
#include <cstdio>
#include <string>

#include "vnetd_server.h"

namespace {

void usage() { fprintf(stderr, "usage: ztvnetd " ZTVNETD_OPTIONS_USAGE "\n"); }

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
        if (!ztvnetd::set_option(arg, value, &options)) {
            fprintf(stderr, "ztvnetd: invalid argument %s %s\n", arg.c_str(), value);
            usage();
            return 2;
        }
    }
    return ztvnetd::run(options);
}
