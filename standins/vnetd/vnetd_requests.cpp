// The vnetd stand-in's conversation with one client: the handshake, then
// requests until the client disconnects, a request hands the connection
// over, or the client stays silent too long.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <jansson.h>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "vnetd_internal.h"
#include "ztbase/comm.h"
#include "ztbase/vnet_connect.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_vnetd.h"
#include "ztbase/ztconf.h"

extern char **environ;

namespace ztvnetd {
namespace {

const char *kTag = "ztvnetd";
constexpr int kIpcSize = 32;
constexpr int kNameSize = 257;
constexpr int kJsonSize = 10240;
constexpr int kDomainCtxSize = 3072;
constexpr int kMaxRequests = 10000;
constexpr int kForwardLife = 600; // seconds a forward waits for its connection
constexpr int kForwardBeat = 10;  // seconds between "still waiting" statuses

// ---- forwards: a client waits on its own connection (request 10/16) for
// a connection that arrives later with request 3 naming its IPC string ----

struct Forward {
    int port = 0; // the IPC endpoint the connection goes to
    char hash1[VN_HASH_SIZE] = "";
    char hash2[VN_HASH_SIZE] = "";
    bool done = false;
    int status = VNET_TIMEOUT;
};

struct Forwards {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<long, std::shared_ptr<Forward>> by_ipc;
    bool stopping = false;
} g_forwards;

long new_ipc_number() {
    static std::mutex m;
    static std::mt19937 rng{std::random_device{}()};
    std::lock_guard<std::mutex> lock(m);
    return std::uniform_int_distribution<long>(1024, 0x7fffffffL)(rng);
}

// The end of a connection: forgotten by the listener, then closed.
void finish(int *fd) {
    if (*fd >= 0) {
        forget(*fd);
        vnet_closesocket(*fd);
        *fd = -1;
    }
}

struct Conn {
    int fd;
    const Options &o;
    const Peer &peer;
    int version = 0;
};

// Hands the client's connection to the process on the IPC endpoint. On a
// failure before the connection left, the client hears the status.
void hand_over(Conn &c, const char *ipc, const char *hash2) {
    int ipc_sock = -1;
    int st = vnet_connect_by_vnetd(ipc, &ipc_sock, c.o.io_timeout);
    if (st == VNET_SUCCESS) {
        forget(c.fd);
        st = vnet_send_network_socket(ipc_sock, &c.fd, hash2, c.o.io_timeout);
        vnet_closesocket(ipc_sock);
    }
    if (st != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, kTag, "hand-over to IPC %s failed: %d", ipc, st);
        if (c.fd >= 0)
            vnet_push_status(c.fd, st == VNET_CONNECT_REFUSED ? VNET_NO_SERVICE : st, c.o.io_timeout);
    }
    finish(&c.fd);
}

// A plain file (not a link, unless follow_links) of root or this user that
// nobody else may write: what the daemon believes enough to run.
bool trusted_file(const char *path, bool follow_links) {
    struct stat st{};
    if ((follow_links ? stat(path, &st) : lstat(path, &st)) != 0)
        return false;
    return S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) &&
           (st.st_mode & 022) == 0;
}

// A service started for one connection: the registration names a command
// and the file belongs to this user or root and nobody else may write it.
bool start_per_connection(Conn &c, const char *service) {
    char path[4096];
    if (vnet_generate_service_path(service, path, sizeof path) != VNET_SUCCESS)
        return false;
    if (!trusted_file(path, false))
        return false;
    vnet_service_entry *list = nullptr;
    if (vnet_read_service_file(path, &list) != VNET_SUCCESS || list == nullptr ||
        list->icmd == nullptr || list->icmd[0] != '/' ||
        (list->exptime != 0 && list->exptime <= static_cast<unsigned long>(time(nullptr)))) {
        vnet_free_service_list(list);
        return false;
    }
    // The program itself, wherever its links lead, is as trusted as the file naming it.
    if (!trusted_file(list->icmd, true)) {
        logmsgf(ZTLOG_ERROR, kTag, "%s for %s is not a program of root or this user that only its owner may write",
                list->icmd, service);
        vnet_free_service_list(list);
        return false;
    }
    std::vector<char *> argv{list->icmd};
    for (int i = 0; list->args && list->args[i]; ++i)
        argv.push_back(list->args[i]);
    argv.push_back(nullptr);
    // The client hears success before the service takes over the connection.
    bool ok = vnet_push_status(c.fd, VNET_SUCCESS, c.o.io_timeout) == VNET_SUCCESS;
    if (ok) {
        posix_spawn_file_actions_t fa;
        posix_spawnattr_t attr;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, c.fd, 0);
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGCHLD);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETSID);
        pid_t pid = 0;
        const int e = posix_spawn(&pid, list->icmd, &fa, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        if (e != 0)
            logmsgf(ZTLOG_ERROR, kTag, "starting %s failed: %s", list->icmd, strerror(e));
        else
            logmsgf(ZTLOG_INFO, kTag, "started %s (%ld) for %s", list->icmd, static_cast<long>(pid),
                    service);
    }
    vnet_free_service_list(list);
    finish(&c.fd);
    return true;
}

