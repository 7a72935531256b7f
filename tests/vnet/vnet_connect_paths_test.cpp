// The connect engine's vnetd and port-exchange paths against the real
// daemons on loopback: the service reached through each, the path learned,
// a service nobody offers retried on the clock, and daemons that answer
// junk, close or stay silent in the middle of the handshake.
#include <atomic>
#include <memory>
#include <sys/wait.h>
#include <thread>

#include "connect_fixture.h"
#include "support/daemon_process.h"
#include "platform/unix_sockets.h"
#include "support/fd_count.h"
#include "ztbase/comm.h"
#include "ztbase/paths.h"
#include "ztbase/vnet_pbx.h"
#include "ztbase/vnet_vnetd.h"

namespace {

using namespace connect_test;
using zt::test::DaemonProcess;
using zt::test::open_descriptor_count;

int cached_flag(const char *host, int index) {
    vnet_addrinfo *list = nullptr;
    int code = 0;
    if (vnet_cached_getaddrinfo(host, nullptr, nullptr, &list, &code) != 0)
        return -100;
    int v = list != nullptr ? list->cached_flags[index] : -100;
    vnet_freeaddrinfo(list);
    return v;
}

void override_port(const char *service, int port) {
    zt::test::write_file(std::string(getFennicString("OVERRIDE_PATH")) + "/" + service,
                         std::to_string(port) + "\n");
}

// One line there and back.
std::string converse(int sock, const std::string &line) {
    if (send(sock, (line + "\n").data(), line.size() + 1, MSG_NOSIGNAL) !=
        ssize_t(line.size() + 1))
        return "";
    std::string got;
    char c;
    while (vnet_sock_ready(sock, 1, 0, 20) == VNET_SUCCESS && recv(sock, &c, 1, 0) == 1 &&
           c != '\n')
        got += c;
    return got;
}

// Answers every line with "name:line" until the peer closes.
void answer_lines(int sock, const std::string &name) {
    std::string line;
    char c;
    while (recv(sock, &c, 1, 0) == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        const std::string reply = name + ":" + line + "\n";
        if (send(sock, reply.data(), reply.size(), MSG_NOSIGNAL) != ssize_t(reply.size()))
            break;
        line.clear();
    }
    close(sock);
}

size_t lines_of(const std::string &text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class ConnectPaths : public ConnectTest {
  protected:
    ~ConnectPaths() override {
        for (pid_t p : children_) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
    }
    // A server in a child process that reports "R" once it listens.
    template <class Serve> pid_t child(Serve serve) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return -1;
        const pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            serve(ready[1]);
            _exit(0);
        }
        close(ready[1]);
        char c = 0;
        const bool ok = read(ready[0], &c, 1) == 1 && c == 'R';
        close(ready[0]);
        children_.push_back(pid);
        return ok ? pid : -1;
    }
    // A service registered with the local vnetd.
    pid_t vnetd_service(const char *name) {
        return child([name](int ready) {
            int listener = -1;
            if (vnet_vnetd_listen_and_register_service(name, 16, &listener) != VNET_SUCCESS)
                return;
            write(ready, "R", 1);
            for (;;) {
                int sock = -1;
                if (vnet_vnetd_accept_and_receive(listener, nullptr, &sock, 60) == VNET_SUCCESS)
                    std::thread(answer_lines, sock, std::string(name)).detach();
            }
        });
    }
    // A server registered with the port exchange under extension.
    pid_t pbx_server(const char *extension) {
        return child([extension](int ready) {
            vnet_pbx_handle h = nullptr;
            int listener = -1, count = 0;
            sockaddr_storage *alt = nullptr;
            if (vnet_pbxInitialize() != VNET_SUCCESS ||
                vnet_registerPBXServer(&h, &listener, extension, &alt, &count) != VNET_SUCCESS)
                return;
            write(ready, "R", 1);
            for (;;) {
                int sock = -1;
                if (vnet_pbxAcceptSocket(&h, &sock, 0, nullptr, nullptr) == VNET_SUCCESS)
                    std::thread(answer_lines, sock, std::string(extension)).detach();
            }
        });
    }
    std::vector<pid_t> children_;
};

