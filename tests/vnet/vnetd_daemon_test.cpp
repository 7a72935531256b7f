// The vnetd conversation for real: the ztvnetd daemon as a child process on
// a port the kernel picks, services registered by other processes, and
// clients in this one.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <jansson.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/unix_sockets.h"
#include "support/daemon_process.h"
#include "support/fd_count.h"
#include "support/temp_root.h"
#include "ztbase/comm.h"
#include "ztbase/paths.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_connect.h"
#include "ztbase/vnet_pbx.h"
#include "ztbase/vnet_vnetd.h"
#include "ztbase/ztconf.h"

extern char **environ;

namespace {

constexpr int kTimeout = 20;

// A literal with its inner NULs (and without the final one).
template <size_t N> std::string lit(const char (&text)[N]) { return std::string(text, N - 1); }

int descriptors_of(pid_t pid) {
    int n = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Reads one line from fd, waiting at most `seconds`.
std::string read_line(int fd, int seconds) {
    std::string line;
    char c;
    while (line.size() < 200) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, seconds * 1000) <= 0 || read(fd, &c, 1) != 1 || c == '\n')
            break;
        line += c;
    }
    return line;
}

void echo(int sock) {
    char buf[65536];
    for (;;) {
        const ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        if (send(sock, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
            break;
    }
    close(sock);
}

bool send_all(int sock, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(sock, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string recv_n(int sock, size_t n) {
    std::string out(n, '\0');
    size_t done = 0;
    while (done < n && vnet_sock_ready(sock, 1, 0, kTimeout) == VNET_SUCCESS) {
        const ssize_t r = recv(sock, out.data() + done, n - done, 0);
        if (r <= 0)
            break;
        done += static_cast<size_t>(r);
    }
    out.resize(done);
    return out;
}

// A raw TCP connection to the daemon on this host.
int raw_connect(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Whether the peer closed (or reset) the connection within `ms`.
bool closed_within(int s, int ms) {
    pollfd p{s, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, ms) <= 0)
        return false;
    char buf[256];
    return recv(s, buf, sizeof buf, MSG_DONTWAIT) <= 0;
}

class VnetdDaemon : public zt::test::ZtTest {
  protected:
    void SetUp() override { start_daemon(); }

    void TearDown() override {
        for (pid_t p : services_) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        if (daemon_ > 0) {
            kill(daemon_, SIGKILL);
            waitpid(daemon_, nullptr, 0);
        }
    }

    // The running daemon ends; another starts with these options.
    void restart_daemon(const std::vector<std::string> &extra) {
        kill(daemon_, SIGKILL);
        waitpid(daemon_, nullptr, 0);
        daemon_ = -1;
        start_daemon(extra);
    }

    void start_daemon(const std::vector<std::string> &extra = {}) {
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        const std::string path = ZT_BINARY_DIR "/standins/vnetd/ztvnetd";
        // No port exchange of the machine's own: one test starts its own.
        std::vector<std::string> args{path, "--port", "0", "--bind", "127.0.0.1", "--pbx", "off"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&daemon_, path.c_str(), &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        const std::string line = read_line(out[0], 60);
        close(out[0]);
        ASSERT_EQ(sscanf(line.c_str(), "listening on port %d", &port_), 1) << line;
        // Every client here finds the daemon through the port override.
        zt::test::write_file(std::string(getFennicString("OVERRIDE_PATH")) + "/vnetd",
                             std::to_string(port_) + "\n");
    }

    // A connection to the daemon after the handshake.
    int connect_daemon(int *version = nullptr) {
        int sock = -1, v = 0;
        if (vnet_vnetd_connect_host("127.0.0.1", port_, kTimeout, &sock) != VNET_SUCCESS)
            return -1;
        if (vnet_version_connect(&sock, VN_VERSION_HIGHEST, 2, &v, kTimeout) != VNET_SUCCESS)
            return -1;
        if (version)
            *version = v;
        return sock;
    }

    // A connection to the daemon's local endpoint after the handshake.
    int connect_local(int *version = nullptr) {
        int sock = -1, v = 0;
        const std::string name = VN_LOCAL_ENDPOINT_PREFIX + std::to_string(port_);
        if (ztbase::usock::connect_abstract(name, SOCK_STREAM, &sock) != 0)
            return -1;
        if (vnet_version_connect(&sock, VN_VERSION_HIGHEST, VN_VERSION_HIGHEST, &v, kTimeout) !=
            VNET_SUCCESS)
            return -1;
        if (version)
            *version = v;
        return sock;
    }

    // A registered echo service in its own process; `before_receive` lets the
    // test hold it between accepting the daemon and receiving the socket.
    pid_t start_service(const char *name, int hold_fd = -1, int report_fd = -1) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return -1;
        const pid_t pid = fork();
        if (pid == 0) {
            int listener = -1;
            char ok = vnet_vnetd_listen_and_register_service(name, 16, &listener) == VNET_SUCCESS;
            write(ready[1], &ok, 1);
            for (;;) {
                if (hold_fd >= 0) {
                    int ipc = -1;
                    if (vnet_accept_from_vnetd(listener, &ipc, 60) != VNET_SUCCESS)
                        _exit(3);
                    char c = 'A';
                    write(report_fd, &c, 1);
                    read(hold_fd, &c, 1); // until the test lets go
                    int got = -1;
                    const int st = vnet_receive_network_socket(ipc, "", &got, 5);
                    close(ipc);
                    c = static_cast<char>(st);
                    write(report_fd, &c, 1); // the service lives on to say so
                    continue;
                }
                int sock = -1;
                const int st = vnet_vnetd_accept_and_receive(listener, nullptr, &sock, 60);
                if (st == VNET_SUCCESS)
                    std::thread(echo, sock).detach();
            }
        }
        close(ready[1]);
        char ok = 0;
        const bool started = pid > 0 && read(ready[0], &ok, 1) == 1 && ok;
        close(ready[0]);
        if (pid > 0)
            services_.push_back(pid);
        return started ? pid : -1;
    }

    pid_t daemon_ = -1;
    int port_ = 0;
    std::vector<pid_t> services_;
};

TEST_F(VnetdDaemon, ClientReachesARegisteredServiceWithItsBytesUntouched) {
    ASSERT_GT(start_service("echo"), 0);
    const int before = zt::test::open_descriptor_count();
    int version = 0;
    int sock = connect_daemon(&version);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(version, VN_VERSION_HIGHEST);
    ASSERT_EQ(vnet_vnetd_service_socket(&sock, version, "ECHO", kTimeout), VNET_SUCCESS);
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + (i >> 9));
    std::thread writer([&] { send_all(sock, data); });
    EXPECT_TRUE(recv_n(sock, data.size()) == data);
    writer.join();
    close(sock);
    EXPECT_EQ(zt::test::open_descriptor_count(), before);
}

TEST_F(VnetdDaemon, ManyClientsAtOnce) {
    ASSERT_GT(start_service("echo"), 0);
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 24; ++i)
        clients.emplace_back([&, i] {
            int version = 0;
            int sock = connect_daemon(&version);
            if (sock < 0 || vnet_vnetd_service_socket(&sock, version, "echo", kTimeout) != 0)
                return;
            const std::string msg = "client " + std::to_string(i) + std::string(5000, 'x');
            if (send_all(sock, msg) && recv_n(sock, msg.size()) == msg)
                ++good;
            close(sock);
        });
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(good.load(), 24);
}

TEST_F(VnetdDaemon, ServicesThatCannotBeReachedAreNoService) {
    vnet_vnetd_register_service("expired", getpid(), 1, "4242", nullptr, nullptr, nullptr);
    vnet_vnetd_register_service("dead", 0x7ffffff0, 0, "4242", nullptr, nullptr, nullptr);
    // Files anyone may have planted: a registration others may write, one
    // reached through a link, a command others may rewrite.
    char *args[] = {nullptr};
    char path[4096], target[4096];
    for (const char *name : {"loose", "target", "wideprog"})
        ASSERT_EQ(vnet_vnetd_register_service(name, 0, 0, nullptr, "/bin/sh", nullptr, args),
                  VNET_SUCCESS);
    ASSERT_EQ(vnet_generate_service_path("loose", path, sizeof path), VNET_SUCCESS);
    ASSERT_EQ(chmod(path, 0666), 0);
    ASSERT_EQ(vnet_generate_service_path("target", target, sizeof target), VNET_SUCCESS);
    ASSERT_EQ(vnet_generate_service_path("linked", path, sizeof path), VNET_SUCCESS);
    ASSERT_EQ(symlink(target, path), 0);
    const std::string program = std::string(target) + ".sh";
    ASSERT_EQ(system(("cp /bin/sh '" + program + "' && chmod 0777 '" + program + "'").c_str()), 0);
    ASSERT_EQ(vnet_vnetd_register_service("wideprog", 0, 0, nullptr, program.c_str(), nullptr, args),
              VNET_SUCCESS);
    for (const char *service :
         {"absent", "expired", "dead", "../../etc/passwd", "loose", "linked", "wideprog"}) {
        SCOPED_TRACE(service);
        int version = 0;
        int sock = connect_daemon(&version);
        ASSERT_GE(sock, 0);
        EXPECT_EQ(vnet_vnetd_service_socket(&sock, version, service, kTimeout), VNET_NO_SERVICE);
        vnet_closesocket(sock);
    }
}

TEST_F(VnetdDaemon, RequestsAreAnswered) {
    int version = 0;
    int sock = connect_daemon(&version);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(vnet_vnetd_noop(&sock, version, kTimeout), VNET_SUCCESS);
    char text[64] = "";
    ASSERT_EQ(vnet_version_get_ipi(&sock, kTimeout, text, sizeof text), VNET_SUCCESS);
    EXPECT_EQ(atoi(text), VN_PRODUCT_VERSION);
    int supported = 5;
    EXPECT_EQ(vnet_vnetd_pbx_c_supported(&sock, version, &supported, kTimeout), VNET_SUCCESS);
    EXPECT_EQ(supported, 0);
    char master[256] = "x";
    EXPECT_EQ(vnet_vnetd_get_master_server_name(&sock, master, sizeof master, version, kTimeout), VNET_SUCCESS);

    json_t *set = json_pack("{s:s,s:i}", "domain", "lab", "level", 2);
    EXPECT_EQ(vnet_set_domain_ctx(&sock, version, set, kTimeout), VNET_SUCCESS);
    json_t *got = nullptr;
    ASSERT_EQ(vnet_get_domain_ctx(&sock, version, &got, kTimeout), VNET_SUCCESS);
    EXPECT_TRUE(json_equal(set, got));
    json_decref(set);
    json_decref(got);

    ztconf_info_t info{};
    EXPECT_EQ(vnet_vnetd_get_security_info(&sock, version, &info, kTimeout), VNET_SUCCESS);
    ztconf_free_authorization_service(info.authorization_service);
    ztconf_free_authentication_domain_list(info.authentication_domain);
    ztconf_free_hxss_network(info.hxss_network);
    int use_at = -1;
    EXPECT_EQ(vnet_vnetd_get_master_useat_info(&sock, version, &use_at, kTimeout), VNET_SUCCESS);
    json_t *handoff = json_object();
    EXPECT_EQ(vnet_vnetd_indirect_handoff(&sock, handoff, kTimeout), VNET_SUCCESS);
    json_decref(handoff);
    EXPECT_EQ(vnet_vnetd_disconnect(&sock, version, kTimeout), VNET_SUCCESS);
    vnet_closesocket(sock);

    // Over TCP no socket can come back: an indirect connect is refused and
    // the conversation goes on.
    sock = connect_daemon(&version);
    ASSERT_GE(sock, 0);
    ASSERT_EQ(vnet_push_unsigned(sock, VN_REQUEST_INDIRECT_CONNECT, kTimeout), VNET_SUCCESS);
    ASSERT_EQ(vnet_push_string(sock, "{\"host\":\"h\"}", kTimeout), VNET_SUCCESS);
    char reply[256];
    ASSERT_EQ(vnet_pop_string(sock, reply, sizeof reply, kTimeout), VNET_SUCCESS);
    json_t *r = json_loads(reply, 0, nullptr);
    EXPECT_EQ(json_integer_value(json_object_get(r, "status")), VNET_NOT_AVAILABLE);
    EXPECT_TRUE(json_is_string(json_object_get(r, "error")));
    json_decref(r);
    EXPECT_EQ(vnet_vnetd_noop(&sock, version, kTimeout), VNET_SUCCESS);
    vnet_closesocket(sock);

    sock = connect_daemon(&version);
    ASSERT_EQ(vnet_push_unsigned(sock, 99, kTimeout), VNET_SUCCESS);
    int status = 0;
    EXPECT_EQ(vnet_pop_status(sock, &status, kTimeout), VNET_SUCCESS);
    EXPECT_EQ(status, VNET_BAD_REQUEST);
    vnet_closesocket(sock);

    int remote = 0;
    EXPECT_EQ(vnet_get_vnetd_version("127.0.0.1", &remote), VNET_SUCCESS);
    EXPECT_EQ(remote, VN_VERSION_HIGHEST);
}

// A listening socket on 127.0.0.1 and its port.
int loopback_listener(int *port) {
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(l, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(l, 4) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(l);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return l;
}

// Connect parameters for a loopback listener on port, on the legacy path,
// from an ordinary source port unless reserved_kind says otherwise.
std::string indirect_params(int port, int reserved_kind = ZTCONF_RESERVED_PORT_KIND_NONE) {
    return "{\"who\":\"test\",\"host\":\"127.0.0.1\",\"service\":\"" + std::to_string(port) +
           "\",\"overide_connect_timeout\":3,\"connect_options\":{\"server\":\"127.0.0.1\","
           "\"reserved_port_kind\":" + std::to_string(reserved_kind) +
           ",\"callback_kind\":0,\"daemon_port_type\":2}}";
}

// An indirect connect on the local endpoint: the reply's status (-1 when
// there was none) and the socket it brings back (-1 when none).
int indirect_status(int vnetd_port, const std::string &params, int *sock) {
    int conn = -1, version = 0, status = -1;
    *sock = -1;
    const std::string name = VN_LOCAL_ENDPOINT_PREFIX + std::to_string(vnetd_port);
    std::string reply(10240, '\0');
    if (ztbase::usock::connect_abstract(name, SOCK_STREAM, &conn) == 0 &&
        vnet_version_connect(&conn, VN_VERSION_HIGHEST, VN_VERSION_HIGHEST, &version, kTimeout) == 0 &&
        vnet_push_unsigned(conn, VN_REQUEST_INDIRECT_CONNECT, kTimeout) == 0 &&
        vnet_push_string(conn, params.c_str(), kTimeout) == 0 &&
        vnet_pop_string(conn, reply.data(), 10240, kTimeout) == 0) {
        json_t *r = json_loads(reply.c_str(), 0, nullptr);
        if (json_is_integer(json_object_get(r, "status")))
            status = static_cast<int>(json_integer_value(json_object_get(r, "status")));
        json_decref(r);
        if (status == 0)
            vnet_receive_network_socket(conn, nullptr, sock, kTimeout);
    }
    if (conn >= 0)
        close(conn);
    return status;
}

// The socket an indirect connect on the local endpoint brings back, or -1.
int indirect_socket(int vnetd_port, const std::string &params) {
    int sock = -1;
    indirect_status(vnetd_port, params, &sock);
    return sock;
}

// The peer port of the next connection to listener.
int next_peer_port(int listener) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int s = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
    if (s < 0)
        return -1;
    close(s);
    return ntohs(peer.sin_port);
}

TEST_F(VnetdDaemon, LocalEndpointServesTheSameConversation) {
    int version = 0;
    int sock = connect_local(&version);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(version, VN_VERSION_HIGHEST);
    char text[64] = "";
    ASSERT_EQ(vnet_version_get_ipi(&sock, kTimeout, text, sizeof text), VNET_SUCCESS);
    EXPECT_EQ(atoi(text), VN_PRODUCT_VERSION);
    EXPECT_EQ(vnet_vnetd_noop(&sock, version, kTimeout), VNET_SUCCESS);
    EXPECT_EQ(vnet_vnetd_disconnect(&sock, version, kTimeout), VNET_SUCCESS);
    vnet_closesocket(sock);
}

// Request 17 on the local endpoint: the daemon connects with the caller's
// parameters and hands the socket back over the same connection, which then
// goes on to the next request.
TEST_F(VnetdDaemon, IndirectConnectHandsTheConnectedSocketBack) {
    int port = 0, gone_port = 0;
    const int listener = loopback_listener(&port);
    ASSERT_GE(listener, 0);
    close(loopback_listener(&gone_port)); // a port nobody listens on
    const int before = zt::test::open_descriptor_count();
    const int daemon_before = descriptors_of(daemon_);
    const struct {
        std::string params;
        int status; // -1: any failure with a connection report
    } cases[] = {
        {indirect_params(port), VNET_SUCCESS},
        {"not json", VNET_BAD_STRING},
        {"[1, 2]", VNET_BAD_PARAM},
        {"{\"host\": \"127.0.0.1\"}", VNET_BAD_PARAM},
        {"{\"host\": 5, \"service\": \"x\"}", VNET_BAD_PARAM},
        {indirect_params(gone_port), -1},
        {indirect_params(port), VNET_SUCCESS},
    };
    int version = 0;
    int conn = connect_local(&version);
    ASSERT_GE(conn, 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.params);
        ASSERT_EQ(vnet_push_unsigned(conn, VN_REQUEST_INDIRECT_CONNECT, kTimeout), VNET_SUCCESS);
        ASSERT_EQ(vnet_push_string(conn, c.params.c_str(), kTimeout), VNET_SUCCESS);
        std::string reply(10240, '\0');
        ASSERT_EQ(vnet_pop_string(conn, reply.data(), 10240, kTimeout), VNET_SUCCESS);
        json_t *r = json_loads(reply.c_str(), 0, nullptr);
        ASSERT_TRUE(json_is_integer(json_object_get(r, "status"))) << reply.c_str();
        const int status = static_cast<int>(json_integer_value(json_object_get(r, "status")));
        const char *report = json_string_value(json_object_get(r, "tss_connect_error_message"));
        if (c.status == -1) {
            EXPECT_NE(status, VNET_SUCCESS);
            ASSERT_NE(report, nullptr);
            EXPECT_NE(std::string(report).find("connect failed"), std::string::npos) << report;
        } else {
            EXPECT_EQ(status, c.status) << reply.c_str();
        }
        if (status == VNET_SUCCESS) {
            EXPECT_EQ(json_integer_value(json_object_get(r, "vnetd_version")), 0); // legacy path
            int sock = -1;
            ASSERT_EQ(vnet_receive_network_socket(conn, nullptr, &sock, kTimeout), VNET_SUCCESS);
            const int served = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ASSERT_GE(served, 0);
            ASSERT_TRUE(send_all(sock, "there"));
            EXPECT_EQ(recv_n(served, 5), "there");
            ASSERT_TRUE(send_all(served, "back"));
            EXPECT_EQ(recv_n(sock, 4), "back");
            close(served);
            close(sock);
        }
        json_decref(r);
    }
    EXPECT_EQ(vnet_vnetd_disconnect(&conn, version, kTimeout), VNET_SUCCESS);
    vnet_closesocket(conn);
    EXPECT_EQ(zt::test::open_descriptor_count(), before);
    close(listener);
    for (int i = 0; i < 200 && descriptors_of(daemon_) != daemon_before; ++i)
        usleep(50000);
    EXPECT_EQ(descriptors_of(daemon_), daemon_before);
}

// Request 13 over TCP until it answers `want` (within about 20 s).
bool exchange_support_becomes(int port, int want) {
    for (int i = 0; i < 200; ++i) {
        int sock = -1, version = 0, supported = -1;
        if (vnet_vnetd_connect_host("127.0.0.1", port, kTimeout, &sock) == VNET_SUCCESS &&
            vnet_version_connect(&sock, VN_VERSION_HIGHEST, 2, &version, kTimeout) == VNET_SUCCESS)
            vnet_vnetd_pbx_c_supported(&sock, version, &supported, kTimeout);
        vnet_closesocket(sock);
        if (supported == want)
            return true;
        usleep(100000);
    }
    return false;
}

// The daemon behind this host's port exchange: registered while the exchange
// runs (and again after it comes back), serving the connections it switches
// under each of the daemon's names like its own TCP clients.
TEST_F(VnetdDaemon, ServesConnectionsSwitchedByThePortExchange) {
    const std::string pbxd = ZT_BINARY_DIR "/standins/pbx/ztpbxd";
    auto exchange = std::make_unique<zt::test::DaemonProcess>(
        pbxd, std::vector<std::string>{"--listen", "127.0.0.1", "--port", "0"});
    ASSERT_TRUE(exchange->ok());
    const int pbx_port = exchange->port();
    const std::string override_dir = getFennicString("OVERRIDE_PATH");
    zt::test::write_file(override_dir + "/halvane_pbx", std::to_string(pbx_port) + "\n");
    restart_daemon({"--pbx", "auto"});
    ASSERT_TRUE(exchange_support_becomes(port_, 1));
    zt::test::write_file(override_dir + "/vnetd", std::to_string(port_) + "\n");

    ASSERT_EQ(vnet_pbxInitialize(), VNET_SUCCESS);
    for (const char *extension : {"vnetd", "vnetd-no-auth", "vnetd-auth-only"}) {
        SCOPED_TRACE(extension);
        vnet_pbx_handle h = nullptr;
        ASSERT_EQ(vnet_pbxAllocSocket(&h, -1), VNET_SUCCESS);
        ASSERT_EQ(vnet_pbxConnect(&h, "127.0.0.1", extension, VNET_PBX_MODE_BLOCKING), VNET_SUCCESS);
        int sock = vnet_pbxGetSocketHandle(h);
        vnet_pbxClose(&h, 1);
        int version = 0, supported = 0;
        ASSERT_EQ(vnet_version_connect(&sock, VN_VERSION_HIGHEST, 2, &version, kTimeout), VNET_SUCCESS);
        char text[64] = "";
        ASSERT_EQ(vnet_version_get_ipi(&sock, kTimeout, text, sizeof text), VNET_SUCCESS);
        EXPECT_EQ(atoi(text), VN_PRODUCT_VERSION);
        EXPECT_EQ(vnet_vnetd_pbx_c_supported(&sock, version, &supported, kTimeout), VNET_SUCCESS);
        EXPECT_EQ(supported, 1);
        EXPECT_EQ(vnet_vnetd_disconnect(&sock, version, kTimeout), VNET_SUCCESS);
        vnet_closesocket(sock);
    }
    vnet_pbxUnInitialize();

    // The exchange goes: no more support, but TCP is served as before; it
    // comes back on its port: registered again.
    exchange->stop(SIGKILL);
    EXPECT_TRUE(exchange_support_becomes(port_, 0));
    int version = 0;
    int sock = connect_daemon(&version);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(vnet_vnetd_noop(&sock, version, kTimeout), VNET_SUCCESS);
    vnet_closesocket(sock);
    exchange = std::make_unique<zt::test::DaemonProcess>(
        pbxd, std::vector<std::string>{"--listen", "127.0.0.1", "--port", std::to_string(pbx_port)});
    ASSERT_TRUE(exchange->ok());
    EXPECT_TRUE(exchange_support_becomes(port_, 1));
    // Registered, it still ends cleanly.
    ASSERT_EQ(kill(daemon_, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(daemon_, &status, 0), daemon_);
    daemon_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Only root's indirect connects come from a reserved source port: another
// user could not bind one itself.
TEST_F(VnetdDaemon, IndirectConnectBindsAReservedPortForRootOnly) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the daemon binds reserved ports only then";
    int port = 0;
    const int listener = loopback_listener(&port);
    ASSERT_GE(listener, 0);
    const std::string params = indirect_params(port, ZTCONF_RESERVED_PORT_KIND_LEGACY);
    const int sock = indirect_socket(port_, params);
    ASSERT_GE(sock, 0);
    EXPECT_LT(next_peer_port(listener), 1024);
    close(sock);
    const pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(2);
        _exit(indirect_socket(port_, params) >= 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GE(next_peer_port(listener), 1024);
    close(listener);
}

// A pair of connected TCP sockets between "two hosts" (two threads here).
void tcp_pair(int *a, int *b) {
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(l, reinterpret_cast<sockaddr *>(&addr), len);
    listen(l, 1);
    getsockname(l, reinterpret_cast<sockaddr *>(&addr), &len);
    *a = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(*a, reinterpret_cast<sockaddr *>(&addr), len);
    *b = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    close(l);
}

TEST_F(VnetdDaemon, CallBackInBothArrangements) {
    for (int daemon_socket = 0; daemon_socket < 2; ++daemon_socket) {
        SCOPED_TRACE(daemon_socket ? "request 2" : "request 3");
        const int before = zt::test::open_descriptor_count();
        int a = -1, b = -1;
        tcp_pair(&a, &b);
        int called = -1, caller = -1, st_a = -1;
        std::thread waiting([&] { st_a = vnet_begin_connect_back(&a, kTimeout, &called); });
        EXPECT_EQ(vnet_end_connect_back(&b, kTimeout, daemon_socket, &caller), VNET_SUCCESS);
        waiting.join();
        ASSERT_EQ(st_a, VNET_SUCCESS);
        ASSERT_TRUE(send_all(caller, "ping"));
        EXPECT_EQ(recv_n(called, 4), "ping");
        ASSERT_TRUE(send_all(called, "pong"));
        EXPECT_EQ(recv_n(caller, 4), "pong");
        for (int fd : {a, b, called, caller})
            close(fd);
        EXPECT_EQ(zt::test::open_descriptor_count(), before);
    }
}

TEST_F(VnetdDaemon, ForwardedConnectionReachesItsPort) {
    char port[32] = "0";
    int listener = -1;
    ASSERT_EQ(vnet_listen_on_local_port(5, port, sizeof port, &listener), VNET_SUCCESS);
    int version = 0;
    int control = connect_daemon(&version);
    char ipc[32], hash[VN_HASH_SIZE];
    ASSERT_EQ(vnet_vnetd_connect_forward_socket_begin(&control, atoi(port), ipc, sizeof ipc, hash,
                                                      sizeof hash, kTimeout, "root", version),
              VNET_SUCCESS);
    // The connection that gets forwarded, from "elsewhere".
    int incoming = connect_daemon(&version);
    char hash_back[VN_HASH_SIZE];
    ASSERT_EQ(vnet_vnetd_connect_back_socket(&incoming, version, ipc, hash_back, sizeof hash_back, kTimeout),
              VNET_SUCCESS);
    EXPECT_STREQ(hash_back, hash);
    int forwarded = -1;
    ASSERT_EQ(vnet_vnetd_accept_and_receive(listener, hash, &forwarded, kTimeout), VNET_SUCCESS);
    int status = -1;
    ASSERT_EQ(vnet_pop_status(incoming, &status, kTimeout), VNET_SUCCESS);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(vnet_vnetd_connect_forward_socket_end(&control, kTimeout), VNET_SUCCESS);
    ASSERT_TRUE(send_all(incoming, "through"));
    EXPECT_EQ(recv_n(forwarded, 7), "through");
    for (int fd : {listener, control, incoming, forwarded})
        close(fd);
}

TEST_F(VnetdDaemon, DaemonKilledInTheMiddleOfAHandOver) {
    int hold[2], report[2];
    ASSERT_EQ(pipe(hold), 0);
    ASSERT_EQ(pipe(report), 0);
    const pid_t service = start_service("held", hold[0], report[1]);
    ASSERT_GT(service, 0);
    int version = 0;
    int sock = connect_daemon(&version);
    ASSERT_GE(sock, 0);
    int status = -1;
    std::thread client([&] { status = vnet_vnetd_service_socket(&sock, version, "held", kTimeout); });
    char c = 0;
    ASSERT_EQ(read(report[0], &c, 1), 1); // the daemon is connected to the service
    kill(daemon_, SIGKILL);
    waitpid(daemon_, nullptr, 0);
    daemon_ = -1;
    client.join();
    EXPECT_NE(status, VNET_SUCCESS);
    EXPECT_EQ(sock, -1);
    ASSERT_EQ(write(hold[1], "g", 1), 1);
    ASSERT_EQ(read(report[0], &c, 1), 1);
    EXPECT_NE(c, VNET_SUCCESS); // the service's receive failed, and it is still there
    EXPECT_EQ(kill(service, 0), 0);
    for (int fd : {hold[0], hold[1], report[0], report[1]})
        close(fd);
}

TEST_F(VnetdDaemon, HostileClientsLeaveTheDaemonServing) {
    const int baseline = descriptors_of(daemon_);
    bool local = false;
    auto raw = [&](const std::string &bytes) {
        int s = -1;
        if (local)
            ztbase::usock::connect_abstract(VN_LOCAL_ENDPOINT_PREFIX + std::to_string(port_),
                                            SOCK_STREAM, &s);
        else
            s = raw_connect(port_);
        send_all(s, bytes);
        shutdown(s, SHUT_WR);
        recv_n(s, 1 << 21); // whatever comes, until the daemon closes
        close(s);
    };
    const std::string good = lit("13\0" "13\0" "6\0" "echo\0");
    // Close at every byte of a valid conversation, then junk.
    for (size_t cut = 0; cut <= good.size(); ++cut)
        raw(good.substr(0, cut));
    raw(lit("garbage\0"));
    raw(lit("13\0" "13\0" "zz\0"));
    raw(lit("13\0" "13\0" "6\0") + std::string(1 << 20, 'a'));
    raw(lit("13\0" "13\0" "21\0") + std::string(1 << 20, '{'));
    raw(lit("13\0" "13\0" "9\0" "ni_bogus\0"));
    raw(lit("13\0" "13\0" "2\0" "99999999999999999999\0"));
    raw(lit("13\0" "13\0" "3\0" "-5\0"));
    raw(lit("13\0" "13\0" "17\0") + std::string(1 << 20, 'a'));
    // The same on the local endpoint, and indirect connects cut at every
    // byte or left before the socket comes back.
    local = true;
    raw(lit("13\0" "13\0" "17\0") + std::string(1 << 20, 'a'));
    raw(lit("13\0" "13\0" "17\0" "\xff\xfe{\0"));
    int port = 0;
    const int listener = loopback_listener(&port);
    const std::string indirect = lit("13\0" "13\0" "17\0") + indirect_params(port) + '\0';
    for (size_t cut = 0; cut <= indirect.size(); cut += cut < 12 ? 1 : 37)
        raw(indirect.substr(0, cut));
    raw(indirect);
    close(listener);
    int version = 0;
    int sock = connect_daemon(&version);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(vnet_vnetd_noop(&sock, version, kTimeout), VNET_SUCCESS);
    vnet_closesocket(sock);
    // Every connection thread ends and closes what it held.
    for (int i = 0; i < 200 && descriptors_of(daemon_) != baseline; ++i)
        usleep(50000);
    EXPECT_EQ(descriptors_of(daemon_), baseline);
}

// Clients that trickle a byte now and then, each within the time allowed
// for one byte: each is cut off once its step's time is over, so that they
// cannot hold the daemon's slots.
// Indirect connects can each last the longest timeout: one user may run
// only a share of the slots with them (one of eight slots here).
TEST_F(VnetdDaemon, IndirectConnectsOfOneUserTakeOnlyAShareOfTheSlots) {
    restart_daemon({"--max-connections", "8"});
    // A listener whose queue is full: connects to it wait for their timeout.
    const int full = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr *>(&a), len), 0);
    ASSERT_EQ(listen(full, 0), 0);
    ASSERT_EQ(getsockname(full, reinterpret_cast<sockaddr *>(&a), &len), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        connect(fillers.back(), reinterpret_cast<sockaddr *>(&a), len);
    }
    usleep(100000);
    std::atomic<int> slow_status{-2};
    int sock = -1;
    std::string slow_params = indirect_params(ntohs(a.sin_port));
    slow_params.replace(slow_params.find("\"overide_connect_timeout\":3"), 27,
                        "\"overide_connect_timeout\":8");
    std::thread slow([&] {
        int s = -1;
        slow_status = indirect_status(port_, slow_params, &s);
    });
    // Asked again while the first runs (a quick one to a port nobody listens
    // on, tried again should it come before the first began).
    int gone = 0;
    close(loopback_listener(&gone));
    std::string quick = indirect_params(gone);
    quick.replace(quick.find("\"overide_connect_timeout\":3"), 27, "\"overide_connect_timeout\":1");
    int second = -1;
    for (int i = 0; i < 20 && slow_status == -2; ++i) {
        usleep(100000);
        if ((second = indirect_status(port_, quick, &sock)) == VNET_NOT_AVAILABLE)
            break;
    }
    EXPECT_EQ(second, VNET_NOT_AVAILABLE);
    slow.join();
    EXPECT_NE(slow_status, VNET_SUCCESS);
    EXPECT_NE(slow_status, VNET_NOT_AVAILABLE);
    // Its turn over, the user may ask again.
    int port = 0;
    const int listener = loopback_listener(&port);
    sock = indirect_socket(port_, indirect_params(port));
    EXPECT_GE(sock, 0);
    for (int fd : fillers)
        close(fd);
    for (int fd : {full, listener, sock})
        if (fd >= 0)
            close(fd);
}

TEST_F(VnetdDaemon, TricklingClientsAreCutOffAndFreeTheirSlots) {
    restart_daemon({"--io-timeout", "2", "--max-connections", "3"});
    const std::string prefixes[] = {
        "",                                  // the handshake itself
        lit("13\0" "13\0" "6\0"),            // a service name
        lit("13\0" "13\0" "21\0"),           // a domain context
    };
    std::atomic<int> ended{0};
    std::vector<std::thread> tricklers;
    for (const std::string &prefix : prefixes)
        tricklers.emplace_back([&, prefix] {
            const int s = raw_connect(port_);
            if (s < 0 || !send_all(s, prefix))
                return;
            // A digit of the version number, else a letter of the string.
            const std::string drip = prefix.empty() ? "1" : "a";
            for (int i = 0; i < 60; ++i) {
                if (send(s, drip.data(), 1, MSG_NOSIGNAL) != 1 || closed_within(s, 1000)) {
                    ++ended;
                    break;
                }
            }
            close(s);
        });
    for (auto &t : tricklers)
        t.join();
    EXPECT_EQ(ended.load(), 3);

    // The slots are free again; when they are full of idle clients, the one
    // idle the longest makes room for a newcomer.
    int version = 0;
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(connect_daemon(&version));
        ASSERT_GE(idle.back(), 0);
        EXPECT_EQ(vnet_vnetd_noop(&idle.back(), version, kTimeout), VNET_SUCCESS);
    }
    int fresh = connect_daemon(&version);
    ASSERT_GE(fresh, 0);
    EXPECT_EQ(vnet_vnetd_noop(&fresh, version, kTimeout), VNET_SUCCESS);
    EXPECT_TRUE(closed_within(idle[0], kTimeout * 1000));
    EXPECT_EQ(vnet_vnetd_noop(&idle[2], version, kTimeout), VNET_SUCCESS);
    for (int fd : idle)
        vnet_closesocket(fd);
    vnet_closesocket(fresh);
}

