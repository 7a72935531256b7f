// The built-in rows of the installation path table.
#pragma once
#include <cstddef>
namespace ztbase::pathconfig {
struct PathRow {
    const char *label;
    const char *tmpl;      // template; "" when empty
    const char *unix_path; // expanded UNIX default, or nullptr
    int flags;             // 1 ordinary, 12 or 14 command
};
extern const PathRow kBuiltinRows[];
extern const size_t kBuiltinRowCount;
} // namespace ztbase::pathconfig
