// Pieces shared by the date formatters and the date parser.
#pragma once

#include <ctime>

namespace ztbase::dates {

// Local calendar fields of t; false when t cannot be broken down.
inline bool local_fields(time_t t, struct tm &out) {
    return localtime_r(&t, &out) != nullptr;
}

// Years since 1900, less 100 from 2000 on.
inline int two_digit_year(const struct tm &f) {
    return f.tm_year >= 100 ? f.tm_year - 100 : f.tm_year;
}

} // namespace ztbase::dates
