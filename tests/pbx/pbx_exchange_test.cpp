// The port exchange with real processes: ztpbxd as a child, servers in child
// processes or in this one through the client library, raw TCP clients for
// what the library would never send.
#include <sys/ioctl.h>

#include "pbx_fixture.h"
#include "platform/unix_sockets.h"
#include "support/fd_count.h"

using namespace zt::test::pbx;
namespace usock = ztbase::usock;

namespace {

// The exchange's list of extensions, asked over its control endpoint.
std::vector<std::string> list_extensions(int port) {
    int s = -1;
    if (usock::connect_abstract(proto::control_name(port), SOCK_SEQPACKET, &s) != 0)
        return {"(no exchange)"};
    std::string req = proto::make_list();
    send(s, req.data(), req.size(), MSG_NOSIGNAL);
    uint8_t buf[proto::kMaxControl];
    ssize_t n = recv(s, buf, sizeof buf, 0);
    close(s);
    proto::ControlMessage m;
    if (n <= 0 || !proto::parse_control(buf, size_t(n), &m) || m.type != proto::kNames)
        return {"(bad answer)"};
    return m.names;
}

// A server registered in this process through the library.
struct LocalServer {
    PBXHANDLE h = nullptr;
    int rc = -1;
    LocalServer(int port, const char *extension, int backlog) {
        PBXADDR addr;
        pbxAllocSocket(&h, nullptr);
        pbxSetAddrEx(&addr, nullptr, port, extension);
        rc = pbxRegisterExEx(h, &addr, nullptr, nullptr, backlog);
    }
    ~LocalServer() { pbxClose(h, 0); }
    int control() const {
        int s = -1;
        pbxGetSocketHandle(h, &s);
        return s;
    }
    // Bytes of hand-overs waiting on the control connection.
    int queued() const {
        int n = 0;
        ioctl(control(), FIONREAD, &n);
        return n;
    }
};

const size_t kHandoverSize = proto::make_handover(1).size();

} // namespace

TEST(PbxExchange, SwitchesEachClientToTheServerOfItsExtension) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    ServerProcess alpha(x.port(), "alpha"), beta(x.port(), "beta");
    ASSERT_TRUE(alpha.registered() && beta.registered());
    EXPECT_EQ(list_extensions(x.port()), (std::vector<std::string>{"alpha", "beta"}));

    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(ask(x.port(), "alpha", "ping" + std::to_string(round)),
                  "alpha:ping" + std::to_string(round));
        EXPECT_EQ(ask(x.port(), "beta", "pong"), "beta:pong");
    }

    // A client that sends its first request with the hello in one segment:
    // nothing past the name is lost to the exchange.
    int s = tcp_connect(x.port());
    ASSERT_TRUE(send_text(s, proto::make_hello("beta") + "early bytes\n"));
    EXPECT_EQ(reply_status(s), proto::kConnected);
    EXPECT_EQ(recv_n(s, strlen("beta:early bytes\n")), "beta:early bytes\n");
    close(s);
}

TEST(PbxExchange, RefusesAnExtensionWithoutAServerAndAnswersItsVersion) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    int before = zt::test::open_descriptor_count();
    PBXHANDLE h = nullptr;
    PBXADDR addr;
    ASSERT_EQ(pbxAllocSocket(&h, nullptr), 0);
    ASSERT_EQ(pbxSetAddrEx(&addr, "127.0.0.1", x.port(), "nobody"), 0);
    int hint = -1, reply = -1;
    EXPECT_EQ(pbxConnectExEx(h, &addr, PBX_MODE_BLOCKING, &hint, &reply), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(reply, PBX_REPLY_NO_EXTENSION);
    EXPECT_EQ(hint, proto::kVersion);
    pbxClose(h, 0);
    EXPECT_EQ(zt::test::open_descriptor_count(), before);
}

TEST(PbxExchange, RegistrationLivesAsLongAsTheServer) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    {
        ServerProcess first(x.port(), "gamma");
        ASSERT_TRUE(first.registered());
        // The extension is taken while its server lives.
        LocalServer second(x.port(), "gamma", 5);
        EXPECT_EQ(second.rc, -1);
        EXPECT_EQ(errno, EADDRINUSE);
        EXPECT_EQ(ask(x.port(), "gamma", "a"), "gamma:a");
        first.stop();
        EXPECT_TRUE(eventually([&] { return list_extensions(x.port()).empty(); }));
        EXPECT_EQ(ask(x.port(), "gamma", "b"), "error " + std::to_string(ECONNREFUSED));
    }
    ServerProcess again(x.port(), "gamma");
    ASSERT_TRUE(again.registered());
    EXPECT_EQ(ask(x.port(), "gamma", "c"), "gamma:c");
}

