// Per-thread configuration snapshots: the host and users records of the
// calling thread, re-read when the store's times moved (looked at no more than
// once every 10 seconds), private reference-counted snapshots by key, the
// thread and process overrides, and the master-server name.
//
// Change detection reads metadata only: the Config key's last-write time and
// the cluster-aware file's status. Store times are whole seconds, so a time
// equal to the present second is kept one second lower and looked at again at
// once: a second change within that second is still seen.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <sys/stat.h>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/frame.h>
#include <ztbase/paths.h>
#include <ztbase/ztconf.h>

#include "config/snapshots/ztconf_internal.h"
#include "config/store/bpconf_internal.h"
#include "config/store/store_stamp.h"
#include "base/zt_status.h"
#include "platform/registry/registry.h"

namespace st = zt::status;
namespace reg = ztbase::registry;
namespace bpconf = ztbase::bpconf;

namespace ztbase::ztconf {
namespace {

enum Kind : int32_t { kHost = 1, kUsers = 2, kReadOnly = 3, kWritable = 4 };

struct Node {
    ZtConfig *config;
    int32_t refCount;
    int64_t storeTime;
    int64_t fileTime;
    int64_t nextCheck;
    // What tss_conf_update_time reports: the store time of the record, moved
    // on by at least one with every re-read, so that consumers comparing it
    // see two changes within one second too.
    int64_t version;
    int32_t key;
    int32_t kind;
    Node *next;
};

constexpr int64_t kCheckInterval = 10;

int64_t system_clock() {
    return int64_t(time(nullptr));
}

std::atomic<Clock> g_clock{system_clock};
std::atomic<int64_t> g_checks{0};
std::atomic<int64_t> g_reads{0};
// The process-wide override and the counter handed out while any override is
// in force.
std::atomic<ZtConfig *> g_override{nullptr};
std::atomic<int64_t> g_counter{0};

const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

[[noreturn]] void die(const char *function, int line, const char *what, int value) {
    logmsgf(ZTLOG_CRITICAL, function, "%s.%d: %s (%d), aborting", base_name(__FILE__), line, what,
            value);
    abort();
}

Node *&head(ztbase_tss_data *b) {
    return reinterpret_cast<Node *&>(b->conf_snapshot_list);
}

Node *find(ztbase_tss_data *b, int key) {
    for (Node *n = head(b); n != nullptr; n = n->next)
        if (n->key == key)
            return n;
    return nullptr;
}

// The nodes of keys 1 and 2, made together on first use: 0 or 36.
int ensure_reserved(ztbase_tss_data *b) {
    if (head(b) != nullptr)
        return 0;
    auto *host = static_cast<Node *>(calloc(1, sizeof(Node)));
    auto *users = static_cast<Node *>(calloc(1, sizeof(Node)));
    if (host == nullptr || users == nullptr) {
        free(host);
        free(users);
        return st::kNoMemory;
    }
    host->key = host->kind = kHost;
    users->key = users->kind = kUsers;
    host->next = users;
    head(b) = host;
    return 0;
}

// The thread's block with its reserved nodes; aborts when they cannot be made.
ztbase_tss_data *prepared_block(const char *function) {
    ztbase_tss_data *b = block();
    int status = b == nullptr ? st::kNoMemory : ensure_reserved(b);
    if (status != 0)
        die(function, __LINE__, "first_bpconf_read failed with", status);
    return b;
}

Node *node_or_die(ztbase_tss_data *b, int key, const char *function) {
    Node *n = find(b, key);
    if (n == nullptr)
        die(function, __LINE__, "get_bpconf_list_node_by_key failed with", st::kNoEntity);
    return n;
}

void drop_record(ZtConfig *&record) {
    bpconf::Record(std::exchange(record, nullptr));
}

// A deep copy marked valid, or null (status in *status).
ZtConfig *copy_of(const ZtConfig *record, int *status) {
    bpconf::Record copy = bpconf::new_record();
    if (!copy) {
        *status = st::kNoMemory;
        return nullptr;
    }
    *status = CopyConfig(copy.get(), record);
    if (*status != 0)
        return nullptr;
    copy->valid = 1;
    return copy.release();
}

// The record a text gives, parsed strictly over the built-in defaults.
ZtConfig *parse_override(const char *text, int *status) {
    if (text == nullptr) {
        *status = st::kInvalidParameter;
        return nullptr;
    }
    bpconf::Record record = bpconf::new_record();
    std::unique_ptr<char, decltype(&free)> scratch(strdup(text), free);
    if (!record || !scratch) {
        *status = st::kNoMemory;
        return nullptr;
    }
    *status = getDefaultConfig(bpconfLocalSource, record.get());
    if (*status == 0)
        *status = ParseConfigExA(scratch.get(), record.get(), nullptr, ZTPARSE_STRICT);
    if (*status != 0)
        return nullptr;
    record->valid = 1;
    return record.release();
}

// Handed-out update times must outrun every store time seen so far.
void seed_counter() {
    int64_t floor = now();
    int64_t current = g_counter.load();
    while (current < floor && !g_counter.compare_exchange_weak(current, floor)) {
    }
}

// The Config key's last-write time costs a store query. A thread remembers it
// with the status of the store's files (database and write-ahead log) taken
// before the query; while the files stay exactly as they were, the answer
// stands. It is only trusted when the files were last written more than a
// second before the query, so that no later write can leave the same time on
// them.
struct RegistryProbe {
    std::string directory;
    reg::Key key;
    bool open = false;
    bpconf::StoreStamp files;
    bool settled = false;
    int64_t ns = 0;
};

// The Config key's last-write time in nanoseconds since 1970 (0 when it
// cannot be read).
int64_t registry_time_ns() {
    thread_local RegistryProbe probe;
    const std::string directory = reg::root_directory(reg::Root::LocalMachine);
    if (directory != probe.directory) {
        probe = RegistryProbe();
        probe.directory = directory;
    }
    const bpconf::StoreStamp files = bpconf::store_stamp(directory);
    if (probe.settled && files.db.present && files == probe.files)
        return probe.ns;

    const int64_t before = bpconf::real_ns();
    int64_t ns = 0;
    reg::Status s = reg::Status::NotFound;
    if (probe.open)
        s = probe.key.last_write(ns);
    if (s != reg::Status::Ok) {
        probe.open = reg::Key::open(reg::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY, probe.key) ==
                     reg::Status::Ok;
        s = probe.open ? probe.key.last_write(ns) : reg::Status::NotFound;
    }
    probe.files = files;
    probe.ns = s == reg::Status::Ok ? ns : 0;
    probe.settled = files.db.present && bpconf::settled(files.newest_ns(), before);
    return probe.ns;
}

int64_t registry_time() {
    return registry_time_ns() / 1000000000;
}

int64_t cluster_file_time_ns() {
    return bpconf::cluster_file_stamp(getFennicString("ZTCL_CONFIG_PATH")).mtime_ns;
}

int64_t cluster_file_time() {
    return cluster_file_time_ns() / 1000000000;
}

// Reads key 1 or 2 into a new record: 0 or the read's status (record null).
int read_record(int key, ZtConfig **out) {
    *out = nullptr;
    bpconf::Record record = bpconf::new_record();
    if (!record)
        return st::kNoMemory;
    int status = key == kHost ? ReadHostConfigExA(bpconfLocalSource, record.get(), nullptr,
                                                  nullptr, nullptr)
                              : ReadUsersConfigExA(bpconfLocalSource, record.get(), nullptr,
                                                   nullptr, nullptr, nullptr);
    g_reads.fetch_add(1, std::memory_order_relaxed);
    if (status != 0)
        return status;
    *out = record.release();
    return 0;
}

// Keeps the store time read; one second lower when it is the present second.
void remember(int64_t current, int64_t &stored, int64_t present) {
    if (stored != current)
        stored = current == present ? current - 1 : current;
}

// A time that moved back is a change too: a store restored from an older copy
// or a cluster-aware file removed must not leave the old snapshot in use.
bool moved(int64_t current, int64_t stored) {
    return current != stored;
}

// True while the thread's snapshot for key is the built-in defaults that a
// failed first read installed.
bool on_defaults(int key) {
    ztbase_tss_data *b = block();
    Node *n = b != nullptr ? find(b, key) : nullptr;
    return n != nullptr && b->thread_conf_reads == 0 && n->storeTime == 1 && n->fileTime == 1 &&
           g_override.load() == nullptr;
}

int take_private(ZtConfig **out, int *key, int32_t kind, const char *function) {
    if (out == nullptr || key == nullptr)
        return st::kInvalidParameter;
    *out = nullptr;
    if (*key == kHost || *key == kUsers) {
        logmsgf(ZTLOG_CRITICAL, function,
                "%s.%d: Reserved access_key (%d) requested in wrong function, aborting",
                base_name(__FILE__), __LINE__, *key);
        abort();
    }
    ztbase_tss_data *b = prepared_block(function);
    if (*key != 0) {
        Node *n = *key > kUsers ? find(b, *key) : nullptr;
        if (n == nullptr || n->kind != kind || n->config == nullptr) {
            logmsgf(ZTLOG_ERROR, function, "access key %d is not a %s snapshot of this thread",
                    *key, kind == kReadOnly ? "read-only" : "writable");
            *key = 0;
            return st::kNoEntity;
        }
        ++n->refCount;
        *out = n->config;
        return 0;
    }
    // The first unreferenced private node is reused, else one is appended.
    int position = 0;
    Node *n = nullptr, *last = nullptr;
    for (Node *it = head(b); it != nullptr; it = it->next) {
        ++position;
        last = it;
        if (position >= 3 && it->refCount == 0) {
            n = it;
            break;
        }
    }
    if (n == nullptr) {
        n = static_cast<Node *>(calloc(1, sizeof(Node)));
        if (n == nullptr) {
            ZTCONF_TRACE(st::kNoMemory);
            return st::kNoMemory;
        }
        n->key = position + 1;
        last->next = n;
    }
    drop_record(n->config);
    n->storeTime = n->fileTime = n->nextCheck = 0;
    n->kind = kind;
    n->refCount = 1;
    int status = read_record(kHost, &n->config);
    if (status != 0) {
        ZTCONF_TRACE(status);
        n->refCount = 0;
        *key = 0;
        return status;
    }
    *key = n->key;
    *out = n->config;
    return 0;
}

} // namespace

void set_clock(Clock clock) {
    g_clock.store(clock != nullptr ? clock : system_clock);
}

int64_t now() {
    return g_clock.load(std::memory_order_relaxed)();
}

bool due(int64_t present, int64_t next, int64_t interval) {
    return present > next || next - present > interval;
}

Counters counters() {
    return {g_checks.load(), g_reads.load()};
}

int64_t store_change_ns() {
    return std::max(registry_time_ns(), cluster_file_time_ns());
}

void forget_times(int key) {
    ztbase_tss_data *b = block();
    Node *n = b != nullptr ? find(b, key) : nullptr;
    if (n != nullptr)
        n->storeTime = n->fileTime = n->nextCheck = 0;
}

ztbase_tss_data *block() {
    ztbase_tss_data *b = nullptr;
    return ztbase_get_tss_data(&b) == 0 ? b : nullptr;
}

bool frozen(const ztbase_tss_data *b) {
    return (b != nullptr && b->thread_conf_reads != 0) ||
           g_override.load(std::memory_order_acquire) != nullptr;
}

void trace(const char *file, int line, const char *function, int status) {
    logmsgf(ZTLOG_DEBUG, function, "%s.%d: %s retval %d", base_name(file), line, function, status);
}

} // namespace ztbase::ztconf

