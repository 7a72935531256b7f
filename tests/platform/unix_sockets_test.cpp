// Local sockets between processes: abstract names, descriptors with their
// messages, and the peer's credentials.
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/unix_sockets.h"
#include "support/fd_count.h"

namespace us = ztbase::usock;

namespace {

struct Pair {
    int a = -1, b = -1;
    explicit Pair(int type) {
        int sv[2];
        if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv) == 0) {
            a = sv[0];
            b = sv[1];
        }
    }
    ~Pair() {
        close(a);
        close(b);
    }
};

std::string name_for(const char *what) {
    return "ztbase-test-" + std::to_string(getpid()) + "-" + what;
}

} // namespace

TEST(UnixSockets, DescriptorTravelsWithItsBytesAndIsCloseOnExec) {
    for (int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        Pair p(type);
        int pipefd[2];
        ASSERT_EQ(pipe(pipefd), 0);
        ASSERT_EQ(us::send_with_fds(p.a, "hello", 5, &pipefd[1], 1), 0);
        close(pipefd[1]);

        char buf[16];
        size_t got = 0, nfds = 0;
        int fds[2] = {-1, -1};
        ASSERT_EQ(us::recv_with_fds(p.b, buf, sizeof buf, &got, fds, 2, &nfds), 0);
        EXPECT_EQ(std::string(buf, got), "hello");
        ASSERT_EQ(nfds, 1u);
        EXPECT_TRUE(fcntl(fds[0], F_GETFD) & FD_CLOEXEC);
        ASSERT_EQ(write(fds[0], "x", 1), 1); // the pipe's write end, alive here
        close(fds[0]);
        char c;
        EXPECT_EQ(read(pipefd[0], &c, 1), 1);
        close(pipefd[0]);
    }
}

// More descriptors than wanted, a packet longer than the buffer, a message
// with none: nothing stays open that the caller does not hold.
TEST(UnixSockets, UnwantedOrCutDescriptorsAreClosed) {
    const int before = zt::test::open_descriptor_count();
    {
        Pair p(SOCK_SEQPACKET);
        int three[3] = {dup(0), dup(0), dup(0)};
        ASSERT_EQ(us::send_with_fds(p.a, "abc", 3, three, 3), 0);
        ASSERT_EQ(us::send_with_fds(p.a, "a longer packet", 15, three, 1), 0);
        ASSERT_EQ(us::send_with_fds(p.a, "none", 4, nullptr, 0), 0);
        for (int fd : three)
            close(fd);

        char buf[8];
        size_t got = 0, nfds = 0;
        int fds[1] = {-1};
        EXPECT_EQ(us::recv_with_fds(p.b, buf, sizeof buf, &got, fds, 1, &nfds), EBADMSG);
        EXPECT_EQ(nfds, 0u);
        EXPECT_EQ(us::recv_with_fds(p.b, buf, 4, &got, fds, 1, &nfds), EMSGSIZE);
        EXPECT_EQ(nfds, 0u);
        EXPECT_EQ(us::recv_with_fds(p.b, buf, sizeof buf, &got, fds, 1, &nfds), 0);
        EXPECT_EQ(std::string(buf, got), "none");
        EXPECT_EQ(nfds, 0u);
        close(p.a);
        p.a = -1;
        EXPECT_EQ(us::recv_with_fds(p.b, buf, sizeof buf, &got, fds, 1, &nfds), 0);
        EXPECT_EQ(got, 0u); // the peer closed
    }
    EXPECT_EQ(zt::test::open_descriptor_count(), before);
}

TEST(UnixSockets, AbstractNamesConnectAndTellThePeer) {
    const std::string name = name_for("listen");
    int lfd = -1;
    ASSERT_EQ(us::listen_abstract(name, SOCK_STREAM, 4, &lfd), 0);
    int again = -1;
    EXPECT_EQ(us::listen_abstract(name, SOCK_STREAM, 4, &again), EADDRINUSE);

    int cfd = -1;
    ASSERT_EQ(us::connect_abstract(name, SOCK_STREAM, &cfd), 0);
    int sfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(sfd, 0);
    pid_t pid = 0;
    uid_t uid = 1;
    EXPECT_EQ(us::peer_credentials(sfd, &pid, &uid, nullptr), 0);
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(uid, geteuid());
    close(sfd);
    close(cfd);
    close(lfd);

    EXPECT_EQ(us::connect_abstract(name, SOCK_STREAM, &cfd), ECONNREFUSED);
    sockaddr_un addr;
    socklen_t len;
    EXPECT_EQ(us::abstract_address("", &addr, &len), EINVAL);
    EXPECT_EQ(us::abstract_address(std::string(us::kMaxAbstractName + 1, 'n'), &addr, &len), EINVAL);
    EXPECT_EQ(us::abstract_address(std::string("a\0b", 3), &addr, &len), EINVAL);
    EXPECT_EQ(us::abstract_address(std::string(us::kMaxAbstractName, 'n'), &addr, &len), 0);
}
