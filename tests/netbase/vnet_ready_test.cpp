#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <ctime>
#include <limits>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "netbase/vnet_ztrntd.h"
#include "ztbase/comm.h"
#include "ztbase/vnet.h"

namespace {

struct Pair {
    int a = -1, b = -1;
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, &a), 0); }
    ~Pair() {
        if (a >= 0)
            close(a);
        if (b >= 0)
            close(b);
    }
};

std::atomic<int> g_callback_calls{0};
int give_up() {
    ++g_callback_calls;
    return 1;
}
int carry_on() {
    ++g_callback_calls;
    return 0;
}

struct CallbackGuard {
    explicit CallbackGuard(library_callback_fn fn) {
        g_callback_calls = 0;
        library_callback_function = fn;
    }
    ~CallbackGuard() { library_callback_function = nullptr; }
};

} // namespace

TEST(VnetSockReady, AnswersByDirectionAndState) {
    Pair p;
    int err = -1;
    EXPECT_EQ(vnet_sock_ready(-1, 1, 0, 1), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_sock_ready(p.a, 0, 0, 5), 0) << "nothing asked";
    EXPECT_EQ(vnet_sock_ready(p.a, 0, 1, 0), 0) << "an idle socket is writable";
    EXPECT_EQ(vnet_sock_ready(p.a, 1, 0, 0), VNET_TIMEOUT) << "a poll finds nothing to read";
    EXPECT_EQ(vnet_sock_ready_abs(p.a, 1, 0, time(nullptr) - 100, &err), VNET_TIMEOUT);
    EXPECT_EQ(err, ETIMEDOUT);
    ASSERT_EQ(write(p.b, "x", 1), 1);
    EXPECT_EQ(vnet_sock_ready_abs(p.a, 1, 0, time(nullptr) + 5, &err), 0);
    EXPECT_EQ(err, 0);
    close(p.b);
    p.b = -1;
    char c;
    ASSERT_EQ(read(p.a, &c, 1), 1);
    EXPECT_EQ(vnet_sock_ready(p.a, 1, 0, 5), 0) << "a hang-up is ready: the read sees the end";
}

TEST(VnetSockReady, ClosedDescriptorIsASocketFailure) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(fds[0]);
    close(fds[1]);
    int err = 0;
    EXPECT_EQ(vnet_sock_ready_abs(fds[0], 1, 0, time(nullptr) + 2, &err), VNET_SOCKET_FAILED);
    EXPECT_EQ(err, EBADF);
}

TEST(VnetSockReady, CallbackIsAskedBetweenSlicesAndCanStopTheWait) {
    Pair p;
    {
        CallbackGuard guard(give_up);
        int err = 0;
        EXPECT_EQ(vnet_sock_ready_abs(p.a, 1, 0, time(nullptr) + 60, &err),
                  VNET_LIBRARY_CALLBACK_QUIT);
        EXPECT_EQ(g_callback_calls.load(), 1);
    }
    {
        // The writer comes after a few slices; a callback that carries on
        // leaves the wait to end when the data arrives.
        CallbackGuard guard(carry_on);
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            EXPECT_EQ(write(p.b, "x", 1), 1);
        });
        EXPECT_EQ(vnet_sock_ready(p.a, 1, 0, 30), 0);
        writer.join();
        EXPECT_GE(g_callback_calls.load(), 2);
    }
}

namespace {
void on_alarm(int) {}
} // namespace

TEST(VnetSockReady, SignalStormDoesNotEndTheWait) {
    Pair p;
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_alarm; // no SA_RESTART: every signal interrupts poll
    sigaction(SIGALRM, &sa, &old);
    itimerval storm{{0, 2000}, {0, 2000}}, off{};
    setitimer(ITIMER_REAL, &storm, nullptr);
    std::thread writer([&] {
        // The storm goes to the process; block it here so the waiting thread
        // takes the signals.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(write(p.b, "x", 1), 1);
    });
    EXPECT_EQ(vnet_sock_ready(p.a, 1, 0, 30), 0);
    writer.join();
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
}

TEST(VnetSockReady, DeadlinesAtTheEndsOfTime) {
    Pair p;
    int err = 0;
    const time_t ends[] = {std::numeric_limits<time_t>::min(), -1, 0};
    for (time_t end : ends)
        EXPECT_EQ(vnet_sock_ready_abs(p.a, 1, 0, end, &err), VNET_TIMEOUT) << end;
    // The far end is a deadline that never comes, not one that overflowed
    // into the past.
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(write(p.b, "x", 1), 1);
    });
    EXPECT_EQ(vnet_sock_ready_abs(p.a, 1, 0, std::numeric_limits<time_t>::max(), &err), 0);
    writer.join();
    EXPECT_EQ(vnet_sock_ready(p.a, 1, 0, INT_MAX), 0);
}

TEST(VnetResilient, TimeoutsOfOrdinarySocketsPassUnchanged) {
    Pair p;
    for (int t : {-1, 0, 1, 300})
        EXPECT_EQ(vnet_adjust_timeout(p.a, t), t);
    ASSERT_EQ(zt::vnet::resilient::add(p.a), 0);
    ASSERT_EQ(zt::vnet::resilient::add(p.a), 0);
    EXPECT_TRUE(zt::vnet::resilient::contains(p.a));
    EXPECT_EQ(vnet_adjust_timeout(p.a, 30), 30) << "no resilient timeout configured yet";
    vnet_deregister_resilient_socket(p.a);
    EXPECT_FALSE(zt::vnet::resilient::contains(p.a)) << "one deregistration empties its slot";
    EXPECT_FALSE(zt::vnet::resilient::contains(-1));
}

TEST(VnetResilient, TableHoldsAtMost1024Sockets) {
    // Numbers well above any open descriptor, so no other test's socket is hit.
    const int base = 1 << 20;
    for (int i = 0; i < zt::vnet::resilient::kSlots; ++i)
        ASSERT_EQ(zt::vnet::resilient::add(base + i), 0) << i;
    EXPECT_EQ(zt::vnet::resilient::add(base + zt::vnet::resilient::kSlots), 4);
    for (int i = 0; i < zt::vnet::resilient::kSlots; ++i)
        vnet_deregister_resilient_socket(base + i);
    EXPECT_EQ(zt::vnet::resilient::add(base), 0);
    vnet_deregister_resilient_socket(base);
}
