// Reading a configuration record through a configuration source: the
// built-in defaults, then the source's image parsed over them. A record is
// read once (its valid word); FreeConfig makes it readable again.
#include <cstdlib>
#include <cstring>
#include <memory>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/strings.h>

#include "config/store/bpconf_internal.h"
#include "base/zt_status.h"

namespace st = zt::status;

using namespace ztbase::bpconf;

namespace {

// A UTF-8 copy of an argument of at most 256 bytes.
bool narrow_arg(const char16_t *w, std::unique_ptr<char, decltype(&free)> &out, const char *tag) {
    if (w == nullptr)
        return true;
    out.reset(V_StrDupWideToUTF8(w));
    if (out == nullptr || strlen(out.get()) > 256) {
        logmsg(ZTLOG_ERROR, "argument cannot be converted or is longer than 256 bytes", tag);
        return false;
    }
    return true;
}

ZtConfigSource *or_local(ZtConfigSource *source) {
    return source != nullptr ? source : bpconfLocalSource;
}

} // namespace

namespace ztbase::bpconf {

int read_stored_for_update(ZtConfigSource *source, ZtConfig *record) {
    source = or_local(source);
    int status = init_record(source, record);
    if (status != 0)
        return status;
    if (source->getHostImage == nullptr)
        return 0;
    char *image = nullptr;
    auto definition = std::make_unique<ZtConfig>();
    status = source->getHostImage(source, nullptr, nullptr, &image, definition.get(), 0);
    if (status == st::kNoConfig) // nothing stored yet: the defaults
        return 0;
    if (status == 0)
        status = ParseConfigExA(image, record, definition.get(), ZTPARSE_RECORD_EMPTY);
    free(image);
    return status;
}

} // namespace ztbase::bpconf

extern "C" {

ZTBASE_API int ReadHostConfigNeedAuthExA(ZtConfigSource *source, ZtConfig *record,
                                         ZtConfig *definition, const char *host, const char *second,
                                         int needAuthentication) {
    if (record == nullptr)
        return st::kInvalidParameter;
    if (record->valid == 1)
        return 0;
    source = or_local(source);
    int status = init_record(source, record);
    if (status != 0)
        return status;
    if (source->getHostImage == nullptr)
        return st::kNoConfig;
    const bool check = definition == nullptr || definition->valid == 0;
    char *image = nullptr;
    status = source->getHostImage(source, host, second, &image, definition, needAuthentication);
    if (status == 0) {
        status = ParseConfigExA(image, record, definition, ZTPARSE_RECORD_EMPTY);
        if (check)
            status = CheckSemantics(record);
    }
    free(image);
    return status;
}

ZTBASE_API int ReadHostConfigExA(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                                 const char *host, const char *second) {
    return ReadHostConfigNeedAuthExA(source, record, definition, host, second, 0);
}

ZTBASE_API int ReadHostConfigExW(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                                 const char16_t *host, const char16_t *second) {
    std::unique_ptr<char, decltype(&free)> h(nullptr, free), s(nullptr, free);
    if (!narrow_arg(host, h, "ReadHostConfigExW") ||
        (host != nullptr && !narrow_arg(second, s, "ReadHostConfigExW")))
        return st::kInvalidParameter;
    return ReadHostConfigExA(source, record, definition, h.get(), s.get());
}

ZTBASE_API int ReadUsersConfigExA(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                                  const char *a, const char *b, const char *c) {
    if (record == nullptr)
        return st::kInvalidParameter;
    if (record->valid == 1)
        return 0;
    source = or_local(source);
    int status = init_record(source, record);
    if (status != 0)
        return status;
    char *image = nullptr;
    status = source->getUsersImage != nullptr
                 ? source->getUsersImage(source, a, b, c, &image, definition)
                 : st::kNoConfig;
    if (status == 0)
        status = ParseConfigExA(image, record, definition, ZTPARSE_RECORD_EMPTY);
    else if (status == st::kNoConfig) {
        record->valid = 1;
        status = 0;
    }
    free(image);
    return status;
}

ZTBASE_API int ReadUsersConfigExW(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition,
                                  const char16_t *a, const char16_t *b, const char16_t *c) {
    std::unique_ptr<char, decltype(&free)> na(nullptr, free), nb(nullptr, free), nc(nullptr, free);
    if (!narrow_arg(a, na, "ReadUsersConfigExW") || !narrow_arg(b, nb, "ReadUsersConfigExW") ||
        !narrow_arg(c, nc, "ReadUsersConfigExW"))
        return st::kInvalidParameter;
    return ReadUsersConfigExA(source, record, definition, na.get(), nb.get(), nc.get());
}

} // extern "C"
