// zt vnetd: run the vnetd daemon, register a service with it, ask a daemon
// its versions, list the registrations; and the demo's section on vnetd.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string>
#include <spawn.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <ztbase/paths.h>
#include <ztbase/vnet.h>
#include <ztbase/vnet_vnetd.h>

#include "commands.h"
#include "platform/unix_sockets.h"
#include "vnetd_server.h"

extern char **environ;

namespace zt {
namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

bool parse_port(const char *text, int *port) {
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 65535)
        return false;
    *port = static_cast<int>(v);
    return true;
}

int vnetd_run(int argc, char **argv) {
    ztvnetd::Options options;
    for (int i = 1; i < argc; i += 2)
        if (i + 1 >= argc || !ztvnetd::set_option(argv[i], argv[i + 1], &options))
            return bad_args("vnetd", "run", "expected " ZTVNETD_OPTIONS_USAGE);
    return ztvnetd::run(options);
}

void echo(int sock) {
    char buf[65536];
    ssize_t n;
    while ((n = recv(sock, buf, sizeof buf, 0)) > 0)
        if (send(sock, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
            break;
    close(sock);
}

int vnetd_register(int argc, char **argv) {
    if (argc != 2)
        return bad_args("vnetd", "register", "expected SERVICE");
    const char *service = argv[1];
    int listener = -1;
    int st = vnet_vnetd_listen_and_register_service(service, 16, &listener);
    if (st != VNET_SUCCESS) {
        fprintf(stderr, "zt vnetd: registering %s failed: %s\n", service, vnet_status_to_text(st));
        return 1;
    }
    printf("registered %s (process %ld); connections are echoed back. Ctrl-C ends.\n", service,
           static_cast<long>(getpid()));
    fflush(stdout);
    struct sigaction sa{};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    for (unsigned long n = 1; !g_stop;) {
        int sock = -1;
        st = vnet_vnetd_accept_and_receive(listener, nullptr, &sock, 1);
        if (st == VNET_TIMEOUT)
            continue;
        if (st != VNET_SUCCESS) {
            fprintf(stderr, "zt vnetd: a hand-over failed: %s\n", vnet_status_to_text(st));
            continue;
        }
        char peer[300] = "?";
        vnet_socket_to_peer_hostname_and_ipstring(sock, nullptr, 0, peer, sizeof peer);
        printf("connection %lu from %s\n", n++, peer);
        fflush(stdout);
        std::thread(echo, sock).detach();
    }
    vnet_vnetd_unregister_service(service);
    close(listener);
    printf("unregistered %s\n", service);
    return 0;
}

int vnetd_version(int argc, char **argv) {
    if (argc != 2)
        return bad_args("vnetd", "version", "expected HOST[:PORT]");
    std::string host = argv[1];
    int port = 0;
    vnet_get_port(&port);
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(':') == colon) {
        if (!parse_port(host.c_str() + colon + 1, &port) || port == 0)
            return bad_args("vnetd", "version", "the port is not a number from 1 to 65535");
        host.erase(colon);
    }
    int sock = -1, version = 0;
    int st = vnet_vnetd_connect_host(host.c_str(), port, 20, &sock);
    if (st == VNET_SUCCESS)
        st = vnet_version_connect(&sock, VN_VERSION_HIGHEST, 2, &version, 20);
    char text[128] = "";
    if (st == VNET_SUCCESS)
        st = vnet_version_get_ipi(&sock, 20, text, sizeof text);
    if (st != VNET_SUCCESS) {
        fprintf(stderr, "zt vnetd: %s port %d: %s\n", host.c_str(), port, vnet_status_to_text(st));
        vnet_closesocket(sock);
        return 1;
    }
    vnet_vnetd_disconnect(&sock, version, 20);
    vnet_closesocket(sock);
    printf("vnetd protocol version %d\nproduct version %s\n", version, text);
    return 0;
}

int vnetd_services(int argc, char **) {
    if (argc != 1)
        return bad_args("vnetd", "services", "takes no arguments");
    const std::string dir = getFennicString("VN_PATH_VNETD");
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        if (errno == ENOENT) {
            printf("no registrations in %s\n", dir.c_str());
            return 0;
        }
        fprintf(stderr, "zt vnetd: %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }
    std::vector<std::string> names;
    while (const dirent *e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".txt") == 0)
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    printf("%-20s %8s %12s  %s\n", "SERVICE", "PID", "IPC", "STATE");
    for (const std::string &n : names) {
        vnet_service_entry *list = nullptr;
        if (vnet_read_service_file((dir + "/" + n).c_str(), &list) != VNET_SUCCESS || !list)
            continue;
        const char *state = "active";
        if (list->exptime != 0 && list->exptime <= static_cast<unsigned long>(time(nullptr)))
            state = "expired";
        else if (list->pid != 0 && kill(static_cast<pid_t>(list->pid), 0) != 0 && errno == ESRCH)
            state = "gone";
        else if (list->icmd && (!list->ipc || !*list->ipc))
            state = "per connection";
        printf("%-20s %8lu %12s  %s\n", list->name ? list->name : "?", list->pid,
               list->ipc ? list->ipc : "-", state);
        vnet_free_service_list(list);
    }
    return 0;
}

} // namespace

