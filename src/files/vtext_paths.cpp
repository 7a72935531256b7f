// Text record files: field and path helpers, the failure lines, the rename
// that commits a working file and V_tempnam, which names working files.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/vtext_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/vtext.h"

extern "C" {
ZTBASE_API FILE *vtext_debug_stream = nullptr;
ZTBASE_API c_shim_vtext *c_shim_mod_vtext = nullptr;
}

namespace ztbase::vtext {
namespace {

void to_debug_stream(const char *line) {
    FILE *stream = vtext_debug_stream;
    if (stream == nullptr || fileno(stream) == debugFD)
        return;
    fprintf(stream, "%s\n", line);
    fflush(stream);
}

} // namespace

int failed(const char *source, int line, const char *tag, const char *callee, int status) {
    char text[512];
    snprintf(text, sizeof text, "%s.%d: Function %s failed: %d", source, line, callee, status);
    logmsg(ZTLOG_ERROR, text, tag);
    to_debug_stream(text);
    return status;
}

void log_item(const char *source, int line, const char *tag, const char *item, const char *value) {
    char text[1024];
    snprintf(text, sizeof text, "%s.%d: Function %s: %s = <%s>", source, line, tag, item,
             value != nullptr ? value : "NULL");
    logmsg(ZTLOG_ERROR, text, tag);
    to_debug_stream(text);
}

char separator() {
    if (c_shim_mod_vtext != nullptr && c_shim_mod_vtext->path_separator != nullptr)
        return c_shim_mod_vtext->path_separator();
    const char *ps = getFennicString("_ps");
    return ps != nullptr && ps[0] != '\0' ? ps[0] : '/';
}

} // namespace ztbase::vtext

using ztbase::vtext::separator;

namespace {

constexpr int kRenameAttempts = 30;

// Failures that another process or a busy file system may clear within seconds;
// anything else (a missing directory, no permission, another file system) will
// not get better by waiting.
bool transient(int error) {
    return error == EBUSY || error == ETXTBSY || error == EAGAIN || error == EINTR;
}

bool usable_directory(const char *dir) {
    struct stat st;
    return dir != nullptr && dir[0] != '\0' && stat(dir, &st) == 0 && S_ISDIR(st.st_mode) &&
           access(dir, W_OK | X_OK) == 0;
}

char *dup_or_null(const std::string &s) {
    return strdup(s.c_str());
}

} // namespace

extern "C" ZTBASE_API int vtext_rename_file(const char *old_name, const char *new_name) {
    static const char *const tag = "vtext_rename_file";
    if (old_name == nullptr || new_name == nullptr) {
        ztbase::vtext::log_item(__FILE_NAME__, __LINE__, tag, "old_filename", old_name);
        ztbase::vtext::log_item(__FILE_NAME__, __LINE__, tag, "new_filename", new_name);
        return VTEXT_FAILED(tag, "rename", VTEXT_RENAME_FAILED);
    }
    for (int attempt = 1; attempt <= kRenameAttempts; ++attempt) {
        if (attempt > 1) {
            char now[32];
            snprintf(now, sizeof now, "%" PRId64, static_cast<int64_t>(time(nullptr)));
            ztbase::vtext::log_item(__FILE_NAME__, __LINE__, tag, "Try rename again", now);
            sleep(1);
        }
        if (rename(old_name, new_name) == 0)
            return VTEXT_OK;
        int error = errno;
        char number[16];
        snprintf(number, sizeof number, "%d", error);
        ztbase::vtext::log_item(__FILE_NAME__, __LINE__, tag, "NT rename failed", number);
        ztbase::vtext::log_item(__FILE_NAME__, __LINE__, tag, "old_filename", old_name);
        ztbase::vtext::log_item(__FILE_NAME__, __LINE__, tag, "new_filename", new_name);
        if (!transient(error))
            break;
    }
    return VTEXT_FAILED(tag, "rename", VTEXT_RENAME_FAILED);
}

