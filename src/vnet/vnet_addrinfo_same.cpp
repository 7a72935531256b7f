// Whether two names (or a name and an address) denote the same host.
//
// Every cached comparison ends in vnet_same_host_and_update:
//   1. no name or an empty one: no match;
//   2-3. host validation may know the connection's peer by its host id and
//        decide at once (the default validation never does);
//   4-6. the DNS rules, first that decides wins: equal texts, canonical
//        names, the cluster's addresses (without local matching), shared
//        addresses, both names local (with local matching);
//   7. a localhost name never matches a name that is not one;
//   9. a match is confirmed against what validation knows of the peer;
//   8. the flag records are written back into the names' cache entries.
// The caller's flag update (a role answer) is written into name2's entry
// only when the final answer is a match: recording a role for a host that
// did not match, or whose match was not confirmed, would answer later
// questions wrongly from the cache.
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_host_internal.h"
#include "vnet/vnet_host_validation.h"
#include "vnet/vnet_wide.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"
#include "ztbase/ztconf.h"

namespace zt::vnet::host {
namespace {

namespace rs = zt::vnet::resolve;
namespace hv = zt::vnet::hostval;

thread_local const char *t_rule = "none";
thread_local bool t_from_flags = false;

std::string raw_address(const sockaddr *addr) {
    if (addr == nullptr)
        return {};
    if (addr->sa_family == AF_INET)
        return std::string(reinterpret_cast<const char *>(
                               &reinterpret_cast<const sockaddr_in *>(addr)->sin_addr),
                           4);
    if (addr->sa_family == AF_INET6)
        return std::string(reinterpret_cast<const char *>(
                               &reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr),
                           16);
    return {};
}

void finish_set(AddressSet &s) {
    std::sort(s.addresses.begin(), s.addresses.end());
    s.addresses.erase(std::unique(s.addresses.begin(), s.addresses.end()), s.addresses.end());
}

bool is_canonical_of(const char *name, const AddressSet &s) {
    for (const std::string &c : s.canonical)
        if (strcasecmp(c.c_str(), name) == 0)
            return true;
    return false;
}

} // namespace

AddressSet address_set(const vnet_addrinfo *list) {
    AddressSet s;
    for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next) {
        if (e->ai_canonname != nullptr && e->ai_canonname[0] != '\0')
            s.canonical.emplace_back(e->ai_canonname);
        if (std::string a = raw_address(e->ai_addr); !a.empty())
            s.addresses.push_back(std::move(a));
    }
    finish_set(s);
    return s;
}

AddressSet address_set(const addrinfo *list) {
    AddressSet s;
    for (const addrinfo *e = list; e != nullptr; e = e->ai_next) {
        if (e->ai_canonname != nullptr && e->ai_canonname[0] != '\0')
            s.canonical.emplace_back(e->ai_canonname);
        if (std::string a = raw_address(e->ai_addr); !a.empty())
            s.addresses.push_back(std::move(a));
    }
    finish_set(s);
    return s;
}

bool overlap(const AddressSet &a, const AddressSet &b) {
    for (const std::string &x : a.addresses)
        if (std::binary_search(b.addresses.begin(), b.addresses.end(), x))
            return true;
    return false;
}

bool names_match(const char *name1, const AddressSet &a, const char *name2, const AddressSet &b) {
    if (is_canonical_of(name1, b) || is_canonical_of(name2, a))
        return true;
    for (const std::string &c : a.canonical)
        if (is_canonical_of(c.c_str(), b))
            return true;
    return false;
}

Flags::Flags() {
    for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i)
        v[i] = i <= VNET_CF_INDEX_SERVER ? VNET_CF_KEEP_TRISTATE : VNET_CF_KEEP_NUMBER;
}

bool Flags::empty() const {
    for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i)
        if (v[i] != (i <= VNET_CF_INDEX_SERVER ? VNET_CF_KEEP_TRISTATE : VNET_CF_KEEP_NUMBER))
            return false;
    return true;
}

void record_flags(const char *name, const Flags &flags) {
    if (flags.empty() || name == nullptr || name[0] == '\0')
        return;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo_and_update(name, nullptr, nullptr, flags.v, nullptr, nullptr,
                                                &list, &rv);
    vnet_freeaddrinfo(list);
    if (rc != VNET_SUCCESS)
        logmsgvf(ZTLOG_DEBUG, 5, "vnet_same_host_and_update",
                 "[%s:%d] flags not recorded STAT=%d RV=%d NAME=%s", __FILE_NAME__, __LINE__, rc,
                 rv, name);
}

