// ZTLogger: one logger, writing to a unified log, to the legacy debug log
// through logmsg, or to both. Loggers are not locked: a logger is set up
// before the threads that share it start.
#include <ztbase/ztlogger.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include <ztbase/debuglog.h>
#include <ztbase/paths.h>

#include "logging/ul_internal.h"

namespace ztbase::ul {

thread_local bool t_writing_legacy = false;

std::string where(const char *file, int line) {
    const char *slash = strrchr(file, '/');
    return " (" + std::string(slash != nullptr ? slash + 1 : file) + ":" + std::to_string(line) +
           ")";
}

namespace {

std::atomic<ZTLogger *> g_def_svc{nullptr};
std::atomic<ZTLogger *> g_def_lib{nullptr};
std::atomic<bool> g_default_utf8{false};

// A call of logmsg made by a logger for its legacy sink.
int legacy_logmsg(int level, const char *text, const char *tag) {
    const bool outer = t_writing_legacy;
    t_writing_legacy = true;
    const int rc = logmsg(level, text, tag);
    t_writing_legacy = outer;
    return rc;
}

// The message as text when no catalogue can translate it: nothing is lost.
std::string untranslated(const Halvane::L10N::Lis &msg) {
    std::string s = "message " + std::to_string(msg.id());
    for (size_t i = 0; i < msg.args().size(); ++i)
        s += (i == 0 ? ": " : ", ") + msg.args()[i];
    return s;
}

} // namespace

ZTLogger *default_lib() {
    return g_def_lib.load();
}

} // namespace ztbase::ul

namespace ul = ztbase::ul;
using Halvane::L10N::Lis;

ZTLogger::ZTLogger() {
    adopt_defaults();
}

ZTLogger::ZTLogger(unsigned long oid) {
    open_ul(oid, nullptr);
    adopt_defaults();
}

ZTLogger::ZTLogger(unsigned long oid, const char *extra) {
    open_ul(oid, extra);
    adopt_defaults();
}

ZTLogger::ZTLogger(Halvane::Logging::Log<0> *log) : ul_(log) {
    adopt_defaults();
}

ZTLogger::ZTLogger(const ZTLogger &other)
    : verbosity_(other.verbosity_), diag_verbosity_(other.diag_verbosity_), oid_(other.oid_),
      tracing_(other.tracing_), name_(other.name_), job_id_(other.job_id_),
      callback_(other.callback_), ul_(other.ul_), legacy_(other.legacy_),
      robust_read_(other.robust_read_), robust_max_file_size_(other.robust_max_file_size_),
      robust_num_files_(other.robust_num_files_) {
    adopt_defaults();
}

ZTLogger &ZTLogger::operator=(const ZTLogger &other) {
    if (this != &other) {
        verbosity_ = other.verbosity_;
        diag_verbosity_ = other.diag_verbosity_;
        oid_ = other.oid_;
        tracing_ = other.tracing_;
        name_ = other.name_;
        job_id_ = other.job_id_;
        callback_ = other.callback_;
        ul_ = other.ul_;
        legacy_ = other.legacy_;
        robust_read_ = other.robust_read_;
        robust_max_file_size_ = other.robust_max_file_size_;
        robust_num_files_ = other.robust_num_files_;
    }
    return *this;
}

ZTLogger::~ZTLogger() {
    ZTLogger *self = this;
    ul::g_def_svc.compare_exchange_strong(self, nullptr);
    self = this;
    ul::g_def_lib.compare_exchange_strong(self, nullptr);
}

void ZTLogger::adopt_defaults() {
    ZTLogger *none = nullptr;
    ul::g_def_svc.compare_exchange_strong(none, this);
    none = nullptr;
    ul::g_def_lib.compare_exchange_strong(none, this);
}

void ZTLogger::open_ul(unsigned long oid, const char *extra) {
    oid_ = oid;
    ul::sync_paths();
    auto *log = extra != nullptr ? new Halvane::Logging::Log<0>(ZT_UL_PRODUCT, oid, extra)
                                 : new Halvane::Logging::Log<0>(ZT_UL_PRODUCT, oid);
    ul_.reset(log);
    log->utf8Input(ul::g_default_utf8.load());
    if (!log->ok())
        SyslogHxULFailure(log->openResult(), long(oid));
}

void ZTLogger::SetDefSvcLogger(ZTLogger *logger) {
    ul::g_def_svc.store(logger);
}

