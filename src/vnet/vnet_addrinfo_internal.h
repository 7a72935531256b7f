// Inside the resolution caches: the seam in front of the system resolver, the
// settings read at each lookup, the cache keys and items, and the list
// helpers shared by the lookup, file-cache and host modules.
//
// Invariants:
// - Every resolver call goes through resolver(); tests replace single entries
//   (a null entry means the built-in call) to count calls, inject try-again
//   storms, slowness and odd answers.
// - Resolver codes are mapped onto the stored values (VNET_EAI_*) right where
//   the system call returns; nothing past map_resolver_code sees an EAI_*.
// - Keys hold the name and service lower-cased; an absent text sorts first.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "ztbase/vnet.h"
#include "ztbase/vnet_addrinfo.h"

namespace zt::vnet::resolve {

// ---- the seam ----

struct ResolverTable {
    int (*getaddrinfo)(const char *name, const char *service, const addrinfo *hints,
                       addrinfo **result);
    void (*freeaddrinfo)(addrinfo *list);
    int (*getnameinfo)(const sockaddr *addr, socklen_t len, char *host, socklen_t host_size,
                       char *service, socklen_t service_size, int flags);
    void (*sleep_seconds)(unsigned seconds);
    // Seconds since 1970 for cache times; milliseconds for durations.
    time_t (*now)();
    int64_t (*now_ms)();
    // Whether an address is this machine (by default is_sockaddr_local).
    bool (*is_local_address)(const sockaddr *addr, socklen_t len);
    // Whether the process may write the file cache without an override
    // directory (effective uid 0).
    bool (*is_admin)();
};

// The table in force: every null entry of the installed one falls back to
// the built-in call.
const ResolverTable &resolver();
// Installs a table (null: the built-in one); returns the previous one.
const ResolverTable *set_resolver(const ResolverTable *table);

// An EAI_* code of getaddrinfo/getnameinfo as the stored resolver code;
// EAI_SYSTEM logs errno under tag.
int map_resolver_code(int eai, const char *tag);

// ---- settings ----

enum ReverseLookup { kReverseAllowed = 0, kReverseRestricted = 1, kReverseProhibited = 2 };

struct Settings {
    long lifetime = 3600;    // seconds
    int table_size = 200;    // initial capacity of both tables
    int failed_table_size = 40; // slots of the legacy host-entry failures
    int attempts = 3;        // resolver calls per pass on try-again
    int delay = 1;           // seconds between them
    int again_limit = 30;    // seconds after which try-again is no longer retried
    int crc_bits = 32;       // low bits of the name checksum kept
    bool file_cache_disabled = false;
    std::string cache_dir;   // HOST_CACHE_PATH, else VN_PATH_HOST_CACHE
    int reverse = kReverseAllowed;
    bool link_local_allowed = false;
    // Names whose failed lookups are never cached.
    std::vector<std::string> never_cache;
    std::string startup_time_path;
    std::string clear_time_path;
};

// The configured values (with the fallbacks), read afresh.
Settings configured_settings();
// What lookups use: the installed source (tests) or configured_settings().
using SettingsFn = Settings (*)();
Settings current_settings();
SettingsFn set_settings_source(SettingsFn fn);
// What one lookup holds on to: the configured values are read again only when
// the configuration snapshot or the path table changed.
using SettingsPtr = std::shared_ptr<const Settings>;
SettingsPtr lookup_settings();

// ---- keys ----

struct AddrKey {
    bool has_name = false;
    std::string name; // lower-cased
    bool has_service = false;
    std::string service; // lower-cased
    int hints_given = 0;
    int flags = 0, family = 0, socktype = 0, protocol = 0;
};
int compare(const AddrKey &a, const AddrKey &b);
struct AddrKeyLess {
    bool operator()(const AddrKey &a, const AddrKey &b) const { return compare(a, b) < 0; }
};
AddrKey make_key(const char *name, const char *service, const addrinfo &hints, bool hints_given);

// ASCII lower case, as names compare.
std::string lower(const char *text);
bool iequals(const char *a, const char *b);

// ---- lists ----

struct ListDeleter {
    void operator()(vnet_addrinfo *list) const { vnet_freeaddrinfo(list); }
};
using List = std::unique_ptr<vnet_addrinfo, ListDeleter>;

// A zero-filled entry with unknown flags (9: -2); null without memory.
vnet_addrinfo *new_entry();
// Deep copies; null without memory (a null list copies to null with ok set).
vnet_addrinfo *clone_list(const vnet_addrinfo *list, bool *ok);
vnet_uuid_list *clone_uuids(const vnet_uuid_list *list, bool *ok);
vnet_name_list *clone_names(const vnet_name_list *list, bool *ok);
// Addresses of at most kMaxAddrBytes bytes are kept (and stored in files).
constexpr size_t kMaxAddrBytes = 64;

// A cached answer: the result list (null for a failure) and how it came.
struct AddrItem {
    List list;
    int code = 0;
    uint32_t milliseconds = 0;
    time_t created = 0; // as stored in the file cache
};

// The hints of a lookup whose caller gave none.
addrinfo default_hints(const char *name, const char *service, int reverse);

// ---- the cached lookups (vnet_addrinfo.cpp) ----

int cached_lookup(const char *name, const char *service, const addrinfo *hints, const int *update,
                  const vnet_uuid_list *uuids, const vnet_name_list *hosts,
                  vnet_addrinfo **result, int *code_out);
int cached_nameinfo(const sockaddr *addr, socklen_t len, char *host, size_t host_size,
                    char *service, size_t service_size, int flags, int *code_out);

// Where the calling thread's last cached lookup found its answer.
enum class Source { None, Memory, File, Resolver };
Source last_source();
const char *source_text(Source source);

// The address table's figures, for tools and tests.
struct TableCounts {
    bool present = false;
    size_t capacity = 0, count = 0;
    long found = 0, notfound = 0, expired = 0;
};
TableCounts counts();
// The process override directory ("" when none).
std::string override_dir();

// Registers a lock of the resolution caches to be held across fork(): taken
// before the fork, so no thread is inside a table when the process is copied,
// and released on both sides. Locks are taken in the order they were
// registered; none of them is taken while another is held. The debug log's
// own handlers are installed when the library is loaded, before any of these,
// so they run after ours (a thread holding a table lock may be logging).
void hold_across_fork(std::mutex *mu);

void guarded_failure(const char *tag) noexcept;
// Runs fn at the C boundary: an exception (memory) becomes VNET_MALLOC_FAILED.
template <class Fn> int guarded(const char *tag, Fn fn) noexcept {
    try {
        return fn();
    } catch (...) {
        guarded_failure(tag);
        return VNET_MALLOC_FAILED;
    }
}

// ---- small predicates ----

// 2 (AF_INET) for an IPv4 literal, AF_INET6 for an IPv6 literal, else 0.
int ip_literal_family(const char *text);
// The names of the built-in service table, in its order.
std::vector<std::string> builtin_service_names();
// name without a trailing "/N" (N decimal, at most 128).
std::string strip_prefix_length(const char *name);

} // namespace zt::vnet::resolve
