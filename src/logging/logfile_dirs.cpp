// Log directories: where a process logs, the user a log file belongs to, and
// the sorted list of a directory's log files. The debug log lists its
// directory while it holds its own lock, so failures here go to standard
// error rather than to the log.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <new>
#include <string>
#include <strings.h>
#include <unicode/ustring.h>
#include <vector>

#include "base/zt_status.h"
#include "logging/logfile_names.h"
#include "ztbase/logfiles.h"
#include "ztbase/paths.h"

namespace {

using ztbase::logfiles::Keyed;

constexpr int kFirstCapacity = 64;

bool is_utf8(const char *s) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t units = 0;
    u_strFromUTF8(nullptr, 0, &units, s, -1, &status);
    return status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status);
}

bool user_matches(const ztbase::logfiles::NameParts &parts, const char *user) {
    const size_t n = strlen(user);
    return parts.has_user && parts.user.size() == n && strncasecmp(parts.user.data(), user, n) == 0;
}

// The names gathered so far: a malloc'd array that starts with room for 64
// names and doubles, always followed by a null pointer.
class NameArray {
  public:
    ~NameArray() { ZtLog_FreeDirList(names_, count_); }
    NameArray() = default;
    NameArray(const NameArray &) = delete;
    NameArray &operator=(const NameArray &) = delete;

    bool add(const char *name) {
        if (names_ == nullptr || count_ == capacity_) {
            const int capacity = names_ == nullptr ? kFirstCapacity : capacity_ * 2;
            void *grown = realloc(names_, (static_cast<size_t>(capacity) + 1) * sizeof(char *));
            if (grown == nullptr)
                return false;
            names_ = static_cast<char **>(grown);
            names_[count_] = nullptr;
            capacity_ = capacity;
        }
        char *copy = strdup(name);
        if (copy == nullptr)
            return false;
        names_[count_++] = copy;
        names_[count_] = nullptr;
        return true;
    }
    char **data() const { return names_; }
    int count() const { return count_; }
    char **release() {
        char **names = names_;
        names_ = nullptr;
        count_ = capacity_ = 0;
        return names;
    }

  private:
    char **names_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

// Sorts with the order of ZtLog_CompareFileName, each key made once.
void sort_names(char **names, int count) {
    std::vector<Keyed> keyed;
    keyed.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto parts = ztbase::logfiles::parse_name(names[i]);
        // Every listed name parsed when it was gathered.
        keyed.push_back({ztbase::logfiles::sort_key(*parts), parts->compressed, names[i]});
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed &a, const Keyed &b) {
        return ztbase::logfiles::compare_keyed(a, b) < 0;
    });
    for (int i = 0; i < count; ++i)
        names[i] = const_cast<char *>(keyed[static_cast<size_t>(i)].name);
}

int list_directory(NameArray &found, const char *dir, const char *date, const char *user,
                   int *err) {
    std::unique_ptr<DIR, int (*)(DIR *)> stream(opendir(dir), closedir);
    if (!stream) {
        const int e = errno;
        fprintf(stderr, "unable to open directory %s: %s (%d)\n", dir, strerror(e), e);
        if (err != nullptr)
            *err = e;
        return zt::status::kFileOpenFailed;
    }
    while (const dirent *entry = readdir(stream.get())) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        if (!is_utf8(name)) {
            fprintf(stderr, "Error converting directory file name %s (%d)\n", name, EILSEQ);
            continue;
        }
        const auto parts = ztbase::logfiles::parse_name(name);
        if (!parts || !ztbase::logfiles::valid_parts(*parts))
            continue;
        if (date != nullptr && *date != '\0' && parts->date != date)
            continue;
        if (user != nullptr && *user != '\0' && !user_matches(*parts, user))
            continue;
        if (!found.add(name)) {
            if (err != nullptr)
                *err = ENOMEM;
            return zt::status::kNoMemory;
        }
    }
    return 0;
}

} // namespace

extern "C" {

ZTBASE_API int ZtLog_GetRootPath(char *out, const char *root, const char *process_dir) try {
    if (out == nullptr)
        return -1;
    std::string path = root != nullptr ? root : getFennicString("BP_LOGS");
    if (process_dir != nullptr && *process_dir != '\0') {
        path += getFennicString("_ps");
        path += process_dir;
    }
    if (path.size() >= ZTLOG_PATH_MAX) {
        out[0] = '\0';
        return -1;
    }
    memcpy(out, path.c_str(), path.size() + 1);
    return 0;
} catch (const std::bad_alloc &) {
    out[0] = '\0';
    errno = ENOMEM;
    return -1;
}

ZTBASE_API int ZtLog_FetchUserNameLogFile(const char *name, char *user_out, size_t size,
                                          int *found) {
    const auto user = name != nullptr ? ztbase::logfiles::user_part(name) : std::nullopt;
    if (found != nullptr)
        *found = user.has_value() ? 1 : 0;
    return ztbase::logfiles::copy_out(user.value_or(std::string_view()), user_out, size);
}

ZTBASE_API int ZtLog_GetSortedDirList(char ***list, int *count, const char *dir, const char *date,
                                      const char *user, int *err, int all_users) {
    if (err != nullptr)
        *err = 0;
    if (list == nullptr || count == nullptr) {
        if (err != nullptr)
            *err = EINVAL;
        return 20;
    }
    *list = nullptr;
    *count = 0;
    if (dir == nullptr || !is_utf8(dir)) {
        const int e = dir == nullptr ? EINVAL : EILSEQ;
        fprintf(stderr, "Error converting root path directory name %s: %s (%d)\n",
                dir != nullptr ? dir : "(null)", strerror(e), e);
        if (err != nullptr)
            *err = e;
        return zt::status::kFileOpenFailed;
    }
    try {
        NameArray found;
        const int rc = list_directory(found, dir, date, all_users ? nullptr : user, err);
        if (rc != 0)
            return rc;
        if (found.count() >= 2)
            sort_names(found.data(), found.count());
        *count = found.count();
        *list = found.release();
        return 0;
    } catch (const std::bad_alloc &) {
        if (err != nullptr)
            *err = ENOMEM;
        return zt::status::kNoMemory;
    }
}

ZTBASE_API char **rl_get_logfile_list(const char *dir, const char *date, const char *user,
                                      int *count, int *err, int all_users) {
    char **list = nullptr;
    int n = 0;
    const int rc = ZtLog_GetSortedDirList(&list, &n, dir, date, user, err, all_users);
    if (count != nullptr)
        *count = rc == 0 ? n : 0;
    return rc == 0 ? list : nullptr;
}

ZTBASE_API void ZtLog_FreeDirList(char **list, int count) {
    if (list == nullptr)
        return;
    if (count > 0) {
        for (int i = 0; i < count; ++i)
            free(list[i]);
    } else {
        for (char **p = list; *p != nullptr; ++p)
            free(*p);
    }
    free(list);
}

ZTBASE_API void rl_free_logfile_list(char **list) {
    ZtLog_FreeDirList(list, 0);
}

} // extern "C"
