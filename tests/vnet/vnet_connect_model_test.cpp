// The pieces under the connect engine: texts, the process domain, effective
// options, source ports, source selection, record budgets and failures, the
// choice of kinds and the SOCKS 5 request.
#include <cerrno>
#include <cstdlib>
#include <sys/socket.h>

#include "connect_fixture.h"
#include "support/fd_count.h"

namespace {

using namespace connect_test;

TEST(ConnectTexts, KindsAndStatesAndDomainTypes) {
    const char *kinds[] = {"legacy", "vnetd", "pbx", "ztrntd"};
    for (int k = 0; k < 4; ++k)
        EXPECT_STREQ(conn2_kind_to_text(k), kinds[k]);
    const char *states[] = {"UNUSED", "SUCCESS", "STARTED", "RETRY", "FAILED"};
    for (int s = 0; s < 5; ++s)
        EXPECT_STREQ(conn2_status_to_text(s), states[s]);
    EXPECT_STREQ(vnet_map_domain_type_to_string(0), "VNET_DOMAIN_SERVER_TYPE");
    EXPECT_STREQ(vnet_map_domain_type_to_string(1), "VNET_DOMAIN_SERVER_CHILD_PER_REQUEST_TYPE");
    EXPECT_STREQ(vnet_map_domain_type_to_string(2), "VNET_DOMAIN_CLIENT_TYPE");
    EXPECT_STREQ(vnet_map_domain_type_to_string(3), "UNKNOWN");
    EXPECT_STREQ(vnet_map_domain_type_to_string(-1), "UNKNOWN");
}

TEST(ConnectTextsDeathTest, AnImpossibleKindOrStateStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(conn2_kind_to_text(4), "");
    EXPECT_DEATH(conn2_status_to_text(-1), "");
}

class DomainTest : public ConnectTest {
  protected:
    ~DomainTest() override {
        vnet_set_process_domain_type(VNET_DOMAIN_CLIENT_TYPE);
        unsetenv("VNET_DOMAIN");
    }
};

TEST_F(DomainTest, HintLivesInTheEnvironment) {
    setenv("VNET_DOMAIN", "", 1);
    EXPECT_EQ(vnet_get_process_domain_hint(), nullptr); // empty counts as absent
    ASSERT_EQ(vnet_set_process_domain_hint("master.example"), 0);
    EXPECT_STREQ(getenv("VNET_DOMAIN"), "master.example");
    EXPECT_STREQ(vnet_get_process_domain_hint(), "master.example");

    json_t *c = vnet_build_domain_constraints(1);
    char *text = json_dumps(c, JSON_SORT_KEYS | JSON_COMPACT);
    EXPECT_STREQ(text, "{\"process_hint\":\"master.example\",\"svc_type\":2}");
    free(text);
    json_decref(c);

    ASSERT_EQ(vnet_set_process_domain_hint(nullptr), 0);
    EXPECT_EQ(getenv("VNET_DOMAIN"), nullptr);
    c = vnet_build_domain_constraints(0);
    text = json_dumps(c, JSON_COMPACT);
    EXPECT_STREQ(text, "{\"process_hint\":null}");
    free(text);
    json_decref(c);
}

TEST_F(DomainTest, ApplyingConstraintsByConnectionAndProcessType) {
    struct Case {
        int type;
        int is_service;
        const char *sent; // null: no hint in the constraints
        const char *after;
    } cases[] = {
        {VNET_DOMAIN_CLIENT_TYPE, 1, "peer", "peer"},
        {VNET_DOMAIN_SERVER_CHILD_PER_REQUEST_TYPE, 1, "peer", "peer"},
        {VNET_DOMAIN_SERVER_TYPE, 1, "peer", "mine"},
        {VNET_DOMAIN_SERVER_TYPE, 1, nullptr, VNET_DOMAIN_BAD_HINT},
        {VNET_DOMAIN_CLIENT_TYPE, 1, "", VNET_DOMAIN_BAD_HINT},
        {VNET_DOMAIN_CLIENT_TYPE, 0, "peer", "mine"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.is_service) + " " +
                     (c.sent ? c.sent : "(none)"));
        vnet_set_process_domain_type(c.type);
        vnet_set_process_domain_hint("mine");
        json_t *j = json_pack("{s:s?}", "process_hint", c.sent);
        EXPECT_EQ(vnet_apply_domain_constraints(c.is_service, j), 0);
        json_decref(j);
        EXPECT_STREQ(vnet_get_process_domain_hint(), c.after);
    }
    json_t *array = json_array();
    EXPECT_EQ(vnet_apply_domain_constraints(1, array), VNET_BAD_PARAM);
    json_decref(array);
}

