// zt demo: a short tour of the library, one section per family. It runs in a
// temporary root of its own, so it never touches the host's registry or files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <ztbase/bpconf.h>
#include <ztbase/cmnlog.h>
#include <ztbase/comm.h>
#include <ztbase/config.h>
#include <ztbase/dates.h>
#include <ztbase/debuglog.h>
#include <ztbase/logfiles.h>
#include <ztbase/paths.h>
#include <ztbase/status.h>
#include <ztbase/vnet.h>
#include <ztbase/vtext.h>
#include <ztbase/ztconf.h>

#include "commands.h"
#include "config/items/adhoc_config_ops.h"
#include "logging/log_clock.h"
#include "platform/eventlog.h"
#include "platform/registry/registry.h"

namespace zt {
namespace {

void heading(const char *title) {
    printf("\n== %s ==\n", title);
}

void demo_status() {
    heading("Status codes and their texts");
    const int codes[] = {0, 36, 41, 227, 1800, 5900, 9101, 9310};
    for (int code : codes)
        printf("  getECmsg(%d) = \"%s\"\n", code, getECmsg(code));
    printf("  ERR_ZTmsgstr(25, ...) = \"%s\"\n", ERR_ZTmsgstr(25, getECmsg(25)));
    ECMsgL thread_safe(58, "C");
    printf("  ECMsgL(58, \"C\") = \"%s\"\n", thread_safe.c_str());
    puts("  (every function that can fail returns such a status code, 0 for success; 9310 is no\n"
         "   status, so its text says so. zt status CODE prints one, zt status --all every one)");
}

void demo_registry() {
    using namespace ztbase::registry;
    heading("The registry store");
    const char *path = "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Config";
    Key key;
    if (Key::create(Root::LocalMachine, path, key) != Status::Ok) {
        puts("  cannot create the demo key");
        return;
    }
    key.set(Value::sz("SERVER", "master.example.com"));
    key.set(Value::dword("VERBOSE", 5));
    key.set(Value::multi_sz("MEDIA_SERVER", {"media1", "media2"}));
    Value v;
    key.query("verbose", v); // names ignore case
    printf("  %s\\verbose = %u (stored as \"%s\")\n", path, v.number(), v.name.c_str());
    std::string text;
    export_text(Root::LocalMachine, "SOFTWARE\\Halvane", text);
    printf("  zt reg export 'HKLM\\SOFTWARE\\Halvane':\n");
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        printf("    %s\n", text.substr(pos, nl - pos).c_str());
        pos = nl == std::string::npos ? text.size() : nl + 1;
    }
    printf("  (the number after each key is its last-write time, in seconds since 1970)\n");
    printf("  store: %s/registry.db\n", root_directory(Root::LocalMachine).c_str());
}

void demo_paths(const std::string &root) {
    using namespace ztbase::registry;
    heading("The installation path table");
    // One override moves the whole tree below the demo's root; without it every
    // label expands below /usr/quill.
    Key key;
    Key::create(Root::LocalMachine, "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Paths", key);
    key.set(Value::sz("_ql_fs", root + "/usr"));
    printf("  override Paths\\_ql_fs = %s/usr\n", root.c_str());
    for (const char *label :
         {"BP_LOGS", "BPCD_LOCKPATH", "VN_PATH_HOST_CACHE", "LOCALE_FILE", "BP_BIN_BPRD"})
        printf("  getFennicString(\"%s\") = \"%s\"\n", label, getFennicString(label));
    char *expanded = expandFennicString("${ BP_DIR }${_ps}db$_ps$BP_DIR_NAME.conf");
    printf("  expandFennicString(\"${ BP_DIR }${_ps}db$_ps$BP_DIR_NAME.conf\") = \"%s\"\n",
           expanded);
    freeFennicString(expanded);
    printf("  getModuleID() = \"%s\"\n", getModuleID());
}

void demo_dates() {
    heading("Dates and times");
    const time_t t = 1796860800; // 10 Dec 2026 00:00 UTC
    printf("  TZ=%s (a time value is seconds since 1970; dates print in this time zone)\n",
           getenv("TZ") != nullptr ? getenv("TZ") : "(system)");
    printf("  datestring(%ld) = \"%s\"\n", static_cast<long>(t), datestring(t));
    printf("  datestring(0x7FFFFFFF) = \"%s\"\n", datestring(0x7FFFFFFF));
    printf("  hhmmss(3661) = \"%s\"\n", hhmmss(3661));
    printf("  convert2unixdate reads a typed date: 1 and the time value (the end of the day when\n"
           "  no time is typed), or 0 for a date that does not exist; 2039 is cut to the last\n"
           "  time a 32-bit value holds:\n");
    for (const char *typed : {"02/29/2024", "02/29/2023", "12/31/99 08:15", "01/01/39"}) {
        char text[32];
        snprintf(text, sizeof text, "%s", typed);
        time_t out = 0;
        int ok = convert2unixdate(text, &out, 0);
        printf("  convert2unixdate(\"%s\") = %d, %ld%s%s\n", typed, ok, static_cast<long>(out),
               ok ? " " : "", ok ? datestring(out) : "");
    }
}

void demo_logfiles(const std::string &root) {
    heading("Debug log file names");
    const std::string dir = root + "/names";
    std::filesystem::create_directories(dir);
    for (const char *name : {"ALL_ADMINS.010527_00002.log", "ALL_ADMINS.123126_00001.log",
                             "ALL_ADMINS.010527_00001.log", "ALL_ADMINS.120426_00003.log.gz",
                             "123226_00001.log", "notes.txt"})
        std::ofstream(dir + "/" + name) << "x\n";
    int count = 0;
    char **list = rl_get_logfile_list(dir.c_str(), nullptr, nullptr, &count, nullptr, 1);
    printf("  valid log files of %s, oldest first (year 26 before 27):\n", dir.c_str());
    for (int i = 0; i < count; ++i)
        printf("    %s\n", list[i]);
    rl_free_logfile_list(list);
    char date[8], user[64];
    int seq = 0, compressed = 0;
    int valid = ZtLog_IsValidLogFileFormat("ALL_ADMINS.120426_00003.log.gz", date, sizeof date,
                                           user, sizeof user, &seq, &compressed);
    printf("  ALL_ADMINS.120426_00003.log.gz: valid %d, user %s, date %s, sequence %d, compressed "
           "%d\n",
           valid, user, date, seq, compressed);
}

void demo_debuglog() {
    heading("The debug log");
    // BP_LOGS lies below the demo's root (see the path table above).
    const std::string dir = std::string(getFennicString("BP_LOGS")) + "/zt_demo";
    std::filesystem::create_directories(dir);
    int err = 0;
    int fd = open_debug_log(nullptr, "zt_demo", "zt_demo", 0, &err);
    if (fd < 0) {
        printf("  open_debug_log failed: %s\n", strerror(err));
        return;
    }
    log_set_process_bpconf_verbose(1);
    logmsg(ZTLOG_INFO, "demo started", "demo_debuglog");
    logmsgvf(ZTLOG_DEBUG, 1, "demo_debuglog", "a debug line at verbosity %d: written", 1);
    logmsgvf(ZTLOG_DEBUG, 5, "demo_debuglog", "a debug line at verbosity %d: filtered out", 5);
    logmsg(ZTLOG_WARNING, "  white space\n   and line ends\r\n are folded  ", "demo_debuglog");
    logmsgf(ZTLOG_ERROR, "demo_debuglog", "status %d: %s", 41, getECmsg(41));
    const char *args[] = {"bpbackup", "-user", "admin", "-password", "hunter2"};
    logparams(5, const_cast<char **>(args));
    close_debug_log();
    printf("  each line: time [process.thread] <level> tag: text; levels 2 debug (kept only up\n"
           "  to the verbosity), 4 information, 8 warning, 16 error. Passwords are masked.\n");
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        printf("  %s:\n", entry.path().c_str());
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);)
            printf("    %s\n", line.c_str());
    }
}

