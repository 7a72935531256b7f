// The configuration file: sections "[*]", "[PRODUCT]", "[PRODUCT.ORIGINATOR]"
// with KEY = VALUE lines; a cache that re-reads the file when it changes; the
// process-wide paths.
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>

#include "hxul_internal.h"
#include "platform/posix_io.h"

struct hlvnLogCfg {
    hxul::Settings s;
};

namespace hxul {
namespace {

constexpr size_t kMaxConfigBytes = 1024 * 1024;

std::mutex g_paths_mutex;
std::string g_config_file = "/usr/quill/hxul/hxul.conf";
std::string g_logs_dir = "/usr/quill/hxul/logs";
// The texts handed out by the getters stay valid until the next set.
std::string g_config_file_out, g_logs_dir_out;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool to_long(std::string_view v, long lo, long hi, long &out) {
    long x = 0;
    auto r = std::from_chars(v.data(), v.data() + v.size(), x);
    if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size() || x < lo || x > hi)
        return false;
    out = x;
    return true;
}

bool key_is(std::string_view k, const char *name) {
    return k.size() == strlen(name) && strncasecmp(k.data(), name, k.size()) == 0;
}

// Applies one KEY = VALUE; false when the key is unknown or the value bad.
bool apply(Settings &s, std::string_view key, std::string_view value) {
    long n = 0;
    if (key_is(key, "DebugLevel") && to_long(value, 0, 6, n))
        s.debug_level = int(n);
    else if (key_is(key, "DiagLevel") && to_long(value, 0, 6, n))
        s.diag_level = int(n);
    else if (key_is(key, "MaxFileSize") && to_long(value, 1, 16L * 1024 * 1024, n))
        s.max_kb = n;
    else if (key_is(key, "NumberOfLogFiles") && to_long(value, 0, 100000, n))
        s.num_files = n;
    else if (key_is(key, "Recycling") && to_long(value, 0, 1, n))
        s.recycling = int(n);
    else if (key_is(key, "L10NResourceDir") && !value.empty())
        s.resdir = value, s.has_resdir = true;
    else if (key_is(key, "L10NResource") && !value.empty())
        s.resource = value, s.has_resource = true;
    else if (key_is(key, "L10NLibrary") && !value.empty())
        s.library = value, s.has_library = true;
    else
        return false;
    return true;
}

// A section header's scope: 0 every log, 1 a product, 2 a product and
// originator; -1 when it names another product or originator, -2 when bad.
int scope_of(std::string_view name, unsigned long product, unsigned long originator) {
    name = trim(name);
    if (name == "*")
        return 0;
    const size_t dot = name.find('.');
    unsigned long p = 0, o = 0;
    auto num = [](std::string_view v, unsigned long &out) {
        auto r = std::from_chars(v.data(), v.data() + v.size(), out);
        return !v.empty() && r.ec == std::errc() && r.ptr == v.data() + v.size();
    };
    if (dot == std::string_view::npos)
        return num(name, p) ? (p == product ? 1 : -1) : -2;
    if (!num(name.substr(0, dot), p) || !num(name.substr(dot + 1), o))
        return -2;
    return p == product && o == originator ? 2 : -1;
}

// The cache of the configuration file: its text, and what identifies it.
struct FileCache {
    std::mutex m;
    std::string path;
    bool present = false;
    bool readable = true;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    std::shared_ptr<const std::string> text = std::make_shared<std::string>();
    uint64_t gen = 1;
    int64_t last_look = INT64_MIN;
};

FileCache &cache() {
    static FileCache *c = new FileCache; // never destroyed: writers may log at exit
    return *c;
}

// Looks at the file (cache mutex held) and re-reads it when it changed.
void refresh_locked(FileCache &c) {
    const std::string path = config_file();
    struct stat sb;
    const bool present = ::stat(path.c_str(), &sb) == 0;
    if (present == c.present && path == c.path &&
        (!present || (sb.st_dev == c.dev && sb.st_ino == c.ino && sb.st_size == c.size &&
                      sb.st_mtim.tv_sec == c.mtime.tv_sec &&
                      sb.st_mtim.tv_nsec == c.mtime.tv_nsec)))
        return;
    c.path = path;
    c.present = present;
    auto text = std::make_shared<std::string>();
    c.readable = true;
    if (present) {
        c.dev = sb.st_dev, c.ino = sb.st_ino, c.size = sb.st_size, c.mtime = sb.st_mtim;
        if (ztbase::pio::read_regular_file(path.c_str(), kMaxConfigBytes, *text) != 0) {
            c.readable = false;
            text->clear();
        }
    } else if (errno != ENOENT && errno != ENOTDIR) {
        c.readable = false;
    }
    c.text = std::move(text);
    ++c.gen;
}

} // namespace