// ---- effective options ----

int local_is_me(const char *name) {
    return strcmp(name, "me") == 0;
}
int same_by_name(const char *a, const char *b) {
    return strcasecmp(a, b) == 0;
}

TEST_F(ConnectTest, EffectiveOptionsFollowEntryDefaultsAndTheRemoteRule) {
    seams_.is_local_host = local_is_me;
    seams_.same_host = same_by_name;
    install();
    struct Case {
        const char *config;
        const char *host;
        int keep_given;
        int r, c, d; // expected
    } cases[] = {
        {"", "me", 0, 0, 1, 0},                                // built-in default record
        {"CONNECT_OPTIONS = ME 1 0 2\n", "me", 0, 1, 0, 2},    // the host's entry
        {"CONNECT_OPTIONS = other 1 0 2\n", "me", 0, 0, 1, 0}, // another host's entry
        {"CONNECT_OPTIONS = far 1 0 2\n", "far", 0, 1, 1, 1},  // remote: always through vnetd
        {"CONNECT_OPTIONS = me 2 2 3\nDEFAULT_CONNECT_OPTIONS = 1 0 3\n", "me", 0, 1, 0, 0},
        {"CONNECT_OPTIONS = me 1 1 1\n", "me", 1, 0, 1, 2}, // given values stay
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.config) + c.host);
        configure(c.config);
        vnet_connect_options_rec o{};
        o.reserved_port_kind = ZTCONF_RESERVED_PORT_KIND_LEGACY;
        o.callback_kind = ZTCONF_CALLBACK_KIND_DEFAULT;
        o.daemon_port_type = ZTCONF_DAEMON_PORT_TYPE_LEGACY;
        ASSERT_EQ(vnet_get_connect_options(c.host, c.keep_given, &o), 0);
        EXPECT_STREQ(o.server, c.host);
        EXPECT_EQ(o.reserved_port_kind, c.r);
        EXPECT_EQ(o.callback_kind, c.c);
        EXPECT_EQ(o.daemon_port_type, c.d);
    }
    vnet_connect_options_rec o{};
    EXPECT_EQ(vnet_get_connect_options(nullptr, 0, &o), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_get_connect_options("me", 0, nullptr), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_get_connect_options(std::string(1025, 'h').c_str(), 0, &o), VNET_BAD_PARAM);

    snprintf(o.server, sizeof o.server, "me");
    o.reserved_port_kind = 1;
    o.callback_kind = 0;
    o.daemon_port_type = 3;
    json_t *j = vnet_json_connect_options_rec(&o);
    char *text = json_dumps(j, JSON_COMPACT);
    EXPECT_STREQ(text, "{\"server\":\"me\",\"reserved_port_kind\":1,\"callback_kind\":0,"
                       "\"daemon_port_type\":3}");
    free(text);
    json_decref(j);
    EXPECT_TRUE(json_is_null(vnet_json_connect_options_rec(nullptr)));
}

TEST_F(ConnectTest, MaxTimeoutComesFromTheFirstVnetOption) {
    EXPECT_EQ(vnet_get_max_timeout(), 120);
    configure("VNET_OPTIONS = 300 3600 200 40 3 1 30 5 1793 32 0 0\n");
    EXPECT_EQ(vnet_get_max_timeout(), 300);
}

// ---- source ports ----

