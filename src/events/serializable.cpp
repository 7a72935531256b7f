// Serializable: every function checks the whole size it needs before it
// touches a byte, so a failed check leaves the caller's memory, pointer and
// count as they were.
#include <ztbase/databuffer.h>

#include <cstring>
#include <stdexcept>

namespace {

const char kTooSmall[] = "dataAvail too small";

void need(size_t bytes, size_t avail) {
    if (bytes > avail)
        throw std::invalid_argument(kTooSmall);
}

void put32(char *p, uint32_t v) {
    p[0] = static_cast<char>(v >> 24);
    p[1] = static_cast<char>(v >> 16);
    p[2] = static_cast<char>(v >> 8);
    p[3] = static_cast<char>(v);
}

uint32_t get32(const char *p) {
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

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
    out = 4 + n + Serializable::getNeededPad(n, 4);
    return true;
}

size_t padded_or_throw(size_t n) {
    size_t out = 0;
    if (!padded_size(n, out))
        throw std::invalid_argument(kTooSmall);
    return out;
}

} // namespace

size_t Serializable::getNeededPad(size_t length, size_t alignment) {
    if (alignment == 0 || length % alignment == 0)
        return 0;
    return alignment - length % alignment;
}

void Serializable::padd(std::string &text, size_t alignment) {
    text.append(getNeededPad(text.size(), alignment), '\0');
}

void Serializable::marshallShort(int16_t value, char *&data, size_t &dataAvail) {
    need(2, dataAvail);
    auto v = static_cast<uint16_t>(value);
    data[0] = static_cast<char>(v >> 8);
    data[1] = static_cast<char>(v);
    advance(data, dataAvail, 2);
}

void Serializable::marshallLong(int32_t value, char *&data, size_t &dataAvail) {
    need(4, dataAvail);
    put32(data, static_cast<uint32_t>(value));
    advance(data, dataAvail, 4);
}

void Serializable::marshallLongLong(int64_t value, char *&data, size_t &dataAvail) {
    need(8, dataAvail);
    auto v = static_cast<uint64_t>(value);
    put32(data, static_cast<uint32_t>(v >> 32));
    put32(data + 4, static_cast<uint32_t>(v));
    advance(data, dataAvail, 8);
}

void Serializable::marshallLongLongJobd(int64_t value, char *&data, size_t &dataAvail) {
    need(8, dataAvail);
    auto v = static_cast<uint64_t>(value);
    put32(data, static_cast<uint32_t>(v));
    put32(data + 4, static_cast<uint32_t>(v >> 32));
    advance(data, dataAvail, 8);
}

void Serializable::marshall(const std::string &text, char *&data, size_t &dataAvail) {
    size_t n = text.size();
    size_t total = padded_or_throw(n);
    need(total, dataAvail);
    put32(data, static_cast<uint32_t>(n));
    if (n != 0)
        std::memcpy(data + 4, text.data(), n);
    std::memset(data + 4 + n, 0, total - 4 - n);
    advance(data, dataAvail, total);
}

void Serializable::marshallWithLength(const std::string &text, char *&data, size_t &dataAvail) {
    size_t n = text.size();
    if (n > UINT32_MAX)
        throw std::invalid_argument(kTooSmall);
    need(4, dataAvail);
    need(n, dataAvail - 4);
    put32(data, static_cast<uint32_t>(n));
    if (n != 0)
        std::memcpy(data + 4, text.data(), n);
    advance(data, dataAvail, 4 + n);
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
        throw std::invalid_argument(kTooSmall);
    size_t total = 4;
    for (const auto &t : texts) {
        size_t one = padded_or_throw(t.size());
        if (one > dataAvail || total > dataAvail - one)
            throw std::invalid_argument(kTooSmall);
        total += one;
    }
    need(total, dataAvail);
    marshallLong(static_cast<int32_t>(static_cast<uint32_t>(texts.size())), data, dataAvail);
    for (const auto &t : texts)
        marshall(t, data, dataAvail);
}

void Serializable::marshall(const std::vector<int32_t> &values, char *&data, size_t &dataAvail) {
    if (values.size() > UINT32_MAX || values.size() > (dataAvail / 4))
        throw std::invalid_argument(kTooSmall);
    need(4 + 4 * values.size(), dataAvail);
    marshallLong(static_cast<int32_t>(static_cast<uint32_t>(values.size())), data, dataAvail);
    for (int32_t v : values)
        marshallLong(v, data, dataAvail);
}

int16_t Serializable::unmarshallShort(const char *&data, size_t &dataAvail) {
    need(2, dataAvail);
    const auto *u = reinterpret_cast<const unsigned char *>(data);
    auto v = static_cast<uint16_t>((u[0] << 8) | u[1]);
    advance(data, dataAvail, 2);
    return static_cast<int16_t>(v);
}

int32_t Serializable::unmarshallLong(const char *&data, size_t &dataAvail) {
    need(4, dataAvail);
    uint32_t v = get32(data);
    advance(data, dataAvail, 4);
    return static_cast<int32_t>(v);
}

int64_t Serializable::unmarshallLongLong(const char *&data, size_t &dataAvail) {
    need(8, dataAvail);
    uint64_t v = (uint64_t{get32(data)} << 32) | get32(data + 4);
    advance(data, dataAvail, 8);
    return static_cast<int64_t>(v);
}

int64_t Serializable::unmarshallLongLongJobd(const char *&data, size_t &dataAvail) {
    need(8, dataAvail);
    uint64_t v = (uint64_t{get32(data + 4)} << 32) | get32(data);
    advance(data, dataAvail, 8);
    return static_cast<int64_t>(v);
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
        throw std::invalid_argument(kTooSmall);
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
        throw std::invalid_argument(kTooSmall);
    std::vector<int32_t> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<int32_t>(get32(data + 4 + 4 * i));
    values = std::move(out);
    advance(data, dataAvail, 4 + 4 * count);
}
