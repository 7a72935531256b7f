// Cached lookups: the address and name-information tables of the process,
// the file cache shared by the machine, and the operations that read, clean
// and report them.
//
// Locking: one mutex (State::mu) guards both tables, the override directory,
// the startup and clear times. It is held for table operations and for
// reading the startup-time file (only when a failed file entry needs it); resolver calls and file-cache reads and
// writes run outside it, so two threads may resolve one name at once (the
// later add replaces the earlier).
#include <arpa/inet.h>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_io.h"
#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_file_cache.h"
#include "vnet/vnet_pcache.h"
#include "ztbase/debuglog.h"
#include "ztbase/vtext.h"

namespace zt::vnet::resolve {
namespace {
namespace pio = ztbase::pio;

constexpr size_t kAddrMaximum = 100000;
constexpr size_t kNameMaximum = 10000;
constexpr time_t kClearCheckSeconds = 10;
constexpr size_t kHostMax = 1025;
constexpr size_t kServiceMax = 32;

struct NameKey {
    std::string address; // family, port, address bytes (and scope for IPv6)
    int flags = 0;
};
struct NameKeyLess {
    bool operator()(const NameKey &a, const NameKey &b) const {
        if (a.address != b.address)
            return a.address < b.address;
        return a.flags < b.flags;
    }
};
struct NameItem {
    std::string host, service;
    int code = 0;
};

using AddrTable = PCache<AddrKey, AddrItem, AddrKeyLess>;
using NameTable = PCache<NameKey, NameItem, NameKeyLess>;

template <class Table> struct Slot {
    std::unique_ptr<Table> table;
    long lifetime = 0;
    int size = 0;
    time_t clear_at_build = 0; // the clear time seen when it was built
};

struct State {
    std::mutex mu;
    Slot<AddrTable> addr;
    Slot<NameTable> names;
    std::string override_dir;
    time_t startup = 0;
    bool startup_known = false;
    time_t clear_seen = 0;
    time_t clear_checked = 0;
    bool clear_checked_once = false;
};

// Never destroyed: lookups from exit handlers of other libraries stay safe.
State &state() {
    static State *s = [] {
        auto *p = new State;
        hold_across_fork(&p->mu);
        return p;
    }();
    return *s;
}

const char *text(const char *s) {
    return s != nullptr ? s : "(null)";
}

// The clear-time file's time as last seen; the file is looked at no more than
// once every 10 seconds (and at once when the clock went back).
time_t clear_time_locked(State &st, const Settings &s, time_t now) {
    if (!st.clear_checked_once || now - st.clear_checked >= kClearCheckSeconds ||
        now < st.clear_checked) {
        struct stat sb;
        st.clear_seen = !s.clear_time_path.empty() && stat(s.clear_time_path.c_str(), &sb) == 0
                            ? sb.st_mtime
                            : 0;
        st.clear_checked = now;
        st.clear_checked_once = true;
    }
    return st.clear_seen;
}

template <class Table>
void ensure_table_locked(State &st, Slot<Table> &slot, const Settings &s, time_t now,
                         size_t maximum) {
    // Looked at even for a new table, so that the 10-second window starts now.
    // A clear counts when its time differs from the one seen at the build, not
    // only when it is later: after the clock was set back a new clear carries
    // an earlier time.
    const time_t clear = s.file_cache_disabled ? 0 : clear_time_locked(st, s, now);
    const bool cleared = clear != 0 && clear != slot.clear_at_build;
    const bool rebuild = !slot.table || slot.lifetime != s.lifetime || slot.size != s.table_size ||
                         cleared;
    if (!rebuild)
        return;
    slot.table.reset();
    slot.table = std::make_unique<Table>(s.lifetime, size_t(s.table_size),
                                         maximum > size_t(s.table_size) ? maximum : size_t(s.table_size));
    slot.lifetime = s.lifetime;
    slot.size = s.table_size;
    slot.clear_at_build = clear;
}

// The local vnetd's start time: the first line, a number directly followed
// by a newline; otherwise the value read earlier stays.
time_t startup_time_locked(State &st, const std::string &path) {
    pio::Fd fd = pio::open_regular_file(path.c_str());
    char buf[129];
    size_t got = 0;
    if (fd && pio::read_all(fd.get(), buf, sizeof buf - 1, &got) == 0) {
        buf[got] = '\0';
        char *end = nullptr;
        errno = 0;
        long long v = strtoll(buf, &end, 0);
        if (end != buf && *end == '\n' && errno == 0 && v >= 0) {
            st.startup = time_t(v);
            st.startup_known = true;
        }
    }
    if (!st.startup_known)
        logmsgvf(ZTLOG_DEBUG, 5, "vnet_cached_getaddrinfo_and_update",
                 "unable to get vnetd_startup_time PATH=%s", path.c_str());
    return st.startup_known ? st.startup : 0;
}

// Read only when a failed file entry must be weighed against it: a memory
// hit then costs no file system call.
time_t vnetd_startup(State &st, const std::string &path) {
    std::lock_guard<std::mutex> lock(st.mu);
    return startup_time_locked(st, path);
}

// The in-place merge of a memory hit: 3 (0-8) and -1 (9-13) leave a value.
// Flag 7 takes 1 and 2 as given: it is the path the connect engine has just
// learned, and storing 0 would throw it away.
bool apply_update(vnet_addrinfo *list, const int *update) {
    if (update == nullptr)
        return false;
    bool changed = false;
    for (vnet_addrinfo *e = list; e != nullptr; e = e->ai_next)
        for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i) {
            int keep = i <= VNET_CF_INDEX_SERVER ? VNET_CF_KEEP_TRISTATE : VNET_CF_KEEP_NUMBER;
            if (update[i] != keep && e->cached_flags[i] != update[i]) {
                e->cached_flags[i] = update[i];
                changed = true;
            }
        }
    return changed;
}

void new_entry_flags(vnet_addrinfo *e, const int *update) {
    if (update == nullptr)
        return;
    for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i) {
        int keep = i <= VNET_CF_INDEX_SERVER ? VNET_CF_KEEP_TRISTATE : VNET_CF_KEEP_NUMBER;
        if (update[i] != keep)
            e->cached_flags[i] = update[i];
    }
}