void ZTLogger::SetDefLibLogger(ZTLogger *logger) {
    ul::g_def_lib.store(logger);
}

ZTLogger *ZTLogger::GetDefSvcLogger() {
    return ul::g_def_svc.load();
}

ZTLogger *ZTLogger::GetDefLibLogger() {
    return ul::g_def_lib.load();
}

void ZTLogger::DefaultUtf8Input(bool flag) {
    ul::g_default_utf8.store(flag);
}

void ZTLogger::setUL(Halvane::Logging::Log<0> *log) {
    ul_.reset(log);
}

void ZTLogger::setVerbosity(int v) {
    verbosity_ = v;
    if (GetDefLibLogger() == this && ul::legacy_redirected())
        log_set_process_bpconf_verbose(v);
    else if (legacy_ != nullptr)
        log_set_process_bpconf_verbose(std::min(v, 5));
}

void ZTLogger::utf8Input(bool flag) {
    if (ul_ != nullptr)
        ul_->utf8Input(flag);
}

bool ZTLogger::utf8Input() const {
    return ul_ != nullptr && ul_->utf8Input();
}

int ZTLogger::open(const char *name, const char *program, const char *dir,
                   ZTErrorCallback callback) {
    name_ = name != nullptr ? name : "";
    callback_ = callback;
    if (program == nullptr || dir == nullptr || *program == '\0' || *dir == '\0')
        return 0;
    const std::string root = getFennicString("BP_LOGS");
    if (root.empty()) {
        if (debugFD != -1) {
            char text[512];
            snprintf(text, sizeof text, "The configuration path for logging %s is incorrect.",
                     program);
            logError(0, "ZTLogger::open", 0, ZTLOG_ERROR, text, "");
        }
        return 0;
    }
    const std::string logdir = root + getFennicString("_ps") + dir;
    struct stat sb;
    if (stat(logdir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode) || debugFD != -1)
        return 0;
    int err = 0;
    const int fd = rl_open_debug_log(root.c_str(), dir, program, 0, &err, robust_read_ ? 1 : 0,
                                     robust_max_file_size_, robust_num_files_);
    if (fd < 0) {
        debugFD = -1;
        logError(0, "ZTLogger::open", 0, ZTLOG_ERROR, "unable to open debug log", "");
        return -1;
    }
    legacy_ = std::make_shared<LegacySink>();
    return 0;
}

void ZTLogger::setRobustLogging() {
    ul::sync_paths();
    ZTLogger *def = GetDefLibLogger();
    auto report = [def](const char *what, int rc, const std::string &pos) {
        if (def != nullptr)
            def->logDebug("ZTLogger::setRobustLogging", 1,
                          (what + std::to_string(rc) + pos).c_str());
    };
    hlvnLogCfg *cfg = nullptr;
    int rc = hlvnLogReadCfg(ZT_UL_PRODUCT, ZT_UL_SETTINGS_ORIGINATOR, &cfg);
    if (rc != HLVN_OK) {
        report("hlvnLogReadCfg() failed with error code:", rc, ZT_UL_WHERE());
        return;
    }
    long size = 0, files = 0;
    rc = hlvnLogCfgGetMaxFileSize(cfg, &size);
    if (rc != HLVN_OK) {
        report("hlvnLogCfgGetMaxFileSize() failed with error code:", rc, ZT_UL_WHERE());
        hlvnLogFreeCfg(cfg);
        return;
    }
    rc = hlvnLogCfgGetNumberOfLogFiles(cfg, &files);
    hlvnLogFreeCfg(cfg);
    if (rc != HLVN_OK) {
        report("hlvnLogCfgGetNumberOfLogFiles() failed with error code:", rc, ZT_UL_WHERE());
        return;
    }
    robust_max_file_size_ = int(std::min<long>(size, 0x7FFFFFFF));
    robust_num_files_ = int(std::min<long>(files, 0x7FFFFFFF));
    robust_read_ = true;
}

int ZTLogger::logDebug(const char *tag, int level, const char *text) {
    int rc = 1;
    if (ul_ != nullptr && ul_->ok()) {
        ul_->dynaLoadConfig();
        const int r = ul_->debug(tag, level, text);
        rc = r == HLVN_OK || r == HLVN_E_FILTERED ? 0 : 1;
    }
    if (legacy_ != nullptr)
        ul::legacy_logmsg(ZTLOG_DEBUG, text, tag);
    return rc;
}

