// The vnetd stand-in behind this host's port exchange: registered under
// "vnetd", "vnetd-no-auth" and "vnetd-auth-only", it serves the connections
// the exchange switches to it like its own TCP clients. One thread keeps the
// registrations: it registers while the exchange is there, re-tries every few
// seconds while it is not, and starts over when it goes away.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/unix_sockets.h"
#include "vnetd_internal.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_pbx.h"
#include "ztbase/vnet_vnetd.h"

namespace ztvnetd {
namespace {

const char *kTag = "ztvnetd_exchange";
constexpr int kRetrySeconds = 3;
constexpr int kMostRetrySeconds = 60; // when the exchange is there but refuses
const char *const kExtensions[] = {"vnetd", "vnetd-no-auth", "vnetd-auth-only"};
constexpr int kCount = 3;
constexpr int kNoAuth = 1; // peers of this host only

struct Registration {
    vnet_pbx_handle handle = nullptr;
    int sock = -1; // readable when a connection waits
};

struct Exchange {
    std::mutex mutex; // the handles' closing against stop()'s shutdowns
    Registration regs[kCount];
    std::atomic<bool> registered{false};
    int wake[2] = {-1, -1};
    std::thread thread;
} g_exchange;

// The exchange's port, by the rule its clients use.
int exchange_port() {
    const int over = getoverridePORT("halvane_pbx");
    if (over > 0 && over < 65536)
        return over;
    int port = 0;
    return vnet_cached_get_service_port("halvane_pbx", &port) == VNET_SUCCESS && port > 0 &&
                   port < 65536
               ? port
               : VN_PBX_DEFAULT_PORT;
}

// Whether an exchange listens for servers on this host: a quiet look before
// registering, so that an absent exchange costs no error lines every few
// seconds.
bool exchange_present() {
    const std::string name = "ztpbx-" + std::to_string(exchange_port());
    int fd = -1;
    if (ztbase::usock::connect_abstract(name, SOCK_SEQPACKET, &fd) != 0)
        return false;
    close(fd);
    return true;
}

void drop_all() {
    std::lock_guard<std::mutex> lock(g_exchange.mutex);
    g_exchange.registered = false;
    for (Registration &r : g_exchange.regs) {
        vnet_pbxClose(&r.handle, 0);
        r.sock = -1;
    }
}

bool register_all() {
    for (int i = 0; i < kCount; ++i) {
        Registration &r = g_exchange.regs[i];
        sockaddr_storage *alt = nullptr;
        int count = 0;
        vnet_pbx_handle h = nullptr;
        int sock = -1;
        const int st = vnet_registerPBXServer(&h, &sock, kExtensions[i], &alt, &count);
        free(alt);
        if (st != VNET_SUCCESS) {
            logmsgf(ZTLOG_WARNING, kTag, "registering %s with the port exchange failed: %d",
                    kExtensions[i], st);
            drop_all();
            return false;
        }
        std::lock_guard<std::mutex> lock(g_exchange.mutex);
        r.handle = h;
        r.sock = sock;
    }
    g_exchange.registered = true;
    logmsgf(ZTLOG_INFO, kTag, "registered with the port exchange on port %d", exchange_port());
    return true;
}

// Takes the connection waiting on registration i.
void take(int i, const Options &options) {
    int sock = -1;
    const int st = vnet_pbxAcceptSocket(&g_exchange.regs[i].handle, &sock, 0, nullptr, nullptr);
    if (st != VNET_SUCCESS) {
        logmsgf(ZTLOG_WARNING, kTag, "the port exchange went away (%s: %d); registering again",
                kExtensions[i], st);
        drop_all();
        return;
    }
    if (i == kNoAuth && vnet_verify_local_accept(sock) != VNET_SUCCESS) {
        logmsgf(ZTLOG_WARNING, kTag, "%s: a peer of another host refused", kExtensions[i]);
        close(sock);
        return;
    }
    const int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Peer peer;
    peer.kind = Peer::kExchange;
    admit(sock, options, peer);
}

void keep_registered(Options options) {
    bool initialised = false;
    bool said_absent = false;
    int retry = kRetrySeconds;
    for (;;) {
        if (!g_exchange.registered) {
            if (!exchange_present()) {
                if (!said_absent)
                    logmsgf(ZTLOG_INFO, kTag, "no port exchange on port %d yet", exchange_port());
                said_absent = true;
                retry = kRetrySeconds;
            } else {
                if (!initialised)
                    initialised = vnet_pbxInitialize() == VNET_SUCCESS;
                if (initialised && register_all()) {
                    said_absent = false;
                    retry = kRetrySeconds;
                } else {
                    // Refused (another vnetd holds the names, say): ask less often.
                    retry = std::min(2 * retry, kMostRetrySeconds);
                }
            }
        }
        pollfd p[1 + kCount];
        p[0] = {g_exchange.wake[0], POLLIN, 0};
        int n = 1;
        if (g_exchange.registered)
            for (const Registration &r : g_exchange.regs)
                p[n++] = {r.sock, POLLIN, 0};
        if (poll(p, n, g_exchange.registered ? -1 : retry * 1000) < 0 && errno != EINTR)
            break;
        if (p[0].revents)
            break;
        for (int i = 1; i < n && g_exchange.registered; ++i)
            if (p[i].revents)
                take(i - 1, options);
    }
    drop_all();
    if (initialised)
        vnet_pbxUnInitialize();
}

} // namespace

void start_exchange(const Options &options) {
    if (!options.pbx)
        return;
    if (pipe2(g_exchange.wake, O_CLOEXEC) != 0) {
        logmsgf(ZTLOG_ERROR, kTag, "pipe2() failed: %s", strerror(errno));
        return;
    }
    try {
        g_exchange.thread = std::thread(keep_registered, options);
    } catch (const std::exception &e) {
        logmsgf(ZTLOG_ERROR, kTag, "no thread for the port exchange: %s", e.what());
    }
}

void stop_exchange() {
    if (!g_exchange.thread.joinable())
        return;
    {
        // A take() waiting for a hand-over that never comes wakes too.
        std::lock_guard<std::mutex> lock(g_exchange.mutex);
        for (const Registration &r : g_exchange.regs)
            if (r.sock >= 0)
                shutdown(r.sock, SHUT_RDWR);
    }
    const char byte = 0;
    if (write(g_exchange.wake[1], &byte, 1) != 1)
        logmsgf(ZTLOG_ERROR, kTag, "cannot wake the exchange thread: %s", strerror(errno));
    g_exchange.thread.join();
    close(g_exchange.wake[0]);
    close(g_exchange.wake[1]);
}

bool exchange_registered() { return g_exchange.registered; }

} // namespace ztvnetd