std::string config_file() {
    std::lock_guard<std::mutex> lock(g_paths_mutex);
    return g_config_file;
}

std::string logs_dir() {
    std::lock_guard<std::mutex> lock(g_paths_mutex);
    return g_logs_dir;
}

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Settings parse_config(std::string_view text, unsigned long product, unsigned long originator,
                      std::vector<std::pair<int, std::string>> *bad) {
    // Three passes, least specific first, so that the most specific wins
    // wherever it stands in the file.
    Settings s;
    for (int pass = 0; pass < 3; ++pass) {
        int scope = 0, number = 0;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            if (nl == std::string_view::npos)
                nl = text.size();
            const std::string_view raw = text.substr(pos, nl - pos);
            pos = nl + 1;
            ++number;
            const std::string_view line = trim(raw);
            if (line.empty() || line[0] == '#' || line[0] == ';')
                continue;
            bool ok = true;
            if (line[0] == '[') {
                if (line.back() != ']') {
                    ok = false;
                    scope = -2;
                } else {
                    scope = scope_of(line.substr(1, line.size() - 2), product, originator);
                    ok = scope != -2;
                }
            } else {
                const size_t eq = line.find('=');
                if (line.find('\0') != std::string_view::npos || eq == std::string_view::npos) {
                    ok = false;
                } else if (scope == pass) {
                    ok = apply(s, trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
                } else {
                    // Checked in its own pass (or for another product): validate
                    // on a scratch copy so that every bad line is reported once.
                    Settings scratch;
                    ok = scope == -2 || apply(scratch, trim(line.substr(0, eq)),
                                              trim(line.substr(eq + 1)));
                }
            }
            if (!ok && pass == 0 && bad != nullptr)
                bad->emplace_back(number, std::string(raw));
        }
    }
    return s;
}

uint64_t config_generation() {
    FileCache &c = cache();
    std::lock_guard<std::mutex> lock(c.m);
    const int64_t now = mono_ms();
    if (c.last_look == INT64_MIN || now - c.last_look >= 1000) {
        c.last_look = now;
        refresh_locked(c);
    }
    return c.gen;
}

int current_settings(unsigned long product, unsigned long originator, Settings &out,
                     uint64_t *gen) {
    std::shared_ptr<const std::string> text;
    bool readable;
    {
        FileCache &c = cache();
        std::lock_guard<std::mutex> lock(c.m);
        c.last_look = mono_ms();
        refresh_locked(c);
        text = c.text;
        readable = c.readable;
        if (gen != nullptr)
            *gen = c.gen;
    }
    if (!readable)
        return HLVN_E_CONFIG;
    out = parse_config(*text, product, originator, nullptr);
    return HLVN_OK;
}

} // namespace hxul

using hxul::Settings;

