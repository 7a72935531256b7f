// The file cache's files: names, the body's writer and reader, and the checks
// that keep a planted or foreign file from steering lookups (see the header).
#include "vnet/vnet_file_cache.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <netinet/in.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <ctime>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_io.h"
#include "ztbase/debuglog.h"
#include "ztbase/vtext.h"

namespace zt::vnet::filecache {
namespace pio = ztbase::pio;
using resolve::kMaxAddrBytes;

namespace {

constexpr size_t kMaxFileBytes = 256 * 1024;
constexpr size_t kNameCut = 251;
constexpr long long kLatestTime = 253402300799; // 9999-12-31 23:59:59 UTC
constexpr size_t kWindowsPathLimit = 260; // full paths are kept below it
const char kNext[] = "ADDRINFO_NEXT";
const char kEnd[] = "ADDRINFO_END";
const char kNoCanon[] = "_NULL_CANONNAME_";
const char kNoAddr[] = "_NULL_ADDRSTR_";
// Flags stored in the file; 5, 6 and 8 are recomputed in each process.
constexpr int kFileFlags[] = {0, 1, 2, 3, 4, 7, 9, 10, 11, 12, 13};

const char *text_or_null(bool has, const std::string &text) {
    return has ? text.c_str() : "(null)";
}

void append(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void append(std::string &out, const char *format, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (size_t(n) < sizeof buf) {
        out.append(buf, size_t(n));
        return;
    }
    std::string big(size_t(n) + 1, '\0');
    va_start(ap, format);
    vsnprintf(big.data(), big.size(), format, ap);
    va_end(ap);
    big.resize(size_t(n));
    out += big;
}

// Lines of a body; every line must end in "\n".
class Lines {
  public:
    explicit Lines(std::string_view text) : text_(text) {}
    bool done() const { return pos_ >= text_.size(); }
    // The next line without its "\n"; false (logged) when there is none.
    bool next(std::string_view &line, const char *tag) {
        if (done()) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] no next line", __FILE_NAME__, __LINE__);
            return false;
        }
        size_t nl = text_.find('\n', pos_);
        if (nl == std::string_view::npos) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] no new-line", __FILE_NAME__, __LINE__);
            return false;
        }
        line = text_.substr(pos_, nl - pos_);
        pos_ = nl + 1;
        if (line.empty()) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] empty line", __FILE_NAME__, __LINE__);
            return false;
        }
        if (line.find('\0') != std::string_view::npos) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] unexpected line", __FILE_NAME__, __LINE__);
            return false;
        }
        return true;
    }

  private:
    std::string_view text_;
    size_t pos_ = 0;
};

// A whole line as a decimal integer within [lo, hi].
bool decimal(std::string_view line, long long lo, long long hi, long long &out, const char *tag) {
    std::string s(line);
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(s.c_str(), &end, 10);
    if (s.empty() || end == s.c_str() || *end != '\0' || errno != 0 || v < lo || v > hi ||
        !(s[0] == '-' || (s[0] >= '0' && s[0] <= '9'))) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] not a decimal integer", __FILE_NAME__, __LINE__);
        return false;
    }
    out = v;
    return true;
}

