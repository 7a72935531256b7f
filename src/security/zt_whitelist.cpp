// The path whitelist: absolute paths with their links resolved, the list object
// with its recursive and direct-child rules, and the program check of a
// command line.
//
// Paths are compared as the kernel names them: byte for byte, after "." and
// ".." and repeated separators are resolved and the links of the part that
// exists are followed. A path that cannot be resolved (a loop of links, a name
// too long) is never allowed: its unresolved text could still name a place
// inside an allowed directory while the kernel would take it elsewhere.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/whitelist.h"

namespace {

constexpr int kMaxLinks = 40; // as the kernel's own limit on links in one lookup

char separator() {
    const char *ps = getFennicString("_ps");
    return ps != nullptr && ps[0] != '\0' ? ps[0] : '/';
}

// Splits on '/' into pending (components appended at the front when
// `front`, keeping their order).
void push_components(std::deque<std::string> &pending, const std::string &path, bool front) {
    std::deque<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > pos)
            parts.emplace_back(path, pos, slash - pos);
        pos = slash + 1;
    }
    if (front)
        pending.insert(pending.begin(), parts.begin(), parts.end());
    else
        pending.insert(pending.end(), parts.begin(), parts.end());
}

void drop_last(std::string &resolved) {
    size_t slash = resolved.rfind('/');
    resolved.erase(slash == std::string::npos ? 0 : slash);
}

// Walks an absolute path component by component, following the links of the
// components that exist and resolving the rest lexically. False on a loop of
// links, and where a component cannot be looked at.
bool walk(const std::string &abs, std::string &out) {
    std::deque<std::string> pending;
    push_components(pending, abs, false);
    std::string resolved; // "" is the root
    int links = 0;
    while (!pending.empty()) {
        std::string c = std::move(pending.front());
        pending.pop_front();
        if (c == ".")
            continue;
        if (c == "..") {
            drop_last(resolved);
            continue;
        }
        std::string candidate = resolved + "/" + c;
        struct stat st;
        const bool exists = lstat(candidate.c_str(), &st) == 0;
        // A component that may exist unseen (a directory on the way may not
        // be searched) could be a link: its text says nothing.
        if (!exists && errno != ENOENT && errno != ENOTDIR)
            return false;
        if (exists && S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks) {
                errno = ELOOP;
                return false;
            }
            std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
            ssize_t n = readlink(candidate.c_str(), target.data(), target.size());
            if (n < 0)
                return false;
            target.resize(static_cast<size_t>(n));
            if (!target.empty() && target[0] == '/')
                resolved.clear();
            push_components(pending, target, true);
            continue;
        }
        resolved = std::move(candidate);
    }
    out = resolved.empty() ? "/" : resolved;
    return true;
}

// The absolute form of a path, as the kernel would reach it: made absolute
// against the working directory, then resolved as realpath does as far as it
// exists. The product's get_abs_path resolves ".." by the text alone, which
// is wrong after a link ("allowed/out/.." is the parent of out's target), so
// the whitelist does not use it.
bool absolute_resolved(const char *path, std::string &out) {
    // The kernel refuses such names too; and a long one would cost a lookup
    // per component below.
    if (path[0] == '\0' || strnlen(path, PATH_MAX) >= PATH_MAX)
        return false;
    std::string abs;
    if (path[0] == '/') {
        abs = path;
    } else {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return false;
        abs = std::string(cwd) + "/" + path;
    }
    char buf[PATH_MAX];
    if (realpath(abs.c_str(), buf) != nullptr) {
        out = buf;
        return true;
    }
    // What does not exist (yet) has no links to follow: resolve the rest by
    // its text. Anything else (a loop, a name too long) is a failure.
    if (errno != ENOENT && errno != ENOTDIR && errno != EACCES)
        return false;
    return walk(abs, out) && out.size() < PATH_MAX;
}

std::string strip_trailing(std::string path, char sep) {
    while (path.size() > 1 && path.back() == sep)
        path.pop_back();
    return path;
}