const std::string kVnetd = ZT_BINARY_DIR "/standins/vnetd/ztvnetd";
const std::string kPbxd = ZT_BINARY_DIR "/standins/pbx/ztpbxd";

TEST_F(ConnectPaths, VnetdHandsTheConnectionToTheServiceAndAnAbsentOneIsRetried) {
    DaemonProcess vnetd(kVnetd, {"--port", "0", "--bind", "127.0.0.1"});
    ASSERT_TRUE(vnetd.ok());
    override_port("vnetd", vnetd.port());
    override_port("halvane_pbx", refused_port());
    ASSERT_GT(vnetd_service("ztecho"), 0);
    const int before = open_descriptor_count();

    int sock = -1;
    ASSERT_EQ(vnet_connect_to_service("127.0.0.1", "ztecho", nullptr, 0, 0, 20, &sock),
              VNET_SUCCESS)
        << report();
    EXPECT_EQ(converse(sock, "hello"), "ztecho:hello");
    close(sock);
    const std::string won = report();
    EXPECT_EQ(won.rfind("connect succeeded STATUS (0)", 0), 0u) << won;
    EXPECT_NE(won.find("status: SUCCESS; FROM 127.0.0.1 TO 127.0.0.1 127.0.0.1 ztecho VIA vnetd"),
              std::string::npos)
        << won;
    EXPECT_EQ(cached_flag("127.0.0.1", VNET_CF_CONNECT_PATH), 1);
    EXPECT_EQ(open_descriptor_count(), before);

    // Nobody offers it: vnetd says so each time, and each time the record
    // waits longer, as for a refused connection.
    use_fake_clock();
    EXPECT_EQ(vnet_connect_to_service("127.0.0.1", "absent", nullptr, 0, 0, 100, &sock),
              VNET_CONNECT_REFUSED)
        << report();
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(fake_clock().sleeps, (std::vector<int64_t>{1000, 2000, 4000, 8000, 16000}));
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(ConnectPaths, TheExchangeSwitchesToTheServerAndIsThenUsedAlone) {
    DaemonProcess pbx(kPbxd, {"--listen", "127.0.0.1", "--port", "0"});
    ASSERT_TRUE(pbx.ok());
    override_port("halvane_pbx", pbx.port());
    override_port("vnetd", refused_port());
    ASSERT_GT(pbx_server("bprd"), 0);
    const int before = open_descriptor_count();

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        int sock = -1;
        ASSERT_EQ(vnet_connect_to_service("127.0.0.1", "bprd", nullptr, 0, 0, 20, &sock),
                  VNET_SUCCESS)
            << report();
        EXPECT_EQ(converse(sock, "ping"), "bprd:ping");
        close(sock);
        const std::string won = report();
        EXPECT_NE(won.find("status: SUCCESS; FROM 127.0.0.1 TO 127.0.0.1 127.0.0.1 bprd VIA pbx"),
                  std::string::npos)
            << won;
        EXPECT_EQ(cached_flag("127.0.0.1", VNET_CF_CONNECT_PATH), 2);
        // Once learned, the exchange is the only record.
        if (round == 1) {
            EXPECT_EQ(lines_of(won), 1u) << won;
        }
    }
    // No server under the extension: refused by the exchange, retried on the
    // clock like a refused port.
    use_fake_clock();
    int sock = -1;
    EXPECT_EQ(vnet_connect_to_pbx_service("127.0.0.1", "tldcd", nullptr, 0, 0, 100, &sock),
              VNET_CONNECT_REFUSED)
        << report();
    EXPECT_EQ(fake_clock().sleeps, (std::vector<int64_t>{1000, 2000, 4000, 8000, 16000}));
    EXPECT_EQ(open_descriptor_count(), before);
}