// The log's 60-second configuration check, brought forward for the demo.
long g_log_clock_offset = 0;
void shifted_monotonic(timespec *out) {
    clock_gettime(CLOCK_MONOTONIC, out);
    out->tv_sec += g_log_clock_offset;
}

void demo_snapshots(const std::string &root) {
    heading("Configuration snapshots and the debug log on the host configuration");
    std::string text = "SERVER = master1\nSERVER = media1\nVERBOSE = 1\n";
    ZtConfig record{}, definition{};
    if (ParseConfigExA(text.data(), &record, &definition, ZTPARSE_RECORD_EMPTY) != 0 ||
        UpdateLocalHostConfig(bpconfLocalSource, &record, &definition) != 0) {
        printf("  the configuration could not be stored\n");
        FreeConfig(&record);
        return;
    }
    FreeConfig(&record);
    ztconf_info_t *info = nullptr;
    if (ztconf_get_info(&info) == 0)
        printf("  information record: server %s, verbose %d, pbx port %d\n",
               info->server != nullptr ? info->server->name : "-", info->verbose, info->pbx_port);

    const std::string dir = std::string(getFennicString("BP_LOGS")) + "/zt_conf_demo";
    std::filesystem::create_directories(dir);
    int err = 0;
    if (open_debug_log(nullptr, "zt_conf_demo", "zt_conf_demo", 0, &err) < 0) {
        printf("  open_debug_log failed: %s\n", strerror(err));
        return;
    }
    ztbase::logclock::set_monotonic(shifted_monotonic);
    logmsgvf(ZTLOG_DEBUG, 5, "demo_snapshots", "%s", "verbosity 5 while VERBOSE is 1: filtered");
    // Another process raises VERBOSE; this one keeps running.
    pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", "zt", "reg", "add",
              "HKLM\\SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Config", "VERBOSE", "REG_DWORD",
              "5", static_cast<char *>(nullptr));
        _exit(127);
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    printf("  a child process set VERBOSE to 5 (exit %d)\n",
           WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1);
    g_log_clock_offset += 61; // the log's next configuration check is due
    logmsgvf(ZTLOG_DEBUG, 1, "demo_snapshots", "%s", "a line after the check is due");
    logmsgvf(ZTLOG_DEBUG, 5, "demo_snapshots", "%s", "verbosity 5 after VERBOSE became 5: written");
    close_debug_log();
    ztbase::logclock::set_monotonic(nullptr);
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);)
            printf("    %s\n", line.c_str());
    }
    if (ZT_forced_read_master_config() == 0 && ztconf_get_info(&info) == 0)
        printf("  this thread's snapshot after a forced check: verbose %d\n", info->verbose);
    printf("  sanitary_mb_str: 1 when a command line is safe to hand to a shell, 0 when not:\n");
    for (const std::string &command :
         {"tar cf " + root + "/out.tar dir 2>&1", "ls > " + root + "/../x",
          std::string("echo $(id)"), std::string("run a\nreboot")}) {
        std::string shown = command;
        for (size_t pos; (pos = shown.find('\n')) != std::string::npos;)
            shown.replace(pos, 1, "\\n");
        printf("  sanitary_mb_str(\"%s\") = %d\n", shown.c_str(),
               sanitary_mb_str(command.c_str(), 0));
    }
}

