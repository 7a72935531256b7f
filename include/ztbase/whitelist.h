/* The path whitelist: before a service acts on a path or runs a program that a
 * request names, it checks the path against a list of allowed directories.
 *
 * Comparison rules (Linux):
 * - Paths are compared byte for byte: file names are case-sensitive, so an
 *   entry for /opt/backup never allows /OPT/BACKUP, another directory.
 * - The path checked is always made absolute, its "." and ".." segments and
 *   repeated separators resolved, and, as far as it exists, its symbolic
 *   links followed (as realpath does), so a link inside an allowed directory
 *   that points outside it is not allowed.
 * - An entry matches the directory itself and what lies below it: a recursive
 *   entry anything below, a non-recursive one only direct children. An entry
 *   never matches a longer name it is a prefix of (/opt/app does not allow
 *   /opt/application). An empty entry matches nothing.
 *
 * A list may be used by one thread at a time; several threads may validate
 * against a list that nobody changes. */
#ifndef ZTBASE_WHITELIST_H
#define ZTBASE_WHITELIST_H

#include <stddef.h>
#include <ztbase/export.h>

#ifdef __cplusplus
#include <string>
#include <vector>

/* The list object behind the zt_whitelist_* functions. */
class ZTBASE_API ZTWhiteList {
  public:
    struct Entry {
        std::string path;
        bool recursive;
    };

    /* An empty text stays empty; otherwise trailing separators are removed and
     * the path made absolute against the working directory and resolved as the
     * kernel would reach it: symbolic links followed as far as the path exists
     * (a ".." after a link leads to the parent of the link's target), the rest
     * by its text. When that fails (a loop of links, a name too long) the input
     * is returned without its trailing separators. */
    static std::string expand_path(const std::string &path);

    /* 1 when the path is allowed by an entry, in order; entries are expanded
     * first when expand_entries is set (else only their "." and ".." segments
     * are resolved). */
    int validatePath(const char *path, bool expand_entries) const;

    void add(std::string path, bool recursive) { entries_.push_back({std::move(path), recursive}); }
    /* Removes every entry equal to (path, recursive). */
    void remove(const std::string &path, bool recursive);
    const std::vector<Entry> &entries() const { return entries_; }

  private:
    std::vector<Entry> entries_;
};
#else
typedef struct ZTWhiteList ZTWhiteList;
#endif

ZTBASE_BEGIN_C

/* A new empty list, or null when memory is short. Free with free_zt_whitelist. */
ZTBASE_API ZTWhiteList *zt_whitelist_create(void);
/* Frees the list and every entry; null is ignored. */
ZTBASE_API void free_zt_whitelist(ZTWhiteList *list);

/* Appends an entry (duplicates are kept). Trailing separators are removed (a
 * path of one character keeps it); a two-character "X:" path is stored as it
 * is (on Linux a relative name that matches nothing); any other path is
 * expanded first when expand is set. 0, or 1 for a null list or path. */
ZTBASE_API int zt_whitelist_add_entry(ZTWhiteList *list, const char *path, int recursive,
                                      int expand);
/* Removes every entry equal to (path, recursive), the path treated as by
 * zt_whitelist_add_entry. 0, or 1 for a null list or path. */
ZTBASE_API int zt_whitelist_remove_entry(ZTWhiteList *list, const char *path, int recursive,
                                         int expand);
/* 1 when the path is allowed; 0 otherwise and for a null list or path. */
ZTBASE_API int zt_whitelist_validate_path(ZTWhiteList *list, const char *path, int expand_entries);

/* 1 when the program of `command` (its first word, which may be quoted with
 * '"' or '\'') lies in one of the allowed directories: the array ends with a
 * null entry; with recursive set the program's directory may also lie below
 * one. 0 otherwise, for a null command or array, or when command[length] is
 * not the terminating zero. errno is left as the caller had it. */
ZTBASE_API int is_path_whitelisted(const char *command, size_t length, const char **allowed,
                                   int recursive);

ZTBASE_END_C

#endif
