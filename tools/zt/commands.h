// The subcommands of zt. Each family adds its command to the table in main.cpp
// and a section to the demo.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include <jansson.h>

namespace zt {

// Each returns the process exit status: 0 done, 1 failed, 2 bad arguments.
int cmd_status(int argc, char **argv);
int cmd_date(int argc, char **argv);
int cmd_reg(int argc, char **argv);
int cmd_paths(int argc, char **argv);
int cmd_logs(int argc, char **argv);
int cmd_config(int argc, char **argv);
// zt config info; argv[0] is "info".
int cmd_config_info(int argc, char **argv);
int cmd_vnet(int argc, char **argv);
// zt config show|set|unset|check|--help (the local configuration store).
int cmd_config_store(int argc, char **argv);
// zt msg ID [LOCALE [ARGS...]].
int cmd_msg(int argc, char **argv);
// zt lock PATH ... -- COMMAND, zt lock --show PATH.
int cmd_lock(int argc, char **argv);
// zt whitelist dump|clear|check|repair (the whitelist cache database).
int cmd_whitelist(int argc, char **argv);
// zt path-allowed PATH ALLOWED... (the path whitelist).
int cmd_path_allowed(int argc, char **argv);
int cmd_demo(int argc, char **argv);
// zt events demo|ps (the event utilities).
int cmd_events(int argc, char **argv);
int cmd_resolve(int argc, char **argv);
int cmd_hostcache(int argc, char **argv);
// zt host same|local|roles|fqdn (host identity).
int cmd_host(int argc, char **argv);
// The demo's section on host identity.
void demo_host();
// zt ul show|delete|config (the unified log).
int cmd_ul(int argc, char **argv);
// The demo's section on the unified log.
void demo_ul();
// zt pbx run|register|connect|list (the port exchange).
int cmd_pbx(int argc, char **argv);
void demo_pbx(const std::string &root);
// zt vnetd run|register|version|services; and its demo section.
int cmd_vnetd(int argc, char **argv);
void demo_vnetd(const std::string &root);
// zt connect HOST SERVICE [...] | zt connect --options HOST.
int cmd_connect(int argc, char **argv);
// The demo's section on cached address resolution, under root.
void demo_resolve(const std::string &root);
// Demo sections kept in files of their own.
void demo_whitelist(const std::string &root);
void demo_connect();

// Sections of zt demo that live in files of their own.
void demo_messages();
void demo_file_locks(const std::string &root);

// Prints "usage: zt USAGE" on standard error and returns 2.
int usage(const char *text);
// Prints "zt COMMAND [SUB]: WHAT" and the command's usage on standard error;
// returns 2.
int bad_args(const char *command, const char *sub, const char *what);

// The whole of path, or of standard input for "-"; only a regular file is
// read. False with the system's reason in error.
bool read_input(const char *path, std::string &out, std::string &error);
// "(standard input)" for "-", else path.
const char *input_name(const char *path);
// Removes flag from argv (argv[argc] moves along) and says whether it was there.
bool take_flag(int &argc, char **argv, const char *flag);
// The text as UTF-8, as JSON must be: every byte that is not part of a valid
// sequence becomes U+FFFD, so that no value or name is left out.
std::string valid_utf8(std::string_view text);
// A JSON string of any bytes (valid_utf8; NULs kept as \u0000).
json_t *json_text(std::string_view text);

} // namespace zt