// "." and ".." and repeated separators of an absolute path resolved by text
// alone; other paths are returned as they are.
std::string lexical(const std::string &path) {
    if (path.empty() || path[0] != '/')
        return path;
    std::deque<std::string> parts;
    push_components(parts, path, false);
    std::string out;
    for (const std::string &c : parts) {
        if (c == ".")
            continue;
        if (c == "..")
            drop_last(out);
        else
            out += "/" + c;
    }
    return out.empty() ? "/" : out;
}

// expand_path, telling whether the path could be made absolute.
bool expand(const std::string &path, std::string &out) {
    static const char *const tag = "expand_path";
    if (path.empty()) {
        logmsgvf(ZTLOG_DEBUG, 5, tag, "empty string");
        out.clear();
        return false;
    }
    const std::string stripped = strip_trailing(path, separator());
    const bool ok = absolute_resolved(stripped.c_str(), out);
    if (!ok) {
        logmsgf(ZTLOG_WARNING, tag, "get_abs_path() failed for %s", stripped.c_str());
        out = stripped;
    }
    logmsgvf(ZTLOG_DEBUG, 5, tag, "expanded_path: %s", out.c_str());
    return ok;
}

// Whether `path` is the entry or lies below it (any depth when recursive, a
// direct child otherwise). An entry ending in a separator (the root) needs no
// separator after it.
bool matches(const std::string &path, const std::string &entry, bool recursive, char sep) {
    if (entry.empty() || path.compare(0, entry.size(), entry) != 0)
        return false;
    const std::string rest = path.substr(entry.size());
    if (rest.empty())
        return true;
    if (rest[0] != sep && entry.back() != sep)
        return false;
    if (recursive)
        return true;
    const size_t child = rest.find_first_not_of(sep);
    return child == std::string::npos || rest.find(sep, child) == std::string::npos;
}

// A drive ("C:") has no meaning on Linux: such an entry is kept as given and
// matches nothing (expanded, it would name a directory below whatever the
// working directory happens to be).
bool drive_entry(const std::string &p) {
    return p.size() == 2 && isalnum(static_cast<unsigned char>(p[0])) && p[1] == ':';
}

// The stored form of an entry, as add and remove take it.
std::string entry_form(const char *path, bool expand_it) {
    std::string p = strip_trailing(path, separator());
    if (drive_entry(p) || !expand_it)
        return p;
    std::string out;
    expand(p, out);
    return out;
}

} // namespace

std::string ZTWhiteList::expand_path(const std::string &path) {
    std::string out;
    expand(path, out);
    return out;
}

void ZTWhiteList::remove(const std::string &path, bool recursive) {
    std::erase_if(entries_,
                  [&](const Entry &e) { return e.recursive == recursive && e.path == path; });
}

int ZTWhiteList::validatePath(const char *path, bool expand_entries) const {
    static const char *const tag = "validatePath";
    if (path == nullptr)
        return 0;
    logmsgvf(ZTLOG_DEBUG, 5, tag, "Attempting to expand path: %s", path);
    std::string abs;
    if (!expand(path, abs))
        return 0;
    logmsgvf(ZTLOG_DEBUG, 5, tag, "abs_validate_path: %s", abs.c_str());
    const char sep = separator();
    for (const Entry &e : entries_) {
        if (drive_entry(e.path))
            continue;
        std::string entry;
        if (expand_entries) {
            if (!expand(e.path, entry))
                continue;
        } else {
            entry = lexical(e.path);
        }
        logmsgvf(ZTLOG_DEBUG, 5, tag, "entry_path: %s", entry.c_str());
        if (matches(abs, entry, e.recursive, sep)) {
            logmsgvf(ZTLOG_DEBUG, 5, tag, "Match found. Whitelisting %s", abs.c_str());
            return 1;
        }
    }
    return 0;
}

extern "C" ZTBASE_API ZTWhiteList *zt_whitelist_create(void) {
    return new (std::nothrow) ZTWhiteList();
}

extern "C" ZTBASE_API void free_zt_whitelist(ZTWhiteList *list) {
    delete list;
}

extern "C" ZTBASE_API int zt_whitelist_add_entry(ZTWhiteList *list, const char *path, int recursive,
                                                 int expand) try {
    if (list == nullptr || path == nullptr)
        return 1;
    list->add(entry_form(path, expand != 0), recursive != 0);
    return 0;
} catch (const std::bad_alloc &) {
    logmsg(ZTLOG_ERROR, "out of memory", "zt_whitelist_add_entry");
    return 1;
}

