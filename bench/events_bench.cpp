// The event utilities against their plain baselines, in one run:
// - a mixed record (short, long, long long, a padded string, eight integers, a
//   string with length) written and read with Serializable, against the same
//   bytes by hand with memcpy and htonl;
// - DataBuffer::appendData of 64-byte pieces into a fresh 16-byte buffer,
//   against std::vector<char>::insert at the end of a fresh vector;
// - the latency from a signal sent by another process to the dispatcher's
//   notifier call, against a byte written by that process to a pipe waking a
//   thread blocked in read (both timed with the monotonic clock of the host).
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "ztbase/databuffer.h"
#include "ztbase/debuglog.h"
#include "ztbase/events.h"

namespace {

struct Record {
    int16_t s = 7;
    int32_t l = 123456;
    int64_t ll = 0x0102030405060708LL;
    std::string name = "media-server-01.example";
    std::vector<int32_t> ids = {1, 2, 3, 4, 5, 6, 7, 8};
    std::string tail = "tail";
};

void BM_marshall_serializable(benchmark::State &state) {
    Record r;
    char buf[256];
    for (auto _ : state) {
        char *p = buf;
        size_t avail = sizeof buf;
        Serializable::marshallShort(r.s, p, avail);
        Serializable::marshallLong(r.l, p, avail);
        Serializable::marshallLongLong(r.ll, p, avail);
        Serializable::marshall(r.name, p, avail);
        Serializable::marshall(r.ids, p, avail);
        Serializable::marshallWithLength(r.tail, p, avail);
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
}

// The same bytes by hand: the checks a careful hand-written encoder makes too.
void BM_marshall_by_hand(benchmark::State &state) {
    Record r;
    char buf[256];
    for (auto _ : state) {
        char *p = buf;
        size_t avail = sizeof buf;
        auto put32 = [&](uint32_t v) {
            if (avail < 4)
                abort();
            v = htonl(v);
            memcpy(p, &v, 4);
            p += 4;
            avail -= 4;
        };
        if (avail < 2)
            abort();
        uint16_t s = htons(static_cast<uint16_t>(r.s));
        memcpy(p, &s, 2);
        p += 2;
        avail -= 2;
        put32(static_cast<uint32_t>(r.l));
        put32(static_cast<uint32_t>(static_cast<uint64_t>(r.ll) >> 32));
        put32(static_cast<uint32_t>(r.ll));
        size_t pad = (4 - r.name.size() % 4) % 4;
        if (avail < 4 + r.name.size() + pad)
            abort();
        put32(static_cast<uint32_t>(r.name.size()));
        memcpy(p, r.name.data(), r.name.size());
        memset(p + r.name.size(), 0, pad);
        p += r.name.size() + pad;
        avail -= r.name.size() + pad;
        put32(static_cast<uint32_t>(r.ids.size()));
        for (int32_t id : r.ids)
            put32(static_cast<uint32_t>(id));
        put32(static_cast<uint32_t>(r.tail.size()));
        if (avail < r.tail.size())
            abort();
        memcpy(p, r.tail.data(), r.tail.size());
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
}

std::vector<char> encoded() {
    Record r;
    std::vector<char> buf(256);
    char *p = buf.data();
    size_t avail = buf.size();
    Serializable::marshallShort(r.s, p, avail);
    Serializable::marshallLong(r.l, p, avail);
    Serializable::marshallLongLong(r.ll, p, avail);
    Serializable::marshall(r.name, p, avail);
    Serializable::marshall(r.ids, p, avail);
    Serializable::marshallWithLength(r.tail, p, avail);
    buf.resize(buf.size() - avail);
    return buf;
}

void BM_unmarshall_serializable(benchmark::State &state) {
    const std::vector<char> buf = encoded();
    Record out;
    for (auto _ : state) {
        const char *p = buf.data();
        size_t avail = buf.size();
        out.s = Serializable::unmarshallShort(p, avail);
        out.l = Serializable::unmarshallLong(p, avail);
        out.ll = Serializable::unmarshallLongLong(p, avail);
        Serializable::unmarshall(out.name, p, avail);
        Serializable::unmarshall(out.ids, p, avail);
        Serializable::unmarshallWithLength(out.tail, p, avail);
        benchmark::DoNotOptimize(out);
    }
}

void BM_unmarshall_by_hand(benchmark::State &state) {
    const std::vector<char> buf = encoded();
    Record out;
    for (auto _ : state) {
        const char *p = buf.data();
        size_t avail = buf.size();
        auto get32 = [&]() {
            if (avail < 4)
                abort();
            uint32_t v;
            memcpy(&v, p, 4);
            p += 4;
            avail -= 4;
            return ntohl(v);
        };
        uint16_t s;
        memcpy(&s, p, 2);
        p += 2;
        avail -= 2;
        out.s = static_cast<int16_t>(ntohs(s));
        out.l = static_cast<int32_t>(get32());
        uint64_t hi = get32();
        out.ll = static_cast<int64_t>((hi << 32) | get32());
        uint32_t n = get32();
        size_t pad = (4 - n % 4) % 4;
        if (avail < n + pad)
            abort();
        out.name.assign(p, n);
        p += n + pad;
        avail -= n + pad;
        uint32_t count = get32();
        if (count > avail / 4)
            abort();
        std::vector<int32_t> ids(count);
        for (auto &id : ids)
            id = static_cast<int32_t>(get32());
        out.ids = std::move(ids);
        n = get32();
        if (avail < n)
            abort();
        out.tail.assign(p, n);
        benchmark::DoNotOptimize(out);
    }
}

constexpr int kPieces = 1000;

void BM_append_databuffer(benchmark::State &state) {
    char piece[64];
    memset(piece, 'x', sizeof piece);
    for (auto _ : state) {
        DataBuffer b(16);
        for (int i = 0; i < kPieces; ++i)
            b.appendData(piece, sizeof piece);
        benchmark::DoNotOptimize(b.getDataPtr());
    }
    state.SetBytesProcessed(state.iterations() * kPieces * 64);
}

void BM_append_vector(benchmark::State &state) {
    char piece[64];
    memset(piece, 'x', sizeof piece);
    for (auto _ : state) {
        std::vector<char> v;
        v.reserve(16);
        for (int i = 0; i < kPieces; ++i)
            v.insert(v.end(), piece, piece + sizeof piece);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(state.iterations() * kPieces * 64);
}

// ---- signal latency ----

int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

struct Arrival {
    std::mutex m;
    std::condition_variable cv;
    bool arrived = false;
    int64_t at = 0;
    void mark() {
        int64_t t = now_ns();
        {
            std::lock_guard<std::mutex> lock(m);
            arrived = true;
            at = t;
        }
        cv.notify_one();
    }
    int64_t wait() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return arrived; });
        arrived = false;
        return at;
    }
} g_arrival;

class LatencyNotifier : public Notifier {
  public:
    void notify(NotifySource *s, int code) override {
        Notifier::notify(s, code);
        g_arrival.mark();
    }
} g_notifier;

int g_command = -1, g_result = -1, g_wake = -1;

int64_t read_time(int fd) {
    int64_t t = 0;
    if (read(fd, &t, sizeof t) != sizeof t)
        abort();
    return t;
}

void measure(benchmark::State &state, char command) {
    double total = 0;
    for (auto _ : state) {
        if (write(g_command, &command, 1) != 1)
            abort();
        int64_t arrived = g_arrival.wait();
        int64_t sent = read_time(g_result);
        double seconds = static_cast<double>(arrived - sent) / 1e9;
        total += seconds;
        state.SetIterationTime(seconds);
    }
    state.counters["latency_us"] =
        benchmark::Counter(total * 1e6 / static_cast<double>(state.iterations()));
}

void BM_signal_latency(benchmark::State &state) { measure(state, 's'); }
void BM_pipe_latency(benchmark::State &state) { measure(state, 'p'); }

// The other process: for 's' a signal to the parent, for 'p' a byte down the
// wake-up pipe; each time the moment of sending goes back on the result pipe.
[[noreturn]] void sender(int command, int result, int wake) {
    const pid_t parent = getppid();
    char c;
    while (read(command, &c, 1) == 1) {
        int64_t t = now_ns();
        if (c == 's')
            kill(parent, SIGHUP);
        else if (write(wake, &c, 1) != 1)
            break;
        if (write(result, &t, sizeof t) != sizeof t)
            break;
    }
    _exit(0);
}

BENCHMARK(BM_marshall_serializable);
BENCHMARK(BM_marshall_by_hand);
BENCHMARK(BM_unmarshall_serializable);
BENCHMARK(BM_unmarshall_by_hand);
BENCHMARK(BM_append_databuffer);
BENCHMARK(BM_append_vector);
BENCHMARK(BM_signal_latency)->UseManualTime()->Iterations(2000);
BENCHMARK(BM_pipe_latency)->UseManualTime()->Iterations(2000);

} // namespace

