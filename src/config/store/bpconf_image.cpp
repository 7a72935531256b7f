// Records as text images, the filter over an image, and the semantic checks.
// Every non-obsolete item is written, the last row included: an image that
// parses back gives the record it was made from.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>

#include "config/items/adhoc_config_ops.h"
#include "config/store/bpconf_internal.h"
#include "base/zt_status.h"

namespace st = zt::status;

using namespace ztbase::bpconf;
namespace cfg = ztbase::config;

namespace {

bool space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// Appends the item's lines; false when its value cannot be formatted.
bool append_item(std::string &out, const ZtConfig *config, int index, int32_t word) {
    const char *label = getConfigLabelA(index);
    if (word < 0) {
        out += label;
        out += '\n';
        return true;
    }
    std::string text;
    if (cfg::format_item(index, config, text) != 0)
        return false;
    if (text.empty()) {
        if (!ConfigRequiresValue(index)) {
            out += label;
            out += '\n';
        }
        return true;
    }
    if (!IsMultiLineConfigData(index)) {
        out.append(label).append("=").append(text).append("\n");
        return true;
    }
    for (size_t pos = 0; pos < text.size();) {
        size_t nul = text.find('\0', pos);
        if (nul == std::string::npos)
            nul = text.size();
        out.append(label).append("=").append(text, pos, nul - pos).append("\n");
        pos = nul + 1;
    }
    return true;
}

// The key of an image line as the parser sees it; empty for a comment.
std::string line_key(const char *begin, const char *end) {
    while (begin < end && space(*begin))
        ++begin;
    if (begin == end || *begin == '#')
        return {};
    const char *eq = static_cast<const char *>(memchr(begin, '=', size_t(end - begin)));
    const char *kend = eq != nullptr ? eq : end;
    while (kend > begin && space(kend[-1]))
        --kend;
    return std::string(begin, kend);
}

bool selected(const ZtConfig *selection, int index) {
    return selection == nullptr || def_word(selection, index) != 0;
}

} // namespace

namespace ztbase::bpconf {

// The image of record, as makeConfigImageA makes it, into out: 0 or 10.
int make_image(const ZtConfig *config, const ZtConfig *definition, std::string &out) {
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        if (cfg::live_row(i) == nullptr)
            continue;
        int32_t word = definition != nullptr ? def_word(definition, i) : 1;
        if (word == 0)
            continue;
        if (!append_item(out, config, i, word)) {
            logmsgf(ZTLOG_ERROR, "makeConfigImageA", "Unable to format configuration item %s",
                    getConfigLabelA(i));
            return st::kAllocFailed;
        }
    }
    return 0;
}

} // namespace ztbase::bpconf

extern "C" {

ZTBASE_API int makeConfigImageA(const ZtConfig *config, const ZtConfig *definition, char **image) {
    if (image == nullptr || config == nullptr)
        return st::kInvalidParameter;
    *image = nullptr;
    std::string out;
    int status = make_image(config, definition, out);
    if (status != 0)
        return status;
    if ((*image = to_malloc(out)) == nullptr) {
        logmsg(ZTLOG_DEBUG, "Unable to allocate space for the config buffer", "makeConfigImageA");
        return st::kAllocFailed;
    }
    return 0;
}

ZTBASE_API int filterConfigImageA(ZtConfigSource *source, const ZtConfig *selection, char **image) {
    if (image == nullptr || *image == nullptr)
        return st::kInvalidParameter;
    std::string out;
    std::vector<bool> occurred(ZTCONFIG_TABLE_SIZE, false);
    for (const char *p = *image; *p != '\0';) {
        const char *nl = strchr(p, '\n');
        const char *end = nl != nullptr ? nl : p + strlen(p);
        std::string key = line_key(p, end);
        bool keep = selection == nullptr;
        if (!key.empty()) {
            int index = getConfigIndexA(key.c_str());
            if (index == -1)
                index = generic_index();
            if (index >= 0) {
                occurred[size_t(index)] = true;
                keep = selected(selection, index);
            }
        }
        if (keep)
            out.append(p, end).append("\n");
        p = nl != nullptr ? nl + 1 : end;
    }
    ZtConfig wanted{};
    bool any = false;
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        const cfg::Row *row = cfg::live_row(i);
        if (row != nullptr && (row->bits & cfg::D) != 0 && selected(selection, i) &&
            !occurred[size_t(i)]) {
            set_def_word(&wanted, i, 1);
            any = true;
        }
    }
    if (any) {
        Record defaults = new_record();
        int status = !defaults ? st::kAllocFailed : init_record(source, defaults.get());
        if (status == 0)
            status = make_image(defaults.get(), &wanted, out);
        if (status != 0)
            return status;
    }
    char *fresh = to_malloc(out);
    if (fresh == nullptr) {
        logmsg(ZTLOG_DEBUG, "Unable to allocate space for the config buffer", "filterConfigImageA");
        return st::kAllocFailed;
    }
    free(*image);
    *image = fresh;
    return 0;
}

ZTBASE_API int CheckSemantics(ZtConfig *record) {
    if (record == nullptr)
        return st::kInvalidParameter;
    // Both items are inverted booleans: YES is stored as 0.
    if (record->USE_CTIME_FOR_INCREMENTALS == 0 && record->DO_NOT_RESET_FILE_ACCESS_TIME != 0) {
        record->DO_NOT_RESET_FILE_ACCESS_TIME = 0;
        logmsg(ZTLOG_INFO,
               "USE_CTIME_FOR_INCREMENTALS specified without DO_NOT_RESET_FILE_ACCESS_TIME.  "
               "DO_NOT_RESET_FILE_ACCESS_TIME set also",
               "CheckSemantics");
    }
    if (record->SERVER == nullptr) {
        logmsg(ZTLOG_ERROR, "SERVER not specified in Zentor configuration", "CheckSemantics");
        return st::kNoServerEntry;
    }
    return 0;
}

ZTBASE_API int CheckSemanticsForUpdate(const ZtConfig *config, const ZtConfig *definition) {
    if (config == nullptr)
        return st::kInvalidParameter;
    if (def_word(definition, getConfigIndexA("SERVER")) != 0 && config->SERVER == nullptr) {
        logmsg(ZTLOG_ERROR, "SERVER not specified in Zentor configuration",
               "CheckSemanticsForUpdate");
        return st::kNoServerEntry;
    }
    return 0;
}

} // extern "C"
