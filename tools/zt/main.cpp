// zt: a command-line window on libztbase for operators, tests and newcomers.
#include <cstring>

#include "commands.h"

namespace {

struct Command {
    const char *name;
    int (*run)(int, char **);
    const char *help;
};

const Command kCommands[] = {
    {"status", zt::cmd_status, "status CODE [LOCALE] | status --all   text of a status code"},
    {"date", zt::cmd_date, "date TEXT [--start-of-day]           a typed date as a time value"},
    {"reg", zt::cmd_reg,
     "reg query|add|delete|export|import|backup|restore ...  the registry store"},
    {"paths", zt::cmd_paths, "paths [LABEL...]                     expanded path labels"},
    {"config", zt::cmd_config,
     "config items [LABEL...] | info      configuration items and defaults; the information record"},
    {"config", zt::cmd_config,
     "config show [LABEL...] | set 'LABEL = VALUE'... | set -f FILE | unset LABEL... | check FILE"},
    {"logs", zt::cmd_logs, "logs list DIR [--user U|--all-users] [--date MMDDYY]  log files"},
    {"vnet", zt::cmd_vnet,
     "vnet status [--zt] [N...] | vnet services FILE  vnet statuses, services"},
    {"msg", zt::cmd_msg, "msg [--json] ID [LOCALE [ARGS...]]     a message in a locale"},
    {"lock", zt::cmd_lock,
     "lock PATH [read|write] -- COMMAND | lock --show PATH  a command under a file lock"},
    {"resolve", zt::cmd_resolve,
     "resolve HOST [SERVICE] [--json]      a cached lookup and where it came from"},
    {"hostcache", zt::cmd_hostcache,
     "hostcache list | show HOST | clear [--older-than S]  the machine-wide file cache"},
    {"whitelist", zt::cmd_whitelist,
     "whitelist dump [NAME [DOMAIN]] [--type 0|1] [--json] | clear ... | check | repair  the whitelist cache"},
    {"path-allowed", zt::cmd_path_allowed,
     "path-allowed [--recursive] [--command] PATH ALLOWED...  a path against a path whitelist"},
    {"demo", zt::cmd_demo, "demo                                 a tour of what the library does"},
};

int print_help(FILE *out) {
    fputs("usage: zt COMMAND [ARGS...]\n", out);
    for (const Command &c : kCommands)
        fprintf(out, "  zt %s\n", c.help);
    return out == stdout ? 0 : 2;
}

} // namespace

namespace zt {

int usage(const char *text) {
    fprintf(stderr, "usage: zt %s\n", text);
    return 2;
}

} // namespace zt

int main(int argc, char **argv) {
    if (argc < 2)
        return print_help(stderr);
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0)
        return print_help(stdout);
    for (const Command &c : kCommands)
        if (strcmp(argv[1], c.name) == 0)
            return c.run(argc - 2, argv + 2);
    fprintf(stderr, "zt: unknown command '%s'\n", argv[1]);
    return print_help(stderr);
}