bool starts(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

// "a;b;c..." into at most n fields; the last takes the rest.
size_t split(std::string_view text, std::string_view *fields, size_t n) {
    size_t count = 0;
    while (count + 1 < n) {
        size_t semi = text.find(';');
        if (semi == std::string_view::npos)
            break;
        fields[count++] = text.substr(0, semi);
        text = text.substr(semi + 1);
    }
    fields[count++] = text;
    return count;
}

bool field_int(std::string_view f, long long lo, long long hi, long long &out) {
    if (f.empty() || f.size() > 20 || !(f[0] == '-' || (f[0] >= '0' && f[0] <= '9')))
        return false;
    std::string s(f);
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(s.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

const char kParseTag[] = "file_to_cache_item";

bool bad_block_line(std::string_view line, long i, long count) {
    std::string l(line);
    logmsgf(ZTLOG_ERROR, kParseTag, "[%s:%d] not an ADDRINFO line, %s, i=%ld, INFO_ENTRIES_COUNT=%ld",
            __FILE_NAME__, __LINE__, l.c_str(), i, count);
    return false;
}

bool parse_basics(std::string_view line, vnet_addrinfo &e) {
    constexpr std::string_view kPrefix = "BASICS=";
    std::string_view f[5];
    long long flags = 0, socktype = 0, protocol = 0, ms = 0;
    size_t n = starts(line, kPrefix) ? split(line.substr(kPrefix.size()), f, 5) : 0;
    bool ok = n == 5 && field_int(f[0], INT32_MIN, INT32_MAX, flags) &&
              field_int(f[1], INT32_MIN, INT32_MAX, socktype) &&
              field_int(f[2], INT32_MIN, INT32_MAX, protocol) &&
              field_int(f[3], 0, UINT32_MAX, ms) && !f[4].empty();
    if (!ok) {
        std::string l(line);
        const char *rest = l.size() >= kPrefix.size() ? l.c_str() + kPrefix.size() : "";
        logmsgf(ZTLOG_ERROR, kParseTag,
                "[%s:%d] malformed BASICS line, current_line=%s, ret=%d, ie_read_count=%d, "
                "ie_line_start_len=%ld, &current_line[info_entry->ie_line_start_len]=%s, line "
                "format=%s",
                __FILE_NAME__, __LINE__, l.c_str(), int(n), 5, long(kPrefix.size()), rest,
                "%d;%d;%d;%lu;%s");
        return false;
    }
    e.ai_flags = int(flags);
    e.ai_socktype = int(socktype);
    e.ai_protocol = int(protocol);
    e.lookup_milliseconds = uint32_t(ms);
    if (f[4] != kNoCanon)
        e.ai_canonname = strndup(f[4].data(), f[4].size());
    return f[4] == kNoCanon || e.ai_canonname != nullptr;
}

bool parse_sockaddr(std::string_view line, vnet_addrinfo &e, long i, long count) {
    constexpr std::string_view kPrefix = "SOCKADDR=";
    std::string_view f[3];
    long long family = 0, len = 0;
    if (!starts(line, kPrefix) || split(line.substr(kPrefix.size()), f, 3) != 3 ||
        !field_int(f[0], 0, 65535, family) || !field_int(f[1], 0, long(kMaxAddrBytes), len))
        return bad_block_line(line, i, count);
    e.ai_family = int(family);
    if (f[2] == kNoAddr)
        return len == 0 || bad_block_line(line, i, count);
    if (len == 0 || f[2].size() != size_t(len) * 2)
        return bad_block_line(line, i, count);
    unsigned char bytes[kMaxAddrBytes];
    for (long long k = 0; k < len; ++k) {
        int hi = hex_digit(f[2][size_t(k) * 2]), lo = hex_digit(f[2][size_t(k) * 2 + 1]);
        if (hi < 0 || lo < 0)
            return bad_block_line(line, i, count);
        bytes[k] = static_cast<unsigned char>(hi << 4 | lo);
    }
    // The stored structure must be the address of its own family.
    sockaddr_storage ss{};
    memcpy(&ss, bytes, size_t(len));
    size_t want = family == AF_INET ? sizeof(sockaddr_in) : family == AF_INET6 ? sizeof(sockaddr_in6) : 0;
    if (want == 0 || size_t(len) != want || ss.ss_family != family)
        return bad_block_line(line, i, count);
    e.ai_addr = static_cast<sockaddr *>(malloc(size_t(len)));
    if (e.ai_addr == nullptr)
        return false;
    memcpy(e.ai_addr, bytes, size_t(len));
    e.ai_addrlen = socklen_t(len);
    return true;
}

bool parse_flags(std::string_view line, vnet_addrinfo &e, long i, long count) {
    constexpr std::string_view kPrefix = "CACHED_FLAGS=";
    std::string_view f[11];
    if (!starts(line, kPrefix) || split(line.substr(kPrefix.size()), f, 11) != 11)
        return bad_block_line(line, i, count);
    for (size_t k = 0; k < 11; ++k) {
        long long v = 0;
        if (!field_int(f[k], INT32_MIN, INT32_MAX, v))
            return bad_block_line(line, i, count);
        e.cached_flags[kFileFlags[k]] = int32_t(v);
    }
    return true;
}

// "PREFIX=%d;%ld": known flag and count.
bool parse_list_head(std::string_view line, std::string_view prefix, bool &known, long &n, long i,
                     long count) {
    std::string_view f[2];
    long long k = 0, c = 0;
    if (!starts(line, prefix) || split(line.substr(prefix.size()), f, 2) != 2 ||
        !field_int(f[0], 0, 1, k) || !field_int(f[1], 0, LONG_MAX, c) || (k == 0 && c != 0))
        return bad_block_line(line, i, count);
    known = k == 1;
    n = long(c);
    return true;
}

bool parse_block(Lines &lines, vnet_addrinfo &e, long i, long count) {
    std::string_view line;
    if (!lines.next(line, kParseTag) || !parse_basics(line, e))
        return false;
    if (!lines.next(line, kParseTag) || !parse_sockaddr(line, e, i, count))
        return false;
    if (!lines.next(line, kParseTag) || !parse_flags(line, e, i, count))
        return false;
    bool known = false;
    long n = 0;
    if (!lines.next(line, kParseTag) || !parse_list_head(line, "HOST_UUIDS=", known, n, i, count))
        return false;
    if (known) {
        e.host_uuids = static_cast<vnet_uuid_list *>(calloc(1, sizeof(vnet_uuid_list)));
        if (e.host_uuids == nullptr)
            return false;
    }
    // Counts are never trusted for allocation: the list grows line by line.
    for (long k = 0; k < n; ++k) {
        vnet_uuid u;
        if (!lines.next(line, kParseTag)) {
            logmsgf(ZTLOG_ERROR, kParseTag, "[%s:%d] not enough lines", __FILE_NAME__, __LINE__);
            return false;
        }
        if (line.size() != 31 || vnet_string_to_uuid(std::string(line).c_str(), &u) != 0)
            return bad_block_line(line, i, count);
        auto *grown = static_cast<vnet_uuid *>(
            realloc(e.host_uuids->uuids, sizeof(vnet_uuid) * size_t(e.host_uuids->count + 1)));
        if (grown == nullptr)
            return false;
        e.host_uuids->uuids = grown;
        e.host_uuids->uuids[e.host_uuids->count++] = u;
    }
    if (!lines.next(line, kParseTag) || !parse_list_head(line, "UUID_HOSTS=", known, n, i, count))
        return false;
    if (known) {
        e.uuid_hosts = static_cast<vnet_name_list *>(calloc(1, sizeof(vnet_name_list)));
        if (e.uuid_hosts == nullptr)
            return false;
    }
    for (long k = 0; k < n; ++k) {
        if (!lines.next(line, kParseTag)) {
            logmsgf(ZTLOG_ERROR, kParseTag, "[%s:%d] not enough lines", __FILE_NAME__, __LINE__);
            return false;
        }
        auto *grown = static_cast<char **>(
            realloc(e.uuid_hosts->names, sizeof(char *) * size_t(e.uuid_hosts->count + 1)));
        if (grown == nullptr)
            return false;
        e.uuid_hosts->names = grown;
        char *copy = strndup(line.data(), line.size());
        if (copy == nullptr)
            return false;
        e.uuid_hosts->names[e.uuid_hosts->count++] = copy;
    }
    return true;
}

bool owner_ok(const struct stat &st) {
    return (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Logs each refused path once per process (bounded).
void refuse_once(const std::string &path, const char *why) {
    static std::mutex *mu = [] {
        auto *m = new std::mutex;
        resolve::hold_across_fork(m);
        return m;
    }();
    static std::set<std::string> seen;
    std::lock_guard<std::mutex> lock(*mu);
    if (seen.size() >= 1000 || !seen.insert(path).second)
        return;
    logmsgf(ZTLOG_WARNING, "file_to_cache_item", "[%s:%d] ignoring host cache entry PATH=%s: %s",
            __FILE_NAME__, __LINE__, path.c_str(), why);
}

std::string hex_crc(uint32_t v, const char *format) {
    char buf[16];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

// The cache directory must exist (nothing is made above it); the entry
// directory is made 0755 when missing, never through a link.
// Its mode is set by the caller through the descriptor it opens: a path-based
// chmod would follow a link swapped in after the mkdir.
int make_entry_dir(const std::string &cache_dir, const std::string &dir, const char *tag,
                   bool &made) {
    made = false;
    struct stat st;
    if (stat(cache_dir.c_str(), &st) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] stat() failed ERRNO=%d PATH=%s", __FILE_NAME__,
                __LINE__, errno, cache_dir.c_str());
        return VNET_STAT_FAILED;
    }
    if (!S_ISDIR(st.st_mode)) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] not a directory PATH=%s", __FILE_NAME__, __LINE__,
                cache_dir.c_str());
        return VNET_NOT_DIRECTORY;
    }
    if (mkdir(dir.c_str(), 0755) == 0) {
        made = true;
    } else if (errno != EEXIST) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] vnet_mkdirpath() failed ERRNO=%d PATH=%s",
                __FILE_NAME__, __LINE__, errno, dir.c_str());
        return VNET_MKDIR_FAILED;
    }
    return VNET_SUCCESS;
}

} // namespace

