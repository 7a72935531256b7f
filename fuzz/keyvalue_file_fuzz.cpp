// Key=value files of arbitrary bytes: every entry read has a non-empty key
// and value without blanks at their ends.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "ztbase/debuglog.h"
#include "ztbase/keyvalue.h"

namespace {
int quiet(int, int, const char *, const char *) {
    return 0;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static c_shim_logging_fn fn = quiet;
    c_shim_mod_logging = &fn;
    static const std::string path = "/tmp/zt-kv-fuzz." + std::to_string(getpid());
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    Halvane::Zentor::Common::keyvalue_map out;
    int status = Halvane::Zentor::Common::read_keyvalue_file(path, out);
    if (status != 0 && status != 13)
        __builtin_trap();
    for (const auto &[key, value] : out) {
        const std::string &v = value.get();
        if (key.empty() || v.empty() || key.find('=') != std::string::npos)
            __builtin_trap();
        for (char c : {' ', '\t', '\v', '\f'})
            if (key.front() == c || key.back() == c || v.front() == c || v.back() == c)
                __builtin_trap();
    }
    return 0;
}
