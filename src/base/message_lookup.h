// The localised message lookup and the unified-logging translation service, as
// the status catalogue and the date texts see them. The message family installs
// its catalogue when the library is loaded (see library/attach); until then, and
// for any message it does not know, the answer is the caller's English default,
// which is what a missing catalogue gives anyway.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace ztbase::msg {

// What a message catalogue provides. Every member is set.
struct Catalogue {
    // As lookup, with the arguments in a va_list; no pointer is null.
    int (*vlookup)(const char *id, const char *locale, size_t size, char *out,
                   const char *default_format, va_list args);
    // As translate_status.
    bool (*translate_status)(int code, const char *locale, std::string &out);
};

// Installs `catalogue` (static storage; null restores the English default).
void install(const Catalogue *catalogue);

// Formats the text of message `id` in `locale` (default_format when there is no
// translation) into out. Returns 0, or -1 when id, locale, out or
// default_format is null.
int lookup(const char *id, const char *locale, size_t size, char *out, const char *default_format,
           ...) __attribute__((format(printf, 5, 6)));

// Translates status `code` (message set 271) for `locale`; false when there is
// no text.
bool translate_status(int code, const char *locale, std::string &out);

} // namespace ztbase::msg
