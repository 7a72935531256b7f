// vnet_crc32: the checksum of the POSIX cksum utility (CRC-32, polynomial
// 0x04C11DB7, most significant bit first, initial value 0, the length
// appended least significant byte first, the result complemented).
// Sixteen bytes per step through sixteen tables ("slicing by 16"), long texts
// in two chains at once.
#include <array>
#include <cstdint>
#include <cstring>

#include "ztbase/vnet.h"

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;

constexpr size_t kSlices = 16;
using Tables = std::array<std::array<uint32_t, 256>, kSlices>;

constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b << 24;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80000000u) ? (c << 1) ^ kPolynomial : c << 1;
        t[0][b] = c;
    }
    // t[k][b]: byte b followed by k zero bytes.
    for (size_t k = 1; k < kSlices; ++k)
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

// Sixteen bytes into crc.
inline uint32_t block16(uint32_t crc, const unsigned char *p) {
    const auto &t = kTables;
    uint32_t w0 = crc ^ load_be32(p);
    uint32_t w1 = load_be32(p + 4);
    uint32_t w2 = load_be32(p + 8);
    uint32_t w3 = load_be32(p + 12);
    return t[15][w0 >> 24] ^ t[14][(w0 >> 16) & 0xff] ^ t[13][(w0 >> 8) & 0xff] ^ t[12][w0 & 0xff] ^
           t[11][w1 >> 24] ^ t[10][(w1 >> 16) & 0xff] ^ t[9][(w1 >> 8) & 0xff] ^ t[8][w1 & 0xff] ^
           t[7][w2 >> 24] ^ t[6][(w2 >> 16) & 0xff] ^ t[5][(w2 >> 8) & 0xff] ^ t[4][w2 & 0xff] ^
           t[3][w3 >> 24] ^ t[2][(w3 >> 16) & 0xff] ^ t[1][(w3 >> 8) & 0xff] ^ t[0][w3 & 0xff];
}

uint32_t update(uint32_t crc, const unsigned char *p, size_t n) {
    for (; n >= 16; p += 16, n -= 16)
        crc = block16(crc, p);
    while (n-- > 0)
        crc = step(crc, *p++);
    return crc;
}

// a * b modulo the polynomial (bit i is the coefficient of x^i).
uint32_t multiply(uint32_t a, uint32_t b) {
    uint32_t r = 0;
    for (int i = 31; i >= 0; --i) {
        r = (r & 0x80000000u) ? (r << 1) ^ kPolynomial : r << 1;
        if ((a >> i) & 1u)
            r ^= b;
    }
    return r;
}

// x^(8n) modulo the polynomial: what n zero bytes do to a CRC.
uint32_t zero_bytes(size_t n) {
    uint32_t result = 1, power = 1u << 8;
    for (; n != 0; n >>= 1, power = multiply(power, power))
        if (n & 1)
            result = multiply(result, power);
    return result;
}

// Two halves as independent chains interleaved, so that the processor works
// on both at once, then joined: crc(A B) = crc(A) * x^(8|B|) + crc(B), which
// holds because the CRC starts from 0 and is linear.
uint32_t update_two_chains(const unsigned char *p, size_t n) {
    constexpr size_t kTwoChainsFrom = 4096;
    if (n < kTwoChainsFrom)
        return update(0, p, n);
    const size_t half = (n / 2) & ~size_t(15);
    const unsigned char *q = p + half;
    uint32_t a = 0, b = 0;
    for (size_t done = 0; done < half; done += 16) {
        a = block16(a, p + done);
        b = block16(b, q + done);
    }
    b = update(b, q + half, n - 2 * half);
    return multiply(a, zero_bytes(n - half)) ^ b;
}

} // namespace

extern "C" ZTBASE_API uint32_t vnet_crc32(const char *text) {
    if (text == nullptr)
        text = "";
    size_t n = strlen(text);
    uint32_t crc = update_two_chains(reinterpret_cast<const unsigned char *>(text), n);
    for (size_t len = n; len != 0; len >>= 8)
        crc = step(crc, static_cast<uint8_t>(len & 0xff));
    return ~crc;
}
