// vnet statuses: their texts and the maps to and from product statuses and
// system errors.
#include <cerrno>

#include "ztbase/status.h"
#include "ztbase/vnet.h"
#include "ztbase/vtext.h"

extern "C" ZTBASE_API int vnet_errno_to_status(int error, int dflt) {
    switch (error) {
    case EADDRINUSE:
        return VNET_ADDR_IN_USE;
    case EADDRNOTAVAIL:
        return VNET_NOT_AVAILABLE;
    case ECONNRESET:
        return VNET_CONNECT_RESET;
    case ENOTCONN:
        return VNET_NOT_CONNECTED;
    case ETIMEDOUT:
        return VNET_CONNECT_TIMEOUT;
    case ECONNREFUSED:
        return VNET_CONNECT_REFUSED;
    default:
        return dflt;
    }
}

namespace {

struct StatusRow {
    const char *text;
    int product; // the product status reported for it
};

// One row per vnet status, in order; vnet_zt_to_vnet_status is the reverse.
constexpr StatusRow kStatuses[] = {
    {"SUCCESS", 0},                 // 0
    {"BAD_NUMBER", 20},             // 1
    {"BAD_PARAM", 20},              // 2
    {"BAD_STRING", 20},             // 3
    {"BAD_TABLE", 20},              // 4
    {"CACHE_FAILED", 11},           // 5
    {"GETHOST_FAILED", 48},         // 6
    {"GETSERV_FAILED", 19},         // 7
    {"MALLOC_FAILED", 36},          // 8
    {"READ_FAILED", 23},            // 9
    {"SOCKET_FAILED", 21},          // 10
    {"TIMEOUT", 41},                // 11
    {"WRITE_FAILED", 24},           // 12
    {"BAD_HASH", 20},               // 13
    {"SYSCALL_FAILED", 11},         // 14
    {"BIND_FAILED", 21},            // 15
    {"LISTEN_FAILED", 21},          // 16
    {"ACCEPT_FAILED", 21},          // 17
    {"CONNECT_FAILED", 25},         // 18
    {"OPEN_FAILED", 12},            // 19
    {"FORK_FAILED", 28},            // 20
    {"BAD_REQUEST", 20},            // 21
    {"BAD_ARGUMENT", 20},           // 22
    {"IOCTL_FAILED", 11},           // 23
    {"BAD_VERSION", 20},            // 24
    {"SELECT_FAILED", 21},          // 25
    {"STAT_FAILED", 11},            // 26
    {"CHMOD_FAILED", 11},           // 27
    {"CHOWN_FAILED", 11},           // 28
    {"RENAME_FAILED", 11},          // 29
    {"TEXT_FAILED", 11},            // 30
    {"NO_SERVICE", 19},             // 31
    {"EXEC_FAILED", 29},            // 32
    {"NOT_DIRECTORY", 123},         // 33
    {"MKDIR_FAILED", 35},           // 34
    {"NO_CREDENTIAL", 116},         // 35
    {"HXSS_FAILED", 116},           // 36
    {"HXSS_REQUIRED", 192},         // 37
    {"HXSS_PROHIBITED", 193},       // 38
    {"USE_HXSS_REQUIRED", 192},     // 39
    {"USE_HXSS_PROHIBITED", 193},   // 40
    {"ADDR_IN_USE", 134},           // 41
    {"CONNECT_REFUSED", 57},        // 42
    {"CONNECT_RESET", 40},          // 43
    {"CONNECT_TIMEOUT", 41},        // 44
    {"NOT_AVAILABLE", 227},         // 45
    {"NOT_CONNECTED", 25},          // 46
    {"PBX_API_FAILED", 21},         // 47
    {"LIBRARY_CALLBACK_QUIT", 222}, // 48
    {"PROXY_SKIP", 221},            // 49
    {"PROXY_KEEPALIVE", 221},       // 50
    {"READ_IN_PROGRESS", 221},      // 51
    {"WRITE_IN_PROGRESS", 221},     // 52
    {"PROXY_ERROR", 61},            // 53
    {"INTEGRITY_MISMATCH", 55},     // 54
};
static_assert(sizeof kStatuses / sizeof kStatuses[0] == VNET_INTEGRITY_MISMATCH + 1);

// Product statuses 0-54 to vnet statuses.
constexpr signed char kFromProduct[] = {
    0,  45, 45, 45, 45, 45, 45, 45, 45, 45, // 0-9
    8,  14, 19, 9,  12, 12, 45, 19, 12, 7,  // 10-19
    22, 10, 10, 9,  12, 18, 9,  32, 20, 32, // 20-29
    14, 14, 14, 12, 14, 34, 8,  31, 14, 31, // 30-39
    43, 11, 9,  9,  12, 15, 31, 18, 6,  45, // 40-49
    45, 11, 11, 9,  11,                     // 50-54
};
static_assert(sizeof kFromProduct == 55);

// Product statuses above 54 that have a vnet status of their own.
constexpr struct {
    int product, vnet;
} kFromLargeProduct[] = {
    {55, VNET_INTEGRITY_MISMATCH},     {57, VNET_CONNECT_REFUSED},  {61, VNET_PROXY_ERROR},
    {116, VNET_HXSS_FAILED},           {123, VNET_NOT_DIRECTORY},   {134, VNET_ADDR_IN_USE},
    {192, VNET_HXSS_REQUIRED},         {193, VNET_HXSS_PROHIBITED}, {221, VNET_PROXY_KEEPALIVE},
    {222, VNET_LIBRARY_CALLBACK_QUIT}, {227, VNET_NOT_AVAILABLE},
};

// The proxy status catalogue; its statuses fold to 61 when large statuses are
// not allowed, every other large status to 21.
constexpr int kProxyFirst = 7600;
constexpr int kProxyLast = 7660;
constexpr int kProxyFolded = 61;
constexpr int kOtherFolded = 21;

} // namespace

