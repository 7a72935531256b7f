// The legacy IPv4 host entries (official name, aliases, addresses) behind
// two fixed-slot tables, one for answers and one for failed names, and the
// short-form comparison built on them.
//
// Both tables live for the process, are created on first use with the
// configured sizes and take a changed cache lifetime at the next call. The
// mutex is held only for table operations, never across a resolver call.
// Lookups go through the resolution caches' resolver seam, so the try-again
// retry and its bounds can be driven by tests.
#include <arpa/inet.h>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_host_internal.h"
#include "vnet/vnet_slot_cache.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

namespace {

namespace rs = zt::vnet::resolve;

struct Entry {
    std::string official;
    std::vector<std::string> aliases;
    std::vector<std::array<unsigned char, 4>> addresses;
};

struct Tables {
    std::mutex mu;
    std::unique_ptr<zt::vnet::SlotCache<Entry>> answers;
    std::unique_ptr<zt::vnet::SlotCache<int>> failed;
};

Tables &tables() {
    static Tables *t = new Tables;
    return *t;
}

// Under the lock: the tables made on first use, the lifetime brought up to date.
void ensure_locked(Tables &t, const rs::Settings &s) {
    const char *tag = "vnet_legacy_cached_gethostbyname";
    if (!t.answers) {
        t.answers = std::make_unique<zt::vnet::SlotCache<Entry>>(size_t(s.table_size), s.lifetime);
        logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] host_cache_size=%d, cache_time=%ld", __FILE_NAME__,
                 __LINE__, s.table_size, s.lifetime);
    }
    if (!t.failed) {
        t.failed = std::make_unique<zt::vnet::SlotCache<int>>(size_t(s.failed_table_size), s.lifetime);
        logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] host_failed_cache_size=%d, cache_time=%ld",
                 __FILE_NAME__, __LINE__, s.failed_table_size, s.lifetime);
    }
    t.answers->set_lifetime(s.lifetime);
    t.failed->set_lifetime(s.lifetime);
}

// vnet_ipv4_gethostbyname: the IPv4 entry of a name; an EAI code.
int ipv4_gethostbyname(const char *name, Entry &out) {
    const rs::ResolverTable &r = rs::resolver();
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = r.getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0)
        return rc;
    out = Entry{};
    for (const addrinfo *a = res; a != nullptr; a = a->ai_next) {
        if (a->ai_canonname != nullptr && out.official.empty())
            out.official = a->ai_canonname;
        if (a->ai_family != AF_INET || a->ai_addr == nullptr)
            continue;
        std::array<unsigned char, 4> bytes;
        memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr, 4);
        bool dup = false;
        for (const auto &b : out.addresses)
            dup = dup || b == bytes;
        if (!dup)
            out.addresses.push_back(bytes);
    }
    r.freeaddrinfo(res);
    if (out.official.empty())
        out.official = name;
    if (strcasecmp(out.official.c_str(), name) != 0)
        out.aliases.emplace_back(name);
    return out.addresses.empty() ? EAI_NONAME : 0;
}

// The reverse entry of one IPv4 address; an EAI code.
int ipv4_gethostbyaddr(const in_addr &address, Entry &out) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    char host[NI_MAXHOST] = "";
    int rc = rs::resolver().getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, host,
                                        sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0)
        return rc;
    out = Entry{};
    out.official = host;
    std::array<unsigned char, 4> bytes;
    memcpy(bytes.data(), &address, 4);
    out.addresses.push_back(bytes);
    return 0;
}

