// The unified log against the legacy debug log, in the same run:
// - one debug record through ZTLogger::logDebug (configuration reload check
//   included) against one logmsg line of the same text with locking off;
// - `zt ul show` reading a million records against `grep -c` over the same
//   files (both started as programs, writing into a file).
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "paths/pathconfig_internal.h"
#include "platform/registry/registry.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/ztlogger.h"

extern char **environ;

namespace {

const char kBody[] = "client backup job 4711 wrote 65536 bytes to storage unit disk_pool_1";
constexpr int kShowRecords = 1000000;

// A root of its own: the registry, the path table and every log below it.
std::string scratch() {
    static const std::string dir = [] {
        std::string d = (std::filesystem::temp_directory_path() / "zt-bench-ul.XXXXXX").string();
        if (mkdtemp(d.data()) == nullptr)
            abort();
        setenv("ZT_REGISTRY", (d + "/registry").c_str(), 1);
        setenv("ZT_REGISTRY_USER", (d + "/user").c_str(), 1);
        using namespace ztbase::registry;
        Key key;
        if (Key::create(Root::LocalMachine, "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Paths",
                        key) != Status::Ok)
            abort();
        key.set(Value::sz("_ql_fs", d + "/usr"));
        ztbase::pathconfig::reset_for_tests(); // built afresh with the override
        std::filesystem::create_directories(d + "/usr/quill/hxul");
        std::ofstream(getFennicString("HXUL_CONF_FILE")) << "[*]\nDebugLevel = 6\n";
        std::filesystem::create_directories(d + "/logs/bench");
        return d;
    }();
    return dir;
}

void BM_ul_debug_record(benchmark::State &state) {
    scratch();
    static ZTLogger *logger = new ZTLogger(1);
    for (auto _ : state)
        logger->logDebug("BM_ul", 1, kBody);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ul_debug_record)->UseRealTime();

void BM_legacy_logmsg(benchmark::State &state) {
    static const bool opened = [] {
        int err = 0;
        if (open_debug_log((scratch() + "/logs").c_str(), "bench", "bench", 0, &err) < 0)
            abort();
        log_set_locking(0);
        return true;
    }();
    (void)opened;
    for (auto _ : state)
        logmsg(ZTLOG_INFO, kBody, "BM_ul");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_legacy_logmsg)->UseRealTime();

// A million debug records of originator 2, written once.
std::vector<std::string> show_files() {
    static const std::vector<std::string> files = [] {
        scratch();
        ZTLogger logger(2);
        for (int i = 0; i < kShowRecords; ++i)
            logger.logDebug("BM_show", 1, kBody);
        std::vector<std::string> out;
        const std::string dir = std::string(getFennicString("HXUL_LOGS")) + "/51216/2";
        uintmax_t bytes = 0;
        for (const auto &e : std::filesystem::directory_iterator(dir)) {
            out.push_back(e.path());
            bytes += e.file_size();
        }
        fprintf(stderr, "%d records: %zu files, %ju bytes in %s\n", kShowRecords, out.size(),
                bytes, dir.c_str());
        return out;
    }();
    return files;
}

// Runs a program with standard output into a scratch file (not /dev/null:
// grep stops at its first match when it sees that); aborts when it fails.
void run(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    static const std::string out = scratch() + "/out";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        abort();
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)
        abort();
}

void BM_zt_ul_show(benchmark::State &state) {
    show_files();
    for (auto _ : state)
        run({ZT_TOOL, "ul", "show", "--originator", "2"});
    state.SetItemsProcessed(state.iterations() * kShowRecords);
}
BENCHMARK(BM_zt_ul_show)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_grep_count(benchmark::State &state) {
    std::vector<std::string> args = {"grep", "-c", "-F", "DBG"};
    for (const std::string &f : show_files())
        args.push_back(f);
    for (auto _ : state)
        run(args);
    state.SetItemsProcessed(state.iterations() * kShowRecords);
}
BENCHMARK(BM_grep_count)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    const int rc = zt::bench::run_and_print_ratios(
        argc, argv,
        {
            {"BM_ul_debug_record/real_time", "BM_legacy_logmsg/real_time"},
            {"BM_zt_ul_show/iterations:3/real_time", "BM_grep_count/iterations:3/real_time"},
        });
    close_debug_log();
    std::error_code ec;
    std::filesystem::remove_all(scratch(), ec);
    return rc;
}
