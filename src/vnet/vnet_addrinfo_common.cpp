// The pieces the resolution caches share: the resolver seam, the mapping of
// resolver codes, the settings read at each lookup, keys, list copies and
// the address-literal predicates.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <pthread.h>
#include <unistd.h>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_host_internal.h"
#include "ztbase/bpconf.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/ztconf.h"

namespace zt::vnet::resolve {
namespace {

time_t system_now() {
    return time(nullptr);
}

int64_t system_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void system_sleep(unsigned seconds) {
    sleep(seconds);
}

bool system_is_admin() {
    return geteuid() == 0;
}

// Loopback, or an address of this machine (is_sockaddr_local).
bool system_is_local_address(const sockaddr *addr, socklen_t len) {
    return zt::vnet::host::sockaddr_local(addr, len);
}

const ResolverTable kSystem = {::getaddrinfo, ::freeaddrinfo,  ::getnameinfo,
                               system_sleep,  system_now,      system_now_ms,
                               system_is_local_address,        system_is_admin};

std::atomic<const ResolverTable *> g_installed{nullptr};
// The merged table: installed entries over the built-in ones. Rebuilt on
// set_resolver; tests install before they start threads.
ResolverTable g_merged = kSystem;

template <class T> T pick(T installed, T builtin) {
    return installed != nullptr ? installed : builtin;
}

std::atomic<SettingsFn> g_settings{nullptr};

void add_name(std::vector<std::string> &names, const char *name) {
    if (name != nullptr && name[0] != '\0')
        names.emplace_back(name);
}

} // namespace

const ResolverTable &resolver() {
    return g_merged;
}

const ResolverTable *set_resolver(const ResolverTable *table) {
    const ResolverTable *previous = g_installed.exchange(table);
    ResolverTable t = kSystem;
    if (table != nullptr) {
        t.getaddrinfo = pick(table->getaddrinfo, kSystem.getaddrinfo);
        t.freeaddrinfo = pick(table->freeaddrinfo, kSystem.freeaddrinfo);
        t.getnameinfo = pick(table->getnameinfo, kSystem.getnameinfo);
        t.sleep_seconds = pick(table->sleep_seconds, kSystem.sleep_seconds);
        t.now = pick(table->now, kSystem.now);
        t.now_ms = pick(table->now_ms, kSystem.now_ms);
        t.is_local_address = pick(table->is_local_address, kSystem.is_local_address);
        t.is_admin = pick(table->is_admin, kSystem.is_admin);
    }
    g_merged = t;
    return previous;
}

int map_resolver_code(int eai, const char *tag) {
    switch (eai) {
    case 0:
        return VNET_EAI_OK;
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return VNET_EAI_HOST_NOT_FOUND;
    case EAI_AGAIN:
        return VNET_EAI_TRY_AGAIN;
    case EAI_FAIL:
        return VNET_EAI_NO_RECOVERY;
    case EAI_BADFLAGS:
    case EAI_FAMILY:
    case EAI_SOCKTYPE:
    case EAI_SERVICE:
    case EAI_OVERFLOW:
        return VNET_EAI_INVALID;
    case EAI_MEMORY:
        return VNET_EAI_NO_MEMORY;
    case EAI_SYSTEM:
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] resolver system error ERRNO=%d", __FILE_NAME__,
                __LINE__, errno);
        return VNET_EAI_NO_RECOVERY;
    default:
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] unknown resolver code RV=%d", __FILE_NAME__, __LINE__,
                eai);
        return VNET_EAI_NO_RECOVERY;
    }
}

