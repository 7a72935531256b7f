// zt logs: the debug log files of a directory, oldest first, as the debug log
// itself sees them.
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>

#include <ztbase/logfiles.h>

#include "commands.h"

namespace zt {
namespace {

// The user-name text of this process's own log files.
std::string own_user() {
    if (geteuid() == 0)
        return "ALL_ADMINS";
    struct passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
        return pw.pw_name;
    return std::to_string(geteuid());
}

bool is_date(const char *s) {
    return strlen(s) == 6 && strspn(s, "0123456789") == 6;
}

} // namespace

int cmd_logs(int argc, char **argv) {
    if (argc < 1 || strcmp(argv[0], "list") != 0)
        return bad_args("logs", nullptr,
                        argc < 1 ? "no subcommand given"
                                 : ("unknown subcommand " + std::string(argv[0])).c_str());
    const char *dir = nullptr;
    const char *user = nullptr;
    const char *date = nullptr;
    bool all_users = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "--all-users") == 0) {
            all_users = true;
        } else if (strcmp(arg, "--user") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
            user = argv[++i];
        } else if (strcmp(arg, "--date") == 0 && i + 1 < argc && is_date(argv[i + 1])) {
            date = argv[++i];
        } else if (arg[0] != '-' && dir == nullptr) {
            dir = arg;
        } else {
            return bad_args("logs", "list",
                            ("'" + std::string(arg) + "': " +
                             (strcmp(arg, "--date") == 0   ? "needs MMDDYY (six digits)"
                              : strcmp(arg, "--user") == 0 ? "needs a NAME"
                              : arg[0] == '-'              ? "unknown option"
                                                           : "one DIR only"))
                                .c_str());
        }
    }
    if (dir == nullptr)
        return bad_args("logs", "list", "no DIR given");
    if (all_users && user != nullptr)
        return bad_args("logs", "list", "--user and --all-users together");

    const std::string own = user == nullptr ? own_user() : std::string();
    int count = 0, err = 0;
    char **names = rl_get_logfile_list(dir, date, user != nullptr ? user : own.c_str(), &count,
                                       &err, all_users);
    if (names == nullptr) {
        if (err == 0)
            return 0; // no log files
        fprintf(stderr, "zt logs list: %s: %s\n", dir, strerror(err));
        return 1;
    }
    for (int i = 0; i < count; ++i)
        puts(names[i]);
    rl_free_logfile_list(names);
    return 0;
}

} // namespace zt
