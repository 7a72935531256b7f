// The port exchange's hello reader, fed as the exchange feeds it: a few bytes
// at a time, never more than it asked for. The first byte of the input sets
// the size of the reads. Whatever it accepts must be a hello it would write;
// the reply reader is fed the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pbx_protocol.h"

namespace proto = ztpbx::proto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const size_t step = 1 + data[0] % 8;
    ++data;
    --size;
    uint8_t buf[proto::kMaxHello];
    size_t have = 0, need = proto::kHelloHeader, fed = 0;
    for (;;) {
        if (need > proto::kMaxHello || need <= have)
            abort(); // the reader asked for too much, or for nothing
        size_t take = need - have < step ? need - have : step;
        if (fed + take > size)
            take = size - fed;
        if (take == 0)
            break;
        memcpy(buf + have, data + fed, take);
        have += take;
        fed += take;
        proto::Hello hello;
        proto::ReplyStatus status;
        proto::HelloParse r = proto::parse_hello(buf, have, &need, &hello, &status);
        if (r == proto::HelloParse::kNeedMore)
            continue;
        if (r == proto::HelloParse::kComplete) {
            std::string again = proto::make_hello(hello.extension, hello.version);
            if (!proto::valid_extension(hello.extension) || hello.version == 0 ||
                again.size() != need || memcmp(again.data(), buf, need) != 0)
                abort();
        } else if (status != proto::kBadRequest && status != proto::kBadVersion) {
            abort();
        }
        break;
    }
    proto::ReplyStatus st;
    uint8_t version;
    if (proto::parse_reply(data, size, &st, &version) &&
        proto::make_reply(st, version) != std::string(reinterpret_cast<const char *>(data), size))
        abort();
    return 0;
}
