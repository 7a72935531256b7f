// Whole locale files of any bytes: every line that is taken defines or maps a
// name, and no name runs past its line (names are counted, so they may hold
// blanks, never a line end).
#include <cstdint>
#include <string>

#include "locale/locale_dates.h"

using namespace ztbase::dates;

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

bool one_word(const std::string &s) {
    return s.find('\n') == std::string::npos && s.find('\0') == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<int> malformed;
    for (const LocaleLine &l : parse_locale_text(text, &malformed)) {
        check(!l.name.empty() && one_word(l.name));
        if (l.kind == LocaleLine::Define) {
            check(has_token(l.time_pattern) && has_token(l.date_pattern));
            check(one_word(l.runtime) && one_word(l.database));
            check(!l.database.empty() ? !l.runtime.empty() : true);
        } else {
            check(l.kind == LocaleLine::Map && !l.target.empty() && one_word(l.target));
        }
    }
    for (int n : malformed)
        check(n >= 1);
    return 0;
}
