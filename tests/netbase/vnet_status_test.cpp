#include <cerrno>

#include <gtest/gtest.h>

#include "ztbase/status.h"
#include "ztbase/vnet.h"

TEST(VnetErrnoToStatus, SixConditionsHaveTheirOwnStatusOthersTheDefault) {
    const struct {
        int error;
        int status;
    } cases[] = {
        {EADDRINUSE, VNET_ADDR_IN_USE},    {EADDRNOTAVAIL, VNET_NOT_AVAILABLE},
        {ECONNRESET, VNET_CONNECT_RESET},  {ENOTCONN, VNET_NOT_CONNECTED},
        {ETIMEDOUT, VNET_CONNECT_TIMEOUT}, {ECONNREFUSED, VNET_CONNECT_REFUSED},
        {EPIPE, VNET_WRITE_FAILED},        {0, VNET_WRITE_FAILED},
        {EINTR, VNET_WRITE_FAILED},
    };
    for (const auto &c : cases)
        EXPECT_EQ(vnet_errno_to_status(c.error, VNET_WRITE_FAILED), c.status) << c.error;
    EXPECT_EQ(vnet_errno_to_status(EPIPE, VNET_READ_FAILED), VNET_READ_FAILED);
}

TEST(VnetStatusText, EveryStatusHasItsTextAndProductStatus) {
    // The full table, so that a shifted row shows up.
    const struct {
        const char *text;
        int product;
    } rows[] = {
        {"SUCCESS", 0},
        {"BAD_NUMBER", 20},
        {"BAD_PARAM", 20},
        {"BAD_STRING", 20},
        {"BAD_TABLE", 20},
        {"CACHE_FAILED", 11},
        {"GETHOST_FAILED", 48},
        {"GETSERV_FAILED", 19},
        {"MALLOC_FAILED", 36},
        {"READ_FAILED", 23},
        {"SOCKET_FAILED", 21},
        {"TIMEOUT", 41},
        {"WRITE_FAILED", 24},
        {"BAD_HASH", 20},
        {"SYSCALL_FAILED", 11},
        {"BIND_FAILED", 21},
        {"LISTEN_FAILED", 21},
        {"ACCEPT_FAILED", 21},
        {"CONNECT_FAILED", 25},
        {"OPEN_FAILED", 12},
        {"FORK_FAILED", 28},
        {"BAD_REQUEST", 20},
        {"BAD_ARGUMENT", 20},
        {"IOCTL_FAILED", 11},
        {"BAD_VERSION", 20},
        {"SELECT_FAILED", 21},
        {"STAT_FAILED", 11},
        {"CHMOD_FAILED", 11},
        {"CHOWN_FAILED", 11},
        {"RENAME_FAILED", 11},
        {"TEXT_FAILED", 11},
        {"NO_SERVICE", 19},
        {"EXEC_FAILED", 29},
        {"NOT_DIRECTORY", 123},
        {"MKDIR_FAILED", 35},
        {"NO_CREDENTIAL", 116},
        {"HXSS_FAILED", 116},
        {"HXSS_REQUIRED", 192},
        {"HXSS_PROHIBITED", 193},
        {"USE_HXSS_REQUIRED", 192},
        {"USE_HXSS_PROHIBITED", 193},
        {"ADDR_IN_USE", 134},
        {"CONNECT_REFUSED", 57},
        {"CONNECT_RESET", 40},
        {"CONNECT_TIMEOUT", 41},
        {"NOT_AVAILABLE", 227},
        {"NOT_CONNECTED", 25},
        {"PBX_API_FAILED", 21},
        {"LIBRARY_CALLBACK_QUIT", 222},
        {"PROXY_SKIP", 221},
        {"PROXY_KEEPALIVE", 221},
        {"READ_IN_PROGRESS", 221},
        {"WRITE_IN_PROGRESS", 221},
        {"PROXY_ERROR", 61},
        {"INTEGRITY_MISMATCH", 55},
    };
    ASSERT_EQ(sizeof rows / sizeof rows[0], 55u);
    for (int s = 0; s <= VNET_INTEGRITY_MISMATCH; ++s) {
        EXPECT_STREQ(vnet_status_to_text(s), rows[s].text) << s;
        EXPECT_EQ(vnet_to_zt_status_ex(s, 0), rows[s].product) << s;
    }
    EXPECT_STREQ(vnet_status_to_text(-1), "UNKNOWN");
    EXPECT_STREQ(vnet_status_to_text(227), getECmsg(227)); // above the table: the catalogue's
}

TEST(VnetStatusMap, LargeStatusesFoldUnlessTheThreadAllowsThem) {
    const struct {
        int status, folded, allowed;
    } cases[] = {
        {VNET_PROXY_ERROR, 61, 61},
        {7650, 61, 7650},
        {7600, 61, 7600},
        {7661, 21, 7661},
        {300, 21, 300},
        {255, 255, 255},
        {-5, 21, -5},
        {VNET_TIMEOUT, 41, 41},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(vnet_to_zt_status_ex(c.status, 0), c.folded) << c.status;
        EXPECT_EQ(vnet_to_zt_status_ex(c.status, 1), c.allowed) << c.status;
    }
    vnet_tss_free();
    EXPECT_EQ(vnet_to_zt_status(7650), 61);
    ASSERT_EQ(vnet_tss_set_large_status("test", __LINE__, 1), 0);
    EXPECT_EQ(vnet_to_zt_status(7650), 7650);
    EXPECT_EQ(vnet_to_zt_status(300), 300);
    vnet_tss_set_large_status("test", __LINE__, 0);
    EXPECT_EQ(vnet_to_zt_status(300), 21);
    vnet_tss_free();
}

TEST(VnetStatusMap, ProductStatusesBackToVnet) {
    const int low[] = {0,  45, 45, 45, 45, 45, 45, 45, 45, 45, 8,  14, 19, 9,  12, 12, 45, 19, 12,
                       7,  22, 10, 10, 9,  12, 18, 9,  32, 20, 32, 14, 14, 14, 12, 14, 34, 8,  31,
                       14, 31, 43, 11, 9,  9,  12, 15, 31, 18, 6,  45, 45, 11, 11, 9,  11};
    for (int p = 0; p <= 54; ++p)
        EXPECT_EQ(vnet_zt_to_vnet_status(p), low[p]) << p;
    const struct {
        int product, vnet;
    } high[] = {{55, 54},  {57, 42},  {61, 53},  {116, 36}, {123, 33}, {134, 41},  {192, 37},
                {193, 38}, {221, 50}, {222, 48}, {227, 45}, {56, 56},  {300, 300}, {-4, -4}};
    for (const auto &c : high)
        EXPECT_EQ(vnet_zt_to_vnet_status(c.product), c.vnet) << c.product;
}

TEST(VnetStatusMap, TextRecordStatuses) {
    const struct {
        int text, vnet;
    } cases[] = {{0, VNET_SUCCESS},       {3, VNET_CHMOD_FAILED},  {4, VNET_CHOWN_FAILED},
                 {6, VNET_MALLOC_FAILED}, {7, VNET_OPEN_FAILED},   {8, VNET_RENAME_FAILED},
                 {9, VNET_STAT_FAILED},   {10, VNET_WRITE_FAILED}, {1, VNET_TEXT_FAILED},
                 {2, VNET_TEXT_FAILED},   {5, VNET_TEXT_FAILED},   {-1, VNET_TEXT_FAILED}};
    for (const auto &c : cases)
        EXPECT_EQ(vnet_text_to_net_status(c.text), c.vnet) << c.text;
}