// Replaces the lists of the first entry; false without memory.
bool replace_lists(vnet_addrinfo *first, const vnet_uuid_list *uuids, const vnet_name_list *hosts) {
    if (first == nullptr)
        return true;
    bool ok = true;
    if (uuids != nullptr) {
        vnet_uuid_list *copy = clone_uuids(uuids, &ok);
        if (!ok) {
            logmsgf(ZTLOG_ERROR, "vnet_cached_getaddrinfo_and_update", "vnet_copy_host_uuids() failed");
            return false;
        }
        vnet_free_uuid_list(first->host_uuids);
        first->host_uuids = copy;
    }
    if (hosts != nullptr) {
        vnet_name_list *copy = clone_names(hosts, &ok);
        if (!ok) {
            logmsgf(ZTLOG_ERROR, "vnet_cached_getaddrinfo_and_update", "vnet_copy_uuid_hosts() failed");
            return false;
        }
        vnet_free_name_list(first->uuid_hosts);
        first->uuid_hosts = copy;
    }
    return true;
}

bool dropped_address(const addrinfo *a, bool link_local_allowed) {
    if (a->ai_addr == nullptr)
        return false;
    if (a->ai_family == AF_INET6) {
        const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 *>(a->ai_addr)->sin6_addr;
        return IN6_IS_ADDR_V4MAPPED(&v6) || (!link_local_allowed && IN6_IS_ADDR_LINKLOCAL(&v6));
    }
    if (a->ai_family == AF_INET && !link_local_allowed)
        return (ntohl(reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr) >> 16) ==
               0xa9fe;
    return false;
}

// The resolver's list as vnet entries. Null with *ok set when nothing was
// left to copy; null with *ok clear without memory.
vnet_addrinfo *copy_addrinfo(const addrinfo *raw, bool literal, bool link_local_allowed,
                             const int *update, const vnet_uuid_list *uuids,
                             const vnet_name_list *hosts, uint32_t ms, bool *ok) {
    *ok = true;
    List head;
    vnet_addrinfo **tail = nullptr;
    for (const addrinfo *a = raw; a != nullptr; a = a->ai_next) {
        if (!literal && dropped_address(a, link_local_allowed))
            continue;
        if (a->ai_addr != nullptr && a->ai_addrlen > kMaxAddrBytes)
            continue;
        vnet_addrinfo *e = new_entry();
        if (e == nullptr) {
            *ok = false;
            return nullptr;
        }
        if (!head)
            head.reset(e);
        else
            *tail = e;
        tail = &e->ai_next;
        e->ai_flags = a->ai_flags;
        e->ai_family = a->ai_family;
        e->ai_socktype = a->ai_socktype;
        e->ai_protocol = a->ai_protocol;
        e->lookup_milliseconds = ms;
        if (a->ai_addr != nullptr && a->ai_addrlen > 0) {
            e->ai_addr = static_cast<sockaddr *>(malloc(a->ai_addrlen));
            if (e->ai_addr == nullptr) {
                *ok = false;
                return nullptr;
            }
            memcpy(e->ai_addr, a->ai_addr, a->ai_addrlen);
            e->ai_addrlen = a->ai_addrlen;
        }
        if (a->ai_canonname != nullptr && (e->ai_canonname = strdup(a->ai_canonname)) == nullptr) {
            *ok = false;
            return nullptr;
        }
        new_entry_flags(e, update);
    }
    if (head && !replace_lists(head.get(), uuids, hosts)) {
        *ok = false;
        return nullptr;
    }
    return head.release();
}

