// The vnet layer over the port exchange: the TCP leg by the vnet rules, the
// exchange's port by the "halvane_pbx" rule, and the cleanup of every failure.
#include <netdb.h>

#include "pbx_fixture.h"
#include "platform/registry/registry.h"
#include "support/fd_count.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_pbx.h"

using namespace zt::test::pbx;
namespace reg = ztbase::registry;

namespace {

class VnetPbx : public zt::test::ZtTest {
  protected:
    void SetUp() override {
        vnet_cleanup_memory_cache();
        ASSERT_EQ(vnet_pbxInitialize(), VNET_SUCCESS);
    }
    void TearDown() override {
        vnet_pbxUnInitialize();
        vnet_cleanup_memory_cache();
    }
    // The registry's port for the exchange (the services database has none).
    static void set_registry_port(int port) {
        reg::Key key;
        ASSERT_EQ(reg::Key::create(reg::Root::LocalMachine, "Software\\HALVANE\\HxPBX", key),
                  reg::Status::Ok);
        ASSERT_EQ(key.set(reg::Value::dword("PortNumber", uint32_t(port))), reg::Status::Ok);
    }
    static bool services_know_pbx() { return getservbyname("halvane_pbx", "tcp") != nullptr; }
};

// A registered server accepting one connection on a thread: reads a line and
// answers "accepted:LINE".
struct OneShotServer {
    vnet_pbx_handle handle = nullptr;
    int listen_sock = -1;
    sockaddr_storage *alt = nullptr;
    int alt_count = 0;
    int status = -1;
    int accept_status = -1, hint = -1;
    sockaddr_storage peer{};
    bool accepted_blocking = false;
    std::thread thread;

    explicit OneShotServer(const char *extension) {
        status = vnet_registerPBXServer(&handle, &listen_sock, extension, &alt, &alt_count);
    }
    void serve_one() {
        thread = std::thread([this] {
            int s = -1;
            socklen_t len = sizeof peer;
            accept_status = vnet_pbxAcceptSocket_ex(
                &handle, &s, 0, reinterpret_cast<sockaddr *>(&peer), &len, &hint);
            if (accept_status != VNET_SUCCESS)
                return;
            accepted_blocking = (fcntl(s, F_GETFL) & O_NONBLOCK) == 0;
            std::string line;
            char c;
            while (recv(s, &c, 1, 0) == 1 && c != '\n')
                line += c;
            send_text(s, "accepted:" + line + "\n");
            close(s);
        });
    }
    ~OneShotServer() {
        if (thread.joinable())
            thread.join();
        free(alt);
        vnet_pbxClose(&handle, 0);
    }
};

std::string converse(int s, const std::string &line) {
    send_text(s, line + "\n");
    std::string got;
    char c;
    while (recv(s, &c, 1, 0) == 1 && c != '\n')
        got += c;
    return got;
}

} // namespace

TEST_F(VnetPbx, TheExchangePortFollowsTheServiceRule) {
    if (services_know_pbx())
        GTEST_SKIP() << "this host's services database names halvane_pbx";
    // No services entry and no registry value: 1556.
    EXPECT_EQ(pbxDefaultPort(), 1556);
    vnet_cleanup_memory_cache();
    set_registry_port(4242);
    EXPECT_EQ(pbxDefaultPort(), 4242);
}

TEST_F(VnetPbx, TheDaemonFindsItsPortByTheSameRule) {
    if (services_know_pbx())
        GTEST_SKIP() << "this host's services database names halvane_pbx";
    // A port nobody listens on, from the kernel.
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
    close(probe);
    set_registry_port(ntohs(a.sin_port));
    ExchangeProcess x(-1); // no --port: the registry's, through the environment
    ASSERT_TRUE(x.ok());
    EXPECT_EQ(x.port(), ntohs(a.sin_port));
    // And a server with no port of its own finds the same exchange.
    OneShotServer server("found");
    EXPECT_EQ(server.status, VNET_SUCCESS);
}

