// Handing an open socket to another process of this host: the hash proof,
// the exchange over a local endpoint, the endpoints themselves, and the
// hand-over to a child process.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/unix_sockets.h"
#include "vnet/vnet_vnetd_internal.h"
#include "ztbase/vnet_host.h"

namespace usock = ztbase::usock;
using zt::vnet::vnetd::drop;

namespace zt::vnet::vnetd {

std::string ipc_name(long number) { return "ztbase-ipc-" + std::to_string(number); }

long parse_ipc(const char *text) {
    if (text == nullptr || *text < '0' || *text > '9')
        return -1;
    char *end = nullptr;
    errno = 0;
    const long n = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || n < 1 || n > 0x7fffffffL)
        return -1;
    return n;
}

} // namespace zt::vnet::vnetd

using zt::vnet::vnetd::ipc_name;
using zt::vnet::vnetd::parse_ipc;

namespace {

constexpr int kMd5Size = 16;
// The descriptor block that takes the place of the platform's socket
// description: a magic word, a version and the descriptor count, with the
// descriptor itself as ancillary data.
constexpr uint32_t kBlockMagic = 0x5a544831; // "ZTH1"
struct Block {
    uint32_t magic;
    uint16_t version;
    uint16_t count;
};
static_assert(sizeof(Block) == 8);

bool md5(const void *data, size_t len, unsigned char out[kMd5Size]) {
    unsigned int n = 0;
    return EVP_Digest(data, len, out, &n, EVP_md5(), nullptr) == 1 && n == kMd5Size;
}

void to_hex(const unsigned char *bytes, char *out) {
    for (int i = 0; i < kMd5Size; ++i)
        snprintf(out + 2 * i, 3, "%02x", bytes[i]);
}

int hexval(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

time_t deadline_of(int timeout) { return time(nullptr) + (timeout > 0 ? timeout : timeout == 0 ? 0 : 1); }

int left_of(time_t deadline) {
    const long left = static_cast<long>(deadline - time(nullptr));
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads exactly n bytes by the deadline.
int read_exact(int sock, void *buf, size_t n, time_t deadline) {
    auto *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < n) {
        int st = vnet_sock_ready_abs(sock, 1, 0, deadline, nullptr);
        if (st != VNET_SUCCESS)
            return st;
        const ssize_t r = recv(sock, p + done, n - done, 0);
        if (r == 0)
            return VNET_READ_FAILED;
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return vnet_errno_to_status(errno, VNET_READ_FAILED);
        }
        done += static_cast<size_t>(r);
    }
    return VNET_SUCCESS;
}

int write_exact(int sock, const void *buf, size_t n, time_t deadline) {
    const auto *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < n) {
        int st = vnet_sock_ready_abs(sock, 0, 1, deadline, nullptr);
        if (st != VNET_SUCCESS)
            return st;
        const ssize_t w = send(sock, p + done, n - done, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return vnet_errno_to_status(errno, VNET_WRITE_FAILED);
        }
        done += static_cast<size_t>(w);
    }
    return VNET_SUCCESS;
}

// A connected local stream socket to the abstract name, waiting while the
// listener's queue is full.
int connect_local(const std::string &name, int timeout, int *out) {
    sockaddr_un addr{};
    socklen_t len = 0;
    if (usock::abstract_address(name, &addr, &len) != 0)
        return VNET_BAD_ARGUMENT;
    const time_t deadline = deadline_of(timeout);
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return VNET_SOCKET_FAILED;
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0) {
            vnet_set_blocking(fd);
            *out = fd;
            return VNET_SUCCESS;
        }
        const int e = errno;
        close(fd);
        if (e != EAGAIN)
            return e == ECONNREFUSED || e == ENOENT ? VNET_CONNECT_REFUSED : VNET_CONNECT_FAILED;
        if (time(nullptr) >= deadline)
            return VNET_TIMEOUT;
        usleep(10000);
    }
}

} // namespace

