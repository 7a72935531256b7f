// The UTF-16 formatter behind V_vsnwprintf, and the UTF-8 decoding step it
// shares with the conversions.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace ztbase::text {

// Formats fmt into buf (size > 0 units), always terminating it. Returns the
// length the whole text would have had, or -1 when the formatting failed
// (memory for a very wide field).
long long format_utf16(char16_t *buf, size_t size, const char16_t *fmt, va_list args);

// Decodes one character of strict UTF-8 (no overlong forms, no surrogates,
// at most U+10FFFF) from s, reading no further than the bytes it needs and
// never past a NUL. Returns the number of bytes consumed (at least 1 unless
// *s is NUL); an invalid sequence gives U+FFFD.
size_t decode_utf8(const char *s, char32_t &cp);

} // namespace ztbase::text