void service_socket(Conn &c) {
    char service[kNameSize];
    if (vnet_pop_string(c.fd, service, sizeof service, c.o.io_timeout) != VNET_SUCCESS)
        return finish(&c.fd);
    logmsgvf(ZTLOG_DEBUG, 5, kTag, "service socket for %s", service);
    forget(c.fd);
    int st = vnet_vnetd_ipc_connect(nullptr, service, 1, &c.fd, c.o.io_timeout);
    if (st == VNET_NO_SERVICE && c.fd >= 0 && start_per_connection(c, service))
        return;
    if (st != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, kTag, "service %s: %d", service, st);
        if (c.fd >= 0)
            vnet_push_status(c.fd, st, c.o.io_timeout);
    }
    finish(&c.fd);
}

void connect_back(Conn &c) {
    char ipc[kIpcSize];
    if (vnet_pop_string(c.fd, ipc, sizeof ipc, c.o.io_timeout) != VNET_SUCCESS)
        return finish(&c.fd);
    std::shared_ptr<Forward> fwd;
    {
        std::lock_guard<std::mutex> lock(g_forwards.mutex);
        char *end = nullptr;
        auto it = g_forwards.by_ipc.find(strtol(ipc, &end, 10));
        if (it != g_forwards.by_ipc.end() && *end == '\0') {
            fwd = it->second;
            g_forwards.by_ipc.erase(it);
        }
    }
    if (fwd) {
        // The forward's client may not have sent its port yet.
        {
            std::unique_lock<std::mutex> lock(g_forwards.mutex);
            g_forwards.changed.wait_for(lock, std::chrono::seconds(c.o.io_timeout), [&] {
                return fwd->port != 0 || fwd->done || g_forwards.stopping;
            });
        }
        if (fwd->port == 0) {
            logmsgf(ZTLOG_ERROR, kTag, "forward %s has no port", ipc);
            vnet_push_string(c.fd, fwd->hash1, c.o.io_timeout);
            vnet_push_status(c.fd, VNET_CONNECT_FAILED, c.o.io_timeout);
            return finish(&c.fd);
        }
        // A forwarded connection: it goes to the forward's port, proven by the
        // forward's hash; its waiter learns the outcome.
        int st = vnet_push_string(c.fd, fwd->hash1, c.o.io_timeout);
        const std::string target = std::to_string(fwd->port);
        if (st == VNET_SUCCESS) {
            int ipc_sock = -1;
            st = vnet_connect_by_vnetd(target.c_str(), &ipc_sock, c.o.io_timeout);
            if (st == VNET_SUCCESS) {
                forget(c.fd);
                st = vnet_send_network_socket(ipc_sock, &c.fd, fwd->hash2, c.o.io_timeout);
                vnet_closesocket(ipc_sock);
            }
            if (st != VNET_SUCCESS && c.fd >= 0)
                vnet_push_status(c.fd, st, c.o.io_timeout);
        }
        finish(&c.fd);
        std::lock_guard<std::mutex> lock(g_forwards.mutex);
        fwd->done = true;
        fwd->status = st;
        g_forwards.changed.notify_all();
        return;
    }
    char hash1[VN_HASH_SIZE], hash2[VN_HASH_SIZE];
    if (vnet_generate_hashes(c.fd, hash1, sizeof hash1, hash2, sizeof hash2) != VNET_SUCCESS ||
        vnet_push_string(c.fd, hash1, c.o.io_timeout) != VNET_SUCCESS)
        return finish(&c.fd);
    hand_over(c, ipc, hash2);
}

