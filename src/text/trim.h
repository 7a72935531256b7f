// The one trim of the library. Each reader names the blanks its format allows
// around a value, so that the sets stay visible side by side.
#pragma once

#include <string_view>

namespace ztbase::text {

// Blanks as the C locale's isspace knows them.
inline constexpr std::string_view kWhiteSpace = " \t\n\r\f\v";
// Blanks within one line of a key=value file (a line end never reaches it).
inline constexpr std::string_view kLineBlanks = " \t\v\f";
// What may end a line of a touch file: blanks and the line end itself.
inline constexpr std::string_view kLineEndBlanks = " \t\r\n";
// Plain spaces only.
inline constexpr std::string_view kSpaces = " ";

// Which ends of the text are trimmed.
enum class Ends { Both, Back };

// s without the blanks at its ends; a view into s.
constexpr std::string_view trim(std::string_view s, std::string_view blanks,
                                Ends ends = Ends::Both) {
    const size_t last = s.find_last_not_of(blanks);
    if (last == std::string_view::npos)
        return {};
    const size_t first = ends == Ends::Both ? s.find_first_not_of(blanks) : 0;
    return s.substr(first, last - first + 1);
}

static_assert(trim("  a b \t", kLineBlanks) == "a b");
static_assert(trim(" a \r\n", kLineEndBlanks, Ends::Back) == " a");
static_assert(trim(" \n ", kWhiteSpace).empty());

} // namespace ztbase::text
