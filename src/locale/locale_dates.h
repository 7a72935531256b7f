// The locale file's records and the pattern formatter behind the locale-
// dependent date texts.
#pragma once

#include <ctime>
#include <functional>
#include <locale.h>
#include <string>
#include <string_view>
#include <vector>

namespace ztbase::dates {

// The locale file (path label LOCALE_FILE): one record per line, blanks
// between fields, names preceded by their length in bytes.
//
//   # a comment
//   TL <len> <name> <time pattern> ^ <date pattern> ^ [<len> <runtime> [<len> <database>]]
//   TM <len> <name> <len> <target>
//
// A TL line defines a locale by its common name (the name callers pass and
// the name of its catalogue directory): its time and date patterns and,
// optionally, the runtime locale it stands for (a name setlocale accepts, such
// as "de_DE.UTF-8") and the database client's language for NLS_LANG. A TM
// line maps a name to another: to a common name defined elsewhere in the file,
// or to a runtime locale name. Other line kinds are ignored; tabs and other
// control bytes read as blanks.
struct LocaleLine {
    enum Kind { Other, Malformed, Define, Map } kind = Other;
    std::string name;
    std::string time_pattern, date_pattern; // Define
    std::string runtime, database;          // Define, optional
    std::string target;                     // Map
};

// One line as above; Other for comments, blank lines and other line kinds.
// Control bytes must already read as blanks.
LocaleLine parse_locale_line(std::string_view line);

// The lines of a locale file's bytes that mean something (Define and Map),
// in file order; `malformed` (when given) receives the number of each
// malformed line.
std::vector<LocaleLine> parse_locale_text(std::string_view text,
                                          std::vector<int> *malformed = nullptr);

// The meaningful lines of the locale file at path; false when it cannot be
// read (missing, not a regular file, larger than a locale file can be).
bool read_locale_file(const std::string &path, std::vector<LocaleLine> &lines);

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