void forward(Conn &c, bool with_user) {
    char user[kNameSize] = "";
    if (with_user && vnet_pop_string(c.fd, user, sizeof user, c.o.io_timeout) != VNET_SUCCESS)
        return finish(&c.fd);
    auto fwd = std::make_shared<Forward>();
    const long number = new_ipc_number();
    const std::string ipc = std::to_string(number);
    if (vnet_generate_hashes(c.fd, fwd->hash1, VN_HASH_SIZE, fwd->hash2, VN_HASH_SIZE) !=
        VNET_SUCCESS)
        return finish(&c.fd);
    // Known before the client hears the IPC string: the connection to forward
    // may arrive as soon as it does, and then waits for the port.
    {
        std::lock_guard<std::mutex> lock(g_forwards.mutex);
        if (g_forwards.stopping)
            return finish(&c.fd);
        g_forwards.by_ipc[number] = fwd;
    }
    unsigned long port = 0;
    if (vnet_push_string(c.fd, ipc.c_str(), c.o.io_timeout) != VNET_SUCCESS ||
        vnet_push_string(c.fd, fwd->hash1, c.o.io_timeout) != VNET_SUCCESS ||
        vnet_pop_unsigned(c.fd, &port, c.o.io_timeout) != VNET_SUCCESS || port == 0 ||
        port > 0x7fffffffUL) {
        std::lock_guard<std::mutex> lock(g_forwards.mutex);
        g_forwards.by_ipc.erase(number);
        fwd->done = true;
        g_forwards.changed.notify_all();
        return finish(&c.fd);
    }
    // The wait has its own life, each status beat its io_timeout.
    set_deadline(c.fd, kForwardLife + kForwardBeat + 2 * c.o.io_timeout);
    std::unique_lock<std::mutex> lock(g_forwards.mutex);
    fwd->port = static_cast<int>(port);
    g_forwards.changed.notify_all();
    if (g_forwards.stopping) {
        g_forwards.by_ipc.erase(number);
        lock.unlock();
        return finish(&c.fd);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kForwardLife);
    bool alive = true;
    while (!fwd->done && !g_forwards.stopping && alive && std::chrono::steady_clock::now() < end) {
        // The waiter says nothing more: any byte or its close ends the wait.
        char byte;
        const ssize_t peek = recv(c.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peek == 0 || (peek < 0 && errno != EAGAIN) || peek > 0)
            break;
        g_forwards.changed.wait_for(lock, std::chrono::seconds(kForwardBeat));
        if (fwd->done || g_forwards.stopping)
            break;
        lock.unlock();
        alive = vnet_push_status(c.fd, VNET_TIMEOUT, c.o.io_timeout) == VNET_SUCCESS;
        lock.lock();
    }
    g_forwards.by_ipc.erase(number);
    const int status = fwd->done ? fwd->status : VNET_TIMEOUT;
    lock.unlock();
    if (alive && (fwd->done || g_forwards.stopping))
        vnet_push_status(c.fd, status, c.o.io_timeout);
    finish(&c.fd);
}

// ---- answers from the configuration ----

