// The client library of the port exchange. A handle holds one socket: a TCP
// connection to be switched (pbxConnectExEx), or the control connection of a
// registered server (pbxRegisterExEx), on which hand-overs arrive.
#include "ztpbx.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "pbx_protocol.h"
#include "platform/unix_sockets.h"

namespace proto = ztpbx::proto;
namespace usock = ztbase::usock;

struct pbx_handle {
    int sock = -1;
    int mode = PBX_MODE_BLOCKING;
    bool control = false;  // the socket is a registration's control connection
    uint32_t received = 0; // hand-overs taken from the control connection
    bool ack_owed = false; // the last running total did not reach the exchange
    int handshake_seconds = 30; // the most a connect waits for the exchange's answer
};

namespace {

std::atomic<int> g_initialized{0};
std::atomic<pbx_default_port_fn> g_port_hook{nullptr};

constexpr int kRegisterSeconds = 10;  // the answer to a registration

using Clock = std::chrono::steady_clock;

int fail(int err) {
    errno = err;
    return -1;
}

int set_nonblocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return errno;
    int want = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    if (want != flags && fcntl(fd, F_SETFL, want) != 0)
        return errno;
    return 0;
}

// Waits for `events` until the deadline: 0, or ETIMEDOUT / EINTR / errno.
int wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, int(std::min<long long>(left.count(), 1000 * 1000)));
        if (n > 0)
            return 0;
        if (n < 0)
            return errno;
    }
}

// Sends all of data (small) before the deadline, without SIGPIPE.
int send_all(int fd, const std::string &data, Clock::time_point deadline) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        if (int rc = wait_for(fd, POLLOUT, deadline))
            return rc;
    }
    return 0;
}

// Receives exactly len bytes and not one more (what follows belongs to the
// server's conversation). ECONNRESET when the peer closes first.
int recv_exact(int fd, uint8_t *buf, size_t len, Clock::time_point deadline) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = recv(fd, buf + done, len - done, MSG_DONTWAIT);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n == 0)
            return ECONNRESET;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        if (int rc = wait_for(fd, POLLIN, deadline))
            return rc;
    }
    return 0;
}

int exchange_port(int port) {
    return port != 0 ? port : pbxDefaultPort();
}

// A TCP connection to host:port, tried address by address before the deadline.
int connect_tcp(const char *host, int port, Clock::time_point deadline, int *out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *list = nullptr;
    std::string service = std::to_string(port);
    if (getaddrinfo(host[0] != '\0' ? host : "localhost", service.c_str(), &hints, &list) != 0)
        return EHOSTUNREACH;
    int err = ECONNREFUSED;
    for (addrinfo *a = list; a != nullptr; a = a->ai_next) {
        int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) {
            err = errno;
            continue;
        }
        int rc = connect(s, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (rc == EINPROGRESS && (rc = wait_for(s, POLLOUT, deadline)) == 0) {
            socklen_t len = sizeof rc;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, &rc, &len) != 0)
                rc = errno;
        }
        if (rc == 0) {
            freeaddrinfo(list);
            *out = s;
            return 0;
        }
        close(s);
        err = rc;
        if (rc == ETIMEDOUT || rc == EINTR)
            break;
    }
    freeaddrinfo(list);
    return err;
}

int reply_errno(proto::ReplyStatus status) {
    switch (status) {
    case proto::kConnected:
        return 0;
    case proto::kNoExtension:
        return ECONNREFUSED;
    case proto::kBusy:
        return EBUSY;
    case proto::kBadRequest:
        return EINVAL;
    case proto::kBadVersion:
        return EPROTONOSUPPORT;
    }
    return EPROTO;
}

int register_errno(proto::RegisterStatus status) {
    switch (status) {
    case proto::kRegOk:
        return 0;
    case proto::kRegInUse:
        return EADDRINUSE;
    case proto::kRegDenied:
        return EACCES;
    case proto::kRegFull:
        return ENOSPC;
    case proto::kRegBadVersion:
        return EPROTONOSUPPORT;
    case proto::kRegBadRequest:
        break;
    }
    return EINVAL;
}

// Tells the exchange how many hand-overs this server has taken, so that it
// frees their places. Never waits: a total that does not go now goes with
// the next one.
void send_running_total(pbx_handle *h) {
    std::string msg = proto::make_accepted(h->received);
    h->ack_owed = send(h->sock, msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0;
}

} // namespace