TEST(PbxExchange, AServerThatStopsAcceptingGetsNoMoreThanItsBacklog) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    const int backlog = 3;
    LocalServer server(x.port(), "slow", backlog);
    ASSERT_EQ(server.rc, 0);
    std::vector<int> waiting;
    for (int i = 1; i <= backlog; ++i) {
        int s = tcp_connect(x.port());
        send_text(s, proto::make_hello("slow"));
        waiting.push_back(s);
        ASSERT_TRUE(eventually([&] { return server.queued() == int(i * kHandoverSize); }));
    }
    // Full: the next client is refused at once, and others are still served.
    int refused = tcp_connect(x.port());
    send_text(refused, proto::make_hello("slow"));
    EXPECT_EQ(reply_status(refused), proto::kBusy);
    close(refused);
    ServerProcess other(x.port(), "other");
    EXPECT_EQ(ask(x.port(), "other", "x"), "other:x");

    // Taking one frees one place.
    int s = -1, hint = 0;
    ASSERT_EQ(pbxAcceptEx(server.h, &s, &hint), 0);
    EXPECT_EQ(hint, proto::kVersion);
    EXPECT_EQ(reply_status(waiting[0]), proto::kConnected);
    close(s);
    int next = tcp_connect(x.port());
    send_text(next, proto::make_hello("slow"));
    EXPECT_TRUE(eventually([&] { return server.queued() == int(backlog * kHandoverSize); }));
    int last = tcp_connect(x.port());
    send_text(last, proto::make_hello("slow"));
    EXPECT_EQ(reply_status(last), proto::kBusy);
    for (int fd : waiting)
        close(fd);
    close(next);
    close(last);
}

TEST(PbxExchange, AcceptSkipsAClientThatLeftWhileWaiting) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    LocalServer server(x.port(), "skip", 5);
    ASSERT_EQ(server.rc, 0);
    int gone = tcp_connect(x.port());
    send_text(gone, proto::make_hello("skip"));
    ASSERT_TRUE(eventually([&] { return server.queued() == int(kHandoverSize); }));
    // Reset rather than close, so that the answer cannot be written.
    linger lg{1, 0};
    setsockopt(gone, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(gone);
    int stays = tcp_connect(x.port());
    send_text(stays, proto::make_hello("skip"));
    ASSERT_TRUE(eventually([&] { return server.queued() == int(2 * kHandoverSize); }));
    int s = -1;
    ASSERT_EQ(pbxAcceptEx(server.h, &s, nullptr), 0);
    EXPECT_EQ(reply_status(stays), proto::kConnected);
    close(s);
    close(stays);
}

TEST(PbxExchange, NonBlockingAcceptSaysWhenNothingWaits) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    LocalServer server(x.port(), "nb", 5);
    ASSERT_EQ(server.rc, 0);
    ASSERT_EQ(pbxSetSocketHandle(server.h, server.control(), PBX_MODE_NONBLOCKING), 0);
    int s = -1;
    EXPECT_EQ(pbxAcceptEx(server.h, &s, nullptr), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(s, -1);
}

// Clients that do not speak the protocol: each is refused or closed, none
// stalls the others and none leaves a descriptor behind in the exchange.
TEST(PbxExchange, HostileClientsAreRefusedOrClosed) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    ServerProcess good(x.port(), "good");
    ASSERT_TRUE(good.registered());
    const int baseline = descriptors_of(x.pid());

    std::string header(proto::kHelloMagic, 4);
    const std::string megabyte(1 << 20, 'x');
    struct Case {
        const char *what;
        std::string bytes;
        bool stall;   // keep the connection open and silent afterwards
        int expected; // a reply status, or -1: closed without one
        bool either;  // a refusal or a plain close both do
    } cases[] = {
        {"no name, then close", "", false, -1, false},
        {"no name, then stall", "", true, -1, false},
        {"a 1 MB name", header + "\x01\xff" + megabyte, false, proto::kBadRequest, true},
        {"1 MB of junk", megabyte, false, proto::kBadRequest, true},
        {"a name without its end, then stall", header + "\x01\x0a" + "good", true, -1, false},
        {"a name without its end, then close", header + "\x01\x0a" + "good", false, -1, false},
        {"a name with a NUL", header + "\x01\x05" + std::string("go\0od", 5), false,
         proto::kBadRequest, false},
        {"a name with a slash", header + "\x01\x05" + "go/od", false, proto::kBadRequest, false},
        {"an empty name", header + std::string("\x01\x00", 2), false, proto::kBadRequest, false},
        {"version 0", header + std::string("\x00\x04", 2) + "good", false, proto::kBadVersion,
         false},
        {"half a magic, then junk", "ZP!", false, proto::kBadRequest, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int s = tcp_connect(x.port());
        ASSERT_GE(s, 0);
        // Big sends go as far as the exchange lets them, never blocking here.
        size_t off = 0;
        while (off < c.bytes.size()) {
            ssize_t n =
                send(s, c.bytes.data() + off, c.bytes.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0)
                break;
            off += size_t(n);
        }
        if (c.stall) {
            // While this one says nothing more, another client is served.
            EXPECT_EQ(ask(x.port(), "good", "meanwhile"), "good:meanwhile");
            EXPECT_TRUE(closed_by_peer(s)); // at the exchange's name deadline
        } else if (c.bytes.empty() || c.expected < 0) {
            shutdown(s, SHUT_WR);
            EXPECT_TRUE(closed_by_peer(s));
        } else {
            int got = reply_status(s);
            if (c.either && got == -1)
                got = c.expected;
            EXPECT_EQ(got, c.expected);
            EXPECT_TRUE(closed_by_peer(s));
        }
        close(s);
    }
    EXPECT_EQ(ask(x.port(), "good", "after"), "good:after");
    EXPECT_TRUE(eventually([&] { return descriptors_of(x.pid()) == baseline; }))
        << descriptors_of(x.pid()) << " open, " << baseline << " before";
}

