// The connect engine: every record's non-blocking connect multiplexed with
// poll in the calling thread, each kind's handshake once connected, the first
// winner kept and every other socket closed; the indirect connect through the
// local vnetd; the connection report and the thread record.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/tss.h"
#include "vnet/vnet_connect_internal.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_vnetd.h"

namespace zt::vnet::connect {
namespace {

#define HERE vnet_log_basename(__FILE__), __LINE__
const char kAsync[] = "async_connect";

int64_t now() {
    return seams().now_ms();
}

bool done(const Record &r) {
    return r.state == kSuccess || r.state == kFailed;
}

void fail(Record &r, int status, int syserr, const char *why) {
    close_record(r);
    r.status = status;
    if (syserr != 0)
        r.syserr = syserr;
    set_state(r, kFailed);
    logmsgvf(ZTLOG_DEBUG, 5, kAsync, "%s: %s %s %s", why, r.host.c_str(), r.service.c_str(),
             kind_text(r.kind));
}

// The address a record's socket connects to: the local vnetd for the
// resilient kind, else the remote address.
socklen_t target_of(const Record &r, sockaddr_storage *out) {
    if (r.kind != kZtrntd) {
        *out = r.remote;
        return r.remote_len;
    }
    int port = VN_VNETD_DEFAULT_PORT;
    vnet_get_port(&port);
    memset(out, 0, sizeof *out);
    if (r.remote.ss_family == AF_INET6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(out);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        return sizeof *a;
    }
    auto *a = reinterpret_cast<sockaddr_in *>(out);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof *a;
}

// The TCP leg is up: blocking again, keep-alive, then the kind's handshake.
void do_service(Record &r, const Request &req, const Settings &set, const char *how) {
    vnet_set_blocking(r.sock);
    int on = 1;
    if (setsockopt(r.sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        logmsgf(ZTLOG_WARNING, kAsync, "setsockopt SO_KEEPALIVE failed: %d", errno);
    socklen_t len = sizeof r.local;
    if (getsockname(r.sock, reinterpret_cast<sockaddr *>(&r.local), &len) == 0)
        r.local_len = len;
    logmsgvf(ZTLOG_DEBUG, 5, kAsync, "connected (%s): %s %s %s", how, r.host.c_str(),
             r.service.c_str(), kind_text(r.kind));
    // A handshake's small messages go out at once (else each second one waits
    // for the peer's delayed acknowledgement); the service's connection then
    // behaves as a direct one.
    const bool talks = r.kind != kLegacy;
    int flag = 1;
    if (talks)
        setsockopt(r.sock, IPPROTO_TCP, TCP_NODELAY, &flag, sizeof flag);
    const int st = seams().handshake[r.kind](r, req, set);
    if (talks && r.sock >= 0) {
        flag = 0;
        setsockopt(r.sock, IPPROTO_TCP, TCP_NODELAY, &flag, sizeof flag);
    }
    if (st == 0) {
        r.status = 0;
        r.syserr = 0;
        set_state(r, kSuccess);
        char line[512];
        logmsgvf(ZTLOG_DEBUG, 4, kAsync, "%s",
                 vnet_logconnections(r.sock, r.log_name.empty() ? r.service.c_str()
                                                                : r.log_name.c_str(),
                                     0, line, sizeof line));
        return;
    }
    // A handshake that outlived the connect timeout ends the record as such.
    if (time_left(r) == 0) {
        fail(r, VNET_CONNECT_TIMEOUT, ETIMEDOUT, "ran out of time during the handshake");
        return;
    }
    if (!done(r) && r.state != kRetry)
        fail(r, st, 0, "handshake failed");
}

void start_record(Record &r, const Request &req, const Settings &set) {
    int sock = -1;
    // Non-blocking from the start: one system call less per attempt.
    int st = bind_source_socket(r.port_low, r.port_high, r.remote.ss_family,
                                r.bind_local ? reinterpret_cast<sockaddr *>(&r.local) : nullptr,
                                r.random_ports ? 0 : 1, SOCK_NONBLOCK, &sock);
    if (st != 0) {
        logmsgf(ZTLOG_ERROR, kAsync, "vnet_bind_to_port_addr_extra_ipi failed: %d", st);
        fail(r, st, 0, "no source socket");
        return;
    }
    r.sock = sock;
    sockaddr_storage to;
    socklen_t to_len = target_of(r, &to);
    if (::connect(sock, reinterpret_cast<sockaddr *>(&to), to_len) == 0) {
        do_service(r, req, set, "immediate");
        return;
    }
    const int err = errno;
    if (err == EINPROGRESS || err == EAGAIN || err == EWOULDBLOCK) {
        set_state(r, kStarted);
        logmsgvf(ZTLOG_DEBUG, 5, kAsync, "connect in progress: %s %s %s", r.host.c_str(),
                 r.service.c_str(), kind_text(r.kind));
        return;
    }
    logmsgvf(ZTLOG_DEBUG, 5, kAsync, "connect failed: %d %s (%s %s)", err, strerror(err),
             r.host.c_str(), r.service.c_str());
    if ((err == EADDRINUSE || err == EADDRNOTAVAIL) && !r.random_ports &&
        r.port_high > r.port_low && r.port_low > 0) {
        --r.port_high;
        logmsgvf(ZTLOG_DEBUG, 5, kAsync, "new max port %d", r.port_high);
    }
    record_failure(r, err, VNET_CONNECT_FAILED);
}

// A started connect has an answer.
void complete(Record &r, const Request &req, const Settings &set) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(r.sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        const int e = errno;
        logmsgf(ZTLOG_ERROR, kAsync, "getsockopt SO_ERROR failed: %d", e);
        record_failure(r, e, VNET_CONNECT_FAILED);
        return;
    }
    if (err != 0) {
        logmsgvf(ZTLOG_DEBUG, 5, kAsync, "getsockopt SO_ERROR returned %d %s (%s %s %s)", err,
                 strerror(err), r.host.c_str(), r.service.c_str(), kind_text(r.kind));
        record_failure(r, err, VNET_CONNECT_FAILED);
        return;
    }
    do_service(r, req, set, "async");
}

// The sweep before each round: timeouts, used-up budgets, and the earliest
// retry time of the records that wait.
void sweep(std::vector<Record> &recs, int64_t t, int64_t *earliest_retry) {
    *earliest_retry = INT64_MAX;
    for (Record &r : recs) {
        if (done(r))
            continue;
        if (t - r.start_ms >= int64_t(r.timeout) * 1000) {
            // The last system error says why the time ran out, when there was one.
            fail(r, VNET_CONNECT_TIMEOUT, r.syserr != 0 ? r.syserr : ETIMEDOUT,
                 "ran out of time before connect");
            continue;
        }
        if (r.state == kStarted)
            continue;
        // A record waiting for its retry time is judged when the time comes.
        if (r.state == kRetry && r.next_retry_ms > t) {
            *earliest_retry = std::min(*earliest_retry, r.next_retry_ms);
            continue;
        }
        if (r.interval > r.interval_ceiling) {
            fail(r, VNET_CONNECT_REFUSED, 0, "out of retries");
            continue;
        }
        if (r.port_budget <= 0) {
            fail(r, VNET_ADDR_IN_USE, 0, "out of source ports");
            continue;
        }
    }
}

// Records of a kind still trying now. One waiting to retry a refused
// connection is not worth waiting for: it would hold a winner back for its
// whole retry schedule.
bool succeeded(const std::vector<Record> &recs, int kind) {
    for (const Record &r : recs)
        if (r.kind == kind && r.state == kSuccess)
            return true;
    return false;
}

bool pending(const std::vector<Record> &recs, int kind) {
    for (const Record &r : recs)
        if (r.kind == kind && (r.state == kUnused || r.state == kStarted))
            return true;
    return false;
}

// The winner, once there is one. A vnetd record that was not told to stop
// waiting for the port exchange lets pending exchange records finish first.
int pick_winner(std::vector<Record> &recs) {
    int vnetd = -1;
    for (size_t i = 0; i < recs.size(); ++i) {
        if (recs[i].state != kSuccess)
            continue;
        if (recs[i].kind == kVnetd && !recs[i].no_wait_for_pbx && pending(recs, kPbx)) {
            vnetd = static_cast<int>(i);
            continue;
        }
        // The pending records of the other kind lose; a vnetd winner that
        // need not wait for the exchange says so in their status.
        for (Record &r : recs)
            if (!done(r) &&
                (recs[i].kind == kPbx ? r.kind != kPbx : recs[i].kind == kVnetd && r.kind == kPbx))
                fail(r, recs[i].kind == kPbx ? VNET_CONNECT_FAILED : VNET_BAD_VERSION, 0,
                     "another path won");
        return static_cast<int>(i);
    }
    (void)vnetd;
    return -1;
}

// The status of a connect that every record lost: the records' own when
// they agree, else CONNECT_FAILED. A record that ran out of time retrying a
// refused connection counts as refused: the host answered every time.
int overall_failure(const std::vector<Record> &recs) {
    int status = -1;
    for (const Record &r : recs) {
        const int own = r.status == VNET_CONNECT_TIMEOUT && r.syserr == ECONNREFUSED
                            ? VNET_CONNECT_REFUSED
                            : r.status;
        if (status == -1)
            status = own;
        else if (status != own)
            return VNET_CONNECT_FAILED;
    }
    return status > 0 ? status : VNET_CONNECT_FAILED;
}

int wait_started(std::vector<Record> &recs, const Request &req, const Settings &set,
                 int64_t earliest_retry) {
    std::vector<pollfd> fds;
    std::vector<size_t> index;
    int64_t until = earliest_retry;
    const bool vnetd_won = succeeded(recs, kVnetd);
    for (size_t i = 0; i < recs.size(); ++i)
        if (recs[i].state == kStarted && !(vnetd_won && recs[i].kind == kVnetd)) {
            fds.push_back({recs[i].sock, POLLOUT, 0});
            index.push_back(i);
            until = std::min(until, recs[i].start_ms + int64_t(recs[i].timeout) * 1000);
        }
    if (fds.empty())
        return 0;
    // Slices of at most a second keep the clock's view of deadlines fresh.
    const int64_t wait = std::clamp<int64_t>(until - now(), 0, 1000);
    const int n = poll(fds.data(), fds.size(), static_cast<int>(wait));
    const int e = n < 0 ? errno : 0;
    // Between slices the process may ask every wait to give up.
    const bool quit =
        n <= 0 && library_callback_function != nullptr && library_callback_function() != 0;
    if ((n < 0 && e != EINTR) || quit) {
        if (quit)
            logmsgf(ZTLOG_WARNING, kAsync, "[%s:%d] library callback asked to stop", HERE);
        else
            logmsgf(ZTLOG_ERROR, kAsync, "[%s:%d] poll() failed: %d", HERE, e);
        for (size_t i : index)
            fail(recs[i], VNET_LIBRARY_CALLBACK_QUIT, quit ? EINTR : e,
                 quit ? "library callback quit" : "poll failed");
        return VNET_LIBRARY_CALLBACK_QUIT;
    }
    for (size_t k = 0; n > 0 && k < fds.size(); ++k) {
        if (fds[k].revents == 0)
            continue;
        Record &r = recs[index[k]];
        // A vnetd record that won and waits for the exchange is enough: no
        // second service connection through another address.
        if (r.kind == kVnetd && succeeded(recs, kVnetd))
            continue;
        complete(r, req, set);
        // One winner per round: the others that answered too stay STARTED
        // and are closed with the rest.
        if (r.state == kSuccess && r.kind != kVnetd)
            break;
    }
    return 0;
}

} // namespace

int async_connect(std::vector<Record> &recs, const Request &req, const Settings &set, int *winner) {
    *winner = -1;
    int quit = 0;
    for (;;) {
        int64_t earliest = INT64_MAX;
        sweep(recs, now(), &earliest);
        if ((*winner = pick_winner(recs)) >= 0)
            break;
        if (std::all_of(recs.begin(), recs.end(), done))
            break;
        const int64_t t = now();
        bool active = false;
        for (Record &r : recs) {
            if ((r.state == kUnused || (r.state == kRetry && r.next_retry_ms <= t)) &&
                !(r.kind == kVnetd && succeeded(recs, kVnetd)))
                start_record(r, req, set);
            active = active || r.state == kStarted;
            if (r.state == kSuccess && r.kind != kVnetd)
                break; // connected at once: the rest need not start
        }
        if ((*winner = pick_winner(recs)) >= 0)
            break;
        if (!active) {
            // Nothing in flight: sleep whole seconds until the next retry.
            int64_t next = INT64_MAX;
            for (const Record &r : recs)
                if (r.state == kRetry)
                    next =
                        std::min({next, r.next_retry_ms, r.start_ms + int64_t(r.timeout) * 1000});
            if (next != INT64_MAX && next > now())
                seams().sleep_ms(((next - now() + 999) / 1000) * 1000);
            continue;
        }
        if ((quit = wait_started(recs, req, set, earliest)) != 0)
            break;
    }
    for (size_t i = 0; i < recs.size(); ++i)
        if (static_cast<int>(i) != *winner)
            close_record(recs[i]);
    if (*winner >= 0)
        return VNET_SUCCESS;
    return quit != 0 ? quit : overall_failure(recs);
}

} // namespace zt::vnet::connect
