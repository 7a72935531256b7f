// What each sender puts on the wire, the refusals, and the support calls.
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "comm_fixtures.h"
#include "support/temp_root.h"
#include "wire/common_comm_internal.h"
#include "ztbase/comm.h"
#include "ztbase/paths.h"

using namespace zt::test;

namespace {

struct WireCase {
    const char *name;
    std::function<int(int)> send;
    int result;
    const char *bytes;
};

} // namespace

TEST(CommWire, EachEncodingInEachFamily) {
    int e = 0;
    const time_t later = time(nullptr) + 30;
    const WireCase cases[] = {
        {"put_short 65534", [&](int s) { return put_short(s, 65534, &e); }, 0, "ff fe"},
        {"put_short_ 258", [&](int s) { return put_short_(s, 258, 5); }, 0, "01 02"},
        {"ts_put_short 0", [&](int s) { return ts_put_short(s, 0, &e); }, 0, "00 00"},
        {"ts_put_short_t 7", [&](int s) { return ts_put_short_t(s, 7, 5, &e); }, 0, "00 07"},
        {"put_long 1", [&](int s) { return put_long(s, 1, &e); }, 0, "00 00 00 01"},
        {"put_long -2", [&](int s) { return put_long(s, -2, &e); }, 0, "ff ff ff fe"},
        {"put_long_ 0x01020304", [&](int s) { return put_long_(s, 0x01020304, 5); }, 0,
         "01 02 03 04"},
        {"ts_put_long 1", [&](int s) { return ts_put_long(s, 1, &e); }, 0, "00 00 00 01"},
        {"ts_put_long_abs", [&](int s) { return ts_put_long_abs(s, INT_MIN, later, &e); }, 0,
         "80 00 00 00"},
        {"put_vint64t 1", [&](int s) { return put_vint64t(s, 1, &e); }, 0,
         "00 00 00 00 00 00 00 01"},
        {"put_vuint64t max", [&](int s) { return put_vuint64t(s, UINT64_MAX, &e); }, 0,
         "ff ff ff ff ff ff ff ff"},
        {"ts_put_vint64t -2", [&](int s) { return ts_put_vint64t(s, -2, &e); }, 0,
         "ff ff ff ff ff ff ff fe"},
        {"ts_put_vuint64t", [&](int s) { return ts_put_vuint64t(s, 0x0102030405060708ull, &e); }, 0,
         "01 02 03 04 05 06 07 08"},
        {"put_string empty", [&](int s) { return put_string(s, "", &e); }, 0, "00 00 00 00"},
        {"put_string ab", [&](int s) { return put_string(s, "ab", &e); }, 0, "00 00 00 02 61 62"},
        {"put_length_string", [&](int s) { return put_length_string(s, 3, "a\0b", &e); }, 0,
         "00 00 00 03 61 00 62"},
        {"put_string_ untagged", [&](int s) { return put_string_(s, "ab", 5, 0, 0); }, 2,
         "00 00 00 02 61 62"},
        {"put_string_ tagged", [&](int s) { return put_string_(s, "ab", 5, 0, 7); }, 2,
         "00 07 00 00 00 02 61 62"},
        {"ts_put_string empty", [&](int s) { return ts_put_string(s, "", &e); }, 0, "00 00 00 00"},
        {"ts_put_string_abs", [&](int s) { return ts_put_string_abs(s, "hi", later, &e); }, 0,
         "00 00 00 02 68 69"},
        {"ts_put_length_string", [&](int s) { return ts_put_length_string(s, 1, "\xff", &e); }, 0,
         "00 00 00 01 ff"},
        // Refused values put nothing on the wire.
        {"put_short 65535", [&](int s) { return put_short(s, 65535, &e); }, -1, ""},
        {"put_short -1", [&](int s) { return put_short(s, -1, &e); }, -1, ""},
        {"put_short_ 65535", [&](int s) { return put_short_(s, 65535, 5); }, -1, ""},
        {"ts_put_short 65535", [&](int s) { return ts_put_short(s, 65535, &e); }, -1, ""},
        {"put_length_string -1", [&](int s) { return put_length_string(s, -1, "x", &e); }, -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SockPair p;
        make_unix_pair(p);
        EXPECT_EQ(c.send(p.a), c.result);
        EXPECT_EQ(hex(recv_raw(p.b, 50)), c.bytes);
    }
}

TEST(CommWire, LongStringsKeepTheirBytesInEveryFamily) {
    const std::string text(9000, 'x');
    const std::string tail = text + "yz";
    int e = 0;
    const std::function<int(int)> senders[] = {
        [&](int s) { return put_string(s, tail.c_str(), &e); },
        [&](int s) { return put_string_(s, tail.c_str(), 5, 0, 0) == int(tail.size()) ? 0 : -1; },
        [&](int s) { return ts_put_string(s, tail.c_str(), &e); },
    };
    for (const auto &send : senders) {
        SockPair p;
        make_tcp_pair(p);
        EXPECT_EQ(send(p.a), 0);
        EXPECT_EQ(recv_raw(p.b), be32(uint32_t(tail.size())) + tail);
    }
}

TEST(CommWire, WritesToAGonePeerSayNotConnectedWithoutSigpipe) {
    // A default SIGPIPE would end the test program here.
    int e = 0;
    const std::function<int(int)> writers[] = {
        [&](int s) { return put_long(s, 1, &e); },
        [&](int s) { return ts_put_long(s, 1, &e); },
    };
    for (const auto &w : writers) {
        SockPair p;
        make_unix_pair(p);
        p.close_b();
        EXPECT_EQ(w(p.a), COMM_NOT_CONNECTED);
        EXPECT_EQ(e, EPIPE);
    }
    SockPair p;
    make_unix_pair(p);
    p.close_b();
    EXPECT_EQ(put_string_(p.a, "x", 5, 0, 0), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST(CommStatus, TextsOfEveryStatus) {
    const struct {
        int status;
        const char *text;
    } cases[] = {
        {0, "success"},
        {-1, "incoming data too large for buffer"},
        {-2, "connection timed out"},
        {-3, "network read error"},
        {-4, "network write error"},
        {-5, "connection dropped or not connected"},
        {-6, "pipe broken"},
        {-7, "interrupted"},
        {-8, "unexpected interrupt"},
        {-9, "premature end of file encountered"},
        {-10, "unknown error -10"},
        {-11, "unable to allocate memory"},
        {-12, "operation would block"},
        {-13, "unexpected message received"},
        {-14, "unknown error -14"},
        {1, "unknown error 1"},
        {INT_MIN, "unknown error -2147483648"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(commerrstr(c.status), c.text) << c.status;
}

TEST(CommStatus, ThreadsOnTheirOwnSocketsKeepTheirValuesAndTexts) {
    // Each thread exchanges values in every family on its own connection and
    // keeps the text commerrstr gave it while the others ask for theirs.
    const char *const texts[] = {"connection timed out", "network read error",
                                 "network write error", "connection dropped or not connected"};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &texts] {
            SockPair p;
            ASSERT_NO_FATAL_FAILURE(make_tcp_pair(p));
            const char *mine = commerrstr(-2 - t);
            const std::string text = "thread " + std::to_string(t);
            for (int round = 0; round < 200; ++round) {
                int e = 0, len = 0;
                char buf[64];
                ASSERT_EQ(put_long(p.b, round * 4 + t, &e), 0);
                ASSERT_EQ(get_long(p.a, 5, &e), round * 4 + t);
                ASSERT_EQ(put_string_(p.b, text.c_str(), 5, 0, 0), int(text.size()));
                ASSERT_NE(get_string_(p.a, buf, &len, sizeof buf, 5, 0), nullptr);
                ASSERT_EQ(std::string(buf), text);
                ASSERT_EQ(ts_put_string(p.b, text.c_str(), &e), 0);
                ASSERT_EQ(ts_get_string(p.a, buf, sizeof buf, 5, &e), int(text.size()));
                ASSERT_EQ(std::string(buf), text);
                ASSERT_STREQ(mine, texts[t]);
            }
        });
    for (auto &th : threads)
        th.join();
}

TEST(CommSupport, SighdlRecordsTheInterrupt) {
    EXPECT_EQ(sighdl(2), COMM_INTERRUPTED);
    EXPECT_EQ(zt::comm::interrupt_status(), COMM_INTERRUPTED);
    EXPECT_EQ(sighdl(14), COMM_UNEXPECTED_INTERRUPT);
    EXPECT_EQ(zt::comm::interrupt_status(), COMM_UNEXPECTED_INTERRUPT);
    zt::comm::set_interrupt_status(0);
    EXPECT_EQ(winsock_start(), 1);
    winsock_stop();
}

TEST(CommSupport, ReadinessTimers) {
    SockPair p;
    make_unix_pair(p);
    EXPECT_EQ(recvable_timer(p.a, 0), 0);
    EXPECT_GT(sendable_timer(p.a, 0), 0);
    send_raw(p.b, "x");
    EXPECT_GT(recvable_timer(p.a, 5), 0);
    // A descriptor numbered past any fd_set waits like any other; one that is
    // not open is an error, not ready.
    ASSERT_EQ(dup2(p.a, 2000), 2000);
    EXPECT_GT(recvable_timer(2000, 5), 0);
    EXPECT_GT(sendable_timer(2000, 5), 0);
    close(2000);
    for (const auto timer : {recvable_timer, sendable_timer}) {
        errno = 0;
        EXPECT_EQ(timer(2000, 1), -1);
        EXPECT_EQ(errno, EBADF);
    }
}

namespace {

constexpr int kOwn = INT_MIN;

struct VerifyCase {
    std::string text;
    int length; // kOwn: the text's own length
    int result;
};

} // namespace

class CommVerify : public ZtTest {};

TEST_F(CommVerify, EveryByteClass) {
    const VerifyCase cases[] = {
        {"plain letters ~", kOwn, 0},
        {"caf\xC3\xA9", kOwn, 0},
        {"\xC3\xA9", kOwn, 0},
        {"tab\there", kOwn, -1},
        {"new\nline", kOwn, -1},
        {"\x7F", kOwn, -1},
        {"\x1F", kOwn, -1},
        {"\xC3\x41", kOwn, -1}, // lead without continuation
        {"\x80", kOwn, -1},     // stray continuation
        {"\xBF", kOwn, -1},
        {"\xFE", kOwn, -1},
        {"\xFF", kOwn, -1},
        {"\xE2\x82\xAC", kOwn, 0},     // three bytes
        {"\xE2\x82", 3, -1},           // cut by the NUL
        {"\xE2\x82\xAC", 2, -1},       // cut by the length
        {"\xF0\x9F\x98\x80", kOwn, 0}, // four bytes
        {"\xF8\x88\x80\x80\x80", kOwn, 0},
        {"\xFC\x84\x80\x80\x80\x80", kOwn, 0},
        {"\xFC\x84\x80\x80\x80", kOwn, -1},
        {"ok\tafter-length", 2, 0}, // only length bytes count
        {"\t", 0, 0},               // no length: nothing to check
        {"\t", -5, 0},
    };
    for (const auto &c : cases) {
        const int length = c.length == kOwn ? int(c.text.size()) : c.length;
        EXPECT_EQ(verify_string(c.text.c_str(), length), c.result) << hex(c.text) << " " << length;
    }
    EXPECT_EQ(verify_string(nullptr, 3), -1);
}

TEST_F(CommVerify, TouchFileSwitchesTheCheckOff) {
    EXPECT_EQ(verify_string("\t", 1), -1);
    write_file(std::string(getFennicString("BP_DIR")) + "/DISABLE_BUFFER_CHECK", "");
    EXPECT_EQ(verify_string("\t", 1), 0);
}

class CommPorts : public ZtTest {};

TEST_F(CommPorts, PortFilesBelowTheInstallationRoot) {
    const std::string ports = root() / "usr/quill/volmgr/database/ports";
    EXPECT_EQ(std::string(getFennicString("VM_PORTS_DIR")), ports);
    write_file(ports + "/bprd", "13720\n");
    write_file(ports + "/junk", "port\n");
    write_file(std::string(getFennicString("OVERRIDE_PATH")) + "/bprd", "1556");
    EXPECT_EQ(getdefaultPORT("bprd"), 13720);
    EXPECT_EQ(getdefaultPORT("absent"), -1);
    EXPECT_EQ(getdefaultPORT("junk"), -1);
    EXPECT_EQ(getdefaultPORT("../ports/bprd"), -1);
    EXPECT_EQ(getdefaultPORT(nullptr), -1);
    EXPECT_EQ(getoverridePORT("bprd"), 1556);
    EXPECT_EQ(getoverridePORT("absent"), 0);
}

TEST_F(CommPorts, OnlyAPlainFileNamesAPort) {
    const std::string overrides = getFennicString("OVERRIDE_PATH");
    write_file(overrides + "/target", "1556\n");
    ASSERT_EQ(symlink((overrides + "/target").c_str(), (overrides + "/linked").c_str()), 0);
    EXPECT_EQ(getoverridePORT("linked"), 1556);
    ASSERT_EQ(symlink("/dev/zero", (overrides + "/device").c_str()), 0);
    EXPECT_EQ(getoverridePORT("device"), 0);
    // A FIFO whose writer never writes: the reader is not held.
    const std::string fifo = overrides + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(getoverridePORT("fifo"), 0);
    close(writer);
}
