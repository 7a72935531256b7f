// Socket values over loopback TCP, a 4-byte long and a 1 KB string, in each
// family against raw send/recv of the same bytes with the same framing (one
// send of length and body, a recv of the length, a recv of the body):
// - burst: a batch of values already queued on the socket, then received one
//   by one (only the receiving is timed, in CPU time);
// - ping-pong: a value sent, echoed by a peer thread with the same family and
//   received back.
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"

namespace {

enum class Family { Raw, Base, Select, Deadline };
constexpr int kTimeout = 30;
constexpr size_t kStringSize = 1024;
// Values of one burst: longs, and strings (about 1 MB of them).
constexpr int kBurstLongs = 10000;
constexpr int kBurstStrings = 1000;

void connect_pair(int &a, int &b) {
    const int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(l, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(l, reinterpret_cast<sockaddr *>(&addr), &len);
    listen(l, 1);
    a = socket(AF_INET, SOCK_STREAM, 0);
    connect(a, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    b = accept(l, nullptr, nullptr);
    close(l);
    const int one = 1;
    setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool raw_recv(int s, char *p, size_t n) {
    while (n > 0) {
        const ssize_t r = recv(s, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

bool raw_send(int s, const char *p, size_t n) {
    return send(s, p, n, MSG_NOSIGNAL) == ssize_t(n);
}

bool put_long_by(Family f, int s, int v) {
    int e = 0;
    switch (f) {
    case Family::Raw: {
        const uint32_t be = htonl(uint32_t(v));
        return raw_send(s, reinterpret_cast<const char *>(&be), 4);
    }
    case Family::Base:
        return put_long(s, v, &e) == 0;
    case Family::Select:
        return put_long_(s, v, kTimeout) == 0;
    case Family::Deadline:
        return ts_put_long(s, v, &e) == 0;
    }
    return false;
}

bool get_long_by(Family f, int s, int *v) {
    int e = 0;
    switch (f) {
    case Family::Raw: {
        uint32_t be = 0;
        if (!raw_recv(s, reinterpret_cast<char *>(&be), 4))
            return false;
        *v = int(ntohl(be));
        return true;
    }
    case Family::Base:
        *v = get_long(s, kTimeout, &e);
        return e == 0 && *v >= 0;
    case Family::Select:
        *v = get_long_(s, kTimeout, 0);
        return *v >= 0;
    case Family::Deadline:
        *v = ts_get_long(s, kTimeout, &e);
        return e == 0;
    }
    return false;
}

bool put_string_by(Family f, int s, const std::string &text) {
    int e = 0;
    switch (f) {
    case Family::Raw: {
        char buf[4 + kStringSize];
        const uint32_t be = htonl(uint32_t(text.size()));
        memcpy(buf, &be, 4);
        memcpy(buf + 4, text.data(), text.size());
        return raw_send(s, buf, 4 + text.size());
    }
    case Family::Base:
        return put_string(s, text.c_str(), &e) == 0;
    case Family::Select:
        return put_string_(s, text.c_str(), kTimeout, 0, 0) == int(text.size());
    case Family::Deadline:
        return ts_put_string(s, text.c_str(), &e) == 0;
    }
    return false;
}

bool get_string_by(Family f, int s, char *buf, int size) {
    int e = 0, len = 0;
    switch (f) {
    case Family::Raw: {
        uint32_t be = 0;
        if (!raw_recv(s, reinterpret_cast<char *>(&be), 4))
            return false;
        const uint32_t n = ntohl(be);
        if (n >= uint32_t(size) || !raw_recv(s, buf, n))
            return false;
        buf[n] = '\0';
        return true;
    }
    case Family::Base:
        return get_string(s, buf, size, kTimeout, &e) >= 0;
    case Family::Select:
        return get_string_(s, buf, &len, size, kTimeout, 0) != nullptr;
    case Family::Deadline:
        return ts_get_string(s, buf, size, kTimeout, &e) >= 0;
    }
    return false;
}

template <bool Strings> void BM_exchange(benchmark::State &state, Family family) {
    int a = -1, b = -1;
    connect_pair(a, b);
    const std::string text(kStringSize, 's');
    std::thread echo([&] {
        char buf[kStringSize + 1];
        int v = 0;
        for (;;) {
            if (Strings) {
                if (!get_string_by(family, b, buf, sizeof buf) ||
                    !put_string_by(family, b, std::string(buf)))
                    break;
            } else if (!get_long_by(family, b, &v) || !put_long_by(family, b, v)) {
                break;
            }
        }
    });
    char buf[kStringSize + 1];
    int v = 0;
    for (auto _ : state) {
        const bool ok =
            Strings ? put_string_by(family, a, text) && get_string_by(family, a, buf, sizeof buf)
                    : put_long_by(family, a, 42) && get_long_by(family, a, &v);
        if (!ok) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    shutdown(a, SHUT_RDWR);
    echo.join();
    close(a);
    close(b);
}

// Queues `bytes` on the socket without blocking: false when they do not fit.
bool queue_all(int s, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            send(s, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Waits until `n` bytes are ready to read on the socket.
bool arrived(int s, size_t n) {
    for (int spins = 0; spins < 100000; ++spins) {
        int ready = 0;
        if (ioctl(s, FIONREAD, &ready) != 0)
            return false;
        if (size_t(ready) >= n)
            return true;
        std::this_thread::yield();
    }
    return false;
}

// The calling thread's CPU time. A burst never waits (its bytes are queued
// before the clock starts), so this is its cost without the time other
// processes of a busy machine take.
double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <bool Strings> void BM_burst(benchmark::State &state, Family family) {
    int a = -1, b = -1;
    connect_pair(a, b);
    const int big = 4 << 20;
    setsockopt(b, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(a, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    const int count = Strings ? kBurstStrings : kBurstLongs;
    std::string batch;
    for (int i = 0; i < count; ++i) {
        const uint32_t be = htonl(Strings ? uint32_t(kStringSize) : uint32_t(i));
        batch.append(reinterpret_cast<const char *>(&be), 4);
        if (Strings)
            batch.append(kStringSize, 's');
    }
    char buf[kStringSize + 1];
    int v = 0;
    for (auto _ : state) {
        if (!queue_all(b, batch) || !arrived(a, batch.size())) {
            state.SkipWithError("the burst does not fit the socket buffers");
            break;
        }
        const double start = thread_cpu_seconds();
        bool ok = true;
        for (int i = 0; i < count && ok; ++i)
            ok = Strings ? get_string_by(family, a, buf, sizeof buf)
                         : get_long_by(family, a, &v) && v == i;
        const double stop = thread_cpu_seconds();
        if (!ok) {
            state.SkipWithError("receive failed");
            break;
        }
        state.SetIterationTime(stop - start);
    }
    state.SetItemsProcessed(state.iterations() * count);
    close(a);
    close(b);
}

void BM_pingpong_long(benchmark::State &state, Family f) {
    BM_exchange<false>(state, f);
}
void BM_pingpong_string(benchmark::State &state, Family f) {
    BM_exchange<true>(state, f);
}
void BM_burst_long(benchmark::State &state, Family f) {
    BM_burst<false>(state, f);
}
void BM_burst_string(benchmark::State &state, Family f) {
    BM_burst<true>(state, f);
}

#define ZT_EACH_FAMILY(bm, kind)                                                                   \
    BENCHMARK_CAPTURE(bm, raw, Family::Raw)->kind();                                               \
    BENCHMARK_CAPTURE(bm, base, Family::Base)->kind();                                             \
    BENCHMARK_CAPTURE(bm, select, Family::Select)->kind();                                         \
    BENCHMARK_CAPTURE(bm, deadline, Family::Deadline)->kind()

ZT_EACH_FAMILY(BM_burst_long, UseManualTime);
ZT_EACH_FAMILY(BM_burst_string, UseManualTime);
ZT_EACH_FAMILY(BM_pingpong_long, UseRealTime);
ZT_EACH_FAMILY(BM_pingpong_string, UseRealTime);

} // namespace

int main(int argc, char **argv) {
    // The echo ends on a closed socket; its failure lines are not the subject.
    log_set_verbosity_filter(-2);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const char *bm : {"BM_burst_long", "BM_burst_string", "BM_pingpong_long",
                           "BM_pingpong_string"}) {
        const std::string suffix =
            std::string(bm).rfind("BM_burst", 0) == 0 ? "/manual_time" : "/real_time";
        for (const char *family : {"base", "select", "deadline"})
            pairs.push_back({std::string(bm) + "/" + family + suffix,
                             std::string(bm) + "/raw" + suffix});
    }
    return zt::bench::run_and_print_ratios(argc, argv, pairs);
}
