// The "(key) (value)" pairs of the generic key/value list. The split works in
// place on a block of exactly the text's size; a pair it accepts must point
// into that block and split the same way once formatted again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ztbase/bpconf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t len = strnlen(reinterpret_cast<const char *>(data), size);
    auto text = std::make_unique<char[]>(len + 1);
    memcpy(text.get(), data, len);
    text[len] = '\0';
    char *key = nullptr;
    char *value = nullptr;
    if (getKeyValPairFromList(&key, &value, text.get()) != 0)
        return 0;
    const char *end = text.get() + len;
    if (key < text.get() || key > end || value < text.get() || value > end)
        __builtin_trap();
    std::string again = "(" + std::string(key) + ") (" + value + ")";
    char *k2 = nullptr;
    char *v2 = nullptr;
    if (getKeyValPairFromList(&k2, &v2, again.data()) != 0 || strcmp(k2, key) != 0 ||
        strcmp(v2, value) != 0)
        __builtin_trap();
    return 0;
}
