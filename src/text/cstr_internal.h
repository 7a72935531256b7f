// Allocation and character-set helpers shared by the cstr and cstra modules.
#pragma once

#include <cstddef>
#include <cstring>

namespace ztbase::cstr {

// malloc'd copy of the n bytes at p plus a NUL; null (logged under tag) when
// memory is short.
char *dup_range(const char *p, std::size_t n, const char *tag);
inline char *dup(const char *s, const char *tag) {
    return dup_range(s, std::strlen(s), tag);
}

// Logs a failed allocation under tag.
void log_no_memory(const char *tag, std::size_t bytes);

// Membership table for a delimiter set; the NUL is never a member.
class CharSet {
  public:
    explicit CharSet(const char *set) {
        for (auto *p = reinterpret_cast<const unsigned char *>(set); *p != 0; ++p)
            member_[*p] = true;
    }
    bool has(char c) const { return member_[static_cast<unsigned char>(c)]; }

  private:
    bool member_[256] = {};
};

} // namespace ztbase::cstr
