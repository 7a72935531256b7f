// The receivers of the three families: decoding, plain-text tolerance, hostile
// lengths, peers that close mid-value, timeouts, slow peers and signal storms.
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <string>
#include <sys/time.h>
#include <thread>

#include "comm_fixtures.h"
#include "wire/common_comm_internal.h"
#include "ztbase/comm.h"
#include "ztbase/vnet.h"

using namespace zt::test;

namespace {

// One string receiver reduced to (result, text): result is the length or a
// negative status (-1 for the select family's null).
struct StringReceiver {
    const char *name;
    std::function<int(int sock, std::string &text)> recv;
};

const StringReceiver kStringReceivers[] = {
    {"get_string",
     [](int s, std::string &t) {
         char buf[100];
         int e = 0;
         const int r = get_string(s, buf, sizeof buf, 5, &e);
         t = r >= 0 ? std::string(buf, size_t(r)) : "";
         return r;
     }},
    {"get_string_",
     [](int s, std::string &t) {
         char buf[100];
         int len = 0;
         const char *r = get_string_(s, buf, &len, sizeof buf, 5, 0);
         t = r ? std::string(r, size_t(len)) : "";
         return r ? len : -1;
     }},
    {"ts_get_string",
     [](int s, std::string &t) {
         char buf[100];
         int e = 0;
         const int r = ts_get_string(s, buf, sizeof buf, 5, &e);
         t = r >= 0 ? std::string(buf, size_t(r)) : "";
         return r;
     }},
};

int run_string(const StringReceiver &r, const std::string &wire, std::string &text,
               bool close_after = true) {
    SockPair p;
    make_unix_pair(p);
    send_raw(p.b, wire);
    if (close_after)
        p.close_b();
    return r.recv(p.a, text);
}

} // namespace

TEST(CommReceive, IntegersDecodeInEveryFamily) {
    SockPair p;
    make_unix_pair(p);
    int e = 0, st = 0;
    using namespace std::string_literals;
    send_raw(p.b, "\xff\xfe"s + "\xff\xff\xff\xfe"s + "\x80\0\0\0\0\0\0\x01"s +
                      std::string(8, '\xff') + "\x01\x02"s + "\x7f\xff\xff\xff"s +
                      "\xff\xff\xff\xff\xff\xff\xff\xfe"s + "\0\0\0\0\0\0\0\x09"s + "\xff\xff"s +
                      "\x80\0\0\0"s + "\0\0\0\x05"s + std::string(8, '\xff') +
                      "\0\0\0\0\0\0\0\x03"s);
    EXPECT_EQ(get_short(p.a, 5, &e), 65534);
    EXPECT_EQ(get_long(p.a, 5, &e), -2);
    EXPECT_EQ(get_vint64t(p.a, 5, &st), INT64_MIN + 1);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(get_vuint64t(p.a, 5, &st), UINT64_MAX);
    EXPECT_EQ(get_short_(p.a, 5, 0), 0x0102);
    EXPECT_EQ(get_long_(p.a, 5, 0), INT_MAX);
    EXPECT_EQ(ts_get_vint64t(p.a, 5, &e), -2);
    EXPECT_EQ(e, 0);
    EXPECT_EQ(ts_get_vuint64t(p.a, 5, &e), 9u);
    EXPECT_EQ(ts_get_short(p.a, 5, &e), 65535);
    EXPECT_EQ(ts_get_long_abs(p.a, time(nullptr) + 5, &e), INT_MIN);
    EXPECT_EQ(ts_get_long_tt(p.a, 5, &e, 1), 5);
    EXPECT_EQ(get_vint64t_ex(p.a, 5, &st, 1, 0), -1);
    EXPECT_EQ(ts_get_vint64t(p.a, 0, &e), 3) << "timeout 0 waits (for two years)";
}

TEST(CommReceive, StringsAndThePlainTextTolerance) {
    const struct {
        const char *what;
        std::string wire;
        int result;
        const char *text;
    } cases[] = {
        {"a string", be32(5) + "hello", 5, "hello"},
        {"a text line", "HELLO\n", 5, "HELLO"},
        {"a line ending in the length bytes", "HI\nXrest", 2, "HI"},
        {"a line that fills the buffer", std::string(150, 'A') + "\n", 99,
         "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
         "AAAAAAAAAAAA"},
        {"room for the NUL is required", be32(100) + std::string(100, 'x'), -1, ""},
        {"the largest string that fits", be32(99) + std::string(99, 'y'), 99,
         "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy"
         "yyyyyyyyyyyy"},
    };
    for (const auto &r : kStringReceivers)
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(r.name) + ": " + c.what);
            std::string text;
            EXPECT_EQ(run_string(r, c.wire, text), c.result);
            EXPECT_EQ(text, c.text);
        }
}

