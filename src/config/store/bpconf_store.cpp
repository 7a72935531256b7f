// The local configuration source: the registry key with one value per item
// (Int items REG_DWORD, multi-line items REG_MULTI_SZ, the rest and generic
// keys REG_SZ) plus the cluster-aware file, read as one text image; and the
// version line that describes this host.
//
// The registry part is read in up to three attempts; when all fail the image
// still holds the cluster-aware file. A value whose name or data would not
// survive as one "name=data" line (a line end, an '=' in the name, white space
// at its ends) is handed over as a GENERIC_KEY_VAL_LIST line instead.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/utsname.h>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/paths.h>

#include "config/store/bpconf_internal.h"
#include "config/store/bpconf_store.h"
#include "base/zt_status.h"
#include "platform/registry/registry.h"
#include "platform/posix_io.h"

namespace st = zt::status;

namespace reg = ztbase::registry;
using namespace ztbase::bpconf;

namespace ztbase::bpconf {
namespace {

reg::Status plain_values(const reg::Key &key, std::vector<reg::Value> &out) {
    return key.values(out);
}
ValuesReader g_values_reader = plain_values;

bool has_line_end(const std::string &s) {
    for (char c : s)
        if (c == '\n' || c == '\r')
            return true;
    return false;
}

bool needs_generic_form(const std::string &name) {
    if (name.empty() || isspace(static_cast<unsigned char>(name.front())) ||
        isspace(static_cast<unsigned char>(name.back())) || name.front() == '#')
        return true;
    for (char c : name)
        if (c == '=' || c == '\n' || c == '\r')
            return true;
    return false;
}

void add_line(std::string &text, const std::string &name, const std::string &data) {
    if (needs_generic_form(name) || has_line_end(data)) {
        // Neither part may end the line: the rest would be read as a line of
        // its own, an item line among them.
        auto one_line = [](std::string s) {
            for (char &c : s)
                if (c == '\n' || c == '\r')
                    c = ' ';
            return s;
        };
        text.append("GENERIC_KEY_VAL_LIST=(")
            .append(one_line(name))
            .append(") (")
            .append(one_line(data))
            .append(")\n");
        return;
    }
    text.append(name).append(1, '=').append(data).append(1, '\n');
}

// One attempt: 0, or 11/13 with text left partial.
int read_values(const reg::Key &key, std::string &text) {
    std::vector<reg::Value> values;
    reg::Status s = g_values_reader(key, values);
    if (s != reg::Status::Ok) {
        logmsgf(ZTLOG_ERROR, "ReadConfigReg", "RegEnumValueW() failed: %d", int(s));
        logmsgf(ZTLOG_ERROR, "ReadConfigReg", "Cannot read config item in registry: %d", int(s));
        return st::kSystemCallFailed;
    }
    text.reserve(values.size() * 48);
    for (const reg::Value &v : values) {
        switch (v.type) {
        case reg::kSz:
        case reg::kExpandSz:
            add_line(text, v.name, v.text());
            break;
        case reg::kDword:
            if (v.data.size() < 4) // written without a value
                text.append(v.name).append("\n");
            else
                add_line(text, v.name, std::to_string(int32_t(v.number())));
            break;
        case reg::kMultiSz:
            for (const std::string &piece : v.strings())
                add_line(text, v.name, piece);
            break;
        default:
            logmsgf(ZTLOG_DEBUG, "ReadConfigReg",
                    "Unexpected data type (%d) in registry, Entry (%s) ignored.", int(v.type),
                    v.name.c_str());
        }
    }
    return 0;
}

} // namespace

void set_values_reader(ValuesReader reader) {
    g_values_reader = reader != nullptr ? reader : plain_values;
}

std::string registry_key_path() {
    return std::string("HKEY_LOCAL_MACHINE\\") + ZTCONFIG_REGISTRY_KEY;
}

} // namespace ztbase::bpconf

namespace {

void local_extra_lines(char *buffer, int size) {
    if (buffer != nullptr && size > 0)
        snprintf(buffer, size_t(size), "%s", "PEM_VERBOSE=-9\nJM_VERBOSE=-9\nRB_VERBOSE=-9\n");
}

int local_ul_hook(int, ZtConfig *, ZtConfig *) {
    return 0;
}

int local_host_image(ZtConfigSource *source, const char *, const char *, char **image, ZtConfig *,
                     int) {
    return getLocalHostConfigImage(source, image);
}

int local_users_image(ZtConfigSource *source, const char *a, const char *, const char *,
                      char **image, ZtConfig *) {
    return getLocalUsersConfigImage(source, a, image);
}

int local_update_host(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition, const char *,
                      const char *) {
    return UpdateLocalHostConfig(source, record, definition);
}

int local_update_users(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition, const char *,
                       const char *, const char *) {
    return UpdateLocalUsersConfig(source, record, definition);
}

ZtConfigSource g_local = {
    local_extra_lines, local_ul_hook,      local_host_image, local_users_image,
    local_update_host, local_update_users, nullptr};

void copy_cut(char *dst, size_t size, const std::string &src) {
    size_t n = std::min(size - 1, src.size());
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// "6" of "6.1.0-13-amd64".
std::string major_of(const char *release) {
    std::string major;
    for (; *release != '\0' && *release != '.'; ++release)
        major += *release;
    return major.empty() ? "?" : major;
}

std::string cpuinfo_field(const char *name) {
    std::string text;
    if (ztbase::pio::Fd fd = ztbase::pio::open_regular_file("/proc/cpuinfo"))
        ztbase::pio::read_to_end(fd.get(), text);
    std::istringstream in(text);
    std::string line;
    size_t n = strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, n, name) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                size_t start = line.find_first_not_of(" \t", colon + 1);
                return start == std::string::npos ? std::string() : line.substr(start);
            }
        }
    }
    return {};
}

} // namespace

