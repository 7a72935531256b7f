// Configuration text images. Input: one byte choosing the parse flags (bit 0
// record empty values, bit 2 strict), then the image. Whatever the text, the
// parse must not crash, and the image made from the parsed record must parse
// back to a record with the same image. Generic values holding parentheses are
// left out of that check: "(key) (value)" cannot carry an unbalanced one.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ztbase/bpconf.h"
#include "ztbase/debuglog.h"

namespace {

int quiet(int, int, const char *, const char *) {
    return 0;
}
c_shim_logging_fn g_quiet = quiet;

struct Record {
    std::unique_ptr<ZtConfig> p = std::make_unique<ZtConfig>();
    ~Record() { FreeConfig(p.get()); }
};

std::string image_of(ZtConfig *record) {
    char *image = nullptr;
    if (makeConfigImageA(record, nullptr, &image) != 0)
        __builtin_trap();
    std::string s(image);
    free(image);
    return s;
}

bool generic_has_parens(const ZtConfig *record) {
    for (const ZtKeyValNode *n = record->GENERIC_KEY_VAL_LIST; n != nullptr; n = n->next)
        if (strpbrk(n->key, "()") != nullptr || strpbrk(n->value, "()") != nullptr)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    c_shim_mod_logging = &g_quiet;
    const int flags = data[0] & (ZTPARSE_RECORD_EMPTY | ZTPARSE_STRICT);
    const size_t len = strnlen(reinterpret_cast<const char *>(data + 1), size - 1);
    auto text = std::make_unique<char[]>(len + 1);
    memcpy(text.get(), data + 1, len);
    text[len] = '\0';

    Record first;
    auto definition = std::make_unique<ZtConfig>();
    InitConfig(nullptr, first.p.get(), nullptr);
    const int status = ParseConfigExA(text.get(), first.p.get(), definition.get(), flags);
    if (status != 0 && status != 20 && status != 10)
        __builtin_trap();
    if (memcmp(text.get(), data + 1, len) != 0) // the caller's text is left alone
        __builtin_trap();
    if (generic_has_parens(first.p.get()))
        return 0;
    std::string image = image_of(first.p.get());
    Record second;
    InitConfig(nullptr, second.p.get(), nullptr);
    if (ParseConfigExA(image.data(), second.p.get(), nullptr, ZTPARSE_STRICT) != 0)
        __builtin_trap();
    if (image_of(second.p.get()) != image)
        __builtin_trap();
    return 0;
}
