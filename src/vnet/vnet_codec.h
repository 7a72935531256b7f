// The number texts of the vnet codec, shared by its readers and the fuzz
// target: decimal, octal (0...) or hexadecimal (0x...), leading blanks
// allowed, nothing after the digits. A value the type cannot hold is
// VNET_BAD_NUMBER, never a wrapped one; so is an unsigned text with a sign.
#pragma once

namespace zt::vnet {

// Longest number text a reader accepts, with its NUL.
inline constexpr int kNumberSize = 128;

int parse_signed(const char *text, long *value);
int parse_unsigned(const char *text, unsigned long *value);

} // namespace zt::vnet
