#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <netdb.h>

#include <gtest/gtest.h>

#include "vnet/vnet_hostnames.h"

#include "support/temp_root.h"
#include "vnet/vnet_codec.h"
#include "ztbase/vnet.h"

namespace {

// A connected pair; `a` writes, `b` reads in most tests.
struct Pair {
    int a = -1, b = -1;
    Pair() {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        a = sv[0];
        b = sv[1];
    }
    ~Pair() {
        if (a >= 0)
            close(a);
        if (b >= 0)
            close(b);
    }
    void raw(const std::string &bytes) const {
        ASSERT_EQ(send(a, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Bytes waiting at b, without taking them.
    std::string pending() const {
        char buf[4096];
        ssize_t n = recv(b, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    void close_a() {
        close(a);
        a = -1;
    }
};

std::string frame(const std::string &s) {
    uint32_t be = htonl(static_cast<uint32_t>(s.size()));
    return std::string(reinterpret_cast<const char *>(&be), 4) + s;
}

TEST(VnetCodec, ValuesRoundTrip) {
    Pair p;
    ASSERT_EQ(vnet_push_byte(p.a, 0, 1), 0);
    ASSERT_EQ(vnet_push_byte(p.a, 255, 1), 0);
    ASSERT_EQ(vnet_push_string(p.a, "hello", 1), 0);
    ASSERT_EQ(vnet_push_string(p.a, "", 1), 0);
    ASSERT_EQ(vnet_push_signed(p.a, LONG_MIN, 1), 0);
    ASSERT_EQ(vnet_push_unsigned(p.a, ULONG_MAX, 1), 0);
    ASSERT_EQ(vnet_push_status(p.a, VNET_PROXY_ERROR, 1), 0);
    int byte = 0;
    EXPECT_EQ(vnet_pop_byte(p.b, &byte, 1), 0);
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(vnet_pop_byte(p.b, &byte, 1), 0);
    EXPECT_EQ(byte, 255);
    char buf[16];
    EXPECT_EQ(vnet_pop_string(p.b, buf, sizeof buf, 1), 0);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(vnet_pop_string(p.b, buf, sizeof buf, 1), 0);
    EXPECT_STREQ(buf, "");
    long sv = 0;
    EXPECT_EQ(vnet_pop_signed(p.b, &sv, 1), 0);
    EXPECT_EQ(sv, LONG_MIN);
    unsigned long uv = 0;
    EXPECT_EQ(vnet_pop_unsigned(p.b, &uv, 1), 0);
    EXPECT_EQ(uv, ULONG_MAX);
    int status = 0;
    EXPECT_EQ(vnet_pop_status(p.b, &status, 1), 0);
    EXPECT_EQ(status, VNET_PROXY_ERROR);
    EXPECT_EQ(p.pending(), "");
}

TEST(VnetCodec, ByteOutOfRangeSendsNothing) {
    Pair p;
    EXPECT_EQ(vnet_push_byte(p.a, 256, 1), VNET_BAD_NUMBER);
    EXPECT_EQ(vnet_push_byte(p.a, -1, 1), VNET_BAD_NUMBER);
    EXPECT_EQ(p.pending(), "");
}

TEST(VnetCodec, PopStringTakesNothingPastTheNul) {
    Pair p;
    p.raw(std::string("first\0second\0rest", 17));
    char buf[64];
    ASSERT_EQ(vnet_pop_string(p.b, buf, sizeof buf, 1), 0);
    EXPECT_STREQ(buf, "first");
    EXPECT_EQ(p.pending(), std::string("second\0rest", 11));
    ASSERT_EQ(vnet_pop_string(p.b, buf, sizeof buf, 1), 0);
    EXPECT_STREQ(buf, "second");
    EXPECT_EQ(p.pending(), "rest");
}

TEST(VnetCodec, PopStringFailures) {
    {
        SCOPED_TRACE("a string that fills the buffer without its NUL is cut by one");
        Pair p;
        p.raw(std::string("abcdefgh\0next", 13));
        char buf[8];
        EXPECT_EQ(vnet_pop_string(p.b, buf, sizeof buf, 1), VNET_BAD_STRING);
        EXPECT_STREQ(buf, "abcdefg");
        EXPECT_EQ(p.pending(), std::string("\0next", 5)); // exactly the buffer was taken
    }
    {
        SCOPED_TRACE("the peer closes mid-string");
        Pair p;
        p.raw("partial");
        p.close_a();
        char buf[64];
        EXPECT_EQ(vnet_pop_string(p.b, buf, sizeof buf, 1), VNET_READ_FAILED);
        EXPECT_STREQ(buf, "partial");
    }
    {
        SCOPED_TRACE("nothing arrives");
        Pair p;
        char buf[8];
        EXPECT_EQ(vnet_pop_string(p.b, buf, sizeof buf, 0), VNET_TIMEOUT);
        int byte = 7;
        EXPECT_EQ(vnet_pop_byte(p.b, &byte, 0), VNET_TIMEOUT);
        EXPECT_EQ(byte, -1);
    }
    {
        SCOPED_TRACE("a string arriving in pieces");
        Pair p;
        std::thread writer([&] {
            for (const char *piece : {"sl", "ow", "ly"}) {
                usleep(20000);
                p.raw(piece);
            }
            p.raw(std::string("\0", 1));
        });
        char buf[16];
        EXPECT_EQ(vnet_pop_string(p.b, buf, sizeof buf, 5), 0);
        EXPECT_STREQ(buf, "slowly");
        writer.join();
    }
    {
        SCOPED_TRACE("a peer trickling bytes, each well within the timeout");
        // The whole string is due within the timeout, not each byte: a
        // hostile peer cannot hold the reader longer than it asked for.
        Pair p;
        std::thread writer([&] {
            for (char c : std::string("trickled", 8)) {
                usleep(300000);
                if (send(p.a, &c, 1, MSG_NOSIGNAL) != 1)
                    return;
            }
            send(p.a, "", 1, MSG_NOSIGNAL);
        });
        char buf[16];
        EXPECT_EQ(vnet_pop_string(p.b, buf, sizeof buf, 1), VNET_TIMEOUT);
        writer.join();
    }
}

TEST(VnetCodec, NumberTexts) {
    const struct {
        const char *text;
        int status;
        long value;
    } signed_cases[] = {
        {"42", 0, 42},
        {" 12", 0, 12},
        {"0x1f", 0, 31},
        {"017", 0, 15},
        {"-9", 0, -9},
        {"12x", VNET_BAD_NUMBER, 0},
        {"12 ", VNET_BAD_NUMBER, 0},
        {"", VNET_BAD_NUMBER, 0},
        {" ", VNET_BAD_NUMBER, 0},
        {"9223372036854775807", 0, LONG_MAX},
        {"9223372036854775808", VNET_BAD_NUMBER, 0}, // overflow is not wrapped
        {"-9223372036854775809", VNET_BAD_NUMBER, 0},
        {"0x", VNET_BAD_NUMBER, 0},
    };
    for (const auto &c : signed_cases) {
        long v = 0;
        EXPECT_EQ(zt::vnet::parse_signed(c.text, &v), c.status) << c.text;
        if (c.status == 0) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    const struct {
        const char *text;
        int status;
        unsigned long value;
    } unsigned_cases[] = {
        {"18446744073709551615", 0, ULONG_MAX},
        {"18446744073709551616", VNET_BAD_NUMBER, 0},
        {"-1", VNET_BAD_NUMBER, 0}, // would wrap to the largest value
        {" -1", VNET_BAD_NUMBER, 0},
        {"0XFF", 0, 255},
    };
    for (const auto &c : unsigned_cases) {
        unsigned long v = 0;
        EXPECT_EQ(zt::vnet::parse_unsigned(c.text, &v), c.status) << c.text;
        if (c.status == 0) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(VnetCodec, PoppedNumbersAndStatuses) {
    Pair p;
    p.raw(std::string("1234567890\0 12\0", 15) + std::string("12x\0", 4) +
          std::string("2147483648\0", 11));
    long v = 0;
    EXPECT_EQ(vnet_pop_signed(p.b, &v, 1), 0);
    EXPECT_EQ(v, 1234567890);
    EXPECT_EQ(vnet_pop_signed(p.b, &v, 1), 0);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(vnet_pop_signed(p.b, &v, 1), VNET_BAD_NUMBER);
    int status = 0;
    EXPECT_EQ(vnet_pop_status(p.b, &status, 1), VNET_BAD_NUMBER); // beyond an int
    // a number text longer than the reader's buffer
    p.raw(std::string(200, '1') + std::string("\0", 1));
    EXPECT_EQ(vnet_pop_signed(p.b, &v, 1), VNET_BAD_STRING);
}

TEST(VcommGetStringBuf, FramedStrings) {
    Pair p;
    vcomm_reader reader{};
    char buf[16];
    int error = 0;
    p.raw(frame("one") + frame("two") + frame("x"));
    EXPECT_EQ(vcomm_get_string_buf(p.b, buf, sizeof buf, 1, &error, &reader), 3);
    EXPECT_STREQ(buf, "one");
    EXPECT_EQ(vcomm_get_string_buf(p.b, buf, sizeof buf, 1, &error, &reader), 3);
    EXPECT_STREQ(buf, "two");
    EXPECT_EQ(vcomm_get_string_buf(p.b, buf, sizeof buf, 1, &error, &reader), 1);
    EXPECT_STREQ(buf, "x");

    // too long for the buffer: nothing consumed, a larger buffer gets it
    p.raw(frame("sixteen chars!!!"));
    EXPECT_EQ(vcomm_get_string_buf(p.b, buf, sizeof buf, 1, &error, &reader), -1);
    char big[64];
    EXPECT_EQ(vcomm_get_string_buf(p.b, big, sizeof big, 1, &error, &reader), 16);
    EXPECT_STREQ(big, "sixteen chars!!!");

    // a frame larger than the reader's first buffer
    std::string large(20000, 'L');
    std::vector<char> huge(30000);
    std::thread writer([&] { p.raw(frame(large)); });
    EXPECT_EQ(
        vcomm_get_string_buf(p.b, huge.data(), static_cast<int>(huge.size()), 2, &error, &reader),
        20000);
    writer.join();
    EXPECT_EQ(std::string(huge.data()), large);

    p.raw(std::string(4, '\0')); // a zero length
    EXPECT_EQ(vcomm_get_string_buf(p.b, buf, sizeof buf, 1, &error, &reader), -3);
    EXPECT_EQ(vcomm_get_string_buf(p.b, nullptr, 8, 1, &error, &reader), -3);
    vcomm_reader_free(&reader);
}

TEST(VcommGetStringBuf, PeerClosesOrStaysSilent) {
    {
        Pair p;
        vcomm_reader reader{};
        char buf[16];
        int error = 0;
        p.raw(frame("abcdef").substr(0, 7));
        p.close_a();
        EXPECT_EQ(vcomm_get_string_buf(p.b, buf, sizeof buf, 1, &error, &reader), -9);
        vcomm_reader_free(&reader);
    }
    {
        Pair p;
        timeval before{7, 0};
        setsockopt(p.b, SOL_SOCKET, SO_RCVTIMEO, &before, sizeof before);
        vcomm_reader reader{};
        char buf[16];
        int error = 0;
        EXPECT_EQ(vcomm_get_string_buf(p.b, buf, sizeof buf, 1, &error, &reader), -3);
        EXPECT_EQ(error, EAGAIN);
        timeval after{};
        socklen_t len = sizeof after;
        getsockopt(p.b, SOL_SOCKET, SO_RCVTIMEO, &after, &len);
        EXPECT_EQ(after.tv_sec, 7); // the caller's timeout is back
        vcomm_reader_free(&reader);
    }
}

// A peer that claims a length it never sends (then closes) makes the reader
// hold what arrived, not the claim: here 1 GiB fits the caller's (untouched)
// buffer, and the reader must not take a buffer of that size for 4 bytes.
TEST(VcommGetStringBuf, ClaimedLengthReservesNothing) {
    const size_t room = size_t(1) << 30;
    void *buf = mmap(nullptr, room, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(buf, MAP_FAILED);
    for (uint32_t claimed : {uint32_t(room - 1), uint32_t(1) << 24}) {
        SCOPED_TRACE(claimed);
        Pair p;
        uint32_t be = htonl(claimed);
        p.raw(std::string(reinterpret_cast<const char *>(&be), 4) + "only this");
        p.close_a();
        vcomm_reader reader{};
        int error = 0;
        EXPECT_EQ(vcomm_get_string_buf(p.b, static_cast<char *>(buf), static_cast<int>(room), 1,
                                       &error, &reader),
                  -9);
        EXPECT_LE(reader.size, size_t(65536));
        vcomm_reader_free(&reader);
    }
    munmap(buf, room);
}

TEST(VnetSocketFlags, BlockingAndInheritance) {
    Pair p;
    ASSERT_EQ(vnet_set_non_blocking(p.a), 0);
    EXPECT_TRUE(fcntl(p.a, F_GETFL) & O_NONBLOCK);
    ASSERT_EQ(vnet_set_blocking(p.a), 0);
    EXPECT_FALSE(fcntl(p.a, F_GETFL) & O_NONBLOCK);
    for (int flag : {0, 1}) {
        ASSERT_EQ(vnet_set_inherit_flag(p.a, flag), 0);
        int now = -1;
        ASSERT_EQ(vnet_get_inherit_flag(p.a, &now), 0);
        EXPECT_EQ(now, flag);
        EXPECT_EQ((fcntl(p.a, F_GETFD) & FD_CLOEXEC) != 0, flag == 0);
    }
    int flag = 0;
    EXPECT_EQ(vnet_get_inherit_flag(-5, &flag), VNET_SYSCALL_FAILED);
    EXPECT_EQ(vnet_set_blocking(-5), VNET_SYSCALL_FAILED);
    EXPECT_EQ(vnet_closesocket(-1), 0);
}

void keepalive(int sock) {
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

TEST(VnetSafeClose, Outcomes) {
    {
        SCOPED_TRACE("the peer closes in turn");
        Pair p;
        keepalive(p.b);
        std::thread peer([&] {
            char c;
            while (recv(p.a, &c, 1, 0) > 0) {
            }
            p.close_a();
        });
        EXPECT_EQ(vnet_close_socket_safely(p.b, 2), 0);
        p.b = -1;
        peer.join();
    }
    {
        SCOPED_TRACE("a peer that keeps sending: ten buffers discarded, then closed");
        Pair p;
        keepalive(p.b);
        std::string chunk(4096, 'd');
        for (int i = 0; i < 12; ++i)
            p.raw(chunk);
        EXPECT_EQ(vnet_close_socket_safely_ex(p.b, 1, 1), VNET_READ_FAILED);
        EXPECT_EQ(fcntl(p.b, F_GETFD), -1); // closed
        p.b = -1;
    }
    {
        SCOPED_TRACE("unexpected data without discard");
        Pair p;
        keepalive(p.b);
        p.raw("x");
        EXPECT_EQ(vnet_close_socket_safely(p.b, 1), VNET_READ_FAILED);
        p.b = -1;
    }
    {
        SCOPED_TRACE("no keep-alive: marked, still closed");
        Pair p;
        p.close_a();
        EXPECT_EQ(vnet_close_socket_safely(p.b, 1), VNET_BAD_PARAM);
        EXPECT_EQ(fcntl(p.b, F_GETFD), -1);
        p.b = -1;
    }
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    EXPECT_EQ(vnet_close_socket_safely(pipefd[0], 1), VNET_BAD_PARAM); // not a socket: left open
    EXPECT_NE(fcntl(pipefd[0], F_GETFD), -1);
    close(pipefd[0]);
    close(pipefd[1]);
}

class VnetCrc32 : public zt::test::ZtTest {};

TEST_F(VnetCrc32, EqualsTheCksumUtility) {
    std::mt19937 random(7);
    std::string megabyte(1 << 20, '\0');
    for (char &c : megabyte)
        c = static_cast<char>(1 + random() % 255); // no NUL: the text ends at the first
    const std::string texts[] = {
        "", "a", "123456789", "The quick brown fox", megabyte.substr(0, 4113), megabyte};
    for (const auto &text : texts) {
        std::string path = root() / "crc";
        zt::test::write_file(path, text);
        FILE *cmd = popen(("cksum < " + path).c_str(), "r");
        ASSERT_NE(cmd, nullptr);
        unsigned long expected = 0;
        ASSERT_EQ(fscanf(cmd, "%lu", &expected), 1);
        pclose(cmd);
        EXPECT_EQ(vnet_crc32(text.c_str()), expected) << text.size() << " bytes";
    }
}

TEST(VnetAddresses, FormatIPAndConnectionLines) {
    const struct {
        const char *in, *out;
    } cases[] = {{"::1", "[::1]"},
                 {"fe80::1:2", "[fe80::1:2]"},
                 {"10.0.0.1", "10.0.0.1"},
                 {"host.example", "host.example"},
                 {"", ""}};
    for (const auto &c : cases) {
        char out[64];
        EXPECT_STREQ(vnet_format_IP(c.in, out, sizeof out), c.out);
    }
    char tiny[4];
    EXPECT_STREQ(vnet_format_IP("::1", tiny, sizeof tiny), "[::");

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    int server = accept(listener, nullptr, nullptr);
    const int port = ntohs(addr.sin_port);

    char ip[64], host[256];
    ASSERT_EQ(vnet_socket_to_local_hostname_and_ipstring(server, nullptr, 0, ip, sizeof ip), 0);
    EXPECT_EQ(std::string(ip), "127.0.0.1:" + std::to_string(port));
    // The reverse lookup is the resolver's business (a bare machine may not
    // name 127.0.0.1 at all): a fixed answer shows what the helper does with it.
    auto named = [](const sockaddr *, socklen_t, char *out, size_t size) {
        snprintf(out, size, "%s", "peer.example");
        return 0;
    };
    auto unnamed = [](const sockaddr *, socklen_t, char *, size_t) { return EAI_NONAME; };
    auto previous = zt::vnet::set_name_lookup(named);
    EXPECT_EQ(vnet_socket_to_peer_hostname_and_ipstring(client, host, sizeof host, ip, sizeof ip),
              0);
    EXPECT_EQ(std::string(ip), "127.0.0.1:" + std::to_string(port));
    EXPECT_STREQ(host, "peer.example");
    zt::vnet::set_name_lookup(unnamed);
    EXPECT_EQ(vnet_socket_to_peer_hostname_and_ipstring(client, host, sizeof host, ip, sizeof ip),
              VNET_GETHOST_FAILED);
    zt::vnet::set_name_lookup(previous);

    char line[256];
    sockaddr_in client_end{};
    len = sizeof client_end;
    getsockname(client, reinterpret_cast<sockaddr *>(&client_end), &len);
    const std::string server_end = "127.0.0.1." + std::to_string(port);
    const std::string client_text = "127.0.0.1." + std::to_string(ntohs(client_end.sin_port));
    EXPECT_EQ(std::string(vnet_logconnections(client, "svc", 0, line, sizeof line)),
              "svc CONNECT FROM " + client_text + " TO " + server_end +
                  " fd = " + std::to_string(client));
    EXPECT_EQ(std::string(vnet_logconnections(server, "svc", 1, line, sizeof line)),
              "svc ACCEPT FROM " + client_text + " TO " + server_end +
                  " fd = " + std::to_string(server));
    EXPECT_EQ(std::string(vnet_logconnections(listener + 1000, "svc", 0, line, sizeof line)),
              "svc CONNECT FROM getsockname(" + std::to_string(listener + 1000) +
                  ") failed TO getpeername(" + std::to_string(listener + 1000) +
                  ") failed fd = " + std::to_string(listener + 1000));

    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(13724);
    v6.sin6_addr = in6addr_loopback;
    EXPECT_EQ(vnet_sockaddr_to_hostname_and_ipstring(reinterpret_cast<sockaddr *>(&v6), nullptr, 0,
                                                     ip, sizeof ip),
              0);
    EXPECT_STREQ(ip, "[::1]:13724");
    EXPECT_STREQ(vnet_logconnections_by_addr(reinterpret_cast<sockaddr *>(&v6),
                                             reinterpret_cast<sockaddr *>(&client_end), "vnetd", 0,
                                             line, sizeof line),
                 ("vnetd CONNECT FROM [::1].13724 TO " + client_text + " fd = -1").c_str());
    close(client);
    close(server);
    close(listener);
}

} // namespace
