/* Configuration text, records and the local configuration store.
 *
 * Text image: lines of "KEY = VALUE" separated by '\n' ("\r\n" accepted).
 * Leading white space is ignored; an empty line or one starting with '#' is a
 * comment; the key runs to the first '=' (the whole line without one), the
 * value from after the '=' with white space trimmed at both ends. Keys match
 * item labels ignoring case; a multi-line item repeats its key per line. Keys
 * that name no item are kept in the record's generic key/value list.
 *
 * Definition record: a ZtConfig used only as a per-item marker. The first
 * 32-bit word of each item's field holds 0 (not defined), the 1-based line
 * number (defined with a value) or minus it (defined without a value); its
 * leading word is 1 after a parse. It owns nothing; never FreeConfig it.
 *
 * Memory: images and key/value texts handed out are malloc'd; release them
 * with free. Records own everything they point to (FreeConfig).
 *
 * Threads: parsing, formatting and copying are re-entrant on distinct
 * records. An update of the local store is one registry transaction: other
 * processes see all of it or none of it. */
#ifndef ZTBASE_BPCONF_H
#define ZTBASE_BPCONF_H

#include <stdio.h>
#include <ztbase/config.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* A generic value equal to this marks its key deleted: readers treat the key
 * as absent and an update deletes the stored value. */
#define ZTCONFIG_TOMBSTONE                                                                         \
    "THIS_ENTRY_HAS_BEEN_DELETED_FROM_THE_GEN_KEY_VAL_LIST_AND_WILL_NOT_BE_DISPLAYED_GME"

/* ParseConfigExA flags. */
#define ZTPARSE_RECORD_EMPTY                                                                       \
    1 /* a value-required item without value: defined (-line), not skipped */
#define ZTPARSE_KEEP_DEFINITION 2 /* keep the definition record's contents */
#define ZTPARSE_STRICT 4          /* parse errors become the result (20) */

/* The registry key of the local store, below HKEY_LOCAL_MACHINE. */
#define ZTCONFIG_REGISTRY_KEY "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Config"

/* Where read and update functions reach a configuration store. Slots in this
 * order; any may be null except where a caller needs it. */
typedef struct ZtConfigSource ZtConfigSource;
struct ZtConfigSource {
    /* Writes at most size-1 bytes of extra lines (NUL-terminated) into buffer;
     * they are appended to every registry image. */
    void (*appendExtraLines)(char *buffer, int size);
    /* Called by the registry writer for the items isULParam reports. */
    int (*ulHook)(int index, ZtConfig *record, ZtConfig *definition);
    /* *image: a malloc'd text image. 110 when the store does not exist. */
    int (*getHostImage)(ZtConfigSource *source, const char *host, const char *second, char **image,
                        ZtConfig *definition, int needAuthentication);
    int (*getUsersImage)(ZtConfigSource *source, const char *a, const char *b, const char *c,
                         char **image, ZtConfig *definition);
    int (*updateHost)(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                      const char *host, const char *second);
    int (*updateUsers)(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                       const char *a, const char *b, const char *c);
    /* Run after the built-in defaults are copied into a record. */
    int (*defaultsHook)(ZtConfig *record);
};

/* The local host's store: the registry key plus the cluster-aware file. */
ZTBASE_API extern ZtConfigSource *const bpconfLocalSource;

/* ---- parsing and records ---- */

/* Parses text into config over what it holds (the text is left as it was).
 * definition may be null. Returns 0; 10 when memory runs out; in strict mode
 * 20 (or a reader's other status) for the last bad line. A lenient parse
 * skips bad lines with a log line and reads the rest. Null config or text, or
 * an empty text: 0. */
ZTBASE_API int ParseConfigExA(char *text, ZtConfig *config, ZtConfig *definition, int flags);
/* UTF-16 text, converted to UTF-8 first. */
ZTBASE_API int ParseConfigExW(const char16_t *text, ZtConfig *config, ZtConfig *definition,
                              int flags);
/* record := the built-in defaults (deep copy; any earlier contents are
 * overwritten, not freed), then the source's defaults hook; definition, when
 * given, is zeroed. Returns 0 or the copy's / hook's status. */
ZTBASE_API int InitConfig(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition);
ZTBASE_API int getDefaultConfig(ZtConfigSource *source, ZtConfig *record);
/* to := deep copy of from (to's earlier contents are overwritten, not freed).
 * 0, or 10/36 with to left zeroed. */
ZTBASE_API int CopyConfig(ZtConfig *to, const ZtConfig *from);
/* Frees what record owns and zeroes it. */
ZTBASE_API void FreeConfig(ZtConfig *record);

/* ---- reading ---- */

/* Reads a record once: 0 at once when record->valid is 1. Defaults, then the
 * source's host image parsed leniently (flag 1); when definition is null or
 * was unused (leading word 0), the status of CheckSemantics. */
ZTBASE_API int ReadHostConfigNeedAuthExA(ZtConfigSource *source, ZtConfig *record,
                                         ZtConfig *definition, const char *host, const char *second,
                                         int needAuthentication);
ZTBASE_API int ReadHostConfigExA(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                                 const char *host, const char *second);
ZTBASE_API int ReadHostConfigExW(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                                 const char16_t *host, const char16_t *second);
/* As above for the per-user configuration, without the semantic check; a
 * missing store (110) reads as the defaults. */
ZTBASE_API int ReadUsersConfigExA(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                                  const char *a, const char *b, const char *c);
ZTBASE_API int ReadUsersConfigExW(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                                  const char16_t *a, const char16_t *b, const char16_t *c);

