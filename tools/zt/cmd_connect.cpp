// zt connect: a service connection as the library makes it, with its
// connection report and the path taken; optionally standard input and output
// piped over it. zt connect --options HOST: a host's effective options.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <jansson.h>
#include <ztbase/vnet.h>
#include <ztbase/vnet_connect.h>

#include "commands.h"

namespace zt {
namespace {

constexpr const char kUsage[] =
    "connect HOST SERVICE [--path legacy|vnetd|pbx] [--timeout SECONDS] [--pipe] | "
    "connect --options HOST";

std::string connection_report() {
    json_t *rec = vnet_tss_get(0);
    const char *text =
        json_string_value(json_object_get(json_object_get(rec, "connect_recs"), "data"));
    std::string out = text != nullptr ? text : "";
    json_decref(rec);
    return out;
}

// The kind of the record that won, from the report's SUCCESS line.
std::string path_taken(const std::string &report) {
    const size_t at = report.find("status: SUCCESS;");
    if (at == std::string::npos)
        return "indirect";
    const size_t end = report.find('\n', at);
    const std::string line = report.substr(at, end == std::string::npos ? end : end - at);
    const size_t via = line.find(" VIA ");
    return via == std::string::npos ? "legacy" : line.substr(via + 5);
}

int show_options(const char *host) {
    vnet_connect_options_rec o{};
    if (int st = vnet_get_connect_options(host, 0, &o); st != 0) {
        fprintf(stderr, "zt connect: no options for %s: %s\n", host, vnet_status_to_text(st));
        return 1;
    }
    json_t *j = vnet_json_connect_options_rec(&o);
    char *text = json_dumps(j, JSON_INDENT(2));
    printf("%s\n", text != nullptr ? text : "null");
    free(text);
    json_decref(j);
    return 0;
}

// Copies standard input to sock and sock to standard output until both ends
// are done.
int pipe_over(int sock) {
    bool in_open = true;
    char buf[16384];
    for (;;) {
        pollfd fds[2] = {{sock, POLLIN, 0}, {in_open ? 0 : -1, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("zt connect: poll");
            return 1;
        }
        if (fds[0].revents != 0) {
            ssize_t n = recv(sock, buf, sizeof buf, 0);
            if (n <= 0)
                return n < 0 ? 1 : 0;
            if (fwrite(buf, 1, size_t(n), stdout) != size_t(n) || fflush(stdout) != 0)
                return 1;
        }
        if (in_open && fds[1].revents != 0) {
            ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0) {
                in_open = false;
                shutdown(sock, SHUT_WR);
                continue;
            }
            for (ssize_t off = 0; off < n;) {
                ssize_t w = send(sock, buf + off, size_t(n - off), MSG_NOSIGNAL);
                if (w < 0)
                    return 1;
                off += w;
            }
        }
    }
}

// Any service through vnetd: the connect options of a host whose daemons
// are reached through vnetd (the port exchange still tries too until the
// host is known not to answer there).
int through_vnetd(const char *host, const char *service, int timeout, int *sock) {
    json_t *params = json_pack("{s:s, s:s, s:s, s:i, s:{s:s, s:i, s:i, s:i}}", "who", "zt connect",
                               "host", host, "service", service, "overide_connect_timeout", timeout,
                               "connect_options", "server", host, "reserved_port_kind",
                               ZTCONF_RESERVED_PORT_KIND_NONE, "callback_kind",
                               ZTCONF_CALLBACK_KIND_VNETD, "daemon_port_type",
                               ZTCONF_DAEMON_PORT_TYPE_VNETD);
    if (params == nullptr)
        return VNET_MALLOC_FAILED;
    const int st = vnet_connect_for_caller(params, sock, nullptr, nullptr);
    json_decref(params);
    return st;
}

} // namespace

int cmd_connect(int argc, char **argv) {
    const bool pipe = take_flag(argc, argv, "--pipe");
    const bool options = take_flag(argc, argv, "--options");
    const char *path = "any";
    int timeout = 0;
    std::string args[2];
    int n = 0;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--path") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            char *end = nullptr;
            long v = strtol(argv[++i], &end, 10);
            if (*end != '\0' || v < 1 || v > 86400)
                return bad_args("connect", nullptr,
                                "the timeout is a number of seconds, 1 to 86400");
            timeout = static_cast<int>(v);
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return usage(kUsage);
        } else if (n < 2) {
            args[n++] = argv[i];
        } else {
            return usage(kUsage);
        }
    }
    if (options)
        return n == 1 ? show_options(args[0].c_str()) : usage(kUsage);
    if (n != 2)
        return usage(kUsage);
    const char *host = args[0].c_str(), *service = args[1].c_str();
    int sock = -1, st;
    if (strcmp(path, "legacy") == 0)
        st = vnet_connect_to_third_party_service(host, service, nullptr, 0, 0, timeout, &sock);
    else if (strcmp(path, "pbx") == 0)
        st = vnet_connect_to_pbx_service(host, service, nullptr, 0, 0, timeout, &sock);
    else if (strcmp(path, "vnetd") == 0)
        st = strcmp(service, "vnetd") == 0
                 ? vnet_connect_to_vnetd_ipi(host, nullptr, 0, 0, timeout, 0, &sock, nullptr)
                 : through_vnetd(host, service, timeout, &sock);
    else if (strcmp(path, "any") == 0)
        st = vnet_connect_to_service(host, service, nullptr, 0, 0, timeout, &sock);
    else
        return bad_args("connect", nullptr, "the path is legacy, vnetd or pbx");
    if (st < 0)
        return 2;
    const std::string report = connection_report();
    if (!report.empty())
        fprintf(stderr, "%s\n", report.c_str());
    if (st != 0) {
        fprintf(stderr, "zt connect: %s %s: %s (%d)\n", host, service, vnet_status_to_text(st), st);
        if (st == VNET_BAD_PARAM && strcmp(path, "pbx") == 0)
            fprintf(stderr, "zt connect: %s was last reached without the port exchange; "
                            "'zt hostcache clear' forgets that\n",
                    host);
        return 1;
    }
    fprintf(stderr, "connected to %s %s through %s\n", host, service, path_taken(report).c_str());
    const int rc = pipe ? pipe_over(sock) : 0;
    close(sock);
    return rc;
}

} // namespace zt
