// Debug log file names from arbitrary bytes. Input: one byte for the size of
// the user buffer, then a name, optionally a NUL and a second name for the
// comparison. Names and output buffers are heap blocks of exactly their size,
// so a read or write past either is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "ztbase/logfiles.h"

namespace {

std::unique_ptr<char[]> exact(const uint8_t *data, size_t size) {
    const size_t len = strnlen(reinterpret_cast<const char *>(data), size);
    auto p = std::make_unique<char[]>(len + 1);
    std::memcpy(p.get(), data, len);
    p[len] = '\0';
    return p;
}

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const size_t user_size = data[0];
    auto a = exact(data + 1, size - 1);
    const size_t alen = std::strlen(a.get());
    auto b = alen + 2 <= size ? exact(data + 2 + alen, size - 2 - alen) : exact(data, 0);

    auto date = std::make_unique<char[]>(7);
    auto user = std::make_unique<char[]>(user_size == 0 ? 1 : user_size);
    int seq = -1, compressed = -1;
    const int valid = ZtLog_IsValidLogFileFormat(a.get(), date.get(), 7, user.get(), user_size,
                                                 &seq, &compressed);
    check(valid == 0 || valid == 1);
    if (valid) {
        check(std::strlen(date.get()) == 6 && std::strspn(date.get(), "0123456789") == 6);
        const int n = std::atoi(date.get());
        check(n >= 10100 && n <= 123199 && seq >= 0 && seq <= 99999);
        check(std::strstr(a.get(), date.get()) != nullptr);
        if (user_size != 0)
            check(std::strncmp(a.get(), user.get(), std::strlen(user.get())) == 0);
    } else {
        check(date[0] == '\0' && seq == 0 && compressed == 0);
    }

    // The parser agrees with the validity check on every valid name.
    auto pdate = std::make_unique<char[]>(7);
    int pseq = -1;
    const int fields = ZtLog_ParseLogFileName(pdate.get(), 7, nullptr, 0, &pseq, a.get());
    check(fields >= 0 && fields <= 3);
    if (valid)
        check(fields >= 1 && std::strcmp(pdate.get(), date.get()) == 0 && pseq == seq);

    int found = -1;
    auto fetched = std::make_unique<char[]>(user_size == 0 ? 1 : user_size);
    const int copied = ZtLog_FetchUserNameLogFile(a.get(), fetched.get(), user_size, &found);
    check(found == 0 || found == 1);
    check(copied >= 0 && static_cast<size_t>(copied) < (user_size == 0 ? 1 : user_size));
    if (valid && user_size != 0)
        check(std::strcmp(fetched.get(), user.get()) == 0);

    auto msg = std::make_unique<char[]>(user_size == 0 ? 1 : user_size);
    time_t t = -1;
    const int status = ZtLog_Extract_Date_From_Filename(a.get(), msg.get(), user_size, &t);
    check(valid ? (status == 0 || status == 106 || status == 109) : status == 106);
    if (status == 0)
        check(t >= 0 && t <= 0x7FFFFFFE);

    // The order is antisymmetric and only equal for equal names.
    const int ab = ZtLog_CompareFileName(a.get(), b.get());
    check(sign(ab) == -sign(ZtLog_CompareFileName(b.get(), a.get())));
    check((ab == 0) == (std::strcmp(a.get(), b.get()) == 0));
    return 0;
}
