// The wire readers of Serializable on any bytes: a few leading bytes choose a
// sequence of readers, the rest is the message, in a block of exactly its size.
// A reader either consumes what it reports (and its value writes back to the
// same bytes, padding aside) or throws std::invalid_argument having changed nothing.
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <ztbase/databuffer.h>

namespace {

// Writes the value back and reads it again: the same value, the same length.
template <class T, class W, class R> void round_trip(const T &value, size_t consumed, W write, R read) {
    std::vector<char> buf(consumed);
    char *w = buf.data();
    size_t wa = buf.size();
    write(value, w, wa);
    if (wa != 0)
        __builtin_trap();
    const char *r = buf.data();
    size_t ra = buf.size();
    T again{};
    read(again, r, ra);
    if (!(again == value) || ra != 0)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t ops = data[0] % 8 + 1;
    if (size < 1 + ops)
        return 0;
    const uint8_t *op = data + 1;
    size_t len = size - 1 - ops;
    std::unique_ptr<char[]> block(new char[len ? len : 1]);
    memcpy(block.get(), data + 1 + ops, len);
    const char *p = block.get();
    size_t avail = len;
    for (size_t i = 0; i < ops; ++i) {
        const char *before = p;
        size_t before_avail = avail;
        try {
            switch (op[i] % 9) {
            case 0: {
                int16_t v = Serializable::unmarshallShort(p, avail);
                round_trip(v, 2, [](int16_t x, char *&w, size_t &a) { Serializable::marshallShort(x, w, a); },
                           [](int16_t &x, const char *&r, size_t &a) { x = Serializable::unmarshallShort(r, a); });
                break;
            }
            case 1: {
                int32_t v = Serializable::unmarshallLong(p, avail);
                round_trip(v, 4, [](int32_t x, char *&w, size_t &a) { Serializable::marshallLong(x, w, a); },
                           [](int32_t &x, const char *&r, size_t &a) { x = Serializable::unmarshallLong(r, a); });
                break;
            }
            case 2: {
                int64_t v = Serializable::unmarshallLongLong(p, avail);
                round_trip(v, 8, [](int64_t x, char *&w, size_t &a) { Serializable::marshallLongLong(x, w, a); },
                           [](int64_t &x, const char *&r, size_t &a) { x = Serializable::unmarshallLongLong(r, a); });
                break;
            }
            case 3: {
                int64_t v = Serializable::unmarshallLongLongJobd(p, avail);
                round_trip(v, 8, [](int64_t x, char *&w, size_t &a) { Serializable::marshallLongLongJobd(x, w, a); },
                           [](int64_t &x, const char *&r, size_t &a) { x = Serializable::unmarshallLongLongJobd(r, a); });
                break;
            }
            case 4: {
                std::string v;
                Serializable::unmarshall(v, p, avail);
                round_trip(v, static_cast<size_t>(p - before),
                           [](const std::string &x, char *&w, size_t &a) { Serializable::marshall(x, w, a); },
                           [](std::string &x, const char *&r, size_t &a) { Serializable::unmarshall(x, r, a); });
                break;
            }
            case 5: {
                std::string v;
                Serializable::unmarshallWithLength(v, p, avail);
                round_trip(v, static_cast<size_t>(p - before),
                           [](const std::string &x, char *&w, size_t &a) { Serializable::marshallWithLength(x, w, a); },
                           [](std::string &x, const char *&r, size_t &a) { Serializable::unmarshallWithLength(x, r, a); });
                break;
            }
            case 6: {
                std::vector<std::string> v;
                Serializable::unmarshall(v, p, avail);
                round_trip(v, static_cast<size_t>(p - before),
                           [](const std::vector<std::string> &x, char *&w, size_t &a) { Serializable::marshall(x, w, a); },
                           [](std::vector<std::string> &x, const char *&r, size_t &a) { Serializable::unmarshall(x, r, a); });
                break;
            }
            case 7: {
                std::vector<int32_t> v;
                Serializable::unmarshall(v, p, avail);
                round_trip(v, static_cast<size_t>(p - before),
                           [](const std::vector<int32_t> &x, char *&w, size_t &a) { Serializable::marshall(x, w, a); },
                           [](std::vector<int32_t> &x, const char *&r, size_t &a) { Serializable::unmarshall(x, r, a); });
                break;
            }
            case 8: {
                int32_t peek = Serializable::unmarshallLongNoConsume(p, avail);
                std::string v;
                Serializable::unmarshallNoLength(v, static_cast<uint32_t>(peek) % 64, p, avail);
                break;
            }
            }
        } catch (const std::invalid_argument &) {
            if (p != before || avail != before_avail)
                __builtin_trap(); // a refused read changed the position
            break;
        }
        if (avail > before_avail || static_cast<size_t>(p - before) != before_avail - avail)
            __builtin_trap();
    }
    return 0;
}
