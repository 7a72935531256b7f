// Serializable: every function checks the whole size it needs before it
// touches a byte, so a failed check leaves the caller's memory, pointer and
// count as they were.
#include <ztbase/databuffer.h>

#include <cstring>
#include <stdexcept>

namespace {

const char kTooSmall[] = "dataAvail too small";

// The throw is kept out of line so that the checks stay small.
[[noreturn, gnu::noinline, gnu::cold]] void too_small() { throw std::invalid_argument(kTooSmall); }

void advance(char *&data, size_t &avail, size_t n) {
    data += n;
    avail -= n;
}
void advance(const char *&data, size_t &avail, size_t n) {
    data += n;
    avail -= n;
}

// Bytes of a string in the padded form; false when the length does not fit the
// 32-bit length field.
bool padded_size(size_t n, size_t &out) {
    if (n > UINT32_MAX)
        return false;
    out = 4 + n + ((4 - (n & 3)) & 3); // getNeededPad(n, 4) without a division
    return true;
}

size_t padded_or_throw(size_t n) {
    size_t out = 0;
    if (!padded_size(n, out)) [[unlikely]]
        too_small();
    return out;
}

} // namespace

void Serializable::tooSmall() { throw std::invalid_argument(kTooSmall); }

size_t Serializable::getNeededPad(size_t length, size_t alignment) {
    if (alignment == 0 || length % alignment == 0)
        return 0;
    return alignment - length % alignment;
}

void Serializable::padd(std::string &text, size_t alignment) {
    text.append(getNeededPad(text.size(), alignment), '\0');
}

void Serializable::marshallNoLength(const std::string &text, char *&data, size_t &dataAvail) {
    need(text.size(), dataAvail);
    if (!text.empty())
        std::memcpy(data, text.data(), text.size());
    advance(data, dataAvail, text.size());
}

void Serializable::marshall(const std::vector<std::string> &texts, char *&data,
                            size_t &dataAvail) {
    if (texts.size() > UINT32_MAX)
        too_small();
    size_t total = 4;
    for (const auto &t : texts) {
        size_t one = padded_or_throw(t.size());
        if (one > dataAvail || total > dataAvail - one)
            too_small();
        total += one;
    }
    need(total, dataAvail);
    marshallLong(static_cast<int32_t>(static_cast<uint32_t>(texts.size())), data, dataAvail);
    for (const auto &t : texts)
        marshall(t, data, dataAvail);
}

int32_t Serializable::unmarshallLongNoConsume(const char *data, size_t dataAvail) {
    if (dataAvail < 4)
        throw std::invalid_argument("no length");
    return static_cast<int32_t>(get32(data));
}

void Serializable::unmarshall(std::string &text, const char *&data, size_t &dataAvail) {
    need(4, dataAvail);
    size_t n = get32(data);
    size_t total = padded_or_throw(n);
    need(total, dataAvail);
    text.assign(data + 4, n);
    advance(data, dataAvail, total);
}

void Serializable::unmarshallWithLength(std::string &text, const char *&data, size_t &dataAvail) {
    need(4, dataAvail);
    size_t n = get32(data);
    need(n, dataAvail - 4);
    text.assign(data + 4, n);
    advance(data, dataAvail, 4 + n);
}

void Serializable::unmarshallNoLength(std::string &text, size_t length, const char *&data,
                                      size_t &dataAvail) {
    need(length, dataAvail);
    text.assign(data, length);
    advance(data, dataAvail, length);
}

void Serializable::unmarshall(std::vector<std::string> &texts, const char *&data,
                              size_t &dataAvail) {
    need(4, dataAvail);
    size_t count = get32(data);
    // Each item takes at least its 4-byte length: a count that promises more
    // items than the bytes can hold is refused before anything is reserved.
    if (count > (dataAvail - 4) / 4)
        too_small();
    const char *p = data + 4;
    size_t avail = dataAvail - 4;
    std::vector<std::string> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::string one;
        unmarshall(one, p, avail);
        out.push_back(std::move(one));
    }
    texts = std::move(out);
    data = p;
    dataAvail = avail;
}

void Serializable::unmarshall(std::vector<int32_t> &values, const char *&data, size_t &dataAvail) {
    need(4, dataAvail);
    size_t count = get32(data);
    if (count > (dataAvail - 4) / 4)
        too_small();
    std::vector<int32_t> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<int32_t>(get32(data + 4 + 4 * i));
    values = std::move(out);
    advance(data, dataAvail, 4 + 4 * count);
}