// Control connections that do not speak the protocol are closed; a
// registration that misbehaves is dropped; the exchange keeps working.
TEST(PbxExchange, HostileControlConnectionsAreClosed) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    ServerProcess good(x.port(), "good");
    ASSERT_TRUE(good.registered());
    const int baseline = descriptors_of(x.pid());
    const std::string name = proto::control_name(x.port());

    std::string too_long = proto::make_register("big", 5) + std::string(proto::kMaxControl, 'x');
    std::string bad_version = proto::make_register("v", 5);
    bad_version[4] = 9;
    struct Case {
        const char *what;
        std::string first;  // sent on a fresh connection (empty: nothing)
        bool with_fd;       // a descriptor rides along
        std::string second; // sent after a successful registration
    } cases[] = {
        {"junk", "hello exchange", false, ""},
        {"silence", "", false, ""},
        {"a descriptor with a registration", proto::make_register("sneaky", 5), true, ""},
        {"a message longer than any", too_long, false, ""},
        {"another version", bad_version, false, ""},
        {"a message only the exchange sends", proto::make_handover(1), false, ""},
        {"a registration with a bad name", proto::make_register("a/b", 5), false, ""},
        {"a count of more than was sent", proto::make_register("liar", 5), false,
         proto::make_accepted(7)},
        {"a second registration", proto::make_register("twice", 5), false,
         proto::make_register("thrice", 5)},
        {"a descriptor after registering", proto::make_register("later", 5), false,
         proto::make_list()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int s = -1;
        ASSERT_EQ(usock::connect_abstract(name, SOCK_SEQPACKET, &s), 0);
        int spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (!c.first.empty()) {
            if (c.with_fd)
                usock::send_with_fds(s, c.first.data(), c.first.size(), &spare, 1);
            else
                send(s, c.first.data(), c.first.size(), MSG_NOSIGNAL);
        }
        if (!c.second.empty()) {
            uint8_t buf[proto::kMaxControl];
            ASSERT_GT(recv(s, buf, sizeof buf, 0), 0); // registered
            if (std::string(c.what) == "a descriptor after registering")
                usock::send_with_fds(s, c.second.data(), c.second.size(), &spare, 1);
            else
                send(s, c.second.data(), c.second.size(), MSG_NOSIGNAL);
        }
        close(spare);
        timeval tv{20, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        // Whatever answer comes first, the connection then ends.
        bool ended = false;
        for (int i = 0; i < 4 && !ended; ++i) {
            uint8_t buf[proto::kMaxControl];
            ssize_t n = recv(s, buf, sizeof buf, 0);
            ended = n == 0 || (n < 0 && errno != EAGAIN);
        }
        EXPECT_TRUE(ended);
        close(s);
    }
    EXPECT_EQ(list_extensions(x.port()), std::vector<std::string>{"good"});
    EXPECT_EQ(ask(x.port(), "good", "after"), "good:after");
    EXPECT_TRUE(eventually([&] { return descriptors_of(x.pid()) == baseline; }))
        << descriptors_of(x.pid()) << " open, " << baseline << " before";
}

TEST(PbxExchange, ServersOutliveAKilledExchangeAndRegisterWithTheNextOne) {
    auto x = std::make_unique<ExchangeProcess>();
    ASSERT_TRUE(x->ok());
    const int port = x->port();
    ServerProcess server(port, "delta");
    ASSERT_TRUE(server.registered());
    EXPECT_EQ(ask(port, "delta", "before"), "delta:before");

    // A client in the middle of its name when the exchange dies learns at once.
    int half = tcp_connect(port);
    send_text(half, proto::make_hello("delta").substr(0, 7));
    x->kill_hard();
    EXPECT_TRUE(closed_by_peer(half));
    close(half);
    EXPECT_EQ(ask(port, "delta", "nobody home"), "error " + std::to_string(ECONNREFUSED));

    // The server is still running and registers with the next exchange.
    x = std::make_unique<ExchangeProcess>(port);
    ASSERT_TRUE(x->ok());
    ASSERT_TRUE(eventually([&] { return list_extensions(port).size() == 1; }));
    EXPECT_EQ(ask(port, "delta", "after"), "delta:after");
}

TEST(PbxExchange, RegistersWithTheDefaultPortWhenTheAddressGivesNone) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    static int port;
    port = x.port();
    pbxSetDefaultPortHook([] { return port; });
    LocalServer server(0, "byhook", 5);
    pbxSetDefaultPortHook(nullptr);
    EXPECT_EQ(server.rc, 0);
    EXPECT_EQ(list_extensions(x.port()), std::vector<std::string>{"byhook"});
}
