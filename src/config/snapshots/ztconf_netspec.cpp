// Network specifications of the preferred-network list: an address with an
// optional prefix length, a wildcard, or a host name.
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>

#include <ztbase/debuglog.h>
#include <ztbase/ztconf.h>

#include "base/zt_status.h"

namespace st = zt::status;

namespace {

constexpr size_t kMaxAddressText = 1023;

// A non-zero decimal number of at most max, digits only.
bool parse_prefix(const char *text, int max, int *out) {
    if (*text == '\0' || strlen(text) > 3)
        return false;
    int value = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + (*p - '0');
    }
    if (value == 0 || value > max)
        return false;
    *out = value;
    return true;
}

int fail(const char *text, const char *why) {
    logmsgf(ZTLOG_DEBUG, "parseNetspec", "invalid network specification \"%.*s\": %s", 256, text,
            why);
    return st::kInvalidParameter;
}

} // namespace

extern "C" {

ZTBASE_API void ztconf_free_netspec(ztconf_netspec_t *spec) {
    if (spec == nullptr)
        return;
    free(spec->hostname);
    free(spec->address);
    memset(spec, 0, sizeof *spec);
}

ZTBASE_API int parseNetspec(const char *text, ztconf_netspec_t *out) {
    if (out == nullptr)
        return st::kInvalidParameter;
    memset(out, 0, sizeof *out);
    if (text == nullptr || *text == '\0')
        return fail("", "empty");
    if (strcmp(text, "0/0") == 0) {
        out->wildcard = 1;
        return 0;
    }
    if (strcmp(text, "0::0") == 0 || strcmp(text, "::") == 0) {
        out->family = AF_INET6;
        out->wildcard = 1;
        return 0;
    }
    if (strcmp(text, "0.0.0.0") == 0) {
        out->family = AF_INET;
        out->wildcard = 1;
        return 0;
    }
    const char *slash = strchr(text, '/');
    const size_t length = slash != nullptr ? size_t(slash - text) : strlen(text);
    if (length == 0 || length > kMaxAddressText)
        return fail(text, "no address or name, or longer than 1023 characters");
    const std::string address(text, length);

    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        int prefix = 128;
        if (slash != nullptr && !parse_prefix(slash + 1, 32, &prefix))
            return fail(text, "the prefix must be a number from 1 to 32");
        auto *sa = static_cast<sockaddr_in *>(calloc(1, sizeof(sockaddr_in)));
        if (sa == nullptr)
            return st::kNoMemory;
        sa->sin_family = AF_INET;
        sa->sin_addr = v4;
        out->family = AF_INET;
        out->prefix = prefix;
        out->address = reinterpret_cast<sockaddr *>(sa);
        return 0;
    }
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        int prefix = 128;
        if (slash != nullptr && !parse_prefix(slash + 1, 128, &prefix))
            return fail(text, "the prefix must be a number from 1 to 128");
        auto *sa = static_cast<sockaddr_in6 *>(calloc(1, sizeof(sockaddr_in6)));
        if (sa == nullptr)
            return st::kNoMemory;
        sa->sin6_family = AF_INET6;
        sa->sin6_addr = v6;
        out->family = AF_INET6;
        out->prefix = prefix;
        out->address = reinterpret_cast<sockaddr *>(sa);
        return 0;
    }
    // A prefix only means something after an address.
    if (slash != nullptr)
        return fail(text, "a prefix after a host name");
    out->hostname = strdup(address.c_str());
    if (out->hostname == nullptr)
        return st::kNoMemory;
    out->prefix = 128;
    return 0;
}

} // extern "C"