TEST_F(ConnectTest, BindOutsideAWindowTakesAnyPort) {
    for (auto [low, high] :
         std::vector<std::pair<int, int>>{{0, 0}, {10, 5}, {1, 70000}, {-3, 9}}) {
        SCOPED_TRACE(std::to_string(low) + "-" + std::to_string(high));
        int sock = -1;
        ASSERT_EQ(vnet_bind_to_port_addr_extra_ipi(low, high, AF_INET, 0, nullptr, &sock, 1), 0);
        ASSERT_GE(sock, 0);
        close(sock);
    }
    int sock = 7;
    EXPECT_EQ(vnet_bind_to_port_addr_extra_ipi(0, 0, AF_UNIX, 0, nullptr, &sock, 0),
              VNET_BAD_PARAM);
    EXPECT_EQ(sock, -1);
}

TEST_F(ConnectTest, BindSweepsTheWindowDownwardsAndWrapsAround) {
    Window w(4);
    ASSERT_EQ(w.held.size(), 4u);
    int sock = -1;
    // From the top: the highest free port.
    w.release(w.high - 1);
    ASSERT_EQ(vnet_bind_to_port_addr_extra_ipi(w.low, w.high, AF_INET, 1, nullptr, &sock, 1), 0);
    EXPECT_EQ(local_port(sock), w.high - 1);
    close(sock);
    // From a random first port: whatever it is, the sweep reaches the one free
    // port, below it or past the wrap at the top.
    w.held.push_back(occupy(w.high - 1));
    w.release(w.high);
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(vnet_bind_to_port_addr_extra_ipi(w.low, w.high, AF_INET, 0, nullptr, &sock, 0),
                  0);
        EXPECT_EQ(local_port(sock), w.high);
        close(sock);
    }
}

TEST_F(ConnectTest, BindWithEveryPortInUseFailsAndLeavesNothingOpen) {
    Window w(3);
    ASSERT_EQ(w.held.size(), 3u);
    const int before = zt::test::open_descriptor_count();
    for (int from_high : {0, 1}) {
        int sock = 5;
        EXPECT_EQ(
            vnet_bind_to_port_addr_extra_ipi(w.low, w.high, AF_INET, 0, nullptr, &sock, from_high),
            VNET_SOCKET_FAILED);
        EXPECT_EQ(sock, -1);
    }
    EXPECT_EQ(zt::test::open_descriptor_count(), before);
}

// ---- source selection ----

sockaddr_in v4(const char *text) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

TEST_F(ConnectTest, SourceSelectionByPreferredNetworks) {
    struct Case {
        const char *config;
        const char *target;
        const char *override_if;
        int result;
        const char *first; // first address of the binding, for 2 and 3 when known
    } cases[] = {
        {"", "192.0.2.5", nullptr, 0, nullptr},
        {"PREFERRED_NETWORK = 192.0.2.0/24 PROHIBITED\n", "192.0.2.5", nullptr, 1, nullptr},
        {"PREFERRED_NETWORK = 192.0.2.0/24 PROHIBITED\n", "198.51.100.7", nullptr, 3, nullptr},
        {"PREFERRED_NETWORK = 198.51.100.0/24 ONLY\n", "192.0.2.5", nullptr, 1, nullptr},
        {"PREFERRED_NETWORK = 192.0.2.0/24 MATCH\n", "192.0.2.5", nullptr, 0, nullptr},
        {"PREFERRED_NETWORK = 192.0.2.0/24 MATCH 127.0.0.0/8\n", "192.0.2.5", nullptr, 2,
         "127.0.0.1"},
        {"PREFERRED_NETWORK = 192.0.2.0/24 REQUIRED 127.0.0.1\n", "192.0.2.5", nullptr, 2,
         "127.0.0.1"},
        {"PREFERRED_NETWORK = 192.0.2.0/24 MATCH 203.0.113.0/24\n", "192.0.2.5", nullptr, 3,
         nullptr},
        {"PREFERRED_NETWORK = 192.0.2.0/24 ONLY\nPREFERRED_NETWORK = 192.0.2.0/24 PROHIBITED\n",
         "192.0.2.5", nullptr, 1, nullptr},
        // A later deciding node replaces an earlier one (the list is built in reverse).
        {"PREFERRED_NETWORK = 192.0.2.0/24 MATCH 127.0.0.1\nPREFERRED_NETWORK = 0/0 MATCH\n",
         "192.0.2.5", nullptr, 2, "127.0.0.1"},
        {"REQUIRED_INTERFACE = 127.0.0.1\n", "192.0.2.5", nullptr, 2, "127.0.0.1"},
        {"REQUIRED_INTERFACE = nowhere.invalid\n", "192.0.2.5", nullptr, 4, nullptr},
        {"PREFERRED_NETWORK = 127.0.0.0/8 PROHIBITED\n", "127.0.0.1", nullptr, 0, nullptr},
        {"", "192.0.2.5", "127.0.0.1", 2, "127.0.0.1"},
        {"", "192.0.2.5", "nowhere.invalid", 4, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.config) + " -> " + c.target + " " +
                     (c.override_if ? c.override_if : ""));
        configure(c.config);
        sockaddr_in t = v4(c.target);
        int result = -1;
        vnet_pref_binding *b = nullptr;
        ASSERT_EQ(vnet_get_pref_netconnection(reinterpret_cast<sockaddr *>(&t), c.override_if,
                                              &result, &b),
                  0);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(b != nullptr, result == 2 || result == 3);
        if (b != nullptr) {
            ASSERT_GE(b->count, 1);
            EXPECT_EQ(b->count == 1, result == 2 || b->count == 1);
            if (c.first != nullptr) {
                EXPECT_EQ(resolve_test::literal_of(reinterpret_cast<sockaddr *>(&b->addrs[0])),
                          c.first);
            }
        }
        vnet_free_pref_binding(b);
    }
    int result = 0;
    vnet_pref_binding *b = nullptr;
    EXPECT_EQ(vnet_get_pref_netconnection(nullptr, nullptr, &result, &b), VNET_BAD_PARAM);
}

