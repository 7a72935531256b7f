#include <cerrno>

#include <gtest/gtest.h>

#include "ztbase/vnet.h"

TEST(VnetErrnoToStatus, SixConditionsHaveTheirOwnStatusOthersTheDefault) {
    const struct {
        int error;
        int status;
    } cases[] = {
        {EADDRINUSE, VNET_ADDR_IN_USE},     {EADDRNOTAVAIL, VNET_NOT_AVAILABLE},
        {ECONNRESET, VNET_CONNECT_RESET},   {ENOTCONN, VNET_NOT_CONNECTED},
        {ETIMEDOUT, VNET_CONNECT_TIMEOUT},  {ECONNREFUSED, VNET_CONNECT_REFUSED},
        {EPIPE, VNET_WRITE_FAILED},         {0, VNET_WRITE_FAILED},
        {EINTR, VNET_WRITE_FAILED},
    };
    for (const auto &c : cases)
        EXPECT_EQ(vnet_errno_to_status(c.error, VNET_WRITE_FAILED), c.status) << c.error;
    EXPECT_EQ(vnet_errno_to_status(EPIPE, VNET_READ_FAILED), VNET_READ_FAILED);
}
