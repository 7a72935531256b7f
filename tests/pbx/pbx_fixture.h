// Shared pieces of the port exchange's tests: the exchange as a child
// process, raw TCP clients, a server process, and waiting without timing.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "pbx_protocol.h"
#include "support/daemon_process.h"
#include "ztpbx.h"

extern char **environ;

namespace zt::test::pbx {

namespace proto = ztpbx::proto;

// Waits for cond with a generous bound; the bound is a safety net, never the
// thing a test measures.
inline bool eventually(const std::function<bool()> &cond, int seconds = 20) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// Open descriptors of another process.
inline int descriptors_of(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

// ztpbxd as a child: loopback, port 0 (or the one given; none when negative,
// so that the daemon finds its own), a one-second deadline for names. The destructor stops it with
// SIGTERM and checks that it ended cleanly.
class ExchangeProcess {
  public:
    explicit ExchangeProcess(int port = 0, std::vector<std::string> extra = {})
        : daemon_(ZT_BINARY_DIR "/standins/pbx/ztpbxd", arguments(port, std::move(extra)),
                  "ZT_PBX_TEST_VERBOSE") {}
    ~ExchangeProcess() {
        if (daemon_.pid() > 0) {
            const int st = daemon_.stop(SIGTERM);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "ztpbxd status " << st;
        }
    }
    ExchangeProcess(const ExchangeProcess &) = delete;
    ExchangeProcess &operator=(const ExchangeProcess &) = delete;

    int port() const { return daemon_.port(); }
    pid_t pid() const { return daemon_.pid(); }
    bool ok() const { return daemon_.ok(); }
    void kill_hard() { daemon_.stop(SIGKILL); }

  private:
    static std::vector<std::string> arguments(int port, std::vector<std::string> extra) {
        std::vector<std::string> args = {"--listen", "127.0.0.1", "--name-timeout", "1"};
        if (port >= 0)
            args.insert(args.end(), {"--port", std::to_string(port)});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    zt::test::DaemonProcess daemon_;
};

// A TCP connection to the loopback port (blocking, receive timeout 20 s).
inline int tcp_connect(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    timeval tv{20, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return s;
}

inline bool send_text(int s, const std::string &data) {
    return send(s, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
}

// Reads exactly n bytes; shorter when the peer closes or the timeout passes.
inline std::string recv_n(int s, size_t n) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
        ssize_t got = recv(s, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0)
            break;
        out.append(buf, size_t(got));
    }
    return out;
}

// What a raw client got: a reply's status, or -1 when the connection ended
// without one.
inline int reply_status(int s) {
    std::string r = recv_n(s, proto::kReplySize);
    proto::ReplyStatus st;
    uint8_t version;
    if (!proto::parse_reply(reinterpret_cast<const uint8_t *>(r.data()), r.size(), &st, &version))
        return -1;
    return st;
}

// Whether the peer has closed (reads and drops anything before the end).
inline bool closed_by_peer(int s) {
    char buf[4096];
    for (;;) {
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return true;
        if (n < 0)
            return false; // timed out
    }
}

// A server in a child process: registers `extension` with the exchange on
// `port` through the library, then answers every connection by reading one
// line and writing back "extension:line", until killed. When the exchange
// goes away it registers again (a restarted exchange on the same port).
class ServerProcess {
  public:
    ServerProcess(int port, std::string extension) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            serve(port, extension, ready[1]);
            _exit(0);
        }
        close(ready[1]);
        char c = 0;
        registered_ = read(ready[0], &c, 1) == 1 && c == 'R';
        close(ready[0]);
    }
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    bool registered() const { return registered_; }
    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    static void serve(int port, const std::string &extension, int ready_fd) {
        for (int attempt = 0; attempt < 2000; ++attempt) {
            PBXHANDLE h = nullptr;
            PBXADDR addr;
            pbxAllocSocket(&h, nullptr);
            pbxSetAddrEx(&addr, nullptr, port, extension.c_str());
            if (pbxRegisterExEx(h, &addr, nullptr, nullptr, 25) != 0) {
                pbxClose(h, 0);
                usleep(10000);
                continue;
            }
            if (ready_fd >= 0) {
                (void)!write(ready_fd, "R", 1);
                close(ready_fd);
                ready_fd = -1;
            }
            int s = -1;
            while (pbxAcceptEx(h, &s, nullptr) == 0) {
                std::string line;
                char c;
                while (recv(s, &c, 1, 0) == 1 && c != '\n')
                    line += c;
                std::string answer = extension + ":" + line + "\n";
                (void)!send(s, answer.data(), answer.size(), MSG_NOSIGNAL);
                close(s);
            }
            pbxClose(h, 0); // the exchange went away: register again
        }
    }

    pid_t pid_ = -1;
    bool registered_ = false;
};

// Connects through the library to `extension` and has one exchange of a line
// with the server; the server's answer, or "error N" with the errno.
inline std::string ask(int port, const std::string &extension, const std::string &line) {
    PBXHANDLE h = nullptr;
    PBXADDR addr;
    pbxAllocSocket(&h, nullptr);
    pbxSetAddrEx(&addr, "127.0.0.1", port, extension.c_str());
    std::string result;
    if (pbxConnectExEx(h, &addr, PBX_MODE_BLOCKING, nullptr, nullptr) != 0) {
        result = "error " + std::to_string(errno);
    } else {
        int s = -1;
        pbxGetSocketHandle(h, &s);
        send_text(s, line + "\n");
        std::string got;
        char c;
        while (recv(s, &c, 1, 0) == 1 && c != '\n')
            got += c;
        result = got;
    }
    pbxClose(h, 0);
    return result;
}

} // namespace zt::test::pbx