const char *last_rule() {
    return t_rule;
}
void set_last_rule(const char *rule) {
    t_rule = rule;
}
bool last_from_flags() {
    return t_from_flags;
}
void set_last_from_flags(bool from_flags) {
    t_from_flags = from_flags;
}

std::string cluster_name() {
    ztconf_info_t *info = nullptr;
    int count = 0;
    if (ztconf_get_info_ref_count(&info, &count) != 0 || info == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_same_host_and_update", "ztconf_get_info_ref_count() failed");
        return {};
    }
    std::string name = info->cluster_name != nullptr ? info->cluster_name : "";
    ztconf_decrement_ref_count(count);
    return name;
}

namespace {

const char *kTag = "vnet_same_host_and_update";

// Pauses host validation for the rest of a comparison.
struct ValidationPause {
    ValidationPause() { hv::validation().pause(); }
    ~ValidationPause() { hv::validation().resume(); }
    ValidationPause(const ValidationPause &) = delete;
    ValidationPause &operator=(const ValidationPause &) = delete;
};

enum class Verdict { Undecided, Match, NoMatch };

// The cluster rule: the cluster's addresses equal to both names' addresses
// is a match, equal to just one of them is not, anything else undecided.
template <class Resolve>
Verdict cluster_rule(const AddressSet &a, const AddressSet &b, Resolve resolve) {
    std::string cluster = cluster_name();
    if (cluster.empty())
        return Verdict::Undecided;
    AddressSet c;
    if (!resolve(cluster.c_str(), c) || c.addresses.empty())
        return Verdict::Undecided;
    const bool eq1 = c.addresses == a.addresses, eq2 = c.addresses == b.addresses;
    if (eq1 && eq2) {
        logmsgvf(ZTLOG_DEBUG, 5, kTag, "match determined by cluster check");
        return Verdict::Match;
    }
    if (eq1 || eq2) {
        logmsgvf(ZTLOG_DEBUG, 5, kTag, "no match determined by cluster check");
        return Verdict::NoMatch;
    }
    return Verdict::Undecided;
}

// Whether a name is local: its cached flag 0 when known, else a test of its
// stream addresses, recorded into its flag record.
bool name_is_local(const vnet_addrinfo *list, Flags &record) {
    for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next)
        if (e->cached_flags[VNET_CF_LOCAL_HOST] == 1 || e->cached_flags[VNET_CF_LOCAL_HOST] == 2)
            return e->cached_flags[VNET_CF_LOCAL_HOST] == 2;
    bool local = false;
    for (const vnet_addrinfo *e = list; e != nullptr && !local; e = e->ai_next)
        local = e->ai_socktype == SOCK_STREAM && e->ai_addr != nullptr &&
                rs::resolver().is_local_address(e->ai_addr, e->ai_addrlen);
    record.set(VNET_CF_LOCAL_HOST, local ? 2 : 1);
    return local;
}

// Step 8: name1's known attributes (role flags 0-6, numbers 9-13) into
// name2's record, where the record does not already set them.
void copy_attributes(const vnet_addrinfo *list1, const Flags &f1, Flags &f2) {
    if (list1 == nullptr)
        return;
    const Flags keep;
    for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i) {
        if (i == VNET_CF_CONNECT_PATH || i == VNET_CF_INDEX_SERVER || f2.v[i] != keep.v[i])
            continue;
        int value = f1.v[i] != keep.v[i] ? f1.v[i] : list1->cached_flags[i];
        bool known = i <= VNET_CF_VANTREL_SERVER ? (value == 1 || value == 2)
                     : i == VNET_CF_VERSION      ? value != -2 && value != keep.v[i]
                                                 : value != 0 && value != keep.v[i];
        if (known)
            f2.v[i] = value;
    }
}