Settings configured_settings() {
    Settings s;
    ztconf_info_t *info = nullptr;
    int count = 0;
    if (ztconf_get_info_ref_count(&info, &count) != 0 || info == nullptr) {
        logmsgf(ZTLOG_ERROR, "get_config_values", "ztconf_get_info_ref_count() failed");
    } else {
        if (info->vnet_options == nullptr) {
            logmsgf(ZTLOG_ERROR, "get_config_values", "no ni_vnet_options");
        } else {
            const int32_t *v = info->vnet_options->value;
            if (v[1] >= 0 && v[1] <= 86400)
                s.lifetime = v[1];
            if (v[2] > 0)
                s.table_size = v[2];
            if (v[3] > 0)
                s.failed_table_size = v[3];
            s.attempts = v[4] < 0 ? 0 : v[4];
            s.delay = v[5] < 0 ? 0 : v[5];
            s.again_limit = v[6];
            s.crc_bits = (v[9] >= 1 && v[9] <= 31) ? v[9] : 32;
            s.file_cache_disabled = v[10] == 1;
        }
        if (info->host_cache_ttl > 0)
            s.lifetime = info->host_cache_ttl;
        if (info->host_cache_path != nullptr && info->host_cache_path[0] != '\0')
            s.cache_dir = info->host_cache_path;
        if (info->reverse_name_lookup >= kReverseAllowed &&
            info->reverse_name_lookup <= kReverseProhibited)
            s.reverse = info->reverse_name_lookup;
        if (info->server != nullptr)
            add_name(s.never_cache, info->server->name);
        add_name(s.never_cache, info->required_interface);
        add_name(s.never_cache, info->cluster_name);
        add_name(s.never_cache, info->emmserver);
        if (info->announce_dhcp_interval == 0)
            add_name(s.never_cache, info->client_name);
        ztconf_decrement_ref_count(count);
    }
    ZtConfig *record = nullptr;
    if (bpconf_no_ref(&record, ZTCONF_HOST_KEY) == 0 && record != nullptr) {
        char *value = nullptr;
        if (bpconfGetKeyValPair(record, "ALLOW_LINK_LOCAL_APIPA_ADDRS", &value) == 0 &&
            value != nullptr) {
            s.link_local_allowed = strcasecmp(value, "1") == 0 || strcasecmp(value, "yes") == 0 ||
                                   strcasecmp(value, "true") == 0;
        }
        free(value);
    }
    if (s.cache_dir.empty())
        s.cache_dir = getFennicString("VN_PATH_HOST_CACHE");
    s.startup_time_path = getFennicString("VN_PATH_STARTUP_TIME");
    s.clear_time_path = getFennicString("VN_PATH_CLEAR_CACHE_TIME");
    return s;
}

Settings current_settings() {
    return *lookup_settings();
}

namespace {

// What the configured values were read from; equal keys give equal values.
struct SettingsKey {
    const ztconf_info_t *info = nullptr;
    int64_t update_time = 0;
    const ZtConfig *record = nullptr;
    const char *paths[3] = {};
    bool operator==(const SettingsKey &o) const {
        return info == o.info && update_time == o.update_time && record == o.record &&
               paths[0] == o.paths[0] && paths[1] == o.paths[1] && paths[2] == o.paths[2];
    }
};

SettingsKey settings_key() {
    SettingsKey k;
    ztconf_info_t *info = nullptr;
    int count = 0;
    if (ztconf_get_info_ref_count(&info, &count) == 0 && info != nullptr) {
        k.info = info;
        k.update_time = info->update_time;
        ztconf_decrement_ref_count(count);
    }
    ZtConfig *record = nullptr;
    if (bpconf_no_ref(&record, ZTCONF_HOST_KEY) == 0)
        k.record = record;
    // The path table keeps its texts for the life of the process and hands out
    // new ones only when it is rebuilt.
    k.paths[0] = getFennicString("VN_PATH_HOST_CACHE");
    k.paths[1] = getFennicString("VN_PATH_STARTUP_TIME");
    k.paths[2] = getFennicString("VN_PATH_CLEAR_CACHE_TIME");
    return k;
}

} // namespace

SettingsPtr lookup_settings() {
    if (SettingsFn fn = g_settings.load())
        return std::make_shared<const Settings>(fn());
    thread_local SettingsKey t_key;
    thread_local SettingsPtr t_settings;
    SettingsKey key = settings_key();
    if (!t_settings || key.info == nullptr || !(key == t_key)) {
        t_settings = std::make_shared<const Settings>(configured_settings());
        t_key = key;
    }
    return t_settings;
}

SettingsFn set_settings_source(SettingsFn fn) {
    return g_settings.exchange(fn);
}