extern "C" ZTBASE_API int zt_whitelist_remove_entry(ZTWhiteList *list, const char *path,
                                                    int recursive, int expand) try {
    if (list == nullptr || path == nullptr)
        return 1;
    list->remove(entry_form(path, expand != 0), recursive != 0);
    return 0;
} catch (const std::bad_alloc &) {
    logmsg(ZTLOG_ERROR, "out of memory", "zt_whitelist_remove_entry");
    return 1;
}

extern "C" ZTBASE_API int zt_whitelist_validate_path(ZTWhiteList *list, const char *path,
                                                     int expand_entries) try {
    if (list == nullptr || path == nullptr)
        return 0;
    return list->validatePath(path, expand_entries != 0);
} catch (const std::bad_alloc &) {
    logmsg(ZTLOG_ERROR, "out of memory", "zt_whitelist_validate_path");
    return 0;
}

namespace {

// The first word of a command line: up to the first blank, or between a pair
// of '"' or '\'' quotes. False for an empty or unterminated word, or one that
// cannot be a path.
bool first_word(const char *command, std::string &word) {
    const char *p = command;
    while (*p == ' ' || *p == '\t')
        ++p;
    const char *end;
    if (*p == '"' || *p == '\'') {
        const char quote = *p++;
        end = strchr(p, quote);
        if (end == nullptr)
            return false;
    } else {
        end = p + strcspn(p, " \t");
    }
    if (end == p || end - p >= PATH_MAX)
        return false;
    word.assign(p, end);
    return true;
}

int program_allowed(const char *command, size_t length, const char **allowed, int recursive) {
    static const char *const tag = "is_path_whitelisted";
    if (command == nullptr) {
        logmsg(ZTLOG_ERROR, "Command string provided is NULL, hence ABORTING.", tag);
        return 0;
    }
    if (command[length] != '\0') {
        logmsg(ZTLOG_ERROR, "Input input_path(argv[0]) is not bounded or '\\0' terminated.", tag);
        return 0;
    }
    if (allowed == nullptr) {
        logmsg(ZTLOG_ERROR, "Whitelisted paths are missing/not provided. ABORTING.", tag);
        return 0;
    }
    std::string word;
    if (!first_word(command, word)) {
        logmsg(ZTLOG_ERROR, "FAILED! to get input path.", tag);
        return 0;
    }
    std::string resolved;
    if (!absolute_resolved(word.c_str(), resolved)) {
        logmsg(ZTLOG_ERROR, "resolving _fullpath() FAILED", tag);
        logmsg(ZTLOG_ERROR, "FAILED! while resolving path to input.", tag);
        return 0;
    }
    const char *abs = resolved.c_str();
    std::string dir = resolved;
    struct stat st;
    if (stat(abs, &st) != 0 || !S_ISDIR(st.st_mode)) {
        drop_last(dir);
        if (dir.empty())
            dir = "/";
        logmsgvf(ZTLOG_DEBUG, 5, tag, "resolved path (%s)", dir.c_str());
    }
    const char sep = separator();
    bool found = false;
    for (size_t i = 0; !found && allowed[i] != nullptr; ++i) {
        std::string entry;
        if (!expand(allowed[i], entry))
            continue;
        if (recursive == 1) {
            logmsgvf(ZTLOG_DEBUG, 5, tag, "Recursive allowed");
            found = matches(dir, entry, true, sep);
        } else {
            found = dir == entry;
        }
    }
    logmsgf(found ? ZTLOG_DEBUG : ZTLOG_WARNING, tag, "PATH (%s) is%swhitelisted.", abs,
            found ? " " : " __NOT__ ");
    return found ? 1 : 0;
}

} // namespace

extern "C" ZTBASE_API int is_path_whitelisted(const char *command, size_t length,
                                              const char **allowed, int recursive) {
    const int saved = errno;
    int rc = 0;
    try {
        rc = program_allowed(command, length, allowed, recursive);
    } catch (const std::bad_alloc &) {
        logmsg(ZTLOG_ERROR, "out of memory", "is_path_whitelisted");
    }
    errno = saved;
    return rc;
}
