// A resolver the tests script: names answer with address literals, failures
// with EAI codes, try-again storms and a clock that moves only when the code
// sleeps. Every test gets its own root, its own settings and empty tables.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <map>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netdb.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_file_cache.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_addrinfo.h"

namespace resolve_test {

namespace rs = zt::vnet::resolve;

struct Script {
    std::map<std::string, std::vector<std::string>> hosts; // lower-case name -> literals
    std::map<std::string, int> failures;                   // name -> EAI code
    std::map<std::string, std::string> reverse;            // literal -> name
    std::string canon_suffix;                              // canonical name = name + suffix
    int again = 0;          // the next `again` calls answer EAI_AGAIN
    int calls = 0;          // getaddrinfo calls
    int name_calls = 0;     // getnameinfo calls
    int sleeps = 0;
    std::string last_name;  // name of the last call ("(null)" for none)
    int last_flags = 0;
    time_t now = 1700000000;
    std::vector<std::string> local = {"127.0.0.1", "::1"}; // addresses counted as local
};

inline Script &script() {
    static Script s;
    return s;
}

inline rs::Settings &settings() {
    static rs::Settings s;
    return s;
}

inline rs::Settings current() {
    return settings();
}

inline std::string literal_of(const sockaddr *a) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (a->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a)->sin_addr, buf, sizeof buf);
    else if (a->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr, buf, sizeof buf);
    return buf;
}

inline int fake_getaddrinfo(const char *name, const char *service, const addrinfo *hints,
                            addrinfo **result) {
    Script &s = script();
    ++s.calls;
    s.last_name = name != nullptr ? name : "(null)";
    s.last_flags = hints != nullptr ? hints->ai_flags : 0;
    if (s.again > 0) {
        --s.again;
        return EAI_AGAIN;
    }
    if (name == nullptr) // a service alone: numbers only, as no services file is read
        return service != nullptr && strspn(service, "0123456789") == strlen(service)
                   ? getaddrinfo(nullptr, service, hints, result)
                   : EAI_NONAME;
    std::string key = rs::lower(name);
    if (auto f = s.failures.find(key); f != s.failures.end())
        return f->second;
    std::vector<std::string> literals;
    if (auto h = s.hosts.find(key); h != s.hosts.end())
        literals = h->second;
    else if (rs::ip_literal_family(name) != 0)
        literals = {name};
    else
        return EAI_NONAME;
    addrinfo *head = nullptr, *tail = nullptr;
    for (const std::string &l : literals) {
        addrinfo h{};
        h.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        h.ai_family = hints != nullptr ? hints->ai_family : AF_UNSPEC;
        h.ai_socktype = hints != nullptr ? hints->ai_socktype : SOCK_STREAM;
        addrinfo *one = nullptr;
        if (getaddrinfo(l.c_str(), service, &h, &one) != 0)
            continue;
        for (addrinfo *p = one; p != nullptr; p = p->ai_next)
            p->ai_flags = 0;
        if (head == nullptr)
            head = one;
        else
            tail->ai_next = one;
        for (tail = one; tail->ai_next != nullptr; tail = tail->ai_next) {
        }
    }
    if (head == nullptr)
        return EAI_NONAME;
    if (hints != nullptr && (hints->ai_flags & AI_CANONNAME))
        head->ai_canonname = strdup((key + s.canon_suffix).c_str());
    *result = head;
    return 0;
}

inline int fake_getnameinfo(const sockaddr *addr, socklen_t, char *host, socklen_t host_size,
                            char *service, socklen_t service_size, int) {
    Script &s = script();
    ++s.name_calls;
    if (s.again > 0) {
        --s.again;
        return EAI_AGAIN;
    }
    auto r = s.reverse.find(literal_of(addr));
    if (r == s.reverse.end())
        return EAI_NONAME;
    snprintf(host, host_size, "%s", r->second.c_str());
    if (service != nullptr && service_size > 0)
        snprintf(service, service_size, "0");
    return 0;
}

inline void fake_sleep(unsigned seconds) {
    ++script().sleeps;
    script().now += seconds;
}
inline time_t fake_now() {
    return script().now;
}
inline int64_t fake_now_ms() {
    return int64_t(script().now) * 1000;
}
inline bool fake_is_local(const sockaddr *addr, socklen_t) {
    std::string l = literal_of(addr);
    for (const std::string &a : script().local)
        if (a == l)
            return true;
    return false;
}
inline bool fake_admin() {
    return true;
}

inline const rs::ResolverTable kFake = {fake_getaddrinfo, nullptr,     fake_getnameinfo,
                                        fake_sleep,       fake_now,    fake_now_ms,
                                        fake_is_local,    fake_admin};

// The file of a lookup of name with default hints.
inline std::string entry_path(const char *name) {
    addrinfo h = rs::default_hints(name, nullptr, 0);
    return zt::vnet::filecache::locate(settings().cache_dir, rs::make_key(name, nullptr, h, false), 32)
        .path();
}

// Runs fn in a child with the given hosts file; fn's exit code comes back,
// 77 when the namespace could not be made.
template <class Fn> inline int with_hosts(const std::string &root, const std::string &hosts, Fn fn) {
    zt::test::write_file(root + "/hosts", hosts);
    zt::test::write_file(root + "/nsswitch.conf", "hosts: files\n");
    pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount((root + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
            mount((root + "/nsswitch.conf").c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND,
                  nullptr) != 0)
            _exit(77);
        _exit(fn());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

class ResolveTest : public zt::test::ZtTest {
  protected:
    ResolveTest() {
        script() = Script{};
        settings() = rs::Settings{};
        settings().cache_dir = root() / "host_cache";
        settings().startup_time_path = root() / "startup_time.txt";
        settings().clear_time_path = root() / "clear_cache_time.txt";
        settings().delay = 1;
        mkdir(settings().cache_dir.c_str(), 0755);
        rs::set_settings_source(current);
        rs::set_resolver(&kFake);
        vnet_set_override_values(nullptr);
        vnet_cached_free_memory();
        zt::vnet::filecache::forget_trusted_dirs();
    }
    ~ResolveTest() override {
        vnet_cached_free_memory();
        rs::set_resolver(nullptr);
        rs::set_settings_source(nullptr);
    }

    // A lookup with default hints; the first address as text ("" on failure).
    static std::string first(const char *name, int *code = nullptr, int *status = nullptr) {
        vnet_addrinfo *list = nullptr;
        int rv = 0;
        int st = vnet_cached_getaddrinfo(name, nullptr, nullptr, &list, &rv);
        if (code != nullptr)
            *code = rv;
        if (status != nullptr)
            *status = st;
        std::string out = list != nullptr && list->ai_addr != nullptr ? literal_of(list->ai_addr) : "";
        vnet_freeaddrinfo(list);
        return out;
    }

    static std::vector<std::string> all(const char *name, const addrinfo *hints = nullptr) {
        vnet_addrinfo *list = nullptr;
        int rv = 0;
        vnet_cached_getaddrinfo(name, nullptr, hints, &list, &rv);
        std::vector<std::string> out;
        for (vnet_addrinfo *e = list; e != nullptr; e = e->ai_next)
            if (e->ai_addr != nullptr)
                out.push_back(literal_of(e->ai_addr));
        vnet_freeaddrinfo(list);
        return out;
    }
};

} // namespace resolve_test