bool never_cached(const Settings &s, const char *name, int code) {
    if (code == VNET_EAI_INVALID || code == VNET_EAI_NO_MEMORY || code == VNET_EAI_NOT_INITIALISED)
        return true;
    for (const std::string &n : s.never_cache)
        if (iequals(name, n.c_str()))
            return true;
    return false;
}

void log_duration(const char *tag, const char *what, uint32_t ms, const char *name) {
    if (ms <= 999)
        return;
    if (ms < 5000)
        logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] %s MS=%u NAME=%s", __FILE_NAME__, __LINE__, what,
                 ms, text(name));
    else
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] %s MS=%u NAME=%s", __FILE_NAME__, __LINE__, what, ms,
                text(name));
}

thread_local Source t_source = Source::None;

struct Answer {
    List list;
    int code = 0;
    uint32_t ms = 0;
    time_t created = 0;
};

// Step "resolve for real": the pseudo entry for "UUID=" names, else the
// retrying resolver and the copy into vnet entries.
int resolve_for_real(const Settings &s, const char *name, const char *service,
                     const addrinfo &hints, bool literal, const int *update,
                     const vnet_uuid_list *uuids, const vnet_name_list *hosts, Answer &a) {
    const char *tag = "vnet_cached_getaddrinfo_and_update";
    const ResolverTable &r = resolver();
    if (name != nullptr && strncmp(name, "UUID=", 5) == 0) {
        // get_uuid_pseudo_addrinfo: one empty entry, cached under the name.
        a.list.reset(new_entry());
        if (!a.list || !replace_lists(a.list.get(), uuids, hosts))
            return VNET_MALLOC_FAILED;
        new_entry_flags(a.list.get(), update);
        return VNET_SUCCESS;
    }
    addrinfo *raw = nullptr;
    int64_t t0 = r.now_ms();
    a.code = retry_getaddrinfo(name, service, &hints, &raw);
    int64_t spent = r.now_ms() - t0;
    a.ms = spent < 0 ? 0 : uint32_t(spent);
    log_duration(tag, "retry_getaddrinfo() milliseconds", a.ms, name);
    if (a.code != VNET_EAI_OK) {
        if (name != nullptr)
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] retry_getaddrinfo() failed RV=%d NAME=%s SVC=%s",
                    __FILE_NAME__, __LINE__, a.code, text(name), text(service));
        else
            logmsgvf(ZTLOG_DEBUG, 6, tag, "[%s:%d] retry_getaddrinfo() failed RV=%d NAME=%s SVC=%s",
                     __FILE_NAME__, __LINE__, a.code, text(name), text(service));
        return VNET_SUCCESS;
    }
    if (a.ms >= 5000)
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] found via getaddrinfo NAME=%s SVC=%s", __FILE_NAME__,
                __LINE__, text(name), text(service));
    else
        logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] found via getaddrinfo NAME=%s SVC=%s",
                 __FILE_NAME__, __LINE__, text(name), text(service));
    bool ok = true;
    a.list.reset(copy_addrinfo(raw, literal, s.link_local_allowed, update, uuids, hosts, a.ms, &ok));
    r.freeaddrinfo(raw);
    if (!ok) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] copy_addrinfo() failed NAME=%s STAT=%d", __FILE_NAME__,
                __LINE__, text(name), VNET_MALLOC_FAILED);
        return VNET_MALLOC_FAILED;
    }
    if (!a.list) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] no valid addresses to copy NAME=%s", __FILE_NAME__,
                __LINE__, text(name));
        a.code = VNET_EAI_HOST_NOT_FOUND;
    }
    return VNET_SUCCESS;
}

void set_expiry(vnet_addrinfo *list, time_t when) {
    for (vnet_addrinfo *e = list; e != nullptr; e = e->ai_next)
        e->expiry_time = when;
}

// Adds the answer to the memory table (a copy) and, when asked, to the file.
void remember(State &st, const Settings &s, const AddrKey &key, const Answer &a, time_t now,
              bool write_file, const std::string &dir, const char *name) {
    const char *tag = "vnet_cached_getaddrinfo_and_update";
    auto item = std::make_unique<AddrItem>();
    bool ok = true;
    item->list.reset(clone_list(a.list.get(), &ok));
    if (!ok) {
        logmsgf(ZTLOG_ERROR, tag, "create_cache_item() failed");
        return;
    }
    item->code = a.code;
    item->milliseconds = a.ms;
    item->created = a.created != 0 ? a.created : now;
    if (write_file) {
        int w = filecache::write_entry(dir, key, s.crc_bits, *item);
        if (w != VNET_SUCCESS)
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] cache_item_to_file() failed STAT=%d NAME=%s",
                    __FILE_NAME__, __LINE__, w, text(name));
    }
    std::lock_guard<std::mutex> lock(st.mu);
    if (st.addr.table && !st.addr.table->add_replace(key, std::move(item), now, a.created))
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] replace_item_in_cache() failed NAME=%s STAT=%d",
                __FILE_NAME__, __LINE__, text(name), VNET_CACHE_FAILED);
}

