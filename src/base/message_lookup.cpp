#include "base/message_lookup.h"

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "ztbase/status.h"

namespace ztbase::msg {
namespace {

int english(const char *, const char *, size_t size, char *out, const char *default_format,
            va_list args) {
    int saved = errno;
    if (size > 0)
        vsnprintf(out, size, default_format, args);
    errno = saved;
    return 0;
}

bool english_status(int code, const char *, std::string &out) {
    out = getECmsg(code);
    return true;
}

constexpr Catalogue kEnglish{english, english_status};
std::atomic<const Catalogue *> g_catalogue{&kEnglish};

const Catalogue &catalogue() {
    return *g_catalogue.load(std::memory_order_acquire);
}

} // namespace

void install(const Catalogue *c) {
    g_catalogue.store(c != nullptr ? c : &kEnglish, std::memory_order_release);
}

int lookup(const char *id, const char *locale, size_t size, char *out, const char *default_format,
           ...) {
    if (id == nullptr || locale == nullptr || out == nullptr || default_format == nullptr)
        return -1;
    va_list ap;
    va_start(ap, default_format);
    const int rc = catalogue().vlookup(id, locale, size, out, default_format, ap);
    va_end(ap);
    return rc;
}

bool translate_status(int code, const char *locale, std::string &out) {
    return catalogue().translate_status(code, locale, out);
}

} // namespace ztbase::msg
