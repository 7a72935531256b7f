// The item table itself: every row against the published rows and lists, and
// every item of the defaults record through format, read, format, copy, free.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/items/adhoc_config_layouts.h"
#include "config/items/adhoc_config_ops.h"
#include "support/temp_root.h"
#include "ztbase/config.h"

namespace {

using namespace ztbase::config;

std::string flags_of(const Row &r) {
    std::string s;
    if (r.bits & S)
        s += 'S';
    if (r.bits & R)
        s += 'R';
    if (r.bits & D)
        s += 'D';
    if (r.bits & C)
        s += 'C';
    return s;
}

std::string format(const ZtConfig &c, int index) {
    std::string out;
    EXPECT_EQ(format_item(index, &c, out), 0) << kRows[index].label;
    return out;
}

// Feeds text (pieces separated by NULs for multi-line items) to the item.
int read_text(ZtConfig &c, int index, const std::string &text) {
    size_t pos = 0;
    int line = 1;
    do {
        size_t nul = text.find('\0', pos);
        std::string piece =
            text.substr(pos, nul == std::string::npos ? std::string::npos : nul - pos);
        std::vector<char> buf(piece.begin(), piece.end());
        buf.push_back('\0');
        char *cursor = buf.data();
        if (int rc = read_item(index, &cursor, &c, line++))
            return rc;
        pos = nul == std::string::npos ? text.size() : nul + 1;
    } while (pos < text.size());
    return 0;
}

void free_record(ZtConfig &c) {
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i)
        free_item(i, &c);
}

struct Telling {
    int index;
    const char *label;
    Type type;
    const char *flags;
    const char *default_text; // nullptr: not checked here
    const char *empty_text;   // what the empty value formats as; nullptr: no empty value
};