void demo_eventlog(const std::string &root) {
    heading("The system event log");
    puts("  (caught here instead of going to syslog; type 1 is an error, 2 a warning, 4 "
         "information;\n"
         "   a null string argument prints as <NULL> instead of crashing the caller)");
    ztbase::eventlog::set_sink([](const ztbase::eventlog::Event &e) {
        printf("  event from \"%s\" (type %d): %s\n", e.source.c_str(), static_cast<int>(e.type),
               e.strings.empty() ? "" : e.strings[0].c_str());
    });
    V_Openlog("bprd", 0, LOG_DAEMON);
    const char *volatile missing = nullptr; // a caller's null string, shown as <NULL>
    V_Syslog(LOG_WARNING, "request daemon started with %s", missing);
    errno = ENOENT;
    NTsyslog(LOG_ERR, "cannot open %s: %m", (root + "/db/config").c_str());
    V_Closelog();
    ztbase::eventlog::set_sink(nullptr);
}

int demo_config_log(int, int, const char *text, const char *tag) {
    printf("    logged by %s: %s\n", tag, text);
    return 0;
}

// Reads a value into an item of a fresh record and shows what it holds then.
void demo_config_read(ZtConfig &record, const char *label, const char *value) {
    std::string text = value;
    char *cursor = text.data();
    int index = getConfigIndexA(label);
    int rc = ztbase::config::read_item(index, &cursor, &record, 1);
    char *shown = nullptr;
    int size = 0;
    getFormattedConfigItemA(&record, index, &shown, &size);
    printf("  %s = %s  ->  status %d%s%s%s, formats as \"%s\"\n", label, value, rc,
           rc != 0 ? " (" : "", rc != 0 ? getECmsg(rc) : "",
           rc != 0 ? ": the value is refused)" : "", shown ? shown : "");
    free(shown);
}

