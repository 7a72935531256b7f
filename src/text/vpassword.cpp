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

// Calls f(index, token) for every token of a private copy of `in`; returns
// the number of tokens, or -1 when memory is short.
template <class F> int for_each_token(const char *in, const char *delims, F f) {
    std::unique_ptr<char, FreeDeleter> copy(strdup(in));
    if (!copy)
        return -1;
    char *save = nullptr;
    int index = 0;
    for (char *token = strtok_r(copy.get(), delims, &save); token != nullptr;
         token = strtok_r(nullptr, delims, &save))
        f(index++, token);
    return index;
}

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
    Output o(out, size);
    int tokens = for_each_token(in, delims, [&](int index, const char *token) {
        if (index > 0)
            o.append(delims);
        bool hide = listed(index, positions, count) && strcmp(token, "*NULL*") != 0;
        o.append(hide ? kMask : token);
    });
    if (tokens < 0)
        return nullptr;
    if (tokens == 0)
        V_strlcpy(out, in, size);
    return out;
}

ZTBASE_API char *V_HidePasswordInCmdLine(char *out, size_t size, const char *in, const char *delims,
                                         const char *const *keywords, int count) {
    if (out == nullptr || size == 0 || in == nullptr || size < strlen(in))
        return nullptr;
    if (delims == nullptr)
        delims = "";
    Output o(out, size);
    bool hide_next = false;
    int tokens = for_each_token(in, delims, [&](int index, const char *token) {
        if (index > 0)
            o.append(delims);
        if (hide_next) {
            o.append(kMask);
            hide_next = false;
        } else {
            o.append(token);
            hide_next = is_keyword(token, keywords, count);
        }
    });
    if (tokens < 0)
        return nullptr;
    if (hide_next) // the keyword came last
        o.append(delims);
    return out;
}

} // extern "C"
