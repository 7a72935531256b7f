// The runtime's invalid-parameter handler and the library's own handler.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/log_sink.h"
#include "platform/registry/registry.h"
#include "ztbase/status.h"
#include "ztbase/strings.h"

namespace {

std::atomic<ZT_invalid_parameter_handler> g_handler{nullptr};

std::string utf8_or_unknown(const char16_t *text) {
    char *utf8 = V_StrDupWideToUTF8(text);
    if (utf8 == nullptr)
        return "UNKNOWN";
    std::string out(utf8);
    free(utf8);
    return out;
}

} // namespace

namespace ztbase {

// Called where the runtime would find an invalid parameter: hands it to the
// installed handler, if any.
void report_invalid_parameter(const char16_t *expression, const char16_t *function,
                              const char16_t *file, unsigned line) {
    ZT_invalid_parameter_handler handler = g_handler.load(std::memory_order_acquire);
    if (handler != nullptr)
        handler(expression, function, file, line, 0);
}

} // namespace ztbase

extern "C" ZTBASE_API ZT_invalid_parameter_handler
register_InvalidParameterHandler(ZT_invalid_parameter_handler handler) {
    if (handler == nullptr)
        return nullptr;
    return g_handler.exchange(handler, std::memory_order_acq_rel);
}

extern "C" ZTBASE_API void ZT_InvalidParameterHandler(const char16_t *expression,
                                                      const char16_t *function,
                                                      const char16_t *file, unsigned int line,
                                                      uintptr_t) {
    if (ztbase::logsink::debug_log_open()) {
        char text[1024];
        snprintf(
            text, sizeof text,
            "INVALID PARAMTER HANDLER invoked by function %s; File: %s Line: %u, Expression: %s",
            utf8_or_unknown(function).c_str(), utf8_or_unknown(file).c_str(), line,
            utf8_or_unknown(expression).c_str());
        ztbase::logsink::write_line(32, "ZT_InvalidParameterHandler", text);
    }
    using namespace ztbase::registry;
    Key key;
    Value value;
    if (Key::open(Root::LocalMachine, "SOFTWARE\\Halvane\\Zentor\\CurrentVersion", key) ==
            Status::Ok &&
        key.query("NO_CRASH_ON_INVALID_PARAMETER", value) == Status::Ok)
        return;     // the operator asked that the failing call go on
    raise(SIGTRAP); // the breakpoint: ends the process unless a debugger takes it
}