int ZTLogger::LegacyLevelOf(int severity) {
    switch (severity) {
    case HLVN_SEV_INFO: return ZTLOG_INFO;
    case HLVN_SEV_WARNING: return ZTLOG_WARNING;
    case HLVN_SEV_ERROR: return ZTLOG_ERROR;
    case HLVN_SEV_CRITICAL:
    case HLVN_SEV_EMERGENCY: return ZTLOG_CRITICAL;
    default: return 1;
    }
}

void ZTLogger::legacy_text(const char *tag, int level, const Lis &msg) {
    char *text = nullptr;
    if (xlatemsg(msg, oid_, &text, nullptr) == 0 && text != nullptr) {
        ul::legacy_logmsg(level, text, tag);
    } else {
        ul::legacy_logmsg(level, ul::untranslated(msg).c_str(), tag);
    }
    free(text);
}

int ZTLogger::logDiag(const char *tag, hlvnLogDiagLevel_t level, const Lis &msg) {
    int rc = 1;
    if (ul_ != nullptr && ul_->ok()) {
        ul_->dynaLoadConfig();
        const int r = ul_->diag(tag, level, msg);
        rc = r == HLVN_OK || r == HLVN_E_FILTERED ? 0 : 1;
    }
    if (legacy_ != nullptr)
        legacy_text(tag, ZTLOG_WARNING, msg);
    return rc;
}

int ZTLogger::logDiag(const char *tag, hlvnLogDiagLevel_t level, unsigned long msgid) {
    return logDiag(tag, level, Lis(msgid));
}

int ZTLogger::logDiag(const char *tag, hlvnLogDiagLevel_t level, unsigned long msgid,
                      const char *arg) {
    return logDiag(tag, level, Lis(msgid, arg != nullptr ? arg : ""));
}

int ZTLogger::logDiag(const char *tag, hlvnLogDiagLevel_t level, unsigned long msgid,
                      const std::string &arg) {
    return logDiag(tag, level, Lis(msgid, arg));
}

int ZTLogger::logDiag(const char *tag, hlvnLogDiagLevel_t level, unsigned long msgid,
                      const std::ostringstream &arg) {
    return logDiag(tag, level, Lis(msgid, arg.str()));
}

int ZTLogger::logApp(const char *tag, hlvnLogSeverity_t severity, const Lis &msg) {
    int rc = 1;
    if (ul_ != nullptr && ul_->ok()) {
        ul_->dynaLoadConfig();
        rc = ul_->app(tag, severity, msg) == HLVN_OK ? 0 : 1;
    }
    if (legacy_ != nullptr)
        legacy_text(tag, LegacyLevelOf(severity), msg);
    return rc;
}

int ZTLogger::logApp(const char *tag, hlvnLogSeverity_t severity, unsigned long msgid) {
    return logApp(tag, severity, Lis(msgid));
}

int ZTLogger::logApp(const char *tag, hlvnLogSeverity_t severity, unsigned long msgid,
                     const char *arg) {
    return logApp(tag, severity, Lis(msgid, arg != nullptr ? arg : ""));
}

int ZTLogger::logApp(const char *tag, hlvnLogSeverity_t severity, unsigned long msgid,
                     const std::string &arg) {
    return logApp(tag, severity, Lis(msgid, arg));
}

int ZTLogger::logApp(const char *tag, hlvnLogSeverity_t severity, unsigned long msgid,
                     const std::ostringstream &arg) {
    return logApp(tag, severity, Lis(msgid, arg.str()));
}

void ZTLogger::xlateAndLog(const char *tag, int level, const Lis &msg) {
    if (legacy_ != nullptr)
        legacy_text(tag, level, msg);
}

void ZTLogger::logError(int job, const char *tag, int a, int level, const char *text,
                        const char *extra) {
    if (callback_ != nullptr) {
        const int rc = callback_(job != 0 ? job : job_id_, name_.c_str(), tag, a, level, text,
                                 extra);
        if (rc != 0 && legacy_ != nullptr) {
            const std::string line =
                "cannot log message to error ZTU error log, error=" + std::to_string(rc);
            ul::legacy_logmsg(ZTLOG_ERROR, line.c_str(), "log");
        }
    }
    if (legacy_ != nullptr)
        ul::legacy_logmsg(level, text, tag);
}
