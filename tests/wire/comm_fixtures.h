// Connected socket pairs for the socket value tests: a Unix socketpair and a
// real loopback TCP connection on a port the kernel picks, plus raw access to
// the bytes on the wire.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "wire/common_comm_internal.h"

namespace zt::test {

// Two connected stream sockets; `a` is the side under test, `b` the peer.
struct SockPair {
    int a = -1, b = -1;
    ~SockPair() {
        close_a();
        close_b();
    }
    void close_a() {
        if (a >= 0)
            close(a);
        a = -1;
    }
    void close_b() {
        if (b >= 0)
            close(b);
        b = -1;
    }
};

inline void make_unix_pair(SockPair &p) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    p.a = fds[0];
    p.b = fds[1];
}

inline void make_tcp_pair(SockPair &p) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    p.a = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(p.a, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    p.b = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GE(p.b, 0);
    const int one = 1;
    setsockopt(p.a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(p.b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

inline void send_raw(int sock, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << errno;
        done += size_t(n);
    }
}

// Everything that arrives within `ms` of quiet.
inline std::string recv_raw(int sock, int ms = 200) {
    std::string out;
    char buf[65536];
    pollfd pfd{sock, POLLIN, 0};
    while (poll(&pfd, 1, ms) > 0) {
        const ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, size_t(n));
    }
    return out;
}

inline std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

inline std::string be32(uint32_t v) {
    unsigned char b[4];
    zt::comm::store32(b, v);
    return std::string(reinterpret_cast<char *>(b), 4);
}

inline std::string be16(uint32_t v) {
    unsigned char b[2];
    zt::comm::store16(b, v);
    return std::string(reinterpret_cast<char *>(b), 2);
}

} // namespace zt::test
