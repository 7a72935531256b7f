// zt demo: service connections on loopback. A service's own port answers, a
// port where nothing listens does not; each connect leaves its report. Then
// each path with the daemons running: through vnetd, through the port
// exchange, and through the exchange on to vnetd.
#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <jansson.h>
#include <ztbase/vnet.h>
#include <ztbase/comm.h>
#include <ztbase/paths.h>
#include <ztbase/vnet_addrinfo.h>
#include <ztbase/vnet_connect.h>
#include <ztbase/vnet_pbx.h>
#include <ztbase/vnet_vnetd.h>

#include "commands.h"

namespace zt {
namespace {

std::string report() {
    json_t *rec = vnet_tss_get(0);
    const char *text =
        json_string_value(json_object_get(json_object_get(rec, "connect_recs"), "data"));
    std::string out = text != nullptr ? text : "(no report)";
    json_decref(rec);
    for (size_t at = 0; (at = out.find('\n', at)) != std::string::npos; at += 2)
        out.replace(at, 2, "\n    ");
    return out;
}

int loopback_listener(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// The port every client of this root finds for a daemon.
void override_port(const char *service, int port) {
    const std::string dir = getFennicString("OVERRIDE_PATH");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (FILE *f = fopen((dir + "/" + service).c_str(), "w")) {
        fprintf(f, "%d\n", port);
        fclose(f);
    }
}

// Whether the vnetd on port says it is registered with the exchange.
bool on_exchange(int port) {
    int sock = -1, version = 0, supported = 0;
    if (vnet_vnetd_connect_host("127.0.0.1", port, 5, &sock) != VNET_SUCCESS)
        return false;
    const bool yes = vnet_version_connect(&sock, VN_VERSION_HIGHEST, 2, &version, 5) == 0 &&
                     vnet_vnetd_pbx_c_supported(&sock, version, &supported, 5) == 0 &&
                     supported == 1;
    vnet_closesocket(sock);
    return yes;
}

// Answers "name heard: LINE" to each line of each connection, until the end.
void answer(int sock, const char *name) {
    for (std::string line; !(line = read_line(sock)).empty();)
        if (!send_line(sock, std::string(name) + " heard: " + line))
            break;
    close(sock);
}

int flag7(const char *host) {
    vnet_addrinfo *list = nullptr;
    int code = 0, v = -1;
    if (vnet_cached_getaddrinfo(host, nullptr, nullptr, &list, &code) == 0 && list != nullptr)
        v = list->cached_flags[VNET_CF_CONNECT_PATH];
    vnet_freeaddrinfo(list);
    return v;
}

// One connect by a path, a line over it, and the report.
void try_path(const char *label, int st, int sock, const char *line) {
    printf("  %s: %s\n", label, vnet_status_to_text(st));
    if (st == VNET_SUCCESS) {
        send_line(sock, line);
        printf("    sent \"%s\", the answer: \"%s\"\n", line, read_line(sock).c_str());
        close(sock);
    }
    printf("    %s\n", report().c_str());
}

} // namespace

void demo_connect_paths() {
    printf("\n== %s ==\n", "Service connections by each path");
    DemoExchange exchange;
    int vport = 0;
    const pid_t first = exchange.port() > 0 ? start_demo_vnetd(false, &vport) : -1;
    if (first < 0) {
        printf("  (the daemons did not start: %s)\n", "skipped");
        return;
    }
    override_port("halvane_pbx", exchange.port());
    override_port("vnetd", vport);
    vnet_cleanup_memory_cache();
    printf("  an exchange on 127.0.0.1:%d and ztvnetd on 127.0.0.1:%d, not registered with it\n"
           "  (override files name both ports: halvane_pbx and vnetd under $OVERRIDE_PATH)\n",
           exchange.port(), vport);
    int svc_listener = -1;
    int st = vnet_vnetd_listen_and_register_service("demo-svc", 4, &svc_listener);
    std::thread svc([&] {
        for (int i = 0; i < 2 && st == VNET_SUCCESS; ++i) {
            int sock = -1;
            if (vnet_vnetd_accept_and_receive(svc_listener, nullptr, &sock, 20) == VNET_SUCCESS)
                answer(sock, "demo-svc");
        }
    });
    vnet_pbxInitialize();
    vnet_pbx_handle server = nullptr;
    int server_sock = -1, count = 0;
    sockaddr_storage *alt = nullptr;
    const int reg = vnet_registerPBXServer(&server, &server_sock, "bprd", &alt, &count);
    free(alt);
    std::thread bprd([&] {
        int sock = -1;
        if (reg == VNET_SUCCESS &&
            vnet_pbxAcceptSocket(&server, &sock, 0, nullptr, nullptr) == VNET_SUCCESS)
            answer(sock, "bprd");
    });
    printf("  registered demo-svc with vnetd (%s) and bprd with the exchange (%s)\n",
           vnet_status_to_text(st), vnet_status_to_text(reg));

    int sock = -1;
    st = vnet_connect_to_service("127.0.0.1", "demo-svc", nullptr, 0, 0, 10, &sock);
    try_path("127.0.0.1 demo-svc, every path at once (the exchange has no vnetd: vnetd wins)", st,
             sock, "hello");
    st = vnet_connect_to_service("localhost", "bprd", nullptr, 0, 0, 10, &sock);
    try_path("localhost bprd, which the exchange switches itself", st, sock, "hello");
    bprd.join();

    stop_demo_daemon(first);
    const pid_t second = start_demo_vnetd(true, &vport);
    override_port("vnetd", vport);
    bool registered = false;
    for (int i = 0; second > 0 && i < 200 && !(registered = on_exchange(vport)); ++i)
        usleep(25000);
    printf("  a second ztvnetd on 127.0.0.1:%d, registered with the exchange: %s\n", vport,
           registered ? "yes" : "no");
    st = vnet_connect_to_pbx_service("localhost", "demo-svc", nullptr, 0, 0, 10, &sock);
    try_path("localhost demo-svc through the exchange, which hands it to vnetd", st, sock, "hello");
    svc.join();
    printf("  learned paths (flag 7: 1 not the exchange, 2 the exchange): 127.0.0.1 %d, "
           "localhost %d\n",
           flag7("127.0.0.1"), flag7("localhost"));
    vnet_vnetd_unregister_service("demo-svc");
    close(svc_listener);
    vnet_pbxClose(&server, 0);
    vnet_pbxUnInitialize();
    if (second > 0)
        stop_demo_daemon(second);
    remove((std::string(getFennicString("OVERRIDE_PATH")) + "/vnetd").c_str());
    remove((std::string(getFennicString("OVERRIDE_PATH")) + "/halvane_pbx").c_str());
}

void demo_connect() {
    printf("\n== %s ==\n", "Service connections");
    int port = 0;
    int listener = loopback_listener(&port);
    if (listener < 0) {
        printf("  (no loopback listener: %s)\n", "skipped");
        return;
    }
    const std::string service = std::to_string(port);
    vnet_connect_options_rec o{};
    if (vnet_get_connect_options("127.0.0.1", 0, &o) == 0)
        printf("  options for this host: reserved port kind %d, callback kind %d, daemon port "
               "type %d\n",
               o.reserved_port_kind, o.callback_kind, o.daemon_port_type);
    int sock = -1;
    int st =
        vnet_connect_to_third_party_service("127.0.0.1", service.c_str(), nullptr, 0, 0, 5, &sock);
    printf("  a service's own port (%s): %s\n    %s\n", service.c_str(), vnet_status_to_text(st),
           report().c_str());
    if (sock >= 0)
        close(sock);
    close(listener); // nothing listens there any more
    st = vnet_connect_to_third_party_service("127.0.0.1", service.c_str(), nullptr, 0, 0, 1, &sock);
    printf("  the same port, closed, retried for a second: %s\n    %s\n", vnet_status_to_text(st),
           report().c_str());
}

} // namespace zt