int cmd_vnetd(int argc, char **argv) {
    if (argc < 1)
        return usage("vnetd run [--port N] | register SERVICE | version HOST[:PORT] | services");
    const std::string sub = argv[0];
    if (sub == "run")
        return vnetd_run(argc, argv);
    if (sub == "register")
        return vnetd_register(argc, argv);
    if (sub == "version")
        return vnetd_version(argc, argv);
    if (sub == "services")
        return vnetd_services(argc, argv);
    return bad_args("vnetd", nullptr, ("unknown subcommand " + sub).c_str());
}

// The daemon connects on this process's behalf (request 17 on its local
// endpoint) to a loopback echo server and hands the socket back.
void demo_indirect(int vnetd_port) {
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(l, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(l, 1) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(l);
        return;
    }
    std::thread server([l] {
        const int s = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0)
            echo(s);
    });
    const std::string endpoint = VN_LOCAL_ENDPOINT_PREFIX + std::to_string(vnetd_port);
    const std::string params =
        "{\"who\":\"zt demo\",\"host\":\"127.0.0.1\",\"service\":\"" +
        std::to_string(ntohs(addr.sin_port)) +
        "\",\"overide_connect_timeout\":10,\"connect_options\":{\"server\":\"127.0.0.1\","
        "\"reserved_port_kind\":1,\"callback_kind\":0,\"daemon_port_type\":2}}";
    int conn = -1, version = 0, sock = -1;
    int st = ztbase::usock::connect_abstract(endpoint, SOCK_STREAM, &conn) == 0
                 ? vnet_version_connect(&conn, VN_VERSION_HIGHEST, VN_VERSION_HIGHEST, &version, 20)
                 : VNET_CONNECT_FAILED;
    if (st == VNET_SUCCESS)
        st = vnet_push_unsigned(conn, VN_REQUEST_INDIRECT_CONNECT, 20);
    if (st == VNET_SUCCESS)
        st = vnet_push_string(conn, params.c_str(), 20);
    std::string reply(10240, '\0');
    if (st == VNET_SUCCESS)
        st = vnet_pop_string(conn, reply.data(), static_cast<int>(reply.size()), 20);
    printf("  client on @%s: indirect connect to the echo server at 127.0.0.1:%d answered %s\n",
           endpoint.c_str(), ntohs(addr.sin_port), st == VNET_SUCCESS ? reply.c_str() : "nothing");
    if (st == VNET_SUCCESS && reply.rfind("{\"status\":0", 0) == 0)
        st = vnet_receive_network_socket(conn, nullptr, &sock, 20);
    if (sock >= 0) {
        send(sock, "connected for me", 16, MSG_NOSIGNAL);
        char buf[32] = "";
        const ssize_t n = recv(sock, buf, 16, MSG_WAITALL);
        printf("  client: the daemon's socket arrived; sent \"connected for me\", echoed \"%.*s\"\n",
               static_cast<int>(n > 0 ? n : 0), buf);
        close(sock);
    } else {
        shutdown(l, SHUT_RDWR); // the server stops waiting
    }
    if (conn >= 0)
        vnet_vnetd_disconnect(&conn, version, 20);
    vnet_closesocket(conn);
    server.join();
    close(l);
}

