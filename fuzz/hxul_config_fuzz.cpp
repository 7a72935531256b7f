// The unified log's configuration reader on any bytes, for the product and
// originator the first bytes name.
#include <cstdint>
#include <cstring>

#include <hxul/hxul.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    unsigned long originator = size > 0 ? data[0] : 0;
    hlvnLogCfg *cfg = nullptr;
    int bad = 0;
    if (hlvnLogParseCfg(reinterpret_cast<const char *>(data), size, 51216, originator, &cfg,
                        &bad) == HLVN_OK) {
        const char *s = nullptr;
        int n = 0;
        long l = 0;
        hlvnLogCfgGetL10NResourceDir(cfg, &s);
        hlvnLogCfgGetDebugLevel(cfg, &n);
        hlvnLogCfgGetMaxFileSize(cfg, &l);
    }
    hlvnLogFreeCfg(cfg);
    return 0;
}
