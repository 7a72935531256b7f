// The connect engine on loopback: winners and losers, retry timing on the
// injected clock, parallel attempts, source ports, handshakes out of time,
// the report and the thread record, the learned path, and the indirect
// connect against a fake local daemon. Every failure path is checked for
// descriptors left open.
#include <cerrno>
#include <fcntl.h>

#include "connect_fixture.h"
#include "support/fd_count.h"
#include "support/log_capture.h"
#include "ztbase/comm.h"

namespace {

using namespace connect_test;
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

json_t *record_data(const char *key) {
    json_t *rec = vnet_tss_get(0);
    json_t *d = json_incref(json_object_get(json_object_get(rec, key), "data"));
    json_decref(rec);
    return d;
}

TEST_F(ConnectTest, LegacyConnectReportsAndRecordsTheWinner) {
    Listener l;
    ASSERT_GE(l.fd, 0);
    int sock = -1;
    ASSERT_EQ(vnet_connect_to_third_party_service("127.0.0.1", l.service().c_str(), nullptr, 0, 0,
                                                  5, &sock),
              0);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(peer_of(sock), "127.0.0.1");
    int keepalive = 0;
    socklen_t len = sizeof keepalive;
    getsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &len);
    EXPECT_EQ(keepalive, 1);
    EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
    close(sock);
    EXPECT_EQ(report(), "connect succeeded STATUS (0) SUCCESS\n\tstatus: SUCCESS; FROM 127.0.0.1 "
                        "TO 127.0.0.1 127.0.0.1 " +
                            l.service());
    json_t *params = record_data("direct_connect");
    EXPECT_STREQ(json_string_value(json_object_get(params, "who")),
                 "vnet_connect_to_third_party_service");
    EXPECT_EQ(json_integer_value(json_object_get(params, "overide_connect_timeout")), 5);
    EXPECT_TRUE(json_is_null(json_object_get(params, "connect_options")));
    json_decref(params);
    json_t *status = record_data("status");
    EXPECT_TRUE(json_is_integer(status) && json_integer_value(status) == 0);
    json_decref(status);
    EXPECT_EQ(cached_flag("127.0.0.1", VNET_CF_CONNECT_PATH), 0); // legacy only: nothing learned
}

TEST_F(ConnectTest, BadArgumentsFailBeforeAnyAttempt) {
    const int before = open_descriptor_count();
    int sock = 9;
    EXPECT_EQ(vnet_connect_to_service(nullptr, "bpcd", nullptr, 0, 0, 1, &sock), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_connect_to_service("h", "", nullptr, 0, 0, 1, &sock), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_connect_to_service("h", "bpcd", nullptr, 0, 0, 1, nullptr), VNET_BAD_PARAM);
    EXPECT_EQ(
        vnet_connect_to_service(std::string(1025, 'h').c_str(), "bpcd", nullptr, 0, 0, 1, &sock),
        VNET_BAD_PARAM);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(vnet_connect_to_third_party_service("nowhere.invalid", "1", nullptr, 0, 0, 1, &sock),
              VNET_GETHOST_FAILED);
    EXPECT_EQ(vnet_connect_to_third_party_service("127.0.0.1", "no-such-service", nullptr, 0, 0, 1,
                                                  &sock),
              VNET_GETHOST_FAILED);
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(ConnectTest, RefusedPortIsRetriedOnTheClock) {
    use_fake_clock();
    const std::string port = std::to_string(refused_port());
    struct Case {
        int extra_tries, timeout;
        std::vector<int64_t> sleeps;
        int status;
    } cases[] = {
        {0, 300, {1000, 2000, 4000, 8000, 16000}, VNET_CONNECT_REFUSED},
        // Out of time while refused: still refused (the record says both).
        {0, 10, {1000, 2000, 4000, 3000}, VNET_CONNECT_REFUSED},
        {1, 300, std::vector<int64_t>(120, 1000), VNET_CONNECT_REFUSED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.extra_tries) + " " + std::to_string(c.timeout));
        fake_clock().sleeps.clear();
        const int before = open_descriptor_count();
        int sock = 5;
        EXPECT_EQ(vnet_connect_to_third_party_service("127.0.0.1", port.c_str(), nullptr,
                                                      c.extra_tries, 0, c.timeout, &sock),
                  c.status);
        EXPECT_EQ(sock, -1);
        EXPECT_EQ(fake_clock().sleeps, c.sleeps);
        EXPECT_EQ(open_descriptor_count(), before);
    }
    EXPECT_EQ(report(), "connect failed STATUS (42) CONNECT_REFUSED\n\tstatus: FAILED, (42) "
                        "CONNECT_REFUSED; system: (111) Connection refused; FROM 0::0 TO 127.0.0.1 "
                        "127.0.0.1 " +
                            port);
}

