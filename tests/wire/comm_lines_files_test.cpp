// Text lines through a read-ahead block, and chunked remote files.
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <sys/time.h>
#include <thread>

#include "comm_fixtures.h"
#include "wire/common_comm_internal.h"
#include "ztbase/comm.h"

using namespace zt::test;

namespace {

struct Block {
    buf_block *b;
    explicit Block(size_t size) : b(create_buf_block(size)) {}
    ~Block() { free_buf_block(b); }
};

// Readline's result and the text in the buffer.
std::pair<int, std::string> line(int sock, int size, int timeout, buf_block *block) {
    std::string buf(size_t(size), '#');
    errno = 0;
    const int r = Readline(sock, buf.data(), size, timeout, block);
    return {r, std::string(buf.c_str())};
}

} // namespace

TEST(CommReadline, LinesAcrossSegmentsAndSeveralInOne) {
    for (size_t block_size : {size_t(1), size_t(3), size_t(4096)}) {
        SCOPED_TRACE(block_size);
        SockPair p;
        make_unix_pair(p);
        Block block(block_size);
        ASSERT_NE(block.b, nullptr);
        send_raw(p.b, "ab");
        std::thread rest([&] { send_raw(p.b, "c\nd\n\ne\nlast"); });
        EXPECT_EQ(line(p.a, 100, 5, block.b), std::make_pair(4, std::string("abc\n")));
        rest.join();
        EXPECT_EQ(line(p.a, 100, 5, block.b), std::make_pair(2, std::string("d\n")));
        EXPECT_EQ(line(p.a, 100, 5, block.b), std::make_pair(1, std::string("\n")));
        EXPECT_EQ(line(p.a, 100, 5, block.b), std::make_pair(2, std::string("e\n")));
        p.close_b();
        EXPECT_EQ(line(p.a, 100, 5, block.b), std::make_pair(4, std::string("last")));
        EXPECT_EQ(line(p.a, 100, 5, block.b), std::make_pair(0, std::string("")));
    }
}

TEST(CommReadline, LineLongerThanTheBufferContinuesOnTheNextCall) {
    SockPair p;
    make_unix_pair(p);
    Block block(64);
    send_raw(p.b, "0123456789\nnext\n");
    EXPECT_EQ(line(p.a, 8, 5, block.b), std::make_pair(-1, std::string("0123456")));
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(line(p.a, 8, 5, block.b), std::make_pair(4, std::string("789\n")));
    EXPECT_EQ(line(p.a, 8, 5, block.b), std::make_pair(5, std::string("next\n")));
    EXPECT_EQ(line(p.a, 1, 5, block.b).first, -1) << "no room for any byte";
}

TEST(CommReadline, TimeoutPutsThePartialLineBack) {
    SockPair p;
    make_unix_pair(p);
    Block block(16);
    send_raw(p.b, "par");
    EXPECT_EQ(line(p.a, 100, 1, block.b).first, -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    send_raw(p.b, "tial");
    EXPECT_EQ(line(p.a, 100, 1, block.b).first, -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    send_raw(p.b, "\nmore\n");
    EXPECT_EQ(line(p.a, 100, 1, block.b), std::make_pair(8, std::string("partial\n")));
    EXPECT_EQ(line(p.a, 100, 1, block.b), std::make_pair(5, std::string("more\n")));
}

TEST(CommReadline, PartialLineThatCannotGoBack) {
    const struct {
        const char *what;
        size_t block; // 0: no block
    } cases[] = {{"no block", 0}, {"a smaller block", 4}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SockPair p;
        make_unix_pair(p);
        Block block(c.block ? c.block : 1);
        send_raw(p.b, "abcdefgh");
        EXPECT_EQ(line(p.a, 100, 1, c.block ? block.b : nullptr).first, -1);
        EXPECT_EQ(errno, EIO);
    }
    // Without a block nothing past the line is consumed.
    SockPair p;
    make_unix_pair(p);
    send_raw(p.b, "xy\nz\n");
    EXPECT_EQ(line(p.a, 100, 5, nullptr), std::make_pair(3, std::string("xy\n")));
    char rest[8] = {};
    EXPECT_EQ(recv(p.a, rest, sizeof rest, 0), 2);
    EXPECT_STREQ(rest, "z\n");
}

namespace {
void on_alarm(int) {}
} // namespace

TEST(CommReadline, RecordedInterruptReturnsMinusTheCount) {
    SockPair p;
    make_unix_pair(p);
    Block block(64);
    send_raw(p.b, "ab");
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, &old);
    zt::comm::set_interrupt_status(COMM_INTERRUPTED);
    itimerval once{{0, 0}, {0, 200000}};
    setitimer(ITIMER_REAL, &once, nullptr);
    EXPECT_EQ(line(p.a, 100, 10, block.b).first, -2);
    zt::comm::set_interrupt_status(0);
    sigaction(SIGALRM, &old, nullptr);
}

namespace {

int memfd_with(const std::string &content) {
    const int fd = memfd_create("comm-test", 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string memfd_content(int fd) {
    std::string out;
    char buf[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, size_t(n));
    return out;
}

} // namespace

TEST(CommRemoteFile, ContentArrivesWhole) {
    for (size_t size : {size_t(0), size_t(1), size_t(8192), size_t(8193), size_t(1) << 20}) {
        SCOPED_TRACE(size);
        std::string content(size, '\0');
        for (size_t i = 0; i < size; ++i)
            content[i] = char(i * 7 + i / 251);
        SockPair p;
        make_tcp_pair(p);
        const int in = memfd_with(content), out = memfd_with("");
        int64_t sent = -2;
        std::thread sender([&] { sent = write_remote_file(p.b, in, 10, "test_sender"); });
        EXPECT_EQ(read_remote_file(p.a, out, 10, nullptr), int64_t(size));
        sender.join();
        EXPECT_EQ(sent, int64_t(size));
        EXPECT_TRUE(memfd_content(out) == content);
        close(in);
        close(out);
    }
}

TEST(CommRemoteFile, EmptyFileIsTheFinalChunkAlone) {
    SockPair p;
    make_unix_pair(p);
    const int in = memfd_with("");
    EXPECT_EQ(write_remote_file(p.a, in, 5, nullptr), 0);
    EXPECT_EQ(hex(recv_raw(p.b, 50)), "00 00");
    close(in);
}

TEST(CommRemoteFile, BadStreamsAreRefused) {
    const struct {
        const char *what;
        std::string wire;
        int error;
        const char *written;
    } cases[] = {
        {"a chunk above 8192 bytes", be16(3) + "abc" + be16(8193) + std::string(100, 'x'), ERANGE,
         "abc"},
        {"no final chunk", be16(3) + "abc", EPIPE, "abc"},
        {"a chunk cut short", be16(5) + "ab", EPIPE, ""},
        {"a length cut short", std::string(1, '\0'), EPIPE, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SockPair p;
        make_unix_pair(p);
        send_raw(p.b, c.wire);
        p.close_b();
        const int out = memfd_with("");
        EXPECT_EQ(read_remote_file(p.a, out, 5, "test"), -1);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(memfd_content(out), c.written);
        close(out);
    }
}