void security_info(Conn &c) {
    if (vnet_push_status(c.fd, VNET_SUCCESS, c.o.io_timeout) != VNET_SUCCESS)
        return finish(&c.fd);
    ztconf_info_t *info = nullptr;
    ztconf_get_info(&info);
    const int t = c.o.io_timeout;
    for (int items = 0; items < 16; ++items) {
        char item[kNameSize];
        if (vnet_pop_string(c.fd, item, sizeof item, t) != VNET_SUCCESS)
            return finish(&c.fd);
        const std::string name = item;
        bool ok = true;
        if (name.empty())
            return;
        if (name == "ni_ess_available") {
            continue;
        } else if (name == "ni_authorization_service") {
            const ztconf_authorization_service_t *a = info ? info->authorization_service : nullptr;
            ok = vnet_push_string(c.fd, a && a->host ? a->host : "", t) == VNET_SUCCESS &&
                 vnet_push_signed(c.fd, a ? a->port : 0, t) == VNET_SUCCESS &&
                 vnet_push_string(c.fd, "", t) == VNET_SUCCESS;
        } else if (name == "ni_authentication_domains") {
            for (auto *d = info ? info->authentication_domain : nullptr; ok && d; d = d->next)
                ok = d->broker && d->broker[0] &&
                     vnet_push_string(c.fd, d->broker, t) == VNET_SUCCESS &&
                     vnet_push_signed(c.fd, d->port, t) == VNET_SUCCESS &&
                     vnet_push_string(c.fd, d->domain ? d->domain : "", t) == VNET_SUCCESS &&
                     vnet_push_string(c.fd, d->comment ? d->comment : "", t) == VNET_SUCCESS &&
                     vnet_push_signed(c.fd, d->type, t) == VNET_SUCCESS;
            ok = ok && vnet_push_string(c.fd, "", t) == VNET_SUCCESS;
        } else if (name == "ni_hxss_networks") {
            for (auto *n = info ? info->hxss_network : nullptr; ok && n; n = n->next)
                ok = n->host && n->host[0] && vnet_push_string(c.fd, n->host, t) == VNET_SUCCESS &&
                     vnet_push_signed(c.fd, n->mode, t) == VNET_SUCCESS;
            ok = ok && vnet_push_string(c.fd, "", t) == VNET_SUCCESS;
        } else if (name == "ni_use_at") {
            ok = vnet_push_signed(c.fd, info ? info->use_authentication : 0, t) == VNET_SUCCESS;
        } else {
            logmsgf(ZTLOG_WARNING, kTag, "unknown security item %s", item);
            ok = false;
        }
        if (!ok)
            return finish(&c.fd);
    }
    finish(&c.fd); // more items than there are
}

std::mutex g_domain_mutex;
std::string g_domain_ctx = "{}";

void reply_json_status(Conn &c, int status) {
    char text[64];
    snprintf(text, sizeof text, "{\"status\": %d}", status);
    int err = 0;
    if (ts_put_string_abs(c.fd, text, time(nullptr) + c.o.io_timeout, &err) < 0)
        finish(&c.fd);
}

void indirect_handoff(Conn &c) {
    std::string text(kJsonSize, '\0');
    int err = 0;
    if (ts_get_string(c.fd, text.data(), kJsonSize, c.o.io_timeout, &err) < 0)
        return finish(&c.fd);
    json_t *json = json_loads(text.c_str(), 0, nullptr);
    const bool ok = json_is_object(json) && json_is_string(json_object_get(json, "owner_sid")) &&
                    json_is_string(json_object_get(json, "descriptor")) &&
                    json_is_integer(json_object_get(json, "integrity"));
    json_decref(json);
    reply_json_status(c, ok ? VNET_SUCCESS : VNET_BAD_ARGUMENT);
}

// A report as JSON text: bytes that are not UTF-8 become "?".
json_t *report_text(const std::string &text) {
    if (json_t *j = json_stringn(text.data(), text.size()))
        return j;
    std::string plain = text;
    for (char &ch : plain)
        if (static_cast<unsigned char>(ch) >= 0x80)
            ch = '?';
    return json_stringn(plain.data(), plain.size());
}

