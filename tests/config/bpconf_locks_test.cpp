// The configuration store shared by processes that fork, wait, crash and run
// out of disk: its lock, its working files and a failed update.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <ztbase/bpconf.h>
#include <ztbase/paths.h>

#include "bpconf_support.h"
#include "config/store/bpconf_internal.h"
#include "platform/registry/registry.h"
#include "support/temp_root.h"

namespace {

using namespace bpconf_test;
namespace reg = ztbase::registry;
using ztbase::bpconf::ClusterLock;
constexpr int kLockFailed = 158;

// A child process running fn; its exit status is fn's.
template <typename Fn> pid_t child(Fn fn) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    return pid;
}
int exit_status(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

class LockTest : public zt::test::ZtTest {
  protected:
    LockTest() { std::filesystem::create_directories(getFennicString("VAR_GLOBAL_PATH")); }
    ~LockTest() override { ztbase::bpconf::set_cluster_lock_wait_ms(0); }

    int update(const std::string &text) {
        Record record;
        Definition def;
        std::string copy = text;
        int s = ParseConfigExA(copy.data(), record.get(), def.get(),
                               ZTPARSE_RECORD_EMPTY | ZTPARSE_STRICT);
        return s != 0 ? s : UpdateLocalHostConfig(bpconfLocalSource, record.get(), def.get());
    }
    std::string stored(const char *name) {
        reg::Key key;
        reg::Value v;
        if (reg::Key::open(reg::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY, key) !=
                reg::Status::Ok ||
            key.query(name, v) != reg::Status::Ok)
            return "";
        return v.text();
    }
    std::string cluster_file() { return zt::test::read_file(getFennicString("ZTCL_CONFIG_PATH")); }
    // The exclusive lock taken in a fresh process: its status.
    int lock_elsewhere(bool exclusive) {
        return exit_status(child([&] { return ClusterLock(exclusive).status(); }));
    }
};

TEST_F(LockTest, AChildForkedWhileALockIsHeldHoldsNothing) {
    ztbase::bpconf::set_cluster_lock_wait_ms(1000);
    for (bool exclusive : {false, true}) {
        SCOPED_TRACE(exclusive ? "forked during an update" : "forked during a read");
        pid_t sleeper = -1;
        std::thread holder([&] {
            ClusterLock lock(exclusive);
            ASSERT_EQ(lock.status(), 0);
            // A child that never calls the library again.
            sleeper = child([] {
                sleep(60);
                return 0;
            });
        });
        holder.join();
        ASSERT_GT(sleeper, 0);
        EXPECT_EQ(lock_elsewhere(true), 0);
        {
            ClusterLock here(true);
            EXPECT_EQ(here.status(), 0);
        }
        stop(sleeper);
    }
}

TEST_F(LockTest, AWaitThatRunsOutFailsTheCall) {
    ASSERT_EQ(update("CLIENT_NAME = c0\n"), 0);
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    pid_t holder = child([&] {
        ClusterLock lock(true);
        (void)!write(held[1], "x", 1);
        pause();
        return 0;
    });
    char c;
    ASSERT_EQ(read(held[0], &c, 1), 1);
    ztbase::bpconf::set_cluster_lock_wait_ms(300);
    LogCapture log;
    EXPECT_EQ(ClusterLock(false).status(), kLockFailed);
    char *image = nullptr;
    EXPECT_EQ(getLocalHostConfigImage(bpconfLocalSource, &image), kLockFailed);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(update("CLIENT_NAME = c1\n"), kLockFailed);
    EXPECT_TRUE(log.has("within 300 ms")) << log.all();
    stop(holder);
    EXPECT_EQ(stored("CLIENT_NAME"), "c0");
    close(held[0]);
    close(held[1]);
}

TEST_F(LockTest, AWaitingWriterIsServedWhileReadersKeepComing) {
    // Two processes of four readers each, every read holding the lock for
    // 100 ms and starting before the previous one ends: without a queue the
    // writer would never find the lock free.
    std::vector<pid_t> readers;
    for (int p = 0; p < 2; ++p)
        readers.push_back(child([] {
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t)
                threads.emplace_back([t] {
                    usleep(static_cast<useconds_t>(t * 25000));
                    for (;;) {
                        ClusterLock lock(false);
                        if (lock.status() != 0)
                            _exit(2);
                        usleep(100000);
                    }
                });
            for (auto &t : threads)
                t.join();
            return 0;
        }));
    usleep(300000);
    ztbase::bpconf::set_cluster_lock_wait_ms(10000);
    const auto start = std::chrono::steady_clock::now();
    int status;
    {
        ClusterLock writer(true);
        status = writer.status();
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    for (pid_t pid : readers)
        stop(pid);
    EXPECT_EQ(status, 0);
    printf("writer served after %lld ms\n", static_cast<long long>(ms));
}

// Fills the file system holding dir.
void fill(const std::string &dir) {
    int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    std::vector<char> block(65536, 'x');
    for (size_t size = block.size(); size > 0; size /= 2)
        while (write(fd, block.data(), size) > 0) {
        }
    close(fd);
}

// Runs fn in a child with a small tmpfs mounted on dir in a mount namespace
// of its own; false when this host does not allow that.
bool with_small_tmpfs(const std::string &dir, const std::function<int()> &fn, int &status) {
    pid_t pid = child([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=2m") != 0)
            return 99;
        return fn();
    });
    status = exit_status(pid);
    return status != 99;
}

TEST_F(LockTest, AnUpdateOnAFullDiskLeavesBothPartsAsTheyWere) {
    const std::string registry = root() / "etc/registry";
    const std::string global = getFennicString("VAR_GLOBAL_PATH");
    std::filesystem::create_directories(registry);
    struct Case {
        const char *name;
        std::string full; // the directory whose file system fills up
    };
    for (const Case &c : {Case{"registry full", registry}, Case{"cluster file full", global}}) {
        SCOPED_TRACE(c.name);
        int status = 0;
        const bool ran = with_small_tmpfs(
            c.full,
            [&] {
                if (update("CLIENT_NAME = c0\nSLP.DISK_RESOURCE_MULTIPLIER = 5\n") != 0)
                    return 10;
                reg::close_all();
                // With no connection open the log file goes: the next commit needs new space.
                unlink((registry + "/registry.db-wal").c_str());
                fill(c.full);
                if (update("CLIENT_NAME = c1\nSLP.DISK_RESOURCE_MULTIPLIER = 55\n") == 0)
                    return 11;
                if (stored("CLIENT_NAME") != "c0")
                    return 12;
                if (cluster_file().find("SLP.DISK_RESOURCE_MULTIPLIER = 5\n") == std::string::npos)
                    return 13;
                char *image = nullptr;
                if (getLocalHostConfigImage(bpconfLocalSource, &image) != 0 ||
                    strstr(image, "= 55") != nullptr)
                    return 14;
                free(image);
                return 0;
            },
            status);
        if (!ran)
            GTEST_SKIP() << "needs root and the right to mount a tmpfs";
        EXPECT_EQ(status, 0);
    }
}

TEST_F(LockTest, TheNextUpdateRemovesWorkingFilesOfKilledWritersOnly) {
    ASSERT_EQ(update("SLP.DISK_RESOURCE_MULTIPLIER = 2\n"), 0);
    const std::string file = getFennicString("ZTCL_CONFIG_PATH");
    // Writers killed with their working file written but not yet renamed,
    // and one that lives on.
    auto writer = [&] {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t pid = child([&] {
            FILE *f = OpenTemporaryConfigFile(file.c_str(), nullptr);
            if (f == nullptr || fputs("SLP.DISK_RESOURCE_MULTIPLIER = 9\n", f) < 0 ||
                fflush(f) != 0)
                return 1;
            (void)!write(ready[1], "x", 1);
            pause();
            return 0;
        });
        char c;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        close(ready[1]);
        return pid;
    };
    for (int i = 0; i < 8; ++i)
        stop(writer());
    pid_t alive = writer();
    auto working = [&] {
        int n = 0;
        const std::string dir = std::filesystem::path(file).parent_path();
        for (const auto &e : std::filesystem::directory_iterator(dir))
            n += e.path().filename().string().find(".zttmp.") != std::string::npos;
        return n;
    };
    EXPECT_EQ(working(), 9);
    ASSERT_EQ(update("SLP.DISK_RESOURCE_MULTIPLIER = 3\n"), 0);
    EXPECT_EQ(working(), 1);
    stop(alive);
    EXPECT_NE(cluster_file().find("SLP.DISK_RESOURCE_MULTIPLIER = 3"), std::string::npos);
}

// Whatever an operator plants at the gate's name, readers and writers still
// take the lock (the directory's lock keeps them apart) and touch nothing
// the name leads to.
TEST_F(LockTest, APlantedGateNeitherHangsNorLeadsAnywhere) {
    const std::string gate = getFennicString("ZTCL_CONFIG_LOCKPATH");
    const std::string outside = root() / "outside";
    struct Case {
        const char *what;
        int (*plant)(const char *gate, const char *outside);
    };
    const Case cases[] = {
        {"a FIFO", [](const char *g, const char *) { return mkfifo(g, 0644); }},
        {"a symbolic link", [](const char *g, const char *o) { return symlink(o, g); }},
        {"a second name of another file", [](const char *g, const char *o) { return link(o, g); }},
        {"a directory", [](const char *g, const char *) { return mkdir(g, 0755); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(gate);
        zt::test::write_file(outside, "keep");
        ASSERT_EQ(c.plant(gate.c_str(), outside.c_str()), 0);
        for (bool exclusive : {false, true}) {
            SCOPED_TRACE(exclusive ? "writer" : "reader");
            EXPECT_EQ(exit_status(child([&] {
                          alarm(5); // a call held up dies here
                          return ClusterLock(exclusive).status();
                      })),
                      0);
        }
        struct stat st;
        EXPECT_EQ(stat(outside.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 4);
        EXPECT_EQ(zt::test::read_file(outside), "keep");
    }
}

} // namespace
