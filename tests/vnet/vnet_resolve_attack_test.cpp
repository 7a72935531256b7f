// Cached lookups under hostile conditions: fork while a lookup holds the
// table, a clock set back, working files left by killed writers, try-again
// storms from many threads and hostile names.
#include <atomic>
#include <filesystem>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/locks.h"
#include "resolve_fixture.h"

namespace {

using namespace resolve_test;
namespace fc = zt::vnet::filecache;

// The clock hook runs while the lookup holds the table's lock: a thread parked
// there holds it while another thread forks. The child's own lookup must not
// wait for a lock no thread of the child will ever release.
std::atomic<int> g_park{0}; // 1 armed, 2 parked
time_t parking_now() {
    int armed = 1;
    if (g_park.compare_exchange_strong(armed, 2))
        usleep(300000);
    return script().now;
}

TEST_F(ResolveTest, AChildForkedWhileALookupHoldsTheTableDoesNotHang) {
    static const rs::ResolverTable parking = [] {
        rs::ResolverTable t = kFake;
        t.now = parking_now;
        return t;
    }();
    rs::set_resolver(&parking);
    script().hosts["db.example"] = {"192.0.2.10"};
    first("db.example");
    g_park = 1;
    std::atomic<bool> forked{false};
    std::thread lookup([&forked] {
        first("db.example");
        while (!forked.load()) // alive at the fork (a finished thread would count as leaked)
            usleep(1000);
    });
    while (g_park.load() != 2)
        usleep(1000);
    pid_t child = fork();
    if (child == 0) {
        alarm(5);
        _exit(first("db.example") == "192.0.2.10" ? 0 : 1);
    }
    forked = true;
    lookup.join();
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "child killed by signal " + std::to_string(WTERMSIG(status)) : "");
}

// The same with the path table's lock, which every lookup takes to read the
// configured directories.
TEST_F(ResolveTest, AChildForkedWhileTheConfiguredPathsAreReadDoesNotHang) {
    std::atomic<int> held{0};
    std::thread reader([&held] {
        pthread_mutex_t *m = ztbase::config_string_mutex();
        pthread_mutex_lock(m);
        held = 1;
        usleep(300000);
        pthread_mutex_unlock(m);
    });
    while (held.load() == 0)
        usleep(1000);
    pid_t child = fork();
    if (child == 0) {
        alarm(5);
        rs::set_settings_source(nullptr); // the configured values, as a process has them
        vnet_addrinfo *list = nullptr;
        int code = 0;
        vnet_cached_getaddrinfo("192.0.2.10", nullptr, nullptr, &list, &code);
        vnet_freeaddrinfo(list);
        _exit(0);
    }
    reader.join();
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "child killed by signal " + std::to_string(WTERMSIG(status)) : "");
}

// The clock is set back an hour; a clear written afterwards carries a time
// before this table was built and must still empty it within 10 seconds.
TEST_F(ResolveTest, AClearAfterTheClockWasSetBackStillEmptiesTheTable) {
    script().now = time(nullptr) - 100;
    script().hosts["db.example"] = {"192.0.2.10"};
    first("db.example");
    script().now -= 3600;
    // Entries from the future are not trusted: memory and file give way.
    EXPECT_EQ(first("db.example"), "192.0.2.10");
    EXPECT_EQ(script().calls, 2);
    EXPECT_EQ(first("db.example"), "192.0.2.10");
    EXPECT_EQ(script().calls, 2);
    ASSERT_EQ(vnet_cleanup_file_cache(-1, 0), VNET_SUCCESS);
    zt::test::write_file(settings().clear_time_path, std::to_string(script().now + 1) + "\n");
    struct timeval at[2] = {{script().now + 1, 0}, {script().now + 1, 0}};
    ASSERT_EQ(utimes(settings().clear_time_path.c_str(), at), 0);
    script().now += 10;
    first("db.example");
    EXPECT_EQ(script().calls, 3);
    first("db.example");
    EXPECT_EQ(script().calls, 3) << "one clear empties the table once";
}

// A writer killed mid-write leaves its working file; cleaning removes those
// no writer can still be busy with, and leaves a fresh one alone.
TEST_F(ResolveTest, CleaningRemovesWorkingFilesOfKilledWriters) {
    script().hosts["db.example"] = {"192.0.2.10"};
    first("db.example");
    const auto dir = std::filesystem::path(entry_path("db.example")).parent_path();
    const std::string old_one = dir / "ainfo-killed", fresh = dir / "ainfo-busy";
    zt::test::write_file(old_one, "db.example,(null)");
    zt::test::write_file(fresh, "db.example,(null)");
    struct timeval at[2] = {{script().now - 61, 0}, {script().now - 61, 0}};
    ASSERT_EQ(utimes(old_one.c_str(), at), 0);
    at[0].tv_sec = at[1].tv_sec = script().now - 5;
    ASSERT_EQ(utimes(fresh.c_str(), at), 0);
    EXPECT_EQ(vnet_cleanup_file_cache(script().now - 3600, 0), VNET_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(old_one));
    EXPECT_TRUE(std::filesystem::exists(fresh));
    EXPECT_TRUE(std::filesystem::exists(entry_path("db.example")));
}

// Many threads meet a resolver that answers only try-again: every lookup
// fails with the try-again code within the configured attempts, and the
// failure, once cached, spares the resolver.
std::atomic<int> g_storm_calls{0};
int storm_getaddrinfo(const char *, const char *, const addrinfo *, addrinfo **) {
    ++g_storm_calls;
    return EAI_AGAIN;
}

TEST_F(ResolveTest, ATryAgainStormFromManyThreadsStaysBounded) {
    static const rs::ResolverTable storm = [] {
        rs::ResolverTable t{};
        t.getaddrinfo = storm_getaddrinfo;
        t.sleep_seconds = [](unsigned) {};
        t.now = [] { return time_t(1700000000); };
        t.now_ms = [] { return int64_t(1700000000) * 1000; };
        t.is_local_address = fake_is_local;
        t.is_admin = fake_admin;
        return t;
    }();
    rs::set_resolver(&storm);
    g_storm_calls = 0;
    constexpr int kThreads = 16, kNames = 8, kRounds = 20;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&wrong, t] {
            for (int round = 0; round < kRounds; ++round) {
                std::string name = "storm" + std::to_string((t + round) % kNames) + ".example";
                vnet_addrinfo *list = nullptr;
                int code = 0;
                if (vnet_cached_getaddrinfo(name.c_str(), nullptr, nullptr, &list, &code) !=
                        VNET_GETHOST_FAILED ||
                    code != VNET_EAI_TRY_AGAIN || list != nullptr)
                    ++wrong;
                vnet_freeaddrinfo(list);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(g_storm_calls.load(), kThreads * kNames * settings().attempts);
    EXPECT_GE(g_storm_calls.load(), kNames * settings().attempts);
}

} // namespace
