#include "text/message_lookup.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "ztbase/status.h"

namespace ztbase::msg {

int lookup(const char *id, const char *locale, size_t size, char *out, const char *default_format,
           ...) {
    if (id == nullptr || locale == nullptr || out == nullptr || default_format == nullptr)
        return -1;
    int saved = errno;
    if (size > 0) {
        va_list ap;
        va_start(ap, default_format);
        vsnprintf(out, size, default_format, ap);
        va_end(ap);
    }
    errno = saved;
    return 0;
}

bool translate_status(int code, const char *, std::string &out) {
    out = getECmsg(code);
    return true;
}

} // namespace ztbase::msg