// One block for the caller (vnet_free_vnet_hostent): the record, the alias
// and address pointer arrays, the addresses, then the texts.
vnet_hostent *to_hostent(const Entry &e) {
    size_t size = sizeof(vnet_hostent) + (e.aliases.size() + 1 + e.addresses.size() + 1) * sizeof(char *) +
                  e.addresses.size() * 4 + e.official.size() + 1;
    for (const std::string &a : e.aliases)
        size += a.size() + 1;
    auto *block = static_cast<char *>(calloc(1, size));
    if (block == nullptr)
        return nullptr;
    auto *h = reinterpret_cast<vnet_hostent *>(block);
    char *p = block + sizeof(vnet_hostent);
    h->h_aliases = reinterpret_cast<char **>(p);
    p += (e.aliases.size() + 1) * sizeof(char *);
    h->h_addr_list = reinterpret_cast<char **>(p);
    p += (e.addresses.size() + 1) * sizeof(char *);
    for (size_t i = 0; i < e.addresses.size(); ++i, p += 4) {
        memcpy(p, e.addresses[i].data(), 4);
        h->h_addr_list[i] = p;
    }
    h->h_name = p;
    memcpy(p, e.official.c_str(), e.official.size() + 1);
    p += e.official.size() + 1;
    for (size_t i = 0; i < e.aliases.size(); ++i) {
        memcpy(p, e.aliases[i].c_str(), e.aliases[i].size() + 1);
        h->h_aliases[i] = p;
        p += e.aliases[i].size() + 1;
    }
    h->h_addrtype = AF_INET;
    h->h_length = 4;
    return h;
}

// Runs lookup with the try-again retry: at most the configured attempts,
// the configured sleep between them, none once the time limit has passed.
template <class Lookup>
int with_retry(const char *tag, const rs::Settings &s, const char *what, bool reverse,
               Lookup lookup) {
    const rs::ResolverTable &r = rs::resolver();
    const time_t start = r.now();
    const int attempts = s.attempts > 0 ? s.attempts : 1;
    int rc = 0;
    for (int attempt = 1;; ++attempt) {
        rc = lookup();
        if (rc != EAI_AGAIN)
            break;
        logmsgf(ZTLOG_WARNING, tag, "[%s:%d] TRY_AGAIN current=%d, max=%d", __FILE_NAME__,
                __LINE__, attempt, attempts);
        if (attempt >= attempts)
            break;
        if (r.now() - start > s.again_limit) {
            logmsgf(ZTLOG_WARNING, tag, "too much time");
            break;
        }
        r.sleep_seconds(unsigned(s.delay > 0 ? s.delay : 0));
        logmsgvf(ZTLOG_DEBUG, 5, tag, "retry after sleep");
    }
    const long elapsed = long(r.now() - start);
    if (elapsed >= 1) {
        if (reverse)
            logmsgf(ZTLOG_WARNING, tag, "[%s:%d] Reverse DNS lookup slow for %s, elapsed time=%ld",
                    __FILE_NAME__, __LINE__, what, elapsed);
        else
            logmsgf(ZTLOG_WARNING, tag, "[%s:%d] DNS lookup slow for host %s, elapsed time=%ld",
                    __FILE_NAME__, __LINE__, what, elapsed);
        logmsgf(ZTLOG_INFO, tag, "[%s:%d] Completed, host %s, %ld seconds", __FILE_NAME__,
                __LINE__, what, elapsed);
    }
    return rc;
}

// The cached walk shared by both directions; key names the table entry.
template <class Lookup>
int cached_entry(const char *tag, const std::string &key, const char *what, bool reverse,
                 Lookup lookup, vnet_hostent **out) {
    *out = nullptr;
    const rs::SettingsPtr settings = rs::lookup_settings();
    const rs::Settings &s = *settings;
    Tables &t = tables();
    Entry e;
    bool hit = false;
    {
        std::lock_guard<std::mutex> lock(t.mu);
        ensure_locked(t, s);
        const time_t now = rs::resolver().now();
        if (t.failed->find(key.c_str(), now) != nullptr) {
            logmsgvf(ZTLOG_DEBUG, 5, tag, "host in failed cache %s", what);
            return VNET_CACHE_FAILED;
        }
        if (const Entry *found = t.answers->find(key.c_str(), now)) {
            e = *found;
            hit = true;
        }
    }
    if (!hit) {
        int rc = with_retry(tag, s, what, reverse, [&] { return lookup(e); });
        std::lock_guard<std::mutex> lock(t.mu);
        ensure_locked(t, s);
        const time_t now = rs::resolver().now();
        if (rc != 0) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] vnet_ipv4_gethostbyname failed, hostname=%s, errno=%d",
                    __FILE_NAME__, __LINE__, what, rs::map_resolver_code(rc, tag));
            t.failed->insert(key.c_str(), rc, now);
            return VNET_GETHOST_FAILED;
        }
        t.answers->insert(key.c_str(), e, now);
    }
    *out = to_hostent(e);
    if (*out == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "out of memory");
        return VNET_MALLOC_FAILED;
    }
    return VNET_SUCCESS;
}