int finish(Answer &a, vnet_addrinfo **result, int *code_out) {
    *code_out = a.code;
    *result = a.list.release();
    return a.code == VNET_EAI_OK ? VNET_SUCCESS : VNET_GETHOST_FAILED;
}

} // namespace

int cached_lookup(const char *name_in, const char *service, const addrinfo *hints_in,
                  const int *update, const vnet_uuid_list *uuids, const vnet_name_list *hosts,
                  vnet_addrinfo **result, int *code_out) {
    const char *tag = "vnet_cached_getaddrinfo_and_update";
    *result = nullptr;
    *code_out = VNET_EAI_OK;
    t_source = Source::None;
    if (name_in == nullptr && service == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "both name and service are NULL");
        *code_out = VNET_EAI_HOST_NOT_FOUND;
        return VNET_BAD_PARAM;
    }
    const SettingsPtr settings = lookup_settings();
    const Settings &s = *settings;
    std::string stripped;
    const char *name = name_in;
    if (name != nullptr) {
        stripped = strip_prefix_length(name);
        name = stripped.c_str();
    }
    const bool literal = ip_literal_family(name) != 0;
    const addrinfo hints = hints_in != nullptr ? *hints_in : default_hints(name, service, s.reverse);
    const AddrKey key = make_key(name, service, hints, hints_in != nullptr);
    const ResolverTable &r = resolver();
    State &st = state();
    std::string dir;
    time_t now = 0;
    bool have_override = false;
    Answer a;
    bool found = false, rewrite = false;
    {
        std::lock_guard<std::mutex> lock(st.mu);
        now = r.now();
        have_override = !st.override_dir.empty();
        dir = have_override ? st.override_dir : s.cache_dir;
        ensure_table_locked(st, st.addr, s, now, kAddrMaximum);
        auto hit = st.addr.table->find(key, now);
        if (hit.item != nullptr && hit.created > now) {
            logmsgvf(ZTLOG_DEBUG, 5, tag,
                     "[%s:%d] host found in cache with future timestamp, ignoring cached entry for "
                     "NAME=%s SVC=%s",
                     __FILE_NAME__, __LINE__, text(name), text(service));
        } else if (hit.item != nullptr && hit.item->code != VNET_EAI_OK) {
            logmsgf(ZTLOG_INFO, tag, "[%s:%d] in failed cache ERR=%d NAME=%s SVC=%s",
                    __FILE_NAME__, __LINE__, hit.item->code, text(name), text(service));
            *code_out = hit.item->code;
            t_source = Source::Memory;
            return VNET_GETHOST_FAILED;
        } else if (hit.item != nullptr) {
            t_source = Source::Memory;
            logmsgvf(ZTLOG_DEBUG, 6, tag, "[%s:%d] found in cache NAME=%s SVC=%s", __FILE_NAME__,
                     __LINE__, text(name), text(service));
            bool changed = apply_update(hit.item->list.get(), update);
            if (!replace_lists(hit.item->list.get(), uuids, hosts))
                return VNET_MALLOC_FAILED;
            changed = changed || uuids != nullptr || hosts != nullptr;
            bool ok = true;
            a.list.reset(clone_list(hit.item->list.get(), &ok));
            if (!ok) {
                logmsgf(ZTLOG_ERROR, tag, "[%s:%d] clone_vnet_addrinfo() failed NAME=%s STAT=%d",
                        __FILE_NAME__, __LINE__, text(name), VNET_MALLOC_FAILED);
                return VNET_MALLOC_FAILED;
            }
            a.ms = hit.item->milliseconds;
            a.created = hit.created;
            if (!changed)
                return finish(a, result, code_out);
            found = rewrite = true;
        }
    }
    if (!found && !s.file_cache_disabled) {
        AddrItem f;
        if (filecache::read_entry(dir, key, s.crc_bits, f) == filecache::Read::Hit) {
            if (f.created + s.lifetime < now) {
                logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] file cache has expired NAME=%s SVC=%s",
                         __FILE_NAME__, __LINE__, text(name), text(service));
            } else if (f.created > now) {
                // written by a host with a clock ahead: not trusted
            } else if (f.code != VNET_EAI_OK && f.created < vnetd_startup(st, s.startup_time_path)) {
                logmsgvf(ZTLOG_DEBUG, 5, tag, "failed file cache created before startup NAME=%s",
                         text(name));
            } else {
                if (f.code != VNET_EAI_OK)
                    logmsgf(ZTLOG_INFO, tag, "[%s:%d] in failed file cache ERR=%d NAME=%s SVC=%s",
                            __FILE_NAME__, __LINE__, f.code, text(name), text(service));
                else
                    logmsgvf(ZTLOG_DEBUG, 6, tag, "[%s:%d] found in file cache NAME=%s SVC=%s",
                             __FILE_NAME__, __LINE__, text(name), text(service));
                bool changed = apply_update(f.list.get(), update);
                if (!replace_lists(f.list.get(), uuids, hosts))
                    return VNET_MALLOC_FAILED;
                rewrite = f.code == VNET_EAI_OK && (changed || uuids != nullptr || hosts != nullptr);
                a.list = std::move(f.list);
                a.code = f.code;
                a.ms = f.milliseconds;
                a.created = f.created;
                found = true;
                t_source = Source::File;
            }
        }
    }
    bool real = false;
    if (!found) {
        if (int rc = resolve_for_real(s, name, service, hints, literal, update, uuids, hosts, a);
            rc != VNET_SUCCESS)
            return rc;
        a.created = now;
        real = true;
        t_source = Source::Resolver;
    }
    if (a.code == VNET_EAI_OK || !never_cached(s, name, a.code)) {
        set_expiry(a.list.get(), now + s.lifetime);
        bool write = (real || rewrite) && (r.is_admin() || have_override) && !s.file_cache_disabled;
        remember(st, s, key, a, now, write, dir, name);
    }
    return finish(a, result, code_out);
}