// A vnetd that misbehaves once the client has offered its version.
struct BadDaemon {
    enum Mode { kJunk, kClose, kSilent, kRefuseVersion };
    Listener listener;
    std::thread thread;
    std::atomic<bool> stop{false};
    explicit BadDaemon(Mode mode) {
        thread = std::thread([this, mode] {
            pollfd p{listener.fd, POLLIN, 0};
            while (!stop && poll(&p, 1, 50) >= 0) {
                if (p.revents == 0)
                    continue;
                const int s = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
                char offered[8];
                recv(s, offered, sizeof offered, 0);
                if (mode == kJunk)
                    send(s, "12x\0", 4, MSG_NOSIGNAL);
                else if (mode == kRefuseVersion)
                    send(s, "-1\0", 3, MSG_NOSIGNAL);
                else if (mode == kSilent)
                    while (!stop)
                        usleep(10000);
                close(s);
            }
        });
    }
    ~BadDaemon() {
        stop = true;
        thread.join();
    }
};

TEST_F(ConnectPaths, ADaemonThatMisbehavesFailsItsRecordAndLeavesNothingOpen) {
    // A vnetd or an exchange that answers the first message with junk,
    // closes, refuses the version or says nothing for longer than the
    // connect's 2 seconds.
    struct Case {
        const char *path;
        BadDaemon::Mode mode;
        int status; // the record's
    } cases[] = {
        {"vnetd", BadDaemon::kJunk, VNET_BAD_NUMBER},
        {"vnetd", BadDaemon::kClose, VNET_READ_FAILED},
        {"vnetd", BadDaemon::kRefuseVersion, VNET_BAD_VERSION},
        {"vnetd", BadDaemon::kSilent, VNET_CONNECT_TIMEOUT},
        {"pbx", BadDaemon::kJunk, VNET_PBX_API_FAILED},
        {"pbx", BadDaemon::kClose, VNET_PBX_API_FAILED},
        {"pbx", BadDaemon::kSilent, VNET_CONNECT_TIMEOUT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.mode));
        const bool pbx = strcmp(c.path, "pbx") == 0;
        vnet_cached_free_memory();
        const int before = open_descriptor_count();
        auto daemon = std::make_unique<BadDaemon>(c.mode);
        override_port(pbx ? "halvane_pbx" : "vnetd", daemon->listener.port);
        override_port(pbx ? "vnetd" : "halvane_pbx", refused_port());
        int sock = -1, version = 0;
        EXPECT_NE(pbx ? vnet_connect_to_pbx_service("127.0.0.1", "bprd", nullptr, 0, 0, 2, &sock)
                      : vnet_connect_to_vnetd_ipi("127.0.0.1", nullptr, 0, 0, 2, 0, &sock,
                                                  &version),
                  VNET_SUCCESS);
        EXPECT_EQ(sock, -1);
        const std::string lost = report();
        char line[128];
        snprintf(line, sizeof line, "status: FAILED, (%d) %s;", c.status,
                 vnet_status_to_text(c.status));
        const size_t at = lost.find(line);
        EXPECT_NE(at, std::string::npos) << lost;
        EXPECT_NE(lost.find(std::string("VIA ") + c.path, at), std::string::npos) << lost;
        daemon.reset();
        EXPECT_EQ(open_descriptor_count(), before);
    }
}

// Reads one codec string; false when the peer closed.
bool read_string(int s) {
    char c = 1;
    while (c != '\0')
        if (recv(s, &c, 1, 0) != 1)
            return false;
    return true;
}

TEST_F(ConnectPaths, AHandshakeAnsweredStepByStepJustInTimeEndsWithTheConnectTimeout) {
    // Each answer comes well within a step's own time, but together they
    // outlast the connect's 2 seconds; the service request's answer comes
    // long after that.
    override_port("halvane_pbx", refused_port());
    Listener listener;
    override_port("vnetd", listener.port);
    std::thread daemon([&] {
        const int s = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        const auto answer = [s](int ms, const char *text) {
            usleep(ms * 1000);
            send(s, text, strlen(text) + 1, MSG_NOSIGNAL);
        };
        if (read_string(s)) // the client's highest version
            answer(1200, "13");
        if (read_string(s) && read_string(s)) { // agreed, then the exchange question
            answer(700, "0");
            answer(0, "0");
        }
        if (read_string(s) && read_string(s)) // the service request and its name
            answer(1800, "0");
        read_string(s);
        close(s);
    });
    const int before = open_descriptor_count();
    int sock = -1;
    EXPECT_NE(vnet_connect_to_service("127.0.0.1", "ztecho", nullptr, 0, 0, 2, &sock),
              VNET_SUCCESS)
        << report();
    EXPECT_EQ(sock, -1);
    const std::string lost = report();
    const size_t at = lost.find("status: FAILED, (44) CONNECT_TIMEOUT; system: (110) Connection "
                                "timed out; FROM 127.0.0.1");
    EXPECT_NE(at, std::string::npos) << lost;
    EXPECT_NE(lost.find("ztecho VIA vnetd", at), std::string::npos) << lost;
    if (sock >= 0)
        close(sock);
    daemon.join();
    EXPECT_EQ(open_descriptor_count(), before);
}

} // namespace