namespace ztbase::ztconf {

void tss_release_conf_info(ztbase_tss_data *b) {
    ztconf_free_info(static_cast<ztconf_info_t *>(b->conf_info));
    b->conf_info = nullptr;
    b->conf_info_next_check = 0;
}

long tss_snapshot_references(const ztbase_tss_data *b) {
    long total = 0;
    for (auto *n = static_cast<const ztconf::Node *>(b->conf_snapshot_list); n != nullptr;
         n = n->next)
        if (n->kind >= ztconf::kReadOnly)
            total += n->refCount;
    if (total != 0)
        logmsgf(ZTLOG_CRITICAL, "tss_snapshot_references",
                "thread ends holding %ld configuration snapshot references, aborting", total);
    return total;
}

void tss_free_snapshot_list(ztbase_tss_data *b) {
    auto *n = static_cast<ztconf::Node *>(b->conf_snapshot_list);
    while (n != nullptr) {
        ztconf::Node *next = n->next;
        ztconf::drop_record(n->config);
        free(n);
        n = next;
    }
    b->conf_snapshot_list = nullptr;
}

const TssConfReleaser *tss_releaser() {
    static constexpr TssConfReleaser kReleaser{tss_release_conf_info, tss_snapshot_references,
                                               tss_free_snapshot_list};
    return &kReleaser;
}

} // namespace ztbase::ztconf