const Telling kTelling[] = {
    {0, "SERVER", Type::List, "R", "", nullptr},
    {120, "MEDIA_SERVER", Type::List, "R", "", nullptr},
    {13, "CLIENT_NAME", Type::String, "SR", "", nullptr},
    {14, "REQUIRED_INTERFACE", Type::String, "SR", "", nullptr},
    {116, "CONNECT_OPTIONS", Type::List, "R", "", nullptr},
    {117, "DEFAULT_CONNECT_OPTIONS", Type::Struct, "R", "0 1 0", nullptr},
    {118, "ACCEPT_PORT", Type::Enum, "SR", "AUTOMATIC", "DAEMON_ONLY"},
    {38, "SERVER_CONNECT_TIMEOUT", Type::Int, "SR", "30", "0"},
    {39, "CLIENT_CONNECT_TIMEOUT", Type::Int, "SR", "300", "0"},
    {40, "CLIENT_READ_TIMEOUT", Type::Int, "SR", "300", "0"},
    {44, "LIST_FILES_TIMEOUT", Type::Int, "SR", "-1", "0"},
    {119, "REQUEST_DELIVERY_TIMEOUT", Type::Int, "SR", "300", "0"},
    {17, "VERBOSE", Type::Int, "S", "0", "1"},
    {98, "KEEP_LOGS_DAYS", Type::Int, "SR", "3", "0"},
    {99, "KEEP_LOGS_SIZE_GB", Type::Int, "SR", "0", "0"},
    {219, "PREFERRED_NETWORK", Type::List, "R", "", nullptr},
    {295, "IP_ADDRESS_FAMILY", Type::Enum, "SR", "AF_INET", "AF_INET"},
    {255, "VNET_OPTIONS", Type::Struct, "R", "120 3600 200 40 3 1 30 5 1793 32 0 0", nullptr},
    {254, "REVERSE_NAME_LOOKUP", Type::Enum, "SR", "ALLOWED", "ALLOWED"},
    {288, "HOST_CACHE_PATH", Type::String, "SR", "", nullptr},
    {289, "HOST_CACHE_TTL", Type::Int, "SR", "0", "0"},
    {290, "HOST_CACHE_RESYNC_INTERVAL", Type::Int, "SR", "900", "900"},
    {291, "HOST_CACHE_RESYNC_TIMEOUT", Type::Int, "SR", "120", "120"},
    {304, "RESILIENT_NETWORK", Type::List, "R", "", nullptr},
    {299, "ZTRNTD_PEER_SOCK_EXPIRATION", Type::Int, "SR", "300", "300"},
    {300, "ZTRNTD_IDLE_TIMEOUT", Type::Int, "SR", "300", "300"},
    {301, "ZTRNTD_MAX_CONNECTIONS", Type::Int, "SR", "256", "256"},
    {302, "ZTRNTD_MIN_KEEP_ALIVE_TIME", Type::Int, "SR", "30", "30"},
    {303, "ZTRNTD_MAX_KEEP_ALIVE_TIME", Type::Int, "SR", "60", "60"},
    {216, "USE_HXSS", Type::Enum, "SR", "PROHIBITED", "AUTOMATIC"},
    {218, "HXSS_NETWORK", Type::List, "R", "", nullptr},
    {214, "AUTHENTICATION_DOMAIN", Type::List, "R", "", nullptr},
    {215, "AUTHORIZATION_SERVICE", Type::Struct, "R", "_NONE_ 0", nullptr},
    {217, "USE_AUTHENTICATION", Type::Enum, "SD", "OFF", "OFF"},
    {220, "FIPS_MODE", Type::Enum, "SR", "DISABLED", "DISABLED"},
    {104, "RANDOM_PORTS", Type::Enum, "SD", "YES", "YES"},
    {75, "ALLOW_NON_RESERVED_PORTS", Type::Enum, "S", "YES", "YES"},
    {111, "CLIENT_RESERVED_PORT_WINDOW", Type::Struct, "R", "512 1023", nullptr},
    {112, "SERVER_RESERVED_PORT_WINDOW", Type::Struct, "R", "512 1023", nullptr},
    {113, "CLIENT_PORT_WINDOW", Type::Struct, "R", "0 0", nullptr},
    {114, "SERVER_PORT_WINDOW", Type::Struct, "R", "1025 5000", nullptr},
    {2, "WEB_SERVER_TUNNEL_USE", Type::Enum, "SR", "AUTO", "ALWAYS"},
    {4, "WEB_SERVER_TUNNEL", Type::List, "R", "", nullptr},
    {358, "APP_PROXY_SERVER", Type::List, "R", "", nullptr},
    {5, "TRUSTED_MASTER", Type::List, "R", "", nullptr},
    {6, "KNOWN_MASTER", Type::List, "R", "", nullptr},
    {348, "BPCD_WHITELIST_PATH", Type::List, "R", "", nullptr},
    {349, "DB_SCRIPT_PATH", Type::List, "R", "", nullptr},
    {297, "GENERIC_KEY_VAL_LIST", Type::List, "R", "", nullptr},
    {207, "VERSIONINFO", Type::Struct, "R", "", nullptr},
    {189, "CHECKSUM1", Type::Struct, "SR", "", nullptr},
    {87, "FAILOVER_RESTORE_MEDIA_SERVERS", Type::List, "R", "", nullptr},
    {46, "ALLOW_MEDIA_OVERWRITE", Type::Flags, "R", "", ""},
    {71, "BUSY_FILE_ACTION", Type::List, "R", "", nullptr},
    {73, "THROTTLE_BANDWIDTH", Type::List, "R", "", nullptr},
    {65, "DISALLOW_SERVER_FILE_WRITES", Type::Enum, "S", "NO", "YES"},
    {78, "CRYPT_OPTION", Type::Enum, "SR", "ALLOWED", "ALLOWED"},
    {79, "CRYPT_STRENGTH", Type::Enum, "SR", "DES_40", "DES_40"},
    {80, "CRYPT_CIPHER", Type::Enum, "SR", "AES-128-CFB", "AES-128-CFB"},
    {149, "OTM_Current", Type::Enum, "SR", "NO", "NO"},
    {262, "LOCAL_CACHE", Type::Enum, "SR", "UNSPEC", "UNSPEC"},
    {292, "ZENTOR_APPLIANCE_MODE", Type::Enum, "SRD", "NOT_APPLIANCE", "NOT_APPLIANCE"},
    {135, "Port_BPCD", Type::Int, "SR", "13782", "0"},
    {136, "Port_BPRD", Type::Int, "SR", "13720", "0"},
    {187, "DB_PORT", Type::Int, "SR", "13784", "0"},
    {232, "EMMPORT", Type::Int, "SR", "1556", "0"},
    {261, "KMS_DIR", Type::String, "SRD", nullptr, nullptr},
    {186, "BPDBJOBS_COLDEFS", Type::List, "R", "", nullptr},
    {256, "JOB_PRIORITY", Type::Struct, "R",
     "0 0 90000 90000 90000 90000 85000 85000 80000 80000 80000 80000 75000 75000 70000 70000 "
     "50000 50000 45000 0 0 0 0 0",
     nullptr},
    {327, "SLP.MAX_SIZE_PER_DUPLICATION_JOB", Type::Units, "SC", "100 GB", "100 GB"},
    {333, "SLP.VERSION_CLEANUP_DELAY", Type::Units, "SC", "14 days", "14 days"},
    {319, "SLP.DISK_RESOURCE_MULTIPLIER", Type::Int, "SC", "2", "2"},
    {56, "MEDIA_ID_PREFIX", Type::String, "SR", "", nullptr},
    {369, "INDEX_SERVER", Type::Obsolete, "R", nullptr, nullptr},
    {370, "CP_PARALLEL_CONNECTIONS", Type::Int, "SR", "50", "50"},
    {355, "GET_CERT_ALL_MASTERS", Type::Enum, "S", "NO", "NO"},
    {243, "TRUST_SERVER_CLIENT_NAME", Type::Enum, "S", "NO", "YES"},
    {8, "USEMAIL", Type::String, "SR", "", nullptr},
};