namespace {

int always_proxy(const char *, const char *) {
    return 1;
}

// Whether the local vnetd says it is registered with the exchange.
bool vnetd_on_exchange(int port) {
    int sock = -1, version = 0, supported = 0;
    if (vnet_vnetd_connect_host("127.0.0.1", port, 5, &sock) != VNET_SUCCESS)
        return false;
    const bool yes = vnet_version_connect(&sock, VN_VERSION_HIGHEST, 2, &version, 5) == 0 &&
                     vnet_vnetd_pbx_c_supported(&sock, version, &supported, 5) == 0 &&
                     supported == 1;
    if (sock >= 0)
        close(sock);
    return yes;
}

TEST_F(ConnectPaths, ThroughTheExchangeToVnetdAndThroughTheLocalVnetdOnACallersBehalf) {
    resolve_test::script().hosts["localhost"] = {"127.0.0.1"};
    DaemonProcess pbx(kPbxd, {"--listen", "127.0.0.1", "--port", "0"});
    ASSERT_TRUE(pbx.ok());
    override_port("halvane_pbx", pbx.port());
    DaemonProcess vnetd(kVnetd, {"--port", "0", "--bind", "127.0.0.1"});
    ASSERT_TRUE(vnetd.ok());
    override_port("vnetd", vnetd.port());
    bool registered = false;
    for (int i = 0; i < 400 && !(registered = vnetd_on_exchange(vnetd.port())); ++i)
        usleep(25000);
    ASSERT_TRUE(registered);
    ASSERT_GT(vnetd_service("ztecho"), 0);
    const int before = open_descriptor_count();

    // A service the exchange does not switch itself goes to vnetd through it.
    int sock = -1;
    ASSERT_EQ(vnet_connect_to_pbx_service("localhost", "ztecho", nullptr, 0, 0, 20, &sock),
              VNET_SUCCESS)
        << report();
    EXPECT_EQ(converse(sock, "switched"), "ztecho:switched");
    close(sock);
    EXPECT_NE(report().find("status: SUCCESS; FROM 127.0.0.1 TO localhost 127.0.0.1 ztecho VIA pbx"),
              std::string::npos)
        << report();

    // vnetd's own entry on this host, greeted at version 13.
    int version = 0;
    ASSERT_EQ(vnet_connect_to_vnetd_no_auth(&sock, &version), VNET_SUCCESS) << report();
    EXPECT_EQ(version, VN_VERSION_HIGHEST);
    char text[64] = "";
    EXPECT_EQ(vnet_version_get_ipi(&sock, 10, text, sizeof text), VNET_SUCCESS);
    EXPECT_EQ(atoi(text), VN_PRODUCT_VERSION);
    close(sock);

    // The local vnetd connects for this process and hands the socket back.
    seams_.proxy_required = always_proxy;
    install();
    ASSERT_EQ(vnet_connect_to_service("127.0.0.1", "ztecho", nullptr, 0, 0, 20, &sock),
              VNET_SUCCESS)
        << report();
    EXPECT_EQ(converse(sock, "indirect"), "ztecho:indirect");
    close(sock);
    EXPECT_EQ(report().rfind("connect succeeded STATUS (0)", 0), 0u) << report();
    json_t *rec = vnet_tss_get(0);
    json_t *reply = json_object_get(json_object_get(rec, "indirect_response"), "data");
    EXPECT_EQ(json_integer_value(json_object_get(reply, "status")), 0);
    json_decref(rec);
    // Nobody there to ask: the call fails and says so.
    vnetd.stop(SIGTERM);
    EXPECT_EQ(vnet_connect_to_service("127.0.0.1", "ztecho", nullptr, 0, 0, 5, &sock),
              VNET_CONNECT_REFUSED);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(ConnectPaths, ALocalVnetdThatTakesNoConnectionsFailsTheIndirectConnect) {
    // Its endpoint listens but nobody accepts, and the queue is full: the
    // caller gives up instead of waiting for it for ever.
    const int port = refused_port();
    override_port("vnetd", port);
    const std::string name = VN_LOCAL_ENDPOINT_PREFIX + std::to_string(port);
    int endpoint = -1;
    ASSERT_EQ(ztbase::usock::listen_abstract(name, SOCK_STREAM, 0, &endpoint), 0);
    std::vector<int> queued;
    for (int i = 0; i < 4; ++i) {
        sockaddr_un addr{};
        socklen_t len = 0;
        ztbase::usock::abstract_address(name, &addr, &len);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0)
            queued.push_back(fd);
        else
            close(fd);
    }
    ASSERT_FALSE(queued.empty());
    seams_.proxy_required = always_proxy;
    install();
    const int before = open_descriptor_count();
    int sock = -1;
    EXPECT_EQ(vnet_connect_to_service("127.0.0.1", "ztecho", nullptr, 0, 0, 2, &sock),
              VNET_CONNECT_TIMEOUT);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(open_descriptor_count(), before);
    for (int fd : queued)
        close(fd);
    close(endpoint);
}

TEST_F(ConnectPaths, AnotherUsersProcessAtTheLocalVnetdsEndpointIsNotTrusted) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to be another user";
    // The daemon is down and a process of another user took its endpoint's
    // name: the caller says nothing to it.
    const int port = refused_port();
    override_port("vnetd", port);
    int heard[2];
    ASSERT_EQ(pipe2(heard, O_CLOEXEC), 0);
    const pid_t impostor = child([port, &heard](int ready) {
        close(heard[0]);
        int endpoint = -1;
        if (setgid(65534) != 0 || setuid(65534) != 0 ||
            ztbase::usock::listen_abstract(VN_LOCAL_ENDPOINT_PREFIX + std::to_string(port),
                                           SOCK_STREAM, 4, &endpoint) != 0)
            return;
        write(ready, "R", 1);
        const int s = accept4(endpoint, nullptr, nullptr, SOCK_CLOEXEC);
        char c;
        write(heard[1], recv(s, &c, 1, 0) > 0 ? "Y" : "N", 1);
    });
    close(heard[1]);
    ASSERT_GT(impostor, 0);
    seams_.proxy_required = always_proxy;
    install();
    const int before = open_descriptor_count();
    int sock = -1;
    EXPECT_EQ(vnet_connect_to_service("127.0.0.1", "ztecho", nullptr, 0, 0, 5, &sock),
              VNET_CONNECT_FAILED);
    EXPECT_EQ(sock, -1);
    char said = 0;
    EXPECT_EQ(read(heard[0], &said, 1), 1);
    EXPECT_EQ(said, 'N');
    EXPECT_EQ(open_descriptor_count(), before);
    close(heard[0]);
}

} // namespace

namespace {

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST_F(ConnectPaths, OneServiceConnectionWhenSeveralAddressesReachVnetd) {
    resolve_test::script().hosts["two.example"] = {"127.0.0.1", "127.0.0.2"};
    DaemonProcess vnetd(kVnetd, {"--port", "0", "--pbx", "off"});
    ASSERT_TRUE(vnetd.ok());
    override_port("vnetd", vnetd.port());
    override_port("halvane_pbx", refused_port());
    ASSERT_GT(vnetd_service("ztecho"), 0);
    for (int round = 0; round < 5; ++round) {
        int sock = -1;
        ASSERT_EQ(vnet_connect_to_service("two.example", "ztecho", nullptr, 0, 0, 20, &sock),
                  VNET_SUCCESS)
            << report();
        EXPECT_EQ(converse(sock, "once"), "ztecho:once");
        close(sock);
        EXPECT_EQ(count_of(report(), "status: SUCCESS"), 1u) << report();
        vnet_cached_free_memory(); // the exchange is tried again each round
    }
}

} // namespace