// Step 9: a positive answer confirmed against what validation knows.
bool confirmed(const char *name1, const char *name2, const hv::HostDetails &d) {
    const int context = vnet_get_thread_context();
    if (context == VNET_THREAD_CONTEXT_DHCP) {
        logmsgf(ZTLOG_INFO, kTag,
                "[%s:%d] SECURE COMM check will be skipped since this call is made in context of "
                "DHCP:[%s] <=> [%s]",
                __FILE_NAME__, __LINE__, name1, name2);
        return true;
    }
    if (!d.host_id.empty()) {
        int state = 2;
        int rc = hv::validation().try_update_hostid_with_hostname(d.host_id.c_str(), d.alias.c_str(),
                                                                  d.master.c_str(), &state);
        if (rc != 0) {
            logmsgf(ZTLOG_ERROR, kTag,
                    "[%s:%d] tryUpdateHostidWithHostname failed with error:%d (Considering NO match)",
                    __FILE_NAME__, __LINE__, rc);
            return false;
        }
        return state == 1;
    }
    if (!d.secure_peer)
        return true;
    if (context == VNET_THREAD_CONTEXT_VANTREL) {
        logmsgvf(ZTLOG_DEBUG, 6, kTag,
                 "[%s:%d] SECURE COMM check will be skipped since this call is made in context of "
                 "Vantrel:[%s] <=> [%s]",
                 __FILE_NAME__, __LINE__, name1, name2);
        return true;
    }
    logmsgvf(ZTLOG_DEBUG, 6, kTag,
             "[%s:%d] confirming that secure host not pretending as unsecure for name1=%s and "
             "name2=%s ",
             __FILE_NAME__, __LINE__, name1, name2);
    return hv::validation().hostname_allowed_insecure(name1) != 0 &&
           hv::validation().hostname_allowed_insecure(name2) != 0;
}

bool cached_set(const char *name, AddressSet &out) {
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    if (vnet_cached_getaddrinfo(name, nullptr, nullptr, &list, &rv) != VNET_SUCCESS)
        return false;
    out = address_set(list);
    vnet_freeaddrinfo(list);
    return true;
}

bool missing(const char *name, const char *which) {
    if (name == nullptr) {
        logmsgvf(ZTLOG_DEBUG, 5, kTag, "%s is NULL", which);
        return true;
    }
    if (name[0] == '\0') {
        logmsgvf(ZTLOG_DEBUG, 5, kTag, "%s is empty", which);
        return true;
    }
    return false;
}

// Steps 5-7 on resolved names: the DNS rules and the localhost guard.
bool dns_rules(const char *name1, const char *name2, bool local_ok, rs::List &l1, rs::List &l2,
               Flags &f1, Flags &f2, bool &resolved) {
    resolved = false;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(name1, nullptr, nullptr, &list, &rv);
    l1.reset(list);
    if (rc != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, kTag, "[%s:%d] vnet_cached_getaddrinfo() failed STAT=%d RV=%d NAME1=%s",
                __FILE_NAME__, __LINE__, rc, rv, name1);
        set_last_rule("lookup failed");
        return false;
    }
    list = nullptr;
    rc = vnet_cached_getaddrinfo(name2, nullptr, nullptr, &list, &rv);
    l2.reset(list);
    if (rc != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, kTag, "[%s:%d] vnet_cached_getaddrinfo() failed STAT=%d RV=%d NAME2=%s",
                __FILE_NAME__, __LINE__, rc, rv, name2);
        set_last_rule("lookup failed");
        return false;
    }
    resolved = true;
    const AddressSet a = address_set(l1.get()), b = address_set(l2.get());
    Verdict v = Verdict::Undecided;
    if (names_match(name1, a, name2, b)) {
        v = Verdict::Match;
        set_last_rule("names");
    }
    if (v == Verdict::Undecided && !local_ok) {
        v = cluster_rule(a, b, cached_set);
        if (v != Verdict::Undecided)
            set_last_rule("cluster");
    }
    if (v == Verdict::Undecided && overlap(a, b)) {
        v = Verdict::Match;
        set_last_rule("addresses");
    }
    if (v == Verdict::Undecided && local_ok && name_is_local(l1.get(), f1) &&
        name_is_local(l2.get(), f2)) {
        logmsgvf(ZTLOG_DEBUG, 5, kTag, "[%s:%d] matched as locals NAME1=%s NAME2=%s",
                 __FILE_NAME__, __LINE__, name1, name2);
        v = Verdict::Match;
        set_last_rule("locals");
    }
    if (v == Verdict::Undecided)
        set_last_rule("no match");
    // Step 7: a localhost name only ever matches another localhost name.
    const bool lh1 = vnet_localhost_check(name1) != 0, lh2 = vnet_localhost_check(name2) != 0;
    if (lh1 && !lh2) {
        logmsgvf(ZTLOG_DEBUG, 5, kTag, "[%s:%d] localhost MATCH_1=%s MISMATCH_2=%s", __FILE_NAME__,
                 __LINE__, name1, name2);
        set_last_rule("localhost");
        return false;
    }
    if (lh2 && !lh1) {
        logmsgvf(ZTLOG_DEBUG, 5, kTag, "[%s:%d] localhost MATCH_2=%s MISMATCH_1=%s", __FILE_NAME__,
                 __LINE__, name2, name1);
        set_last_rule("localhost");
        return false;
    }
    return v == Verdict::Match;
}