extern "C" {

HXUL_API int hlvnLogSetPaths(const char *config_file, const char *logs_dir) {
    {
        std::lock_guard<std::mutex> lock(hxul::g_paths_mutex);
        if (config_file != nullptr)
            hxul::g_config_file = config_file;
        if (logs_dir != nullptr)
            hxul::g_logs_dir = logs_dir;
    }
    // The next look at the configuration reads the new file.
    hxul::FileCache &c = hxul::cache();
    std::lock_guard<std::mutex> lock(c.m);
    c.last_look = INT64_MIN;
    c.path.clear();
    return HLVN_OK;
}

HXUL_API const char *hlvnLogGetConfigFile(void) {
    std::lock_guard<std::mutex> lock(hxul::g_paths_mutex);
    hxul::g_config_file_out = hxul::g_config_file;
    return hxul::g_config_file_out.c_str();
}

HXUL_API const char *hlvnLogGetLogsDir(void) {
    std::lock_guard<std::mutex> lock(hxul::g_paths_mutex);
    hxul::g_logs_dir_out = hxul::g_logs_dir;
    return hxul::g_logs_dir_out.c_str();
}

HXUL_API int hlvnLogReadCfg(unsigned long product, unsigned long originator, hlvnLogCfg **cfg) {
    if (cfg == nullptr)
        return HLVN_E_PARAM;
    *cfg = nullptr;
    try {
        auto c = std::make_unique<hlvnLogCfg>();
        const int rc = hxul::current_settings(product, originator, c->s, nullptr);
        if (rc != HLVN_OK)
            return rc;
        *cfg = c.release();
        return HLVN_OK;
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API int hlvnLogParseCfg(const char *text, size_t len, unsigned long product,
                             unsigned long originator, hlvnLogCfg **cfg, int *bad_lines) {
    if (cfg == nullptr || (text == nullptr && len > 0))
        return HLVN_E_PARAM;
    *cfg = nullptr;
    try {
        auto c = std::make_unique<hlvnLogCfg>();
        std::vector<std::pair<int, std::string>> bad;
        c->s = hxul::parse_config(std::string_view(text != nullptr ? text : "", len), product,
                                  originator, &bad);
        if (bad_lines != nullptr)
            *bad_lines = int(bad.size());
        *cfg = c.release();
        return HLVN_OK;
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API int hlvnLogCheckCfg(void (*report)(void *context, int line, const char *text),
                             void *context) {
    try {
        std::string text;
        const std::string path = hxul::config_file();
        const int rc = ztbase::pio::read_regular_file(path.c_str(), hxul::kMaxConfigBytes, text);
        if (rc == ENOENT)
            return HLVN_OK;
        if (rc != 0)
            return HLVN_E_CONFIG;
        std::vector<std::pair<int, std::string>> bad;
        hxul::parse_config(text, 0, 0, &bad);
        if (report != nullptr)
            for (const auto &[line, raw] : bad)
                report(context, line, raw.c_str());
        return HLVN_OK;
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API void hlvnLogFreeCfg(hlvnLogCfg *cfg) {
    delete cfg;
}

#define HXUL_CFG_GETTER(name, type, field)                                                     \
    HXUL_API int name(const hlvnLogCfg *cfg, type *out) {                                      \
        if (cfg == nullptr || out == nullptr)                                                  \
            return HLVN_E_PARAM;                                                               \
        *out = cfg->s.field;                                                                   \
        return HLVN_OK;                                                                        \
    }
HXUL_CFG_GETTER(hlvnLogCfgGetDebugLevel, int, debug_level)
HXUL_CFG_GETTER(hlvnLogCfgGetDiagLevel, hlvnLogDiagLevel_t, diag_level)
HXUL_CFG_GETTER(hlvnLogCfgGetMaxFileSize, long, max_kb)
HXUL_CFG_GETTER(hlvnLogCfgGetNumberOfLogFiles, long, num_files)
HXUL_CFG_GETTER(hlvnLogCfgGetRecycling, int, recycling)

#define HXUL_CFG_TEXT(name, has, field)                                                        \
    HXUL_API int name(const hlvnLogCfg *cfg, const char **out) {                               \
        if (cfg == nullptr || out == nullptr)                                                  \
            return HLVN_E_PARAM;                                                               \
        if (!cfg->s.has)                                                                       \
            return HLVN_E_NOTSET;                                                              \
        *out = cfg->s.field.c_str();                                                           \
        return HLVN_OK;                                                                        \
    }
HXUL_CFG_TEXT(hlvnLogCfgGetL10NResourceDir, has_resdir, resdir)
HXUL_CFG_TEXT(hlvnLogCfgGetL10NResource, has_resource, resource)
HXUL_CFG_TEXT(hlvnLogCfgGetL10NLibrary, has_library, library)

} // extern "C"
