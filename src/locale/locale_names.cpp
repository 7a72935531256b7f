// Locale names: the registry's locale, the user's locale from the
// environment, and the mappings of the locale file between common names (the
// product's), runtime names (setlocale's) and the database client's language.
// The answers that are pointers live in per-thread buffers, so that a thread
// never sees another thread's answer replace its own.
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <locale.h>
#include <string>
#include <vector>

#include <unicode/uloc.h>

#include "base/log_sink.h"
#include "locale/locale_dates.h"
#include "locale/messages_internal.h"
#include "platform/registry/registry.h"
#include "ztbase/debuglog.h"
#include "ztbase/messages.h"
#include "ztbase/paths.h"
#include "ztbase/strings.h"

namespace ztbase::messages {

namespace {

using dates::LocaleLine;

constexpr const char kDefault[] = "C";
constexpr const char kRegistryKey[] = "SOFTWARE\\Halvane\\Zentor\\CurrentVersion";

// Windows locale identifiers: the three-letter abbreviation Windows gives the
// language, and the runtime locale that stands for it here. Identifiers not
// listed are asked of ICU (abbreviation: its ISO 639-2 code in capitals).
struct LcidRow {
    unsigned lcid;
    const char *abbreviation, *runtime;
};
constexpr LcidRow kLcids[] = {
    {0x0409, "ENU", "en_US"}, {0x0809, "ENG", "en_GB"}, {0x0C09, "ENA", "en_AU"},
    {0x1009, "ENC", "en_CA"}, {0x0407, "DEU", "de_DE"}, {0x0C07, "DEA", "de_AT"},
    {0x0807, "DES", "de_CH"}, {0x040C, "FRA", "fr_FR"}, {0x0C0C, "FRC", "fr_CA"},
    {0x0410, "ITA", "it_IT"}, {0x0C0A, "ESN", "es_ES"}, {0x0416, "PTB", "pt_BR"},
    {0x0816, "PTG", "pt_PT"}, {0x0411, "JPN", "ja_JP"}, {0x0412, "KOR", "ko_KR"},
    {0x0804, "CHS", "zh_CN"}, {0x0404, "CHT", "zh_TW"}, {0x0419, "RUS", "ru_RU"},
    {0x0413, "NLD", "nl_NL"}, {0x041D, "SVE", "sv_SE"}, {0x0406, "DAN", "da_DK"},
    {0x0414, "NOR", "nb_NO"}, {0x040B, "FIN", "fi_FI"}, {0x0415, "PLK", "pl_PL"},
    {0x0405, "CSY", "cs_CZ"}, {0x040E, "HUN", "hu_HU"}, {0x041F, "TRK", "tr_TR"},
    {0x0408, "ELL", "el_GR"},
};

struct Category {
    int id;
    const char *name;
};
constexpr Category kCategories[] = {
    {LC_ALL, "LC_ALL"},           {LC_COLLATE, "LC_COLLATE"}, {LC_CTYPE, "LC_CTYPE"},
    {LC_MONETARY, "LC_MONETARY"}, {LC_NUMERIC, "LC_NUMERIC"}, {LC_TIME, "LC_TIME"},
    {LC_MESSAGES, "LC_MESSAGES"},
};

bool runtime_accepts(const std::string &name) {
    if (name.empty() || name.size() > 255 || name.find('/') != std::string::npos)
        return false;
    locale_t loc = newlocale(LC_ALL_MASK, name.c_str(), static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr))
        return false;
    freelocale(loc);
    return true;
}

// "de_DE.UTF-8@euro" -> "de_DE.utf8@euro": codesets compared as glibc does.
std::string normalised(const std::string &name) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos)
        return name;
    const size_t at = name.find('@', dot);
    std::string out = name.substr(0, dot + 1);
    for (size_t i = dot + 1; i < (at == std::string::npos ? name.size() : at); ++i)
        if (isalnum(static_cast<unsigned char>(name[i])))
            out += static_cast<char>(tolower(static_cast<unsigned char>(name[i])));
    if (at != std::string::npos)
        out += name.substr(at);
    return out;
}

// Whether a TL line's runtime name is `name` (a name without a codeset
// matches the line's name without its codeset).
bool runtime_matches(const std::string &runtime, const std::string &name) {
    if (runtime.empty())
        return false;
    if (normalised(runtime) == normalised(name))
        return true;
    return name.find('.') == std::string::npos && runtime.substr(0, runtime.find('.')) == name;
}

std::string locale_file() {
    return getFennicString("LOCALE_FILE");
}

