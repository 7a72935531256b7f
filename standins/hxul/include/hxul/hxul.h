/* hxul: a small structured log library. Processes write records per product
 * and originator (debug, diagnostic and application records); operators read
 * them with the library's reader or with standard text tools.
 *
 * Files. Below the logs directory (hlvnLogSetPaths; default
 * /usr/quill/hxul/logs) each product and originator has a directory
 * PRODUCT/ORIGINATOR holding numbered files NAME-SEQ.log (NAME "hxul", or the
 * instance given to hlvnLogOpen2; SEQ counts from 1). Writers append to the
 * highest number; the writer whose record takes a file past the maximum size
 * starts the next number and removes the oldest files beyond the configured
 * number of files. Several processes may write the same files at once. A
 * writer looks at its file's size (and whether it was deleted) at least every
 * quarter second, so a file may pass the maximum by what is written meanwhile.
 *
 * Records: one line each, UTF-8, fields separated by one tab:
 *
 *   1 time      milliseconds since 1970, 13 digits (zero-padded)
 *   2 kind      DBG (debug), DIAG (diagnostic) or APP (application)
 *   3 level     debug level, diagnostic level, or severity (0 Info, 1 Warning,
 *               2 Error, 3 Critical, 4 Emergency)
 *   4 product   decimal
 *   5 origin    originator, decimal
 *   6 pid       process id
 *   7 tid       thread id
 *   8 who       the writer's tag (may be empty)
 *   9 msgid     message id of a localisable message (0 for debug records)
 *  10 nargs     number of fields that follow: 1 for a debug record (its
 *               text), the number of message arguments otherwise
 *  11...        the text or the arguments
 *
 * Inside fields a backslash is written "\\", tab "\t", line feed "\n",
 * carriage return "\r" and every other control byte "\xHH"; so a record never
 * holds a raw tab or line feed of its own. A line starting with "#" is a
 * comment (a new file starts with one naming the columns). Each record is
 * appended with one write to a file opened for appending, so records of
 * several processes never mix; a writer killed mid-write leaves at most part
 * of one line, which readers skip (a whole record written after such a piece
 * is still found). A line longer than HLVN_MAX_LINE is skipped.
 *
 * Configuration file (hlvnLogSetPaths; default /usr/quill/hxul/hxul.conf):
 * "KEY = VALUE" lines in sections "[*]" (every log), "[PRODUCT]" and
 * "[PRODUCT.ORIGINATOR]"; a later, more specific section wins. Keys (any
 * case): DebugLevel (0-6), DiagLevel (0-6), MaxFileSize (kilobytes),
 * NumberOfLogFiles (0: no limit), Recycling (0/1), L10NResourceDir,
 * L10NResource, L10NLibrary. Lines starting with "#" or ";" are comments;
 * other lines that do not parse are skipped (hlvnLogCheckCfg reports them).
 *
 * Every call returns 0 for success or one of the HLVN_E_ codes; no call
 * raises a signal or an exception. Handles are not shared between threads
 * unless a call says so; writes through one handle are serialised. */
#ifndef HXUL_HXUL_H
#define HXUL_HXUL_H

#include <stddef.h>
#include <stdint.h>

#if defined(HXUL_BUILDING)
#define HXUL_API __attribute__((visibility("default")))
#else
#define HXUL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define HLVN_OK 0
#define HLVN_E_FAIL 1      /* the log is not open, or the record was not written */
#define HLVN_E_PARAM 2     /* a null or invalid argument */
#define HLVN_E_NOMEM 3     /* out of memory */
#define HLVN_E_IO 4        /* a file or directory could not be read or written */
#define HLVN_E_CONFIG 5    /* the configuration file cannot be read */
#define HLVN_E_NOTSET 6    /* the configuration has no such item */
#define HLVN_E_BADQUERY 7  /* the query text does not parse */
#define HLVN_E_BADRECORD 8 /* the line is not a record */
#define HLVN_E_NOMORE 9    /* no more files or records */
#define HLVN_E_FILTERED 10 /* dropped by the configured level (not an error) */

#define HLVN_MAX_LINE (256 * 1024)

typedef enum { HLVN_KIND_DEBUG = 0, HLVN_KIND_DIAG = 1, HLVN_KIND_APP = 2 } hlvnLogKind_t;
typedef int hlvnLogDiagLevel_t;
typedef enum {
    HLVN_SEV_INFO = 0,
    HLVN_SEV_WARNING = 1,
    HLVN_SEV_ERROR = 2,
    HLVN_SEV_CRITICAL = 3,
    HLVN_SEV_EMERGENCY = 4
} hlvnLogSeverity_t;

