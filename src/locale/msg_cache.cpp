// The message catalogue cache: catalogue paths, the first-use load of a whole
// catalogue file, and the tree of every message loaded.
//
// Catalogue path: MSG_DIR, the locale directory (the common locale name), the
// family directory (by the identifier's last letter: H "hsm", V "volmgr",
// X "xhxms", any other "zentor") and the file "<prefix>Msgs". A unique
// message identifier "V-<file>-<n1>-<n2>..." reads "TrbMsgs.<file>" in the
// "zentor" directory and looks up "TrbErr<number>N", the number being the
// hexadecimal forms of n1, n2, ... written one after the other.
//
// Records are keyed by (identifier, locale, file). Every catalogue file that
// was tried, found or not, is remembered: a message missing from a loaded file
// or a missing file costs no further reads until msgCacheUnload. One mutex
// guards everything; texts are copied out under it.
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>
#include <sys/stat.h>

#include "base/log_sink.h"
#include "locale/messages_internal.h"
#include "locale/msg_catalogue.h"
#include "platform/posix_io.h"
#include "ztbase/avl.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"

namespace ztbase::messages {

namespace {

constexpr size_t kIdLength = 11;
constexpr size_t kMaxLocaleName = 255;
constexpr size_t kMaxUniqueFields = 8;
// A catalogue larger than this is refused (its messages fall back to the
// callers' defaults) rather than held in memory.
constexpr size_t kMaxCatalogue = 16 << 20;

struct Record {
    std::string id, locale, file, text;
    uint64_t serial = 0; // unique for the life of the process
};

int compare_records(const void *key, const void *item) {
    const auto *a = static_cast<const Record *>(key);
    const auto *b = static_cast<const Record *>(item);
    if (int c = a->id.compare(b->id))
        return c;
    if (int c = a->locale.compare(b->locale))
        return c;
    return a->file.compare(b->file);
}

void release_record(void *item) {
    delete static_cast<Record *>(item);
}

std::atomic<int> g_files_read{0};
uint64_t g_next_serial = 1; // under the cache mutex
std::atomic<uint64_t> g_generation{1};

struct Cache {
    std::mutex mutex;
    AVLtree *tree = nullptr;
    std::set<std::string> tried; // "<locale>/<family>/<file>"
};

// Never destroyed: messages are looked up during exit, and the texts handed
// out by getLocalMsgFmt point into it.
std::atomic<Cache *> g_cache{nullptr};
// Made ahead for a child of fork, which should not allocate in its handler.
std::atomic<Cache *> g_spare{nullptr};

// The child of a fork taken while another thread was inside the cache (a
// load holds the mutex while it reads a whole file) would find the mutex
// locked for good. Such a child starts with the spare cache; the old one is
// left as it is, since texts already handed out still point into it. The
// fork does not wait for the cache: a load logs under the mutex, and the log
// takes its own lock before a fork.
void after_fork_in_child() {
    Cache *c = g_cache.load(std::memory_order_relaxed);
    if (c->mutex.try_lock()) {
        c->mutex.unlock();
        return;
    }
    Cache *fresh = g_spare.exchange(nullptr);
    g_cache.store(fresh != nullptr ? fresh : new Cache, std::memory_order_relaxed);
    g_generation.fetch_add(1, std::memory_order_acq_rel);
}

Cache &cache() {
    static Cache *const first = [] {
        auto *c = new Cache;
        g_cache.store(c, std::memory_order_release);
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
        return c;
    }();
    (void)first;
    if (g_spare.load(std::memory_order_acquire) == nullptr) {
        auto *spare = new Cache;
        Cache *none = nullptr;
        if (!g_spare.compare_exchange_strong(none, spare))
            delete spare;
    }
    return *g_cache.load(std::memory_order_acquire);
}

bool alnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A locale name that stays one directory below MSG_DIR.
bool valid_locale(const char *locale) {
    const size_t n = strnlen(locale, kMaxLocaleName + 1);
    if (n == 0 || n > kMaxLocaleName || strcmp(locale, ".") == 0 || strcmp(locale, "..") == 0)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (locale[i] == '/' || static_cast<unsigned char>(locale[i]) < ' ' || locale[i] == 0x7F)
            return false;
    return true;
}

const char *family_dir(char letter) {
    switch (letter) {
    case 'H':
        return "hsm";
    case 'V':
        return "volmgr";
    case 'X':
        return "xhxms";
    default:
        return "zentor";
    }
}

// Where a message lives: its family directory, file and the identifier in it.
struct Place {
    const char *family = "";
    std::string file, id;
};

bool place_of(const char *id, bool unique, Place &out) {
    if (!unique) {
        if (strnlen(id, kIdLength + 1) != kIdLength)
            return false;
        for (size_t i = 0; i < kIdLength; ++i)
            if (!alnum(id[i]))
                return false;
        out.family = family_dir(id[kIdLength - 1]);
        out.file.assign(id, 3);
        out.file += "Msgs";
        out.id.assign(id, kIdLength);
        return true;
    }
    // V-<file>-<n1>-<n2>...
    if (strncmp(id, "V-", 2) != 0)
        return false;
    std::string fields[kMaxUniqueFields];
    size_t count = 0;
    for (const char *p = id + 2;; ++p) {
        if (*p == '-' || *p == '\0') {
            if (fields[count].empty())
                return false;
            ++count;
            if (*p == '\0')
                break;
            if (count == kMaxUniqueFields)
                return false;
        } else if (!alnum(*p) || fields[count].size() >= 32) {
            return false;
        } else {
            fields[count] += *p;
        }
    }
    if (count < 2)
        return false;
    std::string hex;
    for (size_t i = 1; i < count; ++i) {
        errno = 0;
        char *end = nullptr;
        const unsigned long long v = strtoull(fields[i].c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || fields[i][0] == '-')
            return false;
        char part[20];
        snprintf(part, sizeof part, "%llX", v);
        hex += part;
    }
    if (hex.size() > 16)
        return false; // beyond 64 bits
    const unsigned long long number = strtoull(hex.c_str(), nullptr, 16);
    char looked_up[40];
    snprintf(looked_up, sizeof looked_up, "TrbErr%.4lluN", number);
    out.family = family_dir('N');
    out.file = "TrbMsgs." + fields[0];
    out.id = looked_up;
    return true;
}

// Whether a line of a file belongs to it: a catalogue file holds the messages
// of its prefix and family only.
bool belongs(const Place &place, const std::string &id) {
    if (place.file.compare(0, 8, "TrbMsgs.") == 0)
        return id.compare(0, 6, "TrbErr") == 0 && id.back() == 'N';
    return id.size() == kIdLength && id.compare(0, 3, place.id, 0, 3) == 0 &&
           strcmp(family_dir(id.back()), place.family) == 0;
}

// Reads one catalogue file into the tree. Called with the mutex held.
void load_locked(Cache &c, const std::string &locale, const Place &place) {
    constexpr const char *fn = "msg_cache_load";
    const std::string key = locale + "/" + place.family + "/" + place.file;
    if (!c.tried.insert(key).second)
        return;
    ++g_files_read;
    const std::string sep = getFennicString("_ps");
    const std::string dir = std::string(getFennicString("MSG_DIR")) + sep + locale;
    struct stat sb;
    if (stat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        logsink::logf(ZTLOG_DEBUG, 3, fn, "no message directory %s", dir.c_str());
        return;
    }
    const std::string path = dir + sep + place.family + sep + place.file;
    std::string bytes;
    if (int rc = pio::read_regular_file(path.c_str(), kMaxCatalogue, bytes); rc != 0) {
        logsink::logf(rc == ENOENT ? ZTLOG_DEBUG : ZTLOG_WARNING, 3, fn,
                      "catalogue %s not read: errno %d", path.c_str(), rc);
        return;
    }
    if (c.tree == nullptr && (c.tree = AVLopen(compare_records, release_record)) == nullptr)
        return;
    msgcat::CharSet charset(codeset_of(real_name(locale)));
    size_t count = 0;
    msgcat::parse_catalogue(bytes, charset, [&](msgcat::Message &&m) {
        if (!belongs(place, m.id))
            return;
        auto *r = new Record{std::move(m.id), locale, place.file, std::move(m.text), 0};
        if (AVLinsert(c.tree, r) != r) {
            delete r; // the first line of an identifier holds
        } else {
            r->serial = g_next_serial++;
            ++count;
        }
    });
    logsink::logf(ZTLOG_DEBUG, 3, fn, "%zu messages from %s", count, path.c_str());
}

const Record *find_locked(Cache &c, const char *locale, const char *id, bool unique) {
    thread_local Place place; // its strings keep their capacity
    thread_local Record key;
    if (locale == nullptr || id == nullptr || !valid_locale(locale) || !place_of(id, unique, place))
        return nullptr;
    key.id.assign(place.id);
    key.locale.assign(locale);
    key.file.assign(place.file);
    if (c.tree != nullptr)
        if (auto *r = static_cast<const Record *>(AVLretrieve(c.tree, &key)))
            return r;
    load_locked(c, locale, place);
    return c.tree != nullptr ? static_cast<const Record *>(AVLretrieve(c.tree, &key)) : nullptr;
}

} // namespace

bool find_text(const char *locale, const char *id, bool unique, std::string &out,
               uint64_t *record) {
    Cache &c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    const Record *r = find_locked(c, locale, id, unique);
    if (r == nullptr)
        return false;
    out.assign(r->text);
    if (record != nullptr)
        *record = r->serial;
    return true;
}

const char *find_text_pointer(const char *locale, const char *id, bool unique) {
    Cache &c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    const Record *r = find_locked(c, locale, id, unique);
    return r != nullptr ? r->text.c_str() : nullptr;
}

uint64_t generation() {
    return g_generation.load(std::memory_order_acquire);
}

int files_read() {
    return g_files_read.load();
}

void unload() {
    Cache &c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    g_generation.fetch_add(1, std::memory_order_acq_rel);
    AVLclose(c.tree);
    c.tree = nullptr;
    c.tried.clear();
}

} // namespace ztbase::messages

extern "C" ZTBASE_API const char *getLocalMsgFmt(const char *locale, const char *id) {
    return ztbase::messages::find_text_pointer(locale, id, false);
}

extern "C" ZTBASE_API const char *getLocalMsgFmtUMI(const char *locale, const char *id) {
    return ztbase::messages::find_text_pointer(locale, id, true);
}

extern "C" ZTBASE_API void msgCacheUnload(void) {
    ztbase::messages::unload();
}
