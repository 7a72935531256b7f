// Cached lookups against a scripted resolver: where an answer comes from
// (memory, file, resolver), negative caching, the retry loop, the localhost
// rule, address filtering, flag updates and the rebuild rules.
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "resolve_fixture.h"
#include "vnet/vnet_file_cache.h"
#include "ztbase/strings.h"

namespace {

using namespace resolve_test;
namespace fc = zt::vnet::filecache;

TEST_F(ResolveTest, AnswersComeFromMemoryThenFileThenResolver) {
    script().hosts["db.example"] = {"192.0.2.10"};
    EXPECT_EQ(first("db.example"), "192.0.2.10");
    EXPECT_EQ(script().calls, 1);
    // Letter case does not make another key.
    EXPECT_EQ(first("DB.Example"), "192.0.2.10");
    EXPECT_EQ(script().calls, 1);
    // A fresh table, as in a new process: the file answers.
    vnet_cached_free_memory();
    EXPECT_EQ(first("db.EXAMPLE"), "192.0.2.10");
    EXPECT_EQ(script().calls, 1);
    // An entry read from the file expires with the file, not a lifetime later.
    script().now += settings().lifetime - 10;
    vnet_cached_free_memory();
    EXPECT_EQ(first("db.example"), "192.0.2.10");
    EXPECT_EQ(script().calls, 1);
    script().now += 11;
    EXPECT_EQ(first("db.example"), "192.0.2.10");
    EXPECT_EQ(script().calls, 2);
}

TEST_F(ResolveTest, NegativeAnswersFollowTheStartupTimeAndNeverCachedRules) {
    script().failures["gone.example"] = EAI_NONAME;
    int code = 0, status = 0;
    first("gone.example", &code, &status);
    EXPECT_EQ(status, VNET_GETHOST_FAILED);
    EXPECT_EQ(code, VNET_EAI_HOST_NOT_FOUND);
    first("gone.example", &code);
    EXPECT_EQ(script().calls, 1) << "failure answered from memory";

    // From the file: used while written at or after vnetd's start ...
    vnet_cached_free_memory();
    zt::test::write_file(settings().startup_time_path, std::to_string(script().now) + "\n");
    first("gone.example", &code);
    EXPECT_EQ(script().calls, 1);
    EXPECT_EQ(code, VNET_EAI_HOST_NOT_FOUND);
    // ... and ignored once vnetd started after it.
    vnet_cached_free_memory();
    zt::test::write_file(settings().startup_time_path, std::to_string(script().now + 1) + "\n");
    first("gone.example");
    EXPECT_EQ(script().calls, 2);

    // Out of memory and the configured names are never cached.
    script().failures["oom.example"] = EAI_MEMORY;
    script().failures["master.example"] = EAI_NONAME;
    settings().never_cache = {"MASTER.example"};
    for (const char *name : {"oom.example", "master.example"}) {
        SCOPED_TRACE(name);
        int before = script().calls;
        first(name);
        first(name);
        EXPECT_EQ(script().calls, before + 2);
    }
}

struct RetryCase {
    const char *what;
    int attempts, delay, limit, storm;
    int calls, sleeps, code;
};

TEST_F(ResolveTest, TryAgainIsRetriedWithinTheConfiguredBounds) {
    const RetryCase cases[] = {
        {"a short storm passes", 3, 1, 30, 2, 3, 2, VNET_EAI_OK},
        {"a long storm fails", 3, 1, 30, 10, 3, 2, VNET_EAI_TRY_AGAIN},
        {"the time limit ends it", 5, 20, 30, 10, 3, 2, VNET_EAI_TRY_AGAIN},
        {"no attempts configured", 0, 1, 30, 0, 0, 0, VNET_EAI_NO_RECOVERY},
    };
    script().hosts["db.example"] = {"192.0.2.10"};
    for (const RetryCase &c : cases) {
        SCOPED_TRACE(c.what);
        script().calls = script().sleeps = 0;
        script().again = c.storm;
        settings().attempts = c.attempts;
        settings().delay = c.delay;
        settings().again_limit = c.limit;
        addrinfo *res = nullptr;
        EXPECT_EQ(retry_getaddrinfo("db.example", nullptr, nullptr, &res), c.code);
        EXPECT_EQ(script().calls, c.calls);
        EXPECT_EQ(script().sleeps, c.sleeps);
        if (res != nullptr)
            freeaddrinfo(res);
    }
}

TEST_F(ResolveTest, RestrictedReverseLookupMakesASecondPassWithoutCanonicalName) {
    settings().reverse = rs::kReverseRestricted;
    settings().attempts = 2;
    script().again = 3; // the first pass ends in try-again, the second gets an answer
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    EXPECT_EQ(retry_getaddrinfo("192.0.2.7", nullptr, &hints, &res), VNET_EAI_OK);
    EXPECT_EQ(script().calls, 4);
    EXPECT_EQ(script().last_flags & AI_CANONNAME, 0);
    freeaddrinfo(res);
}

TEST_F(ResolveTest, LocalNamesResolveOnlyToLocalAddresses) {
    script().hosts["localhost"] = {"192.0.2.99"};
    EXPECT_EQ(all("localhost"), std::vector<std::string>{"127.0.0.1"});
    addrinfo v6{};
    v6.ai_family = AF_INET6;
    v6.ai_socktype = SOCK_STREAM;
    EXPECT_EQ(all("LOCALHOST", &v6), std::vector<std::string>{"::1"});
    // A failure is replaced the same way.
    script().failures["localhost.localdomain"] = EAI_NONAME;
    EXPECT_EQ(all("localhost.localdomain"), std::vector<std::string>{"127.0.0.1"});
}

TEST_F(ResolveTest, NamesAreTrimmedAndLiteralsUnmapped) {
    const struct {
        const char *asked, *resolved;
    } cases[] = {
        {"10.0.0.0/8", "10.0.0.0"},
        {"10.1.0.0/16", "10.1.0.0"},
        {"::ffff:10.1.2.3", "10.1.2.3"},
        {"db.example/129", "db.example/129"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.asked);
        first(c.asked);
        EXPECT_EQ(script().last_name, c.resolved);
    }
    int code = 0;
    EXPECT_EQ(vnet_cached_getaddrinfo(nullptr, nullptr, nullptr, nullptr, &code), VNET_BAD_PARAM);
    EXPECT_EQ(code, VNET_EAI_HOST_NOT_FOUND);
}

TEST_F(ResolveTest, MappedAndLinkLocalAddressesAreDropped) {
    script().hosts["mixed.example"] = {"::ffff:192.0.2.1", "fe80::1", "169.254.1.1", "192.0.2.5"};
    script().hosts["odd.example"] = {"fe80::2", "169.254.9.9"};
    EXPECT_EQ(all("mixed.example"), std::vector<std::string>{"192.0.2.5"});
    int code = 0, status = 0;
    first("odd.example", &code, &status);
    EXPECT_EQ(status, VNET_GETHOST_FAILED);
    vnet_cached_free_memory();
    vnet_cleanup_file_cache(-1, 0);
    settings().link_local_allowed = true;
    EXPECT_EQ(all("odd.example"), (std::vector<std::string>{"fe80::2", "169.254.9.9"}));
}

TEST_F(ResolveTest, FlagUpdatesMergeInPlaceAndKeepTheLearnedPath) {
    script().hosts["peer.example"] = {"192.0.2.20"};
    int update[VNET_CACHED_FLAG_COUNT];
    auto keep_all = [&update] {
        for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i)
            update[i] = i <= VNET_CF_INDEX_SERVER ? VNET_CF_KEEP_TRISTATE : VNET_CF_KEEP_NUMBER;
    };
    auto flags_after = [&update](int index) {
        vnet_addrinfo *list = nullptr;
        int rv = 0;
        vnet_cached_getaddrinfo_and_update("peer.example", nullptr, nullptr, update, nullptr,
                                           nullptr, &list, &rv);
        int v = list != nullptr ? list->cached_flags[index] : -100;
        vnet_freeaddrinfo(list);
        return v;
    };
    keep_all();
    update[VNET_CF_CONNECT_PATH] = 2;
    EXPECT_EQ(flags_after(VNET_CF_CONNECT_PATH), 2) << "a new entry takes the value";
    update[VNET_CF_CONNECT_PATH] = 1;
    EXPECT_EQ(flags_after(VNET_CF_CONNECT_PATH), 1) << "a hit stores the learned path as given";
    keep_all();
    EXPECT_EQ(flags_after(VNET_CF_CONNECT_PATH), 1) << "3 leaves it";
    EXPECT_EQ(flags_after(VNET_CF_VERSION), -2) << "-1 leaves the unknown version";
    update[VNET_CF_VERSION] = 900;
    EXPECT_EQ(flags_after(VNET_CF_VERSION), 900);
    EXPECT_EQ(script().calls, 1);
    // The change reached the file: a fresh table reads it back.
    vnet_cached_free_memory();
    keep_all();
    EXPECT_EQ(flags_after(VNET_CF_VERSION), 900);
    EXPECT_EQ(flags_after(VNET_CF_CONNECT_PATH), 1);
    EXPECT_EQ(script().calls, 1);
}