Source last_source() {
    return t_source;
}

const char *source_text(Source source) {
    switch (source) {
    case Source::Memory:
        return "memory";
    case Source::File:
        return "file cache";
    case Source::Resolver:
        return "resolver";
    default:
        return "none";
    }
}

// ---- name information ----

namespace {

bool name_key(const sockaddr *addr, socklen_t len, int flags, NameKey &key) {
    if (addr == nullptr)
        return false;
    std::string k;
    auto put = [&k](const void *p, size_t n) { k.append(static_cast<const char *>(p), n); };
    uint16_t family = addr->sa_family;
    put(&family, sizeof family);
    if (addr->sa_family == AF_INET && len >= socklen_t(sizeof(sockaddr_in))) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(addr);
        put(&in->sin_port, sizeof in->sin_port);
        put(&in->sin_addr, sizeof in->sin_addr);
    } else if (addr->sa_family == AF_INET6 && len >= socklen_t(sizeof(sockaddr_in6))) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(addr);
        put(&in6->sin6_port, sizeof in6->sin6_port);
        put(&in6->sin6_addr, sizeof in6->sin6_addr);
        put(&in6->sin6_scope_id, sizeof in6->sin6_scope_id);
    } else {
        return false;
    }
    key.address = std::move(k);
    key.flags = flags;
    return true;
}

int copy_out(const NameItem &item, char *host, size_t host_size, char *service,
             size_t service_size) {
    const char *tag = "vnet_cached_getnameinfo";
    if (host != nullptr && host_size > 0) {
        if (item.host.size() >= host_size) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] insufficient space for host HOST=%s HLEN=%u",
                    __FILE_NAME__, __LINE__, item.host.c_str(), unsigned(host_size));
            return VNET_MALLOC_FAILED;
        }
        memcpy(host, item.host.c_str(), item.host.size() + 1);
    }
    if (service != nullptr && service_size > 0) {
        if (item.service.size() >= service_size) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] insufficient space for serv SERV=%s SLEN=%u",
                    __FILE_NAME__, __LINE__, item.service.c_str(), unsigned(service_size));
            return VNET_MALLOC_FAILED;
        }
        memcpy(service, item.service.c_str(), item.service.size() + 1);
    }
    return VNET_SUCCESS;
}

std::string address_text(const sockaddr *addr, int *port) {
    char buf[INET6_ADDRSTRLEN] = "";
    *port = 0;
    if (addr->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(addr);
        *port = ntohs(in->sin_port);
        if (inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf) != nullptr)
            return buf;
    } else if (addr->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(addr);
        *port = ntohs(in6->sin6_port);
        if (inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf) != nullptr)
            return buf;
    }
    return "UNKNOWN";
}

} // namespace

