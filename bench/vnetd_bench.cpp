// Reaching a service through the vnetd daemon against connecting to it
// directly: connection set-up with the same first exchange, and bulk
// throughput once connected (after the hand-over nothing sits in between).
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "bench_root.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_vnetd.h"

extern char **environ;

namespace {

int g_vnetd_port = 0;
int g_direct_port = 0;
pid_t g_daemon = -1;
constexpr size_t kChunk = 1 << 20;

// The service: 'p' answers one byte; 'b' swallows everything.
void serve(int sock) {
    char mode = 0;
    if (recv(sock, &mode, 1, MSG_WAITALL) == 1) {
        if (mode == 'p') {
            send(sock, "k", 1, MSG_NOSIGNAL);
        } else {
            static thread_local std::string buf(kChunk, '\0');
            while (recv(sock, buf.data(), buf.size(), 0) > 0) {
            }
        }
    }
    close(sock);
}

void direct_server(int listener) {
    for (;;) {
        const int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0)
            std::thread(serve, s).detach();
    }
}

void vnetd_service(int listener) {
    for (;;) {
        int s = -1;
        if (vnet_vnetd_accept_and_receive(listener, nullptr, &s, 60) == VNET_SUCCESS)
            std::thread(serve, s).detach();
    }
}

int tcp_connect(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int through_vnetd() {
    int s = -1, version = 0;
    if (vnet_vnetd_connect_host("127.0.0.1", g_vnetd_port, 10, &s) != VNET_SUCCESS ||
        vnet_version_connect(&s, VN_VERSION_HIGHEST, 2, &version, 10) != VNET_SUCCESS ||
        vnet_vnetd_service_socket(&s, version, "benchsvc", 10) != VNET_SUCCESS)
        return -1;
    return s;
}

bool first_exchange(int s) {
    char c = 0;
    return send(s, "p", 1, MSG_NOSIGNAL) == 1 && recv(s, &c, 1, MSG_WAITALL) == 1;
}

void BM_setup_direct(benchmark::State &state) {
    for (auto _ : state) {
        const int s = tcp_connect(g_direct_port);
        if (s < 0 || !first_exchange(s))
            state.SkipWithError("direct connection failed");
        close(s);
    }
}

void BM_setup_vnetd(benchmark::State &state) {
    for (auto _ : state) {
        const int s = through_vnetd();
        if (s < 0 || !first_exchange(s))
            state.SkipWithError("connection through vnetd failed");
        close(s);
    }
}

void bulk(benchmark::State &state, int s) {
    if (s < 0 || send(s, "b", 1, MSG_NOSIGNAL) != 1) {
        state.SkipWithError("no connection");
        return;
    }
    const std::string chunk(kChunk, 'x');
    for (auto _ : state) {
        size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t n = send(s, chunk.data() + done, chunk.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                state.SkipWithError("send failed");
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunk));
    close(s);
}

void BM_bulk_direct(benchmark::State &state) { bulk(state, tcp_connect(g_direct_port)); }
void BM_bulk_handed_over(benchmark::State &state) { bulk(state, through_vnetd()); }

BENCHMARK(BM_setup_direct)->UseRealTime();
BENCHMARK(BM_setup_vnetd)->UseRealTime();
BENCHMARK(BM_bulk_direct)->UseRealTime();
BENCHMARK(BM_bulk_handed_over)->UseRealTime();

// A scratch root with the path table below it, the daemon on a port the
// kernel picks, the registered service and the direct listener.
bool set_up(const std::string &root) {
    if (!zt::bench::point_paths_at(root))
        return false;

    int out[2];
    if (pipe(out) != 0)
        return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const std::string path = ZT_BINARY_DIR "/standins/vnetd/ztvnetd";
    char *argv[] = {const_cast<char *>(path.c_str()), const_cast<char *>("--port"),
                    const_cast<char *>("0"), const_cast<char *>("--bind"),
                    const_cast<char *>("127.0.0.1"), nullptr};
    const int e = posix_spawn(&g_daemon, path.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    char line[128] = "";
    FILE *f = fdopen(out[0], "r");
    const bool started = e == 0 && f && fgets(line, sizeof line, f) &&
                         sscanf(line, "listening on port %d", &g_vnetd_port) == 1;
    if (f)
        fclose(f);
    if (!started)
        return false;

    int service = -1;
    if (vnet_vnetd_listen_and_register_service("benchsvc", 64, &service) != VNET_SUCCESS)
        return false;
    std::thread(vnetd_service, service).detach();

    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(l, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(l, 64) != 0)
        return false;
    getsockname(l, reinterpret_cast<sockaddr *>(&a), &len);
    g_direct_port = ntohs(a.sin_port);
    std::thread(direct_server, l).detach();
    return true;
}

} // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    log_set_verbosity_filter(-2);
    std::string root = (std::filesystem::temp_directory_path() / "vnetd-bench.XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr || !set_up(root)) {
        fprintf(stderr, "vnetd_bench: set-up failed\n");
        if (g_daemon > 0)
            kill(g_daemon, SIGKILL);
        return 1;
    }
    const int rc = zt::bench::run_and_print_ratios(
        argc, argv,
        {{"BM_setup_vnetd/real_time", "BM_setup_direct/real_time"},
         {"BM_bulk_handed_over/real_time", "BM_bulk_direct/real_time"}});
    kill(g_daemon, SIGTERM);
    waitpid(g_daemon, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return rc;
}
