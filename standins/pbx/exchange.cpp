#include "exchange.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "pbx_protocol.h"
#include "platform/unix_sockets.h"

namespace ztpbx {
namespace {

namespace proto = ztpbx::proto;
namespace usock = ztbase::usock;
using Clock = std::chrono::steady_clock;

constexpr auto kAcceptPause = std::chrono::milliseconds(100); // after EMFILE

struct Client {
    int fd = -1;
    Clock::time_point deadline;
    uint8_t buf[proto::kMaxHello];
    size_t have = 0;
    size_t need = proto::kHelloHeader;
};

struct Control {
    int fd = -1;
    Clock::time_point deadline; // for a connection that has not registered
    bool registered = false;
    std::string name;
    uint32_t cap = 0;
    uint32_t sent = 0;  // hand-overs sent
    uint32_t taken = 0; // reported taken by the server
    pid_t pid = 0;
};

class Exchange {
  public:
    explicit Exchange(const ExchangeOptions &o) : opt_(o) {}
    ~Exchange();
    int run(int stop_fd);

  private:
    void log(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    int open_listeners();
    void accept_clients();
    void accept_controls();
    // Each returns false when the connection is finished (the caller closes it).
    bool read_client(Client &c);
    void refuse(Client &c, proto::ReplyStatus status, const char *why);
    void switch_client(Client &c, const proto::Hello &hello);
    bool read_control(Control &c);
    bool handle_register(Control &c, const proto::ControlMessage &m);
    bool reply(Control &c, const std::string &msg);
    void drop_control(Control &c, const char *why);
    Control *find(const std::string &name);

    ExchangeOptions opt_;
    int tcp_ = -1;
    int ctl_ = -1;
    int port_ = 0;
    std::vector<sockaddr_storage> addresses_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<std::unique_ptr<Control>> controls_;
    Clock::time_point accept_paused_until_{};
};

Exchange::~Exchange() {
    for (auto &c : clients_)
        close(c->fd);
    for (auto &c : controls_)
        close(c->fd);
    if (tcp_ >= 0)
        close(tcp_);
    if (ctl_ >= 0)
        close(ctl_);
}

void Exchange::log(const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (opt_.log)
        opt_.log(line);
    else
        fprintf(stderr, "ztpbxd: %s\n", line);
}

int Exchange::open_listeners() {
    sockaddr_storage ss{};
    socklen_t len = 0;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (opt_.listen.empty()) {
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
        v6->sin6_port = htons(uint16_t(opt_.port));
        len = sizeof *v6;
    } else if (inet_pton(AF_INET, opt_.listen.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(uint16_t(opt_.port));
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, opt_.listen.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(uint16_t(opt_.port));
        len = sizeof *v6;
    } else {
        log("not an address to listen on: %s", opt_.listen.c_str());
        return EINVAL;
    }
    tcp_ = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (tcp_ < 0 && opt_.listen.empty() && errno == EAFNOSUPPORT) {
        // No IPv6 on this host: every IPv4 address instead.
        ss = {};
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        v4->sin_port = htons(uint16_t(opt_.port));
        len = sizeof *v4;
        tcp_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    if (tcp_ < 0) {
        log("socket: %s", strerror(errno));
        return errno;
    }
    int one = 1, zero = 0;
    setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ss.ss_family == AF_INET6 && opt_.listen.empty())
        setsockopt(tcp_, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(tcp_, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(tcp_, SOMAXCONN) != 0) {
        int err = errno;
        log("cannot listen on port %d: %s", opt_.port, strerror(err));
        return err;
    }
    sockaddr_storage bound{};
    socklen_t blen = sizeof bound;
    getsockname(tcp_, reinterpret_cast<sockaddr *>(&bound), &blen);
    port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in *>(&bound)->sin_port
                                             : reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port);
    addresses_.assign(1, bound);
    if (int rc = usock::listen_abstract(proto::control_name(port_), SOCK_SEQPACKET, 64, &ctl_)) {
        log("cannot open the control endpoint @%s: %s", proto::control_name(port_).c_str(),
            strerror(rc));
        return rc;
    }
    fcntl(ctl_, F_SETFL, fcntl(ctl_, F_GETFL) | O_NONBLOCK);
    return 0;
}

void Exchange::accept_clients() {
    for (;;) {
        int fd = accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                log("accept: %s; pausing", strerror(errno));
                accept_paused_until_ = Clock::now() + kAcceptPause;
            }
            return;
        }
        if (clients_.size() >= opt_.max_clients) {
            close(fd); // at capacity: the client may try again
            continue;
        }
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->deadline = Clock::now() + std::chrono::milliseconds(opt_.name_timeout_ms);
        clients_.push_back(std::move(c));
    }
}

void Exchange::accept_controls() {
    for (;;) {
        int fd = accept4(ctl_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                accept_paused_until_ = Clock::now() + kAcceptPause;
            return;
        }
        if (controls_.size() >= opt_.max_controls) {
            close(fd);
            continue;
        }
        auto c = std::make_unique<Control>();
        c->fd = fd;
        c->deadline = Clock::now() + std::chrono::milliseconds(opt_.name_timeout_ms);
        usock::peer_credentials(fd, &c->pid, nullptr, nullptr);
        controls_.push_back(std::move(c));
    }
}

void Exchange::refuse(Client &c, proto::ReplyStatus status, const char *why) {
    std::string r = proto::make_reply(status);
    (void)!send(c.fd, r.data(), r.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (opt_.verbose)
        log("client fd %d refused: %s", c.fd, why);
}

Control *Exchange::find(const std::string &name) {
    for (auto &c : controls_)
        if (c->registered && c->fd >= 0 && c->name == name)
            return c.get();
    return nullptr;
}

void Exchange::switch_client(Client &c, const proto::Hello &hello) {
    Control *server = find(hello.extension);
    if (server == nullptr)
        return refuse(c, proto::kNoExtension, "no server under the extension");
    if (server->sent - server->taken >= server->cap)
        return refuse(c, proto::kBusy, "the server has its backlog waiting");
    std::string msg = proto::make_handover(hello.version);
    int rc = usock::send_with_fds(server->fd, msg.data(), msg.size(), &c.fd, 1);
    if (rc == EAGAIN || rc == EWOULDBLOCK || rc == ENOBUFS)
        return refuse(c, proto::kBusy, "the server's queue is full");
    if (rc != 0) {
        drop_control(*server, strerror(rc));
        return refuse(c, proto::kNoExtension, "the server went away");
    }
    ++server->sent;
    if (opt_.verbose)
        log("client fd %d switched to %s", c.fd, hello.extension.c_str());
}

bool Exchange::read_client(Client &c) {
    ssize_t n = recv(c.fd, c.buf + c.have, c.need - c.have, 0);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0)
        return false; // gone before its name was whole
    c.have += size_t(n);
    proto::Hello hello;
    proto::ReplyStatus status;
    switch (proto::parse_hello(c.buf, c.have, &c.need, &hello, &status)) {
    case proto::HelloParse::kNeedMore:
        return true;
    case proto::HelloParse::kRefuse:
        refuse(c, status, "bad hello");
        return false;
    case proto::HelloParse::kComplete:
        switch_client(c, hello);
        return false; // handed over or refused: our copy closes either way
    }
    return false;
}

bool Exchange::reply(Control &c, const std::string &msg) {
    return send(c.fd, msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == ssize_t(msg.size());
}

void Exchange::drop_control(Control &c, const char *why) {
    if (c.registered)
        log("%s unregistered (pid %d): %s", c.name.c_str(), int(c.pid), why);
    close(c.fd);
    c.fd = -1;
    c.registered = false;
}

bool Exchange::handle_register(Control &c, const proto::ControlMessage &m) {
    proto::RegisterStatus status = proto::kRegOk;
    uid_t uid = uid_t(-1);
    usock::peer_credentials(c.fd, nullptr, &uid, nullptr);
    size_t registered = 0;
    for (auto &o : controls_)
        registered += o->registered ? 1 : 0;
    if (c.registered || m.backlog == 0)
        status = proto::kRegBadRequest;
    else if (uid != 0 && uid != geteuid())
        status = proto::kRegDenied;
    else if (find(m.name) != nullptr)
        status = proto::kRegInUse;
    else if (registered >= opt_.max_controls)
        status = proto::kRegFull;
    if (!reply(c, proto::make_registered(status, uint16_t(port_), addresses_)) ||
        status != proto::kRegOk) {
        log("registration of %s (pid %d) refused: status %d", m.name.c_str(), int(c.pid),
            int(status));
        return false;
    }
    c.registered = true;
    c.name = m.name;
    c.cap = std::min<uint32_t>(m.backlog, proto::kMaxBacklog);
    log("%s registered (pid %d, backlog %u)", c.name.c_str(), int(c.pid), c.cap);
    return true;
}

bool Exchange::read_control(Control &c) {
    uint8_t buf[proto::kMaxControl];
    size_t got = 0, nfds = 0;
    int rc = usock::recv_with_fds(c.fd, buf, sizeof buf, &got, nullptr, 0, &nfds);
    if (rc == EAGAIN || rc == EWOULDBLOCK)
        return true;
    if (rc != 0 || got == 0) {
        drop_control(c, rc != 0 ? strerror(rc) : "connection closed");
        return false;
    }
    proto::ControlMessage m;
    if (!proto::parse_control(buf, got, &m)) {
        if (got >= proto::kControlHeader &&
            std::memcmp(buf, proto::kControlMagic, sizeof proto::kControlMagic) == 0 &&
            m.version != proto::kVersion)
            reply(c, proto::make_registered(proto::kRegBadVersion, uint16_t(port_), {}));
        drop_control(c, "not a control message");
        return false;
    }
    switch (m.type) {
    case proto::kRegister:
        if (!handle_register(c, m)) {
            drop_control(c, "registration refused");
            return false;
        }
        return true;
    case proto::kAccepted:
        // A running total can neither pass what was sent nor go back.
        if (!c.registered || m.accepted_total > c.sent || m.accepted_total < c.taken) {
            drop_control(c, "a count that does not add up");
            return false;
        }
        c.taken = m.accepted_total;
        return true;
    case proto::kList: {
        std::vector<std::string> names;
        for (auto &o : controls_)
            if (o->registered && o->fd >= 0)
                names.push_back(o->name);
        std::sort(names.begin(), names.end());
        if (!reply(c, proto::make_names(names))) {
            drop_control(c, "cannot answer");
            return false;
        }
        return true;
    }
    default:
        drop_control(c, "a message only the exchange sends");
        return false;
    }
}

int Exchange::run(int stop_fd) {
    if (int rc = open_listeners())
        return rc;
    if (opt_.on_listening)
        opt_.on_listening(port_);
    log("listening on port %d, control endpoint @%s", port_, proto::control_name(port_).c_str());
    std::vector<pollfd> fds;
    for (;;) {
        auto now = Clock::now();
        // Deadlines: a client without its hello, a control connection that
        // never registered.
        for (auto &c : clients_)
            if (now >= c->deadline) {
                if (opt_.verbose)
                    log("client fd %d: no hello in time", c->fd);
                close(c->fd);
                c->fd = -1;
            }
        for (auto &c : controls_)
            if (!c->registered && c->fd >= 0 && now >= c->deadline)
                drop_control(*c, "nothing in time");
        std::erase_if(clients_, [](auto &c) { return c->fd < 0; });
        std::erase_if(controls_, [](auto &c) { return c->fd < 0; });

        Clock::time_point wake = now + std::chrono::seconds(60);
        for (auto &c : clients_)
            wake = std::min(wake, c->deadline);
        for (auto &c : controls_)
            if (!c->registered)
                wake = std::min(wake, c->deadline);
        bool accepting = now >= accept_paused_until_;
        if (!accepting)
            wake = std::min(wake, accept_paused_until_);

        fds.clear();
        fds.push_back({stop_fd, POLLIN, 0});
        fds.push_back({accepting ? tcp_ : -1, POLLIN, 0});
        fds.push_back({accepting ? ctl_ : -1, POLLIN, 0});
        for (auto &c : clients_)
            fds.push_back({c->fd, POLLIN, 0});
        for (auto &c : controls_)
            fds.push_back({c->fd, POLLIN, 0});
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
        int n = poll(fds.data(), fds.size(), int(std::max<long long>(ms, 0)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            log("poll: %s", strerror(errno));
            return errno;
        }
        if (fds[0].revents != 0) {
            log("stopping");
            return 0;
        }
        // Connections of this round by their place in the array; new ones
        // are appended after.
        // Control messages go first: a server's report of what it took frees
        // places for the clients read in the same round.
        size_t nclients = clients_.size(), ncontrols = controls_.size();
        for (size_t i = 0; i < ncontrols; ++i)
            if (fds[3 + nclients + i].revents != 0 && controls_[i]->fd >= 0)
                read_control(*controls_[i]);
        for (size_t i = 0; i < nclients; ++i)
            if (fds[3 + i].revents != 0 && !read_client(*clients_[i])) {
                close(clients_[i]->fd);
                clients_[i]->fd = -1;
            }
        if (fds[1].revents != 0)
            accept_clients();
        if (fds[2].revents != 0)
            accept_controls();
        std::erase_if(clients_, [](auto &c) { return c->fd < 0; });
        std::erase_if(controls_, [](auto &c) { return c->fd < 0; });
    }
}

} // namespace

int run_exchange(const ExchangeOptions &options, int stop_fd) {
    Exchange x(options);
    return x.run(stop_fd);
}

} // namespace ztpbx
