// Names of clients trusted for a short while (30 seconds from their
// registration): 200 slots, one mutex, the resolution caches' clock.
#include <mutex>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_slot_cache.h"
#include "vnet/vnet_wide.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

namespace {

namespace rs = zt::vnet::resolve;

constexpr size_t kSlots = 200;
constexpr long kLifetime = 30;

struct Trusted {
    std::mutex mu;
    zt::vnet::SlotCache<bool> cache{kSlots, kLifetime};
};

Trusted &trusted() {
    static Trusted *t = new Trusted; // never destroyed: safe in exit handlers
    return *t;
}

} // namespace

extern "C" ZTBASE_API int vnet_register_trusted_client(const char *name) {
    const char *tag = "vnet_register_trusted_client";
    if (name == nullptr || name[0] == '\0') {
        logmsgf(ZTLOG_ERROR, tag, "name is NULL or empty");
        return VNET_BAD_PARAM;
    }
    int rc = rs::guarded(tag, [&] {
        Trusted &t = trusted();
        const time_t now = rs::resolver().now();
        std::lock_guard<std::mutex> lock(t.mu);
        if (t.cache.find(name, now) == nullptr)
            t.cache.insert(name, true, now);
        return int(VNET_SUCCESS);
    });
    if (rc != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, tag, "strdup failed");
        vnet_failure(__FILE_NAME__, __LINE__, tag, rc);
    }
    return rc;
}

extern "C" ZTBASE_API int vnet_is_trusted_client(const char *name) {
    if (name == nullptr || name[0] == '\0')
        return 0;
    int found = 0;
    rs::guarded("vnet_is_trusted_client", [&] {
        Trusted &t = trusted();
        const time_t now = rs::resolver().now();
        std::lock_guard<std::mutex> lock(t.mu);
        found = t.cache.find(name, now) != nullptr ? 1 : 0;
        return int(VNET_SUCCESS);
    });
    return found;
}

extern "C" ZTBASE_API int vnet_register_trusted_clientW(const char16_t *name) {
    zt::vnet::wide::Narrow n(name, "name", "vnet_register_trusted_clientW");
    if (!n.ok)
        return VNET_MALLOC_FAILED;
    return vnet_register_trusted_client(n.text);
}