extern "C" ZTBASE_API int vtext_delimiter(const char *text, char *delimiter) {
    bool dquote = false, squote = false, other = false;
    for (const char *p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        switch (*p) {
        case '"':
            dquote = true;
            break;
        case '\'':
            squote = true;
            break;
        case '#':
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            other = true;
            break;
        default:
            break;
        }
    }
    char d = ' ';
    if (dquote)
        d = '\'';
    else if (squote || other)
        d = '"';
    if (delimiter != nullptr)
        *delimiter = d;
    if (dquote && squote)
        return VTEXT_FAILED("vtext_delimiter", "vtext_delimiter", VTEXT_BOTH_QUOTES);
    return VTEXT_OK;
}

extern "C" ZTBASE_API char *vtext_skip_space(char *p) {
    if (p == nullptr)
        return nullptr;
    while (*p != '\0' && isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (*p == '#')
        *p = '\0';
    return p;
}

extern "C" ZTBASE_API char *vtext_skip_no_space(char **field) {
    if (field == nullptr || *field == nullptr)
        return nullptr;
    char *p = *field;
    if (*p == '"' || *p == '\'') {
        char quote = *p++;
        *field = p;
        char *end = strchr(p, quote);
        if (end == nullptr)
            return p + strlen(p);
        *end = '\0';
        return end + 1;
    }
    for (; *p != '\0' && !isspace(static_cast<unsigned char>(*p)); ++p) {
        if (*p == '#') {
            *p = '\0';
            return p;
        }
    }
    if (*p == '\0')
        return p;
    *p = '\0';
    return p + 1;
}

extern "C" ZTBASE_API char *vtext_basename(const char *path) {
    const char sep = separator();
    std::string s = path != nullptr ? path : "";
    while (!s.empty() && s.back() == sep)
        s.pop_back();
    size_t cut = s.rfind(sep);
    return dup_or_null(cut == std::string::npos ? s : s.substr(cut + 1));
}

extern "C" ZTBASE_API char *vtext_dirname(const char *path) {
    const char sep = separator();
    std::string s = path != nullptr ? path : "";
    const bool rooted = !s.empty() && s[0] == sep;
    while (!s.empty() && s.back() == sep)
        s.pop_back();
    while (!s.empty() && s.back() != sep)
        s.pop_back();
    while (!s.empty() && s.back() == sep)
        s.pop_back();
    if (s.empty())
        return dup_or_null(rooted ? std::string(1, sep) : std::string("."));
    return dup_or_null(s);
}

extern "C" ZTBASE_API char *V_tempnam(const char *directory, const char *prefix) {
    static std::atomic<unsigned> counter{0};
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string dir;
    if (usable_directory(directory))
        dir = directory;
    else if (usable_directory(getenv("TMPDIR")))
        dir = getenv("TMPDIR");
    else
        dir = "/tmp";
    std::string stem = prefix != nullptr && prefix[0] != '\0'
                           ? std::string(prefix, strnlen(prefix, 5))
                           : std::string("temp");
    const char sep = separator();
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        char middle[64];
        snprintf(middle, sizeof middle, "-%05u%09u%03u%03u%09u-",
                 static_cast<unsigned>(getpid()) % 100000u,
                 static_cast<unsigned>(now.tv_sec % 1000000000),
                 static_cast<unsigned>(now.tv_nsec / 1000000),
                 static_cast<unsigned>(gettid()) % 1000u, counter.fetch_add(1) % 1000000000u);
        unsigned char random[6];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            unsigned seed = static_cast<unsigned>(now.tv_nsec) ^ counter.load();
            for (unsigned char &r : random)
                r = static_cast<unsigned char>(rand_r(&seed));
        }
        std::string name = dir;
        name += sep;
        name += stem;
        name += middle;
        for (unsigned char r : random)
            name += kChars[r % (sizeof kChars - 1)];
        struct stat st;
        if (lstat(name.c_str(), &st) != 0 && errno == ENOENT)
            return dup_or_null(name);
    }
    logmsgf(ZTLOG_ERROR, "V_tempnam", "no unused name in %s", dir.c_str());
    return nullptr;
}
