/* The unified logger bridge: ZTLogger writes each message to a unified log
 * (hxul), to the legacy debug log (debuglog.h), or to both; two redirections
 * send one log into the other; ties route ACE's log output into them; a small
 * assertion and tracing toolkit; translation of localisable messages; and the
 * maintenance calls that format, select and delete unified log records.
 *
 * Unified logs are those of product ZT_UL_PRODUCT; their files and
 * configuration are where the path labels HXUL_LOGS and HXUL_CONF_FILE say.
 * The plain functions at the end are C; the classes need C++. */
#ifndef ZTBASE_ZTLOGGER_H
#define ZTBASE_ZTLOGGER_H

#include <stddef.h>
#include <ztbase/export.h>

#include <hxul/hxul.h>

#define ZT_UL_PRODUCT 51216UL          /* every unified log of the product */
#define ZT_UL_LEGACY_ORIGINATOR 137UL  /* the logger RedirectZTLoggerToLegacyLog makes */
#define ZT_UL_SETTINGS_ORIGINATOR 112UL /* log-file settings and recycling */

/* The product's error log: (job, name, tag, a, level, text, extra); non-zero
 * when the message could not be logged. */
typedef int (*ZTErrorCallback)(int job, const char *name, const char *tag, int a, int level,
                               const char *text, const char *extra);

#ifdef __cplusplus
#include <memory>
#include <sstream>
#include <string>

#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>
#include <hxul/hxul.hpp>

class ZTBASE_API ZTLogger {
  public:
    // Everything zero: no unified log, no legacy sink.
    ZTLogger();
    // A unified log of product ZT_UL_PRODUCT and originator oid (instance
    // `extra`). When it cannot be opened the failure goes to the system log
    // (SyslogHxULFailure) and unified writes return 1.
    explicit ZTLogger(unsigned long oid);
    ZTLogger(unsigned long oid, const char *extra);
    // Adopts log (deleted with the last logger that shares it).
    explicit ZTLogger(Halvane::Logging::Log<0> *log);
    // Copies share the unified log and the legacy sink; the last copy to go
    // closes them.
    ZTLogger(const ZTLogger &other);
    ZTLogger &operator=(const ZTLogger &other);
    ~ZTLogger();

    // The defaults: the first logger constructed fills each that is empty; a
    // logger clears each that names it when it goes.
    static void SetDefSvcLogger(ZTLogger *logger);
    static void SetDefLibLogger(ZTLogger *logger);
    static ZTLogger *GetDefSvcLogger();
    static ZTLogger *GetDefLibLogger();
    // Copied into every unified log opened afterwards: input texts are UTF-8.
    static void DefaultUtf8Input(bool flag);

    // With no default library logger: makes one that writes only to the
    // legacy log (originator 137), with levels from its unified-log settings.
    static void RedirectZTLoggerToLegacyLog();
    // Sends every legacy log line to the default library logger (debugFD is
    // pointed at /dev/null when it was -1, so that legacy writers proceed).
    static void RedirectLegacyLogToZTLogger();

    void setUL(Halvane::Logging::Log<0> *log); // adopts it
    Halvane::Logging::Log<0> *getUL() const { return ul_.get(); }
    unsigned long getOid() const { return oid_; }
    void setOid(unsigned long oid) { oid_ = oid; }
    bool getTracing() const { return tracing_; }
    void setTracing(bool on) { tracing_ = on; }
    int getVerbosity() const { return verbosity_; }
    // Also the legacy verbosity: v when this is the default library logger
    // and the legacy log is redirected into it, else min(v, 5) with a
    // legacy sink.
    void setVerbosity(int v);
    hlvnLogDiagLevel_t getDiagVerbosity() const { return diag_verbosity_; }
    void setDiagVerbosity(hlvnLogDiagLevel_t level) { diag_verbosity_ = level; }
    void setJobId(int job) { job_id_ = job; }
    void utf8Input(bool flag);
    bool utf8Input() const;
    const std::string &getName() const { return name_; }
    bool hasLegacySink() const { return legacy_ != nullptr; }