TEST_F(VnetdDaemon, PerConnectionServiceFindsItsConnectionOnDescriptorZero) {
    char *args[] = {const_cast<char *>("-c"),
                    const_cast<char *>("read line; echo \"got $line\" >&0"), nullptr};
    ASSERT_EQ(vnet_vnetd_register_service("oneshot", 0, 0, nullptr, "/bin/sh", nullptr, args),
              VNET_SUCCESS);
    int version = 0;
    int sock = connect_daemon(&version);
    ASSERT_EQ(vnet_vnetd_service_socket(&sock, version, "oneshot", kTimeout), VNET_SUCCESS);
    ASSERT_TRUE(send_all(sock, "hello\n"));
    EXPECT_EQ(recv_n(sock, 10), "got hello\n");
    close(sock);
}

TEST_F(VnetdDaemon, SigtermEndsTheDaemonCleanly) {
    int version = 0;
    int idle = connect_daemon(&version); // a client that says nothing more
    ASSERT_GE(idle, 0);
    const std::string startup = zt::test::read_file(getFennicString("VN_PATH_STARTUP_TIME"));
    ASSERT_FALSE(startup.empty());
    EXPECT_EQ(startup.back(), '\n');
    ASSERT_EQ(kill(daemon_, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(daemon_, &status, 0), daemon_);
    daemon_ = -1;
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(idle);
}

// Sockets for a child process: the child takes them from its parent.
TEST(VnetdChildSockets, ChildReceivesItsParentsSockets) {
    int a[2], b[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    const pid_t child = fork();
    if (child == 0) {
        int socks[2] = {-1, -1};
        if (v_getSockets(getpid(), 7, 2, socks) != 0)
            _exit(1);
        send(socks[0], "A", 1, 0);
        send(socks[1], "B", 1, 0);
        _exit(0);
    }
    const int mine[2] = {a[1], b[1]};
    EXPECT_EQ(v_sendSockets(child, 7, child, 2, mine, 4), 0);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    char c = 0;
    EXPECT_EQ(recv(a[0], &c, 1, 0), 1);
    EXPECT_EQ(c, 'A');
    EXPECT_EQ(recv(b[0], &c, 1, 0), 1);
    EXPECT_EQ(c, 'B');

    // A child that ends first: the parent notices instead of waiting.
    const pid_t quitter = fork();
    if (quitter == 0)
        _exit(3);
    EXPECT_EQ(v_sendSockets(quitter, 8, quitter, 2, mine, 4), 1);
    for (int fd : {a[0], a[1], b[0], b[1]})
        close(fd);
}

} // namespace
