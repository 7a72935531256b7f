#include "support/config_update.h"

#include <memory>

#include <ztbase/bpconf.h>

namespace zt::test {

int update_config(const std::string &text) {
    // The record owns what the parse allocates; the definition owns nothing.
    auto record = std::make_unique<ZtConfig>();
    auto definition = std::make_unique<ZtConfig>();
    std::string copy = text;
    int s = ParseConfigExA(copy.data(), record.get(), definition.get(),
                           ZTPARSE_RECORD_EMPTY | ZTPARSE_STRICT);
    if (s == 0)
        s = UpdateLocalHostConfig(bpconfLocalSource, record.get(), definition.get());
    FreeConfig(record.get());
    return s;
}

} // namespace zt::test
