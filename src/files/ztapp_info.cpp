// Appliance release information from the "ztapp-release" file.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include <ztbase/debuglog.h>
#include <ztbase/keyvalue.h>
#include <ztbase/paths.h>
#include <ztbase/ztapp.h>

#include "base/zt_status.h"

namespace st = zt::status;
namespace common = Halvane::Zentor::Common;

namespace {

constexpr const char *kTag = "ztapp_info_init_ex";

std::mutex g_mutex; // guards the test record and the test base directory
std::optional<ztapp_info_t> g_test_info;
std::optional<std::string> g_test_base;

void copy_text(char (&to)[ZTAPP_INFO_TEXT_SIZE], const std::string &from) {
    size_t n = from.size() < sizeof to - 1 ? from.size() : sizeof to - 1;
    memcpy(to, from.data(), n);
    to[n] = '\0';
}

ztapp_info_t *new_record() {
    auto *info = static_cast<ztapp_info_t *>(calloc(1, sizeof(ztapp_info_t)));
    if (info == nullptr)
        logmsgf(ZTLOG_ERROR, kTag, "Failed to allocate memory for ztapp_info_t, status: %d",
                st::kAllocFailed);
    return info;
}

} // namespace

extern "C" {

ZTBASE_API ztapp_info_t *ztapp_info_init_ex(const char *base_dir) {
    std::string path = base_dir != nullptr && base_dir[0] != '\0' ? base_dir : "/etc";
    const char *separator = getFennicString("_ps");
    path += separator[0] != '\0' ? separator : "/";
    path += "ztapp-release";
    logmsgf(ZTLOG_DEBUG, kTag, "path=%s", path.c_str());

    common::keyvalue_map entries;
    int status = common::read_keyvalue_file(path, entries);
    if (status != 0) {
        logmsgf(ZTLOG_DEBUG, kTag, "read_keyvalue_file failed, path:%s, status: %d", path.c_str(),
                status);
        return nullptr;
    }
    static const char *const kRequired[] = {"ztapp-release", "builddate", "platform-version",
                                            "system-product-name", "model"};
    for (const char *key : kRequired) {
        if (entries.find(key) == entries.end()) {
            logmsgf(ZTLOG_ERROR, kTag, "Invalid ztapp-release file, failed to find: %s, status: %d",
                    key, st::kInvalidParameter);
            return nullptr;
        }
    }
    int model = 0;
    if (entries["model"].to_int(model) != 0)
        return nullptr;
    ztapp_info_t *info = new_record();
    if (info == nullptr)
        return nullptr;
    copy_text(info->release, entries["ztapp-release"].get());
    copy_text(info->build_date, entries["builddate"].get());
    copy_text(info->platform_version, entries["platform-version"].get());
    copy_text(info->system_product_name, entries["system-product-name"].get());
    info->model = model;
    return info;
}

ZTBASE_API ztapp_info_t *ztapp_info_init(void) {
    std::optional<std::string> base;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_test_info) {
            ztapp_info_t *info = new_record();
            if (info != nullptr)
                *info = *g_test_info;
            return info;
        }
        base = g_test_base;
    }
    return ztapp_info_init_ex(base ? base->c_str() : nullptr);
}

ZTBASE_API void ztapp_info_fini(ztapp_info_t **info) {
    if (info == nullptr)
        return;
    free(*info);
    *info = nullptr;
}

ZTBASE_API int is_zta(const ztapp_info_t *info) {
    return info != nullptr ? 1 : 0;
}

ZTBASE_API int is_ztva(const ztapp_info_t *info) {
    return info != nullptr && info->model == ZTAPP_MODEL_VIRTUAL ? 1 : 0;
}

ZTBASE_API int ztapp_info_set_unit_test_info(const char *release, const char *build_date,
                                             const char *platform_version, const char *product_name,
                                             int model) {
    auto given = [](const char *s) { return s != nullptr && s[0] != '\0'; };
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!given(release) || !given(build_date) || !given(platform_version) || !given(product_name) ||
        model <= 0) {
        g_test_info.reset();
        return 0;
    }
    ztapp_info_t info{};
    copy_text(info.release, release);
    copy_text(info.build_date, build_date);
    copy_text(info.platform_version, platform_version);
    copy_text(info.system_product_name, product_name);
    info.model = model;
    g_test_info = info;
    return 0;
}

ZTBASE_API int ztapp_info_set_unit_test_base_path(const char *dir) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (dir != nullptr)
        g_test_base = dir;
    else
        g_test_base.reset();
    return 0;
}

} // extern "C"