TEST_F(VnetPbx, ConnectsRegistersAndAccepts) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    set_registry_port(x.port());

    OneShotServer server("vnetd");
    ASSERT_EQ(server.status, VNET_SUCCESS);
    ASSERT_NE(server.handle, nullptr);
    EXPECT_EQ(vnet_pbxGetSocketHandle(server.handle), server.listen_sock);
    ASSERT_EQ(server.alt_count, 1);
    auto *alt = reinterpret_cast<sockaddr_in *>(server.alt);
    EXPECT_EQ(alt->sin_family, AF_INET);
    EXPECT_EQ(ntohs(alt->sin_port), x.port());
    // A non-blocking handle waits blocking and is put back afterwards.
    ASSERT_EQ(pbxSetSocketHandle(static_cast<PBXHANDLE>(server.handle), server.listen_sock,
                                 PBX_MODE_NONBLOCKING),
              0);
    server.serve_one();

    vnet_pbx_handle h = nullptr;
    ASSERT_EQ(vnet_pbxAllocSocket(&h, -1), VNET_SUCCESS);
    int hint = -1;
    ASSERT_EQ(vnet_pbxConnect_ex(&h, "localhost", "vnetd", VNET_PBX_MODE_BLOCKING, &hint),
              VNET_SUCCESS);
    EXPECT_EQ(hint, 2); // version 1 of the exchange
    int s = vnet_pbxGetSocketHandle(h);
    ASSERT_GE(s, 0);
    int keepalive = 0;
    socklen_t len = sizeof keepalive;
    getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &len);
    EXPECT_EQ(keepalive, 1);
    EXPECT_EQ(converse(s, "hi"), "accepted:hi");
    server.thread.join();

    EXPECT_EQ(server.accept_status, VNET_SUCCESS);
    EXPECT_EQ(server.hint, 2);
    EXPECT_TRUE(server.accepted_blocking);
    auto *peer = reinterpret_cast<sockaddr_in *>(&server.peer);
    EXPECT_EQ(peer->sin_family, AF_INET);
    EXPECT_EQ(ntohl(peer->sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_EQ(pbxGetSocketMode(static_cast<PBXHANDLE>(server.handle)), PBX_MODE_NONBLOCKING);
    EXPECT_NE(fcntl(server.listen_sock, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(vnet_pbxClose(&h, 0), VNET_SUCCESS);
    EXPECT_EQ(h, nullptr);
}

TEST_F(VnetPbx, SwitchesASocketTheCallerConnectedItself) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    set_registry_port(x.port());
    OneShotServer server("bpcd");
    ASSERT_EQ(server.status, VNET_SUCCESS);
    server.serve_one();
    int s = tcp_connect(x.port());
    vnet_pbx_handle h = nullptr;
    ASSERT_EQ(vnet_pbxAllocSocket(&h, s), VNET_SUCCESS);
    // The host is not looked up: the handle's socket is already connected.
    ASSERT_EQ(vnet_pbxConnect(&h, "no-such-host.invalid", "bpcd", VNET_PBX_MODE_BLOCKING),
              VNET_SUCCESS);
    EXPECT_EQ(vnet_pbxGetSocketHandle(h), s);
    int keepalive = 0;
    socklen_t len = sizeof keepalive;
    getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &len);
    EXPECT_EQ(keepalive, 1);
    EXPECT_EQ(converse(s, "mine"), "accepted:mine");
    vnet_pbxClose(&h, 0);
}

TEST_F(VnetPbx, AnExtensionWithoutServerClosesAndDetachesTheSocket) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    set_registry_port(x.port());
    const int before = zt::test::open_descriptor_count();
    zt::test::LogCapture log;
    vnet_pbx_handle h = nullptr;
    ASSERT_EQ(vnet_pbxAllocSocket(&h, -1), VNET_SUCCESS);
    int hint = -1;
    EXPECT_EQ(vnet_pbxConnect_ex(&h, "localhost", "bpcd", VNET_PBX_MODE_BLOCKING, &hint),
              VNET_PBX_API_FAILED);
    EXPECT_EQ(hint, 2); // still reported
    EXPECT_EQ(vnet_pbxGetSocketHandle(h), -1);
    EXPECT_EQ(zt::test::open_descriptor_count(), before) << "the TCP leg was not closed";
    EXPECT_TRUE(log.has("pbxConnectExEx() failed: " + std::to_string(ECONNREFUSED))) << log.all();
    EXPECT_TRUE(log.has("pbxSetAddrEx/pbxConnectExEx return error")) << log.all();
    EXPECT_EQ(vnet_pbxClose(&h, 0), VNET_SUCCESS);
    EXPECT_EQ(zt::test::open_descriptor_count(), before);
}

