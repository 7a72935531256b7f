// The vnetd conversation against scripted peers in this process: the
// handshake, requests, the hash proof, handing a socket over (and the ways a
// hostile peer can break it), address records, registration files.
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <functional>
#include <jansson.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/unix_sockets.h"
#include "support/fd_count.h"
#include "support/temp_root.h"
#include "ztbase/paths.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_vnetd.h"
#include "ztbase/ztconf.h"

namespace {

using zt::test::open_descriptor_count;

struct Pair {
    int a = -1, b = -1;
    Pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            a = sv[0];
            b = sv[1];
        }
    }
    ~Pair() {
        if (a >= 0)
            close(a);
        if (b >= 0)
            close(b);
    }
};

// A connected TCP pair on the loopback interface.
struct TcpPair {
    int client = -1, server = -1, listener = -1;
    TcpPair() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        bind(listener, reinterpret_cast<sockaddr *>(&a), l);
        listen(listener, 4);
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &l);
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(client, reinterpret_cast<sockaddr *>(&a), l);
        server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    int port() const {
        sockaddr_in a{};
        socklen_t l = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &l);
        return ntohs(a.sin_port);
    }
    ~TcpPair() {
        for (int fd : {client, server, listener})
            if (fd >= 0)
                close(fd);
    }
};

