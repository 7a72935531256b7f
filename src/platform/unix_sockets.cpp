#include "platform/unix_sockets.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace ztbase::usock {

int abstract_address(std::string_view name, sockaddr_un *addr, socklen_t *len) {
    if (name.empty() || name.size() > kMaxAbstractName || name.find('\0') != std::string_view::npos)
        return EINVAL;
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path + 1, name.data(), name.size());
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return 0;
}

namespace {

int close_keeping_errno(int fd, int err) {
    ::close(fd);
    return err;
}

} // namespace

int listen_abstract(std::string_view name, int type, int backlog, int *fd) {
    sockaddr_un addr;
    socklen_t len = 0;
    if (int rc = abstract_address(name, &addr, &len))
        return rc;
    int s = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return errno;
    if (::bind(s, reinterpret_cast<sockaddr *>(&addr), len) != 0)
        return close_keeping_errno(s, errno);
    if (::listen(s, backlog) != 0)
        return close_keeping_errno(s, errno);
    *fd = s;
    return 0;
}

int connect_abstract(std::string_view name, int type, int *fd) {
    sockaddr_un addr;
    socklen_t len = 0;
    if (int rc = abstract_address(name, &addr, &len))
        return rc;
    int s = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return errno;
    int rc;
    do {
        rc = ::connect(s, reinterpret_cast<sockaddr *>(&addr), len);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return close_keeping_errno(s, errno);
    *fd = s;
    return 0;
}

int send_with_fds(int sock, const void *data, size_t len, const int *fds, size_t nfds) {
    if (len == 0 || nfds > kMaxFds || (nfds > 0 && fds == nullptr))
        return EINVAL;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    const char *p = static_cast<const char *>(data);
    size_t left = len;
    bool fds_sent = nfds == 0;
    while (left > 0) {
        iovec iov{const_cast<char *>(p), left};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        if (!fds_sent) {
            std::memset(control, 0, sizeof(control));
            msg.msg_control = control;
            msg.msg_controllen = CMSG_SPACE(sizeof(int) * nfds);
            cmsghdr *c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * nfds);
            std::memcpy(CMSG_DATA(c), fds, sizeof(int) * nfds);
        }
        ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        fds_sent = true;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}

int recv_with_fds(int sock, void *buf, size_t cap, size_t *got, int *fds, size_t max_fds,
                  size_t *nfds) {
    *got = 0;
    *nfds = 0;
    if (cap == 0)
        return EINVAL;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    iovec iov{buf, cap};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno;

    // Collect every descriptor that arrived, whatever happens to the message.
    int arrived[kMaxFds];
    size_t narrived = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char *data = CMSG_DATA(c);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, data + i * sizeof(int), sizeof(int));
            if (narrived < kMaxFds)
                arrived[narrived++] = fd;
            else
                ::close(fd);
        }
    }
    bool cut = (msg.msg_flags & (MSG_CTRUNC | MSG_TRUNC)) != 0;
    if (cut) {
        for (size_t i = 0; i < narrived; ++i)
            ::close(arrived[i]);
        return EMSGSIZE;
    }
    *got = static_cast<size_t>(n);
    if (narrived > max_fds || (narrived > 0 && fds == nullptr)) {
        for (size_t i = 0; i < narrived; ++i)
            ::close(arrived[i]);
        return EBADMSG;
    }
    for (size_t i = 0; i < narrived; ++i)
        fds[(*nfds)++] = arrived[i];
    return 0;
}

int peer_credentials(int sock, pid_t *pid, uid_t *uid, gid_t *gid) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return errno;
    if (pid)
        *pid = cred.pid;
    if (uid)
        *uid = cred.uid;
    if (gid)
        *gid = cred.gid;
    return 0;
}

} // namespace ztbase::usock
