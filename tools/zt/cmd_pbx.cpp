// zt pbx: the port exchange. run: the exchange in the foreground; register:
// a server under an extension that prints each switched connection; connect:
// one connection through a host's exchange; list: the extensions the
// exchange of this host has. And the demo's section on it.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <netdb.h>
#include <string>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <ztbase/vnet.h>
#include <ztbase/vnet_addrinfo.h>
#include <ztbase/vnet_pbx.h>

#include "commands.h"
#include "exchange.h"
#include "pbx_protocol.h"
#include "platform/registry/registry.h"
#include "platform/unix_sockets.h"

namespace zt {
namespace {

namespace proto = ztpbx::proto;

constexpr const char kUsage[] =
    "pbx run [--port N] [--listen ADDRESS] [--verbose] | pbx register EXTENSION [--count N] | "
    "pbx connect HOST EXTENSION [LINE] | pbx list [--port N]";

int exchange_port() {
    int port = 0;
    if (vnet_cached_get_service_port("halvane_pbx", &port) != VNET_SUCCESS || port <= 0)
        port = 1556;
    return port;
}

bool port_arg(const char *text, int *port) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 65535)
        return false;
    *port = int(v);
    return true;
}

std::string address_text(const sockaddr *sa, socklen_t len) {
    char host[NI_MAXHOST] = "?", serv[16] = "?";
    getnameinfo(sa, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV);
    char shown[NI_MAXHOST + 2];
    return std::string(vnet_format_IP(host, shown, sizeof shown)) + ":" + serv;
}

// The extensions registered with the exchange on port.
int list_extensions(int port, std::vector<std::string> &names) {
    int s = -1;
    if (int rc = ztbase::usock::connect_abstract(proto::control_name(port), SOCK_SEQPACKET, &s))
        return rc;
    std::string req = proto::make_list();
    timeval tv{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    uint8_t buf[proto::kMaxControl];
    ssize_t n =
        send(s, req.data(), req.size(), MSG_NOSIGNAL) < 0 ? -1 : recv(s, buf, sizeof buf, 0);
    int err = n < 0 ? errno : 0;
    close(s);
    proto::ControlMessage m;
    if (n <= 0 || !proto::parse_control(buf, size_t(n), &m) || m.type != proto::kNames)
        return err != 0 ? err : EPROTO;
    names = m.names;
    return 0;
}

int pbx_run(int argc, char **argv) {
    ztpbx::ExchangeOptions opt;
    opt.port = -1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--port") == 0 && i + 1 < argc && port_arg(argv[i + 1], &opt.port))
            ++i;
        else if (strcmp(argv[i], "--listen") == 0 && i + 1 < argc)
            opt.listen = argv[++i];
        else if (strcmp(argv[i], "--verbose") == 0)
            opt.verbose = true;
        else
            return bad_args("pbx", "run", (std::string("bad argument: ") + argv[i]).c_str());
    }
    if (opt.port < 0)
        opt.port = exchange_port();
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int sfd = signalfd(-1, &stop, SFD_CLOEXEC);
    opt.on_listening = [](int port) {
        printf("listening on port %d\n", port);
        fflush(stdout);
    };
    opt.log = [](const std::string &line) { fprintf(stderr, "zt pbx run: %s\n", line.c_str()); };
    int rc = ztpbx::run_exchange(opt, sfd);
    close(sfd);
    return rc == 0 ? 0 : 1;
}