// ---- records ----

TEST_F(ConnectTest, RecordBudgetsFollowTheWindow) {
    use_fake_clock();
    struct Case {
        int low, high;
        bool random;
        int extra_tries;
        int budget, ceiling;
    } cases[] = {
        {0, 0, true, 0, 10, 16},      {100, 110, true, 0, 30, 16}, {100, 110, false, 0, 11, 16},
        {110, 100, false, 0, 10, 16}, {0, 0, true, 1, 10, 120},
    };
    for (const Case &c : cases) {
        cn::Request req;
        req.host = "h";
        req.service = "bpcd";
        req.extra_tries = c.extra_tries;
        cn::Settings set;
        set.random_ports = c.random;
        cn::Record r;
        cn::init_connect_rec(r, req, set, cn::kLegacy, c.low, c.high);
        EXPECT_EQ(r.port_budget, c.budget) << c.low << "-" << c.high;
        EXPECT_EQ(r.interval_ceiling, c.ceiling);
        EXPECT_EQ(r.state, cn::kUnused);
        EXPECT_EQ(r.sock, -1);
        EXPECT_EQ(r.start_ms, fake_now_ms());
        EXPECT_FALSE(r.service_connection);
    }
    cn::Request req;
    req.host = "h";
    req.service = "vnetd-auth-only";
    cn::Record r;
    cn::init_connect_rec(r, req, cn::Settings{}, cn::kPbx, 0, 0);
    EXPECT_TRUE(r.service_connection);
}