TEST_F(ResolveTest, ChangedLifetimeOrSizeRebuildsTheTable) {
    settings().file_cache_disabled = true;
    script().hosts["db.example"] = {"192.0.2.10"};
    first("db.example");
    settings().lifetime = 7200;
    first("db.example");
    settings().table_size = 50;
    first("db.example");
    first("db.example");
    EXPECT_EQ(script().calls, 3);
}

// Another process clears the file cache; this one drops its table at its
// first lookup 10 seconds after it last looked at the clear time.
TEST_F(ResolveTest, AClearByAnotherProcessEmptiesThisProcessTable) {
    script().now = time(nullptr) - 100; // table times lie before the clear
    script().hosts["db.example"] = {"192.0.2.10"};
    first("db.example");
    pid_t child = fork();
    if (child == 0)
        _exit(vnet_cleanup_file_cache(-1, 1) == VNET_SUCCESS ? 0 : 1);
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(zt::test::read_file(settings().clear_time_path).ends_with("\n"));
    script().now += 9;
    first("db.example");
    EXPECT_EQ(script().calls, 1) << "within 10 s the table stays";
    script().now += 1;
    first("db.example");
    EXPECT_EQ(script().calls, 2);
}

TEST_F(ResolveTest, ASecondProcessAnswersFromTheFileCache) {
    script().hosts["db.example"] = {"192.0.2.10", "2001:db8::10"};
    EXPECT_EQ(all("db.example").size(), 2u);
    pid_t child = fork();
    if (child == 0) {
        // Fresh tables; the resolver would answer differently.
        vnet_cached_free_memory();
        script().calls = 0;
        script().hosts["db.example"] = {"198.51.100.1"};
        bool same = all("db.example") == std::vector<std::string>{"192.0.2.10", "2001:db8::10"};
        _exit(same && script().calls == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
}

TEST_F(ResolveTest, WithoutRightsTheFileIsReadButNotWritten) {
    static const rs::ResolverTable not_admin = [] {
        rs::ResolverTable t = kFake;
        t.is_admin = [] { return false; };
        return t;
    }();
    rs::set_resolver(&not_admin);
    script().hosts["db.example"] = {"192.0.2.10"};
    first("db.example");
    rs::AddrItem item;
    addrinfo h = rs::default_hints("db.example", nullptr, 0);
    auto key = rs::make_key("db.example", nullptr, h, false);
    EXPECT_EQ(fc::read_entry(settings().cache_dir, key, 32, item), fc::Read::Missing);
    // An override lets it write, into a directory that exists: nothing is made above it.
    const std::string own = root() / "private_cache";
    vnet_set_override_values(own.c_str());
    vnet_cached_free_memory();
    EXPECT_EQ(first("db.example"), "192.0.2.10");
    EXPECT_FALSE(std::filesystem::exists(own));
    mkdir(own.c_str(), 0755);
    vnet_cached_free_memory();
    first("db.example");
    EXPECT_EQ(fc::read_entry(own, key, 32, item), fc::Read::Hit);
}

TEST_F(ResolveTest, ReverseLookupsAreCachedAndChecked) {
    script().reverse["192.0.2.30"] = "web.example";
    script().reverse["192.0.2.31"] = "localhost";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.30", &a.sin_addr);
    char host[64];
    int rv = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(vnet_cached_getnameinfo(reinterpret_cast<sockaddr *>(&a), sizeof a, host,
                                          sizeof host, nullptr, 0, NI_NAMEREQD, &rv),
                  VNET_SUCCESS);
        EXPECT_STREQ(host, "web.example");
    }
    EXPECT_EQ(script().name_calls, 1);
    char tiny[4];
    EXPECT_EQ(vnet_cached_getnameinfo(reinterpret_cast<sockaddr *>(&a), sizeof a, tiny,
                                      sizeof tiny, nullptr, 0, NI_NAMEREQD, &rv),
              VNET_MALLOC_FAILED);
    // A remote address that calls itself localhost is refused (and cached so).
    inet_pton(AF_INET, "192.0.2.31", &a.sin_addr);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(vnet_cached_getnameinfo(reinterpret_cast<sockaddr *>(&a), sizeof a, host,
                                          sizeof host, nullptr, 0, NI_NAMEREQD, &rv),
                  VNET_GETHOST_FAILED);
        EXPECT_EQ(rv, VNET_EAI_NO_RECOVERY);
    }
    EXPECT_EQ(script().name_calls, 2);
}

