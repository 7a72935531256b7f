// The UTF-16 twins' two conversions: a wide argument to the locale's
// character set for the narrow call, and a narrow answer back into the
// caller's wide buffer.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace zt::vnet::wide {

// A wide argument as a narrow text owned for the call; a null argument stays
// null. ok is false (logged "V_StrDupWideToACP failed <what>") when the text
// cannot be converted.
struct Narrow {
    char *text = nullptr;
    bool ok = true;
    Narrow(const char16_t *w, const char *what, const char *tag);
    ~Narrow() { free(text); }
    Narrow(const Narrow &) = delete;
    Narrow &operator=(const Narrow &) = delete;
};

// Copies a narrow text into a wide buffer of size characters; false when it
// cannot be converted or does not fit. Nothing is written for a null buffer.
bool widen_into(const char *text, char16_t *out, size_t size, const char *tag);

} // namespace zt::vnet::wide
