// The switch that converts message texts from the process locale's character
// set (what Windows calls the ANSI code page) to UTF-8, and the console writer
// that converts back.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "locale/messages_internal.h"
#include "ztbase/messages.h"
#include "ztbase/strings.h"

namespace ztbase::messages {

std::atomic<bool> g_converting{false};

bool converting() {
    return g_converting.load(std::memory_order_relaxed);
}

bool acp_to_utf8(const std::string &text, std::string &out) {
    char16_t *wide = V_StrDupACPToWide(text.c_str());
    if (wide == nullptr)
        return false;
    char *utf8 = V_StrDupWideToUTF8(wide);
    free(wide);
    if (utf8 == nullptr)
        return false;
    out = utf8;
    free(utf8);
    return true;
}

} // namespace ztbase::messages

extern "C" ZTBASE_API void setNeedAcpToUtf8Conversion(int code_set) {
    ztbase::messages::g_converting.store(code_set == 40 || code_set == 41,
                                         std::memory_order_relaxed);
}

extern "C" ZTBASE_API int needAcpToUtf8Conversion(void) {
    return ztbase::messages::converting() ? 1 : 0;
}

extern "C" ZTBASE_API int writeCliLocalizedMessage(FILE *f, const char *text, int newline) {
    if (f == nullptr || text == nullptr)
        return -1;
    std::string shown = text;
    if (ztbase::messages::converting()) {
        char16_t *wide = V_StrDupUTF8ToWide(text);
        if (wide == nullptr)
            return -1;
        char *acp = V_StrDupWideToACP(wide);
        free(wide);
        if (acp == nullptr || (acp[0] == '\0' && text[0] != '\0')) {
            free(acp);
            return -1;
        }
        shown = acp;
        free(acp);
    }
    if (fputs(shown.c_str(), f) == EOF || (newline != 0 && fputc('\n', f) == EOF))
        return -1;
    return 0;
}
