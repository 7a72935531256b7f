#include "base/log_sink.h"

#include <atomic>

namespace ztbase::logsink {
namespace {

bool closed() {
    return false;
}
void drop(int, const char *, const char *) {}
void vdrop(int, int, const char *, const char *, va_list) {}

constexpr Sink kNoSink{closed, drop, vdrop};
std::atomic<const Sink *> g_sink{&kNoSink};

const Sink &sink() {
    return *g_sink.load(std::memory_order_acquire);
}

} // namespace

void install(const Sink *s) {
    g_sink.store(s != nullptr ? s : &kNoSink, std::memory_order_release);
}

bool debug_log_open() {
    return sink().is_open();
}

void write_line(int level, const char *tag, const char *text) {
    sink().write(level, tag, text);
}

void logf(int level, int verbosity, const char *tag, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    sink().vwrite(level, verbosity, tag, format, ap);
    va_end(ap);
}

} // namespace ztbase::logsink
