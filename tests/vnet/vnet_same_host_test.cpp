// Host comparison on the scripted resolver: which rule decides, the
// localhost guard, local matching, the cluster rule, host validation's
// answers and what is written back into the cached flags.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host_fixture.h"
#include "support/log_capture.h"

namespace {

using namespace host_test;
using resolve_test::Script;
using resolve_test::script;
namespace host = zt::vnet::host;

// This machine, as the scripted resolver sees it: two LAN addresses.
void script_network() {
    Script &s = script();
    s.local = {"127.0.0.1", "::1", "192.0.2.1", "198.51.100.1"};
    s.hosts["me"] = {"192.0.2.1"};
    s.hosts["me.example.com"] = {"192.0.2.1"};
    s.hosts["me-backup"] = {"198.51.100.1"};
    s.hosts["localhost"] = {"127.0.0.1"};
    s.hosts["db"] = {"192.0.2.10"};
    s.hosts["db.example.com"] = {"192.0.2.10"};
    s.hosts["web"] = {"192.0.2.11"};
    s.hosts["v6a"] = {"192.0.2.40", "2001:db8::1"};
    s.hosts["v6b"] = {"192.0.2.41", "2001:db8::1"};
    s.hosts["node1"] = {"192.0.2.20", "192.0.2.21"};
    s.hosts["node2"] = {"192.0.2.21", "192.0.2.20"};
    s.hosts["node3"] = {"192.0.2.21"};
    s.hosts["clus"] = {"192.0.2.20", "192.0.2.21"};
    s.failures["broken"] = EAI_FAIL;
}

TEST_F(HostTest, TheFirstRuleThatDecidesWins) {
    script_network();
    configure("CLUSTER_NAME = clus\n");
    struct Case {
        const char *name1, *name2;
        int local_ok;
        int same;
        const char *rule;
    } cases[] = {
        {"db", "DB", 0, 1, "text"},
        {"db", "db.example.com", 0, 1, "addresses"},          // short and qualified
        {"db", "web", 1, 0, "no match"},
        {"me", "me-backup", 1, 1, "locals"},                  // two names of this machine
        {"me", "me-backup", 0, 0, "no match"},
        {"localhost", "me", 1, 0, "localhost"},               // a LAN name of this machine
        {"localhost", "127.0.0.1", 1, 1, "addresses"},         // both localhost names
        {"v6a", "v6b", 0, 1, "addresses"},                    // shared IPv6 address only
        {"node1", "node2", 0, 1, "cluster"},                  // the cluster covers both
        {"node1", "node3", 0, 0, "cluster"},                  // ... only one: shared address or not
        {"node1", "node3", 1, 1, "addresses"},                // no cluster rule with local matching
        {"db", "broken", 1, 0, "lookup failed"},
        {"db", "", 1, 0, "no name"},
        {nullptr, "db", 1, 0, "no name"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name1 ? c.name1 : "(null)") + " / " + c.name2);
        EXPECT_EQ(vnet_same_host(c.name1, c.name2, c.local_ok), c.same);
        EXPECT_STREQ(host::last_rule(), c.rule);
    }
}