TEST(CommReceive, EmptyStringByFamily) {
    const std::string wire = be32(0);
    const int expected[] = {COMM_READ_ERROR, 0, 0}; // only the base family refuses it
    for (size_t i = 0; i < std::size(kStringReceivers); ++i) {
        SCOPED_TRACE(kStringReceivers[i].name);
        std::string text = "unchanged";
        EXPECT_EQ(run_string(kStringReceivers[i], wire, text), expected[i]);
        EXPECT_EQ(text, "");
    }
    SockPair p;
    make_unix_pair(p);
    send_raw(p.b, wire + wire);
    char buf[8] = "x";
    int e = 0, len = 99;
    EXPECT_EQ(get_string_ex(p.a, buf, sizeof buf, 5, &e, COMM_NONBLOCK_OK), 0);
    EXPECT_STREQ(buf, "");
    char *s = get_adaptable_string_ex(p.a, &len, 5, &e, COMM_NONBLOCK_OK);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_STREQ(s, "");
    free(s);
}

TEST(CommReceive, HostileLengthsAreRefusedWithoutAllocating) {
    // Each length arrives followed by a short line, as a confused or hostile
    // peer would send. Lengths above 0x20000000 are read as text by receivers
    // with a buffer; nothing is allocated from a length.
    const struct {
        uint32_t length;
        int base, select, deadline; // per kStringReceivers
        int adaptable, unbuffered;  // get_adaptable_string's length, get_string_ without buffer
    } cases[] = {
        {0x00000000, COMM_READ_ERROR, 0, 0, COMM_READ_ERROR, 0},
        {0x20000000, COMM_TOO_LARGE, -1, COMM_TOO_LARGE, COMM_TOO_LARGE, -1},
        {0x20000001, 8, 8, 8, COMM_TOO_LARGE, -1},
        {0x7FFFFFFF, 8, 8, 8, COMM_TOO_LARGE, -1},
        {0x80000000, COMM_TOO_LARGE, -1, COMM_UNEXPECTED_MESSAGE, COMM_READ_ERROR, -1},
        {0xFFFFFFFF, COMM_TOO_LARGE, -1, COMM_UNEXPECTED_MESSAGE, COMM_READ_ERROR, -1},
        {COMM_MAX_ALLOC_STRING + 1u, COMM_TOO_LARGE, -1, COMM_TOO_LARGE, COMM_TOO_LARGE, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(hex(be32(c.length)));
        const std::string wire = be32(c.length) + "junk\n";
        const int expected[] = {c.base, c.select, c.deadline};
        for (size_t i = 0; i < std::size(kStringReceivers); ++i) {
            SCOPED_TRACE(kStringReceivers[i].name);
            std::string text;
            EXPECT_EQ(run_string(kStringReceivers[i], wire, text), expected[i]);
        }
        SockPair p, q;
        make_unix_pair(p);
        make_unix_pair(q);
        send_raw(p.b, wire);
        send_raw(q.b, wire);
        p.close_b();
        q.close_b();
        int e = 0, len = 0;
        char *s = get_adaptable_string(p.a, &len, 5, &e);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(len, c.adaptable);
        EXPECT_EQ(e, EINVAL);
        free(s);
        s = get_string_(q.a, nullptr, &len, 0, 5, 0);
        if (c.unbuffered < 0) {
            EXPECT_EQ(s, nullptr);
            EXPECT_EQ(errno, ERANGE);
        } else {
            EXPECT_STREQ(s, "");
            EXPECT_EQ(len, 0);
        }
        free(s);
    }
}

TEST(CommReceive, PeerClosingInTheMiddleOfEachValue) {
    int e = 0, st = 0, len = 0;
    char buf[100];
    const struct {
        const char *name;
        std::string partial;
        std::function<int(int)> recv;
        int result;
        int error;
    } cases[] = {
        {"get_short", "\x01", [&](int s) { return get_short(s, 5, &e); }, COMM_PREMATURE_EOF, EIO},
        {"get_long", "\0\0", [&](int s) { return get_long(s, 5, &e); }, COMM_PREMATURE_EOF, EIO},
        {"get_long_ex soft", "\0\0", [&](int s) { return get_long_ex(s, 5, &e, 1); }, 0, 0},
        {"get_vint64t", "\0\0\0",
         [&](int s) {
             get_vint64t(s, 5, &st);
             e = EIO;
             return st;
         },
         COMM_PREMATURE_EOF, EIO},
        {"get_string", be32(5) + "he", [&](int s) { return get_string(s, buf, 100, 5, &e); },
         COMM_PREMATURE_EOF, EIO},
        {"get_adaptable_string", be32(5) + "he",
         [&](int s) {
             free(get_adaptable_string(s, &len, 5, &e));
             return len;
         },
         COMM_PREMATURE_EOF, EIO},
        {"get_long_", "\0\0",
         [&](int s) {
             const int r = get_long_(s, 5, 0);
             e = errno;
             return r;
         },
         -1, EPIPE},
        {"get_string_", be32(5) + "he",
         [&](int s) {
             const char *r = get_string_(s, buf, &len, 100, 5, 0);
             e = errno;
             return r ? len : -1;
         },
         -1, EPIPE},
        {"ts_get_long", "\0\0", [&](int s) { return ts_get_long(s, 5, &e); }, COMM_PREMATURE_EOF,
         EPIPE},
        {"ts_get_string", be32(5) + "he", [&](int s) { return ts_get_string(s, buf, 100, 5, &e); },
         COMM_PREMATURE_EOF, EPIPE},
        {"tolerated text line", "HELLO", [&](int s) { return ts_get_string(s, buf, 100, 5, &e); },
         COMM_PREMATURE_EOF, EPIPE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SockPair p;
        make_tcp_pair(p);
        send_raw(p.b, c.partial);
        p.close_b();
        e = -1;
        EXPECT_EQ(c.recv(p.a), c.result);
        EXPECT_EQ(e, c.error);
    }
    int got = -1;
    SockPair p;
    make_unix_pair(p);
    send_raw(p.b, "abc");
    p.close_b();
    EXPECT_EQ(get_n_bytes_or_eof(p.a, 10, buf, 5, &e, &got), 0);
    EXPECT_EQ(got, 3);
}

TEST(CommReceive, TimeoutsByFamilyAndTheReceiveTimeoutRestored) {
    SockPair p;
    make_unix_pair(p);
    const timeval own{7, 0};
    ASSERT_EQ(setsockopt(p.a, SOL_SOCKET, SO_RCVTIMEO, &own, sizeof own), 0);
    int e = 0;
    EXPECT_EQ(get_long(p.a, 1, &e), COMM_READ_ERROR);
    EXPECT_EQ(e, ETIMEDOUT);
    timeval now{};
    socklen_t len = sizeof now;
    ASSERT_EQ(getsockopt(p.a, SOL_SOCKET, SO_RCVTIMEO, &now, &len), 0);
    EXPECT_EQ(now.tv_sec, 7);
    EXPECT_EQ(get_long_(p.a, 1, 0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(Recv(p.a, reinterpret_cast<char *>(&now), 1, 0, 0), -1) << "0 polls";
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(ts_get_long(p.a, 1, &e), COMM_TIMEDOUT);
    EXPECT_EQ(e, ETIMEDOUT);
    char buf[10];
    EXPECT_EQ(get_n_bytes_abs(p.a, 1, buf, time(nullptr) - 100, &e), COMM_TIMEDOUT);
}

TEST(CommReceive, BaseValueSplitAcrossAPause) {
    // The first part of a value is queued before the call; the rest, and the
    // next value behind it, come after a pause or never. The call's timeout
    // bounds the wait, whatever the socket's own receive timeout; without one
    // the socket's own applies. Either way the socket's setting and flags are
    // as they were afterwards.
    char buf[100];
    int e = 0;
    const auto get_long_by = [&](int s, int timeout) { return get_long(s, timeout, &e); };
    const auto get_string_by = [&](int s, int timeout) {
        return get_string(s, buf, sizeof buf, timeout, &e);
    };
    const std::string long_first("\0\0", 2), long_rest = std::string("\0\x2a", 2) + be32(7);
    const std::string text_first = be32(5) + "he", text_rest = "llo" + be32(3) + "abc";
    const struct {
        const char *what;
        std::function<int(int, int)> get;
        const std::string &first, &rest;
        int own_ms, timeout, pause_ms; // pause_ms < 0: the rest never comes
        int result, error, next;
    } cases[] = {
        {"long, own 0.3 s, call 2 s", get_long_by, long_first, long_rest, 300, 2, 600, 42, 0, 7},
        {"string, own 0.3 s, call 2 s", get_string_by, text_first, text_rest, 300, 2, 600, 5, 0,
         3},
        {"long, call 1 s", get_long_by, long_first, long_rest, 0, 1, -1, COMM_READ_ERROR,
         ETIMEDOUT, 0},
        {"string, call 1 s", get_string_by, text_first, text_rest, 0, 1, -1, COMM_READ_ERROR,
         ETIMEDOUT, 0},
        {"long, own 0.3 s, no call timeout", get_long_by, long_first, long_rest, 300, 0, -1,
         COMM_READ_ERROR, ETIMEDOUT, 0},
        {"string, own 0.3 s, no call timeout", get_string_by, text_first, text_rest, 300, 0, -1,
         COMM_READ_ERROR, ETIMEDOUT, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SockPair p;
        make_tcp_pair(p);
        const timeval own{0, c.own_ms * 1000};
        ASSERT_EQ(setsockopt(p.a, SOL_SOCKET, SO_RCVTIMEO, &own, sizeof own), 0);
        const int flags = fcntl(p.a, F_GETFL);
        send_raw(p.b, c.first);
        std::thread rest([&] {
            if (c.pause_ms < 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
            send_raw(p.b, c.rest);
        });
        e = -1;
        EXPECT_EQ(c.get(p.a, c.timeout), c.result);
        EXPECT_EQ(e, c.error);
        rest.join();
        if (c.result >= 0) {
            EXPECT_EQ(c.get(p.a, 1), c.next) << "the next value starts where this one ended";
        }
        timeval now{};
        socklen_t len = sizeof now;
        ASSERT_EQ(getsockopt(p.a, SOL_SOCKET, SO_RCVTIMEO, &now, &len), 0);
        EXPECT_EQ(now.tv_sec * 1000 + now.tv_usec / 1000, c.own_ms);
        EXPECT_EQ(fcntl(p.a, F_GETFL), flags);
    }
}

TEST(CommReceive, NonBlockingToleranceOfTheBaseFamily) {
    SockPair p;
    make_unix_pair(p);
    fcntl(p.a, F_SETFL, fcntl(p.a, F_GETFL) | O_NONBLOCK);
    int e = 0;
    EXPECT_EQ(get_long_ex(p.a, 0, &e, COMM_NONBLOCK_OK), 0);
    EXPECT_EQ(e, EAGAIN);
    EXPECT_EQ(get_long(p.a, 0, &e), COMM_READ_ERROR);
    EXPECT_EQ(e, EAGAIN);
    // A value that has begun is waited for.
    send_raw(p.b, std::string(2, '\0'));
    std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        send_raw(p.b, std::string("\0\x2a", 2));
    });
    EXPECT_EQ(get_long_ex(p.a, 0, &e, COMM_NONBLOCK_OK), 42);
    rest.join();
}

TEST(CommReceive, SlowPeerEndsADeadlineReadButNotABaseRead) {
    // One byte every 0.8 s: a 4-byte long takes 3.2 s against a 2 s timeout.
    const std::function<int(int)> readers[] = {
        [](int s) {
            int e = 0;
            return get_long(s, 2, &e);
        },
        [](int s) { return get_long_(s, 2, 0); },
        [](int s) {
            int e = 0;
            return ts_get_long(s, 2, &e);
        },
    };
    const int expected[] = {0x01020304, 0x01020304, COMM_TIMEDOUT};
    for (size_t i = 0; i < std::size(readers); ++i) {
        SCOPED_TRACE(i);
        SockPair p;
        make_tcp_pair(p);
        std::thread dribble([&] {
            for (char c : {'\x01', '\x02', '\x03', '\x04'}) {
                std::this_thread::sleep_for(std::chrono::milliseconds(800));
                if (send(p.b, &c, 1, MSG_NOSIGNAL) != 1)
                    break;
            }
        });
        EXPECT_EQ(readers[i](p.a), expected[i]);
        dribble.join();
    }
}

namespace {

void on_alarm(int) {}

// SIGALRM every 200 µs while it lives, with no restart of system calls.
struct AlarmStorm {
    struct sigaction old {};
    AlarmStorm() {
        struct sigaction sa {};
        sa.sa_handler = on_alarm;
        sigaction(SIGALRM, &sa, &old);
        itimerval t{{0, 200}, {0, 200}};
        setitimer(ITIMER_REAL, &t, nullptr);
    }
    ~AlarmStorm() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old, nullptr);
    }
};

} // namespace

TEST(CommReceive, SignalStormsLoseNothing) {
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char('a' + i % 26);
    SockPair pairs[3];
    for (auto &p : pairs)
        ASSERT_NO_FATAL_FAILURE(make_tcp_pair(p));
    AlarmStorm storm;
    for (int family = 0; family < 3; ++family) {
        SCOPED_TRACE(family);
        SockPair &p = pairs[family];
        std::thread sender([&] {
            int e = 0;
            for (int round = 0; round < 3; ++round) {
                if (family == 0) {
                    EXPECT_EQ(put_string(p.b, big.c_str(), &e), 0);
                    EXPECT_EQ(put_long(p.b, round, &e), 0);
                } else if (family == 1) {
                    EXPECT_EQ(put_string_(p.b, big.c_str(), 30, 0, 0), int(big.size()));
                    EXPECT_EQ(put_long_(p.b, round, 30), 0);
                } else {
                    EXPECT_EQ(ts_put_string(p.b, big.c_str(), &e), 0);
                    EXPECT_EQ(ts_put_long(p.b, round, &e), 0);
                }
            }
        });
        for (int round = 0; round < 3; ++round) {
            int e = 0, len = 0;
            std::string got;
            if (family == 0) {
                char *s = get_adaptable_string(p.a, &len, 30, &e);
                ASSERT_NE(s, nullptr) << len << " " << e;
                got.assign(s, size_t(len));
                free(s);
                EXPECT_EQ(get_long(p.a, 30, &e), round);
            } else if (family == 1) {
                char *s = get_string_(p.a, nullptr, &len, 0, 30, 0);
                ASSERT_NE(s, nullptr) << errno;
                got.assign(s, size_t(len));
                free(s);
                EXPECT_EQ(get_long_(p.a, 30, 0), round);
            } else {
                std::string buf(big.size() + 1, '\0');
                len = ts_get_string(p.a, buf.data(), int(buf.size()), 30, &e);
                ASSERT_EQ(len, int(big.size())) << e;
                got.assign(buf.data(), size_t(len));
                EXPECT_EQ(ts_get_long(p.a, 30, &e), round);
            }
            EXPECT_TRUE(got == big) << "round " << round;
        }
        sender.join();
    }
}

TEST(CommReceive, SignalStormsDoNotStretchTimeouts) {
    // Every wait below has 1 s and a peer that sends at most a part of what
    // is awaited. An interrupted wait goes on for the time it has left, not
    // for its whole timeout again.
    char buf[100];
    int e = 0, len = 0;
    const struct {
        const char *name;
        std::string partial;
        std::function<int(int)> wait;
        int result;
    } cases[] = {
        {"get_long", "\0", [&](int s) { return get_long(s, 1, &e); }, COMM_READ_ERROR},
        {"get_string", be32(5) + "ab", [&](int s) { return get_string(s, buf, 100, 1, &e); },
         COMM_READ_ERROR},
        {"get_string text line", "HELLO", [&](int s) { return get_string(s, buf, 100, 1, &e); },
         COMM_READ_ERROR},
        {"get_adaptable_string", be32(5) + "ab",
         [&](int s) {
             free(get_adaptable_string(s, &len, 1, &e));
             return len;
         },
         COMM_READ_ERROR},
        {"get_long_", "\0", [&](int s) { return get_long_(s, 1, 0); }, -1},
        {"Recv", "", [&](int s) { return Recv(s, buf, 4, 1, 0); }, -1},
        {"recvable_timer", "", [&](int s) { return recvable_timer(s, 1); }, 0},
        {"Readline", "part", [&](int s) { return Readline(s, buf, 100, 1, nullptr); }, -1},
        {"ts_get_long", "\0", [&](int s) { return ts_get_long(s, 1, &e); }, COMM_TIMEDOUT},
        {"vnet_sock_ready", "", [&](int s) { return vnet_sock_ready(s, 1, 0, 1); }, VNET_TIMEOUT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SockPair p;
        make_unix_pair(p);
        send_raw(p.b, c.partial);
        // Numbered past any fd_set, too.
        ASSERT_EQ(dup2(p.a, 2000), 2000);
        {
            AlarmStorm storm;
            EXPECT_EQ(c.wait(2000), c.result);
        }
        close(2000);
    }
}

TEST(CommReceive, FarDeadlinesAndHugeTimeoutsStillWait) {
    // The value (and a newline) arrives after 0.3 s. A deadline at the end of time_t or a
    // timeout whose milliseconds do not fit an int (115964117 s wraps to 8 ms)
    // must still wait for it.
    constexpr time_t kLast = std::numeric_limits<time_t>::max();
    constexpr int kWraps = 115964117;
    char buf[8];
    int e = 0;
    const struct {
        const char *name;
        std::function<int(int)> wait;
        int result;
    } cases[] = {
        {"get_n_bytes_abs", [&](int s) { return get_n_bytes_abs(s, 4, buf, kLast, &e); }, 0},
        {"ts_get_long_abs", [&](int s) { return ts_get_long_abs(s, kLast, &e); }, 7},
        {"ts_get_long", [&](int s) { return ts_get_long(s, INT_MAX, &e); }, 7},
        {"get_long", [&](int s) { return get_long(s, INT_MAX, &e); }, 7},
        {"get_long_", [&](int s) { return get_long_(s, kWraps, 0); }, 7},
        {"Recv", [&](int s) { return Recv(s, buf, 4, kWraps, 0); }, 4},
        {"recvable_timer", [&](int s) { return recvable_timer(s, kWraps) > 0; }, 1},
        {"Readline", [&](int s) { return Readline(s, buf, 8, kWraps, nullptr); }, 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SockPair p;
        make_unix_pair(p);
        std::thread later([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            send_raw(p.b, std::string("\0\0\0\x07\n", 5));
        });
        EXPECT_EQ(c.wait(p.a), c.result);
        later.join();
    }
    SockPair p;
    make_unix_pair(p);
    EXPECT_EQ(get_n_bytes_abs(p.a, 4, buf, std::numeric_limits<time_t>::min(), &e), COMM_TIMEDOUT);
    EXPECT_EQ(ts_get_long(p.a, INT_MIN, &e), COMM_TIMEDOUT);
}

TEST(CommReceive, RecordedTimeoutEndsAnInterruptedRead) {
    SockPair p;
    make_unix_pair(p);
    zt::comm::set_interrupt_status(COMM_TIMEDOUT);
    {
        struct sigaction sa {
        }, old{};
        sa.sa_handler = on_alarm;
        sigaction(SIGALRM, &sa, &old);
        itimerval once{{0, 0}, {0, 200000}};
        setitimer(ITIMER_REAL, &once, nullptr);
        int e = 0;
        EXPECT_EQ(get_long(p.a, 10, &e), COMM_TIMEDOUT);
        EXPECT_EQ(e, EINTR);
        sigaction(SIGALRM, &old, nullptr);
    }
    zt::comm::set_interrupt_status(0);
}

namespace {
int give_up() {
    return 1;
}
} // namespace

TEST(CommReceive, LibraryCallbackEndsWaits) {
    SockPair p;
    make_unix_pair(p);
    library_callback_function = give_up;
    int e = 0;
    EXPECT_EQ(ts_get_long(p.a, 30, &e), COMM_READ_ERROR);
    EXPECT_EQ(e, EINTR);
    EXPECT_EQ(get_long_(p.a, 1, 0), -1);
    EXPECT_EQ(errno, EINTR);
    // Readline asks after an interrupted wait; the line it gave up on is put
    // back for the next call, as after a timeout.
    buf_block *block = create_buf_block(64);
    char line[64];
    send_raw(p.b, "par");
    {
        AlarmStorm storm;
        EXPECT_EQ(Readline(p.a, line, sizeof line, 30, block), -1);
        EXPECT_EQ(errno, EINTR);
    }
    library_callback_function = nullptr;
    send_raw(p.b, "tial\n");
    EXPECT_EQ(Readline(p.a, line, sizeof line, 5, block), 8);
    EXPECT_STREQ(line, "partial\n");
    free_buf_block(block);
}
