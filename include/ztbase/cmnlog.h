/* The common log filter and the system event log. */
#ifndef ZTBASE_CMNLOG_H
#define ZTBASE_CMNLOG_H

#include <ztbase/cstr.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* The common log: a severity mask in front of the debug log, for tools that
 * take a "-LOGSEVERITY" argument. A message passes when its level (2, 4, 8,
 * 16, 32) has its bit in the mask; six bits, initially 63 (all). */
ZTBASE_API extern int cmnlogSEVERITY;

/* Opens the debug log with name as process directory and program; returns the
 * error number of the open (0 on success). */
ZTBASE_API int cmnlogOPEN(const char *root, const char *name, int mode);
/* Closes the debug log; returns 0. */
ZTBASE_API int cmnlogCLOSE(void);
/* logmsg when the log is open and the level passes the mask; -1 otherwise. */
ZTBASE_API int cmnlogMSG(int level, const char *text, const char *tag);
/* The arguments joined by blanks at level 4, tag "cmnlogPARAMS"; -1 when the
 * log is closed, level 4 is masked out or the text is empty. */
ZTBASE_API int cmnlogPARAMS(cstra args);
/* Sets the mask (masked with 63). */
ZTBASE_API void cmnlogSeveritySET(int mask);
/* Takes the mask from the value of "-LOGSEVERITY" in an argument list (the next
 * argument, or "-LOGSEVERITY=N"), when present. */
ZTBASE_API void cmnlogARGS(cstra args);

/* Registers the event source for a program identifier (for example "bprd" gives
 * "Zentor Request Daemon"; unknown identifiers give "Zentor") once per process;
 * later calls do nothing until V_Closelog. option and facility are those of
 * openlog(3). */
ZTBASE_API void V_Openlog(const char *ident, int option, int facility);
/* Reports one event at a syslog priority (LOG_ERR ... LOG_DEBUG); "%m" stands
 * for the text of the current errno. Nothing happens before V_Openlog. */
ZTBASE_API void NTsyslog(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/* As NTsyslog; a null string argument prints as "<NULL>". */
ZTBASE_API void V_Syslog(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/* Deregisters the event source. */
ZTBASE_API void V_Closelog(void);

ZTBASE_END_C

#endif