// The answer to an indirect connect: its status, the remote vnetd version
// when the connect ran, the connection report and the daemon's own reason
// when it refused. A report too long for the caller's reply buffer is cut.
// False when the connection failed.
bool reply_indirect(Conn &c, int status, const int *version, const char *report,
                    const char *error) {
    std::string msg = report != nullptr ? report : "";
    for (;;) {
        json_t *j = json_object();
        json_object_set_new(j, "status", json_integer(status));
        if (version != nullptr)
            json_object_set_new(j, "vnetd_version", json_integer(*version));
        if (!msg.empty())
            json_object_set_new(j, "tss_connect_error_message", report_text(msg));
        if (error != nullptr)
            json_object_set_new(j, "error", json_string(error));
        char *text = json_dumps(j, JSON_COMPACT);
        json_decref(j);
        if (text == nullptr)
            return false;
        const size_t len = strlen(text);
        if (len < static_cast<size_t>(kJsonSize) || msg.empty()) {
            const bool ok = len < static_cast<size_t>(kJsonSize) &&
                            vnet_push_string(c.fd, text, c.o.io_timeout) == VNET_SUCCESS;
            free(text);
            return ok;
        }
        free(text);
        // Shorter by the excess and a margin for escapes, at a character's start.
        size_t keep = msg.size() > len - kJsonSize + 64 ? msg.size() - (len - kJsonSize + 64) : 0;
        while (keep > 0 && (static_cast<unsigned char>(msg[keep]) & 0xc0) == 0x80)
            --keep;
        msg = keep > 0 ? msg.substr(0, keep) + "..." : "";
    }
}

// A caller that is not root could not bind a reserved source port itself,
// and the daemon does not do it for it: its legacy connects use ordinary
// ports (an absent kind in an options record means reserved).
void no_reserved_port_for(const Peer &peer, json_t *params) {
    json_t *options = json_object_get(params, "connect_options");
    if (peer.uid == 0 || !json_is_object(options))
        return;
    const json_t *kind = json_object_get(options, "reserved_port_kind");
    if (kind == nullptr ||
        (json_is_integer(kind) && json_integer_value(kind) == ZTCONF_RESERVED_PORT_KIND_LEGACY)) {
        logmsgf(ZTLOG_INFO, "indirect_connect", "no reserved source port for user %ld",
                static_cast<long>(peer.uid));
        json_object_set_new(options, "reserved_port_kind",
                            json_integer(ZTCONF_RESERVED_PORT_KIND_NONE));
    }
}

// The daemon spends at most the configured longest timeout on a caller's
// connect, so that callers asking for hours cannot hold its slots.
void bounded_connect_time(json_t *params) {
    const json_t *t = json_object_get(params, "overide_connect_timeout");
    const int most = vnet_get_max_timeout();
    long long want = json_is_integer(t) ? json_integer_value(t) : 0;
    if (want <= 0) {
        // None given: the configured one would apply.
        ztconf_info_t *info = nullptr;
        want = ztconf_get_info(&info) == 0 && info != nullptr && info->client_connect_timeout > 0
                   ? info->client_connect_timeout
                   : 300;
    }
    if (most > 0 && want > most) {
        logmsgf(ZTLOG_INFO, "indirect_connect", "connect timeout %lld cut to %d s", want, most);
        json_object_set_new(params, "overide_connect_timeout", json_integer(most));
    }
}

// Indirect connects running for each user: a user may hold only a share of
// the daemon's slots with them, since each can last the longest timeout.
struct IndirectShare {
    std::mutex mutex;
    std::map<uid_t, int> running;
} g_indirect;

class IndirectTurn {
  public:
    IndirectTurn(uid_t uid, int most) : uid_(uid) {
        std::lock_guard<std::mutex> lock(g_indirect.mutex);
        int &n = g_indirect.running[uid];
        granted_ = n < most;
        if (granted_)
            ++n;
        else if (n == 0)
            g_indirect.running.erase(uid);
    }
    ~IndirectTurn() {
        if (!granted_)
            return;
        std::lock_guard<std::mutex> lock(g_indirect.mutex);
        if (--g_indirect.running[uid_] == 0)
            g_indirect.running.erase(uid_);
    }
    IndirectTurn(const IndirectTurn &) = delete;
    IndirectTurn &operator=(const IndirectTurn &) = delete;
    bool granted() const { return granted_; }

  private:
    uid_t uid_;
    bool granted_ = false;
};

