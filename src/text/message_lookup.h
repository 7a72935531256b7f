// Narrow interfaces to the localised message lookup and to the unified-logging
// translation service. Until message catalogues are installed they answer with
// the caller's English default, which is what a missing catalogue gives anyway.
#pragma once

#include <cstddef>
#include <string>

namespace ztbase::msg {

// Formats the text of message `id` in `locale` (default_format when there is no
// translation) into out. Returns 0, or -1 when id, locale, out or
// default_format is null.
int lookup(const char *id, const char *locale, size_t size, char *out, const char *default_format,
           ...) __attribute__((format(printf, 5, 6)));

// Translates status `code` (message set 271) for `locale`; false when there is
// no text.
bool translate_status(int code, const char *locale, std::string &out);

} // namespace ztbase::msg
