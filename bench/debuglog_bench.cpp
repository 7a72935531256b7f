// Lines per second through logmsg at level 4 with an open log, from one thread
// and from two, with the per-line file lock on and off, against two baselines
// in the same run: a bare write(2) of the same formatted bytes per line to an
// O_APPEND file (the floor), and spdlog's basic file sink flushing every line.
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "bench_ratio.h"
#include "ztbase/debuglog.h"

namespace {

const char kBody[] = "client backup job 4711 wrote 65536 bytes to storage unit disk_pool_1";

std::string scratch() {
    static const std::string dir = [] {
        std::string d = (std::filesystem::temp_directory_path() / "zt-bench-log.XXXXXX").string();
        if (mkdtemp(d.data()) == nullptr)
            abort();
        std::filesystem::create_directories(d + "/logs/bench");
        return d;
    }();
    return dir;
}

void open_log_once() {
    static const bool opened = [] {
        int err = 0;
        if (open_debug_log((scratch() + "/logs").c_str(), "bench", "bench", 0, &err) < 0)
            abort();
        return true;
    }();
    (void)opened;
}

void BM_logmsg(benchmark::State &state) {
    open_log_once();
    if (state.thread_index() == 0)
        log_set_locking(static_cast<int>(state.range(0)));
    for (auto _ : state)
        logmsg(4, kBody, "BM_logmsg");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_logmsg)->Arg(1)->Arg(0)->Threads(1)->Threads(2)->UseRealTime();

// The same bytes a line of the log has, written with one write(2) per line.
void BM_bare_write(benchmark::State &state) {
    static int fd = -1;
    if (state.thread_index() == 0 && fd < 0)
        fd = open((scratch() + "/bare.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                  0644);
    const std::string line =
        "10:00:00.000 [12345.12345] <4> BM_logmsg: " + std::string(kBody) + "\n";
    for (auto _ : state)
        benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_bare_write)->Threads(1)->Threads(2)->UseRealTime();

// The system calls a locked line cannot do without (lock, size, write, unlock),
// with no formatting: what the machine allows at best with locking on.
void BM_locked_write_floor(benchmark::State &state) {
    static int fd = -1;
    if (state.thread_index() == 0 && fd < 0)
        fd = open((scratch() + "/floor.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                  0644);
    const std::string line =
        "10:00:00.000 [12345.12345] <4> BM_logmsg: " + std::string(kBody) + "\n";
    struct flock fl {};
    fl.l_whence = SEEK_SET;
    fl.l_len = 8;
    for (auto _ : state) {
        fl.l_type = F_WRLCK;
        fcntl(fd, F_SETLKW, &fl);
        benchmark::DoNotOptimize(lseek(fd, 0, SEEK_END));
        benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
        fl.l_type = F_UNLCK;
        fcntl(fd, F_SETLKW, &fl);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_locked_write_floor)->Threads(1)->Threads(2)->UseRealTime();

void BM_spdlog_flush_every_line(benchmark::State &state) {
    static std::shared_ptr<spdlog::logger> logger = [] {
        auto l = spdlog::basic_logger_mt("bench", scratch() + "/spdlog.log");
        l->set_pattern("%H:%M:%S.%e [%P.%t] <4> %n: %v");
        l->flush_on(spdlog::level::trace);
        return l;
    }();
    for (auto _ : state)
        logger->info(kBody);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_spdlog_flush_every_line)->Threads(1)->Threads(2)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    int rc = zt::bench::run_and_print_ratios(
        argc, argv,
        {
            {"BM_logmsg/1/real_time/threads:1", "BM_bare_write/real_time/threads:1"},
            {"BM_logmsg/1/real_time/threads:2", "BM_bare_write/real_time/threads:2"},
            {"BM_logmsg/0/real_time/threads:1", "BM_bare_write/real_time/threads:1"},
            {"BM_logmsg/0/real_time/threads:2", "BM_bare_write/real_time/threads:2"},
            {"BM_logmsg/0/real_time/threads:1", "BM_spdlog_flush_every_line/real_time/threads:1"},
            {"BM_logmsg/0/real_time/threads:2", "BM_spdlog_flush_every_line/real_time/threads:2"},
            {"BM_locked_write_floor/real_time/threads:1", "BM_bare_write/real_time/threads:1"},
            {"BM_logmsg/1/real_time/threads:1", "BM_locked_write_floor/real_time/threads:1"},
            {"BM_logmsg/1/real_time/threads:2", "BM_locked_write_floor/real_time/threads:2"},
            {"BM_logmsg/1/real_time/threads:1", "BM_spdlog_flush_every_line/real_time/threads:1"},
            {"BM_logmsg/1/real_time/threads:2", "BM_spdlog_flush_every_line/real_time/threads:2"},
        });
    close_debug_log();
    std::error_code ec;
    std::filesystem::remove_all(scratch(), ec);
    return rc;
}
