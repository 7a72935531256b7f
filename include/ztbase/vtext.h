/* Text record files: small line-oriented files read and rewritten as
 * sequences of records.
 *
 * A caller gives a parse callback (one logical line -> one item) and a format
 * callback (one item -> one line). Reading joins lines that end in a backslash
 * and drops the final newline. Every change goes to a working file beside the
 * target; vtext_close(h, 1) makes it durable (fsync), gives it the target's
 * permission bits and renames it over the target, then syncs the directory, so
 * that a crash at any moment leaves the old file or the new one, never a mix.
 *
 * Statuses (0 is success):
 *   1 bad handle or no stream       6 out of memory
 *   2 a text holds both quote kinds 7 a file cannot be opened or created
 *   3 chmod of the working file     8 the final rename failed
 *   5 the record to replace is      9 reading the target's attributes failed
 *     missing                      10 a write, flush or close failed, or a
 *                                     write on a read-only handle
 * A handle belongs to one thread; the family takes no locks. */
#ifndef ZTBASE_VTEXT_H
#define ZTBASE_VTEXT_H

#include <stdio.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

enum {
    VTEXT_MODE_READ = 0,   /* the target is read in place */
    VTEXT_MODE_UPDATE = 1, /* the target's records are copied to a working file */
    VTEXT_MODE_CREATE = 2, /* an empty working file; the target is not read */
    VTEXT_MODE_MEMORY = 3, /* the path argument is the text itself; read only */
};

enum {
    VTEXT_OK = 0,
    VTEXT_BAD_HANDLE = 1,
    VTEXT_BOTH_QUOTES = 2,
    VTEXT_CHMOD_FAILED = 3,
    VTEXT_CHOWN_FAILED = 4, /* known to the status maps; never returned here */
    VTEXT_NO_RECORD = 5,
    VTEXT_NO_MEMORY = 6,
    VTEXT_OPEN_FAILED = 7,
    VTEXT_RENAME_FAILED = 8,
    VTEXT_STAT_FAILED = 9,
    VTEXT_WRITE_FAILED = 10,
};

typedef struct vtext_handle vtext_handle;

/* Called as parse(line, &item, line) with one logical line (without its final
 * newline; the callback may cut it in place). Returns a status; a null item
 * skips the line. The line is released after the call. */
typedef int (*vtext_parse_fn)(char *line, void **item, char *text);
/* Called as format(item, &text, item). Sets text to a new malloc'ed string
 * (released by the family; null writes nothing) and returns a status. */
typedef int (*vtext_format_fn)(void *item, char **text, void *data);
/* Releases *item; without it the family calls free(). */
typedef void (*vtext_free_fn)(void **item);

/* Opens path in one of the modes above and stores a new handle in *handle.
 * Without a parse callback an item is the line itself (a malloc'ed string),
 * and comment lines ("#" first) and blank lines are skipped. On failure
 * *handle is null and the status is returned. */
ZTBASE_API int vtext_open(const char *path, int mode, vtext_parse_fn parse, vtext_format_fn format,
                          vtext_free_fn free_fn, vtext_handle **handle);
/* Closes *handle and sets it to null. With commit on a writable handle the
 * working file replaces the target (permission bits of the target, 0644 when
 * it did not exist). The working file never outlives the call. Returns 1 for
 * a null handle. */
ZTBASE_API int vtext_close(vtext_handle **handle, int commit);
ZTBASE_API int vtext_rewind(vtext_handle *handle);
/* The next record's item, or null at the end (status 0). The caller releases
 * the item. */
ZTBASE_API int vtext_get_next_item(vtext_handle *handle, void **item);
/* The item of record index (from 0), null when there are fewer records. */
ZTBASE_API int vtext_get_item(vtext_handle *handle, int index, void **item);

/* Rewrites the working file with item written at index: replace 0 inserts
 * (past the end: appends), replace 1 replaces (status 5 when there is no
 * record index: at the record count or beyond), a null item with replace 0
 * deletes (nothing past the end). The item stays the caller's. On failure the
 * working file is as it was. Position returns to 0. */
ZTBASE_API int vtext_put_item(vtext_handle *handle, int index, int replace, void *item);
ZTBASE_API int vtext_insert_item(vtext_handle *handle, int index, void *item);
ZTBASE_API int vtext_replace_item(vtext_handle *handle, int index, void *item);
ZTBASE_API int vtext_delete_item(vtext_handle *handle, int index);
ZTBASE_API int vtext_append_item(vtext_handle *handle, void *item);

/* Renames old_name over new_name (atomic within a file system); retries
 * transient failures for up to 30 attempts a second apart. 0 or 8. */
ZTBASE_API int vtext_rename_file(const char *old_name, const char *new_name);

/* The quote to use when writing text as one field: ' ' (none needed), '\''
 * when the text holds a double quote, else '"'. 2 when it holds both. */
ZTBASE_API int vtext_delimiter(const char *text, char *delimiter);
/* The first non-blank at or after p; a "#" there is cut to end the line. */
ZTBASE_API char *vtext_skip_space(char *p);
/* Cuts the field at *p in place (past the opening quote for a quoted field,
 * *p moved past it) and returns the position after the field's end. */
ZTBASE_API char *vtext_skip_no_space(char **p);
/* New strings (free()); the separator is the path table's "_ps". */
ZTBASE_API char *vtext_basename(const char *path);
ZTBASE_API char *vtext_dirname(const char *path);

/* When set (and not the debug log's own file), failures are also written here. */
ZTBASE_API extern FILE *vtext_debug_stream;

/* Overrides a host process may fill: the first entry replaces the separator
 * lookup. */
typedef struct c_shim_vtext {
    char (*path_separator)(void);
} c_shim_vtext;
ZTBASE_API extern c_shim_vtext *c_shim_mod_vtext;

/* A new path (free()) in directory of a name that does not exist yet:
 * separator, prefix (at most 5 characters, "temp" when null or empty), then
 * "-PPPPPSSSSSSSSSMMMTTTCCCCCCCCC-XXXXXX" (process id, seconds, milliseconds,
 * thread id, a process-wide counter, six unique characters). When directory
 * is not a usable directory, $TMPDIR or /tmp is used. Null when no name can be
 * made. */
ZTBASE_API char *V_tempnam(const char *directory, const char *prefix);

ZTBASE_END_C

#endif