TEST_F(ResolveTest, ServicesMapThroughTheBuiltInTable) {
    const struct {
        const char *service;
        int port;
    } cases[] = {{"vnetd", 13724}, {"VNETD-SSA", 13724}, {"bpcd", 13782}, {"halvane_pbx", 1556},
                 {"4242", 4242}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.service);
        int port = 0;
        ASSERT_EQ(vnet_cached_get_service_port(c.service, &port), VNET_SUCCESS);
        EXPECT_EQ(port, c.port);
    }
    int port = 0;
    EXPECT_EQ(vnet_cached_get_service_port("no-such-service", &port), VNET_GETHOST_FAILED);
}

TEST_F(ResolveTest, UuidListsTravelWithTheirEntries) {
    vnet_uuid u{};
    ASSERT_EQ(vnet_string_to_uuid("0a0b0c0d-1234-abcd-0102030405ff", &u), VNET_SUCCESS);
    char text[40];
    ASSERT_EQ(vnet_uuid_to_string(&u, text, sizeof text), VNET_SUCCESS);
    EXPECT_STREQ(text, "0a0b0c0d-1234-abcd-0102030405ff");
    EXPECT_EQ(u.bytes[14], 0);
    EXPECT_NE(vnet_string_to_uuid("0a0b0c0d-1234-abcd-0102030405f", &u), VNET_SUCCESS);

    char *names[] = {const_cast<char *>("a.example"), const_cast<char *>("b.example")};
    vnet_name_list hosts{2, names};
    ASSERT_EQ(vnet_set_cached_uuid_hosts(&u, &hosts), VNET_SUCCESS);
    vnet_cached_free_memory(); // from the file now
    vnet_name_list *got = nullptr;
    ASSERT_EQ(vnet_get_cached_uuid_hosts(&u, &got), VNET_SUCCESS);
    ASSERT_NE(got, nullptr);
    ASSERT_EQ(got->count, 2);
    EXPECT_STREQ(got->names[1], "b.example");
    vnet_free_name_list(got);
    EXPECT_EQ(script().calls, 0) << "pseudo entries never reach the resolver";

    script().hosts["db.example"] = {"192.0.2.10"};
    vnet_uuid_list ids{1, &u};
    ASSERT_EQ(vnet_set_cached_host_uuids("db.example", &ids), VNET_SUCCESS);
    vnet_cached_free_memory();
    vnet_uuid_list *back = nullptr;
    ASSERT_EQ(vnet_get_cached_host_uuids("db.example", &back), VNET_SUCCESS);
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(back->count, 1);
    EXPECT_EQ(memcmp(back->uuids[0].bytes, u.bytes, 16), 0);
    vnet_free_uuid_list(back);
}

