// Ad-hoc settings given as touch files, and the development test triggers
// they can be overridden by. A trigger file is named after a path containing
// "TeStS"; its lines are "TARGET=name" (starts a trigger), "TEST=n",
// "COUNT=n", "STICKY", "WRITER", "COPY_INDEX=n", "Pk=value" (k 1..32, decimal
// or 0x hexadecimal) and "STRING=text" (the text a string trigger matches as a
// proper suffix).
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

#include <ztbase/config.h>
#include <ztbase/debuglog.h>
#include <ztbase/paths.h>

#include "base/zt_status.h"
#include "platform/posix_io.h"
#include "text/trim.h"

namespace {

namespace st = zt::status;

constexpr const char *kAdHocTag = "read_AD_HOC_config_entry";
constexpr const char *kModuleFile = "adhoc_config.cpp";
constexpr size_t kMaxPath = 1024;
constexpr uint32_t kTestMask = 0xFFF;
constexpr uint32_t kSticky = 0x1000;

// Where the trigger file of path lives: from its second character, a '/'
// among the first three characters becomes ":\", later ones '\'.
std::string trigger_file_name(const char *path) {
    std::string out;
    for (size_t i = 1; path[i] != '\0'; ++i) {
        if (path[i] == '/')
            out += i < 3 ? ":\\" : "\\";
        else
            out += path[i];
    }
    return out + ".TeStS";
}

std::string trimmed(const char *s) {
    using namespace ztbase::text;
    return std::string(trim(s, kLineEndBlanks, Ends::Back));
}

uint32_t parse_number(const char *s) {
    while (*s == ' ' || *s == '\t')
        ++s;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        return uint32_t(strtoul(s + 2, nullptr, 16));
    return uint32_t(strtoul(s, nullptr, 10));
}

// As "%d" reads it, except that a number that does not fit an int is no
// number rather than a wrapped one.
bool read_int(const char *s, int *out) {
    errno = 0;
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (end == s || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *out = int(v);
    return true;
}

// A touch or trigger file may be anything an operator can create under that
// name; a FIFO without a writer must not block the reader.
FILE *open_touch_file(const char *path) {
    constexpr ztbase::pio::ReadPolicy kTouchFile{false, false, false, false, false, true};
    ztbase::pio::Fd fd = ztbase::pio::open_for_reading(path, kTouchFile);
    return fd ? ztbase::pio::stream(std::move(fd), "r") : nullptr;
}

bool starts(const char *line, const char *prefix) {
    return strncmp(line, prefix, strlen(prefix)) == 0;
}

void append(Borvel_TeST **list, Borvel_TeST *t) {
    while (*list != nullptr)
        list = &(*list)->next;
    *list = t;
}

void log_trigger(const Borvel_TeST *t) {
    logmsgf(ZTLOG_DEBUG, "CheckAndParseTeStS",
            "Processed test 0x%.8x, for target %s count %u copy_index %u writer %u", t->test,
            t->target, t->count, t->copy_index, t->writer);
    for (int row = 0; row < 8; ++row)
        logmsgf(ZTLOG_DEBUG, "CheckAndParseTeStS", "%s0x%.8x %.8x %.8x %.8x",
                row == 0 ? "parameters: " : "          : ", t->param[4 * row],
                t->param[4 * row + 1], t->param[4 * row + 2], t->param[4 * row + 3]);
}

// Files a finished trigger where its target says, or drops it.
void file_trigger(Borvel_TeST *t, const std::string &target, Borvel_TeST **list,
                  Borvel_TeST **media_list, unsigned *sequence) {
    const std::string name = t->target;
    Borvel_TeST **where = nullptr;
    if (name == target)
        where = list;
    else if (target == "BPTM" && media_list != nullptr &&
             (name == "TAPE" || name == "DISK" || name == "Robot"))
        where = media_list;
    if (where == nullptr) {
        free(t);
        return;
    }
    if ((t->test & kTestMask) == 9 && (name == "BPTM" || name == "BPBRM"))
        for (uint32_t &p : t->param)
            p = htonl(p);
    t->test = (t->test & ~0xFF0000u) | ((++*sequence & 0xFFu) << 16);
    log_trigger(t);
    append(where, t);
}

Borvel_TeST *check(int test, const char *text, int writer, char *message, int message_size,
                   Borvel_TeST **list, const char *file, int line) {
    if (list == nullptr)
        return nullptr;
    Borvel_TeST *first = nullptr;
    int fired = 0;
    for (Borvel_TeST *t = *list; t != nullptr; t = t->next) {
        if ((t->test & kTestMask) != (uint32_t(test) & kTestMask) || t->writer != uint32_t(writer))
            continue;
        if (text != nullptr) {
            size_t n = strnlen(t->text, sizeof t->text);
            size_t len = strlen(text);
            if (n == 0 || n >= len || memcmp(text + len - n, t->text, n) != 0)
                continue;
        }
        if (t->count != 0) {
            --t->count;
            continue;
        }
        logmsgf(ZTLOG_DEBUG, "CheckForTeStS", "Triggered test 0x%.8x (%s:%d)", t->test,
                file ? file : "", line);
        if (message != nullptr && message_size > 0)
            snprintf(message, size_t(message_size), "Triggered test 0x%.8x (%s:%d)", t->test,
                     file ? file : "", line);
        if (first == nullptr)
            first = t;
        ++fired;
    }
    if (fired > 1)
        logmsg(ZTLOG_DEBUG, "error, multiple tests triggered at the same time", "CheckForTeStS");
    return first;
}

} // namespace

extern "C" {

ZTBASE_API int CheckAndParseTeStS(const char *path, Borvel_TeST **list, Borvel_TeST **mediaList,
                                  const char *target, int targetLength) {
    if (path == nullptr || strstr(path, "TeStS") == nullptr || list == nullptr)
        return 0;
    const std::string name = trigger_file_name(path);
    std::unique_ptr<FILE, int (*)(FILE *)> f(open_touch_file(name.c_str()), fclose);
    if (!f)
        return 0;
    logmsgf(ZTLOG_DEBUG, "CheckAndParseTeStS", "Found %s; from (%s.%d)", name.c_str(), kModuleFile,
            __LINE__);
    std::string wanted = target == nullptr ? std::string()
                         : targetLength > 0
                             ? std::string(target, strnlen(target, size_t(targetLength)))
                             : std::string(target);
    Borvel_TeST *current = nullptr;
    unsigned sequence = 0;
    char line[1024];
    while (fgets(line, sizeof line, f.get()) != nullptr) {
        if (starts(line, "TARGET=")) {
            if (current != nullptr)
                file_trigger(current, wanted, list, mediaList, &sequence);
            current = static_cast<Borvel_TeST *>(calloc(1, sizeof(Borvel_TeST)));
            if (current == nullptr) {
                logmsgf(ZTLOG_DEBUG, "CheckAndParseTeStS",
                        "calloc failed for Borvel_TeST; from (%s.%d).", kModuleFile, __LINE__);
                return st::kNoMemory;
            }
            snprintf(current->target, sizeof current->target, "%s", trimmed(line + 7).c_str());
            continue;
        }
        if (current == nullptr)
            continue;
        if (starts(line, "TEST="))
            current->test = (current->test & ~kTestMask) | (parse_number(line + 5) & kTestMask);
        else if (starts(line, "COUNT="))
            current->count = parse_number(line + 6);
        else if (starts(line, "STICKY"))
            current->test |= kSticky;
        else if (starts(line, "WRITER"))
            current->writer = 1;
        else if (starts(line, "COPY_INDEX="))
            current->copy_index = parse_number(line + 11);
        else if (starts(line, "STRING="))
            snprintf(current->text, sizeof current->text, "%s", trimmed(line + 7).c_str());
        else if (line[0] == 'P') {
            char *eq;
            unsigned long k = strtoul(line + 1, &eq, 10);
            if (eq != line + 1 && *eq == '=' && k >= 1 && k <= 32)
                current->param[k - 1] = parse_number(eq + 1);
        }
    }
    if (current != nullptr)
        file_trigger(current, wanted, list, mediaList, &sequence);
    return 0;
}

ZTBASE_API Borvel_TeST *CheckForTeStS(int test, int writer, Borvel_TeST **list, const char *file,
                                      int line) {
    return check(test, nullptr, writer, nullptr, 0, list, file, line);
}

ZTBASE_API Borvel_TeST *CheckForTeStSAndString(int test, const char *text, int writer,
                                               char *messageBuffer, int messageSize,
                                               Borvel_TeST **list, const char *file, int line) {
    if (text == nullptr)
        return nullptr;
    return check(test, text, writer, messageBuffer, messageSize, list, file, line);
}

ZTBASE_API void UnlinkTeStS(Borvel_TeST *trigger, Borvel_TeST **list) {
    if (trigger == nullptr)
        return;
    if (list != nullptr)
        for (Borvel_TeST **p = list; *p != nullptr; p = &(*p)->next)
            if (*p == trigger) {
                *p = trigger->next;
                break;
            }
    free(trigger);
}

namespace {

// Where a read_AD_HOC_config_entry call came from, for its log lines.
struct Caller {
    const char *file;
    int line;
};

// The arguments checked: 0 or 201 (logged).
int check_entry_arguments(const char *directory, const char *name, const char *lineOut,
                          int lineSize, const Caller &from) {
    if (lineOut != nullptr && lineSize < 2) {
        logmsgf(ZTLOG_DEBUG, kAdHocTag, "The line_buffer_size (%d) from (%s.%d) must be at least 2",
                lineSize, from.file, from.line);
        return st::kInvalidValue;
    }
    if (name == nullptr) {
        logmsgf(ZTLOG_DEBUG, kAdHocTag, "config_name cannot be NULL; from (%s.%d)", from.file,
                from.line);
        return st::kInvalidValue;
    }
    if (directory == nullptr) {
        logmsgf(ZTLOG_DEBUG, kAdHocTag, "config directory cannot be NULL; from (%s.%d)", from.file,
                from.line);
        return st::kInvalidValue;
    }
    return 0;
}

// A test trigger for the entry's path stands in for the file: *answered
// tells whether one did, and the status is then the call's.
int trigger_override(const std::string &path, Borvel_TeST **triggers, int *intOut, char *lineOut,
                     int lineSize, const Caller &from, bool *answered) {
    *answered = false;
    if (triggers == nullptr || *triggers == nullptr)
        return 0;
    Borvel_TeST *t =
        CheckForTeStSAndString(9, path.c_str(), 1, nullptr, 0, triggers, from.file, from.line);
    if (t == nullptr)
        return 0;
    *answered = true;
    const uint32_t value = t->param[0];
    logmsgf(ZTLOG_DEBUG, kAdHocTag, "Borvel Test override, %s %s from (%s.%d)",
            value ? "Found" : "Missing", path.c_str(), from.file, from.line);
    if (intOut != nullptr)
        *intOut = int(value);
    if (lineOut != nullptr)
        snprintf(lineOut, size_t(lineSize), "0x%.8x", value);
    if (intOut != nullptr || lineOut != nullptr)
        return 0;
    return value != 0 ? 0 : st::kFileReadFailed;
}

// The entry file's first line, without its line end, into the caller's
// buffer and number.
int read_entry_line(const std::string &path, int *intOut, char *lineOut, int lineSize,
                    const Caller &from) {
    std::unique_ptr<FILE, int (*)(FILE *)> f(open_touch_file(path.c_str()), fclose);
    if (!f) {
        logmsgf(ZTLOG_DEBUG, kAdHocTag, "Unable to open file %s; requested from (%s.%d).",
                path.c_str(), from.file, from.line);
        return st::kFileOpenFailed;
    }
    const size_t size = lineOut != nullptr ? size_t(lineSize) : 1024;
    std::unique_ptr<char, void (*)(void *)> line(static_cast<char *>(malloc(size)), free);
    if (!line) {
        logmsgf(ZTLOG_DEBUG, kAdHocTag, "malloc failed; from (%s.%d).", from.file, from.line);
        return st::kNoMemory;
    }
    if (fgets(line.get(), int(size), f.get()) == nullptr) {
        if (lineOut != nullptr)
            lineOut[0] = '\0'; // no line: never the caller's stale text
        if (feof(f.get()))
            logmsgf(ZTLOG_DEBUG, kAdHocTag, "File %s is empty; requested from (%s.%d).",
                    path.c_str(), from.file, from.line);
        else
            logmsgf(ZTLOG_DEBUG, kAdHocTag, "Unable to read from file %s; requested from (%s.%d).",
                    path.c_str(), from.file, from.line);
        return 0;
    }
    line.get()[strcspn(line.get(), "\r\n")] = '\0';
    if (intOut != nullptr) {
        if (read_int(line.get(), intOut))
            logmsgf(ZTLOG_DEBUG, kAdHocTag, "%d read ; requested from (%s.%d).", *intOut, from.file,
                    from.line);
        else
            logmsgf(ZTLOG_DEBUG, kAdHocTag, "Can't read int from >%s< ; requested from (%s.%d).",
                    line.get(), from.file, from.line);
    }
    if (lineOut != nullptr)
        snprintf(lineOut, size_t(lineSize), "%s", line.get());
    return 0;
}

} // namespace

ZTBASE_API int read_AD_HOC_config_entry(const char *directory, const char *name, int *intOut,
                                        char *lineOut, int lineSize, Borvel_TeST **triggers,
                                        const char *callerFile, int callerLine) {
    const Caller from{callerFile != nullptr ? callerFile : "", callerLine};
    if (int s = check_entry_arguments(directory, name, lineOut, lineSize, from))
        return s;
    const std::string path = std::string(directory) + getFennicString("_ps") + name;
    bool answered = false;
    const int s = trigger_override(path, triggers, intOut, lineOut, lineSize, from, &answered);
    if (answered)
        return s;
    if (strcmp(directory, "*NODE_SPECIFIC_DB?") == 0 ||
        strcmp(directory, "*CLUSTER_AWARE_DB?") == 0) {
        logmsg(ZTLOG_DEBUG,
               "Retrieving the config value from an alternate database is not yet supported",
               kAdHocTag);
        return st::kNotYetSupported;
    }
    if (path.size() > kMaxPath || access(path.c_str(), F_OK) != 0)
        return st::kNoEntity;
    logmsgf(ZTLOG_DEBUG, kAdHocTag, "Found %s; requested from (%s.%d).", path.c_str(), from.file,
            from.line);
    if (intOut == nullptr && lineOut == nullptr)
        return 0; // presence is the value
    return read_entry_line(path, intOut, lineOut, lineSize, from);
}

} // extern "C"