using namespace ztbase::ztconf;

extern "C" {

ZTBASE_API int bpconf_read_into_tss(int key, int force) {
    ztbase_tss_data *b = prepared_block(__func__);
    Node *n = node_or_die(b, key, __func__);
    if (key != kHost && key != kUsers)
        return st::kInvalidParameter;
    if (frozen(b))
        return 0;
    const int64_t present = now();
    if (!force && !due(present, n->nextCheck, kCheckInterval))
        return 0;
    n->nextCheck = present + kCheckInterval;
    g_checks.fetch_add(1, std::memory_order_relaxed);
    const int64_t storeTime = registry_time();
    const int64_t fileTime = key == kHost ? cluster_file_time() : 0;
    if (n->config != nullptr && (storeTime != 0 || fileTime != 0) &&
        !moved(storeTime, n->storeTime) && !moved(fileTime, n->fileTime))
        return 0;

    ZtConfig *fresh = nullptr;
    int status = read_record(key, &fresh);
    if (status != 0) {
        if (n->config != nullptr) {
            logmsgf(ZTLOG_WARNING, __func__,
                    "Unable to read the configuration (status %d); the previous one stays in use",
                    status);
            return status;
        }
        bpconf::Record defaults = bpconf::new_record();
        int dstatus =
            !defaults ? st::kNoMemory : getDefaultConfig(bpconfLocalSource, defaults.get());
        if (dstatus != 0)
            die(__func__, __LINE__, "getDefaultConfig failed with", dstatus);
        defaults->valid = 1;
        n->config = defaults.release();
        n->storeTime = n->fileTime = 1;
        n->version = std::max<int64_t>(n->version + 1, 1);
        logmsgf(ZTLOG_WARNING, __func__,
                "Unable to read the configuration (status %d); using the built-in defaults",
                status);
        return status;
    }
    drop_record(n->config);
    n->config = fresh;
    remember(storeTime, n->storeTime, present);
    remember(fileTime, n->fileTime, present);
    n->version = std::max(n->version + 1, std::max(n->storeTime, n->fileTime));
    if (storeTime == present || fileTime == present)
        n->nextCheck = present;
    return 0;
}

ZTBASE_API int ZT_read_master_config(void) {
    return bpconf_read_into_tss(kHost, 0);
}

ZTBASE_API int ZT_forced_read_master_config(void) {
    return bpconf_read_into_tss(kHost, 1);
}

ZTBASE_API int read_users_config(void) {
    return bpconf_read_into_tss(kUsers, 0);
}

ZTBASE_API int forced_read_users_config(void) {
    return bpconf_read_into_tss(kUsers, 1);
}

ZTBASE_API int bpconf_no_ref(ZtConfig **out, int key) {
    if (out == nullptr || (key != kHost && key != kUsers))
        return st::kInvalidParameter;
    *out = nullptr;
    ztbase_tss_data *b = block();
    if (b == nullptr)
        return st::kNoMemory;
    Node *n = find(b, key);
    if (b->thread_conf_reads != 0 && n != nullptr && n->config != nullptr) {
        *out = n->config;
        return 0;
    }
    if (ZtConfig *global = g_override.load(std::memory_order_acquire)) {
        *out = global;
        return 0;
    }
    int status = 0;
    if (n == nullptr || n->config == nullptr) {
        status = bpconf_read_into_tss(key, 0);
        n = find(b, key);
    }
    if (n == nullptr || n->config == nullptr) // frozen before this key was ever read
        return status != 0 ? status : st::kNoConfig;
    *out = n->config;
    return status;
}

ZTBASE_API ZtConfig *get_master_config_ptr(void) {
    ZtConfig *record = nullptr;
    ZT_read_master_config();
    if (bpconf_no_ref(&record, kHost) != 0 || record == nullptr || on_defaults(kHost)) {
        logmsgf(ZTLOG_CRITICAL, __func__, "%s.%d: Master configuration read failed, aborting",
                base_name(__FILE__), __LINE__);
        abort();
    }
    return record;
}

ZTBASE_API ZtConfig *get_users_config_ptr(void) {
    ZtConfig *record = nullptr;
    read_users_config();
    if (bpconf_no_ref(&record, kUsers) != 0 || record == nullptr || on_defaults(kUsers)) {
        logmsgf(ZTLOG_CRITICAL, __func__, "%s.%d: Users configuration read failed, aborting",
                base_name(__FILE__), __LINE__);
        abort();
    }
    return record;
}

ZTBASE_API int check_master_config_ptr(void) {
    ZtConfig *record = nullptr;
    ZT_read_master_config();
    if (bpconf_no_ref(&record, kHost) != 0 || record == nullptr || on_defaults(kHost)) {
        logmsgf(ZTLOG_CRITICAL, __func__, "%s.%d: Master configuration read failed",
                base_name(__FILE__), __LINE__);
        return 0;
    }
    return 1;
}

ZTBASE_API int bpconf_readonly_ref(ZtConfig **out, int *key) {
    return take_private(out, key, kReadOnly, __func__);
}

ZTBASE_API int bpconf_writeable_ref(ZtConfig **out, int *key) {
    return take_private(out, key, kWritable, __func__);
}

ZTBASE_API int bpconf_decrement_ref_count(int key) {
    ztbase_tss_data *b = prepared_block(__func__);
    Node *n = node_or_die(b, key, __func__);
    if (n->refCount <= 0) {
        logmsgf(ZTLOG_CRITICAL, __func__,
                "%s.%d: bpconf_ref_count_ cannot be decremented from (%d), aborting",
                base_name(__FILE__), __LINE__, n->refCount);
        abort();
    }
    --n->refCount;
    return 0;
}

ZTBASE_API int64_t get_bpconf_update_time(int key) {
    int64_t storeTime = registry_time();
    int64_t fileTime = key == kHost ? cluster_file_time() : 0;
    return storeTime > fileTime ? storeTime : fileTime;
}

ZTBASE_API int64_t tss_conf_update_time(int key) {
    ztbase_tss_data *b = block();
    if (frozen(b))
        return g_counter.fetch_add(1) + 1;
    Node *n = b != nullptr ? find(b, key) : nullptr;
    return n != nullptr ? n->version : 0;
}

ZTBASE_API int bpconf_disable_thread_config_reads_key(const ZtConfig *record, int key) {
    if (record == nullptr || (key != kHost && key != kUsers))
        return st::kInvalidParameter;
    ztbase_tss_data *b = prepared_block(__func__);
    int status = 0;
    ZtConfig *copy = copy_of(record, &status);
    if (copy == nullptr) {
        ZTCONF_TRACE(status);
        return status;
    }
    Node *n = find(b, key);
    drop_record(n->config);
    n->config = copy;
    seed_counter();
    b->thread_conf_reads = 1;
    return 0;
}

ZTBASE_API int bpconf_disable_thread_config_reads(const ZtConfig *record) {
    int status = bpconf_disable_thread_config_reads_key(record, kHost);
    return status != 0 ? status : bpconf_disable_thread_config_reads_key(record, kUsers);
}

ZTBASE_API int bpconf_disable_thread_config_reads_buffer(const char *text) {
    int status = 0;
    ZtConfig *record = parse_override(text, &status);
    if (record == nullptr)
        return status;
    status = bpconf_disable_thread_config_reads(record);
    drop_record(record);
    return status;
}

ZTBASE_API int bpconf_enable_thread_config_reads(void) {
    ztbase_tss_data *b = block();
    if (b == nullptr)
        return st::kNoMemory;
    if (b->thread_conf_reads != 0) {
        // The frozen copies go: the next read takes the store as it is now.
        for (int key : {int(kHost), int(kUsers)}) {
            if (Node *n = find(b, key)) {
                drop_record(n->config);
                n->storeTime = n->fileTime = n->nextCheck = 0;
            }
        }
    }
    b->thread_conf_reads = 0;
    b->conf_info_next_check = 0;
    if (b->conf_info_refs[0] == 0)
        ztbase::ztconf::tss_release_conf_info(b);
    return 0;
}

ZTBASE_API int bpconf_disable_global_config_reads(const ZtConfig *record) {
    if (record == nullptr)
        return st::kInvalidParameter;
    int status = 0;
    ZtConfig *copy = copy_of(record, &status);
    if (copy == nullptr) {
        ZTCONF_TRACE(status);
        return status;
    }
    seed_counter();
    ZtConfig *old = g_override.exchange(copy, std::memory_order_acq_rel);
    drop_record(old);
    return 0;
}

ZTBASE_API int bpconf_disable_global_config_reads_buffer(const char *text) {
    int status = 0;
    ZtConfig *record = parse_override(text, &status);
    if (record == nullptr)
        return status;
    status = bpconf_disable_global_config_reads(record);
    drop_record(record);
    return status;
}

ZTBASE_API int bpconf_enable_global_config_reads(void) {
    ZtConfig *old = g_override.exchange(nullptr, std::memory_order_acq_rel);
    drop_record(old);
    return 0;
}

ZTBASE_API int get_master_server(char *buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return st::kInvalidParameter;
    ztbase_tss_data *b = block();
    if (b == nullptr)
        return st::kNoMemory;
    if (b->master_server == nullptr) {
        ZtConfig *record = nullptr;
        bpconf_no_ref(&record, kHost);
        if (record == nullptr || record->SERVER == nullptr || record->SERVER->host == nullptr ||
            record->SERVER->host[0] == '\0') {
            logmsg(ZTLOG_ERROR, "no master server is configured", __func__);
            return st::kInvalidServer;
        }
        b->master_server = strdup(record->SERVER->host);
        if (b->master_server == nullptr)
            return st::kNoMemory;
    }
    snprintf(buffer, size_t(size), "%s", b->master_server);
    return 0;
}

ZTBASE_API int set_master_server(const char *name) {
    if (name == nullptr)
        return st::kInvalidParameter;
    ztbase_tss_data *b = block();
    if (b == nullptr)
        return st::kNoMemory;
    char *copy = strdup(name);
    if (copy == nullptr)
        return st::kNoMemory;
    free(b->master_server);
    b->master_server = copy;
    return 0;
}

} // extern "C"