TEST(ConfigTable, TellingRowsMatch) {
    const ZtConfig &defs = defaults();
    for (const Telling &t : kTelling) {
        SCOPED_TRACE(t.label);
        const Row &r = kRows[t.index];
        EXPECT_STREQ(r.label, t.label);
        EXPECT_EQ(r.type, t.type);
        EXPECT_EQ(flags_of(r), t.flags);
        if (t.default_text != nullptr) {
            EXPECT_EQ(format(defs, t.index), t.default_text);
        }
        if (t.empty_text != nullptr) {
            ZtConfig c{};
            EXPECT_EQ(read_text(c, t.index, ""), 0);
            EXPECT_EQ(format(c, t.index), t.empty_text);
        }
    }
    // Node sizes and string limits given with the rows.
    const std::pair<int, uint64_t> node_sizes[] = {
        {0, 16},   {120, 16}, {116, 32}, {219, 32}, {304, 24}, {218, 24},
        {214, 48}, {4, 24},   {358, 16}, {5, 16},   {6, 24},   {348, 16},
        {349, 16}, {297, 24}, {87, 16},  {71, 32},  {73, 32},  {186, 24}};
    for (auto [index, size] : node_sizes)
        EXPECT_EQ(kRows[index].arg1, size) << kRows[index].label;
    EXPECT_EQ(kRows[13].arg1, kWord | 256);
    EXPECT_EQ(kRows[14].arg1, kWord | 256);
    EXPECT_EQ(kRows[261].arg1, kLine | 1024);
    EXPECT_EQ(kRows[288].arg1, 1024u);
    EXPECT_EQ(kRows[56].arg1, 3u);
    EXPECT_EQ(kRows[8].arg1, 0u);
}

TEST(ConfigTable, ListsOfThePublishedTable) {
    std::set<std::string> reported, cluster, unsingle;
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        const Row &r = kRows[i];
        SCOPED_TRACE(r.label);
        EXPECT_EQ(r.type == Type::Obsolete, i >= 359 && i <= 369);
        if (r.type == Type::Obsolete)
            continue;
        if (r.bits & D)
            reported.insert(r.label);
        if (r.bits & C)
            cluster.insert(r.label);
        if (!(r.bits & S))
            unsingle.insert(r.label);
        // the field fits the type
        static const uint32_t kSizes[] = {4, 4, 4, 4, 8, 8, 8, 8, sizeof(ZtUnits)};
        EXPECT_EQ(r.field_size, kSizes[uint8_t(r.type)]);
        if (r.type == Type::Enum || r.type == Type::Flags) {
            ASSERT_NE(r.arg2, nullptr);
        }
    }
    EXPECT_EQ(reported,
              (std::set<std::string>{"BUSY_FILE_DIRECTORY", "BUSY_FILE_NOTIFY_USER", "RANDOM_PORTS",
                                     "VSP_CacheVols", "VSP_Cache_Size_Init", "Policy_Type",
                                     "USE_AUTHENTICATION", "KMS_DIR", "ZTFSD_STAGING_DIR",
                                     "ZENTOR_APPLIANCE_MODE"}));
    EXPECT_EQ(cluster.size(), 20u);
    for (const std::string &l : cluster)
        EXPECT_EQ(l.rfind("SLP.", 0), 0u) << l;
    std::set<std::string> expected_unsingle = {"ALLOW_MEDIA_OVERWRITE", "VM_ACCL_EXTENT_LOGGING",
                                               "DISABLE_AUTO_NAT", "VM_ACCL_VERIFY_ALL_EXTENTS"};
    for (const Row &r : kRows)
        if ((r.type == Type::List || r.type == Type::Struct) && strcmp(r.label, "CHECKSUM1") != 0)
            expected_unsingle.insert(r.label);
    EXPECT_EQ(unsingle, expected_unsingle);
    for (const char *l :
         {"VM_ACCL_EXTENT_LOGGING", "DISABLE_AUTO_NAT", "VM_ACCL_VERIFY_ALL_EXTENTS"})
        EXPECT_EQ(ConfigRequiresValue(getConfigIndexA(l)), 0) << l;
    for (const char *l :
         {"DISALLOW_SERVER_FILE_WRITES", "DO_NOT_RESET_FILE_ACCESS_TIME",
          "USE_CTIME_FOR_INCREMENTALS", "DISALLOW_CLIENT_LIST_RESTORE", "DISALLOW_CLIENT_RESTORE"})
        EXPECT_EQ(kRows[getConfigIndexA(l)].arg2, kInvertedBoolean) << l;
}

