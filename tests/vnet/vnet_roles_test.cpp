// Role questions against a frozen configuration and the scripted resolver:
// the answers, the flags each records, and the second question answered
// from those flags without a resolver call or a bind test.
#include "host_fixture.h"

namespace {

using namespace host_test;
using resolve_test::script;
namespace host = zt::vnet::host;

const char kConfig[] = "SERVER = master\n"
                       "SERVER = media1\n"
                       "MEDIA_SERVER = media2\n"
                       "EMMSERVER = emm\n"
                       "TRUSTED_MASTER = tm\n"
                       "VANTREL_SERVER_NAME = console\n";

void script_hosts() {
    auto &h = script().hosts;
    h["master"] = {"192.0.2.50"};
    h["master.example.com"] = {"192.0.2.50"};
    h["media1"] = {"192.0.2.51"};
    h["media2"] = {"192.0.2.52"};
    h["emm"] = {"192.0.2.53"};
    h["console"] = {"192.0.2.54"};
    h["tm"] = {"192.0.2.55"};
    h["client"] = {"192.0.2.60"};
}

struct RoleCase {
    const char *role;
    int (*ask)(const char *);
    const char *host;
    int answer;
};

const RoleCase kRoles[] = {
    // A SERVER entry given by its short name matches the qualified name.
    {"server", vnet_is_server, "master.example.com", 1},
    {"server", vnet_is_server, "media1", 1},
    {"server", vnet_is_server, "emm", 1},
    {"server", vnet_is_server, "console", 1},
    {"server", vnet_is_server, "client", 0},
    {"server", vnet_is_server, "media2", 0},
    {"media", vnet_is_media_server, "media2", 1},
    {"media", vnet_is_media_server, "client", 0},
    {"master", vnet_is_master_server, "master.example.com", 1},
    {"master", vnet_is_master_server, "media1", 0},
    {"emm", vnet_is_emm_server, "emm", 1},
    {"emm", vnet_is_emm_server, "master", 0},
    {"trusted", vnet_is_trusted_master, "tm", 1},
    {"trusted", vnet_is_trusted_master, "master", 0},
    {"console", vnet_is_vantrel, "console", 1},
    {"console", vnet_is_vantrel, "master", 0},
    {"index", vnet_is_index_server, "master", 0},
};

TEST_F(HostTest, RolesAreAnsweredThenAnsweredAgainFromTheFlags) {
    script_hosts();
    configure(kConfig);
    count_local_tests();
    for (const RoleCase &c : kRoles) {
        SCOPED_TRACE(std::string(c.role) + " " + c.host);
        EXPECT_EQ(c.ask(c.host), c.answer);
    }
    const int calls = script().calls, tests = local_tests();
    for (const RoleCase &c : kRoles) {
        SCOPED_TRACE(std::string(c.role) + " " + c.host + " again");
        EXPECT_EQ(c.ask(c.host), c.answer);
        EXPECT_TRUE(host::last_from_flags());
    }
    EXPECT_EQ(script().calls, calls) << "no resolver call";
    EXPECT_EQ(local_tests(), tests) << "no bind test";
}

// The flags of a host's entry, as a text of the role flags 0-6 and 8.
std::string role_flags(const char *host) {
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    if (vnet_cached_getaddrinfo(host, nullptr, nullptr, &list, &rv) != 0 || list == nullptr)
        return "lookup failed";
    std::string out;
    for (int i : {0, 1, 2, 3, 4, 5, 6, 8})
        out += char('0' + list->cached_flags[i]);
    vnet_freeaddrinfo(list);
    return out;
}

TEST_F(HostTest, EachRoleRecordsTheFlagsItImplies) {
    script_hosts();
    configure(kConfig);
    struct Case {
        int (*ask)(const char *);
        const char *host;
        const char *flags; // local, server, media, master, emm, trusted, console, index
    } cases[] = {
        {vnet_is_server, "master", "02220000"},
        {vnet_is_server, "media1", "02200000"},
        {vnet_is_server, "emm", "02202000"},
        {vnet_is_server, "console", "02200020"},
        {vnet_is_server, "client", "01000000"},
        {vnet_is_media_server, "media2", "00200000"},
        {vnet_is_master_server, "tm", "00010000"},
        {vnet_is_emm_server, "tm", "00011000"},
        {vnet_is_trusted_master, "tm", "00011200"},
        {vnet_is_vantrel, "tm", "00011210"},
        {vnet_is_index_server, "tm", "00011211"},
    };
    for (const Case &c : cases) {
        c.ask(c.host);
        EXPECT_EQ(role_flags(c.host), c.flags) << c.host;
    }
}

TEST_F(HostTest, WithoutAnEmmServerTheMasterServesAsOne) {
    script_hosts();
    configure("SERVER = master\nSERVER = media1\n");
    EXPECT_EQ(vnet_is_emm_server("master.example.com"), 1);
    EXPECT_EQ(role_flags("master.example.com"), "00022000");
    EXPECT_EQ(vnet_is_emm_server("media1"), 0);
    EXPECT_EQ(role_flags("media1"), "00011000");
    EXPECT_EQ(vnet_is_master_serverW(u"media1"), 0);
    EXPECT_TRUE(host::last_from_flags());
}

TEST_F(HostTest, BadHostsAreNoRole) {
    script_hosts();
    configure(kConfig);
    const std::string long_name(1100, 'm');
    for (const char *bad : {static_cast<const char *>(nullptr), "", long_name.c_str(), "\xc3\x28"}) {
        EXPECT_EQ(vnet_is_server(bad), 0);
        EXPECT_EQ(vnet_is_media_server(bad), 0);
        EXPECT_EQ(vnet_is_trusted_master(bad), 0);
    }
    EXPECT_EQ(vnet_is_serverW(nullptr), 0);
}

TEST_F(HostTest, ProductServicesAreKnownByNameOrPort) {
    struct Case {
        const char *service;
        int answer;
    } cases[] = {
        {"13724", 13724}, {"vnetd", 13724}, {"bpcd", 13782}, {"1556", 1556},
        {"80", -80},      {"70000", 0},     {"no-such-service", 0}, {"", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vnet_is_zt_service(c.service), c.answer) << c.service;
    EXPECT_EQ(vnet_is_zt_service(nullptr), 0);
}

} // namespace
