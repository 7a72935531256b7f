// Key=value text files: one "key = value" per line, '#' comments, blanks
// trimmed. C++ only.
#pragma once

#ifndef __cplusplus
#error "ztbase/keyvalue.h is a C++ header: include it from C++ only"
#endif

#include <map>
#include <string>

#include <ztbase/export.h>

namespace Halvane::Zentor::Common {

// One value of a key=value file, kept trimmed of blanks, tabs, vertical tabs
// and form feeds at both ends.
class ZTBASE_API value {
  public:
    value() = default;
    value(const char *text); // null: empty
    value(const std::string &text);
    value(const value &other) = default;
    value &operator=(const value &other) = default;
    void swap(value &other) noexcept;

    void set(const char *text); // assigns and trims (null: empty)
    const std::string &get() const { return text_; }
    operator std::string() const { return text_; }

    // The text as a decimal int: 0, or 20 (logged) when it is not one
    // (out of range, no digits, or text after the number).
    int to_int(int &out) const;

  private:
    std::string text_;
};

using keyvalue_map = std::map<std::string, value>;

// Reads path into out (replaced only on success). A later line with the same
// key replaces the earlier value. 20 for an empty path, 12 when the file
// cannot be opened, 13 when it holds no valid entry.
ZTBASE_API int read_keyvalue_file(const std::string &path, keyvalue_map &out);

} // namespace Halvane::Zentor::Common
