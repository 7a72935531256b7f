// The debug log as the sink of the lower families (base/log_sink.h).
#include <cstdarg>

#include "base/log_sink.h"
#include "logging/debuglog_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/strings.h"

namespace ztbase::debuglog {
namespace {

bool is_open() {
    return debug_fd().load() >= 0;
}

void write(int level, const char *tag, const char *text) {
    logmsgv(level, 0, text, tag);
}

void vwrite(int level, int verbosity, const char *tag, const char *format, va_list args) {
    if (level == 2 && verbosity > g_effective_verbose.load(std::memory_order_relaxed))
        return;
    char text[8192];
    V_vsnprintf(text, sizeof text, format, args);
    logmsgv(level, verbosity, text, tag);
}

constexpr logsink::Sink kSink{is_open, write, vwrite};

} // namespace

const logsink::Sink *sink() {
    return &kSink;
}

} // namespace ztbase::debuglog
