// Debug values of the vnet layer: one line per value or failure, to the
// debug log or to a sink the process installs.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "logging/debuglog_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

extern "C" {
ZTBASE_API c_shim_vnet_private *c_shim_mod_vnet_private = nullptr;
}

namespace {

std::atomic<vnet_debug_sink_fn> g_sink{nullptr};

constexpr size_t kDumpBytes = 48;
constexpr int64_t kHexLimit = int64_t(1) << 31;

bool wanted(int level) {
    return level == 0 ||
           level <= ztbase::debuglog::g_effective_verbose.load(std::memory_order_relaxed);
}

void emit(const char *function, int level, const char *line) {
    if (vnet_debug_sink_fn sink = g_sink.load(std::memory_order_acquire))
        sink(function, level, line);
    else
        logmsgv(ZTLOG_DEBUG, level, line, function);
}

} // namespace

extern "C" ZTBASE_API vnet_debug_sink_fn vnet_set_debug_sink(vnet_debug_sink_fn sink) {
    return g_sink.exchange(sink, std::memory_order_acq_rel);
}

extern "C" ZTBASE_API const char *vnet_log_basename(const char *path) {
    if (path == nullptr)
        return "";
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

extern "C" ZTBASE_API void vnet_debug_value_level(const char *file, int line, const char *function,
                                                  const char *label, const char *text,
                                                  int64_t value, int level) {
    if (!wanted(level))
        return;
    const char *base = vnet_log_basename(file);
    label = label != nullptr ? label : "";
    char out[1024];
    // The third field is always 0: a thread number the log line carries elsewhere.
    if (text != nullptr)
        snprintf(out, sizeof out, "%s.%d: %ld: %s: %s", base, line, 0L, label, text);
    else if (value < kHexLimit)
        snprintf(out, sizeof out, "%s.%d: %ld: %s: %" PRId64 " 0x%08lx", base, line, 0L, label,
                 value, static_cast<unsigned long>(value));
    else
        snprintf(out, sizeof out, "%s.%d: %ld: %s: %" PRId64 " %p", base, line, 0L, label, value,
                 reinterpret_cast<void *>(static_cast<uintptr_t>(value)));
    emit(function != nullptr ? function : "", level, out);
}

extern "C" ZTBASE_API void vnet_debug_value(const char *file, int line, const char *function,
                                            const char *label, const char *text, int64_t value) {
    vnet_debug_value_level(file, line, function, label, text, value, 4);
}

extern "C" ZTBASE_API void vnet_failure(const char *file, int line, const char *function,
                                        int status) {
    vnet_debug_value_level(file, line, function, "Function failed", nullptr, status, 0);
}

extern "C" ZTBASE_API void vnet_debug_dump(const char *file, int line, const char *function,
                                           const char *label, const void *bytes, size_t count) {
    char hex[kDumpBytes * 2 + kDumpBytes / 16 + 8] = "";
    size_t used = 0;
    const auto *p = static_cast<const unsigned char *>(bytes);
    const size_t shown = p != nullptr ? (count < kDumpBytes ? count : kDumpBytes) : 0;
    for (size_t i = 0; i < shown; ++i) {
        if (i > 0 && i % 16 == 0)
            hex[used++] = ' ';
        used += static_cast<size_t>(snprintf(hex + used, sizeof hex - used, "%02x", p[i]));
    }
    if (count > kDumpBytes)
        snprintf(hex + used, sizeof hex - used, "...");
    logmsgf(ZTLOG_ERROR, function != nullptr ? function : "", "[%s:%d] %s %s",
            vnet_log_basename(file), line, label != nullptr ? label : "", hex);
}

extern "C" ZTBASE_API void vnet_cache_ztconf(void) {
    // Nothing is cached any longer; the line stays for those who look for it.
    logmsgvf(ZTLOG_DEBUG, 5, "vnet_cache_ztconf", "caching vnet data");
}
