// vnet_pop_string against a reader that takes one byte per recv (with a
// readiness wait per byte) and against raw recv of the same bytes, over
// loopback TCP; vnet_crc32 against zlib's crc32 on 1 MB.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "ztbase/vnet.h"

namespace {

struct Loopback {
    int writer = -1, reader = -1;
    Loopback() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        writer = socket(AF_INET, SOCK_STREAM, 0);
        connect(writer, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        reader = accept(listener, nullptr, nullptr);
        close(listener);
        int one = 1;
        setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Loopback() {
        close(writer);
        close(reader);
    }
};

std::string message(int64_t size) {
    return std::string(static_cast<size_t>(size - 1), 'm') + '\0'; // size bytes with the NUL
}

void BM_vnet_pop_string(benchmark::State &state) {
    Loopback link;
    const std::string m = message(state.range(0));
    std::string buf(m.size() + 16, '\0');
    for (auto _ : state) {
        send(link.writer, m.data(), m.size(), MSG_NOSIGNAL);
        if (vnet_pop_string(link.reader, buf.data(), static_cast<int>(buf.size()), 5) != 0)
            state.SkipWithError("pop failed");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// What a reader that must not read past the NUL does without peeking.
void BM_byte_per_recv(benchmark::State &state) {
    Loopback link;
    const std::string m = message(state.range(0));
    std::string buf(m.size() + 16, '\0');
    for (auto _ : state) {
        send(link.writer, m.data(), m.size(), MSG_NOSIGNAL);
        for (size_t i = 0; i < buf.size(); ++i) {
            if (vnet_sock_ready(link.reader, 1, 0, 5) != 0 ||
                recv(link.reader, &buf[i], 1, 0) != 1) {
                state.SkipWithError("recv failed");
                break;
            }
            if (buf[i] == '\0')
                break;
        }
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_raw_recv(benchmark::State &state) {
    Loopback link;
    const std::string m = message(state.range(0));
    std::string buf(m.size(), '\0');
    for (auto _ : state) {
        send(link.writer, m.data(), m.size(), MSG_NOSIGNAL);
        recv(link.reader, buf.data(), buf.size(), MSG_WAITALL);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

const std::string &megabyte() {
    static const std::string text = [] {
        std::string t(1 << 20, '\0');
        for (size_t i = 0; i < t.size(); ++i)
            t[i] = static_cast<char>(1 + (i * 131 + i / 7) % 255);
        return t;
    }();
    return text;
}

void BM_vnet_crc32(benchmark::State &state) {
    const std::string &t = megabyte();
    for (auto _ : state)
        benchmark::DoNotOptimize(vnet_crc32(t.c_str()));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.size()));
}

void BM_zlib_crc32(benchmark::State &state) {
    const std::string &t = megabyte();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            crc32(0, reinterpret_cast<const Bytef *>(t.data()), static_cast<uInt>(t.size())));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t.size()));
}

BENCHMARK(BM_vnet_pop_string)->Arg(16)->Arg(64)->Arg(1024);
BENCHMARK(BM_byte_per_recv)->Arg(16)->Arg(64)->Arg(1024);
BENCHMARK(BM_raw_recv)->Arg(16)->Arg(64)->Arg(1024);
BENCHMARK(BM_vnet_crc32);
BENCHMARK(BM_zlib_crc32);

} // namespace

int main(int argc, char **argv) {
    return zt::bench::run_and_print_ratios(argc, argv,
                                           {{"BM_vnet_pop_string/16", "BM_byte_per_recv/16"},
                                            {"BM_vnet_pop_string/64", "BM_byte_per_recv/64"},
                                            {"BM_vnet_pop_string/1024", "BM_byte_per_recv/1024"},
                                            {"BM_vnet_pop_string/16", "BM_raw_recv/16"},
                                            {"BM_vnet_pop_string/64", "BM_raw_recv/64"},
                                            {"BM_vnet_pop_string/1024", "BM_raw_recv/1024"},
                                            {"BM_vnet_crc32", "BM_zlib_crc32"}});
}