    // Stores name and callback; with program and dir opens the legacy debug
    // log in BP_LOGS/dir when that directory exists and no debug log is open.
    // Returns 0, or -1 when the debug log could not be opened.
    int open(const char *name, const char *program, const char *dir, ZTErrorCallback callback);
    // Reads the log-file settings of originator 112 for the next open.
    void setRobustLogging();

    // A debug record (who = tag) when level is within the unified log's
    // debug level; with a legacy sink also logmsg(2, text, tag). Returns 0, or
    // 1 when the unified log is not open or the record was not written.
    int logDebug(const char *tag, int level, const char *text);

    int logDiag(const char *tag, hlvnLogDiagLevel_t level, const Halvane::L10N::Lis &msg);
    int logDiag(const char *tag, hlvnLogDiagLevel_t level, unsigned long msgid);
    int logDiag(const char *tag, hlvnLogDiagLevel_t level, unsigned long msgid, const char *arg);
    int logDiag(const char *tag, hlvnLogDiagLevel_t level, unsigned long msgid,
                const std::string &arg);
    int logDiag(const char *tag, hlvnLogDiagLevel_t level, unsigned long msgid,
                const std::ostringstream &arg);

    int logApp(const char *tag, hlvnLogSeverity_t severity, const Halvane::L10N::Lis &msg);
    int logApp(const char *tag, hlvnLogSeverity_t severity, unsigned long msgid);
    int logApp(const char *tag, hlvnLogSeverity_t severity, unsigned long msgid, const char *arg);
    int logApp(const char *tag, hlvnLogSeverity_t severity, unsigned long msgid,
               const std::string &arg);
    int logApp(const char *tag, hlvnLogSeverity_t severity, unsigned long msgid,
               const std::ostringstream &arg);

    // With a legacy sink: the message translated, then logmsg at level.
    void xlateAndLog(const char *tag, int level, const Halvane::L10N::Lis &msg);
    // The error callback (job 0: the stored job id), then with a legacy sink
    // logmsg(level, text, tag).
    void logError(int job, const char *tag, int a, int level, const char *text,
                  const char *extra);

    // The legacy level of an application severity: 4, 8, 16, 32, else 1.
    static int LegacyLevelOf(int severity);

  private:
    struct LegacySink {};
    void adopt_defaults();
    void open_ul(unsigned long oid, const char *extra);
    // Writes one translated message to the legacy sink.
    void legacy_text(const char *tag, int level, const Halvane::L10N::Lis &msg);

    int verbosity_ = 0;
    hlvnLogDiagLevel_t diag_verbosity_ = 0;
    unsigned long oid_ = 0;
    bool tracing_ = false;
    std::string name_;
    int job_id_ = 0;
    ZTErrorCallback callback_ = nullptr;
    std::shared_ptr<Halvane::Logging::Log<0>> ul_;
    std::shared_ptr<LegacySink> legacy_;
    bool robust_read_ = false;
    int robust_max_file_size_ = 0; // kilobytes
    int robust_num_files_ = 0;
};

// Routes ACE's log records into a ZTLogger as debug records with tag "TAO".
class ZTBASE_API ACELoggerTie : public ACE_Log_Msg_Callback {
  public:
    explicit ACELoggerTie(ZTLogger &logger) : logger_(logger) {}
    void log(ACE_Log_Record &record) override;
    // On ACE's log object: no output stream, no standard error, callback on.
    static void SetCallback(ACE_Log_Msg_Callback *callback);
    // ACE priority index (0 trace ... 9 emergency) to unified debug level.
    static int MapLevelToUL(int priority);
    static int MapLevelToACE(int level);

  private:
    ZTLogger &logger_;
};

// Routes ACE's log records into the legacy log at level 2, tag "taolog".
class ZTBASE_API OldAceLoggerTie : public ACE_Log_Msg_Callback {
  public:
    void log(ACE_Log_Record &record) override;
};

