// Address texts: literals, socket addresses and the IPv4 mask forms, with
// the bad input each one meets in configuration files and on command lines.
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

namespace {

std::string dotted(uint32_t network_order) {
    char buf[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &network_order, buf, sizeof buf);
}

TEST(InetText, LiteralsAreRecognisedByFamily) {
    struct Case {
        const char *text;
        int family;
    } cases[] = {
        {"192.0.2.1", AF_INET},      {"2001:db8::1", AF_INET6}, {"fe80::1%eth0", AF_INET6},
        {"::ffff:192.0.2.1", AF_INET6}, {"192.0.2", 0},         {"192.0.2.1 ", 0},
        {"host.example", 0},         {"", 0},                   {"1.2.3.256", 0},
        {"2001:db8::1::2", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vnet_is_ip_string(c.text), c.family) << c.text;
    EXPECT_EQ(vnet_is_ip_string(nullptr), 0);
    EXPECT_EQ(vnet_is_ip_stringW(u"2001:db8::7"), AF_INET6);
}

TEST(InetText, AddressesWithMasksParseStrictly) {
    struct Case {
        const char *text;
        int status;
        const char *address, *mask;
    } cases[] = {
        {"192.0.2.7", VNET_SUCCESS, "192.0.2.7", "255.255.255.255"},
        {"192.0.2.0/24", VNET_SUCCESS, "192.0.2.0", "255.255.255.0"},
        {"192.0.2.0/0x18", VNET_SUCCESS, "192.0.2.0", "255.255.255.0"},
        {"192.0.2.0/030", VNET_SUCCESS, "192.0.2.0", "255.255.255.0"}, // octal 24
        {"10.0.0.0/0", VNET_SUCCESS, "10.0.0.0", "0.0.0.0"},
        {"10.0.0.0/32", VNET_SUCCESS, "10.0.0.0", "255.255.255.255"},
        {"10.0.0.0/1", VNET_SUCCESS, "10.0.0.0", "128.0.0.0"},
        {"192.0.2.0:255.255.254.0", VNET_SUCCESS, "192.0.2.0", "255.255.254.0"},
        // The mask is read the way addresses are: "255.0" is 255.0.0.0.
        {"10.0.0.0:255.0", VNET_SUCCESS, "10.0.0.0", "255.0.0.0"},
        {"10.1.2.3:0xffff0000", VNET_SUCCESS, "10.1.2.3", "255.255.0.0"},
        // Bad bit counts: the address is taken, the mask stays all ones.
        {"10.0.0.0/33", VNET_BAD_STRING, "10.0.0.0", "255.255.255.255"},
        {"10.0.0.0/0x21", VNET_BAD_STRING, "10.0.0.0", "255.255.255.255"},
        {"10.0.0.0/08", VNET_BAD_STRING, "10.0.0.0", "255.255.255.255"},
        {"10.0.0.0/8 ", VNET_BAD_STRING, "10.0.0.0", "255.255.255.255"},
        {"10.0.0.0/8/8", VNET_BAD_STRING, "10.0.0.0", "255.255.255.255"},
        {"10.0.0.0/", VNET_BAD_STRING, "10.0.0.0", "255.255.255.255"},
        {"10.0.0.0/-1", VNET_BAD_STRING, "10.0.0.0", "255.255.255.255"},
        // Junk in the address or mask part.
        {"10.0.0.0:", VNET_BAD_STRING, "10.0.0.0", "255.255.255.255"},
        {"10.0.0.0:255.255.255.0x", VNET_BAD_STRING, "10.0.0.0", "255.255.255.255"},
        {"10.0.0.0 junk", VNET_BAD_STRING, "255.255.255.255", "255.255.255.255"},
        {"10.0.0.256/8", VNET_BAD_STRING, "255.255.255.255", "255.255.255.255"},
        {"/8", VNET_BAD_STRING, "255.255.255.255", "255.255.255.255"},
        {"", VNET_BAD_STRING, "255.255.255.255", "255.255.255.255"},
        {"::1", VNET_BAD_STRING, "255.255.255.255", "255.255.255.255"},
        {"0x1.2.3.4.5", VNET_BAD_STRING, "255.255.255.255", "255.255.255.255"},
        {"4294967296", VNET_BAD_STRING, "255.255.255.255", "255.255.255.255"},
    };
    for (const Case &c : cases) {
        uint32_t a = 1, m = 1;
        EXPECT_EQ(vnet_inet_addrmask(c.text, &a, &m), c.status) << c.text;
        EXPECT_EQ(dotted(a), c.address) << c.text;
        EXPECT_EQ(dotted(m), c.mask) << c.text;
    }
    uint32_t a = 0, m = 0;
    EXPECT_EQ(vnet_inet_addrmask(nullptr, &a, &m), VNET_BAD_ARGUMENT);
    EXPECT_EQ(a, 0xffffffffU);
}

TEST(InetText, Ipv6PrefixMasks) {
    struct Case {
        int bits;
        int status;
        const char *mask;
    } cases[] = {
        {0, VNET_SUCCESS, "::"},
        {1, VNET_SUCCESS, "8000::"},
        {64, VNET_SUCCESS, "ffff:ffff:ffff:ffff::"},
        {67, VNET_SUCCESS, "ffff:ffff:ffff:ffff:e000::"},
        {128, VNET_SUCCESS, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {129, VNET_BAD_ARGUMENT, nullptr},
        {-1, VNET_BAD_ARGUMENT, nullptr},
    };
    for (const Case &c : cases) {
        unsigned char mask[16];
        ASSERT_EQ(vnet_inet_addrmask_ipv6(c.bits, mask), c.status) << c.bits;
        if (c.mask == nullptr)
            continue;
        char text[INET6_ADDRSTRLEN];
        EXPECT_STREQ(inet_ntop(AF_INET6, mask, text, sizeof text), c.mask) << c.bits;
    }
}

TEST(InetText, SocketAddressesRoundTrip) {
    struct Case {
        const char *text;
        int port;
        int family;
    } cases[] = {{"192.0.2.9", 13724, AF_INET}, {"2001:db8::9", 1556, AF_INET6}, {"::", 0, AF_INET6}};
    for (const Case &c : cases) {
        vnet_sockaddr_t sa;
        socklen_t len = 0;
        ASSERT_EQ(vnet_sockAddrPtoN(c.text, c.port, &sa, &len), VNET_SUCCESS) << c.text;
        EXPECT_EQ(sa.ss_family, c.family);
        char text[INET6_ADDRSTRLEN];
        int port = -1;
        ASSERT_NE(vnet_sockAddrNtoPWithLength(reinterpret_cast<sockaddr *>(&sa), len, text,
                                              sizeof text, &port),
                  0);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(port, c.port);
        char16_t wide[64];
        ASSERT_NE(vnet_sockAddrNtoPW(reinterpret_cast<sockaddr *>(&sa), wide, 64, &port), 0);
        EXPECT_EQ(std::u16string(wide).size(), strlen(c.text));
    }
    vnet_sockaddr_t sa;
    socklen_t len = 0;
    EXPECT_EQ(vnet_sockAddrPtoNW(u"192.0.2.1", 7, &sa, &len), VNET_SUCCESS);
    EXPECT_EQ(len, sizeof(sockaddr_in));
}

TEST(InetText, SocketAddressErrorsAreStatusesNotCrashes) {
    vnet_sockaddr_t sa;
    socklen_t len = 0;
    EXPECT_EQ(vnet_sockAddrPtoN(nullptr, 1, &sa, &len), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_sockAddrPtoN("192.0.2.1", 1, nullptr, &len), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_sockAddrPtoN("192.0.2.1", 1, &sa, nullptr), VNET_BAD_PARAM);
    EXPECT_EQ(vnet_sockAddrPtoN("192.0.2.1", 65536, &sa, &len), VNET_BAD_PARAM);
    // Names are not looked up: only literals make addresses.
    EXPECT_EQ(vnet_sockAddrPtoN("localhost", 1, &sa, &len), VNET_GETHOST_FAILED);
    EXPECT_EQ(vnet_sockAddrPtoN("192.0.2.1junk", 1, &sa, &len), VNET_GETHOST_FAILED);

    char text[64];
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    EXPECT_EQ(vnet_sockAddrNtoP(reinterpret_cast<sockaddr *>(&un), text, sizeof text, nullptr), 0);
    ASSERT_EQ(vnet_sockAddrPtoN("2001:db8::1", 1, &sa, &len), VNET_SUCCESS);
    auto *addr = reinterpret_cast<sockaddr *>(&sa);
    EXPECT_EQ(vnet_sockAddrNtoPWithLength(addr, sizeof(sockaddr_in), text, sizeof text, nullptr), 0)
        << "shorter than its family's structure";
    EXPECT_EQ(vnet_sockAddrNtoPWithLength(addr, 129, text, sizeof text, nullptr), 0);
    EXPECT_EQ(vnet_sockAddrNtoP(addr, text, 4, nullptr), 0) << "no room";
    EXPECT_EQ(vnet_sockAddrNtoP(nullptr, text, sizeof text, nullptr), 0);

    unsigned char raw[16];
    EXPECT_EQ(vnet_inet_pton(AF_INET6, "2001:db8::1", raw), 1);
    EXPECT_EQ(vnet_inet_pton(AF_INET, "2001:db8::1", raw), 0);
    EXPECT_EQ(vnet_inet_pton(AF_UNIX, "x", raw), -1);
    EXPECT_STREQ(vnet_inet_ntop(AF_INET6, raw, text, sizeof text), "2001:db8::1");
    EXPECT_EQ(vnet_inet_ntop(AF_INET6, raw, text, 3), nullptr);
    char16_t wide[8];
    EXPECT_EQ(vnet_inet_ntopW(AF_INET6, raw, wide, 8), nullptr) << "eleven characters in eight";
}

} // namespace