// Request 17: a process of this host has the daemon connect on its behalf,
// with its own connect parameters, and gets the connected socket back over
// this same connection, which only a local endpoint can carry. Any local
// user may ask: it is a connect the caller could make itself (see
// no_reserved_port_for). The
// conversation goes on after the answer. False when it cannot.
bool indirect_connect(Conn &c) {
    const char *tag = "indirect_connect";
    std::string text(kJsonSize, '\0');
    const int rd = vnet_pop_string(c.fd, text.data(), kJsonSize, c.o.io_timeout);
    if (rd != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, tag, "reading the connect parameters failed: %d", rd);
        // Too long: the rest of it is still on the way, so the end is here.
        if (rd == VNET_BAD_STRING)
            reply_indirect(c, VNET_BAD_STRING, nullptr, nullptr,
                           "connect parameters longer than 10240 bytes");
        finish(&c.fd);
        return false;
    }
    if (c.peer.kind != Peer::kLocal) {
        logmsgf(ZTLOG_WARNING, tag,
                "indirect connect asked over %s: only the local endpoint can carry the socket back",
                c.peer.kind == Peer::kExchange ? "the port exchange" : "TCP");
        return reply_indirect(c, VNET_NOT_AVAILABLE, nullptr, nullptr,
                              "indirect connect is only served on the local endpoint");
    }
    logmsgf(ZTLOG_INFO, tag, "for process %ld, user %ld: %s", static_cast<long>(c.peer.pid),
            static_cast<long>(c.peer.uid), text.c_str());
    const IndirectTurn turn(c.peer.uid, std::max(1, c.o.max_connections / 8));
    if (!turn.granted()) {
        logmsgf(ZTLOG_WARNING, tag, "user %ld has %d indirect connects running already",
                static_cast<long>(c.peer.uid), std::max(1, c.o.max_connections / 8));
        return reply_indirect(c, VNET_NOT_AVAILABLE, nullptr, nullptr,
                              "too many indirect connects of this user at once");
    }
    json_error_t err;
    json_t *params = json_loads(text.c_str(), 0, &err);
    if (params == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "json_loads(%s, ...) failed: %d %s", text.c_str(), err.line,
                err.text);
        return reply_indirect(c, VNET_BAD_STRING, nullptr, nullptr, "connect parameters are not JSON");
    }
    no_reserved_port_for(c.peer, params);
    if (json_is_object(params))
        bounded_connect_time(params);
    // The connect is bounded by its own timeout (the caller's, else the
    // configured one), whatever the client does meanwhile.
    set_deadline(c.fd, -1);
    int sock = -1, version = 0;
    char *report = nullptr;
    int status = vnet_connect_for_caller(params, &sock, &version, &report);
    json_decref(params);
    set_deadline(c.fd, c.o.io_timeout);
    if (status == VNET_SUCCESS && sock < 0)
        status = VNET_SOCKET_FAILED;
    if (status != VNET_SUCCESS)
        logmsgf(ZTLOG_ERROR, tag, "connect for process %ld failed: %d", static_cast<long>(c.peer.pid),
                status);
    const bool ok = reply_indirect(c, status, &version, report, nullptr);
    free(report);
    if (status != VNET_SUCCESS || !ok) {
        if (sock >= 0)
            vnet_closesocket(sock);
        if (!ok)
            finish(&c.fd);
        return ok;
    }
    // No hash to present: an empty one proves a receiver that expects none.
    const int st = vnet_send_network_socket(c.fd, &sock, "", c.o.io_timeout);
    if (sock >= 0)
        vnet_closesocket(sock);
    if (st != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, tag, "handing the socket to process %ld failed: %d",
                static_cast<long>(c.peer.pid), st);
        finish(&c.fd);
        return false;
    }
    return true;
}