int cached_nameinfo(const sockaddr *addr, socklen_t len, char *host, size_t host_size,
                    char *service, size_t service_size, int flags, int *code_out) {
    const char *tag = "vnet_cached_getnameinfo";
    *code_out = VNET_EAI_OK;
    NameKey key;
    if (!name_key(addr, len, flags, key)) {
        logmsgf(ZTLOG_ERROR, tag, "address is NULL or not an IPv4 or IPv6 address");
        *code_out = VNET_EAI_INVALID;
        return VNET_BAD_PARAM;
    }
    const SettingsPtr settings = lookup_settings();
    const Settings &s = *settings;
    const ResolverTable &r = resolver();
    State &st = state();
    int port = 0;
    std::string ipstr = address_text(addr, &port);
    time_t now = 0;
    {
        std::lock_guard<std::mutex> lock(st.mu);
        now = r.now();
        ensure_table_locked(st, st.names, s, now, kNameMaximum);
        auto hit = st.names.table->find(key, now);
        if (hit.item != nullptr && hit.created <= now) {
            if (hit.item->code != VNET_EAI_OK) {
                logmsgf(ZTLOG_INFO, tag, "[%s:%d] in failed cache ERR=%d IPSTR=%s", __FILE_NAME__,
                        __LINE__, hit.item->code, ipstr.c_str());
                *code_out = hit.item->code;
                return VNET_GETHOST_FAILED;
            }
            logmsgvf(ZTLOG_DEBUG, 6, tag, "[%s:%d] found in cache IPSTR=%s HOST=%s", __FILE_NAME__,
                     __LINE__, ipstr.c_str(), hit.item->host.c_str());
            return copy_out(*hit.item, host, host_size, service, service_size);
        }
    }
    char h[kHostMax] = "", sv[kServiceMax] = "";
    int64_t t0 = r.now_ms();
    int rc = retry_getnameinfo(addr, len, h, sizeof h, sv, sizeof sv, flags);
    int64_t spent = r.now_ms() - t0;
    log_duration(tag, "retry_getnameinfo() milliseconds", spent < 0 ? 0 : uint32_t(spent),
                 ipstr.c_str());
    if (rc != VNET_EAI_OK) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] retry_getnameinfo() failed RV=%d IPSTR=%s PORT=%d",
                __FILE_NAME__, __LINE__, rc, ipstr.c_str(), port);
    } else if (vnet_localhost_check(h) != 0 && vnet_localhost_check(ipstr.c_str()) == 0 &&
               !r.is_local_address(addr, len)) {
        rc = VNET_EAI_NO_RECOVERY;
        logmsgf(ZTLOG_ERROR, tag,
                "[%s:%d] unexpected local/non-local mismatch found via getnameinfo OUR_HOST=%s%s "
                "IPSTR=%s%s, adjusting lookup status to %d",
                __FILE_NAME__, __LINE__, h, "(local)", ipstr.c_str(), "(non-local)", rc);
    } else {
        logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] found via getnameinfo OUR_HOST=%s IPSTR=%s",
                 __FILE_NAME__, __LINE__, h, ipstr.c_str());
    }
    auto item = std::make_unique<NameItem>();
    item->code = rc;
    if (rc == VNET_EAI_OK) {
        item->host = h;
        item->service = sv;
    }
    NameItem copy = *item;
    {
        std::lock_guard<std::mutex> lock(st.mu);
        if (st.names.table)
            st.names.table->add_replace(key, std::move(item), now, 0);
    }
    *code_out = rc;
    if (rc != VNET_EAI_OK)
        return VNET_GETHOST_FAILED;
    return copy_out(copy, host, host_size, service, service_size);
}

// ---- tables ----

void report() {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    const char *tag = "vnet_cached_report";
    if (auto &t = st.addr.table)
        logmsgf(ZTLOG_INFO, tag,
                "[%s:%d] addrinfo_cache_table SZ=%" PRIu64 " CNT=%" PRIu64
                " FOUND=%ld NOTFOUND=%ld EXPIRED=%ld",
                __FILE_NAME__, __LINE__, uint64_t(t->capacity()), uint64_t(t->count()), t->found(),
                t->notfound(), t->expired());
    else
        logmsgf(ZTLOG_INFO, tag, "addrinfo_cache_table is NULL");
    if (auto &t = st.names.table)
        logmsgf(ZTLOG_INFO, tag,
                "[%s:%d] nameinfo_cache_table SZ=%" PRIu64 " CNT=%" PRIu64
                " FOUND=%ld NOTFOUND=%ld EXPIRED=%ld",
                __FILE_NAME__, __LINE__, uint64_t(t->capacity()), uint64_t(t->count()), t->found(),
                t->notfound(), t->expired());
    else
        logmsgf(ZTLOG_INFO, tag, "nameinfo_cache_table is NULL");
}

TableCounts counts() {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    TableCounts c;
    if (auto &t = st.addr.table) {
        c.present = true;
        c.capacity = t->capacity();
        c.count = t->count();
        c.found = t->found();
        c.notfound = t->notfound();
        c.expired = t->expired();
    }
    return c;
}

std::string override_dir() {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    return st.override_dir;
}

} // namespace zt::vnet::resolve

using namespace zt::vnet::resolve;

extern "C" ZTBASE_API int vnet_cached_getaddrinfo_and_update(
    const char *name, const char *service, const struct addrinfo *hints, const int *flag_update,
    const vnet_uuid_list *host_uuids, const vnet_name_list *uuid_hosts, vnet_addrinfo **result,
    int *resolver_code) {
    int ignored = 0;
    vnet_addrinfo *dummy = nullptr;
    int rc = guarded("vnet_cached_getaddrinfo_and_update", [&] {
        return cached_lookup(name, service, hints, flag_update, host_uuids, uuid_hosts,
                             result != nullptr ? result : &dummy,
                             resolver_code != nullptr ? resolver_code : &ignored);
    });
    vnet_freeaddrinfo(dummy);
    if (rc != VNET_SUCCESS && rc != VNET_GETHOST_FAILED)
        vnet_failure(__FILE_NAME__, __LINE__, "vnet_cached_getaddrinfo_and_update", rc);
    return rc;
}

