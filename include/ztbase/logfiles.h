/* Debug log file names: which names are debug log files, their parts, their
 * order, and the listing of a log directory.
 *
 * A debug log file is named user.MMDDYY_NNNNN.log (user, date, sequence
 * number). Also accepted: MMDDYY_NNNNN.log, user.MMDDYY.log, MMDDYY.log,
 * log.MMDDYY, each but MMDDYY.log optionally followed by ".zlib", ".gz",
 * ".zip" or ".Z" (any case), and names starting with "HxMS-". A name is valid
 * when its date, as a number, lies in 10100..123199.
 *
 * The debug log calls these functions while it holds its own lock, so none of
 * them writes to the debug log; failures go to the standard error stream. */
#ifndef ZTBASE_LOGFILES_H
#define ZTBASE_LOGFILES_H

#include <stddef.h>
#include <time.h>
#include <ztbase/export.h>

/* Size of a log directory path buffer, terminator included. */
#define ZTLOG_PATH_MAX 1024

ZTBASE_BEGIN_C

/* The log directory of a process into out (ZTLOG_PATH_MAX bytes): root (the
 * path label BP_LOGS when root is null), the path separator and process_dir;
 * root alone when process_dir is null or empty. Returns 0; -1 with out emptied
 * when out is null or the path does not fit (a cut path would name another
 * directory). */
ZTBASE_API int ZtLog_GetRootPath(char *out, const char *root, const char *process_dir);

/* The user part of a log file name: everything before the second dot from the
 * end, or the third when the name ends in a compression suffix. *found (when
 * found is not null) is 1 when the name has one, else 0. Copies the part into
 * user_out (size bytes, cut to fit) when both are given, else empties user_out.
 * Returns the number of characters copied. */
ZTBASE_API int ZtLog_FetchUserNameLogFile(const char *name, char *user_out, size_t size,
                                          int *found);

/* Splits a log file name of any accepted form into its date text (six
 * characters; date_size bytes), user part (user_size bytes) and sequence number
 * (0 for the forms without one). The date is not range-checked here. Returns
 * the number of fields read: 2 for a date and a sequence number, 3 when a
 * compression suffix follows them, 1 for a date alone, 0 when the name has no
 * accepted form (outputs emptied). When user_out and user_size are given it
 * returns instead the number of characters of the user part copied. Every
 * output may be null. */
ZTBASE_API int ZtLog_ParseLogFileName(char *date_out, size_t date_size, char *user_out,
                                      size_t user_size, int *seq_out, const char *name);
ZTBASE_API int log_parse_logfile_name(char *date_out, size_t date_size, char *user_out,
                                      size_t user_size, int *seq_out, const char *name);

/* 1 when name is a valid debug log file name, else 0. Fills the date text,
 * the user part ("" when none), the sequence number and whether a compression
 * suffix is present (each output may be null; emptied or 0 when not valid). */
ZTBASE_API int ZtLog_IsValidLogFileFormat(const char *name, char *date_out, size_t date_size,
                                          char *user_out, size_t user_size, int *seq_out,
                                          int *compressed);

/* Orders two names by user part ("root" when none), two-digit year, month,
 * day and sequence number, compared as the text "%s.%02d%02d%02d%05d" byte by
 * byte, so year 99 sorts after 00. Names that are not log file names come
 * first; equal keys are ordered compressed first, then by name. Negative, 0 or
 * positive. */
ZTBASE_API int ZtLog_CompareFileName(const char *a, const char *b);

/* The valid debug log file names of the directory dir (UTF-8), oldest first:
 * those whose date text equals date (when not null or empty) and, unless
 * all_users is set, whose user part equals user without regard to case (when
 * not null or empty). *list is a malloc'd array of malloc'd names followed by
 * a null pointer, released with ZtLog_FreeDirList; an empty result is a null
 * *list with *count 0.
 * Returns 0; 12 when the directory cannot be opened or its path is not UTF-8
 * (errno in *err when err is not null, a line on standard error); 20 when
 * list or count is null; 36 when memory runs out. */
ZTBASE_API int ZtLog_GetSortedDirList(char ***list, int *count, const char *dir, const char *date,
                                      const char *user, int *err, int all_users);

/* ZtLog_GetSortedDirList as a return value: null with *count 0 on failure or
 * when nothing matches. count and err may be null. */
ZTBASE_API char **rl_get_logfile_list(const char *dir, const char *date, const char *user,
                                      int *count, int *err, int all_users);
/* Frees a list: its names up to the first null pointer, then the array. */
ZTBASE_API void rl_free_logfile_list(char **list);
/* Frees count names (up to the first null pointer when count is 0 or less)
 * and the array. */
ZTBASE_API void ZtLog_FreeDirList(char **list, int count);

/* The start of the local day named by a valid log file name into *t, as
 * convert2unixdate makes it of "month/day/yy" (two-digit years 70-99 are
 * 1970-1999, 00-38 2000-2038, 39 is past the range, 40-69 give 0).
 * Returns 0; 106 with "%s is not a valid debug log file name" in msg for an
 * invalid name, 106 with msg empty for a month outside 1-12 or a day outside
 * 1-31, 109 with "Could not convert to unix date for file %s. Invalid Date"
 * when the day does not exist in its month. msg (msg_size bytes) and t may be
 * null. */
ZTBASE_API int ZtLog_Extract_Date_From_Filename(const char *name, char *msg, size_t msg_size,
                                                time_t *t);

ZTBASE_END_C

#endif