extern "C" {

PBX_API int pbxInitialize(int flags) {
    if (flags != 0)
        return fail(EINVAL);
    g_initialized.fetch_add(1);
    return 0;
}

PBX_API int pbxUnInitialize(void) {
    int n = g_initialized.load();
    while (n > 0 && !g_initialized.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0 ? 0 : fail(EINVAL);
}

PBX_API int pbxAllocSocket(PBXHANDLE *handle, const int *sock) {
    if (handle == nullptr)
        return fail(EINVAL);
    auto *h = new (std::nothrow) pbx_handle;
    if (h == nullptr)
        return fail(ENOMEM);
    if (sock != nullptr && *sock >= 0 && pbxSetSocketHandle(h, *sock, PBX_MODE_BLOCKING) != 0) {
        int err = errno;
        delete h;
        return fail(err);
    }
    *handle = h;
    return 0;
}

PBX_API int pbxSetSocketHandle(PBXHANDLE h, int sock, int mode) {
    if (h == nullptr || (mode != PBX_MODE_BLOCKING && mode != PBX_MODE_NONBLOCKING))
        return fail(EINVAL);
    if (sock >= 0) {
        if (int rc = set_nonblocking(sock, mode == PBX_MODE_NONBLOCKING))
            return fail(rc);
    }
    if (sock != h->sock) {
        h->control = false;
        h->received = 0;
        h->ack_owed = false;
    }
    h->sock = sock < 0 ? -1 : sock;
    h->mode = mode;
    return 0;
}

PBX_API int pbxGetSocketHandle(PBXHANDLE h, int *sock) {
    if (h == nullptr || sock == nullptr)
        return fail(EINVAL);
    *sock = h->sock;
    return h->sock >= 0 ? 0 : fail(ENOTCONN);
}

PBX_API int pbxSetHandshakeTimeout(PBXHANDLE h, int seconds) {
    if (h == nullptr || seconds < 1)
        return fail(EINVAL);
    h->handshake_seconds = seconds;
    return 0;
}

PBX_API int pbxGetSocketMode(PBXHANDLE h) {
    return h != nullptr ? h->mode : fail(EINVAL);
}

PBX_API int pbxSetAddrEx(PBXADDR *address, const char *host, int port, const char *extension) {
    if (address == nullptr || extension == nullptr || port < 0 || port > 65535 ||
        !proto::valid_extension(extension) ||
        (host != nullptr && std::strlen(host) >= sizeof address->host))
        return fail(EINVAL);
    std::memset(address, 0, sizeof *address);
    if (host != nullptr)
        std::strcpy(address->host, host);
    address->port = port;
    std::strcpy(address->extension, extension);
    return 0;
}

PBX_API int pbxConnectExEx(PBXHANDLE h, const PBXADDR *address, int mode, int *peer_hint,
                           int *reply) {
    if (reply != nullptr)
        *reply = PBX_REPLY_NONE;
    if (h == nullptr || address == nullptr || !proto::valid_extension(address->extension) ||
        h->control)
        return fail(EINVAL);
    auto deadline = Clock::now() + std::chrono::seconds(h->handshake_seconds);
    if (h->sock < 0) {
        int s = -1;
        if (int rc = connect_tcp(address->host, exchange_port(address->port), deadline, &s))
            return fail(rc);
        if (pbxSetSocketHandle(h, s, mode) != 0) {
            int err = errno;
            close(s);
            return fail(err);
        }
    }
    if (int rc = send_all(h->sock, proto::make_hello(address->extension), deadline))
        return fail(rc);
    uint8_t buf[proto::kReplySize];
    if (int rc = recv_exact(h->sock, buf, sizeof buf, deadline))
        return fail(rc);
    proto::ReplyStatus status;
    uint8_t version = 0;
    if (!proto::parse_reply(buf, sizeof buf, &status, &version))
        return fail(EPROTO);
    if (reply != nullptr)
        *reply = status;
    if (peer_hint != nullptr)
        *peer_hint = version;
    int err = reply_errno(status);
    return err != 0 ? fail(err) : 0;
}

PBX_API int pbxRegisterExEx(PBXHANDLE h, PBXADDR *address, struct sockaddr_storage **alt,
                            int *alt_count, int backlog) {
    if (h == nullptr || address == nullptr || !proto::valid_extension(address->extension) ||
        backlog < 1 || backlog > proto::kMaxBacklog)
        return fail(EINVAL);
    if (alt != nullptr)
        *alt = nullptr;
    if (alt_count != nullptr)
        *alt_count = 0;
    int port = exchange_port(address->port);
    int s = -1;
    if (int rc = usock::connect_abstract(proto::control_name(port), SOCK_SEQPACKET, &s))
        return fail(rc == ENOENT ? ECONNREFUSED : rc);
    auto deadline = Clock::now() + std::chrono::seconds(kRegisterSeconds);
    std::string request = proto::make_register(address->extension, uint16_t(backlog));
    uint8_t buf[proto::kMaxControl];
    ssize_t got = -1;
    int err = 0;
    if (send(s, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
        err = errno;
    while (err == 0 && (err = wait_for(s, POLLIN, deadline)) == 0) {
        got = recv(s, buf, sizeof buf, MSG_DONTWAIT);
        if (got >= 0 || (errno != EINTR && errno != EAGAIN))
            break;
    }
    proto::ControlMessage reply;
    if (err == 0 && got < 0)
        err = errno;
    else if (err == 0 && got == 0)
        err = ECONNRESET;
    else if (err == 0 &&
             (!proto::parse_control(buf, size_t(got), &reply) || reply.type != proto::kRegistered))
        err = EPROTO;
    else if (err == 0)
        err = register_errno(reply.reg_status);
    if (err == 0 && !reply.addresses.empty() && alt != nullptr) {
        size_t bytes = reply.addresses.size() * sizeof(sockaddr_storage);
        *alt = static_cast<sockaddr_storage *>(std::malloc(bytes));
        if (*alt == nullptr)
            err = ENOMEM;
        else
            std::memcpy(*alt, reply.addresses.data(), bytes);
    }
    if (err == 0 && (err = set_nonblocking(s, h->mode == PBX_MODE_NONBLOCKING)) != 0) {
        std::free(alt != nullptr ? *alt : nullptr);
        if (alt != nullptr)
            *alt = nullptr;
    }
    if (err != 0) {
        close(s);
        return fail(err);
    }
    if (alt_count != nullptr && alt != nullptr)
        *alt_count = int(reply.addresses.size());
    if (h->sock >= 0)
        close(h->sock);
    h->sock = s;
    h->control = true;
    h->received = 0;
    h->ack_owed = false;
    address->port = port;
    return 0;
}

PBX_API int pbxAcceptEx(PBXHANDLE h, int *sock, int *peer_hint) {
    if (h == nullptr || sock == nullptr || !h->control || h->sock < 0)
        return fail(EINVAL);
    *sock = -1;
    if (h->ack_owed)
        send_running_total(h);
    for (;;) {
        uint8_t buf[proto::kMaxControl];
        size_t got = 0, nfds = 0;
        int fd = -1;
        int rc = usock::recv_with_fds(h->sock, buf, sizeof buf, &got, &fd, 1, &nfds);
        if (rc == EBADMSG || rc == EMSGSIZE)
            return fail(EPROTO);
        if (rc != 0)
            return fail(rc);
        if (got == 0) {
            if (nfds == 1)
                close(fd);
            return fail(ECONNRESET);
        }
        proto::ControlMessage msg;
        if (!proto::parse_control(buf, got, &msg) || msg.type != proto::kHandover || nfds != 1) {
            if (nfds == 1)
                close(fd);
            return fail(EPROTO);
        }
        ++h->received;
        send_running_total(h);
        std::string answer = proto::make_reply(proto::kConnected, msg.version);
        if (set_nonblocking(fd, false) != 0 ||
            send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
                ssize_t(answer.size())) {
            close(fd); // the client went away before its answer: take the next one
            continue;
        }
        *sock = fd;
        if (peer_hint != nullptr)
            *peer_hint = msg.client_version;
        return 0;
    }
}

PBX_API int pbxClose(PBXHANDLE h, int keep_socket) {
    if (h == nullptr)
        return fail(EINVAL);
    if (h->sock >= 0 && !keep_socket)
        close(h->sock);
    delete h;
    return 0;
}

PBX_API int pbxFree(void *memory) {
    std::free(memory);
    return 0;
}

PBX_API void pbxSetDefaultPortHook(pbx_default_port_fn hook) {
    g_port_hook.store(hook);
}

PBX_API int pbxDefaultPort(void) {
    if (pbx_default_port_fn hook = g_port_hook.load()) {
        int port = hook();
        if (port > 0 && port < 65536)
            return port;
    }
    servent entry{}, *found = nullptr;
    char buf[1024];
    if (getservbyname_r("halvane_pbx", "tcp", &entry, buf, sizeof buf, &found) == 0 &&
        found != nullptr)
        return ntohs(uint16_t(found->s_port));
    return PBX_DEFAULT_PORT;
}

} // extern "C"
