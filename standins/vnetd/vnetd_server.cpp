// The vnetd stand-in's listener: one thread per connection (bounded), the
// start-up time file, and a clean end on SIGTERM.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <map>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/unix_sockets.h"
#include "vnetd_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_vnetd.h"

namespace ztvnetd {
namespace {

namespace usock = ztbase::usock;

const char *kTag = "ztvnetd";

using Clock = std::chrono::steady_clock;

// A connection being served: the time its current step must be over by (the
// handshake, one request, or the wait for the next request), so that a client
// that trickles its bytes cannot hold a slot longer than that.
struct Entry {
    Clock::time_point deadline = Clock::time_point::max();
    bool idle = false;     // waiting for the next request
    Clock::time_point idle_since{};
    bool cut = false;      // shut down already; the conversation ends soon
};

// Connections being served, so that the reaper and the end can cut them short.
struct Active {
    std::mutex mutex;
    std::condition_variable idle;  // a conversation ended or a connection was forgotten
    std::condition_variable reap;  // an earlier deadline, or the end
    std::map<int, Entry> conns;
    int live = 0;    // entries not cut: what the cap counts
    int threads = 0; // conversation threads alive, serving or waiting for work
    bool stopping = false;
    // Connections admitted and not yet taken by a thread, and the threads
    // that wait for one: a thread serves one conversation after another, so
    // that a busy daemon does not make a thread per connection.
    struct Job {
        int fd;
        Options options;
        Peer peer;
    };
    // When the reaper wakes next: a deadline later than that needs no call.
    Clock::time_point wake = Clock::time_point::max();
    std::deque<Job> jobs;
    int waiting = 0;
    std::condition_variable work;
} g_active;

// How long a thread without work waits for the next connection.
constexpr auto kWorkerLinger = std::chrono::seconds(30);

// Under the mutex: shuts the connection down so that whatever its
// conversation waits for (a read or a write) fails now.
void cut(int fd, Entry &e, int level, const char *why) {
    if (e.cut)
        return;
    e.cut = true;
    e.deadline = Clock::time_point::max();
    --g_active.live;
    shutdown(fd, SHUT_RDWR);
    logmsgf(level, kTag, "connection %d cut: %s", fd, why);
}

// Cuts every connection past its deadline, sleeping until the next one.
void reaper() {
    std::unique_lock<std::mutex> lock(g_active.mutex);
    while (!g_active.stopping) {
        const auto now = Clock::now();
        auto next = Clock::time_point::max();
        for (auto &[fd, e] : g_active.conns) {
            if (e.deadline <= now)
                cut(fd, e, ZTLOG_WARNING, e.idle ? "idle too long" : "too slow");
            else
                next = std::min(next, e.deadline);
        }
        g_active.wake = next;
        if (next == Clock::time_point::max())
            g_active.reap.wait(lock);
        else
            g_active.reap.wait_until(lock, next);
        g_active.wake = Clock::time_point::min(); // awake: it rescans anyway
    }
}

// Under the mutex: makes room for one more connection by cutting the one
// idle the longest, when the slots are full. False when none is idle.
bool make_room(int max_connections) {
    if (g_active.live < max_connections)
        return true;
    Entry *oldest = nullptr;
    int oldest_fd = -1;
    for (auto &[fd, e] : g_active.conns)
        if (!e.cut && e.idle && (oldest == nullptr || e.idle_since < oldest->idle_since)) {
            oldest = &e;
            oldest_fd = fd;
        }
    if (oldest == nullptr)
        return false;
    cut(oldest_fd, *oldest, ZTLOG_WARNING, "idle, and the slots are full");
    return true;
}

// A conversation thread: serves connections until none comes for a while
// or the daemon ends.
void conversations() {
    std::unique_lock<std::mutex> lock(g_active.mutex);
    for (;;) {
        ++g_active.waiting;
        const bool got = g_active.work.wait_for(lock, kWorkerLinger, [] {
            return !g_active.jobs.empty() || g_active.stopping;
        });
        --g_active.waiting;
        if (!got || g_active.jobs.empty())
            break;
        Active::Job job = std::move(g_active.jobs.front());
        g_active.jobs.pop_front();
        lock.unlock();
        serve_connection(job.fd, job.options, job.peer);
        lock.lock();
    }
    --g_active.threads;
    g_active.idle.notify_all();
}

} // namespace

void admit(int fd, const Options &options, const Peer &peer) {
    std::unique_lock<std::mutex> lock(g_active.mutex);
    if (!make_room(options.max_connections)) {
        lock.unlock();
        logmsgf(ZTLOG_WARNING, kTag, "too many connections (%d): refusing one",
                options.max_connections);
        close(fd);
        return;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(options.io_timeout);
    g_active.conns[fd].deadline = deadline;
    ++g_active.live;
    if (deadline < g_active.wake)
        g_active.reap.notify_one();
    g_active.jobs.push_back({fd, options, peer});
    if (g_active.waiting > static_cast<int>(g_active.jobs.size()) - 1) {
        g_active.work.notify_one();
        return;
    }
    ++g_active.threads;
    lock.unlock();
    try {
        std::thread(conversations).detach();
    } catch (const std::exception &e) {
        logmsgf(ZTLOG_ERROR, kTag, "no thread for a connection: %s", e.what());
        std::unique_lock<std::mutex> again(g_active.mutex);
        --g_active.threads;
        // Another thread may still take it; otherwise it is refused.
        if (g_active.threads > 0)
            return;
        for (auto it = g_active.jobs.begin(); it != g_active.jobs.end(); ++it)
            if (it->fd == fd) {
                g_active.jobs.erase(it);
                again.unlock();
                forget(fd);
                close(fd);
                break;
            }
    }
}

namespace {

// The local endpoint beside the TCP port: an abstract stream socket named
// after that port, where the kernel vouches for the peer's process and a
// connected socket can travel back to it.
int listen_local(int bound) {
    const std::string name = VN_LOCAL_ENDPOINT_PREFIX + std::to_string(bound);
    int fd = -1;
    if (const int err = usock::listen_abstract(name, SOCK_STREAM, 128, &fd); err != 0) {
        logmsgf(ZTLOG_WARNING, kTag, "no local endpoint @%s: %s", name.c_str(), strerror(err));
        return -1;
    }
    logmsgf(ZTLOG_INFO, kTag, "local endpoint @%s", name.c_str());
    return fd;
}

int listen_tcp(const Options &o, int port, int *bound) {
    addrinfo hints{};
    hints.ai_family = o.bind.empty() ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    const std::string service = std::to_string(port);
    int rc = getaddrinfo(o.bind.empty() ? nullptr : o.bind.c_str(), service.c_str(), &hints, &res);
    if (rc != 0 && o.bind.empty()) {
        hints.ai_family = AF_INET; // no IPv6 on this host
        rc = getaddrinfo(nullptr, service.c_str(), &hints, &res);
    }
    if (rc != 0) {
        logmsgf(ZTLOG_ERROR, kTag, "getaddrinfo(%s) failed: %s", o.bind.c_str(), gai_strerror(rc));
        return -1;
    }
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1, off = 0;
    if (fd >= 0) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (res->ai_family == AF_INET6 && o.bind.empty())
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 128) != 0) {
            logmsgf(ZTLOG_ERROR, kTag, "bind/listen on port %d failed: %s", port, strerror(errno));
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    if (fd < 0)
        return -1;
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &sl);
    *bound = ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port)
                                     : ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    return fd;
}

