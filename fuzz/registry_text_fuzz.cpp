// The text form of registry keys as `zt reg import` reads it: whatever parses
// formats back to a text that parses to the same keys and values.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"

using namespace ztbase::registry;

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

bool same(const TextTree &a, const TextTree &b) {
    if (a.root != b.root || a.keys.size() != b.keys.size())
        return false;
    for (size_t i = 0; i < a.keys.size(); ++i) {
        const TextKey &x = a.keys[i], &y = b.keys[i];
        if (x.path != y.path || x.last_write_ns != y.last_write_ns ||
            x.values.size() != y.values.size())
            return false;
        for (size_t j = 0; j < x.values.size(); ++j)
            if (x.values[j].name != y.values[j].name || x.values[j].type != y.values[j].type ||
                x.values[j].data != y.values[j].data)
                return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    TextTree tree;
    size_t line = 0;
    if (parse_text(text, tree, &line) != Status::Ok) {
        check(line >= 1);
        return 0;
    }
    TextTree again;
    check(parse_text(format_text(tree), again) == Status::Ok);
    check(same(tree, again));
    return 0;
}