int pbx_register(int argc, char **argv) {
    const char *extension = nullptr;
    long count = -1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--count") == 0 && i + 1 < argc)
            count = strtol(argv[++i], nullptr, 10);
        else if (extension == nullptr && argv[i][0] != '-')
            extension = argv[i];
        else
            return bad_args("pbx", "register", (std::string("bad argument: ") + argv[i]).c_str());
    }
    if (extension == nullptr || count == 0 || count < -1)
        return bad_args("pbx", "register", "an extension (and a positive --count) is needed");
    signal(SIGPIPE, SIG_IGN);
    vnet_pbxInitialize();
    vnet_pbx_handle h = nullptr;
    int sock = -1, alt_count = 0;
    sockaddr_storage *alt = nullptr;
    int status = vnet_registerPBXServer(&h, &sock, extension, &alt, &alt_count);
    if (status != VNET_SUCCESS) {
        fprintf(stderr, "zt pbx register: cannot register %s with the exchange on port %d: %s\n",
                extension, exchange_port(), vnet_status_to_text(status));
        return 1;
    }
    printf("registered %s with the exchange on port %d", extension, exchange_port());
    for (int i = 0; i < alt_count; ++i)
        printf("%s%s", i == 0 ? " (listening at " : ", ",
               address_text(reinterpret_cast<sockaddr *>(&alt[i]), sizeof alt[i]).c_str());
    printf("%s\n", alt_count > 0 ? ")" : "");
    fflush(stdout);
    free(alt);
    int rc = 0;
    for (long n = 0; count < 0 || n < count; ++n) {
        int s = -1, hint = 0;
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        status =
            vnet_pbxAcceptSocket_ex(&h, &s, 0, reinterpret_cast<sockaddr *>(&peer), &len, &hint);
        if (status != VNET_SUCCESS) {
            fprintf(stderr, "zt pbx register: the exchange went away: %s\n",
                    vnet_status_to_text(status));
            rc = 1;
            break;
        }
        printf("connection from %s (peer hint %d)\n",
               address_text(reinterpret_cast<sockaddr *>(&peer), len).c_str(), hint);
        std::string line = read_line(s);
        if (!line.empty()) {
            printf("  said: %s\n", line.c_str());
            send_line(s, std::string(extension) + " heard: " + line);
        }
        fflush(stdout);
        close(s);
    }
    vnet_pbxClose(&h, 0);
    vnet_pbxUnInitialize();
    return rc;
}

int pbx_connect(int argc, char **argv) {
    if (argc < 3 || argc > 4)
        return bad_args("pbx", "connect", "a host and an extension are needed");
    signal(SIGPIPE, SIG_IGN);
    vnet_pbxInitialize();
    vnet_pbx_handle h = nullptr;
    int hint = 0;
    int status = vnet_pbxAllocSocket(&h, -1);
    if (status == VNET_SUCCESS)
        status = vnet_pbxConnect_ex(&h, argv[1], argv[2], VNET_PBX_MODE_BLOCKING, &hint);
    int rc = 0;
    if (status != VNET_SUCCESS) {
        fprintf(stderr, "zt pbx connect: %s through the exchange of %s (port %d): %s\n", argv[2],
                argv[1], exchange_port(), vnet_status_to_text(status));
        rc = 1;
    } else {
        printf("switched to %s at %s (peer hint %d)\n", argv[2], argv[1], hint);
        if (argc == 4) {
            int s = vnet_pbxGetSocketHandle(h);
            if (!send_line(s, argv[3])) {
                fprintf(stderr, "zt pbx connect: cannot send: %s\n", strerror(errno));
                rc = 1;
            } else {
                printf("answer: %s\n", read_line(s).c_str());
            }
        }
    }
    vnet_pbxClose(&h, 0);
    vnet_pbxUnInitialize();
    return rc;
}

int pbx_list(int argc, char **argv) {
    int port = -1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--port") == 0 && i + 1 < argc && port_arg(argv[i + 1], &port) &&
            port > 0)
            ++i;
        else
            return bad_args("pbx", "list", (std::string("bad argument: ") + argv[i]).c_str());
    }
    if (port < 0)
        port = exchange_port();
    std::vector<std::string> names;
    if (int rc = list_extensions(port, names)) {
        fprintf(stderr, "zt pbx list: no answer from an exchange on port %d: %s\n", port,
                strerror(rc));
        return 1;
    }
    for (const std::string &n : names)
        printf("%s\n", n.c_str());
    return 0;
}

} // namespace