extern "C" ZTBASE_API int vnet_generate_hashes(int sock, char *hash1, int size1, char *hash2,
                                               int size2) {
    const char *fn = "vnet_generate_hashes";
    if (hash1 == nullptr || hash2 == nullptr || size1 < VN_HASH_SIZE || size2 < VN_HASH_SIZE) {
        logmsgf(ZTLOG_ERROR, fn, "hash buffers: %p %d %p %d", hash1, size1, hash2, size2);
        return VNET_BAD_PARAM;
    }
    unsigned char data[4 + 8 + 128 + 128];
    size_t len = 0;
    const int32_t pid = static_cast<int32_t>(getpid());
    memcpy(data + len, &pid, 4);
    len += 4;
    const int64_t now = static_cast<int64_t>(time(nullptr));
    memcpy(data + len, &now, 8);
    len += 8;
    for (int peer = 0; peer < 2; ++peer) {
        sockaddr_storage ss{};
        socklen_t sl = sizeof ss;
        const int rc = peer ? getpeername(sock, reinterpret_cast<sockaddr *>(&ss), &sl)
                            : getsockname(sock, reinterpret_cast<sockaddr *>(&ss), &sl);
        if (rc != 0 || sl > 128)
            sl = 128;
        memcpy(data + len, &ss, sl);
        len += sl;
    }
    unsigned char h[kMd5Size], hh[kMd5Size];
    if (!md5(data, len, h) || !md5(h, kMd5Size, hh)) {
        logmsgf(ZTLOG_ERROR, fn, "MD5 failed");
        return VNET_SYSCALL_FAILED;
    }
    to_hex(h, hash2);
    to_hex(hh, hash1);
    logmsgvf(ZTLOG_DEBUG, 5, fn, "[%s:%d] hash_str1=%s, hash_str2=%s", __FILE_NAME__, __LINE__,
             hash1, hash2);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int verify_hashes(const char *hash1, const char *hash2) {
    if (hash2 == nullptr)
        return 0;
    if (hash1 == nullptr || hash1[0] == '\0')
        return hash2[0] == '\0';
    if (strlen(hash2) != 2 * kMd5Size)
        return 0;
    unsigned char raw[kMd5Size], h[kMd5Size];
    for (int i = 0; i < kMd5Size; ++i) {
        const int hi = hexval(hash2[2 * i]), lo = hexval(hash2[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return 0;
        raw[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    char hex[VN_HASH_SIZE];
    if (!md5(raw, kMd5Size, h))
        return 0;
    to_hex(h, hex);
    return strcasecmp(hex, hash1) == 0;
}

extern "C" ZTBASE_API int vnet_send_network_socket(int ipc_sock, int *sock, const char *hash2,
                                                   int timeout) {
    const char *fn = "vnet_send_network_socket";
    if (ipc_sock < 0 || sock == nullptr || *sock < 0) {
        logmsgf(ZTLOG_ERROR, fn, "invalid socket: ipc=%d sock=%p", ipc_sock,
                static_cast<void *>(sock));
        return VNET_BAD_PARAM;
    }
    const time_t deadline = deadline_of(timeout);
    int st = vnet_push_string(ipc_sock, hash2 ? hash2 : "", timeout);
    if (st != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    int32_t their_pid = 0;
    if ((st = read_exact(ipc_sock, &their_pid, 4, deadline)) != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "receiver did not send its process id: %d", st);
        VNETD_FAIL(fn, st);
        return st;
    }
    // The descriptor goes to the process at the other end of the endpoint
    // and to no other: its id must be the one the kernel reports.
    pid_t peer = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    if (usock::peer_credentials(ipc_sock, &peer, &uid, &gid) != 0 || peer != their_pid) {
        logmsgf(ZTLOG_ERROR, fn, "receiver says process %ld, endpoint belongs to %ld",
                static_cast<long>(their_pid), static_cast<long>(peer));
        VNETD_FAIL(fn, VNET_SOCKET_FAILED);
        return VNET_SOCKET_FAILED;
    }
    const Block block{kBlockMagic, 1, 1};
    if ((st = vnet_sock_ready_abs(ipc_sock, 0, 1, deadline, nullptr)) != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    const int e = usock::send_with_fds(ipc_sock, &block, sizeof block, sock, 1);
    if (e != 0) {
        logmsgf(ZTLOG_ERROR, fn, "sending the descriptor failed: %s", strerror(e));
        VNETD_FAIL(fn, VNET_SOCKET_FAILED);
        return VNET_SOCKET_FAILED;
    }
    // The socket now belongs to the receiver.
    vnet_closesocket(*sock);
    *sock = -1;
    int status = 0;
    st = vnet_pop_status(ipc_sock, &status, left_of(deadline));
    if (st != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    if (status != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "receiver answered status %d", status);
        VNETD_FAIL(fn, status);
    }
    return status;
}

extern "C" ZTBASE_API int vnet_receive_network_socket(int ipc_sock, const char *hash1, int *sock_out,
                                                      int timeout) {
    const char *fn = "vnet_receive_network_socket";
    if (sock_out == nullptr || ipc_sock < 0) {
        logmsgf(ZTLOG_ERROR, fn, "invalid argument: ipc=%d sock_out=%p", ipc_sock,
                static_cast<void *>(sock_out));
        return VNET_BAD_PARAM;
    }
    *sock_out = -1;
    const time_t deadline = deadline_of(timeout);
    char hash2[VN_HASH_SIZE];
    int st = vnet_pop_string(ipc_sock, hash2, sizeof hash2, timeout);
    if (st != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    logmsgvf(ZTLOG_DEBUG, 5, fn, "hash_str2 %s", hash2);
    if (!verify_hashes(hash1, hash2)) {
        logmsgf(ZTLOG_ERROR, fn, "hash mismatch");
        VNETD_FAIL(fn, VNET_BAD_HASH);
        return VNET_BAD_HASH;
    }
    const int32_t me = static_cast<int32_t>(getpid());
    if ((st = write_exact(ipc_sock, &me, 4, deadline)) != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    Block block{};
    size_t got = 0, nfds = 0;
    int fd = -1;
    if ((st = vnet_sock_ready_abs(ipc_sock, 1, 0, deadline, nullptr)) != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    int e = usock::recv_with_fds(ipc_sock, &block, sizeof block, &got, &fd, 1, &nfds);
    if (e != 0 || got == 0 || nfds != 1) {
        logmsgf(ZTLOG_ERROR, fn, "descriptor block not received: %s, %zu bytes, %zu descriptors",
                e ? strerror(e) : "no error", got, nfds);
        if (nfds == 1)
            close(fd);
        st = got == 0 && e == 0 ? VNET_READ_FAILED : VNET_SOCKET_FAILED;
        VNETD_FAIL(fn, st);
        return st;
    }
    if (got < sizeof block &&
        (st = read_exact(ipc_sock, reinterpret_cast<char *>(&block) + got, sizeof block - got,
                         deadline)) != VNET_SUCCESS) {
        close(fd);
        VNETD_FAIL(fn, st);
        return st;
    }
    // A connection: a stream socket, and not one that listens.
    int type = 0, listening = 1;
    socklen_t tl = sizeof type, ll = sizeof listening;
    if (block.magic != kBlockMagic || block.version != 1 || block.count != 1 ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) != 0 || type != SOCK_STREAM ||
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &ll) != 0 || listening != 0) {
        logmsgf(ZTLOG_ERROR, fn, "descriptor block is not a connected stream socket's (magic 0x%08x)",
                block.magic);
        close(fd);
        VNETD_FAIL(fn, VNET_SOCKET_FAILED);
        return VNET_SOCKET_FAILED;
    }
    if ((st = vnet_push_status(ipc_sock, VNET_SUCCESS, left_of(deadline))) != VNET_SUCCESS) {
        close(fd);
        VNETD_FAIL(fn, st);
        return st;
    }
    *sock_out = fd;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_inherit_socket_from_vnetd(int *sock_out) {
    const char *fn = "vnet_inherit_socket_from_vnetd";
    if (sock_out == nullptr)
        return VNET_BAD_PARAM;
    struct stat st{};
    if (fstat(0, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        logmsgf(ZTLOG_ERROR, fn, "_get_osfhandle() failed");
        *sock_out = -1;
        VNETD_FAIL(fn, VNET_OPEN_FAILED);
        return VNET_OPEN_FAILED;
    }
    *sock_out = 0;
    return VNET_SUCCESS;
}

// ---- local endpoints ----

extern "C" ZTBASE_API int vnet_listen_on_local_port(int backlog, char *port_text, int size,
                                                    int *sock_out) {
    const char *fn = "vnet_listen_on_local_port";
    if (port_text == nullptr || size < 12 || sock_out == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "bad argument: port_text=%p size=%d", port_text, size);
        return VNET_BAD_PARAM;
    }
    *sock_out = -1;
    long wanted = 0;
    if (port_text[0] != '\0' && strcmp(port_text, "0") != 0 &&
        (wanted = parse_ipc(port_text)) < 0) {
        logmsgf(ZTLOG_ERROR, fn, "invalid IPC number %s", port_text);
        return VNET_BAD_PARAM;
    }
    static thread_local std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<long> pick(1024, 0x7fffffffL);
    for (int attempt = 0; attempt < 64; ++attempt) {
        const long n = wanted ? wanted : pick(rng);
        int fd = -1;
        const int e = usock::listen_abstract(ipc_name(n), SOCK_STREAM, backlog > 0 ? backlog : 5, &fd);
        if (e == 0) {
            snprintf(port_text, static_cast<size_t>(size), "%ld", n);
            *sock_out = fd;
            return VNET_SUCCESS;
        }
        if (e != EADDRINUSE || wanted) {
            logmsgf(ZTLOG_ERROR, fn, "bind() failed: %s", strerror(e));
            return e == EADDRINUSE ? VNET_ADDR_IN_USE : VNET_BIND_FAILED;
        }
    }
    logmsgf(ZTLOG_ERROR, fn, "bind() failed: no free IPC number");
    return VNET_ADDR_IN_USE;
}

extern "C" ZTBASE_API int vnet_listen_for_vnetd_ex(int backlog, char *port_text, int size,
                                                   int *sock_out, int) {
    return vnet_listen_on_local_port(backlog, port_text, size, sock_out);
}

extern "C" ZTBASE_API int vnet_listen_for_vnetd(int backlog, char *port_text, int size,
                                                int *sock_out) {
    return vnet_listen_on_local_port(backlog, port_text, size, sock_out);
}

namespace {

bool loopback(const sockaddr_storage &ss) {
    if (ss.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&ss);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (ss.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

} // namespace

extern "C" ZTBASE_API int vnet_verify_local_accept(int sock) {
    const char *fn = "vnet_verify_local_accept";
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&ss), &sl) != 0) {
        logmsgf(ZTLOG_ERROR, fn, "getpeername() failed: %s", strerror(errno));
        return VNET_SOCKET_FAILED;
    }
    if (ss.ss_family == AF_UNIX) {
        // A local socket has a peer on this host by construction; the
        // credentials show the kernel still knows it.
        pid_t pid = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        if (usock::peer_credentials(sock, &pid, &uid, &gid) == 0)
            return VNET_SUCCESS;
        logmsgf(ZTLOG_ERROR, fn, "peer is not localhost");
        return VNET_ACCEPT_FAILED;
    }
    char text[INET6_ADDRSTRLEN] = "";
    int port = 0;
    if (ss.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    }
    // Loopback, or one of this machine's own addresses.
    if (loopback(ss) || is_sockaddr_local(reinterpret_cast<const sockaddr *>(&ss))) {
        logmsgvf(ZTLOG_DEBUG, 5, fn, "[%s:%d] local host peer addr=%s, port=%d", __FILE_NAME__,
                 __LINE__, text, port);
        return VNET_SUCCESS;
    }
    logmsgf(ZTLOG_ERROR, fn, "peer is not localhost");
    logmsgf(ZTLOG_ERROR, fn, "[%s:%d] local host peer addr=%s, port=%d", __FILE_NAME__, __LINE__,
            text, port);
    return VNET_ACCEPT_FAILED;
}

extern "C" ZTBASE_API int vnet_accept_from_vnetd(int listen_sock, int *sock_out, int timeout) {
    const char *fn = "vnet_accept_from_vnetd";
    if (sock_out == nullptr || listen_sock < 0)
        return VNET_BAD_PARAM;
    *sock_out = -1;
    int st = vnet_sock_ready(listen_sock, 1, 0, timeout);
    if (st != VNET_SUCCESS)
        return st;
    const int fd = accept4(listen_sock, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        logmsgf(ZTLOG_ERROR, fn, "accept() failed: %s", strerror(errno));
        return errno == EAGAIN ? VNET_TIMEOUT : VNET_ACCEPT_FAILED;
    }
    if ((st = vnet_verify_local_accept(fd)) != VNET_SUCCESS) {
        close(fd);
        VNETD_FAIL(fn, st);
        return st;
    }
    *sock_out = fd;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_vnetd_accept_and_receive(int listen_sock, const char *hash1,
                                                        int *sock_out, int timeout) {
    const char *fn = "vnet_vnetd_accept_and_receive";
    if (sock_out == nullptr)
        return VNET_BAD_PARAM;
    *sock_out = -1;
    int ipc = -1;
    int st = vnet_accept_from_vnetd(listen_sock, &ipc, timeout);
    if (st == VNET_TIMEOUT) {
        logmsgvf(ZTLOG_DEBUG, 5, fn, "vnet_accept_from_vnetd timedout");
        return VNET_TIMEOUT;
    }
    if (st != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    int got = -1;
    st = vnet_receive_network_socket(ipc, hash1, &got, timeout);
    close(ipc);
    if (st != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    if ((st = vnet_push_status(got, VNET_SUCCESS, timeout)) != VNET_SUCCESS) {
        vnet_closesocket(got);
        VNETD_FAIL(fn, st);
        return st;
    }
    *sock_out = got;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_connect_by_vnetd(const char *ipc, int *sock_out, int timeout) {
    const char *fn = "vnet_connect_by_vnetd";
    if (sock_out == nullptr)
        return VNET_BAD_PARAM;
    *sock_out = -1;
    const long n = parse_ipc(ipc);
    if (n < 0) {
        logmsgf(ZTLOG_ERROR, fn, "invalid IPC = %s", ipc ? ipc : "(null)");
        return VNET_BAD_ARGUMENT;
    }
    int st = connect_local(ipc_name(n), timeout, sock_out);
    if (st != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "connect to IPC %ld failed: %d", n, st);
        VNETD_FAIL(fn, st);
    }
    return st;
}

// ---- hand-over to a child process ----

namespace {

std::string child_endpoint(int pid, int number) {
    return "ztbase-sockets-" + std::to_string(pid) + ":" + std::to_string(number);
}

constexpr int kChildWait = 30;

} // namespace

extern "C" ZTBASE_API int v_getSockets(int pid, int number, int count, int *socks_out) {
    const char *fn = "v_getSockets";
    if (socks_out == nullptr || count < 1 || count > static_cast<int>(usock::kMaxFds))
        return 1;
    for (int i = 0; i < count; ++i)
        socks_out[i] = -1;
    int lfd = -1;
    int e = usock::listen_abstract(child_endpoint(pid, number), SOCK_STREAM, 1, &lfd);
    if (e != 0) {
        logmsgf(ZTLOG_ERROR, fn, "CreateFileMappingA() failed  %08x", e);
        return 1;
    }
    const time_t deadline = time(nullptr) + kChildWait;
    int fd = -1;
    for (;;) {
        int st = vnet_sock_ready_abs(lfd, 1, 0, deadline, nullptr);
        if (st != VNET_SUCCESS) {
            logmsgf(ZTLOG_ERROR, fn, "WaitForSingleObject() returned %s failure", "WAIT_TIMEOUT");
            close(lfd);
            return 1;
        }
        fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // Only our parent may hand us sockets.
        pid_t peer = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        if (usock::peer_credentials(fd, &peer, &uid, &gid) == 0 && peer == getppid())
            break;
        logmsgf(ZTLOG_WARNING, fn, "ignoring endpoint peer %ld", static_cast<long>(peer));
        close(fd);
    }
    close(lfd);
    int rc = 1;
    const int32_t header[2] = {count, 0};
    if (write_exact(fd, header, sizeof header, deadline) == VNET_SUCCESS) {
        int32_t answer[2] = {0, 1};
        int fds[usock::kMaxFds];
        size_t got = 0, nfds = 0;
        if (vnet_sock_ready_abs(fd, 1, 0, deadline, nullptr) == VNET_SUCCESS &&
            usock::recv_with_fds(fd, answer, sizeof answer, &got, fds, usock::kMaxFds, &nfds) == 0 &&
            got > 0) {
            if (got < sizeof answer &&
                read_exact(fd, reinterpret_cast<char *>(answer) + got, sizeof answer - got,
                           deadline) != VNET_SUCCESS)
                answer[1] = 1;
            if (answer[1] != 0)
                logmsgf(ZTLOG_ERROR, fn, "Return code  %08x", answer[1]);
            if (answer[1] == 0 && static_cast<int>(nfds) == count) {
                for (int i = 0; i < count; ++i)
                    socks_out[i] = fds[i];
                rc = 0;
            } else {
                for (size_t i = 0; i < nfds; ++i)
                    close(fds[i]);
            }
        } else {
            logmsgf(ZTLOG_ERROR, fn, "WaitForSingleObject() returned %08x failure", 1);
        }
    }
    const char ack = rc == 0 ? 0 : 1;
    write_exact(fd, &ack, 1, time(nullptr) + 1);
    close(fd);
    return rc;
}

extern "C" ZTBASE_API int v_sendSockets(int pid, int number, pid_t child_process, int count,
                                        const int *socks, int log_level) {
    const char *fn = "v_sendSockets";
    if (socks == nullptr || count < 1 || count > static_cast<int>(usock::kMaxFds))
        return 1;
    const int limit = log_level >= 16 ? 600 : 100;
    int fd = -1;
    for (int waited = 0;; ++waited) {
        if (usock::connect_abstract(child_endpoint(pid, number), SOCK_STREAM, &fd) == 0)
            break;
        if (child_process > 0) {
            int status = 0;
            const pid_t r = waitpid(child_process, &status, WNOHANG);
            if (r == child_process) {
                logmsgf(ZTLOG_ERROR, fn, "BPCD child process exited with the status: %d",
                        WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
                return 1;
            }
            if (r < 0 && errno != ECHILD) {
                logmsgf(ZTLOG_ERROR, fn, "WaitForSingleObject failed with Windows Error Code: %d",
                        errno);
                return 1;
            }
            if (r < 0 && kill(child_process, 0) != 0 && errno == ESRCH) {
                logmsgf(ZTLOG_ERROR, fn, "BPCD child process exited with the status: %d", -1);
                return 1;
            }
        }
        if (waited >= limit) {
            logmsgf(ZTLOG_ERROR, fn, "OpenEventA() failed (err=%d)", ETIMEDOUT);
            return 1;
        }
        sleep(1);
    }
    const time_t deadline = time(nullptr) + kChildWait;
    int rc = 1;
    int32_t header[2] = {0, 0};
    if (read_exact(fd, header, sizeof header, deadline) != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "OpenFileMappingA() failed (err=%d)", EPROTO);
    } else if (header[0] != count) {
        logmsgf(ZTLOG_ERROR, fn, "counts do not equal");
        const int32_t answer[2] = {count, 1};
        write_exact(fd, answer, sizeof answer, deadline);
    } else {
        const int32_t answer[2] = {count, 0};
        const int e = usock::send_with_fds(fd, answer, sizeof answer, socks, count);
        if (e != 0) {
            logmsgf(ZTLOG_ERROR, fn, "WSADuplicateSocketW() failed (err=%d)", e);
        } else {
            for (int i = 0; i < count; ++i)
                logmsgvf(ZTLOG_DEBUG, 5, fn, "WSADuplicateSocket() success on %d", socks[i]);
            char ack = 1;
            if (read_exact(fd, &ack, 1, deadline) != VNET_SUCCESS)
                logmsgf(ZTLOG_ERROR, fn, "WaitForSingleObject() failed (err=%d)", ETIMEDOUT);
            else
                rc = ack == 0 ? 0 : 1;
        }
    }
    close(fd);
    return rc;
}