namespace {

constexpr int kForkLocks = 8;
std::atomic<std::mutex *> g_fork_locks[kForkLocks];
std::atomic<int> g_fork_slots{0};
// How many locks the forking thread took (handlers run in the forking
// thread, and in the child as its copy).
thread_local int t_fork_held = 0;

void lock_before_fork() {
    int n = 0;
    // Slots are filled in order; one reserved but not yet filled ends the run.
    while (n < kForkLocks && g_fork_locks[n].load() != nullptr)
        g_fork_locks[n++].load()->lock();
    t_fork_held = n;
}

void unlock_after_fork() {
    for (int i = t_fork_held - 1; i >= 0; --i)
        g_fork_locks[i].load()->unlock();
    t_fork_held = 0;
}

} // namespace

void hold_across_fork(std::mutex *mu) {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(lock_before_fork, unlock_after_fork, unlock_after_fork); });
    int i = g_fork_slots.fetch_add(1);
    if (i >= kForkLocks) {
        logmsgf(ZTLOG_ERROR, "hold_across_fork", "no slot left for a lock");
        return;
    }
    g_fork_locks[i].store(mu);
}

void guarded_failure(const char *tag) noexcept {
    logmsgf(ZTLOG_ERROR, tag, "out of memory");
}

// ---- keys ----

