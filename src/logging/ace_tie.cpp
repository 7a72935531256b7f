// ACE's log records into the loggers, assertions and tracing.
#include <ztbase/ztlogger.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <ace/Log_Msg.h>

#include <ztbase/debuglog.h>

#include "logging/ul_internal.h"

namespace {

// The record's text without one trailing line feed.
std::string record_text(const ACE_Log_Record &record) {
    std::string text = record.msg_data() != nullptr ? record.msg_data() : "";
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

std::atomic<LAssert *> g_lassert{nullptr};

} // namespace

void ACELoggerTie::log(ACE_Log_Record &record) {
    const std::string text = record_text(record);
    logger_.logDebug("TAO", MapLevelToUL(int(record.priority())), text.c_str());
}

void OldAceLoggerTie::log(ACE_Log_Record &record) {
    const std::string text = record_text(record);
    logmsg(ZTLOG_DEBUG, text.c_str(), "taolog");
}

void ACELoggerTie::SetCallback(ACE_Log_Msg_Callback *callback) {
    ACE_Log_Msg *msg = ACE_LOG_MSG;
    msg->clr_flags(ACE_Log_Msg::OSTREAM | ACE_Log_Msg::STDERR);
    msg->set_flags(ACE_Log_Msg::MSG_CALLBACK);
    msg->msg_callback(callback);
}

int ACELoggerTie::MapLevelToUL(int priority) {
    switch (priority) {
    case 2: return 5;
    case 3:
    case 4: return 4;
    case 5:
    case 6: return 3;
    case 7: return 2;
    case 8:
    case 9:
    case 10: return 1;
    default: return 6;
    }
}

int ACELoggerTie::MapLevelToACE(int level) {
    switch (level) {
    case 3: return 4;
    case 4: return 6;
    case 5: return 8;
    case 6: return 10;
    default: return level;
    }
}

LAssert::LAssert() {
    LAssert *none = nullptr;
    g_lassert.compare_exchange_strong(none, this);
}

LAssert::~LAssert() {
    LAssert *self = this;
    g_lassert.compare_exchange_strong(self, nullptr);
}

LAssert *GetLAssert() {
    return g_lassert.load();
}

void LAssert::assertFailed(const char *condition, const char *message, const char *file,
                           int line) {
    ZTLogger *logger = ZTLogger::GetDefLibLogger();
    if (logger != nullptr && logger->getVerbosity() >= 1) {
        const std::string text = std::string("ASSERT failed; \n") + "\t condition = ( " +
                                 (condition != nullptr ? condition : "") + " ) \n" +
                                 "\t filename = " + (file != nullptr ? file : "") + "\n" +
                                 "\t line = " + std::to_string(line) + "\n" + "\t msg = " +
                                 (message != nullptr ? message : "") + ZT_UL_WHERE();
        logger->logDebug("LAssert::assertFailed", 1, text.c_str());
    }
    if (abort_)
        abort();
}

Tracer::Tracer(ZTLogger *logger, const void *object, const char *function, const char *file,
               int line)
    : logger_(logger), object_(object), function_(function != nullptr ? function : ""),
      file_(file != nullptr ? file : ""), line_(line),
      on_(logger != nullptr && logger->getTracing() && logger->getVerbosity() >= 6) {
    write("+++ ENTERING +++ : obj = ");
}

Tracer::~Tracer() {
    write("--- EXITING --- : obj = ");
}

void Tracer::write(const char *what) {
    if (!on_)
        return;
    char text[1024];
    snprintf(text, sizeof text, "%s%p (%s:%d)", what, object_, file_, line_);
    logger_->logDebug(function_, 6, text);
}
