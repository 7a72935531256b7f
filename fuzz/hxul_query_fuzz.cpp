// The unified log's query parser on any text, evaluated over a few files.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <hxul/hxul.h>

namespace {

void setup() {
    static const bool done = [] {
        char tmpl[] = "/tmp/hxul-qfuzz.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        const std::string r = tmpl;
        mkdir((r + "/51216").c_str(), 0755);
        mkdir((r + "/51216/7").c_str(), 0755);
        FILE *f = fopen((r + "/51216/7/hxul-1.log").c_str(), "w");
        if (f != nullptr) {
            fputs("1796860800000\tDBG\t1\t51216\t7\t1\t1\tw\t0\t1\ttext\n", f);
            fclose(f);
        }
        hlvnLogSetPaths((r + "/none.conf").c_str(), r.c_str());
        return true;
    }();
    (void)done;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    setup();
    const std::string text(reinterpret_cast<const char *>(data), size); // stops at a NUL
    hlvnLogQuery *q = nullptr;
    if (hlvnLogMgrCreateQuery(text.c_str(), &q) == HLVN_OK) {
        char path[4096];
        while (hlvnLogMgrFetch(q, path, sizeof path) == HLVN_OK) {
        }
    }
    hlvnLogMgrDestroyQuery(q);
    return 0;
}
