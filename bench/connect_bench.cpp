// Service connects on loopback, in one run:
// - a host whose first address is black-holed (a listener whose accept queue
//   is full drops the connection request unanswered) against a host with
//   only the working address (goal: at most 1.2 times slower: the attempts
//   run in parallel, so a dead address costs nothing);
// - a connect through the engine against a plain connect(2) to the same
//   port, for the engine's own cost;
// - a service reached through vnetd, and a server through the port
//   exchange, each with a first exchange of one line, against a direct
//   (legacy) connect to an equivalent service with the same exchange (goal:
//   at most 3 times slower each). The daemons run as child processes on
//   ports the kernel picks, named to the engine by override files.
// Names resolve through a stand-in resolver; the file cache lives in a
// temporary directory set as the process override, the path table in a
// temporary root.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netdb.h>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>
#include <jansson.h>

#include "bench_ratio.h"
#include "bench_root.h"
#include "platform/posix_io.h"
#include "vnet/vnet_addrinfo_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_connect.h"
#include "ztbase/vnet_pbx.h"
#include "ztbase/vnet_vnetd.h"
#include "ztbase/ztconf.h"

extern char **environ;

namespace {

namespace rs = zt::vnet::resolve;

std::string g_dir;
int g_dead = -1, g_live = -1, g_port = 0;
std::vector<int> g_fillers;

int listener(const char *addr, int port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr, &a.sin_addr);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        perror("listener");
        exit(1);
    }
    g_port = ntohs(a.sin_port);
    return fd;
}

int stand_in(const char *name, const char *service, const addrinfo *hints, addrinfo **result) {
    const char *literals[2] = {nullptr, nullptr};
    if (name != nullptr && strcmp(name, "dead-first") == 0) {
        literals[0] = "127.0.0.1";
        literals[1] = "127.0.0.2";
    } else if (name != nullptr && strcmp(name, "live-only") == 0) {
        literals[0] = "127.0.0.2";
    } else if (name != nullptr && (strcmp(name, "via-vnetd") == 0 ||
                                   strcmp(name, "via-pbx") == 0 || strcmp(name, "direct") == 0)) {
        // One name per path: each host learns its own path.
        literals[0] = "127.0.0.1";
    } else {
        return getaddrinfo(name, service, hints, result);
    }
    addrinfo h{};
    h.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    h.ai_family = AF_INET;
    h.ai_socktype = SOCK_STREAM;
    addrinfo *head = nullptr, **tail = &head;
    for (const char *l : literals) {
        if (l == nullptr || getaddrinfo(l, service, &h, tail) != 0)
            continue;
        while (*tail != nullptr)
            tail = &(*tail)->ai_next;
    }
    *result = head;
    return head != nullptr ? 0 : EAI_NONAME;
}

const rs::ResolverTable kStandIn = {stand_in, nullptr, nullptr, nullptr,
                                    nullptr,  nullptr, nullptr, nullptr};

void set_up() {
    if (!g_dir.empty())
        return;
    g_dir = (std::filesystem::temp_directory_path() / "zt-connect-bench.XXXXXX").string();
    if (mkdtemp(g_dir.data()) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    chmod(g_dir.c_str(), 0755);
    vnet_set_override_values(g_dir.c_str());
    rs::set_resolver(&kStandIn);
    g_dead = listener("127.0.0.1", 0, 0);
    for (int i = 0; i < 3; ++i) { // fill the accept queue
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(g_port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        g_fillers.push_back(fd);
    }
    usleep(100000);
    g_live = listener("127.0.0.2", g_port, 64);
}

// The server's end closes first, so that the time-wait state stays on its
// side: left on the client's, tens of thousands of connections would crowd
// the ephemeral ports, and each later benchmark would pay more for finding
// one (a black-holed attempt takes a second port).
void accept_one() {
    int fd = accept(g_live, nullptr, nullptr);
    if (fd >= 0)
        close(fd);
}

void connect_host(benchmark::State &state, const char *host) {
    set_up();
    const std::string service = std::to_string(g_port);
    for (auto _ : state) {
        int sock = -1;
        int st =
            vnet_connect_to_third_party_service(host, service.c_str(), nullptr, 0, 0, 30, &sock);
        if (st != 0) {
            state.SkipWithError("connect failed");
            break;
        }
        accept_one();
        close(sock);
    }
}

void BM_connect_live_only(benchmark::State &state) {
    connect_host(state, "live-only");
}

void BM_connect_dead_first(benchmark::State &state) {
    connect_host(state, "dead-first");
}

void BM_plain_connect(benchmark::State &state) {
    set_up();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(g_port));
    inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
    for (auto _ : state) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            state.SkipWithError("connect failed");
            close(fd);
            break;
        }
        accept_one();
        close(fd);
    }
}