TEST_F(HostTest, CanonicalNamesDecideBeforeAddresses) {
    script_network();
    script().canon_suffix = ".example.com";
    // "db" answers with canonical name "db.example.com": the names rule.
    EXPECT_EQ(vnet_same_host("db", "db.example.com", 0), 1);
    EXPECT_STREQ(host::last_rule(), "names");
    // The uncached comparison makes the same decisions without the caches.
    int calls = script().calls;
    EXPECT_EQ(retry_same_host("db", "db.example.com", 0), 1);
    EXPECT_GT(script().calls, calls);
    EXPECT_EQ(retry_same_host("me", "me-backup", 0), 0) << "no local matching";
    EXPECT_EQ(retry_same_host("", "db", 0), 0);
    char buffer[8] = "junk";
    EXPECT_EQ(dns_hosts_equal("v6a", "v6b", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "");
}

TEST_F(HostTest, TheClusterRuleIsSkippedOnRequest) {
    script_network();
    configure("CLUSTER_NAME = clus\n");
    EXPECT_EQ(retry_same_host("node1", "node3", 0), 0);
    EXPECT_STREQ(host::last_rule(), "cluster");
    EXPECT_EQ(retry_same_host("node1", "node3", 1), 1);
    EXPECT_STREQ(host::last_rule(), "addresses");
}

TEST_F(HostTest, LocalityIsRecordedAndAnsweredFromTheFlags) {
    script_network();
    count_local_tests();
    EXPECT_EQ(vnet_is_local_host("me-backup"), 1);
    EXPECT_EQ(vnet_is_local_host("db"), 0);
    EXPECT_EQ(local_tests(), 2);
    const int calls = script().calls;
    EXPECT_EQ(vnet_is_local_host("ME-BACKUP"), 1);
    EXPECT_TRUE(host::last_from_flags());
    EXPECT_EQ(vnet_is_local_host("db"), 0);
    EXPECT_EQ(local_tests(), 2) << "no second bind test";
    EXPECT_EQ(script().calls, calls) << "no second resolver call";
    // A comparison with local matching uses and fills the same flag.
    EXPECT_EQ(vnet_same_host("me", "me-backup", 1), 1);
    EXPECT_EQ(local_tests(), 3) << "only \"me\" was still unknown";
    EXPECT_EQ(vnet_is_local_host("me"), 1);
    EXPECT_TRUE(host::last_from_flags());

    EXPECT_EQ(vnet_is_local_host("broken"), 0);
    EXPECT_EQ(vnet_is_local_host(nullptr), 0);
    EXPECT_EQ(vnet_is_local_hostW(u"me"), 1);
    // Uncached: the resolver is asked every time, only its first address counts.
    const int before = script().calls;
    EXPECT_EQ(vnet_is_local_host_ex("me", 0), 1);
    EXPECT_EQ(vnet_is_local_host_ex("me", 0), 1);
    EXPECT_EQ(script().calls, before + 2);
    EXPECT_EQ(vnet_is_local_host_ex("broken", 0), 0);
}

TEST_F(HostTest, AFlagUpdateIsWrittenOnlyOnAMatch) {
    script_network();
    host::Flags update;
    update.set(VNET_CF_SERVER, 2);
    EXPECT_EQ(vnet_same_host_and_update("db", "web", 1, update.v), 0);
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    ASSERT_EQ(vnet_cached_getaddrinfo("web", nullptr, nullptr, &list, &rv), 0);
    EXPECT_EQ(list->cached_flags[VNET_CF_SERVER], 0);
    vnet_freeaddrinfo(list);
    EXPECT_EQ(vnet_same_host_and_update("db", "db.example.com", 1, update.v), 1);
    ASSERT_EQ(vnet_cached_getaddrinfo("db.example.com", nullptr, nullptr, &list, &rv), 0);
    EXPECT_EQ(list->cached_flags[VNET_CF_SERVER], 2);
    vnet_freeaddrinfo(list);
}

TEST_F(HostTest, AMatchCopiesTheFirstNamesAttributes) {
    script_network();
    host::Flags known;
    known.set(VNET_CF_MASTER_SERVER, 2);
    known.set(VNET_CF_VERSION, 1100000);
    host::record_flags("db", known);
    ASSERT_EQ(vnet_same_host("db", "db.example.com", 0), 1);
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    ASSERT_EQ(vnet_cached_getaddrinfo("db.example.com", nullptr, nullptr, &list, &rv), 0);
    EXPECT_EQ(list->cached_flags[VNET_CF_MASTER_SERVER], 2);
    EXPECT_EQ(list->cached_flags[VNET_CF_VERSION], 1100000);
    vnet_freeaddrinfo(list);
}

TEST_F(HostTest, HostValidationDecidesOrConfirms) {
    script_network();
    hv::set_validation(&kScripted);
    hv::HostDetails with_id;
    with_id.host_id = "1b4e28ba-2fa1-11d2-883f-0016d3cca427";
    with_id.alias = "db";
    with_id.master = "master";
    with_id.secure_peer = true;
    hv::HostDetails secure;
    secure.secure_peer = true;
    struct Case {
        const char *what;
        int details_rc;
        hv::HostDetails details;
        int matches, update_rc, decision;
        bool insecure_ok;
        int context;
        const char *name2;
        int same;
    } cases[] = {
        {"details not to be had", 1, {}, 0, 0, 1, true, 0, "db.example.com", 0},
        {"host id maps to the name", 0, with_id, 1, 0, 1, true, 0, "web", 1},
        {"host id mappings unreadable", 0, with_id, -1, 0, 1, true, 0, "db.example.com", 0},
        {"host id unknown, DNS matches, pairing kept", 0, with_id, 0, 0, 1, true, 0, "db.example.com", 1},
        {"host id unknown, pairing dropped", 0, with_id, 0, 0, 2, true, 0, "db.example.com", 0},
        {"host id unknown, pairing failed", 0, with_id, 0, 7658, 1, true, 0, "db.example.com", 0},
        {"DHCP registration skips the check", 0, with_id, 0, 7658, 1, true, 2, "db.example.com", 1},
        {"secure peer pretending to be insecure", 0, secure, 0, 0, 1, false, 0, "db.example.com", 0},
        {"secure peer, console context", 0, secure, 0, 0, 1, false, 1, "db.example.com", 1},
        {"secure peer allowed insecure", 0, secure, 0, 0, 1, true, 0, "db.example.com", 1},
        {"no match is never confirmed into one", 0, secure, 0, 0, 1, true, 0, "web", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Validation &v = validation();
        v.details_rc = c.details_rc;
        v.details = c.details;
        v.matches = c.matches;
        v.update_rc = c.update_rc;
        v.decision = c.decision;
        v.insecure_ok = c.insecure_ok;
        vnet_set_thread_context(c.context);
        EXPECT_EQ(vnet_same_host("db", c.name2, 0), c.same);
        EXPECT_EQ(v.pauses, v.resumes) << "validation resumed";
    }
}

TEST_F(HostTest, AddressesAndSocketsAreComparedAsTheirText) {
    script_network();
    in_addr a{}, b{};
    inet_pton(AF_INET, "192.0.2.10", &a);
    inet_pton(AF_INET, "192.0.2.1", &b);
    EXPECT_EQ(vnet_same_hostbynameaddr("db", a), 1);
    EXPECT_EQ(vnet_same_hostbyaddr_local(a, b, 1), 0);
    EXPECT_EQ(vnet_same_host_iaddr("me", AF_INET, &b, 0), 1);
    EXPECT_EQ(vnet_same_host_iaddr("me", AF_UNIX, &b, 0), 0);

    // The address is the peer name for authorization while it is compared.
    static std::string seen;
    static const hv::Interface peek = {
        [](const char *, const char *, hv::HostDetails *) {
            const char *p = vnet_get_peername_for_authorization();
            seen = p != nullptr ? p : "";
            return 0;
        },
        nullptr, nullptr, nullptr, nullptr, nullptr};
    hv::set_validation(&peek);
    const char *outer = "outer";
    vnet_set_peername_for_authorization(outer);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = a;
    EXPECT_EQ(vnet_same_host_addr("db.example.com", reinterpret_cast<sockaddr *>(&sa), 0), 1);
    EXPECT_EQ(seen, "192.0.2.10");
    EXPECT_EQ(vnet_get_peername_for_authorization(), outer);
    vnet_set_peername_for_authorization(nullptr);

    // Sockets: a loopback connection's peer is localhost; others answer 0.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in lo{};
    lo.sin_family = AF_INET;
    lo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof lo;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&lo), sizeof lo), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&lo), &len), 0);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(vnet_same_host_sock("localhost", client, 1), 0) << "not connected";
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&lo), sizeof lo), 0);
    EXPECT_EQ(vnet_same_host_sock("localhost", client, 1), 1);
    EXPECT_EQ(vnet_same_host_sock("localhost", STDERR_FILENO + 1000, 1), 0) << "not a socket";
    close(client);
    close(listener);
}