extern "C" ZTBASE_API int vnet_cached_getaddrinfo(const char *name, const char *service,
                                                  const struct addrinfo *hints,
                                                  vnet_addrinfo **result, int *resolver_code) {
    return vnet_cached_getaddrinfo_and_update(name, service, hints, nullptr, nullptr, nullptr,
                                              result, resolver_code);
}

extern "C" ZTBASE_API int vnet_cached_getnameinfo(const struct sockaddr *address,
                                                  socklen_t address_length, char *host,
                                                  size_t host_size, char *service,
                                                  size_t service_size, int flags,
                                                  int *resolver_code) {
    int ignored = 0;
    return guarded("vnet_cached_getnameinfo", [&] {
        return cached_nameinfo(address, address_length, host, host_size, service, service_size,
                               flags, resolver_code != nullptr ? resolver_code : &ignored);
    });
}

extern "C" ZTBASE_API int vnet_cached_get_service_port(const char *service, int *port) {
    const char *tag = "vnet_cached_get_service_port";
    if (service == nullptr || port == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "service or port is NULL");
        return VNET_BAD_PARAM;
    }
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    int rc = vnet_cached_getaddrinfo(nullptr, service, &hints, &list, &rv);
    if (rc != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] vnet_cached_getaddrinfo failed STAT=%d RV=%d NAME=%s",
                __FILE_NAME__, __LINE__, rc, rv, service);
        return rc;
    }
    int found = -1;
    for (const vnet_addrinfo *e = list; e != nullptr && found < 0; e = e->ai_next) {
        if (e->ai_addr == nullptr)
            continue;
        if (e->ai_family == AF_INET)
            found = ntohs(reinterpret_cast<const sockaddr_in *>(e->ai_addr)->sin_port);
        else if (e->ai_family == AF_INET6)
            found = ntohs(reinterpret_cast<const sockaddr_in6 *>(e->ai_addr)->sin6_port);
    }
    vnet_freeaddrinfo(list);
    if (found < 0) {
        logmsgf(ZTLOG_ERROR, tag, "no IPv4 or IPv6 answer for SVC=%s", service);
        return VNET_GETSERV_FAILED;
    }
    *port = found;
    return VNET_SUCCESS;
}

static int cleanup_memory_cache();

extern "C" ZTBASE_API int vnet_cleanup_memory_cache(void) {
    return guarded("vnet_cleanup_memory_cache", [] { return cleanup_memory_cache(); });
}

static int cleanup_memory_cache() {
    const SettingsPtr settings = lookup_settings();
    const Settings &s = *settings;
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.addr.table = std::make_unique<AddrTable>(s.lifetime, size_t(s.table_size),
                                                kAddrMaximum > size_t(s.table_size) ? kAddrMaximum
                                                                                     : size_t(s.table_size));
    st.addr.lifetime = s.lifetime;
    st.addr.size = s.table_size;
    st.addr.clear_at_build = st.clear_seen;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API void vnet_cached_report(void) {
    report();
}

extern "C" ZTBASE_API void vnet_cached_free_memory(void) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.addr.table.reset();
    st.names.table.reset();
}

extern "C" ZTBASE_API int vnet_set_override_values(const char *path) {
    return guarded("vnet_set_override_values", [path] {
        State &st = state();
        std::lock_guard<std::mutex> lock(st.mu);
        st.override_dir = path != nullptr ? path : "";
        return VNET_SUCCESS;
    });
}

// ---- cleaning the file cache ----

namespace {

bool all_hex(const char *s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!isxdigit(static_cast<unsigned char>(s[i])))
            return false;
    return n > 0;
}

bool expected_file_name(const char *name, const char *tag, const std::string &where) {
    const char *plus = strchr(name, '+');
    if (plus == nullptr || !all_hex(name, size_t(plus - name))) {
        logmsgf(ZTLOG_WARNING, tag, "Unexpected file name %s/%s", where.c_str(), name);
        return false;
    }
    size_t n = strlen(name);
    if (n < 6) {
        logmsgf(ZTLOG_WARNING, tag, "Unexpected short file name %s/%s", where.c_str(), name);
        return false;
    }
    if (strcasecmp(name + n - 4, ".txt") != 0) {
        logmsgf(ZTLOG_WARNING, tag, "Unexpected file without a .txt suffix %s/%s", where.c_str(),
                name);
        return false;
    }
    return true;
}

// Removes the entries of one directory; false when a removal failed.
// A writer killed between creating its working file and the rename leaves
// the working file behind; one older than this is nobody's any more.
constexpr time_t kStaleWorkingSeconds = 60;