const LocaleLine *defining(const std::vector<LocaleLine> &lines, const std::string &name) {
    for (const LocaleLine &l : lines)
        if (l.kind == LocaleLine::Define && (l.name == name || runtime_matches(l.runtime, name)))
            return &l;
    return nullptr;
}

// The user's locale for a category, by the variables setlocale(category, "")
// reads; empty when the environment names none.
std::string user_locale(const Category &c) {
    for (const char *var : {"LC_ALL", c.id == LC_ALL ? "LANG" : c.name, "LANG"}) {
        const char *v = getenv(var);
        // Taken as it is, installed or not: it names the user's language.
        if (v != nullptr && *v != '\0')
            return strchr(v, '/') == nullptr ? v : kDefault;
    }
    return std::string();
}

// The runtime name of the registry locale; empty when it is not set.
std::string registry_runtime() {
    char abbreviation[16];
    if (getregistrylocale(abbreviation, sizeof abbreviation) != 0)
        return std::string();
    for (const LcidRow &r : kLcids)
        if (strcmp(r.abbreviation, abbreviation) == 0)
            return r.runtime;
    return std::string(); // not a language this table knows a runtime locale for
}

bool abbreviation_of(unsigned lcid, std::string &out) {
    for (const LcidRow &r : kLcids)
        if (r.lcid == lcid) {
            out = r.abbreviation;
            return true;
        }
    char id[64];
    UErrorCode status = U_ZERO_ERROR;
    uloc_getLocaleForLCID(lcid, id, sizeof id, &status);
    if (U_FAILURE(status) || id[0] == '\0')
        return false;
    const char *iso3 = uloc_getISO3Language(id);
    if (iso3 == nullptr || strlen(iso3) != 3)
        return false;
    out.clear();
    for (const char *p = iso3; *p != '\0'; ++p)
        out += static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    return true;
}

// Copies text whole into buf: false (buf untouched) when it does not fit.
bool copy_whole(char *buf, size_t size, const std::string &text) {
    if (buf == nullptr || text.size() >= size)
        return false;
    memcpy(buf, text.c_str(), text.size() + 1);
    return true;
}

void copy_out(char *buf, size_t size, const std::string &text, bool &ok) {
    if (buf != nullptr && !copy_whole(buf, size, text))
        ok = false;
}

} // namespace

std::string real_name(const std::string &common) {
    if (runtime_accepts(common))
        return common;
    std::vector<LocaleLine> lines;
    if (dates::read_locale_file(locale_file(), lines)) {
        for (const LocaleLine &l : lines)
            if (l.kind == LocaleLine::Map && l.name == common)
                return l.target;
        for (const LocaleLine &l : lines)
            if (l.kind == LocaleLine::Define && l.name == common && !l.runtime.empty())
                return l.runtime;
    }
    return kDefault;
}

std::string codeset_of(const std::string &real) {
    const size_t dot = real.find('.');
    if (dot != std::string::npos)
        return real.substr(dot + 1, real.find('@', dot) - dot - 1);
    std::string codeset = "UTF-8";
    if (runtime_accepts(real)) {
        locale_t loc = newlocale(LC_CTYPE_MASK, real.c_str(), static_cast<locale_t>(nullptr));
        if (loc != static_cast<locale_t>(nullptr)) {
            codeset = nl_langinfo_l(CODESET, loc);
            freelocale(loc);
        }
    }
    return codeset;
}

} // namespace ztbase::messages

namespace m = ztbase::messages;
namespace logsink = ztbase::logsink;
using ztbase::dates::LocaleLine;

extern "C" ZTBASE_API const char *common2reallocale(const char *name) {
    thread_local std::string last;
    last = m::real_name(name != nullptr ? name : "");
    return last.c_str();
}

extern "C" ZTBASE_API int real2commonlocale(const char *name, char *common, size_t size,
                                            char *message, size_t message_size) {
    constexpr const char *fn = "real2commonlocale";
    if (message != nullptr && message_size > 0)
        message[0] = '\0';
    if (name == nullptr || common == nullptr || size == 0)
        return -1;
    const std::string real = name;
    const std::string file = m::locale_file();
    std::string answer;
    std::vector<LocaleLine> lines;
    if (real == "C" || real == "POSIX" || real.compare(0, 2, "C.") == 0) {
        answer = m::kDefault;
    } else if (!ztbase::dates::read_locale_file(file, lines)) {
        if (message != nullptr)
            V_snprintf(message, message_size,
                       "**WARNING** Locale definition file <%s> not found.  Using defaults",
                       file.c_str());
        answer = m::kDefault;
    } else if (const LocaleLine *l = m::defining(lines, real)) {
        answer = l->name;
    } else {
        if (message != nullptr)
            V_snprintf(message, message_size, "**LOCALE ERROR** locale <%s> not found in file <%s>",
                       name, file.c_str());
        logsink::logf(ZTLOG_DEBUG, 1, fn, "locale <%s> not found in file <%s>", name, file.c_str());
        return -1;
    }
    return m::copy_whole(common, size, answer) ? 0 : -1;
}