TEST_F(ConnectTest, BlackHoledAddressDoesNotDelayAWorkingOne) {
    // An accept queue that is full drops new connection requests unanswered.
    Listener full("127.0.0.1", 0, 0);
    ASSERT_GE(full.fd, 0);
    Fillers fillers(full.port);
    Listener good("127.0.0.2", full.port);
    ASSERT_GE(good.fd, 0);
    resolve_test::script().hosts["multi"] = {"127.0.0.1", "127.0.0.2"};
    const int before = open_descriptor_count();
    int sock = -1;
    ASSERT_EQ(vnet_connect_to_third_party_service("multi", full.service().c_str(), nullptr, 0, 0,
                                                  60, &sock),
              0);
    EXPECT_EQ(peer_of(sock), "127.0.0.2");
    close(sock);
    EXPECT_EQ(open_descriptor_count(), before); // the loser's socket is closed
    const std::string r = report();
    EXPECT_NE(r.find("status: STARTED; FROM 0::0 TO multi 127.0.0.1 " + full.service()),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("status: SUCCESS; FROM 127.0.0.1 TO multi 127.0.0.2"), std::string::npos) << r;
}

int give_up() {
    return 1;
}

TEST_F(ConnectTest, TheLibraryCallbackEndsAWaitingConnect) {
    Listener full("127.0.0.1", 0, 0); // its queue full, requests go unanswered
    Fillers fillers(full.port);
    const int before = open_descriptor_count();
    library_callback_function = give_up;
    int sock = 5;
    EXPECT_EQ(vnet_connect_to_third_party_service("127.0.0.1", full.service().c_str(), nullptr, 0,
                                                  0, 60, &sock),
              VNET_LIBRARY_CALLBACK_QUIT);
    library_callback_function = nullptr;
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(ConnectTest, PingsTellWhetherTheHostAnswers) {
    use_fake_clock();
    Listener l;
    Listener full("127.0.0.1", 0, 0);
    Fillers fillers(full.port);
    const std::string refused = std::to_string(refused_port());
    const int before = open_descriptor_count();
    EXPECT_EQ(vnet_ztservice_ping("127.0.0.1", l.service().c_str(), 5), 1);
    EXPECT_EQ(vnet_ztservice_ping("127.0.0.1", refused.c_str(), 5), 1);
    EXPECT_EQ(vnet_ztservice_ping("nowhere.invalid", "bpcd", 5), 0);
    cn::set_seams(nullptr); // the unanswered request needs the real clock
    EXPECT_EQ(vnet_ztservice_ping("127.0.0.1", full.service().c_str(), 1), 0);
    const std::string service = l.service();
    const std::u16string wide_service(service.begin(), service.end());
    EXPECT_EQ(vnet_ztservice_pingW(u"127.0.0.1", wide_service.c_str(), 1), 1);
    EXPECT_EQ(vnet_ztservice_pingW(u"nowhere.invalid", wide_service.c_str(), 1), 0);
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(ConnectTest, EverySourcePortInUseFailsTheRecordWithSocketFailed) {
    Listener l;
    Window w(3);
    ASSERT_EQ(w.held.size(), 3u);
    configure("CLIENT_PORT_WINDOW = " + std::to_string(w.low) + " " + std::to_string(w.high) +
              "\nRANDOM_PORTS = NO\n");
    const int before = open_descriptor_count();
    int sock = 5;
    EXPECT_EQ(vnet_connect_to_third_party_service("127.0.0.1", l.service().c_str(), nullptr, 0, 0,
                                                  5, &sock),
              VNET_SOCKET_FAILED);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(open_descriptor_count(), before);
    EXPECT_NE(report().find("status: FAILED, (10) SOCKET_FAILED;"), std::string::npos) << report();
    // With one port free the connect leaves from it.
    w.release(w.low + 1);
    ASSERT_EQ(vnet_connect_to_third_party_service("127.0.0.1", l.service().c_str(), nullptr, 0, 0,
                                                  5, &sock),
              0);
    EXPECT_EQ(local_port(sock), w.low + 1);
    close(sock);
}

// Waits for a byte the server never sends, as long as the record has time.
int silent_handshake(cn::Record &r, const cn::Request &, const cn::Settings &) {
    int byte = 0;
    return vnet_pop_byte(r.sock, &byte, cn::time_left(r));
}

TEST_F(ConnectTest, HandshakeOutlivingTheConnectTimeoutEndsWithConnectTimeout) {
    seams_.handshake[cn::kLegacy] = silent_handshake;
    install();
    Listener l;
    const int before = open_descriptor_count();
    int sock = 5;
    EXPECT_EQ(vnet_connect_to_third_party_service("127.0.0.1", l.service().c_str(), nullptr, 0, 0,
                                                  1, &sock),
              VNET_CONNECT_TIMEOUT);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(open_descriptor_count(), before);
    EXPECT_NE(report().find("status: FAILED, (44) CONNECT_TIMEOUT;"), std::string::npos)
        << report();
}

TEST_F(ConnectTest, AWinnerIsLearnedAndALearnedExchangeIsUsedAlone) {
    use_fake_clock();
    Listener l;
    int sock = -1;
    // This host's own paths: exchange, vnetd and the service's port in
    // parallel; only the last answers here.
    ASSERT_EQ(vnet_connect_to_service("127.0.0.1", l.service().c_str(), nullptr, 0, 0, 30, &sock),
              0);
    close(sock);
    const std::string r = report();
    EXPECT_NE(r.find("VIA pbx"), std::string::npos) << r;
    EXPECT_NE(r.find("VIA vnetd"), std::string::npos) << r;
    const std::string won =
        "\n\tstatus: SUCCESS; FROM 127.0.0.1 TO 127.0.0.1 127.0.0.1 " + l.service();
    EXPECT_EQ(r.substr(r.size() - won.size()), won) << r;
    EXPECT_EQ(cached_flag("127.0.0.1", VNET_CF_CONNECT_PATH), 1);

    // The exchange worked last time: it alone is tried, and its failure is
    // the call's although the service's own port answers.
    int update[VNET_CACHED_FLAG_COUNT];
    for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i)
        update[i] = i <= VNET_CF_INDEX_SERVER ? VNET_CF_KEEP_TRISTATE : VNET_CF_KEEP_NUMBER;
    update[VNET_CF_CONNECT_PATH] = 2;
    vnet_addrinfo *list = nullptr;
    int code = 0;
    vnet_cached_getaddrinfo_and_update("127.0.0.1", nullptr, nullptr, update, nullptr, nullptr,
                                       &list, &code);
    vnet_freeaddrinfo(list);
    const int before = open_descriptor_count();
    EXPECT_NE(vnet_connect_to_service("127.0.0.1", l.service().c_str(), nullptr, 0, 0, 30, &sock),
              0);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(open_descriptor_count(), before);
    const std::string failed = report();
    EXPECT_NE(failed.find("VIA pbx"), std::string::npos) << failed;
    EXPECT_EQ(failed.find("VIA vnetd"), std::string::npos) << failed;
    EXPECT_EQ(failed.find("SUCCESS;"), std::string::npos) << failed;
}

TEST_F(ConnectTest, OnlyBpdbmFallsBackFromItsAuthOnlyName) {
    use_fake_clock();
    struct Case {
        const char *service;
        bool retried;
    } cases[] = {{"bpdbm-auth-only", true}, {"vnetd-auth-only", false}};
    for (const Case &c : cases) {
        zt::test::LogCapture log;
        int sock = 5;
        EXPECT_NE(vnet_connect_to_service("127.0.0.1", c.service, nullptr, 0, 0, 5, &sock), 0);
        EXPECT_TRUE(log.has(std::string("vnet_connect_to_pbx_service(127.0.0.1, ") + c.service));
        EXPECT_EQ(log.has("retrying with non-auth_only service name bpdbm"), c.retried)
            << c.service;
        json_t *params = record_data("direct_connect");
        EXPECT_STREQ(json_string_value(json_object_get(params, "service")),
                     c.retried ? "bpdbm" : c.service);
        json_decref(params);
    }
}

// ---- the indirect connect through the local vnetd ----

struct FakeDaemon {
    int client = -1, daemon = -1; // the two ends of the conversation
    int handed = -1;              // the socket the daemon hands over
};
FakeDaemon g_daemon;

int always_proxy(const char *, const char *) {
    return 1;
}
int fake_local_vnetd(int *sock, int *version) {
    vnet_tss_init(); // as the real one does: it is a connect of its own
    *sock = g_daemon.client;
    *version = 13;
    return 0;
}
int fake_receive(int, int *sock, int) {
    *sock = g_daemon.handed;
    g_daemon.handed = -1;
    return 0;
}

TEST_F(ConnectTest, IndirectConnectThroughTheLocalDaemon) {
    seams_.proxy_required = always_proxy;
    seams_.local_vnetd_connect = fake_local_vnetd;
    seams_.receive_network_socket = fake_receive;
    install();
    const std::string ok =
        "{\"status\":0,\"vnetd_version\":13,"
        "\"tss_connect_error_message\":\"connect succeeded STATUS (0) SUCCESS\"}";
    struct Case {
        std::string reply;
        int status;
    } cases[] = {
        {ok, 0},
        {"{\"status\":42}", 42},
        {"not json", VNET_BAD_STRING},
        {"{\"vnetd_version\":13}", VNET_BAD_STRING},
        {"{\"status\":-5}", VNET_BAD_STRING},
        {"{\"status\":99999999999}", VNET_BAD_STRING},
        {std::string(10300, 'x'), VNET_BAD_STRING},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply.substr(0, 40));
        const int before = open_descriptor_count();
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        g_daemon = {sv[0], sv[1], socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        const std::string wire = c.reply + std::string(1, '\0') + std::string("0\0", 2);
        ASSERT_EQ(write(sv[1], wire.data(), wire.size()), ssize_t(wire.size()));
        int sock = -1;
        EXPECT_EQ(vnet_connect_to_service("far.example", "bpcd", nullptr, 0, 0, 3, &sock),
                  c.status);
        EXPECT_EQ(sock >= 0, c.status == 0);
        if (sock >= 0)
            close(sock);
        if (g_daemon.handed >= 0)
            close(g_daemon.handed);
        // What the client said: request 17, its parameters, and the end.
        std::string said(4096, '\0');
        ssize_t n = recv(sv[1], said.data(), said.size(), MSG_DONTWAIT);
        said.resize(n > 0 ? size_t(n) : 0);
        ASSERT_EQ(said.compare(0, 3, std::string("17\0", 3)), 0);
        json_t *params = json_loads(said.c_str() + 3, 0, nullptr);
        EXPECT_STREQ(json_string_value(json_object_get(params, "host")), "far.example");
        EXPECT_STREQ(json_string_value(json_object_get(params, "service")), "bpcd");
        json_decref(params);
        EXPECT_EQ(said.substr(said.size() - 2), std::string("1\0", 2)) << said;
        json_t *request = record_data("indirect_request");
        EXPECT_TRUE(json_is_object(request));
        json_decref(request);
        json_t *direct = record_data("direct_connect");
        EXPECT_STREQ(json_string_value(json_object_get(direct, "host")), "far.example");
        json_decref(direct);
        if (c.status == 0 || c.status == 42) {
            json_t *response = record_data("indirect_response");
            EXPECT_TRUE(json_is_object(response));
            json_decref(response);
        }
        if (c.status == 0) {
            EXPECT_EQ(report(), "connect succeeded STATUS (0) SUCCESS");
        }
        close(sv[1]);
        EXPECT_EQ(open_descriptor_count(), before);
    }
}

} // namespace
