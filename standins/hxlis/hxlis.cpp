// hxlis: catalogues of ICU resource bundles, messages formatted with ICU's
// MessageFormat. Loaded at run time; only the four entry points are exported.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <unicode/fmtable.h>
#include <unicode/msgfmt.h>
#include <unicode/uloc.h>
#include <unicode/ures.h>

#include <hxlis/hxlis.h>

#define HXLIS_API extern "C" __attribute__((visibility("default")))

namespace {

struct Catalog {
    UResourceBundle *bundle = nullptr;
    std::string locale;
};

constexpr int kMaxArgs = 64;

} // namespace

HXLIS_API int hlvnExtOpenCatalog(const char *resource, const char *resdir, const char *locale,
                                 void **catalog) {
    if (catalog == nullptr)
        return HLIS_E_PARAM;
    *catalog = nullptr;
    if (resource == nullptr || resdir == nullptr || *resource == '\0' ||
        strchr(resource, '/') != nullptr)
        return HLIS_E_PARAM;
    try {
        auto *c = new Catalog;
        c->locale = locale != nullptr && *locale != '\0' ? locale : uloc_getDefault();
        // A trailing separator makes ICU read DIR/RESOURCE/LOCALE.res.
        const std::string path = std::string(resdir) + "/" + resource + "/";
        UErrorCode st = U_ZERO_ERROR;
        c->bundle = ures_open(path.c_str(), c->locale.c_str(), &st);
        if (U_FAILURE(st) || c->bundle == nullptr) {
            ures_close(c->bundle);
            delete c;
            return HLIS_E_NOCATALOG;
        }
        *catalog = c;
        return HLIS_OK;
    } catch (...) {
        return HLIS_E_NOMEM;
    }
}

HXLIS_API int hlvnExtCloseCatalog(void *catalog) {
    auto *c = static_cast<Catalog *>(catalog);
    if (c == nullptr)
        return HLIS_E_PARAM;
    ures_close(c->bundle);
    delete c;
    return HLIS_OK;
}

HXLIS_API int hlvnExtFormatMessage(void *catalog, unsigned long msgid, int argc,
                                   const char *const *argv, char **text) {
    auto *c = static_cast<Catalog *>(catalog);
    if (text == nullptr)
        return HLIS_E_PARAM;
    *text = nullptr;
    if (c == nullptr || argc < 0 || argc > kMaxArgs || (argc > 0 && argv == nullptr))
        return HLIS_E_PARAM;
    try {
        UErrorCode st = U_ZERO_ERROR;
        int32_t len = 0;
        const std::string key = std::to_string(msgid);
        const UChar *pattern = ures_getStringByKey(c->bundle, key.c_str(), &len, &st);
        if (U_FAILURE(st) || pattern == nullptr)
            return HLIS_E_NOMESSAGE;
        st = U_ZERO_ERROR;
        icu::MessageFormat format(icu::UnicodeString(pattern, len), icu::Locale(c->locale.c_str()),
                                  st);
        if (U_FAILURE(st))
            return HLIS_E_PATTERN;
        // The arguments are given by position; a pattern that names them
        // cannot be filled from a list.
        if (format.usesNamedArguments())
            return HLIS_E_FORMAT;
        icu::Formattable args[kMaxArgs];
        for (int i = 0; i < argc; ++i)
            args[i].setString(icu::UnicodeString::fromUTF8(argv[i] != nullptr ? argv[i] : ""));
        icu::UnicodeString out;
        icu::FieldPosition pos;
        format.format(args, argc, out, pos, st);
        if (U_FAILURE(st))
            return HLIS_E_FORMAT;
        std::string utf8;
        out.toUTF8String(utf8);
        char *copy = static_cast<char *>(malloc(utf8.size() + 1));
        if (copy == nullptr)
            return HLIS_E_NOMEM;
        memcpy(copy, utf8.c_str(), utf8.size() + 1);
        *text = copy;
        return HLIS_OK;
    } catch (...) {
        return HLIS_E_NOMEM;
    }
}

HXLIS_API void hlvnExtFreeFormatMessage(char *text) {
    free(text);
}