extern "C" ZTBASE_API const char *real2oraclelocale(const char *name) {
    thread_local std::string last;
    std::vector<LocaleLine> lines;
    if (name == nullptr || !ztbase::dates::read_locale_file(m::locale_file(), lines))
        return nullptr;
    const LocaleLine *l = m::defining(lines, name);
    if (l == nullptr || l->database.empty())
        return nullptr;
    last = l->database;
    return last.c_str();
}

extern "C" ZTBASE_API int setOracleLocaleFromReal(const char *name) {
    const std::string real = name != nullptr ? name : m::user_locale(m::kCategories[2]);
    const char *language = real2oraclelocale(real.c_str());
    if (language == nullptr) {
        logsink::logf(ZTLOG_DEBUG, 1, "setOracleLocaleFromReal", "no database language for <%s>",
                      real.c_str());
        return -1;
    }
    return setenv("NLS_LANG", language, 1) == 0 ? 0 : -1;
}

extern "C" ZTBASE_API int setOracleLocaleFromRegistry(void) {
    std::string real = m::registry_runtime();
    if (real.empty())
        real = m::user_locale(m::kCategories[2]);
    return setOracleLocaleFromReal(real.c_str());
}

extern "C" ZTBASE_API int getregistrylocale(char *out, size_t size) {
    using namespace ztbase::registry;
    if (out == nullptr || size == 0)
        return -1;
    for (Root root : {Root::CurrentUser, Root::LocalMachine}) {
        Key key;
        Value v;
        if (Key::open(root, m::kRegistryKey, key) != Status::Ok ||
            key.query("Locale", v) != Status::Ok || v.type != kDword)
            continue;
        std::string abbreviation;
        if (!m::abbreviation_of(v.number(), abbreviation)) {
            logsink::logf(ZTLOG_WARNING, 0, "getregistrylocale", "unknown locale identifier 0x%x",
                          v.number());
            continue;
        }
        return m::copy_whole(out, size, abbreviation) ? 0 : -1;
    }
    return -1;
}

extern "C" ZTBASE_API int qlgetlocaleEx(size_t size, char *lc_all, char *lc_collate, char *lc_ctype,
                                        char *lc_monetary, char *lc_numeric, char *lc_time,
                                        char *lc_messages) {
    char *buffers[] = {lc_all, lc_collate, lc_ctype, lc_monetary, lc_numeric, lc_time, lc_messages};
    const std::string registry = m::registry_runtime();
    bool found = !registry.empty(), ok = true;
    for (size_t i = 0; i < std::size(m::kCategories); ++i) {
        std::string real = registry.empty() ? m::user_locale(m::kCategories[i]) : registry;
        found = found || !real.empty();
        if (real.empty())
            real = m::kDefault;
        char common[256];
        if (real2commonlocale(real.c_str(), common, sizeof common, nullptr, 0) != 0)
            V_strlcpy(common, m::kDefault, sizeof common);
        m::copy_out(buffers[i], size, common, ok);
    }
    return found && ok ? 0 : -1;
}

extern "C" ZTBASE_API int qlsetlocale(size_t size, char *lc_all, char *lc_collate, char *lc_ctype,
                                      char *lc_monetary, char *lc_numeric, char *lc_time,
                                      char *lc_messages) {
    char *buffers[] = {lc_all, lc_collate, lc_ctype, lc_monetary, lc_numeric, lc_time, lc_messages};
    int rc = 0;
    for (size_t i = 0; i < std::size(m::kCategories); ++i) {
        char *buf = buffers[i];
        if (buf == nullptr || size == 0 || buf[0] == '\0' || strnlen(buf, size) == size)
            continue;
        const std::string real = m::real_name(buf);
        const char *set = setlocale(m::kCategories[i].id, real.c_str());
        if (set == nullptr) {
            logsink::logf(ZTLOG_WARNING, 0, "qlsetlocale", "%s cannot be set to <%s>",
                          m::kCategories[i].name, real.c_str());
            rc = -1;
            continue;
        }
        char common[256];
        if (real2commonlocale(set, common, sizeof common, nullptr, 0) != 0)
            V_strlcpy(common, m::kDefault, sizeof common);
        V_strlcpy(buf, common, size);
    }
    return rc;
}
