// Service connects on loopback, in one run:
// - a host whose first address is black-holed (a listener whose accept queue
//   is full drops the connection request unanswered) against a host with
//   only the working address (goal: at most 1.2 times slower: the attempts
//   run in parallel, so a dead address costs nothing);
// - a connect through the engine against a plain connect(2) to the same
//   port, for the engine's own cost.
// Names resolve through a stand-in resolver; the file cache lives in a
// temporary directory set as the process override.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "vnet/vnet_addrinfo_internal.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_connect.h"

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
        close(sock);
        accept_one();
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
        close(fd);
        accept_one();
    }
}

BENCHMARK(BM_plain_connect)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_connect_live_only)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_connect_dead_first)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
    int rc = zt::bench::run_and_print_ratios(argc, argv,
                                             {{"BM_connect_dead_first", "BM_connect_live_only"},
                                              {"BM_connect_live_only", "BM_plain_connect"}});
    rs::set_resolver(nullptr);
    vnet_set_override_values(nullptr);
    for (int fd : g_fillers)
        close(fd);
    if (!g_dir.empty())
        std::filesystem::remove_all(g_dir);
    return rc;
}
