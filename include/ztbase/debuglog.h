/* The debug log: one plain-text log per process, a file per user and day under
 * a directory per process, filtered by verbosity. */
#ifndef ZTBASE_DEBUGLOG_H
#define ZTBASE_DEBUGLOG_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* Message levels. Only level-2 messages are filtered by verbosity. */
#define ZTLOG_DEBUG 2
#define ZTLOG_INFO 4
#define ZTLOG_WARNING 8
#define ZTLOG_ERROR 16
#define ZTLOG_CRITICAL 32

/* The descriptor of the open debug log file, -1 when there is none. */
ZTBASE_API extern int debugFD;

/* When a host module sets *c_shim_mod_logging, every message of logmsg,
 * logmsgf, logmsgvf, logparams, debuglog and log_set_callback goes to it with
 * (level, verbosity, text, tag) instead of to the log. */
typedef int (*c_shim_logging_fn)(int level, int verbosity, const char *text, const char *tag);
ZTBASE_API extern c_shim_logging_fn *c_shim_mod_logging;

/* A line callback: receives every message in place of the log file, with the
 * body prepared as a line (white space folded, cut with "..."). */
typedef void (*log_callback_fn)(void *context, int level, int verbosity, const char *body,
                                const char *tag);
typedef struct log_callback {
    log_callback_fn fn;
    void *context;
} log_callback;

/* The log object of the process and its shared state (opaque). */
typedef struct ZtLog ZtLog;
typedef struct ZtLoggerInfo ZtLoggerInfo;

/* ---- writing ---- */

/* Writes one line at `level`; a level-2 line only when `verbosity` is not
 * above the process verbosity. Returns 0 (written, or filtered out on
 * purpose) or a status: 12 open, 14 write, 158 lock, 11 unlock failed, 142 no
 * directory, 27 after repeated zero-byte writes, an errno value from the
 * fallback writer. A line dropped while the file is closed after a failure
 * returns that failure's status until the file is reopened. */
ZTBASE_API int logmsgv(int level, int verbosity, const char *text, const char *tag);
ZTBASE_API int logmsg(int level, const char *text, const char *tag);
ZTBASE_API int logmsgf(int level, const char *tag, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
ZTBASE_API int logmsgvf(int level, int verbosity, const char *tag, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
/* The arguments joined by blanks at level 2, tag "logparams"; the argument after
 * one containing "pwd" or "password" is written as stars. */
ZTBASE_API int logparams(int argc, char **argv);
/* "logparams: " and every argument followed by a blank, at level 2, unmasked. */
ZTBASE_API int logparamswithdate(int argc, char **argv);
/* A line to fd: through the log when fd is debugFD, else written straight.
 * The raw writers return 0, or -1 with errno (EPIPE for a pipe or socket
 * without a reader: they never raise SIGPIPE). */
ZTBASE_API int debuglog(int fd, const char *text);
ZTBASE_API int logwithtime(int fd, const char *text);
ZTBASE_API int logwithtime_and_id(int fd, const char *id, const char *text);
ZTBASE_API int logwithoutdate(int fd, const char *text);

/* ---- opening and closing ---- */

/* Opens today's log of `program` in root/process_dir (root null: the path label
 * BP_LOGS), creating directories with `mode` (0 for 0755). Returns the
 * descriptor, or -1 with an errno value in *err: ENOENT when the directory is
 * missing, ENAMETOOLONG for a directory path that is too long, ENOMEM, or the
 * error of the failed open (ELOOP for a symbolic link in place of the file,
 * EPERM for a file owned by another user than root). A critical process whose
 * directory is missing keeps its log: -1 with ENOENT, and its lines return 142
 * until robust logging makes the directory. */
ZTBASE_API int open_debug_log(const char *root, const char *process_dir, const char *program,
                              int mode, int *err);
/* open_debug_log under BP_LOGS with `name` as process directory and program. */
ZTBASE_API int open_debug_file(const char *name, int mode, int *err);
/* As open_debug_file / open_debug_log; when `convert` is set, first turns an
 * older size in kilobytes and number of files into the configuration's
 * MAX_LOGFILE_SIZE and MAX_NUM_LOGFILES. */
ZTBASE_API int open_debug_file2(const char *name, int mode, int *err, int convert, long size_kb,
                                long num_files);
ZTBASE_API int rl_open_debug_log(const char *root, const char *process_dir, const char *program,
                                 int mode, int *err, int convert, long size_kb, long num_files);
/* open_debug_log without a process directory. */
ZTBASE_API int open_log(const char *root, int mode, int *err);
/* open_log, then a stream appending to the descriptor; verbosity 1. */
ZTBASE_API FILE *open_logging_file(const char *root);
ZTBASE_API void close_debug_log(void);
ZTBASE_API void close_logging_file(FILE *f);
/* Stops day change, rotation and deletion; reopens the current file by name.
 * Returns the descriptor or -1. */
ZTBASE_API int suppress_log_file_mgmt(void);

/* ---- settings ---- */

/* -2 switches logging off (returns 0); any other value on (returns -1). */
ZTBASE_API int log_set_verbosity_filter(int v);
ZTBASE_API void log_set_process_bpconf_verbose(int v);
ZTBASE_API int log_get_process_bpconf_verbose(void);
/* The configured verbosity of a process; -1 when the configuration cannot be read. */
ZTBASE_API int get_configured_verbose(const char *process, const char *alternative);
/* -1 and -3 give 0; 0 gives global_value (0 when that is -1); else process_value. */
ZTBASE_API int log_get_verbose(int process_value, int global_value);

ZTBASE_API void log_set_callback(log_callback_fn fn, void *context, log_callback *old);
ZTBASE_API void log_set_callback_no_logging(log_callback_fn fn, void *context, log_callback *old);
ZTBASE_API log_callback log_get_callback(void);

/* The descriptor of the current log file (-1 when none). */
ZTBASE_API int ZtLog_GetFD(void);
/* Makes the log write through fd from now on (the log then owns it). */
ZTBASE_API int log_set_debug_fd(int fd);
ZTBASE_API void log_set_locking(int on);
ZTBASE_API int log_get_locking(void);
ZTBASE_API void log_set_max_file_size(int64_t bytes);
ZTBASE_API int64_t log_get_max_file_size(void);
ZTBASE_API void log_set_lastConfigReadTime(time_t t);
ZTBASE_API void log_set_pid(int pid);
ZTBASE_API void log_clear_pid(void);

/* ---- the current file (log null: the process's log object) ---- */

/* Opens path for appending as the current file (mode: file mode, 0 for the log
 * files' own; flags: extra open flags); sets debugFD to it when it was -1.
 * Returns 0 or 12 with errno in *err. */
ZTBASE_API int ZtLog_OpenFile(ZtLog *log, const char *path, int mode, int flags, int *err);
/* Closes the current file of a shared state (null: the process's). */
ZTBASE_API int ZtLog_CloseLoggerInfo(ZtLoggerInfo *state);
ZTBASE_API int ZtLog_GetHandle(ZtLog *log);
ZTBASE_API int ZtLog_SetHandle(ZtLog *log, int handle);

ZTBASE_END_C

#endif
