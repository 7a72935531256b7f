// The unified log's record reader on any bytes: line by line from memory, and
// through the reader from a record file (long lines, pieces without a line
// feed, NUL bytes).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <hxul/hxul.h>

#include "hxul_internal.h"

namespace {

std::string logs_root() {
    static const std::string root = [] {
        char tmpl[] = "/tmp/hxul-fuzz.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        const std::string r = tmpl;
        mkdir((r + "/51216").c_str(), 0755);
        mkdir((r + "/51216/1").c_str(), 0755);
        hlvnLogSetPaths((r + "/none.conf").c_str(), r.c_str());
        return r;
    }();
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view all(reinterpret_cast<const char *>(data), size);
    hlvnLogRecord rec;
    for (size_t pos = 0; pos < all.size();) {
        size_t nl = all.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = all.size();
        hxul::parse_or_resync(all.substr(pos, nl - pos), rec);
        pos = nl + 1;
    }
    hlvnLogRecord *owned = nullptr;
    if (hlvnLogRecordParse(all.data(), all.size(), &owned) == HLVN_OK) {
        const char *s = nullptr;
        hlvnLogRecGetWho(owned, &s);
        hlvnLogRecGetText(owned, &s);
        hlvnLogRecGetArg(owned, 0, &s);
    }
    hlvnLogRecordFree(owned);

    const std::string file = logs_root() + "/51216/1/hxul-1.log";
    FILE *f = fopen(file.c_str(), "wb");
    if (f == nullptr)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    hlvnLogReader *r = nullptr;
    if (hlvnLogReaderOpen(51216, 1, 0, &r) == HLVN_OK) {
        const hlvnLogRecord *next = nullptr;
        while (hlvnLogReaderNext(r, &next) == HLVN_OK) {
        }
        hlvnLogReaderClose(r);
    }
    return 0;
}