// One line, the start time and a newline, written beside, flushed to disk
// and renamed into place (and the rename flushed too), so that no reader sees
// half of it, even after a crash.
void write_startup_time() {
    const std::string path = getFennicString("VN_PATH_STARTUP_TIME");
    // Its directory may be new on a fresh host.
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    const std::string text = std::to_string(static_cast<long>(time(nullptr))) + "\n";
    // A file of our own, new: one planted under the name is removed first
    // (where the directory lets us) and never written through.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    int fd = open(tmp.c_str(), flags, 0644);
    if (fd < 0 && errno == EEXIST && unlink(tmp.c_str()) == 0)
        fd = open(tmp.c_str(), flags, 0644);
    const char *failed = fd < 0 ? "open" : nullptr;
    if (!failed && write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        failed = "write";
    if (!failed && fsync(fd) != 0)
        failed = "fsync";
    if (fd >= 0 && close(fd) != 0 && !failed)
        failed = "close";
    if (!failed && rename(tmp.c_str(), path.c_str()) != 0)
        failed = "rename";
    if (failed) {
        const int err = errno;
        logmsgf(ZTLOG_WARNING, kTag, "cannot write %s: %s() failed: %s", path.c_str(), failed,
                strerror(err));
        if (fd >= 0)
            unlink(tmp.c_str());
        return;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == 0 ? "/" : slash == std::string::npos ? "." : path.substr(0, slash);
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || fsync(dfd) != 0)
        logmsgf(ZTLOG_WARNING, kTag, "cannot flush directory %s: %s", dir.c_str(), strerror(errno));
    if (dfd >= 0)
        close(dfd);
}

} // namespace

