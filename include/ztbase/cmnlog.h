/* The common log filter and the system event log. */
#ifndef ZTBASE_CMNLOG_H
#define ZTBASE_CMNLOG_H

#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* Registers the event source for a program identifier (for example "bprd" gives
 * "Zentor Request Daemon"; unknown identifiers give "Zentor") once per process;
 * later calls do nothing until V_Closelog. option and facility are those of
 * openlog(3). */
ZTBASE_API void V_Openlog(const char *ident, int option, int facility);
/* Reports one event at a syslog priority (LOG_ERR ... LOG_DEBUG); "%m" stands
 * for the text of the current errno. Nothing happens before V_Openlog. */
ZTBASE_API void NTsyslog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* As NTsyslog; a null string argument prints as "<NULL>". */
ZTBASE_API void V_Syslog(int priority, const char *format, ...);
/* Deregisters the event source. */
ZTBASE_API void V_Closelog(void);

ZTBASE_END_C

#endif
