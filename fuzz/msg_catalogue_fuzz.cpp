// Message catalogue files of any bytes in several character sets; every text
// that passes the argument check is formatted with the arguments its default
// passes, which must never read past them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "locale/messages_internal.h"
#include "locale/msg_catalogue.h"

using namespace ztbase;

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void format_checked(const std::string &text) {
    char out[256];
    if (messages::formats_compatible(text.c_str(), "%s %d"))
        snprintf(out, sizeof out, text.c_str(), "word", 42);
    if (messages::formats_compatible(text.c_str(), "%lu %f %p"))
        snprintf(out, sizeof out, text.c_str(), 7UL, 2.5, static_cast<void *>(out));
    if (messages::formats_compatible(text.c_str(), "%c%ls%lld"))
        snprintf(out, sizeof out, text.c_str(), 'c', L"wide", 9LL);
}
#pragma GCC diagnostic pop

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    static const char *const kCharsets[] = {"UTF-8", "SJIS", "EUC-JP", "GBK", "Big5", "ISO-8859-1"};
    msgcat::CharSet charset(kCharsets[data[0] % 6]);
    const std::string bytes(reinterpret_cast<const char *>(data + 1), size - 1);
    msgcat::parse_catalogue(bytes, charset, [](msgcat::Message &&m) {
        check(!m.id.empty() && m.id.find_first_of(" \t\"") == std::string::npos);
        check(m.text.find('\0') == std::string::npos);
        format_checked(m.text);
    });
    return 0;
}