// The services behind the daemons and the direct one: each answers every
// line with the same line, one connection at a time (the benchmarks connect
// one at a time; a thread per connection would add its start-up to every
// connect, and its scheduling to the noise).
void echo_lines(int sock) {
    char buf[4096];
    ssize_t n;
    while ((n = recv(sock, buf, sizeof buf, 0)) > 0)
        if (send(sock, buf, size_t(n), MSG_NOSIGNAL) != n)
            break;
    close(sock);
}

struct Daemon {
    pid_t pid = -1;
    int port = 0;
};
Daemon g_vnetd, g_pbxd;
int g_echo_port = 0;
std::string g_root;

// A daemon of this tree on a port the kernel picks, read from its first line.
Daemon spawn_daemon(const std::string &path, std::vector<std::string> args) {
    Daemon d;
    args.insert(args.begin(), path);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return d;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&d.pid, path.c_str(), &fa, nullptr, argv.data(), environ) != 0)
        d.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    FILE *f = fdopen(out[0], "r");
    char line[200] = "";
    if (d.pid > 0 && f != nullptr && fgets(line, sizeof line, f) != nullptr)
        sscanf(line, "listening on port %d", &d.port);
    if (f != nullptr)
        fclose(f);
    else
        close(out[0]);
    return d;
}

void stop_daemon(Daemon &d) {
    if (d.pid > 0) {
        kill(d.pid, SIGTERM);
        waitpid(d.pid, nullptr, 0);
        d.pid = -1;
    }
}

bool write_override(const char *service, int port) {
    const std::string dir = getFennicString("OVERRIDE_PATH");
    std::filesystem::create_directories(dir);
    const std::string text = std::to_string(port) + "\n";
    ztbase::pio::Fd fd = ztbase::pio::open_fd((dir + "/" + service).c_str(),
                                              O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return fd && ztbase::pio::write_all(fd.get(), text.data(), text.size()) == 0 && fd.close();
}

// The direct service's listener on 127.0.0.1; its port in g_echo_port.
int listener_on_loopback() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    g_echo_port = ntohs(a.sin_port);
    return fd;
}

// A temporary root with the path table below it; both daemons, a service
// registered with vnetd, a server with the exchange, and the direct service.
bool set_up_daemons() {
    g_root = (std::filesystem::temp_directory_path() / "zt-connect-daemons.XXXXXX").string();
    if (mkdtemp(g_root.data()) == nullptr)
        return false;
    if (!zt::bench::point_paths_at(g_root))
        return false;

    // vnetd stays out of the exchange: registered there, it would take the
    // vnetd benchmark's connections through the exchange.
    g_vnetd = spawn_daemon(ZT_BINARY_DIR "/standins/vnetd/ztvnetd",
                           {"--port", "0", "--bind", "127.0.0.1", "--pbx", "off"});
    g_pbxd = spawn_daemon(ZT_BINARY_DIR "/standins/pbx/ztpbxd",
                          {"--listen", "127.0.0.1", "--port", "0"});
    if (g_vnetd.port <= 0 || g_pbxd.port <= 0 || !write_override("vnetd", g_vnetd.port) ||
        !write_override("halvane_pbx", g_pbxd.port))
        return false;

    int listener = -1;
    if (vnet_vnetd_listen_and_register_service("benchecho", 64, &listener) != VNET_SUCCESS)
        return false;
    std::thread([listener] {
        for (;;) {
            int s = -1;
            if (vnet_vnetd_accept_and_receive(listener, nullptr, &s, 60) == VNET_SUCCESS)
                echo_lines(s);
        }
    }).detach();

    if (vnet_pbxInitialize() != VNET_SUCCESS)
        return false;
    vnet_pbx_handle handle = nullptr;
    int waiter = -1, alt_count = 0;
    sockaddr_storage *alt = nullptr;
    if (vnet_registerPBXServer(&handle, &waiter, "bprd", &alt, &alt_count) != VNET_SUCCESS)
        return false;
    free(alt);
    std::thread([handle]() mutable {
        for (;;) {
            int s = -1;
            if (vnet_pbxAcceptSocket(&handle, &s, 0, nullptr, nullptr) == VNET_SUCCESS)
                echo_lines(s);
        }
    }).detach();

    const int direct = listener_on_loopback();
    if (direct < 0)
        return false;
    std::thread([direct] {
        for (;;) {
            const int s = accept4(direct, nullptr, nullptr, SOCK_CLOEXEC);
            if (s >= 0)
                echo_lines(s);
        }
    }).detach();
    return true;
}

