// UTF-8 to UTF-16 on arbitrary bytes: the output stays within its size and
// terminated, and what decodes cleanly encodes back to the same bytes. The
// other converters and the wide formatter see the same text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ztbase/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    size_t units = data[0];
    std::string in(reinterpret_cast<const char *>(data + 1), size - 1);
    in = in.c_str();

    char16_t *out = static_cast<char16_t *>(malloc((units == 0 ? 1 : units) * sizeof(char16_t)));
    int r = V_UTFToUnicode(out, in.c_str(), units);
    if (units != 0) {
        size_t n = 0;
        while (n < units && out[n] != 0)
            ++n;
        if (n == units)
            abort(); // unterminated
        if (r == 0) {
            std::string back(3 * n + 1, 'X');
            if (V_UnicodeToUTF(back.data(), out, back.size()) != 0 ||
                strcmp(back.c_str(), in.c_str()) != 0)
                abort();
        }
    } else if (r != 1) {
        abort();
    }
    free(out);

    char16_t *wide = V_StrDupUTF8ToWide(in.c_str());
    if (wide != nullptr) {
        char *utf8 = V_StrDupWideToUTF8(wide);
        if (utf8 == nullptr || in != utf8)
            abort();
        free(utf8);
        char16_t line[64];
        V_snwprintf(line, 64, u"%s|%ls|%.5s|%-7ls", in.c_str(), wide, in.c_str(), wide);
        free(wide);
    }
    char16_t *acp = V_StrDupACPToWide(in.c_str());
    free(V_StrDupWideToACP(acp));
    free(acp);
    return 0;
}
