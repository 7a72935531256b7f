// Host names, the thread context, trusted clients on a moved clock, the
// legacy host-entry tables with their try-again retry, and direct DNS
// queries against a responder this test runs on the loopback.
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "host_fixture.h"
#include "vnet/vnet_dnsquery.h"

namespace {

using namespace host_test;
using resolve_test::script;
using resolve_test::settings;

TEST_F(HostTest, QualifiedNamesComeFromCanonicalNamesThenAliases) {
    script().hosts["db"] = {"192.0.2.10"};
    script().hosts["db.example.com"] = {"192.0.2.10"};
    script().hosts["web"] = {"192.0.2.11"};
    char out[64];
    // No canonical name with a dot: an alias built from a configured domain,
    // when it resolves; else the name itself.
    configure("SERVER = master.example.com\n");
    ASSERT_EQ(vnet_getfqdn("db", out, sizeof out), VNET_SUCCESS);
    EXPECT_STREQ(out, "db.example.com");
    ASSERT_EQ(vnet_getfqdn("web", out, sizeof out), VNET_SUCCESS);
    EXPECT_STREQ(out, "web");
    ASSERT_EQ(vnet_getfqdn("localhost", out, sizeof out), VNET_SUCCESS);
    EXPECT_STREQ(out, "localhost");
    // A canonical name with a dot is the answer at once.
    script().hosts["app"] = {"192.0.2.12"};
    script().canon_suffix = ".corp.example";
    ASSERT_EQ(vnet_getfqdn("app", out, sizeof out), VNET_SUCCESS);
    EXPECT_STREQ(out, "app.corp.example");
    EXPECT_EQ(vnet_getfqdn("app", out, 8), VNET_MALLOC_FAILED);
    EXPECT_EQ(vnet_getfqdn("app", nullptr, 8), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_getfqdn("nowhere", out, sizeof out), VNET_GETHOST_FAILED);
    char16_t wide[64];
    ASSERT_EQ(vnet_getfqdnW(u"app", wide, 64), VNET_SUCCESS);
    EXPECT_EQ(std::u16string(wide), u"app.corp.example");
}

TEST_F(HostTest, TheConfiguredNameOfThisHost) {
    script().local = {"127.0.0.1", "192.0.2.1"};
    script().hosts["master"] = {"192.0.2.50"};
    script().hosts["me"] = {"192.0.2.1"};
    script().hosts["db"] = {"192.0.2.10"};
    char out[64];
    struct Case {
        const char *config;
        const char *name;
    } cases[] = {
        {"SERVER = master\nSERVER = me\n", "me"},
        {"SERVER = master\nMEDIA_SERVER = me\n", "me"},
        {"SERVER = master\nCLIENT_NAME = me\n", "me"},
        {"SERVER = master\nCLIENT_NAME = master\n", "db"}, // nothing local: the fqdn of the name asked
    };
    for (const Case &c : cases) {
        configure(c.config);
        ASSERT_EQ(vnet_gethostname("db", out, sizeof out), VNET_SUCCESS) << c.config;
        EXPECT_STREQ(out, c.name) << c.config;
        bpconf_enable_thread_config_reads();
    }
    EXPECT_NE(vnet_gethostid(), 0u) << "127.0.0.1 at the least";
    EXPECT_EQ(vnet_gethostid(), vnet_gethostid());
}

TEST_F(HostTest, TheThreadContextBelongsToItsThread) {
    vnet_set_thread_context(VNET_THREAD_CONTEXT_DHCP);
    int other = -1;
    std::thread([&] { other = vnet_get_thread_context(); }).join();
    EXPECT_EQ(other, VNET_THREAD_CONTEXT_ORDINARY);
    EXPECT_EQ(vnet_get_thread_context(), VNET_THREAD_CONTEXT_DHCP);
}

TEST_F(HostTest, TrustedClientsExpireAfterThirtySeconds) {
    ASSERT_EQ(vnet_register_trusted_client("client-a"), VNET_SUCCESS);
    ASSERT_EQ(vnet_register_trusted_clientW(u"client-b"), VNET_SUCCESS);
    script().now += 29;
    EXPECT_EQ(vnet_is_trusted_client("CLIENT-A"), 1);
    // Registering again does not renew the entry.
    EXPECT_EQ(vnet_register_trusted_client("client-a"), VNET_SUCCESS);
    script().now += 2; // 31 seconds old
    EXPECT_EQ(vnet_is_trusted_client("client-a"), 0);
    EXPECT_EQ(vnet_is_trusted_client("client-b"), 0);
    EXPECT_EQ(vnet_register_trusted_client(nullptr), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_is_trusted_client(nullptr), 0);
    // 200 slots: the 201st name takes the slot used longest ago.
    for (int i = 0; i < 200; ++i)
        vnet_register_trusted_client(("c" + std::to_string(i)).c_str());
    script().now += 1;
    for (int i = 1; i < 200; ++i)
        vnet_is_trusted_client(("c" + std::to_string(i)).c_str());
    vnet_register_trusted_client("newcomer");
    EXPECT_EQ(vnet_is_trusted_client("newcomer"), 1);
    EXPECT_EQ(vnet_is_trusted_client("c0"), 0);
    EXPECT_EQ(vnet_is_trusted_client("c1"), 1);
}

TEST_F(HostTest, LegacyHostEntriesAreCachedWithTheirFailures) {
    script().hosts["db"] = {"192.0.2.10", "192.0.2.12"};
    script().hosts["db.example.com"] = {"192.0.2.12"};
    script().hosts["web"] = {"192.0.2.11"};
    script().canon_suffix = ".example.com";
    script().reverse["192.0.2.11"] = "web.example.com";
    vnet_hostent *h = nullptr;
    ASSERT_EQ(vnet_legacy_cached_gethostbyname("DB", &h), VNET_SUCCESS);
    EXPECT_STREQ(h->h_name, "db.example.com");
    EXPECT_STREQ(h->h_aliases[0], "DB");
    ASSERT_NE(h->h_addr_list[1], nullptr);
    EXPECT_EQ(h->h_addr_list[2], nullptr);
    vnet_free_vnet_hostent(h);
    const int calls = script().calls;
    ASSERT_EQ(vnet_legacy_cached_gethostbyname("db", &h), VNET_SUCCESS);
    vnet_free_vnet_hostent(h);
    EXPECT_EQ(script().calls, calls) << "answered from the table";

    EXPECT_EQ(vnet_legacy_cached_gethostbyname("gone", &h), VNET_GETHOST_FAILED);
    EXPECT_EQ(vnet_legacy_cached_gethostbyname("gone", &h), VNET_CACHE_FAILED);
    EXPECT_EQ(script().calls, calls + 1);
    EXPECT_EQ(h, nullptr);
    // Both tables forget after the cache lifetime.
    script().now += settings().lifetime;
    script().hosts["gone"] = {"192.0.2.13"};
    ASSERT_EQ(vnet_legacy_cached_gethostbyname("gone", &h), VNET_SUCCESS);
    vnet_free_vnet_hostent(h);

    in_addr a{};
    inet_pton(AF_INET, "192.0.2.11", &a);
    ASSERT_EQ(vnet_legacy_cached_gethostbyaddr_rnl(&a, 4, AF_INET, &h), VNET_SUCCESS);
    EXPECT_STREQ(h->h_name, "web.example.com");
    vnet_free_vnet_hostent(h);
    EXPECT_EQ(vnet_legacy_cached_gethostbyaddr_rnl(&a, 16, AF_INET6, &h), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_legacy_cached_gethostbyname(nullptr, &h), VNET_BAD_PARAM);

    // The short-form comparison: shared address of the legacy entries.
    EXPECT_EQ(vnet_same_hostbyname_alias("db", "db.example.com"), 1);
    EXPECT_EQ(vnet_same_hostbyname_alias("db", "web"), 0);
    EXPECT_EQ(vnet_same_hostbyname_alias("db", nullptr), 0);
}

TEST_F(HostTest, LegacyLookupsRetryTryAgainWithinTheirBounds) {
    script().hosts["slow"] = {"192.0.2.20"};
    settings().attempts = 3;
    settings().delay = 2;
    script().again = 2;
    vnet_hostent *h = nullptr;
    ASSERT_EQ(vnet_legacy_cached_gethostbyname("slow", &h), VNET_SUCCESS);
    vnet_free_vnet_hostent(h);
    EXPECT_EQ(script().sleeps, 2);
    // A storm longer than the attempts fails, and the failure is kept.
    script().hosts["stormy"] = {"192.0.2.21"};
    script().again = 10;
    EXPECT_EQ(vnet_legacy_cached_gethostbyname("stormy", &h), VNET_GETHOST_FAILED);
    EXPECT_EQ(script().sleeps, 4);
    EXPECT_EQ(vnet_legacy_cached_gethostbyname("stormy", &h), VNET_CACHE_FAILED);
    // Past the time limit no further attempt is made.
    settings().again_limit = 1;
    script().again = 10;
    script().hosts["late"] = {"192.0.2.22"};
    const int sleeps = script().sleeps;
    EXPECT_EQ(vnet_legacy_cached_gethostbyname("late", &h), VNET_GETHOST_FAILED);
    EXPECT_EQ(script().sleeps, sleeps + 1);
}

// A DNS responder on 127.0.0.1 (a port the kernel picks): A and AAAA
// records for the names it knows, "no such name" for the rest.
class Responder {
  public:
    struct Record {
        std::string name; // lower case, no final dot
        int type;         // 1 A, 28 AAAA
        std::string rdata;
    };
    explicit Responder(std::vector<Record> records) : records_(std::move(records)) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof address_;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address_), &len);
        timeval tv{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this] { serve(); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    const sockaddr_in &address() const { return address_; }
    int queries() const { return queries_; }

  private:
    void serve() {
        unsigned char q[512];
        while (!stop_) {
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            ssize_t n = recvfrom(fd_, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&from), &flen);
            if (n < 17)
                continue;
            ++queries_;
            // The question: labels from byte 12, then type and class.
            std::string name;
            size_t p = 12;
            while (p < size_t(n) && q[p] != 0) {
                if (!name.empty())
                    name += '.';
                for (size_t i = 1; i <= q[p] && p + i < size_t(n); ++i)
                    name += char(tolower(q[p + i]));
                p += q[p] + 1;
            }
            if (p + 5 > size_t(n))
                continue;
            const int type = q[p + 1] << 8 | q[p + 2];
            std::string r(reinterpret_cast<char *>(q), p + 5); // header and question
            int answers = 0;
            bool known = false;
            for (const Record &rec : records_) {
                if (rec.name != name)
                    continue;
                known = true;
                if (rec.type != type)
                    continue;
                ++answers;
                const unsigned char rr[] = {0xc0, 12, 0, (unsigned char)type, 0, 1, 0, 0, 0, 60,
                                            0, (unsigned char)rec.rdata.size()};
                r.append(reinterpret_cast<const char *>(rr), sizeof rr);
                r += rec.rdata;
            }
            r[2] = char(0x81);                 // a response, recursion desired
            r[3] = char(known ? 0x80 : 0x83); // recursion available; no such name
            r[6] = 0;
            r[7] = char(answers);
            r[8] = r[9] = r[10] = r[11] = 0;
            sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from), flen);
        }
    }
    std::vector<Record> records_;
    int fd_ = -1;
    sockaddr_in address_{};
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::thread thread_;
};