namespace {

bool number(const char *text, int lo, int hi, int *out) {
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

} // namespace

bool set_option(const std::string &name, const char *value, Options *o) {
    if (name == "--bind") {
        o->bind = value;
        return true;
    }
    if (name == "--pbx" && (strcmp(value, "auto") == 0 || strcmp(value, "off") == 0)) {
        o->pbx = strcmp(value, "auto") == 0;
        return true;
    }
    return (name == "--port" && number(value, 0, 65535, &o->port)) ||
           (name == "--max-connections" && number(value, 1, 65536, &o->max_connections)) ||
           (name == "--io-timeout" && number(value, 1, 3600, &o->io_timeout)) ||
           (name == "--idle-timeout" && number(value, 1, 86400, &o->idle_timeout));
}

void forget(int fd) {
    std::lock_guard<std::mutex> lock(g_active.mutex);
    const auto it = g_active.conns.find(fd);
    if (it == g_active.conns.end())
        return;
    if (!it->second.cut)
        --g_active.live;
    g_active.conns.erase(it);
    g_active.idle.notify_all();
}

void set_deadline(int fd, int seconds, bool idle) {
    std::lock_guard<std::mutex> lock(g_active.mutex);
    const auto it = g_active.conns.find(fd);
    if (it == g_active.conns.end() || it->second.cut)
        return;
    Entry &e = it->second;
    const auto now = Clock::now();
    if (idle && !e.idle)
        e.idle_since = now;
    e.idle = idle;
    e.deadline = seconds < 0 ? Clock::time_point::max() : now + std::chrono::seconds(seconds);
    if (e.deadline < g_active.wake)
        g_active.reap.notify_one();
}

int run(const Options &options) {
    // SIGTERM and SIGINT arrive through a descriptor; every thread started
    // below inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_IGN); // services started per connection are not waited for
    const int sfd = signalfd(-1, &set, SFD_CLOEXEC);

    int port = options.port;
    if (port < 0)
        vnet_get_port(&port);
    int bound = 0;
    const int lfd = listen_tcp(options, port, &bound);
    if (lfd < 0 || sfd < 0) {
        fprintf(stderr, "ztvnetd: cannot listen on port %d: %s\n", port, strerror(errno));
        if (sfd >= 0)
            close(sfd);
        return 1;
    }
    // Both endpoints are there before anyone learns the port.
    const int ufd = listen_local(bound);
    write_startup_time();
    logmsgf(ZTLOG_INFO, kTag, "listening on port %d", bound);
    if (options.print_port) {
        printf("listening on port %d\n", bound);
        fflush(stdout);
    }
    std::thread reaping(reaper);
    start_exchange(options);

    for (;;) {
        pollfd p[3] = {{sfd, POLLIN, 0}, {lfd, POLLIN, 0}, {ufd, POLLIN, 0}};
        if (poll(p, ufd >= 0 ? 3 : 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            logmsgf(ZTLOG_ERROR, kTag, "poll failed: %s", strerror(errno));
            break;
        }
        if (p[0].revents) {
            signalfd_siginfo si{};
            if (read(sfd, &si, sizeof si) > 0)
                logmsgf(ZTLOG_INFO, kTag, "signal %u: ending", si.ssi_signo);
            break;
        }
        if (p[1].revents & POLLIN) {
            const int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                // Small values back and forth: no waiting for acknowledgements.
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                admit(fd, options, Peer{});
            }
        }
        if (ufd >= 0 && (p[2].revents & POLLIN)) {
            const int fd = accept4(ufd, nullptr, nullptr, SOCK_CLOEXEC);
            Peer peer;
            peer.kind = Peer::kLocal;
            const int err = fd >= 0 ? usock::peer_credentials(fd, &peer.pid, &peer.uid, nullptr) : 0;
            if (err != 0) {
                logmsgf(ZTLOG_WARNING, kTag, "local client without credentials: %s", strerror(err));
                close(fd);
            } else if (fd >= 0) {
                logmsgf(ZTLOG_INFO, kTag, "local client: process %ld, user %ld",
                        static_cast<long>(peer.pid), static_cast<long>(peer.uid));
                admit(fd, options, peer);
            }
        }
    }

    // Stop listening, cut the conversations short, and wait for them.
    close(lfd);
    if (ufd >= 0)
        close(ufd);
    close(sfd);
    stop_exchange();
    stop_waiting();
    std::unique_lock<std::mutex> lock(g_active.mutex);
    g_active.stopping = true;
    g_active.reap.notify_one();
    g_active.work.notify_all();
    for (auto &[fd, e] : g_active.conns)
        cut(fd, e, ZTLOG_INFO, "ending");
    // Each step of a conversation is bounded by io_timeout; a hand-over has
    // a few of them.
    g_active.idle.wait_for(lock, std::chrono::seconds(3 * options.io_timeout + 5),
                           [] { return g_active.threads == 0; });
    lock.unlock();
    reaping.join();
    lock.lock();
    if (g_active.threads != 0) {
        // A conversation that outlived every bound must not meet the
        // process's exit in the middle: end here.
        logmsgf(ZTLOG_WARNING, kTag, "ended with %d conversations still running", g_active.threads);
        fflush(stdout);
        _exit(0);
    }
    logmsgf(ZTLOG_INFO, kTag, "ended");
    return 0;
}

} // namespace ztvnetd