TEST(ConfigTable, EveryLabelFindsItsRow) {
    EXPECT_EQ(getConfigTableSize(), 371);
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        const Row &r = kRows[i];
        SCOPED_TRACE(r.label);
        std::string lower = r.label;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        int want = r.type == Type::Obsolete ? -2 : i;
        EXPECT_EQ(getConfigIndexA(r.label), want);
        EXPECT_EQ(getConfigIndexA(lower.c_str()), want);
        if (r.type == Type::Obsolete) {
            EXPECT_EQ(getConfigLabelA(i), nullptr);
            EXPECT_EQ(getConfigDataPointer(nullptr, i), nullptr);
            EXPECT_EQ(getConfigDataType(i), 255);
            continue;
        }
        EXPECT_STREQ(getConfigLabelA(i), r.label);
        std::u16string wide(getConfigLabelW(i));
        EXPECT_EQ(getConfigIndexW(wide.c_str()), i);
        for (const char *const *alt = getConfigAltLabels(i); alt != nullptr && *alt != nullptr;
             ++alt) {
            std::string a = *alt;
            std::transform(a.begin(), a.end(), a.begin(), ::tolower);
            EXPECT_EQ(getConfigIndexA(a.c_str()), i) << a;
        }
    }
    EXPECT_EQ(getConfigIndexA("slave_connect_timeout"), 38);
    EXPECT_EQ(getConfigIndexA("Class_Type"), getConfigIndexA("Policy_Type"));
    for (int bad : {-1, 371, 359})
        EXPECT_EQ(getConfigLabelA(bad), nullptr);
    EXPECT_EQ(getConfigDataType(371), -1);
    EXPECT_EQ(getConfigIndexA("NO_SUCH_ITEM"), -1);
    EXPECT_EQ(getConfigIndexA(""), -1);
    EXPECT_EQ(getConfigIndexA(nullptr), -1);
    EXPECT_EQ(isULParam(getConfigIndexA("VERBOSE")), 2);
    EXPECT_EQ(isULParam(getConfigIndexA("JM_VERBOSE")), 1);
    EXPECT_EQ(isULParam(getConfigIndexA("BPTM_VERBOSE")), 0);
    EXPECT_EQ(IsMultiLineConfigData(getConfigIndexA("SERVER")), 1);
    EXPECT_EQ(IsMultiLineConfigData(getConfigIndexA("ALLOW_MEDIA_OVERWRITE")), 1);
    EXPECT_EQ(IsMultiLineConfigData(getConfigIndexA("VNET_OPTIONS")), 0);
}

// Format each default, read it into a fresh record, format again; then copy
// the item, compare and free both (the ASan build checks the memory).
TEST(ConfigTable, DefaultsRoundTripThroughEveryItem) {
    const ZtConfig &defs = defaults();
    ZtConfig fresh{}, copy{};
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        if (kRows[i].type == Type::Obsolete)
            continue;
        SCOPED_TRACE(kRows[i].label);
        std::string text = format(defs, i);
        if (text.empty()) { // nothing to read back: a fresh field formats the same
            EXPECT_EQ(format(fresh, i), "");
        } else {
            ASSERT_EQ(read_text(fresh, i, text), 0) << text;
            EXPECT_EQ(format(fresh, i), text);
        }
        ASSERT_EQ(copy_item(i, &copy, &fresh), 0);
        EXPECT_EQ(format(copy, i), format(fresh, i));
    }
    free_record(fresh);
    free_record(copy);
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i)
        if (kRows[i].type == Type::String || kRows[i].type == Type::List ||
            kRows[i].type == Type::Struct) {
            EXPECT_EQ(*static_cast<void **>(getConfigDataPointer(&copy, i)), nullptr)
                << kRows[i].label;
        }
}

TEST(ConfigTable, ClusterAwareDefinitions) {
    ZtConfig def{};
    EXPECT_EQ(anyClusterAwareEntryModified(&def), 0);
    def.VERBOSE = 3;
    EXPECT_EQ(anyClusterAwareEntryModified(&def), 0);
    def.SLP_VERSION_CLEANUP_DELAY.value = -4; // defined without value on line 4
    EXPECT_EQ(anyClusterAwareEntryModified(&def), 1);
    EXPECT_NE(isClusterAwareParam(333), 0);
    EXPECT_EQ(isClusterAwareParam(0), 0);
    EXPECT_EQ(isClusterAwareParam(-5), 0);
}

class KmsDefault : public zt::test::ZtTest {};

TEST_F(KmsDefault, ComesFromThePathTable) {
    const char *kms = defaults().KMS_DIR;
    ASSERT_NE(kms, nullptr);
    EXPECT_NE(std::string(kms).find("kms"), std::string::npos) << kms;
}

} // namespace
