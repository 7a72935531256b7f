// Maintenance of unified log records: formatting one record as a line,
// reporting a log that cannot be opened, and selecting and deleting old
// record files.
#include <ztbase/ztlogger.h>

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <unicode/msgfmt.h>
#include <unicode/ures.h>

#include <ztbase/cmnlog.h>
#include <ztbase/debuglog.h>
#include <ztbase/paths.h>

#include "logging/ul_internal.h"

namespace {

const char *kind_text(hlvnLogKind_t kind) {
    switch (kind) {
    case HLVN_KIND_DEBUG: return "[Debug]";
    case HLVN_KIND_DIAG: return "[Diagnostic]";
    case HLVN_KIND_APP: return "[Application]";
    }
    return nullptr;
}

const char *const kSeverityNames[] = {"Info", "Warning", "Error", "Critical", "Emergency"};

// The local date ("%x") and time ("%H:%M:%S") of a second, kept for the last
// second asked: a reader formats many records of one second.
struct LocalTexts {
    time_t sec = -1;
    char date[64] = "";
    char time[16] = "";
};

const LocalTexts &local_texts(time_t sec) {
    thread_local LocalTexts t;
    if (t.sec != sec) {
        struct tm tm;
        if (localtime_r(&sec, &tm) == nullptr) {
            snprintf(t.date, sizeof t.date, "?");
            snprintf(t.time, sizeof t.time, "?");
        } else {
            if (strftime(t.date, sizeof t.date, "%x", &tm) == 0)
                t.date[0] = '\0';
            strftime(t.time, sizeof t.time, "%H:%M:%S", &tm);
        }
        t.sec = sec;
    }
    return t;
}

} // namespace

