// Any message becomes one bounded line: no line end inside, no white space at
// either end, at most 7679 characters, and "..." only when it was cut.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "logging/debuglog_line.h"

namespace {

bool space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Repeat the input to reach the cut as well as short messages.
    const size_t total = size * (size > 0 && data[0] == 'R' ? 64 : 1);
    char *text = static_cast<char *>(malloc(total + 1));
    for (size_t i = 0; i < total; ++i)
        text[i] = static_cast<char>(data[i % size]);
    text[total] = '\0';
    static char body[ztbase::debuglog::kBodySize];
    const size_t n = ztbase::debuglog::prepare_body(text, body, sizeof body);
    if (n > sizeof body - 1 || strlen(body) != n)
        abort();
    for (size_t i = 0; i < n; ++i)
        if (body[i] == '\n' || body[i] == '\r')
            abort();
    if (n > 0 && (space(static_cast<unsigned char>(body[0])) ||
                  space(static_cast<unsigned char>(body[n - 1]))))
        abort();
    char line[ztbase::debuglog::kLineSize];
    const ztbase::debuglog::LineTime t{23, 59, 59, 999};
    long len =
        ztbase::debuglog::format_line(line, sizeof line, t, 2147483647, -1, -32, text, body, n);
    if (len <= 0 || line[len - 1] != '\n' ||
        memchr(line, '\n', static_cast<size_t>(len - 1)) != nullptr)
        abort();
    free(text);
    return 0;
}
