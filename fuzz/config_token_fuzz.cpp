// The configuration tokenizer over arbitrary text with every delimiter class.
// Input: one byte choosing the class (low 4 bits), then the text, kept in a
// heap block of exactly its length plus the NUL. Tokens are taken one after
// another as the readers do, putting each terminator back.
#include <cstdint>
#include <cstring>
#include <memory>

#include "ztbase/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const int cls = (data[0] & 0x0F) << 16;
    const size_t len = strnlen(reinterpret_cast<const char *>(data + 1), size - 1);
    auto text = std::make_unique<char[]>(len + 1);
    memcpy(text.get(), data + 1, len);
    text[len] = '\0';
    char *const limit = text.get() + len;
    char *p = text.get();
    for (int guard = 0; guard <= int(len) + 1; ++guard) {
        char *cursor = p;
        int term = getConfigTokenA(&cursor, cls);
        if (term < 0)
            break;
        if (cursor < text.get() || cursor > limit)
            __builtin_trap();
        size_t n = strlen(cursor);
        if (term == 0)
            break;
        if (cursor + n >= limit)
            __builtin_trap(); // a terminator was found inside the text
        cursor[n] = char(term);
        p = cursor + n + 1;
    }
    return 0;
}
