// Hostile input against the host-identity calls: a DNS responder that
// lies, sockets that are not connected peers, and names past every limit.
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "host_fixture.h"
#include "vnet/vnet_dnsquery.h"

namespace {

using namespace host_test;
using resolve_test::script;

// A responder on 127.0.0.1 whose reply to each query is built by a script
// from the query's bytes (an empty reply sends nothing).
class LyingResponder {
  public:
    using Reply = std::function<std::string(const std::string &query)>;
    explicit LyingResponder(Reply reply) : reply_(std::move(reply)) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof address_;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address_), &len);
        timeval tv{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this] {
            char q[512];
            while (!stop_) {
                sockaddr_in from{};
                socklen_t flen = sizeof from;
                ssize_t n = recvfrom(fd_, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&from), &flen);
                if (n < 17)
                    continue;
                std::string r = reply_(std::string(q, size_t(n)));
                if (!r.empty())
                    sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from), flen);
            }
        });
        zt::vnet::dns::set_dns_server(&address_);
    }
    ~LyingResponder() {
        zt::vnet::dns::set_dns_server(nullptr);
        stop_ = true;
        thread_.join();
        close(fd_);
    }

  private:
    Reply reply_;
    int fd_ = -1;
    sockaddr_in address_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The header and question of query as a response with ancount answers.
std::string head(const std::string &q, int ancount) {
    std::string r = q;
    r[2] = char(0x81);
    r[3] = char(0x80);
    r[6] = char(ancount >> 8);
    r[7] = char(ancount);
    r[8] = r[9] = r[10] = r[11] = 0;
    return r;
}
int qtype(const std::string &q) {
    return (unsigned char)q[q.size() - 4] << 8 | (unsigned char)q[q.size() - 3];
}
std::string rr(const std::string &owner, int type, const std::string &rdata) {
    std::string r = owner;
    const unsigned char fixed[] = {0, (unsigned char)type, 0, 1, 0, 0, 0, 60,
                                   (unsigned char)(rdata.size() >> 8), (unsigned char)rdata.size()};
    r.append(reinterpret_cast<const char *>(fixed), sizeof fixed);
    return r + rdata;
}
const std::string kToQuestion("\xc0\x0c", 2);
const std::string kAddr("\xc0\x00\x02\x63", 4); // 192.0.2.99

std::vector<std::string> texts(const vnet_addrinfo *list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->ai_next)
        out.push_back(resolve_test::literal_of(list->ai_addr) + " " + list->ai_canonname);
    return out;
}

TEST_F(HostTest, LyingDnsAnswersAreRefusedOrReadSafely) {
    // A name of 250 bytes in five labels, and a long owner made of them.
    std::string long_owner;
    for (int i = 0; i < 4; ++i)
        long_owner += char(62) + std::string(62, char('a' + i));
    long_owner += std::string(1, '\0');
    struct Case {
        const char *what;
        std::function<std::string(const std::string &)> reply;
        int status;
        std::vector<std::string> answers;
    } cases[] = {
        {"pointer loop", [](const std::string &q) {
             return qtype(q) == 1 ? head(q, 1) + rr(std::string("\xc0\x1a", 2), 1, kAddr) : head(q, 0);
         }, VNET_GETHOST_FAILED, {}},
        {"more answers counted than sent", [](const std::string &q) {
             return head(q, 5) + rr(kToQuestion, qtype(q), qtype(q) == 1 ? kAddr : std::string(16, '\1'));
         }, VNET_GETHOST_FAILED, {}},
        {"wrong type and wrong length", [](const std::string &q) {
             return head(q, 3) + rr(kToQuestion, 28, kAddr) + rr(kToQuestion, 1, std::string(16, '\1')) +
                    rr(kToQuestion, 16, "\3txt");
         }, VNET_GETHOST_FAILED, {}},
        {"a CNAME chain", [](const std::string &q) {
             if (qtype(q) != 1)
                 return head(q, 0);
             return head(q, 3) + rr(kToQuestion, 5, std::string("\2c1\0", 4)) +
                    rr(std::string("\2c1\0", 4), 5, std::string("\2c2\0", 4)) +
                    rr(std::string("\2c2\0", 4), 1, kAddr);
         }, VNET_SUCCESS, {"192.0.2.99 c2"}},
        {"a 250-byte owner", [long_owner](const std::string &q) {
             return qtype(q) == 1 ? head(q, 1) + rr(long_owner, 1, kAddr) : head(q, 0);
         }, VNET_SUCCESS, {"192.0.2.99 " + std::string(62, 'a') + "." + std::string(62, 'b') + "." +
                                std::string(62, 'c') + "." + std::string(62, 'd')}},
        {"a label past the packet", [](const std::string &q) {
             return qtype(q) == 1 ? head(q, 1) + std::string("\x3f" "abc", 4) : head(q, 0);
         }, VNET_GETHOST_FAILED, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LyingResponder dns(c.reply);
        vnet_addrinfo *list = nullptr;
        int code = -1;
        EXPECT_EQ(vnet_dnsquery_filter(AF_UNSPEC, "svc.test", 0, &list, &code), c.status);
        EXPECT_EQ(texts(list), c.answers);
        vnet_freeaddrinfo(list);
    }
}

TEST_F(HostTest, SocketsThatAreNotConnectedPeers) {
    script().local = {"127.0.0.1"};
    script().hosts["me"] = {"127.0.0.1"};
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    int unbound = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (int fd : {-1, 100000, file, unbound, pair[0]}) {
        SCOPED_TRACE(fd);
        EXPECT_EQ(vnet_same_host_sock("me", fd, 1), 0);
        EXPECT_EQ(vnet_same_host_sock(nullptr, fd, 1), 0);
    }
    close(pair[0]);
    close(pair[1]);
    close(unbound);
    close(file);
}

TEST_F(HostTest, NamesPastEveryLimit) {
    script().local = {"127.0.0.1"};
    script().hosts["me"] = {"127.0.0.1"};
    const std::string huge(1100, 'h'), bytes("\xff\xfe\x80name", 7);
    std::u16string lone(u"me");
    lone += char16_t(0xd800);
    char out[64];
    for (const std::string &name : {huge, bytes, std::string()}) {
        EXPECT_EQ(vnet_same_host(name.c_str(), "me", 1), 0);
        EXPECT_EQ(vnet_same_host("me", name.c_str(), 0), 0);
        EXPECT_EQ(vnet_is_local_host(name.c_str()), 0);
        EXPECT_EQ(vnet_is_server(name.c_str()), 0);
        EXPECT_NE(vnet_getfqdn(name.c_str(), out, sizeof out), VNET_SUCCESS);
        EXPECT_EQ(vnet_register_trusted_client(name.c_str()), name.empty() ? VNET_BAD_PARAM : VNET_SUCCESS);
    }
    EXPECT_EQ(vnet_same_hostW(lone.c_str(), u"me", 1), 0);
    EXPECT_EQ(vnet_is_local_hostW(lone.c_str()), 0);
    EXPECT_EQ(vnet_is_serverW(lone.c_str()), 0);
    char16_t wide[8];
    EXPECT_NE(vnet_getfqdnW(lone.c_str(), wide, 8), VNET_SUCCESS);
    EXPECT_EQ(vnet_same_hostW(nullptr, nullptr, 1), 0);
    EXPECT_EQ(vnet_is_local_hostW(nullptr), 0);
}

} // namespace
