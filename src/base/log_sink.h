// How the library's lower families write to the debug log without depending on
// it: the log installs its sink when the library is loaded (see library/attach),
// and until then, or in a program built without it, every line is dropped.
#pragma once

#include <cstdarg>

namespace ztbase::logsink {

// What the debug log provides. Every member is set.
struct Sink {
    bool (*is_open)();
    // One finished line at `level` with `tag`.
    void (*write)(int level, const char *tag, const char *text);
    // Formats and writes one line; drops a level-2 line whose `verbosity` is
    // above the log's.
    void (*vwrite)(int level, int verbosity, const char *tag, const char *format, va_list args);
};

// Installs `sink` (static storage; null restores the no-op sink). Thread-safe.
void install(const Sink *sink);

bool debug_log_open();
// One line at `level` (2 debug, 4 info, 8 warning, 16 error, 32 critical) with
// the calling function's name as tag.
void write_line(int level, const char *tag, const char *text);
// Formats then writes as write_line; `verbosity` filters level-2 lines.
void logf(int level, int verbosity, const char *tag, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

} // namespace ztbase::logsink