void demo_config() {
    heading("The configuration item table");
    printf("  %d items; getConfigIndexA(\"slave_connect_timeout\") = %d (%s), "
           "getConfigIndexA(\"INDEX_SERVER\") = %d (obsolete)\n",
           getConfigTableSize(), getConfigIndexA("slave_connect_timeout"), getConfigLabelA(38),
           getConfigIndexA("INDEX_SERVER"));
    static c_shim_logging_fn show = demo_config_log;
    c_shim_mod_logging = &show; // the readers' messages, shown here
    ZtConfig record{};
    demo_config_read(record, "VERBOSE", "0x10");
    demo_config_read(record, "CRYPT_STRENGTH", "50");
    demo_config_read(record, "SLP.MAX_SIZE_PER_DUPLICATION_JOB", "2 gigabytes");
    demo_config_read(record, "SLP.MAX_SIZE_PER_DUPLICATION_JOB", "3 hours");
    demo_config_read(record, "CLIENT_READ_TIMEOUT", "99999999999999999999");
    demo_config_read(record, "VNET_OPTIONS", "30 3600 200 40 3 1 30 5 1793 32 0 0");
    c_shim_mod_logging = nullptr;
    for (int i = 0; i < getConfigTableSize(); ++i)
        ztbase::config::free_item(i, &record);
}

// The bytes waiting on sock, shown without taking them.
void show_bytes(int sock) {
    unsigned char buf[128];
    ssize_t n = recv(sock, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
    printf("    on the wire:");
    for (ssize_t i = 0; i < n; ++i)
        printf(buf[i] >= 0x20 && buf[i] < 0x7f ? " %c" : " \\%o", buf[i]);
    printf("\n");
}

void demo_vnet(const std::string &root) {
    heading("The vnet codec, statuses and the services file");
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        puts("  socketpair failed");
        return;
    }
    vnet_push_byte(sv[0], 7, 5);
    vnet_push_string(sv[0], "bpcd", 5);
    vnet_push_signed(sv[0], -42, 5);
    vnet_push_unsigned(sv[0], 13724, 5);
    vnet_push_status(sv[0], VNET_CONNECT_REFUSED, 5);
    printf("  pushed byte 7, string \"bpcd\", signed -42, unsigned 13724, status %d:\n",
           VNET_CONNECT_REFUSED);
    show_bytes(sv[1]);
    int byte = 0, status = 0;
    char text[64];
    long sv_value = 0;
    unsigned long uv = 0;
    vnet_pop_byte(sv[1], &byte, 5);
    vnet_pop_string(sv[1], text, sizeof text, 5);
    vnet_pop_signed(sv[1], &sv_value, 5);
    vnet_pop_unsigned(sv[1], &uv, 5);
    vnet_pop_status(sv[1], &status, 5);
    printf("  popped %d, \"%s\", %ld, %lu, %d (%s, product status %d: %s)\n", byte, text, sv_value,
           uv, status, vnet_status_to_text(status), vnet_to_zt_status(status),
           getECmsg(vnet_to_zt_status(status)));
    send(sv[0], "12x", 4, MSG_NOSIGNAL);
    printf("  a number with junk (\"12x\"): %s\n",
           vnet_status_to_text(vnet_pop_signed(sv[1], &sv_value, 5)));
    close(sv[0]);
    close(sv[1]);
    printf("  vnet_to_zt_status(7650) = %d (large statuses not allowed on this thread)\n",
           vnet_to_zt_status(7650));
    printf("  vnet_crc32(\"123456789\") = %u (as cksum prints)\n", vnet_crc32("123456789"));

    const std::string path = root + "/vnetd_services";
    vnet_service_entry *list = nullptr;
    char arg[] = "-standalone";
    char *args[] = {arg, nullptr};
    const std::string bpcd = root + "/bin/bpcd";
    vnet_add_service_entry(&list, nullptr, "bpcd", 4242, 1700000000, 0, "17", bpcd.c_str(), nullptr,
                           args);
    vnet_add_service_entry(&list, list, "with space", 4243, 0, 0, "18", nullptr, nullptr, nullptr);
    vnet_update_service_file(path.c_str(), list);
    vnet_free_service_list(list);
    printf("  services file %s:\n", path.c_str());
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        printf("    %s\n", line.c_str());
}

