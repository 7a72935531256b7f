// What the modules of the message family share: the catalogue cache, the
// locale names, the format check and the code-page switch.
#pragma once

#include <cstdint>
#include <string>

#include "base/message_lookup.h"

namespace ztbase::messages {

// ---- the catalogue cache (msg_cache.cpp) ----

// The catalogue text of an 11-character identifier (or, with `unique`, a
// unique message identifier "V-<file>-<n>-<n>...") in a locale, copied into
// out; false when there is none. Loads the identifier's catalogue file on its
// first use.
// *record (when given) receives a token of the record the text came from:
// equal tokens mean the same text until the cache is unloaded, after which
// no token repeats.
bool find_text(const char *locale, const char *id, bool unique, std::string &out,
               uint64_t *record = nullptr);
// The same, as a pointer into the cache (valid until msgCacheUnload); null
// when there is none.
const char *find_text_pointer(const char *locale, const char *id, bool unique);
// Counts the unloads: a text found while this was unchanged is still the
// cache's text for its identifier and locale.
uint64_t generation();
// Catalogue files read (or found missing) since the process started.
int files_read();
// Frees the cache.
void unload();

// ---- locale names (locale_names.cpp) ----

// The runtime locale name of a common name by common2reallocale's rule.
std::string real_name(const std::string &common);
// The character set of a runtime locale name ("UTF-8" when unknown).
std::string codeset_of(const std::string &real);

// ---- formats (msg_format.cpp) ----

// Whether `candidate` reads no argument that `reference` does not pass, each
// of the same kind, and writes nothing through an argument (%n).
bool formats_compatible(const char *candidate, const char *reference);

// The catalogue interface the status texts and dates call through.
const msg::Catalogue *catalogue();

// ---- the code-page switch (msg_codepage.cpp) ----

// Whether message and system error texts are converted from the locale's
// character set to UTF-8 before formatting.
bool converting();
// text from the process locale's character set to UTF-8; false when it
// cannot be converted.
bool acp_to_utf8(const std::string &text, std::string &out);

} // namespace ztbase::messages
