// Every item's reader over arbitrary text: two bytes choose the item index
// (modulo the table size), the rest is the value text in an exact heap block.
// The value is read twice (lists append, flags accumulate), then formatted,
// copied, formatted again and freed; the copy must format as the original.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/items/adhoc_config_ops.h"
#include "ztbase/config.h"
#include "ztbase/debuglog.h"

namespace {
int quiet(int, int, const char *, const char *) {
    return 0;
}
c_shim_logging_fn g_quiet = quiet;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace ztbase::config;
    if (size < 2)
        return 0;
    c_shim_mod_logging = &g_quiet;
    const int index = ((data[0] << 8) | data[1]) % ZTCONFIG_TABLE_SIZE;
    if (live_row(index) == nullptr)
        return 0;
    const size_t len = strnlen(reinterpret_cast<const char *>(data + 2), size - 2);
    ZtConfig record{}, copy{};
    for (int round = 0; round < 2; ++round) {
        auto text = std::make_unique<char[]>(len + 1);
        memcpy(text.get(), data + 2, len);
        text[len] = '\0';
        char *cursor = text.get();
        read_item(index, &cursor, &record, round + 1);
        if (cursor < text.get() || cursor > text.get() + len)
            __builtin_trap();
        if (memcmp(text.get(), data + 2, len) != 0 && kRows[index].type != Type::String &&
            kRows[index].type != Type::List && kRows[index].type != Type::Struct)
            __builtin_trap(); // plain readers leave the text as it was
    }
    std::string a, b;
    int rc = format_item(index, &record, a);
    if (copy_item(index, &copy, &record) != 0)
        __builtin_trap();
    if (format_item(index, &copy, b) != rc || a != b)
        __builtin_trap();
    char *heap = nullptr;
    int heap_size = 0;
    getFormattedConfigItemA(&record, index, &heap, &heap_size);
    free(heap);
    free_item(index, &record);
    free_item(index, &copy);
    c_shim_mod_logging = nullptr;
    return 0;
}
