// The common log: a severity mask in front of the debug log.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "logging/debuglog_internal.h"
#include "ztbase/cmnlog.h"
#include "ztbase/cstr.h"
#include "ztbase/debuglog.h"

extern "C" {
ZTBASE_API int cmnlogSEVERITY = 63;
}

namespace {

bool passes(int level) {
    return (level & cmnlogSEVERITY & 63) != 0;
}

bool log_open() {
    return ztbase::debuglog::debug_fd().load() >= 0;
}

} // namespace

extern "C" ZTBASE_API int cmnlogOPEN(const char *root, const char *name, int mode) {
    int err = 0;
    int fd = open_debug_log(root, name, name, mode, &err);
    if (fd >= 0)
        ztbase::debuglog::debug_fd().store(fd);
    return fd >= 0 ? 0 : (err != 0 ? err : EIO);
}

// Closes the log even when a failed write already forgot debugFD: the log
// object would otherwise reopen its file at the next check and write on.
extern "C" ZTBASE_API int cmnlogCLOSE(void) {
    close_debug_log();
    ztbase::debuglog::debug_fd().store(-1);
    return 0;
}

extern "C" ZTBASE_API int cmnlogMSG(int level, const char *text, const char *tag) {
    if (!log_open() || !passes(level))
        return -1;
    return logmsg(level, text, tag);
}

extern "C" ZTBASE_API int cmnlogPARAMS(cstra args) {
    if (!log_open() || !passes(ZTLOG_INFO))
        return -1;
    char *joined = cstraTOcstr(args, " ");
    if (joined == nullptr)
        return -1;
    int rc = logmsg(ZTLOG_INFO, joined, "cmnlogPARAMS");
    free(joined);
    return rc;
}

extern "C" ZTBASE_API void cmnlogSeveritySET(int mask) {
    cmnlogSEVERITY = mask & 63;
}

extern "C" ZTBASE_API void cmnlogARGS(cstra args) {
    if (args == nullptr)
        return;
    static const char kName[] = "-LOGSEVERITY";
    const size_t n = sizeof kName - 1;
    for (int i = 0; args[i] != nullptr; ++i) {
        const char *value = nullptr;
        if (strcmp(args[i], kName) == 0)
            value = args[i + 1];
        else if (strncmp(args[i], kName, n) == 0 && args[i][n] == '=')
            value = args[i] + n + 1;
        if (value != nullptr) {
            char *end = nullptr;
            long mask = strtol(value, &end, 10);
            if (end != value)
                cmnlogSeveritySET(static_cast<int>(mask));
            return;
        }
    }
}
