// zt: a command-line window on libztbase for operators, tests and newcomers.
//
// Manners every command shares, kept here so that a command cannot forget
// them: -h/--help anywhere before "--" prints the command's help and runs
// nothing; "--" ends the options; a failed write of standard output is an
// error (exit 1).
#include <cerrno>
#include <cstring>
#include <vector>

#include <ztbase/version.h>

#include "commands.h"
#include "help.h"

namespace {

struct Command {
    const char *name;
    int (*run)(int, char **);
    const char *help; // one line, shown when zt.txt has no section for it
    // The command runs another command after "--": the separator and what
    // follows are its own, passed on as they stand.
    bool runs_a_command = false;
};

const Command kCommands[] = {
    {"status", zt::cmd_status, "status CODE [LOCALE] | status --all   text of a status code"},
    {"date", zt::cmd_date, "date TEXT [--start-of-day]           a typed date as a time value"},
    {"reg", zt::cmd_reg,
     "reg query|add|delete|export|import|backup|restore ...  the registry store"},
    {"paths", zt::cmd_paths, "paths [LABEL...]                     expanded path labels"},
    {"config", zt::cmd_config,
     "config items|info|show|set|unset|check ...  configuration items and the store"},
    {"logs", zt::cmd_logs, "logs list DIR [--user U|--all-users] [--date MMDDYY]  log files"},
    {"vnet", zt::cmd_vnet,
     "vnet status [--zt] [N...] | vnet services FILE  vnet statuses, services"},
    {"msg", zt::cmd_msg, "msg [--json] ID [LOCALE [ARGS...]]     a message in a locale"},
    {"lock", zt::cmd_lock,
     "lock PATH [read|write] -- COMMAND | lock --show PATH  a command under a file lock", true},
    {"resolve", zt::cmd_resolve,
     "resolve HOST [SERVICE] [--json]      a cached lookup and where it came from"},
    {"host", zt::cmd_host,
     "host same A B [--local] | local NAME | roles HOST | fqdn [NAME]  host identity"},
    {"connect", zt::cmd_connect,
     "connect HOST SERVICE [--path legacy|vnetd|pbx] [--timeout S] [--pipe] | connect --options HOST"},
    {"hostcache", zt::cmd_hostcache,
     "hostcache list | show HOST | clear [--older-than S]  the machine-wide file cache"},
    {"whitelist", zt::cmd_whitelist,
     "whitelist dump [NAME [DOMAIN]] [--type 0|1] [--json] | clear ... | check | repair  the whitelist cache"},
    {"path-allowed", zt::cmd_path_allowed,
     "path-allowed [--recursive] [--command] PATH ALLOWED...  a path against a path whitelist"},
    {"events", zt::cmd_events,
     "events demo | events ps NAME [DIRECTORY]  signals, pollers and timers at work; a program's processes"},
    {"ul", zt::cmd_ul,
     "ul show [--product P] [--originator O] [--since T] [--follow] | delete QUERY | config [O]"},
    {"pbx", zt::cmd_pbx,
     "pbx run [--port N] | register EXTENSION | connect HOST EXTENSION [LINE] | list  the port exchange"},
    {"vnetd", zt::cmd_vnetd,
     "vnetd run [--port N] | register SERVICE | version HOST[:PORT] | services  the vnetd daemon"},
    {"demo", zt::cmd_demo, "demo                                 a tour of what the library does"},
};

bool is_help(const char *arg) {
    return strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0;
}

int command_help(const Command &c, const char *sub) {
    if (!zt::print_help(stdout, c.name, sub))
        printf("usage: zt %s\n", c.help);
    return 0;
}

// The exit status, once standard output has reached its file.
int finish(const char *command, int rc) {
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "zt %s: cannot write standard output: %s\n", command,
                errno != 0 ? strerror(errno) : "write error");
        return 1;
    }
    return rc;
}

} // namespace

namespace zt {

int usage(const char *text) {
    fprintf(stderr, "usage: zt %s\n", text);
    return 2;
}

int bad_args(const char *command, const char *sub, const char *what) {
    fprintf(stderr, "zt %s%s%s: %s\n", command, sub != nullptr ? " " : "",
            sub != nullptr ? sub : "", what);
    if (!print_help(stderr, command, sub))
        fprintf(stderr, "usage: zt %s\n", command);
    return 2;
}

} // namespace zt

int main(int argc, char **argv) {
    if (argc < 2) {
        zt::print_overview(stderr);
        return 2;
    }
    const char *first = argv[1];
    if (is_help(first) || strcmp(first, "help") == 0) {
        if (argc == 2) {
            zt::print_overview(stdout);
            return finish("help", 0);
        }
        for (const Command &c : kCommands)
            if (strcmp(argv[2], c.name) == 0)
                return finish("help", command_help(c, argc > 3 ? argv[3] : nullptr));
        fprintf(stderr, "zt help: unknown command '%s'\n", argv[2]);
        return 2;
    }
    if (strcmp(first, "-V") == 0 || strcmp(first, "--version") == 0) {
        printf("zt (libztbase) %s\n", ZTBASE_VERSION_STRING);
        if (strcmp(ztbase_version(), ZTBASE_VERSION_STRING) != 0)
            printf("library loaded: %s\n", ztbase_version());
        return finish("--version", 0);
    }
    for (const Command &c : kCommands) {
        if (strcmp(first, c.name) != 0)
            continue;
        std::vector<char *> args(argv + 2, argv + argc);
        for (size_t i = 0; i < args.size(); ++i) {
            if (strcmp(args[i], "--") == 0) {
                if (!c.runs_a_command)
                    args.erase(args.begin() + long(i));
                break;
            }
            if (is_help(args[i]))
                return finish(c.name, command_help(c, i > 0 ? args[0] : nullptr));
        }
        args.push_back(nullptr);
        return finish(c.name, c.run(int(args.size()) - 1, args.data()));
    }
    fprintf(stderr, "zt: unknown command '%s'\n", first);
    zt::print_overview(stderr);
    return 2;
}