std::string key_string(const AddrKey &key) {
    std::string out;
    append(out, "%s,%s,%d,%x,%x,%x,%x", text_or_null(key.has_name, key.name),
           text_or_null(key.has_service, key.service), key.hints_given, unsigned(key.flags),
           unsigned(key.family), unsigned(key.socktype), unsigned(key.protocol));
    return out;
}

std::string safe_name(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        char m;
        if (c >= 128)
            m = '@';
        else if (c == ' ')
            m = '^';
        else if (c < 32 || c == 127)
            m = '!';
        else if (c == '/')
            m = '~';
        else if (c == '\\')
            m = '`';
        else if (c == ':')
            m = ';';
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '%' || c == '_' || c == '-')
            m = char(c);
        else
            m = '$';
        out += m;
    }
    return out;
}

uint32_t masked_crc(const AddrKey &key, int bits) {
    uint32_t crc = vnet_crc32(key.name.c_str());
    if (bits >= 1 && bits <= 31)
        crc &= (uint32_t(1) << bits) - 1;
    return crc;
}

Location locate(const std::string &cache_dir, const AddrKey &key, int bits) {
    uint32_t crc = masked_crc(key, bits);
    Location loc;
    loc.dir = cache_dir + "/" + hex_crc(crc & 0x1ff, "%03x");
    std::string name;
    append(name, "%x+%s,%d,%x,%x,%x,%x+%s", crc,
           safe_name(text_or_null(key.has_service, key.service)).c_str(), key.hints_given,
           unsigned(key.flags), unsigned(key.family), unsigned(key.socktype),
           unsigned(key.protocol), safe_name(text_or_null(key.has_name, key.name)).c_str());
    if (name.size() > kNameCut)
        name.resize(kNameCut);
    name += ".txt";
    size_t full = loc.dir.size() + 1 + name.size();
    if (full >= kWindowsPathLimit && loc.dir.size() + 1 < 255) {
        name.resize(255 - loc.dir.size() - 1);
        name += ".txt";
    }
    loc.file = name;
    return loc;
}