void demo_vnetd(const std::string &root) {
    printf("\n== The vnetd daemon: a service reached through it ==\n");
    (void)root;
    int port = 0;
    const pid_t daemon = start_demo_vnetd(false, &port);
    if (daemon < 0) {
        puts("  the daemon did not start");
        return;
    }
    printf("  ztvnetd started on port %d (chosen by the kernel)\n", port);
    int listener = -1;
    int st = vnet_vnetd_listen_and_register_service("demo-echo", 4, &listener);
    printf("  registered demo-echo: %s\n", vnet_status_to_text(st));
    std::thread service([&] {
        int sock = -1;
        if (vnet_vnetd_accept_and_receive(listener, nullptr, &sock, 20) == VNET_SUCCESS)
            echo(sock);
    });
    int sock = -1, version = 0;
    st = vnet_vnetd_connect_host("127.0.0.1", port, 20, &sock);
    if (st == VNET_SUCCESS)
        st = vnet_version_connect(&sock, VN_VERSION_HIGHEST, 2, &version, 20);
    printf("  client: handshake %s, protocol version %d\n", vnet_status_to_text(st), version);
    if (st == VNET_SUCCESS)
        st = vnet_vnetd_service_socket(&sock, version, "demo-echo", 20);
    printf("  client: service socket for demo-echo: %s (the socket now belongs to the service)\n",
           vnet_status_to_text(st));
    if (st == VNET_SUCCESS) {
        send(sock, "hello through vnetd", 19, MSG_NOSIGNAL);
        char buf[32] = "";
        const ssize_t n = recv(sock, buf, 19, MSG_WAITALL);
        printf("  client: sent \"hello through vnetd\", the service echoed \"%.*s\"\n",
               static_cast<int>(n > 0 ? n : 0), buf);
    }
    vnet_closesocket(sock);
    service.join();
    vnet_vnetd_unregister_service("demo-echo");
    close(listener);
    demo_indirect(port);
    printf("  SIGTERM: the daemon ended with status %d\n", stop_demo_daemon(daemon));
}

pid_t start_demo_vnetd(bool with_exchange, int *port) {
    *port = 0;
    int out[2];
    if (pipe(out) != 0)
        return -1;
    // The daemon is this program again ("zt vnetd run"), a process of its own.
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    char *args[] = {const_cast<char *>("zt"), const_cast<char *>("vnetd"), const_cast<char *>("run"),
                    const_cast<char *>("--port"), const_cast<char *>("0"),
                    const_cast<char *>("--bind"), const_cast<char *>("127.0.0.1"),
                    const_cast<char *>("--pbx"), const_cast<char *>(with_exchange ? "auto" : "off"),
                    nullptr};
    pid_t daemon = -1;
    if (posix_spawn(&daemon, "/proc/self/exe", &fa, nullptr, args, environ) != 0)
        daemon = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    char line[128] = "";
    FILE *from = fdopen(out[0], "r");
    if (daemon < 0 || !from || !fgets(line, sizeof line, from) ||
        sscanf(line, "listening on port %d", port) != 1) {
        if (daemon > 0) {
            kill(daemon, SIGKILL);
            waitpid(daemon, nullptr, 0);
        }
        daemon = -1;
    }
    if (from)
        fclose(from);
    else
        close(out[0]);
    return daemon;
}

int stop_demo_daemon(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace zt
