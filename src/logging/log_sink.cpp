#include "logging/log_sink.h"

#include <cstdarg>
#include <cstdio>

#include "logging/debuglog_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/strings.h"

namespace ztbase::logsink {

bool debug_log_open() {
    return debuglog::debug_fd().load() >= 0;
}

void write_line(int level, const char *tag, const char *text) {
    logmsgv(level, 0, text, tag);
}

void logf(int level, int verbosity, const char *tag, const char *format, ...) {
    if (level == 2 && verbosity > debuglog::g_effective_verbose.load(std::memory_order_relaxed))
        return;
    char text[8192];
    va_list ap;
    va_start(ap, format);
    V_vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    logmsgv(level, verbosity, text, tag);
}

} // namespace ztbase::logsink
