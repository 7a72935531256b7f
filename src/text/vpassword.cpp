// Masking of passwords in texts and command lines before they are logged.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ztbase/strings.h"

namespace {

constexpr const char *kMask = "******";

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};

// Appends with V_strlcpy into what is left of out: a full out cuts silently.
class Output {
  public:
    Output(char *out, size_t size) : out_(out), size_(size) { out_[0] = 0; }
    void append(const char *text) { pos_ += V_strlcpy(out_ + pos_, text, size_ - pos_); }

  private:
    char *out_;
    size_t size_;
    size_t pos_ = 0;
};

// The tokens of a private copy of `in` (so that out may be in itself), split
// at runs of delimiters. With quotes_next set by the caller, a token that
// starts with a double or single quote runs to the matching quote, across
// delimiters, and on to the next delimiter (to the end when it is unclosed).
class Tokens {
  public:
    Tokens(const char *in, const char *delims) : copy_(strdup(in)), delims_(delims) {
        p_ = copy_.get();
    }
    bool ok() const { return copy_ != nullptr; }
    // The copy, whole while no token has been found.
    const char *text() const { return copy_.get(); }
    const char *next(bool quoted) {
        p_ += strspn(p_, delims_);
        if (*p_ == 0)
            return nullptr;
        char *start = p_;
        if (quoted && (*p_ == '"' || *p_ == '\'')) {
            const char *close = strchr(p_ + 1, *p_);
            p_ = close != nullptr ? const_cast<char *>(close) + 1 : p_ + strlen(p_);
        }
        p_ += strcspn(p_, delims_);
        if (*p_ != 0)
            *p_++ = 0;
        return start;
    }

  private:
    std::unique_ptr<char, FreeDeleter> copy_;
    const char *delims_;
    char *p_ = nullptr;
};

bool listed(int index, const int *positions, int count) {
    for (int i = 0; positions != nullptr && i < count; ++i)
        if (positions[i] == index)
            return true;
    return false;
}

bool is_keyword(const char *token, const char *const *keywords, int count) {
    for (int i = 0; keywords != nullptr && i < count; ++i)
        if (keywords[i] != nullptr && strcmp(keywords[i], token) == 0)
            return true;
    return false;
}

} // namespace

extern "C" {

ZTBASE_API char *V_HidePasswordInString(char *out, size_t size, const char *in, const char *delims,
                                        const int *positions, int count) {
    if (out == nullptr || size == 0 || in == nullptr || *in == 0 || size < strlen(in))
        return nullptr;
    if (delims == nullptr)
        delims = "";
    Tokens tokens(in, delims);
    if (!tokens.ok())
        return nullptr;
    Output o(out, size);
    int index = 0;
    for (const char *token; (token = tokens.next(false)) != nullptr; ++index) {
        if (index > 0)
            o.append(delims);
        bool hide = listed(index, positions, count) && strcmp(token, "*NULL*") != 0;
        o.append(hide ? kMask : token);
    }
    if (index == 0)
        V_strlcpy(out, tokens.text(), size);
    return out;
}

ZTBASE_API char *V_HidePasswordInCmdLine(char *out, size_t size, const char *in, const char *delims,
                                         const char *const *keywords, int count) {
    if (out == nullptr || size == 0 || in == nullptr || size < strlen(in))
        return nullptr;
    if (delims == nullptr)
        delims = "";
    Tokens tokens(in, delims);
    if (!tokens.ok())
        return nullptr;
    Output o(out, size);
    bool hide_next = false;
    int index = 0;
    // A quoted value after a keyword is masked whole, quotes included.
    for (const char *token; (token = tokens.next(hide_next)) != nullptr; ++index) {
        if (index > 0)
            o.append(delims);
        if (hide_next) {
            o.append(kMask);
            hide_next = false;
        } else {
            o.append(token);
            hide_next = is_keyword(token, keywords, count);
        }
    }
    if (hide_next) // the keyword came last
        o.append(delims);
    return out;
}

} // extern "C"