/* The local store as a text image (*image malloc'd): the registry values,
 * then the cluster-aware file. 110 when the registry key is missing; the
 * file's status when it cannot be read. The Ex forms append the VERSIONINFO
 * line. The users forms give the host image. */
ZTBASE_API int getLocalHostConfigImage(ZtConfigSource *source, char **image);
ZTBASE_API int getLocalHostConfigImageEx(ZtConfigSource *source, char **image);
ZTBASE_API int getLocalUsersConfigImage(ZtConfigSource *source, const char *user, char **image);
ZTBASE_API int getLocalUsersConfigImageEx(ZtConfigSource *source, const char *user, char **image);
/* The whole file as NUL-terminated text (*text malloc'd, *length its length).
 * A missing file: 0 with an empty text. 12 open, 13 stat/read, 10 memory. */
ZTBASE_API int ReadClusterAwareConfigFile(const char *path, char **text, size_t *length);

/* What the version line says about this host. */
typedef struct ZtUnameInfo {
    char os_name[64];   /* "Linux" ("?" when unknown) */
    char os_major[32];  /* major release, "6" ("?" when unknown) */
    char computer[256]; /* node name */
    char processor[256];
} ZtUnameInfo;
/* 0, or 11 when uname fails (names then "?"). */
ZTBASE_API int getUnameInfoData(ZtUnameInfo *info);
/* The platform name of this build: "linux_x64", "linux_arm64", ... */
ZTBASE_API const char *getConfigPlatformName(void);

/* ---- writing ---- */

/* The record as a text image (*image malloc'd) of "LABEL=value" lines in
 * index order. With a definition record only defined items, those defined
 * without value as "LABEL". 0, or 10 with no image. */
ZTBASE_API int makeConfigImageA(const ZtConfig *config, const ZtConfig *definition, char **image);
/* Keeps the lines of *image (replaced in place) whose item is selected in
 * selection (null: all) and appends the defaults of the selected
 * reported-by-default items that did not occur. */
ZTBASE_API int filterConfigImageA(ZtConfigSource *source, const ZtConfig *selection, char **image);
/* 111 when SERVER is empty; mends USE_CTIME_FOR_INCREMENTALS without
 * DO_NOT_RESET_FILE_ACCESS_TIME. */
ZTBASE_API int CheckSemantics(ZtConfig *record);
/* 111 when the update defines SERVER but leaves it empty. */
ZTBASE_API int CheckSemanticsForUpdate(const ZtConfig *config, const ZtConfig *definition);

/* Writes the items marked in definition through the source. */
ZTBASE_API int UpdateHostConfigClientOrServer(ZtConfigSource *source, ZtConfig *record,
                                              ZtConfig *definition, const char *host,
                                              const char *second);
ZTBASE_API int UpdateUsersConfigClientOrServer(ZtConfigSource *source, ZtConfig *record,
                                               ZtConfig *definition, const char *a, const char *b,
                                               const char *c);
/* Writes the items marked in definition to the local store: the registry part
 * in one transaction (with the read of the stored generic keys, which are
 * merged into record's list), then the cluster-aware file. A missing store
 * counts as the defaults. Returns 0 or the last failure (14, 8, 152, ...);
 * a failed registry part leaves the store as it was. */
ZTBASE_API int UpdateLocalHostConfig(ZtConfigSource *source, ZtConfig *record,
                                     ZtConfig *definition);
ZTBASE_API int UpdateLocalUsersConfig(ZtConfigSource *source, ZtConfig *record,
                                      ZtConfig *definition);
/* Rewrites the cluster-aware file with the cluster-aware items marked in
 * definition (temporary file, fsync, rename). 0 when none is marked or the
 * shared directory is missing. */
ZTBASE_API int UpdateClusterAwareConfigFile(const char *path, const ZtConfig *record,
                                            const ZtConfig *definition);
/* Creates a working file base.zttmp.XXXXXX (six random characters)
 * exclusively, mode 0644, and returns it open for writing with *name its
 * malloc'd path; null on failure. The stream keeps the file locked as a live
 * writer's: rename it into place before closing the stream, since the next
 * update removes a working file nobody holds. */
ZTBASE_API FILE *OpenTemporaryConfigFile(const char *base, char **name);

/* ---- key/value access ---- */

/* The value of a generic key, else of an Int or String item (*value
 * malloc'd). 227 when absent, deleted, empty or of another type; 36 memory. */
ZTBASE_API int bpconfGetKeyValPair(const ZtConfig *record, const char *key, char **value);
/* As above into buffer; 119 when it does not fit (the text is cut). */
ZTBASE_API int bpconfGetKeyValPairInBuffer(const ZtConfig *record, const char *key, char *buffer,
                                           int size);
/* TRUE/1/YES -> 1, FALSE/0/NO -> 0 (any case); 223 for other text. */
ZTBASE_API int bpconfGetKeyValPairAsBool(const ZtConfig *record, const char *key, int *out);
/* strtol base 0; 223 when text follows the number. */
ZTBASE_API int bpconfGetKeyValPairAsInt(const ZtConfig *record, const char *key, int *out);
/* Splits "(key) (value)" in place: *key and *value point into text. 0, or -1
 * when either group is missing or unbalanced. */
ZTBASE_API int getKeyValPairFromList(char **key, char **value, char *text);
/* Removes from stored's generic list every key updated mentions and moves the
 * remaining stored pairs to the end of updated's list. */
ZTBASE_API void combineKeyValLists(ZtConfig *updated, ZtConfig *stored);

ZTBASE_END_C

#endif