class ZTBASE_API LAssert {
  public:
    LAssert();
    ~LAssert();
    LAssert(const LAssert &) = delete;
    LAssert &operator=(const LAssert &) = delete;
    bool getAbort() const { return abort_; }
    void setAbort(bool flag) { abort_ = flag; }
    // Logs the failed assertion through the default library logger (when its
    // verbosity is 1 or more); aborts when the abort switch is on.
    void assertFailed(const char *condition, const char *message, const char *file, int line);

  private:
    bool abort_ = false;
};
// The first LAssert constructed; null when there is none.
ZTBASE_API LAssert *GetLAssert();

// Logs entering (construction) and leaving (destruction) of a function at
// level 6 when the logger traces and its verbosity is 6 or more.
class ZTBASE_API Tracer {
  public:
    Tracer(ZTLogger *logger, const void *object, const char *function, const char *file,
           int line);
    ~Tracer();
    Tracer(const Tracer &) = delete;
    Tracer &operator=(const Tracer &) = delete;

  private:
    void write(const char *what);
    ZTLogger *logger_;
    const void *object_;
    const char *function_;
    const char *file_;
    int line_;
    bool on_;
};

// The text of a localisable message in locale (null: the default locale),
// from the catalogue that originator's unified-log settings name
// (L10NLibrary, L10NResource, L10NResourceDir). *text is new (free). Returns
// 0; the settings' status when they cannot be read or lack an item; 1 when the
// library or one of its entry points is missing or the catalogue does not
// open; else the formatter's status.
ZTBASE_API int xlatemsg(const Halvane::L10N::Lis &msg, unsigned long originator, char **text,
                        const char *locale);
// The same as UTF-16 (free).
ZTBASE_API int xlatemsgW(const Halvane::L10N::Lis &msg, unsigned long originator,
                         char16_t **text, const char *locale);

#else
typedef struct ZTLogger ZTLogger;
#endif

ZTBASE_BEGIN_C

/* One unified record as "%s %s.%d %s PID:%lu TID:%lu [%s] %s" (local date,
 * time, milliseconds, kind, process and thread id, who or severity name,
 * text or translation in locale). *text is new (free). Returns 0, 3 when an
 * attribute cannot be read or the kind is unknown, 1 when memory is short. */
ZTBASE_API int formatULmsg(const hlvnLogRecord *record, char **text, const char *locale);
/* Reports a failure to open a unified log to the system log. */
ZTBASE_API void SyslogHxULFailure(int error, long originator);
/* "((ENDATE <= T) && (PRODID = 51216))" with T now minus days. Returns 0, or
 * -1 when buf is null or too small. */
ZTBASE_API int create_recycle_query(char *buf, size_t size, int days);
/* Whether originator 112's settings can be read and turn recycling on. */
ZTBASE_API int is_ul_recycling_enabled(void);
/* Deletes the unified log files a query selects. Returns 9 when done, 1 for a
 * null query, else the failing status. */
ZTBASE_API int hxlogmgr_delete(const char *query);

ZTBASE_API ZTLogger *cGetZTLogger(void);
ZTBASE_API void cZT_DLOG(ZTLogger *logger, const char *tag, const char *text, int level);
ZTBASE_API void cZT_DLOG1(const char *tag, const char *text);
ZTBASE_API void cZT_DLOG2(const char *tag, const char *text);
ZTBASE_API void cZT_DLOG3(const char *tag, const char *text);
ZTBASE_API void cZT_DLOG4(const char *tag, const char *text);
ZTBASE_API void cZT_DLOG5(const char *tag, const char *text);
ZTBASE_API void cELOG(ZTLogger *logger, int job, const char *tag, int a, int level,
                      const char *text, const char *extra);
ZTBASE_API void cRedirectZTLoggerToLegacyLog(void);
ZTBASE_API void cRedirectLegacyLogToZTLogger(void);

ZTBASE_END_C

#endif
