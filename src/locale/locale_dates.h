// The locale file's records and the pattern formatter behind the locale-
// dependent date texts.
#pragma once

#include <ctime>
#include <functional>
#include <locale.h>
#include <string>
#include <string_view>

namespace ztbase::dates {

// One line of the locale file.
struct LocaleLine {
    enum Kind { Other, Malformed, Define, Map } kind = Other;
    std::string name;
    std::string time_pattern, date_pattern; // Define
    std::string target;                     // Map
};

// "TL <len> <name> <time> ^ <date> ^" or "TM <len> <name> <len> <target>";
// Other for comments, blank lines and other line kinds. Control bytes must
// already read as blanks.
LocaleLine parse_locale_line(std::string_view line);

// True when the pattern holds at least one token.
bool has_token(std::string_view pattern);

struct LocaleRecord {
    std::string name, time_pattern, date_pattern;
};
// "ql hh:mn:ss ^ mm/dd/yyyy ^"
LocaleRecord builtin_record();

// What the formatters need of one locale.
struct LocaleContext {
    LocaleRecord record;
    locale_t runtime = static_cast<locale_t>(nullptr); // month and weekday names
    char am[9] = "AM";
    char pm[9] = "PM";
};

// Runs `use` on the cached context of `locale` (filled first when another
// locale is asked for or the locale file changed), under the cache's lock.
void with_locale(const char *locale, const std::function<void(const LocaleContext &)> &use);

// t's fields by a pattern; without seconds the seconds token and the
// separator before it are left out; pad12 keeps a 12-hour hour two digits wide.
std::string format_pattern(const LocaleContext &ctx, std::string_view pattern, const struct tm &f,
                           bool seconds, bool pad12);

// The pattern with each token replaced by its localised display text.
std::string display_pattern(const LocaleContext &ctx, const char *locale, std::string_view pattern);

} // namespace ztbase::dates