bool in_list(char **list, const char *name) {
    for (char **p = list; p != nullptr && *p != nullptr; ++p)
        if (strcasecmp(*p, name) == 0)
            return true;
    return false;
}

int same_hostbyname_alias(const char *name1, const char *name2) {
    namespace host = zt::vnet::host;
    if (name1 == nullptr || name2 == nullptr || name1[0] == '\0' || name2[0] == '\0')
        return 0;
    if (strcasecmp(name1, name2) == 0)
        return 1;
    vnet_addrinfo *l1 = nullptr, *l2 = nullptr;
    int rv = 0;
    if (vnet_cached_getaddrinfo(name1, nullptr, nullptr, &l1, &rv) == VNET_SUCCESS &&
        vnet_cached_getaddrinfo(name2, nullptr, nullptr, &l2, &rv) == VNET_SUCCESS) {
        const bool names = host::names_match(name1, host::address_set(l1), name2, host::address_set(l2));
        vnet_freeaddrinfo(l1);
        vnet_freeaddrinfo(l2);
        if (names)
            return 1;
    } else {
        vnet_freeaddrinfo(l1);
        vnet_freeaddrinfo(l2);
    }
    vnet_hostent *h1 = nullptr, *h2 = nullptr;
    int same = 0;
    if (vnet_legacy_cached_gethostbyname(name1, &h1) == VNET_SUCCESS &&
        vnet_legacy_cached_gethostbyname(name2, &h2) == VNET_SUCCESS) {
        if (strcasecmp(h1->h_name, h2->h_name) == 0 || in_list(h2->h_aliases, name1) ||
            in_list(h1->h_aliases, name2))
            same = 1;
        for (char **a = h1->h_addr_list; same == 0 && *a != nullptr; ++a)
            for (char **b = h2->h_addr_list; same == 0 && *b != nullptr; ++b)
                same = h1->h_length == h2->h_length && memcmp(*a, *b, size_t(h1->h_length)) == 0;
    }
    vnet_free_vnet_hostent(h1);
    vnet_free_vnet_hostent(h2);
    return same;
}

} // namespace

extern "C" ZTBASE_API int vnet_legacy_cached_gethostbyname(const char *name,
                                                           vnet_hostent **entry_out) {
    const char *tag = "vnet_legacy_cached_gethostbyname";
    if (name == nullptr || name[0] == '\0' || entry_out == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "name or entry_out is NULL or empty");
        return VNET_BAD_PARAM;
    }
    return rs::guarded(tag, [&] {
        return cached_entry(tag, name, name, false,
                            [name](Entry &e) { return ipv4_gethostbyname(name, e); }, entry_out);
    });
}

extern "C" ZTBASE_API int vnet_legacy_cached_gethostbyaddr_rnl(const void *address,
                                                               socklen_t length, int type,
                                                               vnet_hostent **entry_out) {
    const char *tag = "vnet_legacy_cached_gethostbyaddr_rnl";
    if (address == nullptr || entry_out == nullptr || length != 4 || type != AF_INET) {
        logmsgf(ZTLOG_ERROR, tag, "address or entry_out is NULL, or not an IPv4 address");
        return VNET_BAD_PARAM;
    }
    in_addr a;
    memcpy(&a, address, 4);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof text);
    // Reverse entries are kept apart from names: a name that is a literal
    // answers its own text, an address its host name.
    const std::string key = std::string("reverse:") + text;
    return rs::guarded(tag, [&] {
        return cached_entry(tag, key, text, true,
                            [a](Entry &e) { return ipv4_gethostbyaddr(a, e); }, entry_out);
    });
}

extern "C" ZTBASE_API int vnet_same_hostbyname_alias(const char *name1, const char *name2) {
    int same = 0;
    rs::guarded("vnet_same_hostbyname_alias", [&] {
        same = same_hostbyname_alias(name1, name2);
        return int(VNET_SUCCESS);
    });
    return same;
}
