// The shared stores working together for a few minutes: 4 processes of 8
// threads update and read the configuration store, take configuration
// snapshots, write the registry and the debug log, and fork children, while
// the supervisor kills a worker with SIGKILL every 300 ms and starts another.
// One worker is never killed: its memory and descriptors are measured.
// Prints the figures; exits 1 when a line was lost or a call failed.
//
//   store_soak [seconds]   (default 180)
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/paths.h>
#include <ztbase/ztconf.h>

#include "platform/registry/registry.h"
#include "support/temp_root.h"

namespace {

namespace reg = ztbase::registry;

constexpr int kProcesses = 4;
constexpr int kThreads = 8;
constexpr int kMaxIncarnations = 4096;

struct Shared {
    std::atomic<int> stop;
    std::atomic<int> incarnations;
    std::atomic<long> confirmed[kMaxIncarnations][kThreads]; // lines known written
    std::atomic<int> pids[kMaxIncarnations];
    std::atomic<long> updates, update_failures, reads, read_failures, torn_reads;
    std::atomic<long> snapshots, snapshot_failures, reg_writes, reg_failures, forks, log_failures;
    std::atomic<long> rss_start_kb, rss_end_kb, fds_start, fds_end;
};
Shared *g;

long rss_kb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}
long descriptors() {
    long n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
        n -= 3; // ".", ".." and the directory's own descriptor
    }
    return n;
}

int update(int n, const char *more = "") {
    std::string text = std::string(more) + "VERBOSE = " + std::to_string(n % 5) + "\nCLIENT_NAME = c" +
                       std::to_string(n) +
                       "\nSLP.DISK_RESOURCE_MULTIPLIER = " + std::to_string(n % 5 + 1) + "\n";
    ZtConfig record{}, def{};
    int s = ParseConfigExA(text.data(), &record, &def, ZTPARSE_RECORD_EMPTY | ZTPARSE_STRICT);
    if (s == 0)
        s = UpdateLocalHostConfig(bpconfLocalSource, &record, &def);
    FreeConfig(&record);
    return s;
}

// A read pairs the registry and the file of one update.
bool read_consistent() {
    ZtConfig r{};
    int s = ReadHostConfigExA(bpconfLocalSource, &r, nullptr, nullptr, nullptr);
    bool ok = s == 111 || s == 0;
    if (ok && r.CLIENT_NAME[0] == 'c') {
        const int n = atoi(r.CLIENT_NAME + 1);
        if (r.SLP_DISK_RESOURCE_MULTIPLIER != n % 5 + 1)
            g->torn_reads++;
    }
    FreeConfig(&r);
    return ok;
}

void worker_thread(int slot, int t, bool measured) {
    std::mt19937 rng(static_cast<unsigned>(getpid() * 31 + t));
    long seq = 0;
    reg::Key key;
    const std::string key_path = "SOFTWARE\\Soak\\P" + std::to_string(slot % 64);
    for (int round = 0; !g->stop; ++round) {
        switch (t) {
        case 0:
            (update(static_cast<int>(rng() % 100000)) == 0 ? g->updates : g->update_failures)++;
            break;
        case 1:
        case 2:
            (read_consistent() ? g->reads : g->read_failures)++;
            break;
        case 3:
            (ZT_forced_read_master_config() == 0 ? g->snapshots : g->snapshot_failures)++;
            break;
        case 4:
            if (reg::Key::create(reg::Root::LocalMachine, key_path, key) != reg::Status::Ok ||
                key.set(reg::Value::dword("n" + std::to_string(round % 50),
                                          static_cast<uint32_t>(round))) != reg::Status::Ok)
                g->reg_failures++;
            else
                g->reg_writes++;
            if (round % 100 == 99) {
                // A child forked while the other threads are inside the stores.
                pid_t pid = fork();
                if (pid == 0) {
                    if (rng() % 2 == 0)
                        update(static_cast<int>(rng() % 100000));
                    else
                        usleep(50000);
                    _exit(0);
                }
                if (pid > 0) {
                    waitpid(pid, nullptr, 0);
                    g->forks++;
                }
            }
            break;
        default:
            break;
        }
        // Every thread writes numbered lines; a line counts once logmsgf says so.
        for (int i = 0; i < (t >= 5 ? 20 : 1); ++i) {
            if (logmsgf(ZTLOG_INFO, "soak", "L %d %d %ld", slot, t, seq + 1) == 0)
                g->confirmed[slot][t] = ++seq;
            else
                g->log_failures++;
        }
        if (measured && round == 200 && t == 7) {
            g->rss_start_kb = rss_kb();
            g->fds_start = descriptors();
        }
    }
}