int same_host_and_update(const char *name1, const char *name2, bool local_ok, const int *update) {
    set_last_rule("none");
    if (missing(name1, "name1") || missing(name2, "name2")) {
        set_last_rule("no name");
        return 0;
    }
    logmsgvf(ZTLOG_DEBUG, 5, kTag, "[%s:%d] Comparing name1:[%s] name2:[%s]", __FILE_NAME__,
             __LINE__, name1, name2);
    hv::HostDetails d;
    if (hv::validation().get_host_or_hostdetails(name1, name2, &d) != 0) {
        logmsgvf(ZTLOG_DEBUG, 1, kTag,
                 "[%s:%d] for name1=%s and name2=%s, failed to fetch details from tss, hence "
                 "returning NO_MATCH",
                 __FILE_NAME__, __LINE__, name1, name2);
        set_last_rule("host details failed");
        return 0;
    }
    ValidationPause pause;
    if (!d.host_id.empty()) {
        logmsgf(ZTLOG_INFO, kTag, "[%s:%d] Secure INBOUND connection, potential alias:%s",
                __FILE_NAME__, __LINE__, d.alias.c_str());
        int m = hv::validation().hostid_matches_hostname(d.host_id.c_str(), d.alias.c_str(),
                                                         d.master.c_str());
        if (m == -1) {
            set_last_rule("host id");
            return 0;
        }
        if (m != 0) {
            logmsgf(ZTLOG_INFO, kTag, "[%s:%d] for master:%s, hostid:%s matched with existing alias:%s",
                    __FILE_NAME__, __LINE__, d.master.c_str(), d.host_id.c_str(), d.alias.c_str());
            set_last_rule("host id");
            return 1;
        }
    }
    logmsgvf(ZTLOG_DEBUG, 10, kTag, "performing existing legacy DNS check");
    Flags f1, f2;
    rs::List l1, l2;
    bool match = false;
    const bool same_text = strcasecmp(name1, name2) == 0;
    if (same_text) {
        match = true;
        set_last_rule("text");
    } else {
        bool resolved = false;
        match = dns_rules(name1, name2, local_ok, l1, l2, f1, f2, resolved);
        if (!resolved)
            return 0;
    }
    if (match && !confirmed(name1, name2, d)) {
        match = false;
        set_last_rule("confirmation");
    }
    if (match) {
        if (!same_text)
            copy_attributes(l1.get(), f1, f2);
        if (update != nullptr) {
            const Flags keep;
            for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i)
                if (update[i] != keep.v[i])
                    f2.v[i] = update[i];
        }
    }
    record_flags(name1, f1);
    record_flags(name2, f2);
    return match ? 1 : 0;
}

// Uncached: each name through retry_getaddrinfo.
bool retry_set(const char *name, AddressSet &out) {
    addrinfo *res = nullptr;
    if (retry_getaddrinfo(name, nullptr, nullptr, &res) != 0)
        return false;
    out = address_set(res);
    freeaddrinfo(res);
    return true;
}

int retry_same(const char *name1, const char *name2, bool skip_cluster) {
    set_last_rule("none");
    if (name1 == nullptr || name2 == nullptr || name1[0] == '\0' || name2[0] == '\0') {
        set_last_rule("no name");
        return 0;
    }
    if (strcasecmp(name1, name2) == 0) {
        set_last_rule("text");
        return 1;
    }
    AddressSet a, b;
    if (!retry_set(name1, a) || !retry_set(name2, b)) {
        set_last_rule("lookup failed");
        return 0;
    }
    if (names_match(name1, a, name2, b)) {
        set_last_rule("names");
        return 1;
    }
    if (!skip_cluster) {
        Verdict v = cluster_rule(a, b, retry_set);
        if (v != Verdict::Undecided) {
            set_last_rule("cluster");
            return v == Verdict::Match ? 1 : 0;
        }
    }
    if (overlap(a, b)) {
        set_last_rule("addresses");
        return 1;
    }
    set_last_rule("no match");
    return 0;
}

int answer(const char *tag, const auto &fn) {
    int result = 0;
    rs::guarded(tag, [&] {
        result = fn();
        return int(VNET_SUCCESS);
    });
    return result;
}

