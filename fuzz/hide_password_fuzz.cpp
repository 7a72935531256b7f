// Password masking on arbitrary command lines: the output stays within its
// size and terminated, the input is never changed, and a refusal has a reason.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ztbase/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    // Byte 0: output size; then delimiters up to a 0x01 byte; the rest is the text.
    size_t out_size = data[0];
    std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    size_t cut = rest.find('\x01');
    std::string delims = cut == std::string::npos ? " " : rest.substr(0, cut);
    std::string in = cut == std::string::npos ? rest : rest.substr(cut + 1);
    delims = delims.c_str(); // up to an embedded NUL, as C callers would pass it
    in = in.c_str();
    const std::string original = in;

    const int positions[] = {0, 1, 3};
    const char *keywords[] = {"-p", "-password", "pw"};
    for (int which = 0; which < 2; ++which) {
        // Exactly out_size bytes on the heap, so any overrun shows.
        char *out = static_cast<char *>(malloc(out_size == 0 ? 1 : out_size));
        char *r =
            which == 0
                ? V_HidePasswordInString(out, out_size, in.c_str(), delims.c_str(), positions, 3)
                : V_HidePasswordInCmdLine(out, out_size, in.c_str(), delims.c_str(), keywords, 3);
        if (r != nullptr) {
            if (r != out || memchr(out, 0, out_size) == nullptr)
                abort();
        } else if (out_size != 0 && out_size >= in.size() && !(which == 0 && in.empty())) {
            abort(); // refused without a reason
        }
        free(out);
        if (in != original)
            abort();
    }
    return 0;
}
