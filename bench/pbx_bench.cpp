// The port exchange against direct TCP, over loopback, in one run:
// - set-up: a new connection and its first exchange (one byte each way),
//   switched through the exchange (hello, hand-over, answer) against a plain
//   connect to a listening socket;
// - bulk: 1 MB sent and acknowledged over one connection, switched against
//   direct. The exchange is out of the data path once it has switched, so the
//   two should run alike.
// The exchange runs in a thread of this process; servers are threads too.
#include <arpa/inet.h>
#include <atomic>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "exchange.h"
#include "ztpbx.h"

namespace {

constexpr size_t kBulk = 1 << 20;

bool recv_all(int s, char *p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(s, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// What a server does with a connection: one byte answered by one byte, then
// 1 MB blocks each answered by one byte, until the client closes.
void serve(int s) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<char> buf(kBulk);
    char c;
    if (!recv_all(s, &c, 1) || send(s, &c, 1, MSG_NOSIGNAL) != 1) {
        close(s);
        return;
    }
    while (recv_all(s, buf.data(), kBulk) && send(s, &c, 1, MSG_NOSIGNAL) == 1) {
    }
    close(s);
}

struct Exchange {
    int stop[2] = {-1, -1};
    int port = 0;
    std::thread loop;
    Exchange() {
        (void)!pipe(stop);
        std::promise<int> bound;
        loop = std::thread([&] {
            ztpbx::ExchangeOptions opt;
            opt.port = 0;
            opt.listen = "127.0.0.1";
            opt.on_listening = [&](int p) { bound.set_value(p); };
            opt.log = [](const std::string &) {};
            if (ztpbx::run_exchange(opt, stop[0]) != 0)
                bound.set_value(-1);
        });
        port = bound.get_future().get();
    }
    ~Exchange() {
        (void)!write(stop[1], "x", 1);
        loop.join();
    }
};

// A server registered under "bench": one thread per connection.
struct SwitchedServer {
    PBXHANDLE h = nullptr;
    std::thread acceptor;
    explicit SwitchedServer(int port) {
        PBXADDR addr;
        pbxAllocSocket(&h, nullptr);
        pbxSetAddrEx(&addr, nullptr, port, "bench");
        if (pbxRegisterExEx(h, &addr, nullptr, nullptr, 128) != 0)
            return;
        acceptor = std::thread([this] {
            int s = -1;
            while (pbxAcceptEx(h, &s, nullptr) == 0)
                std::thread(serve, s).detach();
        });
    }
    ~SwitchedServer() {
        int s = -1;
        pbxGetSocketHandle(h, &s);
        shutdown(s, SHUT_RDWR); // ends the acceptor's wait
        if (acceptor.joinable())
            acceptor.join();
        pbxClose(h, 0);
    }
};

// A plain listening socket, one thread per connection.
struct DirectServer {
    int listener = -1;
    int port = 0;
    std::thread acceptor;
    DirectServer() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        listen(listener, SOMAXCONN);
        acceptor = std::thread([this] {
            int s;
            while ((s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0)
                std::thread(serve, s).detach();
        });
    }
    ~DirectServer() {
        shutdown(listener, SHUT_RDWR);
        acceptor.join();
        close(listener);
    }
};

Exchange *g_exchange;
SwitchedServer *g_switched;
DirectServer *g_direct;

int connect_direct() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(g_direct->port));
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// A switched connection; *h keeps it (pbxClose closes it).
int connect_switched(PBXHANDLE *h) {
    PBXADDR addr;
    pbxAllocSocket(h, nullptr);
    pbxSetAddrEx(&addr, "127.0.0.1", g_exchange->port, "bench");
    int s = -1;
    if (pbxConnectExEx(*h, &addr, PBX_MODE_BLOCKING, nullptr, nullptr) != 0 ||
        pbxGetSocketHandle(*h, &s) != 0)
        return -1;
    return s;
}

bool first_exchange(int s) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char c = 'x';
    return send(s, &c, 1, MSG_NOSIGNAL) == 1 && recv_all(s, &c, 1);
}

void BM_setup_direct(benchmark::State &state) {
    for (auto _ : state) {
        int s = connect_direct();
        if (s < 0 || !first_exchange(s))
            state.SkipWithError("direct connection failed");
        close(s);
    }
}

void BM_setup_switched(benchmark::State &state) {
    for (auto _ : state) {
        PBXHANDLE h = nullptr;
        int s = connect_switched(&h);
        if (s < 0 || !first_exchange(s))
            state.SkipWithError("switched connection failed");
        pbxClose(h, 0);
    }
}

void bulk(benchmark::State &state, int s) {
    std::vector<char> block(kBulk, 'b');
    if (s < 0 || !first_exchange(s)) {
        state.SkipWithError("no connection");
        return;
    }
    for (auto _ : state) {
        char c;
        if (send(s, block.data(), block.size(), MSG_NOSIGNAL) != ssize_t(block.size()) ||
            !recv_all(s, &c, 1)) {
            state.SkipWithError("bulk transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBulk));
}

void BM_bulk_direct(benchmark::State &state) {
    int s = connect_direct();
    bulk(state, s);
    close(s);
}

void BM_bulk_switched(benchmark::State &state) {
    PBXHANDLE h = nullptr;
    bulk(state, connect_switched(&h));
    pbxClose(h, 0);
}

BENCHMARK(BM_setup_direct)->UseRealTime();
BENCHMARK(BM_setup_switched)->UseRealTime();
BENCHMARK(BM_bulk_direct)->UseRealTime();
BENCHMARK(BM_bulk_switched)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    Exchange exchange;
    SwitchedServer switched(exchange.port);
    DirectServer direct;
    g_exchange = &exchange;
    g_switched = &switched;
    g_direct = &direct;
    return zt::bench::run_and_print_ratios(
        argc, argv,
        {{"BM_setup_switched/real_time", "BM_setup_direct/real_time"},
         {"BM_bulk_switched/real_time", "BM_bulk_direct/real_time"}});
}
