// The subcommands of zt. Each family adds its command to the table in main.cpp
// and a section to the demo.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>

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
// One line of a socket (without its end) within 10 seconds, empty when none
// came; a line and its end sent whole.
std::string read_line(int s);
bool send_line(int s, const std::string &line);
// A port exchange for the demo: a thread of this process on a loopback port
// the kernel picks (port() is 0 or less when it did not start).
class DemoExchange {
  public:
    DemoExchange();
    ~DemoExchange();
    DemoExchange(const DemoExchange &) = delete;
    DemoExchange &operator=(const DemoExchange &) = delete;
    int port() const { return port_; }

  private:
    int stop_[2] = {-1, -1};
    int port_ = -1;
    std::thread thread_;
};
// zt vnetd run|register|version|services; and its demo section.
int cmd_vnetd(int argc, char **argv);
void demo_vnetd(const std::string &root);
// ztvnetd for the demo ("zt vnetd run" in a process of its own on a loopback
// port the kernel picks, registered with the exchange when asked): its pid,
// -1 when it did not start. stop_demo_daemon ends it with SIGTERM and gives
// its exit status (-1 when it did not exit).
pid_t start_demo_vnetd(bool with_exchange, int *port);
int stop_demo_daemon(pid_t pid);
// zt connect HOST SERVICE [...] | zt connect --options HOST.
int cmd_connect(int argc, char **argv);
// The demo's section on cached address resolution, under root.
void demo_resolve(const std::string &root);
// Demo sections kept in files of their own.
void demo_whitelist(const std::string &root);
void demo_connect();
// The demo's section on each path of a service connection, with the daemons.
void demo_connect_paths();

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
