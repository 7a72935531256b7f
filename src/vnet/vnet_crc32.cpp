// vnet_crc32: the checksum of the POSIX cksum utility (CRC-32, polynomial
// 0x04C11DB7, most significant bit first, initial value 0, the length
// appended least significant byte first, the result complemented).
// Eight bytes per step through eight tables ("slicing by 8").
#include <array>
#include <cstdint>
#include <cstring>

#include "ztbase/vnet.h"

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b << 24;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80000000u) ? (c << 1) ^ kPolynomial : c << 1;
        t[0][b] = c;
    }
    // t[k][b]: byte b followed by k zero bytes.
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t b = 0; b < 256; ++b)
            t[k][b] = (t[k - 1][b] << 8) ^ t[0][t[k - 1][b] >> 24];
    return t;
}

constexpr Tables kTables = make_tables();

inline uint32_t step(uint32_t crc, uint8_t byte) {
    return (crc << 8) ^ kTables[0][(crc >> 24) ^ byte];
}

inline uint32_t load_be32(const unsigned char *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

uint32_t update(uint32_t crc, const unsigned char *p, size_t n) {
    const auto &t = kTables;
    while (n >= 8) {
        uint32_t hi = crc ^ load_be32(p);
        uint32_t lo = load_be32(p + 4);
        crc = t[7][hi >> 24] ^ t[6][(hi >> 16) & 0xff] ^ t[5][(hi >> 8) & 0xff] ^ t[4][hi & 0xff] ^
              t[3][lo >> 24] ^ t[2][(lo >> 16) & 0xff] ^ t[1][(lo >> 8) & 0xff] ^ t[0][lo & 0xff];
        p += 8;
        n -= 8;
    }
    while (n-- > 0)
        crc = step(crc, *p++);
    return crc;
}

} // namespace

extern "C" ZTBASE_API uint32_t vnet_crc32(const char *text) {
    if (text == nullptr)
        text = "";
    size_t n = strlen(text);
    uint32_t crc = update(0, reinterpret_cast<const unsigned char *>(text), n);
    for (size_t len = n; len != 0; len >>= 8)
        crc = step(crc, static_cast<uint8_t>(len & 0xff));
    return ~crc;
}