/* ---- where the library keeps its files (process-wide) ---- */

/* Sets the configuration file and the logs directory; a null argument leaves
 * that one as it is. Takes effect for logs opened afterwards. */
HXUL_API int hlvnLogSetPaths(const char *config_file, const char *logs_dir);
HXUL_API const char *hlvnLogGetConfigFile(void);
HXUL_API const char *hlvnLogGetLogsDir(void);

/* ---- writing ---- */

typedef struct hlvnLog hlvnLog;

/* Opens the log of a product and originator: *log is always set (null only
 * when memory is short); a log whose files cannot be opened still exists and
 * its writes return HLVN_E_FAIL. Returns 0 or the reason the files could not
 * be opened. */
HXUL_API int hlvnLogOpen(unsigned long product, unsigned long originator, hlvnLog **log);
/* The same with an instance name: its files are named INSTANCE-SEQ.log instead
 * of hxul-SEQ.log (letters, digits, '_', '-' and '.'; others become '_'). */
HXUL_API int hlvnLogOpen2(unsigned long product, unsigned long originator, const char *instance,
                          hlvnLog **log);
HXUL_API int hlvnLogClose(hlvnLog *log);
/* Whether input texts are UTF-8 (else they are in the locale's character
 * set and converted). Invalid UTF-8 is stored with U+FFFD in its place. */
HXUL_API void hlvnLogSetUtf8Input(hlvnLog *log, int flag);
HXUL_API int hlvnLogGetUtf8Input(const hlvnLog *log);
/* Re-reads the configuration when its file changed (looked at no more than
 * once a second), so that levels follow the file while a process runs. */
HXUL_API int hlvnDynaLoadConfig(hlvnLog *log);
/* The levels now in force for the log. */
HXUL_API int hlvnLogGetDebugLevel(const hlvnLog *log, int *level);
HXUL_API int hlvnLogGetDiagLevel(const hlvnLog *log, int *level);

/* A debug record; HLVN_E_FILTERED when level exceeds the debug level. */
HXUL_API int hlvnLogDebug(hlvnLog *log, const char *who, int level, const char *text);
/* A diagnostic record of a localisable message; HLVN_E_FILTERED when level
 * exceeds the diagnostic level. */
HXUL_API int hlvnLogDiag(hlvnLog *log, const char *who, int level, unsigned long msgid, int argc,
                         const char *const *argv);
/* An application record (always written). */
HXUL_API int hlvnLogApp(hlvnLog *log, const char *who, int severity, unsigned long msgid,
                        int argc, const char *const *argv);

/* ---- configuration ---- */

typedef struct hlvnLogCfg hlvnLogCfg;

/* The settings of a product and originator. A missing file gives the
 * defaults (DebugLevel 0, DiagLevel 1, MaxFileSize 51200, NumberOfLogFiles 0,
 * Recycling 0, no localisation items); a file that cannot be read (not a
 * regular file, no permission, over 1 MB) gives HLVN_E_CONFIG. */
HXUL_API int hlvnLogReadCfg(unsigned long product, unsigned long originator, hlvnLogCfg **cfg);
/* The same from a text in memory; *bad_lines (when given) counts the lines
 * that were skipped. */
HXUL_API int hlvnLogParseCfg(const char *text, size_t len, unsigned long product,
                             unsigned long originator, hlvnLogCfg **cfg, int *bad_lines);
/* Calls report(context, line_number, line) for every line of the
 * configuration file that is skipped; returns 0 when the file reads (even with
 * skipped lines), else as hlvnLogReadCfg. */
HXUL_API int hlvnLogCheckCfg(void (*report)(void *context, int line, const char *text),
                             void *context);
HXUL_API void hlvnLogFreeCfg(hlvnLogCfg *cfg);
HXUL_API int hlvnLogCfgGetDebugLevel(const hlvnLogCfg *cfg, int *level);
HXUL_API int hlvnLogCfgGetDiagLevel(const hlvnLogCfg *cfg, hlvnLogDiagLevel_t *level);
/* Kilobytes. */
HXUL_API int hlvnLogCfgGetMaxFileSize(const hlvnLogCfg *cfg, long *kilobytes);
HXUL_API int hlvnLogCfgGetNumberOfLogFiles(const hlvnLogCfg *cfg, long *count);
HXUL_API int hlvnLogCfgGetRecycling(const hlvnLogCfg *cfg, int *on);
/* Pointers into the configuration, valid until it is freed; HLVN_E_NOTSET
 * when the item is not configured. */