bool stale_working_file(int fd, const char *name, time_t now) {
    struct stat sb;
    return strncmp(name, "ainfo", 5) == 0 &&
           fstatat(fd, name, &sb, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(sb.st_mode) &&
           sb.st_mtime < now - kStaleWorkingSeconds;
}

bool clean_directory(int parent, const char *sub, const std::string &where, bool all, time_t cutoff,
                     time_t now, const char *tag) {
    int fd = openat(parent, sub, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return true; // not a real directory: nothing of ours
    DIR *d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return true;
    }
    bool ok = true;
    while (dirent *de = readdir(d)) {
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0)
            continue;
        if (stale_working_file(fd, de->d_name, now)) {
            if (unlinkat(fd, de->d_name, 0) != 0 && errno != ENOENT)
                logmsgf(ZTLOG_WARNING, tag, "[%s:%d] remove() failed ERRNO=%d PATH=%s/%s",
                        __FILE_NAME__, __LINE__, errno, where.c_str(), de->d_name);
            continue;
        }
        if (!expected_file_name(de->d_name, tag, where))
            continue;
        struct stat sb;
        if (fstatat(fd, de->d_name, &sb, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(sb.st_mode))
            continue;
        if (!all && sb.st_mtime > cutoff)
            continue;
        if (unlinkat(fd, de->d_name, 0) != 0) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] remove() failed ERRNO=%d PATH=%s/%s", __FILE_NAME__,
                    __LINE__, errno, where.c_str(), de->d_name);
            ok = false;
        }
    }
    closedir(d);
    return ok;
}

int write_clear_time(const std::string &path, time_t now) {
    const char *tag = "vnet_cleanup_file_cache";
    std::string dir = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    char *tmp = V_tempnam(dir.empty() ? "." : dir.c_str(), "clear");
    if (tmp == nullptr)
        return VNET_MALLOC_FAILED;
    std::string t = tmp;
    free(tmp);
    pio::Fd fd = pio::open_fd(t.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    char line[32];
    int n = snprintf(line, sizeof line, "%lu\n", static_cast<unsigned long>(now));
    if (!fd || fchmod(fd.get(), 0644) != 0 || pio::write_all(fd.get(), line, size_t(n)) != 0 ||
        !fd.close() || rename(t.c_str(), path.c_str()) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] writing the clear time failed ERRNO=%d PATH=%s",
                __FILE_NAME__, __LINE__, errno, path.c_str());
        unlink(t.c_str());
        return VNET_WRITE_FAILED;
    }
    return VNET_SUCCESS;
}

} // namespace

static int cleanup_file_cache(time_t older_than, int record_clear_time);

extern "C" ZTBASE_API int vnet_cleanup_file_cache(time_t older_than, int record_clear_time) {
    return guarded("vnet_cleanup_file_cache",
                   [&] { return cleanup_file_cache(older_than, record_clear_time); });
}

static int cleanup_file_cache(time_t older_than, int record_clear_time) {
    const char *tag = "vnet_cleanup_file_cache";
    const SettingsPtr settings = lookup_settings();
    const Settings &s = *settings;
    if (s.file_cache_disabled) {
        logmsgvf(ZTLOG_DEBUG, 5, tag, "disable_file_cache");
        return VNET_SUCCESS;
    }
    std::string dir = s.cache_dir;
    std::string over = override_dir();
    if (!over.empty()) {
        logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] cache_dir=%s override_host_cache_path=%s",
                 __FILE_NAME__, __LINE__, dir.c_str(), over.c_str());
        dir = over;
    }
    time_t now = resolver().now();
    const bool all = older_than == -1;
    const time_t cutoff = older_than == 0 ? now - s.lifetime : older_than;
    int root = ztbase::pio::open_fd(dir.c_str(), O_RDONLY | O_DIRECTORY, 0).release();
    DIR *d = root >= 0 ? fdopendir(root) : nullptr;
    if (d == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] opendir() failed ERRNO=%d CACHE_DIR=%s", __FILE_NAME__,
                __LINE__, errno, dir.c_str());
        if (root >= 0)
            close(root);
        return VNET_OPEN_FAILED;
    }
    bool ok = true;
    while (dirent *de = readdir(d)) {
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0)
            continue;
        size_t n = strlen(de->d_name);
        if (!all_hex(de->d_name, n) || n > 8 || strtoul(de->d_name, nullptr, 16) >= 512) {
            logmsgf(ZTLOG_WARNING, tag, "Unexpected non-hex directory name %s/%s", dir.c_str(),
                    de->d_name);
            continue;
        }
        ok = clean_directory(root, de->d_name, dir + "/" + de->d_name, all, cutoff, now, tag) && ok;
    }
    closedir(d);
    if (!ok)
        return VNET_SYSCALL_FAILED;
    if (record_clear_time != 0)
        return write_clear_time(s.clear_time_path, now);
    return VNET_SUCCESS;
}
