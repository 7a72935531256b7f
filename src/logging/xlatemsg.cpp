// Translation of localisable messages: the catalogue an originator's
// unified-log settings name, through the localisation library loaded at run
// time. One process-wide critical section covers the whole translation.
#include <ztbase/ztlogger.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <vector>

#include <hxlis/hxlis.h>
#include <unicode/ustring.h>

#include <ztbase/debuglog.h>

#include "logging/ul_internal.h"

namespace {

// The catalogue of an originator in a locale, from its settings.
struct CatalogueRef {
    unsigned long originator;
    std::string locale;
    std::string resdir, resource, library;
};

// A localisation library, loaded once and kept for the process.
struct Library {
    std::string name;
    void *handle;
    hlvnExtOpenCatalog_fn open;
    hlvnExtCloseCatalog_fn close;
    hlvnExtFormatMessage_fn format;
    hlvnExtFreeFormatMessage_fn free_text;
};

std::mutex g_xlate_mutex;
std::vector<CatalogueRef> *g_refs = new std::vector<CatalogueRef>;
std::vector<Library> *g_libraries = new std::vector<Library>;

// Reads the catalogue an originator's settings name (mutex held).
int read_ref(unsigned long originator, const char *locale, CatalogueRef &out) {
    ztbase::ul::sync_paths();
    hlvnLogCfg *cfg = nullptr;
    int rc = hlvnLogReadCfg(ZT_UL_PRODUCT, originator, &cfg);
    if (rc != HLVN_OK) {
        logmsgf(ZTLOG_DEBUG, "xlatemsg", "hlvnLogReadCfg(%lu) failed with error code:%d",
                originator, rc);
        return rc;
    }
    const char *dir = nullptr, *res = nullptr, *lib = nullptr;
    rc = hlvnLogCfgGetL10NResourceDir(cfg, &dir);
    if (rc == HLVN_OK)
        rc = hlvnLogCfgGetL10NResource(cfg, &res);
    if (rc == HLVN_OK)
        rc = hlvnLogCfgGetL10NLibrary(cfg, &lib);
    if (rc == HLVN_OK)
        out = CatalogueRef{originator, locale != nullptr ? locale : "", dir, res, lib};
    else
        logmsgf(ZTLOG_DEBUG, "xlatemsg", "originator %lu names no catalogue (%d)", originator,
                rc);
    hlvnLogFreeCfg(cfg);
    return rc;
}

// The library of a name, loaded on first use (mutex held); null when it or
// one of its entry points is missing.
const Library *library(const std::string &name) {
    for (const Library &l : *g_libraries)
        if (l.name == name)
            return &l;
    void *h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        logmsgf(ZTLOG_ERROR, "xlatemsg", "cannot load %s: %s", name.c_str(), dlerror());
        return nullptr;
    }
    Library l{name, h,
              reinterpret_cast<hlvnExtOpenCatalog_fn>(dlsym(h, "hlvnExtOpenCatalog")),
              reinterpret_cast<hlvnExtCloseCatalog_fn>(dlsym(h, "hlvnExtCloseCatalog")),
              reinterpret_cast<hlvnExtFormatMessage_fn>(dlsym(h, "hlvnExtFormatMessage")),
              reinterpret_cast<hlvnExtFreeFormatMessage_fn>(dlsym(h, "hlvnExtFreeFormatMessage"))};
    if (l.open == nullptr || l.close == nullptr || l.format == nullptr || l.free_text == nullptr) {
        logmsgf(ZTLOG_ERROR, "xlatemsg", "%s lacks an entry point of a localisation library",
                name.c_str());
        dlclose(h);
        return nullptr;
    }
    g_libraries->push_back(l);
    return &g_libraries->back();
}

} // namespace

ZTBASE_API int xlatemsg(const Halvane::L10N::Lis &msg, unsigned long originator, char **text,
                        const char *locale) {
    if (text == nullptr)
        return 1;
    *text = nullptr;
    try {
        std::lock_guard<std::mutex> lock(g_xlate_mutex);
        const std::string loc = locale != nullptr ? locale : "";
        const CatalogueRef *ref = nullptr;
        for (const CatalogueRef &r : *g_refs)
            if (r.originator == originator && r.locale == loc)
                ref = &r;
        if (ref == nullptr) {
            CatalogueRef fresh;
            const int rc = read_ref(originator, locale, fresh);
            if (rc != 0)
                return rc;
            g_refs->push_back(std::move(fresh));
            ref = &g_refs->back();
        }
        const Library *lib = library(ref->library);
        if (lib == nullptr)
            return 1;
        void *catalog = nullptr;
        if (lib->open(ref->resource.c_str(), ref->resdir.c_str(), locale, &catalog) != 0 ||
            catalog == nullptr) {
            logmsgf(ZTLOG_DEBUG, "xlatemsg", "cannot open catalogue %s in %s", ref->resource.c_str(),
                    ref->resdir.c_str());
            return 1;
        }
        const std::vector<const char *> argv = msg.argv();
        char *formatted = nullptr;
        int rc = lib->format(catalog, msg.id(), int(argv.size()), argv.data(), &formatted);
        if (rc == 0 && formatted != nullptr) {
            *text = strdup(formatted);
            if (*text == nullptr)
                rc = 1;
        } else if (rc == 0) {
            rc = 1;
        }
        if (formatted != nullptr)
            lib->free_text(formatted);
        lib->close(catalog);
        return rc;
    } catch (...) {
        return 1;
    }
}

ZTBASE_API int xlatemsgW(const Halvane::L10N::Lis &msg, unsigned long originator,
                         char16_t **text, const char *locale) {
    if (text == nullptr)
        return 1;
    *text = nullptr;
    char *utf8 = nullptr;
    const int rc = xlatemsg(msg, originator, &utf8, locale);
    if (rc != 0)
        return rc;
    UErrorCode st = U_ZERO_ERROR;
    int32_t len = 0;
    u_strFromUTF8WithSub(nullptr, 0, &len, utf8, -1, 0xFFFD, nullptr, &st);
    auto *wide = static_cast<char16_t *>(malloc((size_t(len) + 1) * sizeof(char16_t)));
    if (wide == nullptr) {
        free(utf8);
        return 1;
    }
    st = U_ZERO_ERROR;
    u_strFromUTF8WithSub(wide, len + 1, nullptr, utf8, -1, 0xFFFD, nullptr, &st);
    free(utf8);
    if (U_FAILURE(st)) {
        free(wide);
        return 1;
    }
    *text = wide;
    return 0;
}
