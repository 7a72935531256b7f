// The parts of a debug log file name, shared by the name functions and the
// directory listing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ztbase::logfiles {

struct NameParts {
    std::string_view user; // the user part; empty also when has_user is false
    bool has_user = false;
    std::string_view date; // six digits, MMDDYY
    int seq = 0;
    bool compressed = false;
    int fields = 0; // date, sequence number and compression suffix read
};

// The parts of a name of one of the accepted forms; the date is not
// range-checked. Views point into name.
std::optional<NameParts> parse_name(std::string_view name);
// The user part, found from the end of the name; nullopt when it has none.
std::optional<std::string_view> user_part(std::string_view name);
// A parsed name whose date lies in the valid range.
bool valid_parts(const NameParts &parts);
// "%s.%02d%02d%02d%05d": user ("root" when none), year, month, day, sequence.
std::string sort_key(const NameParts &parts);

// A name with its sort key, ordered by key, then compressed before plain, then
// by name, so that the order is total.
struct Keyed {
    std::string key;
    bool compressed = false;
    const char *name = nullptr;
};
int compare_keyed(const Keyed &a, const Keyed &b);

// Copies s into out (size bytes, cut to fit and terminated); the number of
// characters copied, 0 when out is null or size is 0.
int copy_out(std::string_view s, char *out, size_t size);

} // namespace ztbase::logfiles