extern "C" {

ZTBASE_API int formatULmsg(const hlvnLogRecord *record, char **text, const char *locale) {
    if (text == nullptr)
        return 3;
    *text = nullptr;
    hlvnLogKind_t kind;
    int64_t ms = 0;
    unsigned long pid = 0, tid = 0, originator = 0;
    if (record == nullptr || hlvnLogRecGetKind(record, &kind) != HLVN_OK ||
        kind_text(kind) == nullptr || hlvnLogRecGetTime(record, &ms) != HLVN_OK ||
        hlvnLogRecGetPid(record, &pid) != HLVN_OK || hlvnLogRecGetTid(record, &tid) != HLVN_OK ||
        hlvnLogRecGetOriginator(record, &originator) != HLVN_OK)
        return 3;
    const char *who = nullptr;
    if (kind == HLVN_KIND_APP) {
        hlvnLogSeverity_t severity;
        if (hlvnLogRecGetSeverity(record, &severity) != HLVN_OK)
            return 3;
        who = kSeverityNames[severity];
    } else if (hlvnLogRecGetWho(record, &who) != HLVN_OK) {
        return 3;
    }
    const char *body = nullptr;
    char *translated = nullptr;
    std::string fallback;
    if (kind == HLVN_KIND_DEBUG) {
        if (hlvnLogRecGetText(record, &body) != HLVN_OK)
            return 3;
    } else {
        unsigned long msgid = 0;
        int argc = 0;
        if (hlvnLogRecGetMsgId(record, &msgid) != HLVN_OK ||
            hlvnLogRecGetArgCount(record, &argc) != HLVN_OK)
            return 3;
        Halvane::L10N::Lis msg(msgid);
        for (int i = 0; i < argc; ++i) {
            const char *arg = nullptr;
            if (hlvnLogRecGetArg(record, i, &arg) != HLVN_OK)
                return 3;
            msg.add(arg);
        }
        if (xlatemsg(msg, originator, &translated, locale) == 0) {
            body = translated;
        } else { // no catalogue: the id and the arguments, so nothing is lost
            fallback = "message " + std::to_string(msgid);
            for (int i = 0; i < argc; ++i)
                fallback += (i == 0 ? ": " : ", ") + msg.args()[size_t(i)];
            body = fallback.c_str();
        }
    }
    // "%s %s.%d %s PID:%lu TID:%lu [%s] %s", put together without printf: a
    // reader formats every record it shows.
    const time_t sec = time_t(ms / 1000);
    const LocalTexts &lt = local_texts(sec);
    thread_local std::string line;
    line.clear();
    char num[24];
    auto put_num = [&](unsigned long v) {
        const auto r = std::to_chars(num, num + sizeof num, v);
        line.append(num, r.ptr);
    };
    line += lt.date;
    line += ' ';
    line += lt.time;
    line += '.';
    put_num(static_cast<unsigned long>(ms % 1000));
    line += ' ';
    line += kind_text(kind);
    line += " PID:";
    put_num(pid);
    line += " TID:";
    put_num(tid);
    line += " [";
    line += who;
    line += "] ";
    line += body;
    free(translated);
    char *out = static_cast<char *>(malloc(line.size() + 1));
    if (out == nullptr)
        return 1;
    memcpy(out, line.c_str(), line.size() + 1);
    *text = out;
    return 0;
}

ZTBASE_API void SyslogHxULFailure(int error, long originator) {
    char text[1024];
    const std::string dir = std::string(getFennicString("RES_DIR")) + "/hlvnlog/";
    UErrorCode st = U_ZERO_ERROR;
    UResourceBundle *bundle = ures_open(dir.c_str(), nullptr, &st);
    if (U_FAILURE(st)) {
        snprintf(text, sizeof text,
                 "Log open failed with UL errorcode: %d,could not open resource file either", 0);
    } else {
        UResourceBundle *table = ures_getByKey(bundle, "errorcodes", nullptr, &st);
        int32_t len = 0;
        const UChar *pattern =
            ures_getStringByKey(table, std::to_string(error).c_str(), &len, &st);
        std::string formatted;
        if (U_SUCCESS(st)) {
            icu::MessageFormat format(icu::UnicodeString(pattern, len), icu::Locale(), st);
            if (U_SUCCESS(st) && format.usesNamedArguments())
                st = U_ILLEGAL_ARGUMENT_ERROR;
            icu::Formattable args[1] = {icu::Formattable(int32_t(error))};
            icu::UnicodeString out;
            icu::FieldPosition pos;
            if (U_SUCCESS(st))
                format.format(args, 1, out, pos, st);
            if (U_SUCCESS(st))
                out.toUTF8String(formatted);
        }
        if (U_FAILURE(st))
            snprintf(text, sizeof text, "Log open failed with UL errorcode: %d", int(st));
        else
            snprintf(text, sizeof text, "%s", formatted.c_str());
        ures_close(table);
    }
    ures_close(bundle);
    char line[1200];
    snprintf(line, sizeof line, "OID:%ld:%s", originator, text);
    V_Openlog("zentor", 19, 24);
    V_Syslog(3, "%s", line);
    V_Closelog();
}

ZTBASE_API int create_recycle_query(char *buf, size_t size, int days) {
    if (buf == nullptr || size == 0)
        return -1;
    const int64_t before = int64_t(time(nullptr)) - int64_t(days) * 86400;
    const int n = snprintf(buf, size, "((ENDATE <= %" PRId64 ") && (PRODID = %d))", before,
                           int(ZT_UL_PRODUCT));
    return n >= 0 && size_t(n) < size ? 0 : -1;
}

ZTBASE_API int is_ul_recycling_enabled(void) {
    ztbase::ul::sync_paths();
    hlvnLogCfg *cfg = nullptr;
    if (hlvnLogReadCfg(ZT_UL_PRODUCT, ZT_UL_SETTINGS_ORIGINATOR, &cfg) != HLVN_OK)
        return 0;
    int on = 0;
    const int rc = hlvnLogCfgGetRecycling(cfg, &on);
    hlvnLogFreeCfg(cfg);
    return rc == HLVN_OK && on != 0 ? 1 : 0;
}

ZTBASE_API int hxlogmgr_delete(const char *query) {
    static const char kTag[] = "hxlogmgr_delete";
    if (query == nullptr)
        return 1;
    ztbase::ul::sync_paths();
    logmsgf(ZTLOG_DEBUG, kTag, "querystring = %s", query);
    hlvnLogQuery *q = nullptr;
    int rc = hlvnLogMgrCreateQuery(query, &q);
    if (rc != HLVN_OK) {
        logmsgf(ZTLOG_DEBUG, kTag, "CreateQuery failed %d\n", rc);
        return rc;
    }
    logmsg(ZTLOG_DEBUG, "CreateQuery ok", kTag);
    char path[4096];
    for (;;) {
        rc = hlvnLogMgrFetch(q, path, sizeof path);
        if (rc == HLVN_OK)
            rc = hlvnLogMgrDelete(q);
        if (rc != HLVN_OK)
            break;
        logmsgf(ZTLOG_DEBUG, kTag, "Deleted %s\n", path);
    }
    if (rc == HLVN_E_NOMORE) {
        hlvnLogMgrDestroyQuery(q);
        logmsg(ZTLOG_DEBUG, "Destroyed query", kTag);
        return rc;
    }
    logmsgf(ZTLOG_DEBUG, kTag, "Error %d\n", rc);
    hlvnLogMgrDestroyQuery(q);
    return rc;
}

} // extern "C"