std::string text_of(int family, const void *address) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (address == nullptr || (family != AF_INET && family != AF_INET6) ||
        inet_ntop(family, address, buf, sizeof buf) == nullptr)
        return {};
    return buf;
}

} // namespace
} // namespace zt::vnet::host

namespace host = zt::vnet::host;

extern "C" ZTBASE_API int vnet_same_host_and_update(const char *name1, const char *name2,
                                                    int local_ok, const int *flag_update) {
    return host::answer(host::kTag, [&] {
        return host::same_host_and_update(name1, name2, local_ok != 0, flag_update);
    });
}

extern "C" ZTBASE_API int vnet_same_host(const char *name1, const char *name2, int local_ok) {
    return vnet_same_host_and_update(name1, name2, local_ok, nullptr);
}

extern "C" ZTBASE_API int vnet_same_hostbyname(const char *name1, const char *name2) {
    return vnet_same_host_and_update(name1, name2, 1, nullptr);
}

extern "C" ZTBASE_API int vnet_same_hostbyname_local(const char *name1, const char *name2,
                                                     int local_ok) {
    return vnet_same_host_and_update(name1, name2, local_ok, nullptr);
}

extern "C" ZTBASE_API int vnet_same_hostbynameaddr(const char *name, struct in_addr ipv4) {
    std::string text = host::text_of(AF_INET, &ipv4);
    return vnet_same_host_and_update(name, text.c_str(), 1, nullptr);
}

extern "C" ZTBASE_API int vnet_same_hostbyaddr_local(struct in_addr ipv4_1, struct in_addr ipv4_2,
                                                     int local_ok) {
    std::string t1 = host::text_of(AF_INET, &ipv4_1), t2 = host::text_of(AF_INET, &ipv4_2);
    return vnet_same_host_and_update(t1.c_str(), t2.c_str(), local_ok, nullptr);
}

extern "C" ZTBASE_API int vnet_same_host_iaddr(const char *name, int family, const void *address,
                                               int local_ok) {
    std::string text = host::text_of(family, address);
    if (text.empty()) {
        logmsgf(ZTLOG_ERROR, "vnet_same_host_iaddr", "bad family %d or NULL address", family);
        return 0;
    }
    return vnet_same_host_and_update(name, text.c_str(), local_ok, nullptr);
}

extern "C" ZTBASE_API int vnet_same_host_addr(const char *name, const struct sockaddr *address,
                                              int local_ok) {
    char text[INET6_ADDRSTRLEN] = "";
    if (vnet_sockAddrNtoP(address, text, sizeof text, nullptr) == 0) {
        logmsgf(ZTLOG_ERROR, "vnet_same_host_addr", "vnet_sockAddrNtoP() failed");
        return 0;
    }
    const char *previous = vnet_set_peername_for_authorization(text);
    int result = vnet_same_host_and_update(name, text, local_ok, nullptr);
    vnet_set_peername_for_authorization(previous);
    return result;
}

extern "C" ZTBASE_API int vnet_same_host_sock(const char *name, int sock, int local_ok) {
    vnet_sockaddr_t peer{};
    socklen_t len = sizeof peer;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &len) != 0) {
        logmsgf(ZTLOG_ERROR, "vnet_same_host_sock", "getpeername() failed ERRNO=%d SOCK=%d", errno,
                sock);
        return 0;
    }
    return vnet_same_host_addr(name, reinterpret_cast<const sockaddr *>(&peer), local_ok);
}

extern "C" ZTBASE_API int hosts_equal(const char *name1, const char *name2) {
    return vnet_same_host(name1, name2, 1);
}

extern "C" ZTBASE_API int retry_same_host(const char *name1, const char *name2, int skip_cluster) {
    return host::answer("retry_same_host",
                        [&] { return host::retry_same(name1, name2, skip_cluster != 0); });
}

extern "C" ZTBASE_API int dns_hosts_equal(const char *name1, const char *name2, char *buffer,
                                          size_t size) {
    if (buffer != nullptr && size > 0)
        buffer[0] = '\0';
    return retry_same_host(name1, name2, 0);
}

extern "C" ZTBASE_API int vnet_same_hostW(const char16_t *name1, const char16_t *name2,
                                          int local_ok) {
    const char *tag = "vnet_same_hostW";
    zt::vnet::wide::Narrow n1(name1, "name1", tag), n2(name2, "name2", tag);
    if (!n1.ok || !n2.ok)
        return 0;
    return vnet_same_host(n1.text, n2.text, local_ok);
}