extern "C" {

ZtConfigSource *const bpconfLocalSource = &g_local;

ZTBASE_API int getLocalHostConfigImage(ZtConfigSource *source, char **image) {
    if (image == nullptr)
        return st::kInvalidParameter;
    *image = nullptr;
    if (source == nullptr)
        source = bpconfLocalSource;
    const char *path = getFennicString("ZTCL_CONFIG_PATH");
    ClusterLock lock(false);
    if (lock.status() != 0)
        return lock.status();
    reg::Key key;
    if (reg::Key::open(reg::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY, key) != reg::Status::Ok) {
        logmsgf(ZTLOG_ERROR, "getLocalHostConfigImage", "Unable to read configuration from %s",
                registry_key_path().c_str());
        return st::kNoConfig;
    }
    std::string text;
    int status = 0;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        text.clear();
        status = read_values(key, text);
        if (status == 0)
            break;
        text.clear(); // a partial read is not an image
        logmsgf(ZTLOG_ERROR, "ReadConfigReg", "Configuration read failed %d times with %d", attempt,
                status);
    }
    if (status == 0 && !text.empty() && source->appendExtraLines != nullptr) {
        char extra[256] = "";
        source->appendExtraLines(extra, sizeof extra);
        extra[sizeof extra - 1] = '\0';
        text += extra;
    }
    char *file = nullptr;
    size_t length = 0;
    status = ReadClusterAwareConfigFile(path, &file, &length);
    if (status != 0) {
        logmsgf(ZTLOG_ERROR, "getLocalHostConfigImage", "Unable to read configuration from %s",
                path);
        return status;
    }
    if (length > 0)
        text.append("\n").append(file, length);
    free(file);
    if ((*image = to_malloc(text)) == nullptr) {
        logmsg(ZTLOG_ERROR, "Unable to allocate space for the config buffer", "ReadConfigReg");
        return st::kAllocFailed;
    }
    return 0;
}

ZTBASE_API int getLocalUsersConfigImage(ZtConfigSource *source, const char *, char **image) {
    return getLocalHostConfigImage(source, image);
}

ZTBASE_API int getUnameInfoData(ZtUnameInfo *info) {
    if (info == nullptr)
        return st::kInvalidParameter;
    memset(info, 0, sizeof *info);
    struct utsname u;
    if (uname(&u) != 0) {
        snprintf(info->os_name, sizeof info->os_name, "?");
        snprintf(info->os_major, sizeof info->os_major, "?");
        snprintf(info->processor, sizeof info->processor, "Unknown - Unknown - ");
        return st::kSystemCallFailed;
    }
    copy_cut(info->os_name, sizeof info->os_name, u.sysname);
    copy_cut(info->os_major, sizeof info->os_major, major_of(u.release));
    copy_cut(info->computer, sizeof info->computer, u.nodename);
    std::string model = cpuinfo_field("model name");
    std::string stepping = cpuinfo_field("stepping");
    if (model.empty())
        snprintf(info->processor, sizeof info->processor, "%s - Unknown - ", u.machine);
    else
        snprintf(info->processor, sizeof info->processor, "%s - %s - Revision x%x", u.machine,
                 model.c_str(), unsigned(strtoul(stepping.c_str(), nullptr, 10)));
    int minor = 0;
    if (const char *dot = strchr(u.release, '.'))
        minor = atoi(dot + 1);
    logmsgf(ZTLOG_DEBUG, "getUnameInfoData",
            "%s OS Version - MajorVersion****= %d - MinorVersion****= %d", u.sysname,
            atoi(u.release), minor);
    return 0;
}

ZTBASE_API const char *getConfigPlatformName(void) {
#if defined(__x86_64__)
    return "linux_x64";
#elif defined(__aarch64__)
    return "linux_arm64";
#elif defined(__i386__)
    return "linux_x86";
#else
    return "linux";
#endif
}

ZTBASE_API int getLocalHostConfigImageEx(ZtConfigSource *source, char **image) {
    int status = getLocalHostConfigImage(source, image);
    if (status != 0)
        return status;
    std::string text(*image);
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    ZtUnameInfo info;
    getUnameInfoData(&info);
    text.append("VERSIONINFO = \"").append(info.os_name).append("\" \"").append(info.os_major);
    text.append("\" \"").append(getConfigPlatformName()).append("\" \"Zentor\" \"8.1\" 810000\n");
    char *fresh = to_malloc(text);
    if (fresh == nullptr) {
        logmsg(ZTLOG_ERROR, "Unable to allocate space for the config buffer",
               "getLocalHostConfigImageEx");
        return st::kAllocFailed;
    }
    free(*image);
    *image = fresh;
    return 0;
}

ZTBASE_API int getLocalUsersConfigImageEx(ZtConfigSource *source, const char *, char **image) {
    return getLocalHostConfigImageEx(source, image);
}

} // extern "C"