TEST_F(ConnectTest, RecordFailureSchedulesByError) {
    use_fake_clock();
    struct Case {
        int error;
        bool quick, after10;
        int state, status, interval, next_in_ms, budget;
    } cases[] = {
        {ECONNREFUSED, false, false, cn::kRetry, VNET_CONNECT_REFUSED, 2, 1000, 10},
        {ECONNRESET, false, false, cn::kRetry, VNET_CONNECT_RESET, 2, 1000, 10},
        {ECONNREFUSED, true, false, cn::kRetry, VNET_CONNECT_REFUSED, 2, 1000, 10},
        {ETIMEDOUT, false, true, cn::kRetry, VNET_CONNECT_TIMEOUT, 1, 10000, 10},
        {ETIMEDOUT, false, false, cn::kRetry, VNET_CONNECT_TIMEOUT, 2, 1000, 10},
        {EADDRINUSE, false, false, cn::kRetry, VNET_ADDR_IN_USE, 1, 0, 9},
        {EADDRNOTAVAIL, false, false, cn::kRetry, VNET_NOT_AVAILABLE, 1, 0, 9},
        {EINTR, false, false, cn::kRetry, VNET_CONNECT_FAILED, 1, 0, 10},
        {EHOSTUNREACH, false, false, cn::kFailed, VNET_CONNECT_FAILED, 1, 0, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(strerror(c.error));
        cn::Record r;
        r.retry_quickly = c.quick;
        r.retry_after_10 = c.after10;
        r.sock = socket(AF_INET, SOCK_STREAM, 0);
        cn::record_failure(r, c.error, VNET_CONNECT_FAILED);
        EXPECT_EQ(r.sock, -1);
        EXPECT_EQ(r.state, c.state);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.syserr, c.error);
        EXPECT_EQ(r.interval, c.interval);
        EXPECT_EQ(r.next_retry_ms, c.next_in_ms ? fake_now_ms() + c.next_in_ms : 0);
        EXPECT_EQ(r.port_budget, c.budget);
    }
}

// The kinds of the records built for a host, in order.
std::string kinds_of(const std::vector<cn::Record> &recs) {
    std::string out;
    for (const cn::Record &r : recs)
        out += std::string(out.empty() ? "" : ",") + cn::kind_text(r.kind);
    return out;
}

void set_flag7(const char *host, int value) {
    int update[VNET_CACHED_FLAG_COUNT];
    for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i)
        update[i] = i <= VNET_CF_INDEX_SERVER ? VNET_CF_KEEP_TRISTATE : VNET_CF_KEEP_NUMBER;
    update[VNET_CF_CONNECT_PATH] = value;
    vnet_addrinfo *list = nullptr;
    int code = 0;
    ASSERT_EQ(vnet_cached_getaddrinfo_and_update(host, nullptr, nullptr, update, nullptr, nullptr,
                                                 &list, &code),
              0);
    vnet_freeaddrinfo(list);
}

TEST_F(ConnectTest, KindsChosenByLearnedPathOptionsAndCaller) {
    use_fake_clock();
    struct Case {
        int flag7;
        int daemon_type; // -1: the host's effective options
        const char *service;
        bool legacy_only, pbx_only;
        int flags;
        int status;
        const char *kinds;
    } cases[] = {
        {0, -1, "12345", false, false, 0, 0, "pbx,vnetd,legacy"},
        {2, -1, "12345", false, false, 0, 0, "pbx"},
        {1, -1, "12345", false, false, 0, 0, "vnetd,legacy"},
        {0, ZTCONF_DAEMON_PORT_TYPE_LEGACY, "bpcd", false, false, 0, 0, "legacy"},
        {0, ZTCONF_DAEMON_PORT_TYPE_LEGACY, "12345", false, false, 0, 0, "pbx,legacy"},
        {0, ZTCONF_DAEMON_PORT_TYPE_VNETD, "12345", false, false, 0, 0, "pbx,vnetd"},
        {0, -1, "vnetd", false, false, 0, 0, "pbx,vnetd"},
        {2, -1, "12345", true, false, 0, 0, "legacy"},
        {0, -1, "12345", false, false, VNET_CONNECT_FLAG_RESILIENT, 0, "ztrntd"},
        {0, -1, "12345", false, true, 0, 0, "pbx"},
        {1, -1, "12345", false, true, 0, VNET_BAD_PARAM, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.flag7) + " " + std::to_string(c.daemon_type) + " " +
                     c.service);
        vnet_cached_free_memory();
        set_flag7("127.0.0.1", c.flag7);
        vnet_connect_options_rec o{};
        o.daemon_port_type = c.daemon_type;
        cn::Request req;
        req.host = "127.0.0.1";
        req.service = c.service;
        req.options = c.daemon_type >= 0 ? &o : nullptr;
        req.legacy_only = c.legacy_only;
        req.pbx_only = c.pbx_only;
        req.flags = c.flags;
        std::vector<cn::Record> recs;
        int flag7 = -1;
        EXPECT_EQ(cn::init_connect_recs(req, cn::Settings{}, recs, &flag7), c.status);
        EXPECT_EQ(flag7, c.flag7);
        EXPECT_EQ(kinds_of(recs), c.kinds);
    }
}