int main(int argc, char **argv) {
    log_set_verbosity_filter(-2);
    int command[2], result[2], wake[2];
    if (pipe(command) != 0 || pipe(result) != 0 || pipe(wake) != 0)
        return 1;
    pid_t child = fork();
    if (child == 0) {
        close(command[1]);
        close(result[0]);
        close(wake[0]);
        sender(command[0], result[1], wake[1]);
    }
    close(command[0]);
    close(result[1]);
    close(wake[1]);
    g_command = command[1];
    g_result = result[0];
    g_wake = wake[0];

    // Before any other thread: the signals are blocked for every thread to come.
    AsyncSignalDispatcher dispatcher;
    dispatcher.initMain();
    dispatcher.setNotifier(SIGHUP, &g_notifier);
    dispatcher.start();
    std::thread waker([] {
        char c;
        while (read(g_wake, &c, 1) == 1)
            g_arrival.mark();
    });

    int rc = zt::bench::run_and_print_ratios(
        argc, argv,
        {{"BM_marshall_serializable", "BM_marshall_by_hand"},
         {"BM_unmarshall_serializable", "BM_unmarshall_by_hand"},
         {"BM_append_databuffer", "BM_append_vector"},
         {"BM_signal_latency/iterations:2000/manual_time", "BM_pipe_latency/iterations:2000/manual_time"}});
    close(g_command);
    waitpid(child, nullptr, 0);
    dispatcher.stop(true);
    waker.join();
    return rc;
}
