// vnet statuses: their texts and the maps to and from product statuses and
// system errors.
#include <cerrno>

#include "ztbase/vnet.h"

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