TEST_F(ConnectTest, KindRecordsGoToEachAddressOfTheHost) {
    use_fake_clock();
    resolve_test::script().hosts["multi"] = {"127.0.0.2", "::1", "127.0.0.3"};
    cn::Request req;
    req.host = "multi";
    req.service = "12345";
    req.legacy_only = true;
    std::vector<cn::Record> recs;
    int flag7 = 0;
    ASSERT_EQ(cn::init_connect_recs(req, cn::Settings{}, recs, &flag7), 0);
    std::vector<std::string> to;
    for (const cn::Record &r : recs)
        to.push_back(resolve_test::literal_of(reinterpret_cast<const sockaddr *>(&r.remote)));
    EXPECT_EQ(to, (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "::1"})); // IPv4 first

    req.host = "nowhere.invalid";
    recs.clear();
    EXPECT_EQ(cn::init_connect_recs(req, cn::Settings{}, recs, &flag7), VNET_GETHOST_FAILED);
    EXPECT_TRUE(recs.empty());
}

// ---- SOCKS 5 ----

class Socks5 : public ConnectTest {};

TEST_F(Socks5, RequestAndRepliesByteByByte) {
    const std::string ok_v4 =
        std::string("\x05\x00", 2) + std::string("\x05\x00\x00\x01\x01\x02\x03\x04\x00\x50", 10);
    struct Case {
        std::string reply;
        int status;
    } cases[] = {
        {ok_v4, 0},
        {std::string("\x05\x00\x05\x00\x00\x03\x03"
                     "abc\x00\x50",
                     12),
         0},
        {std::string("\x05\x00\x05\x00\x00\x04", 6) + std::string(18, '\0'), 0},
        {std::string("\x04\x00", 2), VNET_BAD_VERSION},
        {std::string("\x05\x02", 2), VNET_BAD_NUMBER},
        {std::string("\x05\x00\x04\x00\x00\x01", 6), VNET_BAD_VERSION},
        {std::string("\x05\x00\x05\x02\x00\x01\x01\x02\x03\x04\x00\x50", 12), VNET_BAD_VERSION},
        {std::string("\x05\x00\x05\x01\x00\x01\x01\x02\x03\x04\x00\x50", 12), VNET_BAD_NUMBER},
        {std::string("\x05\x00\x05\x00\x01\x01", 6), VNET_BAD_NUMBER},
        {std::string("\x05\x00\x05\x00\x00\x09", 6), VNET_BAD_NUMBER},
        {std::string("\x05\x00\x05\x00\x00\x01\x01\x02", 8), VNET_READ_FAILED},
        {"", VNET_READ_FAILED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.reply));
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        ASSERT_EQ(write(sv[1], c.reply.data(), c.reply.size()), ssize_t(c.reply.size()));
        shutdown(sv[1], SHUT_WR);
        EXPECT_EQ(vnet_do_socks5_client_protocol(sv[0], "far.example", "vnetd", 2), c.status);
        if (c.status == 0) {
            char sent[64];
            ssize_t n = read(sv[1], sent, sizeof sent);
            const std::string expect = std::string("\x05\x01\x00\x05\x01\x00\x03\x0b", 8) +
                                       "far.example" + std::string("\x35\x9c", 2); // 13724
            EXPECT_EQ(std::string(sent, n > 0 ? size_t(n) : 0), expect);
        }
        close(sv[0]);
        close(sv[1]);
    }
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(vnet_do_socks5_client_protocol(sv[0], std::string(256, 'h').c_str(), "vnetd", 1),
              VNET_BAD_PARAM);
    char byte;
    EXPECT_EQ(recv(sv[1], &byte, 1, MSG_DONTWAIT), -1); // nothing was sent
    close(sv[0]);
    close(sv[1]);
}

} // namespace