TEST_F(ResolveTest, HostEntriesAndAliases) {
    script().hosts["db"] = {"192.0.2.10", "192.0.2.11", "2001:db8::1"};
    script().canon_suffix = ".lab.example";
    vnet_hostent *h = nullptr;
    ASSERT_EQ(vnet_cached_gethostent("db", &h), VNET_SUCCESS);
    EXPECT_STREQ(h->h_name, "db.lab.example");
    EXPECT_STREQ(h->h_aliases[0], "db");
    EXPECT_EQ(h->h_aliases[1], nullptr);
    EXPECT_EQ(h->h_addrtype, AF_INET);
    ASSERT_NE(h->h_addr_list[1], nullptr);
    EXPECT_EQ(h->h_addr_list[2], nullptr);
    EXPECT_GT(vnet_sizeof_vnet_hostent(h), sizeof(vnet_hostent));
    vnet_free_vnet_hostent(h);
    char **aliases = nullptr;
    ASSERT_EQ(vnet_cached_get_aliases("db", &aliases), VNET_SUCCESS);
    EXPECT_STREQ(aliases[0], "db.lab.example");
    EXPECT_STREQ(aliases[1], "db");
    vnet_free_aliases(aliases);
}

// The UTF-16 forms with list results answer as their narrow forms do.
TEST_F(ResolveTest, WideListFormsAnswerAsTheNarrowOnes) {
    using Names = std::vector<std::string>;
    auto narrow = [](char **list) {
        Names out;
        for (char **p = list; p != nullptr && *p != nullptr; ++p)
            out.push_back(*p);
        vnet_free_aliases(list);
        return out;
    };
    auto wide = [](char16_t **list) {
        Names out;
        for (char16_t **p = list; p != nullptr && *p != nullptr; ++p) {
            char *n = V_StrDupWideToACP(*p);
            out.push_back(n != nullptr ? n : "?");
            free(n);
        }
        vnet_free_aliasesW(list);
        return out;
    };
    auto hosts = [](const vnet_name_list *l) {
        Names out(l != nullptr ? l->names : nullptr, l != nullptr ? l->names + l->count : nullptr);
        return out;
    };
    auto hostsW = [](const vnet_name_listW *l) {
        Names out;
        for (long i = 0; l != nullptr && i < l->count; ++i) {
            char *n = V_StrDupWideToACP(l->names[i]);
            out.push_back(n != nullptr ? n : "?");
            free(n);
        }
        return out;
    };
    script().hosts["db"] = {"192.0.2.10"};
    script().canon_suffix = ".lab.example";
    vnet_uuid u1{}, u2{};
    u1.bytes[0] = 1;
    u2.bytes[0] = 2;
    char *names[] = {const_cast<char *>("a.example"), const_cast<char *>("b.example")};
    char16_t *namesW[] = {const_cast<char16_t *>(u"a.example"), const_cast<char16_t *>(u"b.example")};
    const struct {
        const char *what;
        std::function<Names()> by_narrow, by_wide;
    } cases[] = {
        {"aliases",
         [&] {
             char **l = nullptr;
             EXPECT_EQ(vnet_cached_get_aliases("db", &l), VNET_SUCCESS);
             return narrow(l);
         },
         [&] {
             char16_t **l = nullptr;
             EXPECT_EQ(vnet_cached_get_aliasesW(u"db", &l), VNET_SUCCESS);
             return wide(l);
         }},
        {"interface addresses",
         [&] {
             char **l = nullptr;
             EXPECT_EQ(vnet_getifaddrs(0, 0, &l), VNET_SUCCESS);
             return narrow(l);
         },
         [&] {
             char16_t **l = nullptr;
             EXPECT_EQ(vnet_getifaddrsW(0, 0, &l), VNET_SUCCESS);
             return wide(l);
         }},
        {"UUID hosts set narrow, read both ways",
         [&] {
             vnet_name_list in{2, names};
             EXPECT_EQ(vnet_set_cached_uuid_hosts(&u1, &in), VNET_SUCCESS);
             vnet_name_list *l = nullptr;
             EXPECT_EQ(vnet_get_cached_uuid_hosts(&u1, &l), VNET_SUCCESS);
             Names out = hosts(l);
             vnet_free_name_list(l);
             return out;
         },
         [&] {
             vnet_name_listW *l = nullptr;
             EXPECT_EQ(vnet_get_cached_uuid_hostsW(&u1, &l), VNET_SUCCESS);
             Names out = hostsW(l);
             vnet_free_name_listW(l);
             return out;
         }},
        {"UUID hosts set wide, read narrow",
         [&] { return Names{"a.example", "b.example"}; },
         [&] {
             vnet_name_listW in{2, namesW};
             EXPECT_EQ(vnet_set_cached_uuid_hostsW(&u2, &in), VNET_SUCCESS);
             vnet_cached_free_memory(); // through the file
             vnet_name_list *l = nullptr;
             EXPECT_EQ(vnet_get_cached_uuid_hosts(&u2, &l), VNET_SUCCESS);
             Names out = hosts(l);
             vnet_free_name_list(l);
             return out;
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Names expected = c.by_narrow();
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(c.by_wide(), expected);
    }
    // A UUID never set: nothing known, in either form.
    vnet_uuid none{};
    none.bytes[0] = 3;
    vnet_name_listW *l = reinterpret_cast<vnet_name_listW *>(1);
    EXPECT_EQ(vnet_get_cached_uuid_hostsW(&none, &l), VNET_SUCCESS);
    EXPECT_EQ(l, nullptr);
    EXPECT_EQ(vnet_get_cached_uuid_hostsW(&none, nullptr), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_cached_get_aliasesW(u"db", nullptr), VNET_BAD_PARAM);
}

TEST_F(ResolveTest, LocalChecksAndOrdering) {
    const struct {
        const char *name;
        int local;
    } cases[] = {{"localhost", 1}, {"LOCALHOST6", 1},  {"localhost.lab", 1}, {"127.9.9.9", 1},
                 {"::1", 1},       {"localhostx", 0}, {"128.0.0.1", 0},     {nullptr, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(vnet_localhost_check(c.name), c.local) << (c.name ? c.name : "(null)");

    script().hosts["mixed.example"] = {"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2"};
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    ASSERT_EQ(vnet_cached_getaddrinfo("mixed.example", nullptr, nullptr, &list, &rv), 0);
    ASSERT_EQ(vnet_sortaddrs(&list), VNET_SUCCESS);
    std::vector<std::string> order;
    for (vnet_addrinfo *e = list; e != nullptr; e = e->ai_next)
        order.push_back(literal_of(e->ai_addr));
    vnet_freeaddrinfo(list);
    EXPECT_EQ(order, (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "2001:db8::1",
                                               "2001:db8::2"}));
    char **addrs = nullptr;
    ASSERT_EQ(vnet_getifaddrs(0, 1, &addrs), VNET_SUCCESS);
    bool has_loopback = false;
    for (char **a = addrs; *a != nullptr; ++a)
        has_loopback = has_loopback || strcmp(*a, "127.0.0.1") == 0;
    EXPECT_TRUE(has_loopback);
    vnet_free_aliases(addrs);
}

} // namespace