std::string format_body(const std::string &key, const AddrItem &item) {
    std::string out;
    append(out, "%s\n%" PRId64 "\n%d\n%lu\n", key.c_str(), int64_t(item.created), item.code,
           static_cast<unsigned long>(item.milliseconds));
    for (const vnet_addrinfo *e = item.list.get(); e != nullptr; e = e->ai_next) {
        append(out, "%s\nBASICS=%d;%d;%d;%lu;%s\n", kNext, e->ai_flags, e->ai_socktype,
               e->ai_protocol, static_cast<unsigned long>(e->lookup_milliseconds),
               e->ai_canonname != nullptr ? e->ai_canonname : kNoCanon);
        append(out, "SOCKADDR=%d;%ld;", e->ai_family, long(e->ai_addr != nullptr ? e->ai_addrlen : 0));
        if (e->ai_addr == nullptr || e->ai_addrlen == 0) {
            out += kNoAddr;
        } else {
            const auto *b = reinterpret_cast<const unsigned char *>(e->ai_addr);
            for (socklen_t k = 0; k < e->ai_addrlen; ++k)
                append(out, "%02x", b[k]);
        }
        out += "\nCACHED_FLAGS=";
        for (size_t k = 0; k < 11; ++k)
            append(out, k == 0 ? "%d" : ";%d", e->cached_flags[kFileFlags[k]]);
        append(out, "\nHOST_UUIDS=%d;%ld\n", e->host_uuids != nullptr ? 1 : 0,
               e->host_uuids != nullptr ? e->host_uuids->count : 0L);
        for (long k = 0; e->host_uuids != nullptr && k < e->host_uuids->count; ++k) {
            char text[40];
            vnet_uuid_to_string(&e->host_uuids->uuids[k], text, sizeof text);
            append(out, "%s\n", text);
        }
        append(out, "UUID_HOSTS=%d;%ld\n", e->uuid_hosts != nullptr ? 1 : 0,
               e->uuid_hosts != nullptr ? e->uuid_hosts->count : 0L);
        for (long k = 0; e->uuid_hosts != nullptr && k < e->uuid_hosts->count; ++k)
            append(out, "%s\n", e->uuid_hosts->names[k]);
    }
    append(out, "%s\n", kEnd);
    return out;
}

