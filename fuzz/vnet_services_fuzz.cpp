// Registered-services files of any bytes: every entry read is written back
// and read again unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vnet/vnet_services.h"
#include "ztbase/vtext.h"

namespace svc = zt::vnet::services;

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text += '\n';
    vtext_handle *h = nullptr;
    if (vtext_open(text.c_str(), VTEXT_MODE_MEMORY, svc::parse_line, svc::format_entry,
                   svc::free_entry, &h) != 0)
        return 0;
    for (;;) {
        void *item = nullptr;
        if (vtext_get_next_item(h, &item) != 0 || item == nullptr)
            break;
        char *line = nullptr;
        if (svc::format_entry(item, &line, item) == 0) {
            void *again = nullptr;
            std::string copy = line;
            check(svc::parse_line(copy.data(), &again, copy.data()) == 0 && again != nullptr);
            char *line2 = nullptr;
            check(svc::format_entry(again, &line2, again) == 0 && strcmp(line, line2) == 0);
            free(line2);
            svc::free_entry(&again);
        }
        free(line);
        svc::free_entry(&item);
    }
    vtext_close(&h, 0);
    return 0;
}