// Everything waiting on sock, as hex pairs.
std::string wire_hex(int sock) {
    std::string out;
    unsigned char buf[64];
    ssize_t n;
    while ((n = recv(sock, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        for (ssize_t i = 0; i < n; ++i) {
            char pair[4];
            snprintf(pair, sizeof pair, "%s%02x", out.empty() ? "" : " ", buf[i]);
            out += pair;
        }
    return out;
}

void demo_wire() {
    heading("Socket values on the wire");
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        perror("  socketpair");
        return;
    }
    int err = 0;
    const struct {
        const char *call;
        std::function<int()> send;
    } values[] = {
        {"put_short(65534)", [&] { return put_short(fds[0], 65534, &err); }},
        {"put_short(65535)", [&] { return put_short(fds[0], 65535, &err); }},
        {"put_long(1)", [&] { return put_long(fds[0], 1, &err); }},
        {"put_vint64t(1)", [&] { return put_vint64t(fds[0], 1, &err); }},
        {"put_string(\"\")", [&] { return put_string(fds[0], "", &err); }},
        {"put_string(\"hi\")", [&] { return put_string(fds[0], "hi", &err); }},
        {"put_string_(\"hi\", tag 7)", [&] { return put_string_(fds[0], "hi", 5, 0, 7); }},
        {"ts_put_long(-2)", [&] { return ts_put_long(fds[0], -2, &err); }},
    };
    for (const auto &v : values) {
        const int rc = v.send();
        printf("  %-28s -> %d  [%s]\n", v.call, rc, wire_hex(fds[1]).c_str());
    }
    const int empty = open("/dev/null", O_RDONLY);
    const long long sent = static_cast<long long>(write_remote_file(fds[0], empty, 5, "zt demo"));
    printf("  %-28s -> %lld  [%s]\n", "write_remote_file(empty)", sent, wire_hex(fds[1]).c_str());
    close(empty);

    send(fds[1], "HELLO\n", 6, MSG_NOSIGNAL);
    char text[100];
    const int n = get_string(fds[0], text, sizeof text, 5, &err);
    printf("  a peer writes \"HELLO\\n\" where a string is due: get_string -> %d \"%s\"\n", n,
           n >= 0 ? text : commerrstr(n));
    printf("  (48 45 4c 4c read as a length is above 0x20000000, so the bytes are a text line)\n");
    printf("  (each call returns 0, or a negative communication code: -1 put_short(65535) is a\n"
           "   value out of range, so nothing was sent; [..] are the bytes that reached the peer,\n"
           "   big-endian; put_string_ returns the tag length)\n");
    close(fds[0]);
    close(fds[1]);
}

void print_lines(const std::string &text) {
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        printf("    %s\n", text.substr(pos, nl - pos).c_str());
        pos = nl == std::string::npos ? text.size() : nl + 1;
    }
}

void demo_config_store() {
    heading("The local configuration store");
    std::filesystem::create_directories(getFennicString("VAR_GLOBAL_PATH"));
    std::string update =
        "SERVER = master.example.com\nSERVER = backup.example.com\nCLIENT_READ_TIMEOUT = 900\n"
        "ALLOW_MEDIA_OVERWRITE = DBR\nALLOW_MEDIA_OVERWRITE = TAR\n"
        "SLP.VERSION_CLEANUP_DELAY = 3 days\nsite.owner = backup team\n";
    printf("  UpdateLocalHostConfig of:\n");
    print_lines(update);
    ZtConfig record{}, definition{};
    InitConfig(bpconfLocalSource, &record, nullptr);
    ParseConfigExA(update.data(), &record, &definition, ZTPARSE_RECORD_EMPTY | ZTPARSE_STRICT);
    printf("  -> status %d\n", UpdateLocalHostConfig(bpconfLocalSource, &record, &definition));
    FreeConfig(&record);
    std::string text;
    ztbase::registry::export_text(ztbase::registry::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY,
                                  text);
    printf("  the registry values (Int REG_DWORD, multi-line REG_MULTI_SZ, the rest REG_SZ):\n");
    print_lines(text);
    printf("  the cluster-aware file %s:\n", getFennicString("ZTCL_CONFIG_PATH"));
    std::ifstream in(getFennicString("ZTCL_CONFIG_PATH"));
    std::stringstream file;
    file << in.rdbuf();
    print_lines(file.str());
    ZtConfig read{};
    int rc = ReadHostConfigExA(bpconfLocalSource, &read, nullptr, nullptr, nullptr);
    char *image = nullptr;
    ZtConfig selection{}, scratch{};
    std::string wanted =
        "SERVER\nCLIENT_READ_TIMEOUT\nALLOW_MEDIA_OVERWRITE\nSLP.VERSION_CLEANUP_DELAY\n"
        "GENERIC_KEY_VAL_LIST\nRANDOM_PORTS\n";
    ParseConfigExA(wanted.data(), &scratch, &selection, ZTPARSE_RECORD_EMPTY);
    makeConfigImageA(&read, nullptr, &image);
    filterConfigImageA(bpconfLocalSource, &selection, &image);
    printf("  ReadHostConfigExA -> status %d; the image, filtered (RANDOM_PORTS reported by "
           "default):\n",
           rc);
    print_lines(image != nullptr ? image : "");
    char *owner = nullptr;
    bpconfGetKeyValPair(&read, "SITE.OWNER", &owner);
    printf("  bpconfGetKeyValPair(\"SITE.OWNER\") = \"%s\"\n", owner != nullptr ? owner : "");
    free(owner);
    free(image);
    FreeConfig(&read);
    FreeConfig(&scratch);
}

} // namespace