Read parse_body(std::string_view text, const std::string &key, AddrItem &item) {
    Lines lines(text);
    std::string_view line;
    if (!lines.next(line, kParseTag))
        return Read::Malformed;
    if (line != key) {
        std::string got(line.substr(0, 1024));
        logmsgf(ZTLOG_ERROR, kParseTag, "[%s:%d] key_string mismatch EXPECTED=%s GOT=%s",
                __FILE_NAME__, __LINE__, key.c_str(), got.c_str());
        return Read::Mismatch;
    }
    long long created = 0, code = 0, ms = 0;
    // Creation times end with the year 9999: later ones would overflow the
    // sums that weigh them against the lifetime.
    if (!lines.next(line, kParseTag) || !decimal(line, 0, kLatestTime, created, kParseTag) ||
        !lines.next(line, kParseTag) || !decimal(line, INT32_MIN, INT32_MAX, code, kParseTag) ||
        !lines.next(line, kParseTag) || !decimal(line, 0, UINT32_MAX, ms, kParseTag))
        return Read::Malformed;
    resolve::List list;
    vnet_addrinfo **tail = nullptr;
    long count = 0;
    for (;;) {
        if (!lines.next(line, kParseTag))
            return Read::Malformed;
        if (line == kEnd)
            break;
        if (line != kNext) {
            std::string l(line.substr(0, 1024));
            logmsgf(ZTLOG_ERROR, kParseTag, "[%s:%d] unexpected line %s", __FILE_NAME__,
                    __LINE__, l.c_str());
            return Read::Malformed;
        }
        vnet_addrinfo *e = resolve::new_entry();
        if (e == nullptr)
            return Read::Malformed;
        if (!list)
            list.reset(e);
        else
            *tail = e;
        tail = &e->ai_next;
        if (!parse_block(lines, *e, count, count + 1))
            return Read::Malformed;
        ++count;
    }
    if (!lines.done()) {
        logmsgf(ZTLOG_ERROR, kParseTag, "[%s:%d] unexpected line after %s", __FILE_NAME__,
                __LINE__, kEnd);
        return Read::Malformed;
    }
    if ((code == 0) != (count > 0)) {
        logmsgf(ZTLOG_ERROR, kParseTag, "[%s:%d] not enough lines", __FILE_NAME__, __LINE__);
        return Read::Malformed;
    }
    item.list = std::move(list);
    item.code = int(code);
    item.milliseconds = uint32_t(ms);
    item.created = time_t(created);
    return Read::Hit;
}

