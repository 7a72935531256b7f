// zt demo: service connections on loopback. A service's own port answers, a
// port where nothing listens does not; each connect leaves its report.
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <jansson.h>
#include <ztbase/vnet.h>
#include <ztbase/vnet_connect.h>

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

} // namespace

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
