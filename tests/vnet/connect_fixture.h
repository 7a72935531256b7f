// The connect tests' ground: the scripted resolver of the resolution tests,
// a configuration given as text, a clock the engine's pauses move instead of
// sleeping, and loopback listeners on ports the kernel picks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "resolve_fixture.h"
#include "vnet/vnet_connect_internal.h"
#include "ztbase/vnet_connect.h"
#include "ztbase/ztconf.h"

namespace connect_test {

namespace cn = zt::vnet::connect;

struct Clock {
    int64_t now_ms = 1700000000000;
    std::vector<int64_t> sleeps;
};

inline Clock &fake_clock() {
    static Clock c;
    return c;
}

inline int64_t fake_now_ms() {
    return fake_clock().now_ms;
}
inline void fake_sleep_ms(int64_t ms) {
    fake_clock().sleeps.push_back(ms);
    fake_clock().now_ms += ms;
}

// A listening socket on addr ("127.0.0.1"), port from the kernel unless given.
struct Listener {
    int fd = -1;
    int port = 0;
    explicit Listener(const char *addr = "127.0.0.1", int want_port = 0, int backlog = 16) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(want_port));
        inet_pton(AF_INET, addr, &a.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
            close(fd);
            fd = -1;
            return;
        }
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() {
        if (fd >= 0)
            close(fd);
    }
    std::string service() const { return std::to_string(port); }
};

// Connections that fill the accept queue of a listener made with backlog 0
// on 127.0.0.1: the kernel then drops further requests unanswered.
struct Fillers {
    std::vector<int> fds;
    explicit Fillers(int port) {
        for (int i = 0; i < 3; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
            connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            fds.push_back(fd);
        }
        usleep(100000);
    }
    ~Fillers() {
        for (int fd : fds)
            close(fd);
    }
};

// A port of 127.0.0.1 where nothing listens (connects are refused).
inline int refused_port() {
    Listener l;
    return l.port; // closed again at once
}

inline std::string peer_of(int sock) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getpeername(sock, reinterpret_cast<sockaddr *>(&a), &len);
    char buf[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return buf;
}

inline int local_port(int sock) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(sock, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// Binds port on every address; -1 when it is taken.
inline int occupy(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A window of n free ports, each held by a bound socket.
struct Window {
    int low = 0, high = 0;
    std::vector<int> held;
    explicit Window(int n) {
        // Below the ephemeral range, where the connections of other tests
        // leave no TIME_WAIT behind; the start drawn at random.
        std::mt19937 gen(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
        for (int attempt = 0; attempt < 200 && held.empty(); ++attempt) {
            const int base = std::uniform_int_distribution<int>(20000, 32000)(gen);
            for (int p = base; p < base + n; ++p) {
                int fd = occupy(p);
                if (fd < 0) {
                    release();
                    break;
                }
                held.push_back(fd);
            }
            low = base;
            high = base + n - 1;
        }
    }
    void release(int port) {
        for (size_t i = 0; i < held.size(); ++i)
            if (local_port(held[i]) == port) {
                close(held[i]);
                held.erase(held.begin() + static_cast<long>(i));
                return;
            }
    }
    void release() {
        for (int fd : held)
            close(fd);
        held.clear();
    }
    ~Window() { release(); }
};

class ConnectTest : public resolve_test::ResolveTest {
  protected:
    ConnectTest() {
        fake_clock() = Clock{};
        seams_ = cn::Seams{};
        cn::set_seams(nullptr);
        vnet_tss_free();
    }
    ~ConnectTest() override {
        cn::set_seams(nullptr);
        bpconf_enable_thread_config_reads();
        vnet_tss_free();
    }
    // The configuration as text (over the built-in defaults).
    static void configure(const std::string &text) {
        ASSERT_EQ(bpconf_disable_thread_config_reads_buffer(text.c_str()), 0) << text;
    }
    // Installs seams_ with the fake clock.
    void use_fake_clock() {
        seams_.now_ms = fake_now_ms;
        seams_.sleep_ms = fake_sleep_ms;
        cn::set_seams(&seams_);
    }
    void install() { cn::set_seams(&seams_); }
    // The thread's connection report.
    static std::string report() {
        json_t *rec = vnet_tss_get(0);
        const char *text =
            json_string_value(json_object_get(json_object_get(rec, "connect_recs"), "data"));
        std::string out = text != nullptr ? text : "";
        json_decref(rec);
        return out;
    }
    cn::Seams seams_{};
};

} // namespace connect_test