TEST_F(VnetPbx, WithoutAnExchangeNothingIsLeftOpen) {
    // A port where nothing listens: bound and closed again.
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
    close(probe);
    set_registry_port(ntohs(a.sin_port));
    const int before = zt::test::open_descriptor_count();

    vnet_pbx_handle h = nullptr;
    int sock = 7, count = 3;
    sockaddr_storage *alt = reinterpret_cast<sockaddr_storage *>(&a);
    EXPECT_EQ(vnet_registerPBXServer(&h, &sock, "vnetd", &alt, &count), VNET_PBX_API_FAILED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(alt, nullptr);
    EXPECT_EQ(count, 0);

    ASSERT_EQ(vnet_pbxAllocSocket(&h, -1), VNET_SUCCESS);
    EXPECT_EQ(vnet_pbxConnect(&h, "127.0.0.1", "vnetd", VNET_PBX_MODE_BLOCKING),
              VNET_CONNECT_REFUSED);
    EXPECT_EQ(vnet_pbxGetSocketHandle(h), -1);
    vnet_pbxClose(&h, 0);
    EXPECT_EQ(vnet_get_remote_peer_hint("127.0.0.1", nullptr, &count), VNET_CONNECT_REFUSED);
    EXPECT_EQ(zt::test::open_descriptor_count(), before);
}

TEST_F(VnetPbx, RemotePeerHintAsksVnetdByDefault) {
    ExchangeProcess x;
    ASSERT_TRUE(x.ok());
    set_registry_port(x.port());
    OneShotServer server("vnetd");
    ASSERT_EQ(server.status, VNET_SUCCESS);
    server.serve_one();
    int hint = -1;
    EXPECT_EQ(vnet_get_remote_peer_hint("localhost", nullptr, &hint), VNET_SUCCESS);
    EXPECT_EQ(hint, 2);
    EXPECT_EQ(vnet_get_remote_peer_hint("localhost", "bprd", &hint), VNET_PBX_API_FAILED);
}

TEST_F(VnetPbx, MissingArgumentsAreRefused) {
    vnet_pbx_handle h = nullptr;
    int sock = -1, count = 0, hint = 0;
    sockaddr_storage *alt = nullptr;
    ASSERT_EQ(vnet_pbxAllocSocket(&h, -1), VNET_SUCCESS);
    struct Case {
        const char *what;
        int status;
    } cases[] = {
        {"alloc without handle", vnet_pbxAllocSocket(nullptr, -1)},
        {"connect without handle", vnet_pbxConnect(nullptr, "localhost", "vnetd", 1)},
        {"connect without host", vnet_pbxConnect(&h, nullptr, "vnetd", 1)},
        {"connect without extension", vnet_pbxConnect(&h, "localhost", nullptr, 1)},
        {"register without extension", vnet_registerPBXServer(&h, &sock, nullptr, &alt, &count)},
        {"accept without socket out", vnet_pbxAcceptSocket(&h, nullptr, 0, nullptr, nullptr)},
        {"hint without host", vnet_get_remote_peer_hint(nullptr, "vnetd", &hint)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.status, VNET_BAD_PARAM) << c.what;
    EXPECT_EQ(vnet_pbxClose(&h, 0), VNET_SUCCESS);
    EXPECT_EQ(vnet_pbxClose(&h, 0), VNET_SUCCESS); // an absent handle
    EXPECT_EQ(vnet_pbxGetSocketHandle(nullptr), -1);
    EXPECT_EQ(vnet_pbx_c_supported(), 1);
    EXPECT_EQ(vnet_ping(), 0);
}
