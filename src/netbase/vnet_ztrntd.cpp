// Resilient sockets: a fixed table of 1024 slots, shared by every thread of
// the process and guarded by one mutex that is never held across a wait.
#include <array>
#include <mutex>

#include "netbase/vnet_ztrntd.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

namespace zt::vnet::resilient {

namespace {

constexpr int kEmpty = -1;

struct Table {
    std::mutex mutex;
    std::array<int, kSlots> slots;
    Table() {
        slots.fill(kEmpty);
        logmsgvf(ZTLOG_DEBUG, 5, "vnet_resilient_cache", "Initialize resilient cache.");
    }
};

Table &table() {
    static Table t;
    return t;
}

} // namespace

int add(int sock) {
    if (sock < 0)
        return 4;
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    int *free_slot = nullptr;
    for (int &slot : t.slots) {
        if (slot == sock)
            return 0;
        if (slot == kEmpty && !free_slot)
            free_slot = &slot;
    }
    if (!free_slot) {
        logmsgf(ZTLOG_ERROR, "vnet_register_resilient_socket", "resilient table full, sock = %d",
                sock);
        return 4;
    }
    *free_slot = sock;
    return 0;
}

bool contains(int sock) {
    if (sock < 0)
        return false;
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (int slot : t.slots)
        if (slot == sock)
            return true;
    return false;
}

int configured_timeout() {
    return 0;
}

} // namespace zt::vnet::resilient

extern "C" ZTBASE_API int vnet_deregister_resilient_socket(int sock) {
    using namespace zt::vnet::resilient;
    if (sock < 0)
        return 0;
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (int &slot : t.slots)
        if (slot == sock)
            slot = kEmpty;
    return 0;
}

extern "C" ZTBASE_API int vnet_adjust_timeout(int sock, int timeout) {
    using namespace zt::vnet::resilient;
    if (timeout <= 0 || !contains(sock))
        return timeout;
    const int resilient = configured_timeout();
    return resilient > timeout ? resilient : timeout;
}