HXUL_API int hlvnLogCfgGetL10NResourceDir(const hlvnLogCfg *cfg, const char **dir);
HXUL_API int hlvnLogCfgGetL10NResource(const hlvnLogCfg *cfg, const char **name);
HXUL_API int hlvnLogCfgGetL10NLibrary(const hlvnLogCfg *cfg, const char **library);

/* ---- record files: queries ---- */

/* A query selects log files by their attributes:
 *   ENDATE     time of the last write, seconds since 1970
 *   STARTDATE  time of the first record, seconds since 1970 (ENDATE if none)
 *   PRODID     product, ORIGID originator, SIZE bytes
 * compared with integers by <, <=, >, >=, == (or =), !=; joined with &&, ||,
 * ! and parentheses. Example: "((ENDATE <= 1796860800) && (PRODID = 51216))". */
typedef struct hlvnLogQuery hlvnLogQuery;

/* HLVN_E_BADQUERY (and *query null) when the text does not parse. */
HXUL_API int hlvnLogMgrCreateQuery(const char *text, hlvnLogQuery **query);
/* The next selected file: its path into buf; HLVN_E_NOMORE at the end,
 * HLVN_E_PARAM when buf is too small for the path. */
HXUL_API int hlvnLogMgrFetch(hlvnLogQuery *query, char *buf, size_t size);
/* Deletes the file last fetched. */
HXUL_API int hlvnLogMgrDelete(hlvnLogQuery *query);
HXUL_API int hlvnLogMgrDestroyQuery(hlvnLogQuery *query);

/* ---- record files: reading ---- */

typedef struct hlvnLogRecord hlvnLogRecord;
typedef struct hlvnLogReader hlvnLogReader;

/* Reads the records of a product and originator (-1: every one) written at
 * or after since_ms, merged by time across originators. */
HXUL_API int hlvnLogReaderOpen(long product, long originator, int64_t since_ms,
                               hlvnLogReader **reader);
/* The next record (valid until the next call); HLVN_E_NOMORE when none is
 * left for now: a later call sees records written meanwhile, and with
 * follow set, a partial last line is kept until its end arrives. */
HXUL_API int hlvnLogReaderNext(hlvnLogReader *reader, const hlvnLogRecord **record);
HXUL_API void hlvnLogReaderSetFollow(hlvnLogReader *reader, int follow);
/* Lines skipped so far because they were not records. */
HXUL_API long hlvnLogReaderSkipped(const hlvnLogReader *reader);
HXUL_API int hlvnLogReaderClose(hlvnLogReader *reader);

/* One line (without its line feed) as a record owned by the caller. */
HXUL_API int hlvnLogRecordParse(const char *line, size_t len, hlvnLogRecord **record);
HXUL_API void hlvnLogRecordFree(hlvnLogRecord *record);

/* Attributes of a record. Texts are UTF-8, valid as long as the record. */
HXUL_API int hlvnLogRecGetKind(const hlvnLogRecord *r, hlvnLogKind_t *kind);
HXUL_API int hlvnLogRecGetTime(const hlvnLogRecord *r, int64_t *ms);
HXUL_API int hlvnLogRecGetLevel(const hlvnLogRecord *r, int *level);
HXUL_API int hlvnLogRecGetSeverity(const hlvnLogRecord *r, hlvnLogSeverity_t *severity);
HXUL_API int hlvnLogRecGetProduct(const hlvnLogRecord *r, unsigned long *product);
HXUL_API int hlvnLogRecGetOriginator(const hlvnLogRecord *r, unsigned long *originator);
HXUL_API int hlvnLogRecGetPid(const hlvnLogRecord *r, unsigned long *pid);
HXUL_API int hlvnLogRecGetTid(const hlvnLogRecord *r, unsigned long *tid);
HXUL_API int hlvnLogRecGetWho(const hlvnLogRecord *r, const char **who);
/* The text of a debug record; HLVN_E_NOTSET for other kinds. */
HXUL_API int hlvnLogRecGetText(const hlvnLogRecord *r, const char **text);
HXUL_API int hlvnLogRecGetMsgId(const hlvnLogRecord *r, unsigned long *msgid);
HXUL_API int hlvnLogRecGetArgCount(const hlvnLogRecord *r, int *count);
HXUL_API int hlvnLogRecGetArg(const hlvnLogRecord *r, int index, const char **arg);

#ifdef __cplusplus
}
#endif

#endif