std::string read_line(int s) {
    timeval tv{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string line;
    char c;
    while (line.size() < 4096 && recv(s, &c, 1, 0) == 1 && c != '\n')
        line += c;
    return line;
}

bool send_line(int s, const std::string &line) {
    std::string data = line + "\n";
    return send(s, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
}


int cmd_pbx(int argc, char **argv) {
    if (argc < 1)
        return usage(kUsage);
    if (strcmp(argv[0], "run") == 0)
        return pbx_run(argc, argv);
    if (strcmp(argv[0], "register") == 0)
        return pbx_register(argc, argv);
    if (strcmp(argv[0], "connect") == 0)
        return pbx_connect(argc, argv);
    if (strcmp(argv[0], "list") == 0)
        return pbx_list(argc, argv);
    return bad_args("pbx", nullptr, (std::string("unknown subcommand: ") + argv[0]).c_str());
}

void demo_pbx(const std::string &) {
    printf("\n== %s ==\n", "The port exchange");
    DemoExchange exchange;
    const int port = exchange.port();
    if (port <= 0) {
        printf("  the exchange did not start\n");
        return;
    }
    // The exchange's port comes from the registry of the demo's root, as it
    // would on a host where the services database does not name it.
    namespace reg = ztbase::registry;
    reg::Key key;
    reg::Key::create(reg::Root::LocalMachine, "Software\\HALVANE\\HxPBX", key);
    key.set(reg::Value::dword("PortNumber", uint32_t(port)));
    vnet_cleanup_memory_cache();
    printf("  an exchange listens on 127.0.0.1:%d (PortNumber under Software\\HALVANE\\HxPBX)\n",
           port);

    vnet_pbxInitialize();
    vnet_pbx_handle server = nullptr;
    int listen_sock = -1, alt_count = 0;
    sockaddr_storage *alt = nullptr;
    int status = vnet_registerPBXServer(&server, &listen_sock, "demo-echo", &alt, &alt_count);
    printf("  vnet_registerPBXServer(\"demo-echo\"): %s, %d listening address%s\n",
           vnet_status_to_text(status), alt_count, alt_count == 1 ? "" : "es");
    free(alt);
    std::thread serving([&] {
        int s = -1, hint = 0;
        if (status != VNET_SUCCESS ||
            vnet_pbxAcceptSocket_ex(&server, &s, 0, nullptr, nullptr, &hint) != VNET_SUCCESS)
            return;
        std::string line = read_line(s);
        send_line(s, "demo-echo heard: " + line);
        close(s);
    });
    vnet_pbx_handle client = nullptr;
    int hint = 0;
    vnet_pbxAllocSocket(&client, -1);
    int rc = vnet_pbxConnect_ex(&client, "localhost", "demo-echo", VNET_PBX_MODE_BLOCKING, &hint);
    printf("  vnet_pbxConnect(localhost, \"demo-echo\"): %s, proxy hint %d\n",
           vnet_status_to_text(rc), hint);
    if (rc == VNET_SUCCESS) {
        int s = vnet_pbxGetSocketHandle(client);
        send_line(s, "hello through the exchange");
        printf("  sent \"hello through the exchange\", the server answered \"%s\"\n",
               read_line(s).c_str());
    }
    vnet_pbxClose(&client, 0);
    serving.join();
    std::vector<std::string> names;
    list_extensions(port, names);
    printf("  registered extensions:");
    for (const std::string &n : names)
        printf(" %s", n.c_str());
    printf("\n");

    vnet_pbxAllocSocket(&client, -1);
    rc = vnet_pbxConnect(&client, "localhost", "nobody", VNET_PBX_MODE_BLOCKING);
    printf("  vnet_pbxConnect(localhost, \"nobody\"): %s, socket under the handle: %d\n",
           vnet_status_to_text(rc), vnet_pbxGetSocketHandle(client));
    vnet_pbxClose(&client, 0);
    vnet_pbxClose(&server, 0);
    vnet_pbxUnInitialize();
}

DemoExchange::DemoExchange() {
    if (pipe2(stop_, O_CLOEXEC) != 0)
        return;
    // Told once: the port it listens on, or -1 when it ends without one.
    auto bound = std::make_shared<std::promise<int>>();
    auto told = std::make_shared<std::atomic<bool>>(false);
    std::future<int> port = bound->get_future();
    thread_ = std::thread([this, bound, told] {
        ztpbx::ExchangeOptions opt;
        opt.port = 0;
        opt.listen = "127.0.0.1";
        opt.on_listening = [bound, told](int p) {
            if (!told->exchange(true))
                bound->set_value(p);
        };
        opt.log = [](const std::string &) {};
        ztpbx::run_exchange(opt, stop_[0]);
        if (!told->exchange(true))
            bound->set_value(-1);
    });
    port_ = port.get();
}

DemoExchange::~DemoExchange() {
    if (thread_.joinable()) {
        (void)!write(stop_[1], "x", 1);
        thread_.join();
    }
    for (int fd : stop_)
        if (fd >= 0)
            close(fd);
}

} // namespace zt