// One request; false when the conversation is over.
bool request(Conn &c) {
    unsigned long code = 0;
    set_deadline(c.fd, c.o.idle_timeout, true);
    if (vnet_pop_unsigned(c.fd, &code, c.o.idle_timeout) != VNET_SUCCESS)
        return false;
    const int t = c.o.io_timeout;
    set_deadline(c.fd, t);
    logmsgvf(ZTLOG_DEBUG, 5, kTag, "request %lu", code);
    switch (code) {
    case VN_REQUEST_NOOP:
        return vnet_push_status(c.fd, VNET_SUCCESS, t) == VNET_SUCCESS;
    case VN_REQUEST_DISCONNECT:
        vnet_push_status(c.fd, VNET_SUCCESS, t);
        return false;
    case VN_REQUEST_DAEMON_SOCKET: {
        char ipc[kIpcSize];
        if (vnet_pop_string(c.fd, ipc, sizeof ipc, t) == VNET_SUCCESS)
            hand_over(c, ipc, "");
        return false;
    }
    case VN_REQUEST_CONNECT_BACK_SOCKET:
        connect_back(c);
        return false;
    case VN_REQUEST_SERVICE_SOCKET:
        service_socket(c);
        return false;
    case VN_REQUEST_VERSION:
        return vnet_push_signed(c.fd, VN_PRODUCT_VERSION, t) == VNET_SUCCESS;
    case VN_REQUEST_GET_SECURITY_INFO:
        security_info(c);
        return c.fd >= 0;
    case VN_REQUEST_CONNECT_FORWARD_SOCKET:
    case VN_REQUEST_CONNECT_FORWARD_SOCKET_EX:
        forward(c, code == VN_REQUEST_CONNECT_FORWARD_SOCKET_EX);
        return false;
    case VN_REQUEST_PBX_C_SUPPORTED:
        return vnet_push_signed(c.fd, exchange_registered() ? 1 : 0, t) == VNET_SUCCESS &&
               vnet_push_status(c.fd, VNET_SUCCESS, t) == VNET_SUCCESS;
    case VN_REQUEST_MASTER_NAME: {
        ztconf_info_t *info = nullptr;
        ztconf_get_info(&info);
        const char *master = info && info->server && info->server->name ? info->server->name : "";
        return vnet_push_string(c.fd, master, t) == VNET_SUCCESS;
    }
    case VN_REQUEST_INDIRECT_CONNECT:
        return indirect_connect(c);
    case VN_REQUEST_INDIRECT_HANDOFF:
        indirect_handoff(c);
        return c.fd >= 0;
    case VN_REQUEST_GET_DOMAIN_CTX: {
        std::string ctx;
        {
            std::lock_guard<std::mutex> lock(g_domain_mutex);
            ctx = g_domain_ctx;
        }
        return vnet_push_string(c.fd, ctx.c_str(), t) == VNET_SUCCESS &&
               vnet_push_status(c.fd, VNET_SUCCESS, t) == VNET_SUCCESS;
    }
    case VN_REQUEST_SET_DOMAIN_CTX: {
        std::string text(kDomainCtxSize, '\0');
        if (vnet_pop_string(c.fd, text.data(), kDomainCtxSize, t) != VNET_SUCCESS)
            return false;
        json_t *json = json_loads(text.c_str(), 0, nullptr);
        const bool ok = json_is_object(json);
        json_decref(json);
        if (ok) {
            std::lock_guard<std::mutex> lock(g_domain_mutex);
            g_domain_ctx = text.c_str();
        }
        return vnet_push_status(c.fd, ok ? VNET_SUCCESS : VNET_BAD_STRING, t) == VNET_SUCCESS;
    }
    default:
        logmsgf(ZTLOG_WARNING, kTag, "unknown request %lu", code);
        vnet_push_status(c.fd, VNET_BAD_REQUEST, t);
        return false;
    }
}

} // namespace

void stop_waiting() {
    std::lock_guard<std::mutex> lock(g_forwards.mutex);
    g_forwards.stopping = true;
    g_forwards.changed.notify_all();
}

void serve_connection(int fd, const Options &options, const Peer &peer) {
    Conn c{fd, options, peer};
    long highest = 0;
    if (vnet_pop_signed(c.fd, &highest, options.io_timeout) == VNET_SUCCESS) {
        // Offer 13, or the client's own highest when it is older.
        const long offer = highest >= VN_VERSION_HIGHEST ? VN_VERSION_HIGHEST
                           : highest >= 1              ? highest
                                                       : -1;
        long agreed = -1;
        if (vnet_push_signed(c.fd, offer, options.io_timeout) == VNET_SUCCESS && offer != -1 &&
            vnet_pop_signed(c.fd, &agreed, options.io_timeout) == VNET_SUCCESS && agreed == offer) {
            c.version = static_cast<int>(agreed);
            for (int n = 0; n < kMaxRequests && c.fd >= 0 && request(c); ++n) {
            }
        }
    }
    finish(&c.fd);
}

} // namespace ztvnetd