// The first exchange: one short line there and back.
bool first_exchange(int sock) {
    static const char kLine[] = "hello\n";
    char buf[sizeof kLine];
    if (send(sock, kLine, sizeof kLine - 1, MSG_NOSIGNAL) != ssize_t(sizeof kLine - 1))
        return false;
    size_t got = 0;
    while (got < sizeof kLine - 1) {
        const ssize_t n = recv(sock, buf + got, sizeof kLine - 1 - got, 0);
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return memcmp(buf, kLine, sizeof kLine - 1) == 0;
}

// Any service through vnetd, as for a host whose daemons are reached through
// vnetd.
int connect_through_vnetd(const char *host, const char *service, int *sock) {
    json_t *params = json_pack("{s:s, s:s, s:s, s:i, s:{s:s, s:i, s:i, s:i}}", "who", "connect_bench",
                               "host", host, "service", service, "overide_connect_timeout", 30,
                               "connect_options", "server", host, "reserved_port_kind",
                               ZTCONF_RESERVED_PORT_KIND_NONE, "callback_kind",
                               ZTCONF_CALLBACK_KIND_VNETD, "daemon_port_type",
                               ZTCONF_DAEMON_PORT_TYPE_VNETD);
    const int st = vnet_connect_for_caller(params, sock, nullptr, nullptr);
    json_decref(params);
    return st;
}

template <class Connect> void connect_and_exchange(benchmark::State &state, Connect connect) {
    set_up();
    if (g_vnetd.port <= 0) {
        state.SkipWithError("the daemons did not start");
        return;
    }
    for (auto _ : state) {
        int sock = -1;
        const int st = connect(&sock);
        if (st != 0 || !first_exchange(sock)) {
            state.SkipWithError(("connect failed: " + std::string(vnet_status_to_text(st))).c_str());
            if (sock >= 0)
                close(sock);
            break;
        }
        close(sock);
    }
}

void BM_exchange_direct(benchmark::State &state) {
    const std::string port = std::to_string(g_echo_port);
    connect_and_exchange(state, [&port](int *sock) {
        return vnet_connect_to_third_party_service("direct", port.c_str(), nullptr, 0, 0, 30, sock);
    });
}

void BM_exchange_via_vnetd(benchmark::State &state) {
    connect_and_exchange(state, [](int *sock) {
        return connect_through_vnetd("via-vnetd", "benchecho", sock);
    });
}

void BM_exchange_via_pbx(benchmark::State &state) {
    connect_and_exchange(state, [](int *sock) {
        return vnet_connect_to_pbx_service("via-pbx", "bprd", nullptr, 0, 0, 30, sock);
    });
}

BENCHMARK(BM_plain_connect)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_connect_live_only)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_connect_dead_first)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_exchange_direct)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_exchange_via_vnetd)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_exchange_via_pbx)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    log_set_verbosity_filter(-2);
    if (!set_up_daemons()) {
        fprintf(stderr, "connect_bench: the daemons did not start; their benchmarks are skipped\n");
        g_vnetd.port = 0;
    }
    int rc = zt::bench::run_and_print_ratios(
        argc, argv,
        {{"BM_connect_dead_first", "BM_connect_live_only"},
         {"BM_connect_live_only", "BM_plain_connect"},
         {"BM_exchange_via_vnetd/real_time", "BM_exchange_direct/real_time"},
         {"BM_exchange_via_pbx/real_time", "BM_exchange_direct/real_time"}});
    stop_daemon(g_vnetd);
    stop_daemon(g_pbxd);
    rs::set_resolver(nullptr);
    vnet_set_override_values(nullptr);
    for (int fd : g_fillers)
        close(fd);
    std::error_code ec;
    if (!g_dir.empty())
        std::filesystem::remove_all(g_dir, ec);
    if (!g_root.empty())
        std::filesystem::remove_all(g_root, ec);
    return rc;
}