TEST_F(HostTest, BadNamesAnswerNoMatch) {
    script_network();
    const std::string long_name(1025, 'a');
    const char not_utf8[] = "\xff\xfe.example";
    struct Case {
        const char *name;
    } cases[] = {{long_name.c_str()}, {not_utf8}, {"db\n"}, {" "}};
    for (const Case &c : cases) {
        EXPECT_EQ(vnet_same_host(c.name, "db", 1), 0);
        EXPECT_EQ(vnet_is_local_host(c.name), 0);
    }
    EXPECT_EQ(vnet_same_hostW(nullptr, u"db", 1), 0);
    EXPECT_EQ(vnet_same_hostW(u"db", u"DB", 0), 1);
}

TEST(SockaddrLocal, LoopbackInterfacesAndForeignAddresses) {
    auto v4 = [](const char *text) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        inet_pton(AF_INET, text, &in.sin_addr);
        return is_sockaddr_local(reinterpret_cast<sockaddr *>(&in));
    };
    auto v6 = [](const char *text) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &in6.sin6_addr);
        return is_sockaddr_local(reinterpret_cast<sockaddr *>(&in6));
    };
    EXPECT_EQ(v4("127.0.0.1"), 1);
    EXPECT_EQ(v4("127.1.2.3"), 1);
    EXPECT_EQ(v6("::1"), 1);
    EXPECT_EQ(v6("::ffff:127.0.0.1"), 1);
    EXPECT_EQ(v4("192.0.2.123"), 0) << "a documentation address is nobody's";
    EXPECT_EQ(v6("2001:db8::123"), 0);
    EXPECT_EQ(v6("::ffff:192.0.2.123"), 0);
    // Every IPv4 address of the interfaces is local.
    char **list = nullptr;
    ASSERT_EQ(vnet_getifaddrs(1, 1, &list), 0);
    for (char **p = list; *p != nullptr; ++p) {
        if (vnet_is_ip_string(*p) == AF_INET) {
            EXPECT_EQ(v4(*p), 1) << *p;
        }
    }
    vnet_free_aliases(list);
    EXPECT_EQ(is_sockaddr_local(nullptr), 0);
    sockaddr un{};
    un.sa_family = AF_UNIX;
    EXPECT_EQ(is_sockaddr_local(&un), 0);
}

} // namespace