namespace {

// Entry directories found sound are trusted for kTrustSeconds, so that a
// lookup answered from the file needs no look at its directory: only root or
// the owner can change a sound directory, and they are trusted anyway.
constexpr int64_t kTrustSeconds = 10;
std::map<std::string, int64_t> g_trusted;

std::mutex &trust_mu() {
    static std::mutex *mu = [] {
        auto *m = new std::mutex;
        resolve::hold_across_fork(m);
        return m;
    }();
    return *mu;
}

int64_t monotonic_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

bool recently_trusted(const std::string &dir) {
    std::lock_guard<std::mutex> lock(trust_mu());
    auto it = g_trusted.find(dir);
    return it != g_trusted.end() && monotonic_seconds() - it->second < kTrustSeconds;
}

void trust(const std::string &dir) {
    std::lock_guard<std::mutex> lock(trust_mu());
    if (g_trusted.size() >= 4096)
        g_trusted.clear();
    g_trusted[dir] = monotonic_seconds();
}

// Opens dir/file with the ownership and type checks; the text in `text`.
// Four system calls (five when the directory is looked at): a lookup answered
// from the file stays cheaper than the resolver even where every call is costly.
Read load(const std::string &dir_path, const std::string &file, std::string &text) {
    const std::string path = dir_path + "/" + file;
    struct stat st;
    if (!recently_trusted(dir_path)) {
        if (lstat(dir_path.c_str(), &st) != 0) {
            if (errno == ENOENT)
                return Read::Missing;
            refuse_once(dir_path, strerror(errno));
            return Read::Refused;
        }
        if (!S_ISDIR(st.st_mode)) {
            refuse_once(dir_path, "not a directory");
            return Read::Refused;
        }
        if (!owner_ok(st)) {
            refuse_once(dir_path, "directory owned or writable by another user");
            return Read::Refused;
        }
        trust(dir_path);
    }
    // Never through a link, never blocking on a FIFO; a regular file ignores
    // O_NONBLOCK for its reads.
    pio::Fd fd = pio::open_fd(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (!fd) {
        if (errno == ENOENT)
            return Read::Missing;
        refuse_once(path, errno == ELOOP ? "a link" : strerror(errno));
        return Read::Refused;
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        refuse_once(path, "not a regular file");
        return Read::Refused;
    }
    if (!owner_ok(st)) {
        refuse_once(path, "file owned or writable by another user");
        return Read::Refused;
    }
    if (size_t(st.st_size) > kMaxFileBytes) {
        refuse_once(path, "file too large");
        return Read::Refused;
    }
    // Entries are replaced by rename, never changed in place: the size read
    // by fstat is the whole entry.
    text.assign(size_t(st.st_size), '\0');
    size_t got = 0;
    if (pio::read_all(fd.get(), text.data(), text.size(), &got) != 0) {
        logmsgf(ZTLOG_ERROR, kParseTag, "[%s:%d] read() failed ERRNO=%d PATH=%s", __FILE_NAME__,
                __LINE__, errno, path.c_str());
        return Read::Malformed;
    }
    text.resize(got);
    return Read::Hit;
}

} // namespace

void forget_trusted_dirs() {
    std::lock_guard<std::mutex> lock(trust_mu());
    g_trusted.clear();
}

Read read_entry(const std::string &cache_dir, const AddrKey &key, int bits, AddrItem &item) {
    Location loc = locate(cache_dir, key, bits);
    std::string text;
    Read r = load(loc.dir, loc.file, text);
    return r == Read::Hit ? parse_body(text, key_string(key), item) : r;
}

Read read_file(const std::string &path, std::string &key, AddrItem &item) {
    size_t slash = path.rfind('/');
    std::string text;
    Read r = slash == std::string::npos ? load(".", path, text)
                                        : load(path.substr(0, slash), path.substr(slash + 1), text);
    if (r != Read::Hit)
        return r;
    key = text.substr(0, text.find('\n'));
    return parse_body(text, key, item);
}

int write_entry(const std::string &cache_dir, const AddrKey &key, int bits, const AddrItem &item) {
    const char *tag = "cache_item_to_file";
    std::string body = format_body(key_string(key), item);
    // A text holding a line end would shift every later line.
    size_t lines = 0;
    for (char c : body)
        lines += c == '\n';
    size_t expected = 5;
    for (const vnet_addrinfo *e = item.list.get(); e != nullptr; e = e->ai_next)
        expected += 6 + size_t(e->host_uuids ? e->host_uuids->count : 0) +
                    size_t(e->uuid_hosts ? e->uuid_hosts->count : 0);
    if (lines != expected || body.find('\0') != std::string::npos) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] a text holds a line end, entry not written NAME=%s",
                __FILE_NAME__, __LINE__, key.name.c_str());
        return VNET_BAD_PARAM;
    }
    Location loc = locate(cache_dir, key, bits);
    bool made = false;
    if (int rc = make_entry_dir(cache_dir, loc.dir, tag, made); rc != VNET_SUCCESS)
        return rc;
    pio::Fd dir = pio::open_directory(loc.dir.c_str());
    if (!dir) {
        int e = errno;
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] open() failed ERRNO=%d PATH=%s", __FILE_NAME__,
                __LINE__, e, loc.dir.c_str());
        return e == ENOENT ? VNET_STAT_FAILED : VNET_NOT_DIRECTORY;
    }
    struct stat st;
    // A directory just made gets 0755 whatever the umask; the check below then
    // sees the mode readers will see.
    if (made && fstat(dir.get(), &st) == 0 && st.st_uid == geteuid())
        fchmod(dir.get(), 0755);
    if (fstat(dir.get(), &st) != 0 || !owner_ok(st)) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] directory owned or writable by another user PATH=%s",
                __FILE_NAME__, __LINE__, loc.dir.c_str());
        return VNET_STAT_FAILED;
    }
    char *tmp_path = V_tempnam(loc.dir.c_str(), "ainfo");
    if (tmp_path == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] V_tempnam() failed", __FILE_NAME__, __LINE__);
        return VNET_MALLOC_FAILED;
    }
    std::string tmp = vnet_log_basename(tmp_path);
    std::string tmp_full = tmp_path;
    free(tmp_path);
    int fd = openat(dir.get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0644);
    if (fd < 0) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] fopen() failed ERRNO=%d PATH=%s", __FILE_NAME__,
                __LINE__, errno, tmp_full.c_str());
        return VNET_OPEN_FAILED;
    }
    pio::Fd file(fd);
    int status = VNET_SUCCESS;
    if (fchmod(file.get(), 0644) != 0 || pio::write_all(file.get(), body.data(), body.size()) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] fprintf() failed ERRNO=%d PATH=%s", __FILE_NAME__,
                __LINE__, errno, tmp_full.c_str());
        status = VNET_WRITE_FAILED;
    } else if (!file.close()) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] fclose() failed ERRNO=%d PATH=%s", __FILE_NAME__,
                __LINE__, errno, tmp_full.c_str());
        status = VNET_WRITE_FAILED;
    } else if (renameat(dir.get(), tmp.c_str(), dir.get(), loc.file.c_str()) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] rename() failed ERRNO=%d PATH=%s", __FILE_NAME__,
                __LINE__, errno, loc.path().c_str());
        status = VNET_RENAME_FAILED;
    }
    if (status != VNET_SUCCESS)
        unlinkat(dir.get(), tmp.c_str(), 0);
    return status;
}

} // namespace zt::vnet::filecache
