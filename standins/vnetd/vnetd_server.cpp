// The vnetd stand-in's listener: one thread per connection (bounded), the
// start-up time file, and a clean end on SIGTERM.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "vnetd_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_vnetd.h"

namespace ztvnetd {
namespace {

const char *kTag = "ztvnetd";

// Connections being served, so that the end can cut them short.
struct Active {
    std::mutex mutex;
    std::condition_variable idle;
    std::set<int> fds;
    int threads = 0; // conversations still running, tracked or not
    bool stopping = false;
} g_active;

void conversation(int fd, Options options) {
    serve_connection(fd, options);
    std::lock_guard<std::mutex> lock(g_active.mutex);
    --g_active.threads;
    g_active.idle.notify_all();
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

// One line, the start time and a newline, written beside and renamed into
// place so that no reader sees half of it.
void write_startup_time() {
    const std::string path = getFennicString("VN_PATH_STARTUP_TIME");
    // Its directory may be new on a fresh host.
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    const std::string text = std::to_string(static_cast<long>(time(nullptr))) + "\n";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0 && close(fd) != 0)
        ok = false;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        logmsgf(ZTLOG_WARNING, kTag, "cannot write %s: %s", path.c_str(), strerror(errno));
        unlink(tmp.c_str());
    }
}

} // namespace

void forget(int fd) {
    std::lock_guard<std::mutex> lock(g_active.mutex);
    g_active.fds.erase(fd);
    g_active.idle.notify_all();
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
    write_startup_time();
    logmsgf(ZTLOG_INFO, kTag, "listening on port %d", bound);
    if (options.print_port) {
        printf("listening on port %d\n", bound);
        fflush(stdout);
    }

    for (;;) {
        pollfd p[2] = {{lfd, POLLIN, 0}, {sfd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            logmsgf(ZTLOG_ERROR, kTag, "poll failed: %s", strerror(errno));
            break;
        }
        if (p[1].revents) {
            signalfd_siginfo si{};
            if (read(sfd, &si, sizeof si) > 0)
                logmsgf(ZTLOG_INFO, kTag, "signal %u: ending", si.ssi_signo);
            break;
        }
        if (!(p[0].revents & POLLIN))
            continue;
        const int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // Small values back and forth: no waiting for acknowledgements.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::unique_lock<std::mutex> lock(g_active.mutex);
        if (static_cast<int>(g_active.fds.size()) >= options.max_connections) {
            lock.unlock();
            logmsgf(ZTLOG_WARNING, kTag, "too many connections (%d): refusing one",
                    options.max_connections);
            close(fd);
            continue;
        }
        g_active.fds.insert(fd);
        ++g_active.threads;
        lock.unlock();
        try {
            std::thread(conversation, fd, options).detach();
        } catch (const std::exception &e) {
            logmsgf(ZTLOG_ERROR, kTag, "no thread for a connection: %s", e.what());
            std::lock_guard<std::mutex> again(g_active.mutex);
            g_active.fds.erase(fd);
            --g_active.threads;
            close(fd);
        }
    }

    // Stop listening, cut the conversations short, and wait for them.
    close(lfd);
    close(sfd);
    stop_waiting();
    std::unique_lock<std::mutex> lock(g_active.mutex);
    g_active.stopping = true;
    for (const int fd : g_active.fds)
        shutdown(fd, SHUT_RDWR);
    // Each step of a conversation is bounded by io_timeout; a hand-over has
    // a few of them.
    g_active.idle.wait_for(lock, std::chrono::seconds(3 * options.io_timeout + 5),
                           [] { return g_active.threads == 0; });
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