std::string raw(int family, const char *text) {
    unsigned char b[16];
    inet_pton(family, text, b);
    return std::string(reinterpret_cast<char *>(b), family == AF_INET ? 4 : 16);
}

std::vector<std::string> texts(const vnet_addrinfo *list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->ai_next)
        out.push_back(resolve_test::literal_of(list->ai_addr) + " " + list->ai_canonname);
    return out;
}

TEST_F(HostTest, DnsQueriesAskTheServerOnTheWire) {
    Responder dns({{"svc.test", 1, raw(AF_INET, "192.0.2.70")},
                   {"svc.test", 28, raw(AF_INET6, "2001:db8::70")},
                   {"v4only.test", 1, raw(AF_INET, "192.0.2.71")},
                   {"me.test", 1, raw(AF_INET, "127.0.0.1")},
                   {"me.test", 1, raw(AF_INET, "192.0.2.72")}});
    zt::vnet::dns::set_dns_server(&dns.address());
    struct Case {
        int family;
        const char *host;
        int filter;
        int status;
        std::vector<std::string> answers;
    } cases[] = {
        {AF_UNSPEC, "svc.test", 0, VNET_SUCCESS, {"192.0.2.70 svc.test", "2001:db8::70 svc.test"}},
        {AF_INET, "svc.test", 0, VNET_SUCCESS, {"192.0.2.70 svc.test"}},
        {AF_INET6, "SVC.test", 0, VNET_SUCCESS, {"2001:db8::70 SVC.test"}}, // the name as asked
        {AF_INET6, "v4only.test", 0, VNET_GETHOST_FAILED, {}},
        {AF_UNSPEC, "nowhere.test", 0, VNET_GETHOST_FAILED, {}},
        // Filtered: only this machine's addresses stay.
        {AF_UNSPEC, "me.test", 1, VNET_SUCCESS, {"127.0.0.1 me.test"}},
        {AF_UNSPEC, "svc.test", 1, VNET_SUCCESS, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        vnet_addrinfo *list = nullptr;
        int code = -1;
        EXPECT_EQ(vnet_dnsquery_filter(c.family, c.host, c.filter, &list, &code), c.status);
        EXPECT_EQ(code, c.status == VNET_SUCCESS ? VNET_EAI_OK : VNET_EAI_HOST_NOT_FOUND);
        EXPECT_EQ(texts(list), c.answers);
        vnet_freeaddrinfo(list);
        // The hosts file and the resolver caches are not consulted (only
        // the filter asks whether an address is local).
        if (c.filter == 0) {
            EXPECT_EQ(script().calls, 0);
        }
    }
    EXPECT_GE(dns.queries(), 10);
    vnet_addrinfo *list = nullptr;
    EXPECT_EQ(vnet_dnsqueryW(AF_INET, u"me.test", &list, nullptr), VNET_SUCCESS);
    EXPECT_EQ(texts(list), std::vector<std::string>{"127.0.0.1 me.test"});
    vnet_freeaddrinfo(list);
    const std::string long_name(1100, 'a');
    EXPECT_EQ(vnet_dnsquery_filter(AF_UNSPEC, long_name.c_str(), 0, &list, nullptr),
              VNET_GETHOST_FAILED);
    EXPECT_EQ(vnet_dnsquery_filter(AF_UNSPEC, "\xff\xfe.test", 0, &list, nullptr),
              VNET_GETHOST_FAILED);
    EXPECT_EQ(vnet_dnsquery(AF_INET, nullptr, &list, nullptr), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_dnsquery(AF_INET, "svc.test", nullptr, nullptr), VNET_BAD_PARAM);
    zt::vnet::dns::set_dns_server(nullptr);
}

} // namespace