// Everything the peer sent, until it closes or goes quiet.
std::string drain(int fd) {
    std::string out;
    char buf[4096];
    while (vnet_sock_ready(fd, 1, 0, 1) == VNET_SUCCESS) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

bool nothing_pending(int fd) {
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

std::string codec(std::initializer_list<const char *> values) {
    std::string s;
    for (const char *v : values)
        s.append(v, strlen(v) + 1);
    return s;
}

} // namespace

TEST(VnetdHandshake, AgreesOnlyWithinTheAcceptedRange) {
    struct Case {
        const char *daemon;
        int status;
        const char *told; // what the daemon hears back after the client's offer
    } cases[] = {
        {"13", VNET_SUCCESS, "13"},
        {"10", VNET_SUCCESS, "10"},
        {"1", VNET_BAD_VERSION, "-1"}, // below the lowest acceptable 2
        {"14", VNET_BAD_VERSION, "-1"},
        {"-1", VNET_BAD_VERSION, nullptr},
        {"12x", VNET_BAD_NUMBER, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.daemon);
        Pair p;
        ASSERT_EQ(send(p.b, c.daemon, strlen(c.daemon) + 1, 0), static_cast<ssize_t>(strlen(c.daemon) + 1));
        int sock = p.a, version = 0, hint = 0;
        EXPECT_EQ(vnet_version_connect_ex(&sock, 13, 2, &version, 5, &hint), c.status);
        if (c.status == VNET_SUCCESS) {
            EXPECT_EQ(sock, p.a);
            EXPECT_EQ(version, atoi(c.daemon));
            EXPECT_EQ(hint, version < 13 ? 2 : 1);
        } else {
            EXPECT_EQ(sock, -1); // closed and marked
            p.a = -1;
        }
        EXPECT_EQ(drain(p.b), codec({"13"}) + (c.told ? codec({c.told}) : ""));
    }
}

TEST(VnetdRequests, ThresholdsRefuseWithoutTraffic) {
    Pair p;
    int sock = p.a, supported = 7;
    EXPECT_EQ(vnet_vnetd_pbx_c_supported(&sock, 9, &supported, 5), VNET_SUCCESS);
    EXPECT_EQ(supported, 0);
    char name[64];
    EXPECT_EQ(vnet_vnetd_get_master_server_name(&sock, name, sizeof name, 9, 5), VNET_BAD_VERSION);
    EXPECT_EQ(vnet_vnetd_service_socket(&sock, 1, "bpcd", 5), VNET_BAD_VERSION);
    json_t *ctx = nullptr;
    EXPECT_EQ(vnet_get_domain_ctx(&sock, 12, &ctx, 5), VNET_BAD_VERSION);
    ztconf_info_t info{};
    EXPECT_EQ(vnet_vnetd_get_security_info(&sock, 2, &info, 5), VNET_BAD_VERSION);
    EXPECT_EQ(vnet_vnetd_service_socket(&sock, 13, nullptr, 5), VNET_BAD_ARGUMENT);
    EXPECT_EQ(sock, p.a);
    EXPECT_TRUE(nothing_pending(p.b));
}

TEST(VnetdRequests, DaemonStatusComesBackAndBrokenRepliesDropTheSocket) {
    {
        Pair p;
        const std::string reply = codec({"31"}); // NO_SERVICE
        send(p.b, reply.data(), reply.size(), 0);
        int sock = p.a;
        EXPECT_EQ(vnet_vnetd_service_socket(&sock, 13, "bpcd", 5), VNET_NO_SERVICE);
        EXPECT_EQ(sock, p.a); // a status is an answer: the connection stays
        EXPECT_EQ(drain(p.b), codec({"6", "bpcd"}));
    }
    {
        Pair p;
        send(p.b, "0x", 2, 0);
        shutdown(p.b, SHUT_WR); // closes within the number
        int sock = p.a;
        EXPECT_NE(vnet_vnetd_noop(&sock, 13, 5), VNET_SUCCESS);
        EXPECT_EQ(sock, -1);
        p.a = -1;
    }
}

TEST(VnetdRequests, SecurityInfoFillsOnlyWhatIsMissing) {
    Pair p;
    ztconf_info_t info{};
    ztconf_create_hxss_network("kept.example", 1, &info.hxss_network);
    const std::string reply = codec({"0",                                      // status
                                     "auth.example", "4032", "",               // authorization
                                     "broker.example", "1556", "DOM", "c", "2", // one domain
                                     ""});
    send(p.b, reply.data(), reply.size(), 0);
    int sock = p.a;
    ASSERT_EQ(vnet_vnetd_get_security_info(&sock, 13, &info, 5), VNET_SUCCESS);
    ASSERT_NE(info.authorization_service, nullptr);
    EXPECT_STREQ(info.authorization_service->host, "auth.example");
    EXPECT_EQ(info.authorization_service->port, 4032);
    ASSERT_NE(info.authentication_domain, nullptr);
    EXPECT_STREQ(info.authentication_domain->broker, "broker.example");
    EXPECT_STREQ(info.authentication_domain->domain, "DOM");
    EXPECT_EQ(info.authentication_domain->type, 2);
    EXPECT_EQ(info.authentication_domain->next, nullptr);
    EXPECT_EQ(drain(p.b), codec({"9", "ni_ess_available", "ni_authorization_service",
                                 "ni_authentication_domains", ""}));
    ztconf_free_authorization_service(info.authorization_service);
    ztconf_free_authentication_domain_list(info.authentication_domain);
    ztconf_free_hxss_network(info.hxss_network);

    Pair q;
    ztconf_info_t empty{};
    const std::string unknown = codec({"0", ">UNKNOWN<", "1", ""});
    send(q.b, unknown.data(), unknown.size(), 0);
    sock = q.a;
    EXPECT_EQ(vnet_vnetd_get_security_info(&sock, 13, &empty, 5), VNET_BAD_ARGUMENT);
    EXPECT_EQ(sock, -1);
    q.a = -1;
    EXPECT_EQ(empty.authorization_service, nullptr);
}

TEST(VnetdHashes, OnlyTheGeneratorsSecondHashProvesTheFirst) {
    TcpPair t;
    char h1[VN_HASH_SIZE], h2[VN_HASH_SIZE];
    ASSERT_EQ(vnet_generate_hashes(t.client, h1, sizeof h1, h2, sizeof h2), VNET_SUCCESS);
    EXPECT_EQ(strlen(h1), 32u);
    EXPECT_EQ(strspn(h2, "0123456789abcdef"), 32u);
    std::string flipped = h2;
    flipped[5] = flipped[5] == '0' ? '1' : '0';
    const std::string longer = std::string(h2) + "00";
    struct Case {
        const char *hash1, *hash2;
        int proven;
    } cases[] = {
        {h1, h2, 1},        {h1, h1, 0},          {h1, flipped.c_str(), 0}, {h1, "", 0},
        {h1, nullptr, 0},   {h1, "abc", 0},       {nullptr, "", 1},         {"", "", 1},
        {nullptr, h2, 0},   {h1, longer.c_str(), 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(verify_hashes(c.hash1, c.hash2), c.proven)
            << (c.hash1 ? c.hash1 : "null") << " / " << (c.hash2 ? c.hash2 : "null");
    // The second hash of RFC 1321's test value "" : MD5(MD5("")) pairs up.
    EXPECT_EQ(verify_hashes("59adb24ef3cdbe0297f05b395827453f", "d41d8cd98f00b204e9800998ecf8427e"), 1);
}

TEST(VnetdHandOver, SocketTravelsAndKeepsItsBytes) {
    const int before = open_descriptor_count();
    {
        TcpPair t;
        Pair ipc;
        char h1[VN_HASH_SIZE], h2[VN_HASH_SIZE];
        ASSERT_EQ(vnet_generate_hashes(t.server, h1, sizeof h1, h2, sizeof h2), VNET_SUCCESS);
        ASSERT_EQ(send(t.client, "early", 5, 0), 5); // unread when the socket leaves
        int got = -1, recv_status = -1;
        std::thread receiver([&] { recv_status = vnet_receive_network_socket(ipc.b, h1, &got, 5); });
        int sock = t.server;
        EXPECT_EQ(vnet_send_network_socket(ipc.a, &sock, h2, 5), VNET_SUCCESS);
        receiver.join();
        EXPECT_EQ(sock, -1);
        t.server = -1;
        ASSERT_EQ(recv_status, VNET_SUCCESS);
        char buf[8] = "";
        EXPECT_EQ(recv(got, buf, sizeof buf, 0), 5);
        EXPECT_EQ(std::string(buf, 5), "early");
        EXPECT_EQ(send(got, "back", 4, 0), 4);
        EXPECT_EQ(recv(t.client, buf, sizeof buf, 0), 4);
        close(got);
    }
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST(VnetdHandOver, WrongHashIsRefusedBeforeTheProcessId) {
    Pair ipc;
    const std::string h2 = codec({"d41d8cd98f00b204e9800998ecf8427f"});
    send(ipc.a, h2.data(), h2.size(), 0);
    int got = 5;
    EXPECT_EQ(vnet_receive_network_socket(ipc.b, "59adb24ef3cdbe0297f05b395827453f", &got, 5),
              VNET_BAD_HASH);
    EXPECT_EQ(got, -1);
    EXPECT_TRUE(nothing_pending(ipc.a)); // no process id went out
}

// A hostile sender: whatever it does, the receiver fails with a status, keeps
// no descriptor, and never waits past its timeout.
TEST(VnetdHandOver, HostileSenderLeavesNothingBehind) {
    struct Case {
        const char *name;
        std::function<void(int)> act; // runs after reading the process id when it comes
        bool hash_ok;
    };
    auto block = [](int sock, int nfds) {
        int fds[2] = {dup(0), dup(0)};
        const uint32_t b[2] = {0x5a544831, 0x00010001};
        if (nfds == 0)
            send(sock, b, sizeof b, 0);
        else
            ztbase::usock::send_with_fds(sock, b, sizeof b, fds, static_cast<size_t>(nfds));
        close(fds[0]);
        close(fds[1]);
    };
    const Case cases[] = {
        {"block without descriptor", [&](int s) { block(s, 0); }, true},
        {"block with two descriptors", [&](int s) { block(s, 2); }, true},
        {"junk block with descriptor",
         [](int s) {
             int fd = dup(0);
             ztbase::usock::send_with_fds(s, "garbage!", 8, &fd, 1);
             close(fd);
         },
         true},
        {"pipe instead of a socket",
         [](int s) {
             int pp[2];
             pipe(pp);
             const uint32_t b[2] = {0x5a544831, 0x00010001};
             ztbase::usock::send_with_fds(s, b, sizeof b, &pp[0], 1);
             close(pp[0]);
             close(pp[1]);
         },
         true},
        {"a listening socket, which carries no connection",
         [](int s) {
             const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
             listen(l, 1);
             const uint32_t b[2] = {0x5a544831, 0x00010001};
             ztbase::usock::send_with_fds(s, b, sizeof b, &l, 1);
             close(l);
         },
         true},
        {"closes after the process id", [](int) {}, true},
        {"hash too long", [](int) {}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int before = open_descriptor_count();
        {
            Pair ipc;
            const std::string hash = c.hash_ok ? codec({""}) : codec({std::string(1 << 20, 'a').c_str()});
            std::thread sender([&] {
                vnet_push_string(ipc.a, hash.c_str(), 5);
                int32_t pid = 0;
                if (c.hash_ok && recv(ipc.a, &pid, 4, MSG_WAITALL) == 4)
                    c.act(ipc.a);
                shutdown(ipc.a, SHUT_RDWR);
            });
            int got = 5;
            EXPECT_NE(vnet_receive_network_socket(ipc.b, nullptr, &got, 5), VNET_SUCCESS);
            EXPECT_EQ(got, -1);
            sender.join();
        }
        EXPECT_EQ(open_descriptor_count(), before);
    }
}

TEST(VnetdHandOver, SenderKeepsItsSocketWhenTheReceiverIsNotWhoItSays) {
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant ? "closes before its process id" : "wrong process id");
        TcpPair t;
        Pair ipc;
        std::thread receiver([&] {
            char hash[VN_HASH_SIZE];
            vnet_pop_string(ipc.b, hash, sizeof hash, 5);
            if (variant == 0) {
                const int32_t wrong = getpid() + 1;
                send(ipc.b, &wrong, 4, 0);
                drain(ipc.b);
            }
            shutdown(ipc.b, SHUT_RDWR);
        });
        int sock = t.server;
        EXPECT_NE(vnet_send_network_socket(ipc.a, &sock, "", 5), VNET_SUCCESS);
        receiver.join();
        EXPECT_EQ(sock, t.server); // not given away: the caller can still report
    }
}

TEST(VnetdAddressRecord, BinaryAndTextFormsAndJunk) {
    zt::test::TempRoot root;
    zt::test::point_environment_at(root.path());
    zt::test::point_paths_at(root.path());
    {
        TcpPair t;
        int sock = t.client;
        ASSERT_EQ(vnet_vnetd_push_ipaddr(&sock, 5), VNET_SUCCESS);
        int peer = t.server;
        char address[64];
        ASSERT_EQ(vnet_vnetd_pop_ipaddr(&peer, address, sizeof address, 5), VNET_SUCCESS);
        EXPECT_STREQ(address, "127.0.0.1");
    }
    {
        // Reached through the port exchange's port: the text form.
        TcpPair t;
        zt::test::write_file(std::string(getFennicString("OVERRIDE_PATH")) + "/halvane_pbx",
                             std::to_string(t.port()) + "\n");
        int sock = t.client;
        ASSERT_EQ(vnet_vnetd_push_ipaddr(&sock, 5), VNET_SUCCESS);
        long kind = 0;
        ASSERT_EQ(vnet_pop_signed(t.server, &kind, 5), VNET_SUCCESS);
        EXPECT_EQ(kind, VN_IPADDR_TEXT);
        char address[64];
        ASSERT_EQ(vnet_pop_string(t.server, address, sizeof address, 5), VNET_SUCCESS);
        EXPECT_STREQ(address, "127.0.0.1");
    }
    for (const char *junk : {"77", "abc", "4"}) {
        SCOPED_TRACE(junk);
        Pair p;
        send(p.b, junk, strlen(junk) + 1, 0);
        shutdown(p.b, SHUT_WR);
        int sock = p.a;
        char address[64];
        EXPECT_NE(vnet_vnetd_pop_ipaddr(&sock, address, sizeof address, 5), VNET_SUCCESS);
        EXPECT_EQ(sock, -1);
        p.a = -1;
    }
}

class VnetdRegistration : public zt::test::ZtTest {};

TEST_F(VnetdRegistration, RegisterUnregisterAndAnotherProcessesEntry) {
    const std::string dir = root() / "vnetd";
    char path[512];
    ASSERT_EQ(vnet_generate_service_path_ex(dir.c_str(), "BPCD", "txt", path, sizeof path), VNET_SUCCESS);
    EXPECT_EQ(std::string(path), dir + "/bpcd.txt");
    for (const char *bad : {"../etc/passwd", "a/b", ".hidden", "", "sp ace"})
        EXPECT_EQ(vnet_generate_service_path_ex(dir.c_str(), bad, "txt", path, sizeof path),
                  VNET_BAD_ARGUMENT) << bad;

    int listener = -1;
    ASSERT_EQ(vnet_vnetd_listen_and_register_service_ex(dir.c_str(), "bpcd", 5, &listener), VNET_SUCCESS);
    vnet_service_entry *list = nullptr;
    ASSERT_EQ(vnet_read_service_file((dir + "/bpcd.txt").c_str(), &list), VNET_SUCCESS);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->pid, static_cast<unsigned long>(getpid()));
    EXPECT_EQ(list->exptime, 0u);
    ASSERT_NE(list->ipc, nullptr);
    vnet_free_service_list(list);

    ASSERT_EQ(vnet_vnetd_unregister_service_ex(dir.c_str(), "bpcd"), VNET_SUCCESS);
    ASSERT_EQ(vnet_read_service_file((dir + "/bpcd.txt").c_str(), &list), VNET_SUCCESS);
    EXPECT_EQ(list->pid, 0u);
    EXPECT_EQ(list->exptime, 1u);
    vnet_free_service_list(list);
    close(listener);

    // Another process's registration is left as it is.
    ASSERT_EQ(vnet_vnetd_register_service_ex(dir.c_str(), "other", 1, 0, "4242", nullptr, nullptr, nullptr),
              VNET_SUCCESS);
    const std::string was = zt::test::read_file(dir + "/other.txt");
    ASSERT_EQ(vnet_vnetd_unregister_service_ex(dir.c_str(), "other"), VNET_SUCCESS);
    EXPECT_EQ(zt::test::read_file(dir + "/other.txt"), was);
}

TEST_F(VnetdRegistration, IpcConnectRefusesWhatCannotBeReached) {
    const std::string dir = root() / "vnetd";
    // expired; process gone; no endpoint; endpoint owned by another process
    vnet_vnetd_register_service_ex(dir.c_str(), "expired", getpid(), 1, "4242", nullptr, nullptr, nullptr);
    vnet_vnetd_register_service_ex(dir.c_str(), "gone", 0x7ffffff0, 0, "4242", nullptr, nullptr, nullptr);
    vnet_vnetd_register_service_ex(dir.c_str(), "noipc", getpid(), 0, nullptr, nullptr, nullptr, nullptr);
    char ipc[32] = "0";
    int listener = -1;
    ASSERT_EQ(vnet_listen_on_local_port(5, ipc, sizeof ipc, &listener), VNET_SUCCESS);
    vnet_vnetd_register_service_ex(dir.c_str(), "squatted", 1, 0, ipc, nullptr, nullptr, nullptr);
    const int before = open_descriptor_count();
    for (const char *service : {"expired", "gone", "noipc", "squatted", "absent"}) {
        SCOPED_TRACE(service);
        TcpPair t;
        int sock = t.server;
        EXPECT_EQ(vnet_vnetd_ipc_connect(dir.c_str(), service, 1, &sock, 5), VNET_NO_SERVICE);
        EXPECT_EQ(sock, t.server);
    }
    EXPECT_EQ(open_descriptor_count(), before);
    close(listener);
}

TEST_F(VnetdRegistration, RemoteVersionCacheDropsOldFiles) {
    const std::string dir = getFennicString("VN_PATH_LEGACY_VERSIONS");
    zt::test::write_file(dir + "/old.example", "800000");
    zt::test::write_file(dir + "/new.example", "810000");
    const std::string old_file = dir + "/old.example";
    struct timespec times[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, old_file.c_str(), times, 0), 0);
    EXPECT_EQ(vnet_flush_cache(3600), VNET_SUCCESS);
    EXPECT_NE(access(old_file.c_str(), F_OK), 0);
    EXPECT_EQ(access((dir + "/new.example").c_str(), F_OK), 0);
    int version = 0;
    EXPECT_EQ(vnet_get_host_version_ipi("localhost", 5, &version), VNET_SUCCESS);
    EXPECT_EQ(version, VN_PRODUCT_VERSION);
}

// A hostile daemon: for every request, a reply that ends early, a string of a
// megabyte without its end, or silence; the call fails, the socket is closed
// and set to -1, nothing leaks, and the wait ends with the timeout.
TEST(VnetdRequests, HostileDaemonRepliesCloseTheConnection) {
    using Op = std::function<int(int *)>;
    const struct {
        const char *name;
        Op op;
    } ops[] = {
        {"noop", [](int *s) { return vnet_vnetd_noop(s, 13, 1); }},
        {"service socket", [](int *s) { return vnet_vnetd_service_socket(s, 13, "bpcd", 1); }},
        {"version text", [](int *s) { char b[64]; return vnet_version_get_ipi(s, 1, b, sizeof b); }},
        {"master name",
         [](int *s) { char b[64]; return vnet_vnetd_get_master_server_name(s, b, sizeof b, 13, 1); }},
        {"pbx supported", [](int *s) { int x; return vnet_vnetd_pbx_c_supported(s, 13, &x, 1); }},
        {"domain context",
         [](int *s) {
             json_t *j = nullptr;
             const int st = vnet_get_domain_ctx(s, 13, &j, 1);
             json_decref(j);
             return st;
         }},
        {"connect back",
         [](int *s) { char h[VN_HASH_SIZE]; return vnet_vnetd_connect_back_socket(s, 13, "77", h, sizeof h, 1); }},
        {"forward",
         [](int *s) {
             char ipc[32], h[VN_HASH_SIZE];
             return vnet_vnetd_connect_forward_socket_begin(s, 5, ipc, sizeof ipc, h, sizeof h, 1, "u", 13);
         }},
        {"handshake", [](int *s) { int v; return vnet_version_connect(s, 13, 2, &v, 1); }},
    };
    enum Reply { kClose, kHugeString, kSilence };
    for (const auto &op : ops) {
        for (Reply reply : {kClose, kHugeString, kSilence}) {
            SCOPED_TRACE(std::string(op.name) + " / reply " + std::to_string(reply));
            const int before = open_descriptor_count();
            Pair p;
            std::thread daemon([&] {
                if (reply == kHugeString) {
                    const std::string huge(1 << 20, 'a');
                    send(p.b, huge.data(), huge.size(), MSG_NOSIGNAL);
                }
                if (reply != kSilence)
                    shutdown(p.b, SHUT_WR);
            });
            if (reply == kSilence)
                daemon.join();
            int sock = p.a;
            EXPECT_NE(op.op(&sock), VNET_SUCCESS);
            EXPECT_EQ(sock, -1);
            p.a = -1;
            shutdown(p.b, SHUT_RDWR);
            if (daemon.joinable())
                daemon.join();
            close(p.b);
            p.b = -1;
            EXPECT_EQ(open_descriptor_count(), before);
        }
    }
}

TEST(VnetdLocalAccept, LoopbackTcpPeerIsLocal) {
    TcpPair t;
    EXPECT_EQ(vnet_verify_local_accept(t.server), VNET_SUCCESS);
    Pair p;
    EXPECT_EQ(vnet_verify_local_accept(p.a), VNET_SUCCESS);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); // no peer at all
    EXPECT_NE(vnet_verify_local_accept(fd), VNET_SUCCESS);
    close(fd);
}
