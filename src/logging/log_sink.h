// What the library's families need of the debug log before the log family
// exists: whether a log is open, and ways to write one line through the log
// callback or the log. Until then there is no log to write to.
#pragma once

namespace ztbase::logsink {

bool debug_log_open();
// One line at `level` (2 debug, 4 info, 8 warning, 16 error, 32 critical) with
// the calling function's name as tag.
void write_line(int level, const char *tag, const char *text);
// Formats then writes as write_line; `verbosity` filters level-2 lines.
void logf(int level, int verbosity, const char *tag, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

} // namespace ztbase::logsink