extern "C" ZTBASE_API const char *vnet_status_to_text(int status) {
    if (status < 0)
        return "UNKNOWN";
    if (status <= VNET_INTEGRITY_MISMATCH)
        return kStatuses[status].text;
    return getECmsg(status);
}

extern "C" ZTBASE_API int vnet_to_zt_status_ex(int status, int allow_large) {
    // Above the table a status is taken as a product status already.
    int product =
        status >= 0 && status <= VNET_INTEGRITY_MISMATCH ? kStatuses[status].product : status;
    if ((product < 0 || product > 255) && !allow_large)
        return product >= kProxyFirst && product <= kProxyLast ? kProxyFolded : kOtherFolded;
    return product;
}

extern "C" ZTBASE_API int vnet_to_zt_status(int status) {
    return vnet_to_zt_status_ex(status, vnet_tss_get_large_status());
}

extern "C" ZTBASE_API int vnet_zt_to_vnet_status(int product_status) {
    if (product_status >= 0 && product_status < static_cast<int>(sizeof kFromProduct))
        return kFromProduct[product_status];
    for (const auto &row : kFromLargeProduct)
        if (row.product == product_status)
            return row.vnet;
    return product_status;
}

extern "C" ZTBASE_API int vnet_zt_safe_exit_status(int status) {
    return status;
}

extern "C" ZTBASE_API int vnet_zt_safe_exit_status_proxy(int status) {
    return status;
}

extern "C" ZTBASE_API int vnet_text_to_net_status(int text_status) {
    switch (text_status) {
    case VTEXT_OK:
        return VNET_SUCCESS;
    case VTEXT_CHMOD_FAILED:
        return VNET_CHMOD_FAILED;
    case VTEXT_CHOWN_FAILED:
        return VNET_CHOWN_FAILED;
    case VTEXT_NO_MEMORY:
        return VNET_MALLOC_FAILED;
    case VTEXT_OPEN_FAILED:
        return VNET_OPEN_FAILED;
    case VTEXT_RENAME_FAILED:
        return VNET_RENAME_FAILED;
    case VTEXT_STAT_FAILED:
        return VNET_STAT_FAILED;
    case VTEXT_WRITE_FAILED:
        return VNET_WRITE_FAILED;
    default:
        return VNET_TEXT_FAILED;
    }
}
