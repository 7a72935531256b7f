// The two redirections between the legacy debug log and the default library
// logger, the plain-C shims over ZTLogger, and the unified log's paths.
#include <ztbase/ztlogger.h>

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <string>

#include <ztbase/debuglog.h>
#include <ztbase/paths.h>

#include "logging/debuglog_internal.h"
#include "logging/ul_internal.h"
#include "platform/posix_io.h"

namespace ztbase::ul {
namespace {

std::atomic<bool> g_redirected{false};

// What the unified-log library was last pointed at.
std::mutex g_paths_mutex;
std::string g_conf, g_logs;

// The legacy log's callback while it is redirected: each line becomes a
// debug record of the default library logger (and goes to its legacy sink,
// which the legacy log's own guard keeps from coming back here).
void redirected_line(void *, int, int verbosity, const char *body, const char *tag) {
    if (t_writing_legacy)
        return; // a logger's own legacy copy of a record it wrote already
    if (ZTLogger *logger = ZTLogger::GetDefLibLogger())
        logger->logDebug(tag != nullptr ? tag : "", verbosity, body);
}

} // namespace

bool legacy_redirected() {
    return g_redirected.load();
}

void set_legacy_redirected(bool on) {
    g_redirected.store(on);
}

void sync_paths() {
    const std::string conf = getFennicString("HXUL_CONF_FILE");
    const std::string logs = getFennicString("HXUL_LOGS");
    std::lock_guard<std::mutex> lock(g_paths_mutex);
    if (conf == g_conf && logs == g_logs)
        return;
    g_conf = conf;
    g_logs = logs;
    hlvnLogSetPaths(conf.empty() ? nullptr : conf.c_str(), logs.empty() ? nullptr : logs.c_str());
}

} // namespace ztbase::ul

namespace ul = ztbase::ul;

void ZTLogger::RedirectZTLoggerToLegacyLog() {
    if (GetDefLibLogger() != nullptr)
        return;
    // Lives as long as the process: it is the default of every later caller.
    auto *logger = new ZTLogger();
    logger->oid_ = ZT_UL_LEGACY_ORIGINATOR;
    logger->legacy_ = std::make_shared<LegacySink>();
    SetDefLibLogger(logger);
    SetDefSvcLogger(logger);
    ul::sync_paths();
    hlvnLogCfg *cfg = nullptr;
    int rc = hlvnLogReadCfg(ZT_UL_PRODUCT, ZT_UL_LEGACY_ORIGINATOR, &cfg);
    int debug = 0;
    hlvnLogDiagLevel_t diag = 0;
    if (rc == HLVN_OK)
        rc = hlvnLogCfgGetDebugLevel(cfg, &debug);
    if (rc == HLVN_OK)
        rc = hlvnLogCfgGetDiagLevel(cfg, &diag);
    hlvnLogFreeCfg(cfg);
    if (rc != HLVN_OK) {
        const std::string text = "problem reading config file: " + std::to_string(rc) + ZT_UL_WHERE();
        logger->logDebug("RedirectZTLoggerToLegacyLog", 1, text.c_str());
        return;
    }
    logger->setVerbosity(debug);
    logger->setDiagVerbosity(diag);
    logger->setTracing(debug >= 6);
}

void ZTLogger::RedirectLegacyLogToZTLogger() {
    ZTLogger *def = GetDefLibLogger();
    auto report = [def](const char *what, const std::string &pos) {
        if (def != nullptr)
            def->logDebug("RedirectLegacyLogToZTLogger", 1, (what + pos).c_str());
    };
    auto fd = ztbase::debuglog::debug_fd();
    if (fd.load() == -1) {
        // Legacy writers that test debugFD proceed; their lines never reach it.
        ztbase::pio::Fd null = ztbase::pio::open_fd("/dev/null", O_WRONLY);
        int expected = -1;
        if (!null)
            report("unable to open debugFD", ZT_UL_WHERE());
        else if (fd.compare_exchange_strong(expected, null.get()))
            null.release();
    } else {
        report("debugFD already has a value", ZT_UL_WHERE());
    }
    ul::g_redirected.store(true);
    log_set_callback(ul::redirected_line, nullptr, nullptr);
    if (def != nullptr)
        log_set_process_bpconf_verbose(def->getVerbosity());
}

extern "C" {

ZTBASE_API ZTLogger *cGetZTLogger(void) {
    return ZTLogger::GetDefLibLogger();
}

ZTBASE_API void cZT_DLOG(ZTLogger *logger, const char *tag, const char *text, int level) {
    if (logger != nullptr && logger->getVerbosity() >= level)
        logger->logDebug(tag, level, text);
}

ZTBASE_API void cZT_DLOG1(const char *tag, const char *text) {
    cZT_DLOG(cGetZTLogger(), tag, text, 1);
}
ZTBASE_API void cZT_DLOG2(const char *tag, const char *text) {
    cZT_DLOG(cGetZTLogger(), tag, text, 2);
}
ZTBASE_API void cZT_DLOG3(const char *tag, const char *text) {
    cZT_DLOG(cGetZTLogger(), tag, text, 3);
}
ZTBASE_API void cZT_DLOG4(const char *tag, const char *text) {
    cZT_DLOG(cGetZTLogger(), tag, text, 4);
}
ZTBASE_API void cZT_DLOG5(const char *tag, const char *text) {
    cZT_DLOG(cGetZTLogger(), tag, text, 5);
}

ZTBASE_API void cELOG(ZTLogger *logger, int job, const char *tag, int a, int level,
                      const char *text, const char *extra) {
    if (logger != nullptr)
        logger->logError(job, tag, a, level, text, extra);
}

ZTBASE_API void cRedirectZTLoggerToLegacyLog(void) {
    ZTLogger::RedirectZTLoggerToLegacyLog();
}

ZTBASE_API void cRedirectLegacyLogToZTLogger(void) {
    ZTLogger::RedirectLegacyLogToZTLogger();
}

} // extern "C"