int worker(int slot, const std::string &logs, bool measured) {
    int err = 0;
    if (open_debug_log(logs.c_str(), "soak", "soak", 0, &err) < 0) {
        fprintf(stderr, "store_soak: cannot open the debug log in %s: %s\n", logs.c_str(),
                strerror(err));
        return 2;
    }
    suppress_log_file_mgmt();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(worker_thread, slot, t, measured);
    for (auto &th : threads)
        th.join();
    if (measured) {
        g->rss_end_kb = rss_kb();
        g->fds_end = descriptors();
    }
    return 0;
}

pid_t start(const std::string &logs, bool measured) {
    const int slot = g->incarnations++;
    if (slot >= kMaxIncarnations)
        return -1;
    pid_t pid = fork();
    if (pid == 0)
        _exit(worker(slot, logs, measured));
    g->pids[slot] = pid;
    return pid;
}

} // namespace

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? atoi(argv[1]) : 180;
    zt::test::TempRoot root;
    zt::test::point_environment_at(root.path());
    zt::test::point_paths_at(root.path());
    std::filesystem::create_directories(getFennicString("VAR_GLOBAL_PATH"));
    const std::string logs = root / "logs";
    std::filesystem::create_directories(logs + "/soak");
    void *m =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
        return 2;
    g = new (m) Shared{};
    if (update(0, "SERVER = soakhost\n") != 0) {
        fprintf(stderr, "store_soak: the first update failed\n");
        return 2;
    }
    printf("soak: %d processes x %d threads for %d s, a worker killed every 300 ms\n", kProcesses,
           kThreads, seconds);
    fflush(stdout);
    std::vector<pid_t> workers;
    workers.push_back(start(logs, true));
    for (int p = 1; p < kProcesses; ++p)
        workers.push_back(start(logs, false));
    std::mt19937 rng(12345);
    long kills = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        usleep(300000);
        const size_t victim = 1 + rng() % (kProcesses - 1);
        kill(workers[victim], SIGKILL);
        waitpid(workers[victim], nullptr, 0);
        ++kills;
        workers[victim] = start(logs, false);
        if (workers[victim] < 0)
            break;
    }
    g->stop = 1;
    for (pid_t pid : workers)
        if (pid > 0)
            waitpid(pid, nullptr, 0);

    // Every line counted as written must be in the log, whole.
    std::map<std::pair<int, int>, std::set<long>> found;
    long lines = 0, torn = 0;
    for (const auto &e : std::filesystem::recursive_directory_iterator(logs)) {
        if (!e.is_regular_file())
            continue;
        std::ifstream in(e.path());
        std::string line;
        while (std::getline(in, line)) {
            size_t at = line.find("L ");
            if (line.find("soak") == std::string::npos || at == std::string::npos)
                continue;
            int slot, t;
            long seq;
            char extra;
            if (sscanf(line.c_str() + at, "L %d %d %ld%c", &slot, &t, &seq, &extra) != 3) {
                if (++torn <= 3)
                    fprintf(stderr, "torn: %s\n", line.c_str());
                continue;
            }
            found[{slot, t}].insert(seq);
            ++lines;
        }
    }
    long written = 0, lost = 0;
    for (int slot = 0; slot < g->incarnations && slot < kMaxIncarnations; ++slot)
        for (int t = 0; t < kThreads; ++t) {
            const long n = g->confirmed[slot][t];
            written += n;
            const auto &have = found[{slot, t}];
            for (long s = 1; s <= n; ++s)
                lost += have.count(s) == 0;
        }
    printf("kills %ld, forks %ld, incarnations %d\n", kills, g->forks.load(),
           g->incarnations.load());
    printf("config updates %ld (failed %ld), reads %ld (failed %ld, torn %ld), snapshots %ld "
           "(failed %ld), registry writes %ld (failed %ld)\n",
           g->updates.load(), g->update_failures.load(), g->reads.load(), g->read_failures.load(),
           g->torn_reads.load(), g->snapshots.load(), g->snapshot_failures.load(),
           g->reg_writes.load(), g->reg_failures.load());
    printf("lines written %ld, lines in the log %ld, lines lost %ld, torn lines %ld, log "
           "failures %ld\n",
           written, lines, lost, torn, g->log_failures.load());
    printf("measured worker: RSS %ld kB at start, %ld kB at end; descriptors %ld at start, %ld at "
           "end\n",
           g->rss_start_kb.load(), g->rss_end_kb.load(), g->fds_start.load(), g->fds_end.load());
    const bool bad = lost != 0 || torn != 0 || g->update_failures != 0 || g->read_failures != 0 ||
                     g->torn_reads != 0 || g->reg_failures != 0 || g->snapshot_failures != 0;
    return bad ? 1 : 0;
}