std::string lower(const char *text) {
    std::string out = text != nullptr ? text : "";
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool iequals(const char *a, const char *b) {
    return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

namespace {

int compare_text(bool has_a, const std::string &a, bool has_b, const std::string &b) {
    if (has_a != has_b)
        return has_a ? 1 : -1;
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compare_int(int a, int b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

} // namespace

int compare(const AddrKey &a, const AddrKey &b) {
    if (int c = compare_text(a.has_name, a.name, b.has_name, b.name))
        return c;
    if (int c = compare_text(a.has_service, a.service, b.has_service, b.service))
        return c;
    if (int c = compare_int(a.hints_given, b.hints_given))
        return c;
    if (a.hints_given == 0)
        return 0;
    if (int c = compare_int(a.flags, b.flags))
        return c;
    if (int c = compare_int(a.family, b.family))
        return c;
    if (int c = compare_int(a.socktype, b.socktype))
        return c;
    return compare_int(a.protocol, b.protocol);
}

AddrKey make_key(const char *name, const char *service, const addrinfo &hints, bool hints_given) {
    AddrKey k;
    k.has_name = name != nullptr;
    k.name = lower(name);
    k.has_service = service != nullptr;
    k.service = lower(service);
    k.hints_given = hints_given ? 1 : 0;
    k.flags = hints.ai_flags;
    k.family = hints.ai_family;
    k.socktype = hints.ai_socktype;
    k.protocol = hints.ai_protocol;
    return k;
}

// ---- lists ----

vnet_addrinfo *new_entry() {
    auto *e = static_cast<vnet_addrinfo *>(calloc(1, sizeof(vnet_addrinfo)));
    if (e != nullptr)
        e->cached_flags[VNET_CF_VERSION] = -2;
    return e;
}

vnet_uuid_list *clone_uuids(const vnet_uuid_list *list, bool *ok) {
    *ok = true;
    if (list == nullptr)
        return nullptr;
    auto *out = static_cast<vnet_uuid_list *>(calloc(1, sizeof(vnet_uuid_list)));
    long n = list->count > 0 ? list->count : 0;
    if (out != nullptr && n > 0) {
        out->uuids = static_cast<vnet_uuid *>(malloc(sizeof(vnet_uuid) * size_t(n)));
        if (out->uuids == nullptr) {
            free(out);
            out = nullptr;
        } else {
            memcpy(out->uuids, list->uuids, sizeof(vnet_uuid) * size_t(n));
            out->count = n;
        }
    }
    *ok = out != nullptr;
    return out;
}

vnet_name_list *clone_names(const vnet_name_list *list, bool *ok) {
    *ok = true;
    if (list == nullptr)
        return nullptr;
    auto *out = static_cast<vnet_name_list *>(calloc(1, sizeof(vnet_name_list)));
    long n = list->count > 0 ? list->count : 0;
    if (out != nullptr && n > 0) {
        out->names = static_cast<char **>(calloc(size_t(n), sizeof(char *)));
        bool good = out->names != nullptr;
        for (long i = 0; good && i < n; ++i, ++out->count) {
            out->names[i] = strdup(list->names[i] != nullptr ? list->names[i] : "");
            good = out->names[i] != nullptr;
        }
        if (!good) {
            vnet_free_name_list(out);
            out = nullptr;
        }
    }
    *ok = out != nullptr;
    return out;
}

vnet_addrinfo *clone_list(const vnet_addrinfo *list, bool *ok) {
    *ok = true;
    vnet_addrinfo *head = nullptr, **tail = &head;
    for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next) {
        auto *c = static_cast<vnet_addrinfo *>(calloc(1, sizeof(vnet_addrinfo)));
        if (c == nullptr)
            break;
        *tail = c;
        tail = &c->ai_next;
        c->ai_flags = e->ai_flags;
        c->ai_family = e->ai_family;
        c->ai_socktype = e->ai_socktype;
        c->ai_protocol = e->ai_protocol;
        memcpy(c->cached_flags, e->cached_flags, sizeof c->cached_flags);
        c->lookup_milliseconds = e->lookup_milliseconds;
        c->expiry_time = e->expiry_time;
        bool good = true;
        if (e->ai_addr != nullptr && e->ai_addrlen > 0) {
            c->ai_addr = static_cast<sockaddr *>(malloc(e->ai_addrlen));
            good = c->ai_addr != nullptr;
            if (good) {
                memcpy(c->ai_addr, e->ai_addr, e->ai_addrlen);
                c->ai_addrlen = e->ai_addrlen;
            }
        }
        if (good && e->ai_canonname != nullptr)
            good = (c->ai_canonname = strdup(e->ai_canonname)) != nullptr;
        bool a = true, b = true;
        if (good)
            c->host_uuids = clone_uuids(e->host_uuids, &a);
        if (good && a)
            c->uuid_hosts = clone_names(e->uuid_hosts, &b);
        if (!good || !a || !b) {
            vnet_freeaddrinfo(head);
            *ok = false;
            return nullptr;
        }
    }
    if (list != nullptr && head == nullptr)
        *ok = false;
    return head;
}

// ---- literals ----

int ip_literal_family(const char *text) {
    if (text == nullptr || text[0] == '\0')
        return 0;
    unsigned char buf[sizeof(in6_addr)];
    if (inet_pton(AF_INET, text, buf) == 1)
        return AF_INET;
    std::string s = text;
    if (size_t pct = s.find('%'); pct != std::string::npos)
        s.resize(pct); // a scope ("fe80::1%eth0") is not part of the address
    if (inet_pton(AF_INET6, s.c_str(), buf) == 1)
        return AF_INET6;
    return 0;
}

std::string strip_prefix_length(const char *name) {
    std::string s = name != nullptr ? name : "";
    size_t slash = s.rfind('/');
    if (slash == std::string::npos || slash + 1 == s.size() || s.size() - slash > 4)
        return s;
    int n = 0;
    for (size_t i = slash + 1; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            return s;
        n = n * 10 + (s[i] - '0');
    }
    if (n <= 128)
        s.resize(slash);
    return s;
}

} // namespace zt::vnet::resolve

using namespace zt::vnet::resolve;

extern "C" ZTBASE_API void vnet_free_uuid_list(vnet_uuid_list *list) {
    if (list == nullptr)
        return;
    free(list->uuids);
    free(list);
}

extern "C" ZTBASE_API void vnet_free_name_list(vnet_name_list *list) {
    if (list == nullptr)
        return;
    for (long i = 0; i < list->count; ++i)
        free(list->names[i]);
    free(list->names);
    free(list);
}

extern "C" ZTBASE_API void vnet_freeaddrinfo(vnet_addrinfo *list) {
    while (list != nullptr) {
        vnet_addrinfo *next = list->ai_next;
        free(list->ai_addr);
        free(list->ai_canonname);
        vnet_free_uuid_list(list->host_uuids);
        vnet_free_name_list(list->uuid_hosts);
        free(list);
        list = next;
    }
}
