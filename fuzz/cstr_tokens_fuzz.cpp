// Token and literal scanning over arbitrary text. Input: one byte for n, one byte
// whose low 3 bits give the length of the delimiter set (also the separator string),
// that set, then the text. Each string lives in a heap block of exactly its length
// plus the NUL, so any read past the terminator is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ztbase/cstr.h"

namespace {

std::unique_ptr<char[]> exact(const uint8_t *data, size_t size) {
    const size_t len = strnlen(reinterpret_cast<const char *>(data), size);
    auto p = std::make_unique<char[]>(len + 1);
    std::memcpy(p.get(), data, len);
    p[len] = '\0';
    return p;
}

std::string take(char *p) {
    if (p == nullptr)
        __builtin_trap();
    std::string s(p);
    std::free(p);
    return s;
}

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const int n = static_cast<int8_t>(data[0]) % 8;
    const size_t k = data[1] & 7;
    if (size < 2 + k)
        return 0;
    auto delims = exact(data + 2, k);
    auto text = exact(data + 2 + k, size - 2 - k);
    const char *s = text.get();
    const size_t len = std::strlen(s);

    for (const char *p = s; *p != '\0'; ++p) {
        const size_t lit = cstrLiteralSIZE(p);
        check((*p == '"') == (lit != 0));
        check(lit <= std::strlen(p));
        if (lit != 0 && lit < std::strlen(p))
            check(lit >= 2 && p[lit - 1] == '"');
    }

    // Every way of walking the tokens agrees.
    std::vector<std::string> tokens;
    const char *cursor = s;
    while (char *t = cstrTokenNEXT(&cursor, delims.get())) {
        tokens.push_back(take(t));
        check(cursor <= s + len);
        check(std::strncmp(cursor - tokens.back().size(), tokens.back().c_str(),
                           tokens.back().size()) == 0);
    }
    cstra all = cstrTOcstra(s, delims.get());
    check(all != nullptr && cstraCOUNT(all) == static_cast<int>(tokens.size()));
    for (size_t i = 0; i < tokens.size(); ++i)
        check(tokens[i] == all[i]);
    cstraFREE(all);

    char *got = cstrTokenGET(s, n, delims.get());
    const char *where = s;
    const size_t found = cstrTokenFIND(&where, n, delims.get());
    if (n < 0 || tokens.empty() || static_cast<size_t>(n) > tokens.size()) {
        check(got == nullptr);
    } else {
        const std::string &want = n == 0 ? tokens.back() : tokens[n - 1];
        check(take(got) == want);
        if (n > 0)
            check(found == want.size() && std::strncmp(where, want.c_str(), found) == 0);
    }
    if (n <= 0 || static_cast<size_t>(n) > tokens.size())
        check(found == 0 && where == s);

    // Fields split at the separator string, against a plain reference split.
    const char *sep = delims.get();
    char *field = cstrTokenOBTAIN(s, n, sep);
    if (n < 1 || *sep == '\0') {
        check(field == nullptr);
    } else {
        const std::string str(s), sp(sep);
        size_t start = 0;
        bool missing = false;
        for (int i = 1; i < n && !missing; ++i) {
            const size_t hit = str.find(sp, start);
            missing = hit == std::string::npos;
            start = hit + sp.size();
        }
        std::string want;
        if (!missing)
            want = str.substr(start, str.find(sp, start) - start);
        if (want.empty())
            check(field == nullptr);
        else
            check(take(field) == want);
    }

    // The quote-aware tokenizer cuts a private copy.
    if (delims[0] != '\0') {
        auto copy = exact(reinterpret_cast<const uint8_t *>(s), len);
        for (char *t = strtokwdelim(copy.get(), delims[0], '"'); t != nullptr;
             t = strtokwdelim(nullptr, delims[0], '"'))
            check(t >= copy.get() && t < copy.get() + len && *t != delims[0]);
    }
    return 0;
}