int cmd_demo(int, char **) {
    std::string root = (std::filesystem::temp_directory_path() / "zt-demo.XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) {
        perror("zt demo: mkdtemp");
        return 1;
    }
    setenv("ZT_REGISTRY", (root + "/etc/registry").c_str(), 1);
    setenv("ZT_REGISTRY_USER", (root + "/home/.quill/registry").c_str(), 1);
    printf("libztbase tour: every section below calls the library for real, under %s.\n",
           root.c_str());
    // The path table first: it is built once, at the first lookup that needs it
    // (a localised status text does), and must see the override from the start.
    demo_paths(root);
    demo_status();
    demo_registry();
    demo_config();
    demo_config_store();
    demo_dates();
    demo_messages();
    demo_logfiles(root);
    demo_debuglog();
    demo_snapshots(root);
    demo_eventlog(root);
    demo_wire();
    demo_vnet(root);
    demo_file_locks(root);
    demo_resolve(root);
    demo_host();
    demo_connect();
    demo_whitelist(root);
    demo_ul();
    demo_pbx(root);
    demo_vnetd(root);
    demo_connect_paths();
    std::error_code ec;
    if (getenv("ZT_DEMO_KEEP") == nullptr)
        std::filesystem::remove_all(root, ec);
    else
        printf("\n(kept %s)\n", root.c_str());
    printf("\nThat was the tour. The README of libztbase tells what each family gives and how to\n"
           "install and use the library; 'zt --help' and 'man zt' list the commands.\n");
    return 0;
}

} // namespace zt
