// Enumeration tables, range rules, the 14 units and the 45 unit words of the
// configuration item table. An enumeration table ends with {nullptr, kind}.
// clang-format off
#include "config/items/adhoc_config_layouts.h"

namespace ztbase::config {

const EnumRow kBoolean[] = {{"YES", 1}, {"NO", 0}, {"TRUE", 1}, {"FALSE", 0}, {nullptr, kBooleanKind}};
// The stored field holds the opposite sense of the label.
const EnumRow kInvertedBoolean[] = {{"YES", 0}, {"NO", 1}, {"TRUE", 0}, {"FALSE", 1}, {nullptr, kInvertedKind}};
const EnumRow kTunnelUseNames[] = {{"AUTO", 0}, {"ALWAYS", 1}, {"NEVER", 2}, {nullptr, kRowValueOnly}};
const EnumRow kCryptOptionNames[] = {{"DENIED", -1}, {"ALLOWED", 0}, {"REQUIRED", 1}, {nullptr, kNearest}};
const EnumRow kCryptStrengthNames[] = {{"DES_40", 40}, {"DES_56", 56}, {"DES40", 40}, {"DES56", 56}, {nullptr, kNearest}};
const EnumRow kCryptKindNames[] = {{"NONE", 0}, {"LEGACY", 1}, {"STANDARD", 2}, {"CIPHER", 2}, {nullptr, kNearest}};
const EnumRow kCryptCipherNames[] = {
    {"AES-128-CFB", 0}, {"AES-128-OFB", 1}, {"AES-192-CFB", 2}, {"AES-192-OFB", 3},
    {"AES-256-CFB", 4}, {"AES-256-OFB", 5}, {"BF-CFB", 6}, {"BF-OFB", 7},
    {"CAST5-CFB", 8}, {"CAST5-OFB", 9}, {"DES-CFB", 10}, {"DES-OFB", 11},
    {"DES-EDE-CFB", 12}, {"DES-EDE-OFB", 13}, {"DES-EDE3-CFB", 14}, {"DES-EDE3-OFB", 15},
    {"RC2-CFB", 16}, {"RC2-OFB", 17}, {"RC4", 18}, {"RC4-40", 19},
    {"RC5_CFB", 20}, {"RC5_OFB", 21}, {"ALTAES-128-CFB", 22}, {"ALTAES-256-CFB", 23},
    {nullptr, kNearest}};
const EnumRow kAcceptPortNames[] = {{"AUTOMATIC", 0}, {"VNETD_ONLY", 1}, {"DAEMON_ONLY", 2}, {nullptr, kNearest}};
const EnumRow kCurrentNames[] = {{"YES", 1}, {"NO", 0}, {"TRUE", 1}, {"FALSE", 0}, {"ALL_AVAILABLE", 2}, {"ALL", 2}, {nullptr, kNearest}};
const EnumRow kUseHxssNames[] = {{"AUTOMATIC", 0}, {"REQUIRED", 1}, {"PROHIBITED", 2}, {nullptr, kNearest}};
const EnumRow kOnOffNames[] = {{"ON", 1}, {"OFF", 0}, {nullptr, kNearest}};
const EnumRow kFipsModeNames[] = {{"DISABLED", 0}, {"ENABLED", 1}, {nullptr, kNearest}};
const EnumRow kReverseNameLookupNames[] = {{"ALLOWED", 0}, {"RESTRICTED", 1}, {"PROHIBITED", 2}, {nullptr, kNearest}};
const EnumRow kLocalCacheNames[] = {{"UNSPEC", 0}, {"NO", 1}, {"YES", 2}, {nullptr, kNearest}};
const EnumRow kApplianceModeNames[] = {
    {"NOT_APPLIANCE", 0}, {"FACTORY_INSTALL", 1}, {"MASTER_APPLIANCE", 2}, {"MEDIA_APPLIANCE", 3},
    {"MEDIA_SERVER", 4}, {"MANUAL_MASTER_APPLIANCE", 5}, {"QUENDAL_APPLIANCE", 6}, {"MOCK_APPLIANCE", 7},
    {nullptr, kNearest}};
// The stored value is the address family number; there is no IPv6-only setting.
const EnumRow kAddressFamilyNames[] = {
    {"AF_UNSPEC", 0}, {"UNSPECIFIED", 0}, {"ALL", 0}, {"ANY", 0}, {"BOTH_IPV4_AND_IPV6", 0},
    {"AF_INET6", 0}, {"IPV6", 0}, {"IPV6_ONLY", 0}, {"AF_INET", 2}, {"IPV4", 2}, {"IPV4_ONLY", 2},
    {nullptr, kNearest}};
const EnumRow kReplaceImageSizeNames[] = {
    {"REPLACE_IMAGE_SIZE_DISABLED", 0}, {"REPLACE_IMAGE_SIZE_FOR_ACCL_INC_VMWARE", 1},
    {"REPLACE_IMAGE_SIZE_FOR_ACCL_ALL_VMWARE", 2}, {"REPLACE_IMAGE_SIZE_FOR_ACCL_INC_ALL", 3},
    {"REPLACE_IMAGE_SIZE_FOR_ACCL_ALL_ALL", 4}, {"REPLACE_IMAGE_SIZE_FOR_ACCL_INC_HYPERV", 5},
    {"REPLACE_IMAGE_SIZE_FOR_ACCL_ALL_HYPERV", 6}, {"REPLACE_IMAGE_SIZE_FOR_ACCL_INC_VIRTUAL", 7},
    {"REPLACE_IMAGE_SIZE_FOR_ACCL_ALL_VIRTUAL", 8}, {nullptr, kNearest}};
const EnumRow kMediaOverwriteBits[] = {
    {"DBR", 1}, {"TAR", 2}, {"CPIO", 4}, {"ANSI", 8}, {"AOS/VS", 16}, {"MTF1", 32}, {"RS-MTF1", 64}, {"BE-MTF1", 128},
    {nullptr, kStrict}};
const EnumRow kDomainTypeNames[] = {
    {"NIS", 0}, {"NIS+", 1}, {"PASSWD", 2}, {"HXPD", 3}, {"WINDOWS", 4}, {"LDAP", 5}, {nullptr, kNearest}};
const EnumRow kDirectiveNames[] = {
    {"UNKNOWN", 0}, {"MATCH", 1}, {"PROHIBITED", 2}, {"ONLY", 3}, {"REQUIRED", 4}, {nullptr, kNearest}};
const EnumRow kResilientNames[] = {{"OFF", 0}, {"ON", 1}, {nullptr, kNearest}};
const EnumRow kColumnNames[] = {
    {"JOBID", 0}, {"VERSION", 1}, {"ACTPID", 2}, {"MAINPID", 3}, {"RQSTPID", 4}, {"PARENTJOBID", 5},
    {"PRODUCT", 6}, {"TYPE", 7}, {"BACKUPTYPE", 8}, {"SUBTYPE", 8}, {"STATUS", 9}, {"POLICY", 10},
    {"POLICYTYPE", 11}, {"SCHEDULE", 13}, {"SCHEDULETYPE", 14}, {"CLIENT", 15}, {"PRIORITY", 16},
    {"OWNER", 17}, {"GROUP", 18}, {"RETENTION", 19}, {"COMPRESSION", 20}, {"LASTBACKUP", 21},
    {"STATE", 22}, {"OPERATION", 23}, {"STREAMNUMBER", 26}, {"SRCSTORAGE_UNIT", 28},
    {"SRCMEDIA_SERVER", 29}, {"SRCMEDIAID", 30}, {"DSTSTORAGE_UNIT", 31}, {"DSTMEDIA_SERVER", 32},
    {"DSTMEDIAID", 33}, {"STARTED", 34}, {"ENDED", 35}, {"ATTEMPT", 36}, {"KILOBYTES", 37},
    {"FILES", 38}, {"KBPERSEC", 43}, {"PATHNAME", 44}, {"COMPLETION", 45}, {"ESTKB", 46},
    {"ESTFILE", 47}, {"ROBOT", 51}, {"VAULT", 52}, {"PROFILE", 53}, {"SESSIONID", 54},
    {"NUMTAPESEJECT", 55}, {"JOBSTVERSION", 48}, {"ELAPSED", 79}, {"ACTIVEELAPSED", 80},
    {"RESUMABLE", 58}, {"RESTARTABLE", 59}, {"SUSPENDABLE", 57}, {"DATAMOVEMENT", 60},
    {"FROZENIMAGE", 61}, {"BACKUPID", 62}, {"IMAGEID", 62}, {"FATPIPE", 66}, {"QREASON", 67},
    {"QUEUEDRESOURCE", 68}, {"DEDUPRATIO", 69}, {"SUBMISSIONTYPE", 70}, {"USERNAME", 71},
    {"DOMAINNAME", 72}, {"DOMAINTYPE", 73}, {"RESTOREBACKUPIDS", 74}, {"ACCELERATOR_OPTIMIZATION", 75},
    {"INSTANCE_DATABASE_NAME", 76}, {"DUMP_HOST", 77}, {"KILOBYTES_DATA_TRANSFERRED", 78},
    {nullptr, kNearest}};

const RangeRule kMediaUnmountDelayRange = {kCheckMax | kSubstitute, 0, 1800};
const RangeRule kHostCacheTtlRange = {kCheckMin | kCheckMax | kSubstitute, 0, 86400};
const RangeRule kHostCacheResyncIntervalRange = {kCheckMin | kCheckMax | kSubstitute, 0, 86400};
const RangeRule kHostCacheResyncTimeoutRange = {kCheckMin | kCheckMax | kSubstitute, 0, 3600};
const RangeRule kZtrntdTimeoutRange = {kCheckMin | kCheckMax | kSubstitute, 60, 3600};
const RangeRule kZtrntdMaxConnectionsRange = {kCheckMin | kCheckMax | kSubstitute, 10, 2048};
const RangeRule kZtrntdKeepAliveRange = {kCheckMin | kCheckMax | kSubstitute, 10, 300};
const RangeRule kAtLeastOneRange = {kCheckMin, 1, 0};
const RangeRule kParallelConnectionsRange = {kCheckMin | kCheckMax | kSubstitute, 1, 100};

const UnitsRule kTimeUnitsRule = {0, {0, kRaw}, {0, kRaw}, kTimeUnits};
const UnitsRule kSizeUnitsRule = {0, {0, kRaw}, {0, kRaw}, kSizeUnits};
const UnitsRule kDuplicationJobSizeRule = {kCheckMin | kSubstitute, {1024, kByte}, {0, kRaw}, kSizeUnits};

const UnitInfo kUnits[kUnitCount] = {
    /*  0 */ {"raw", "raw", 1},
    /*  1 */ {"second", "seconds", 1},
    /*  2 */ {"minute", "minutes", 60},
    /*  3 */ {"hour", "hours", 3600},
    /*  4 */ {"day", "days", 86400},
    /*  5 */ {"week", "weeks", 604800},
    /*  6 */ {"month", "months", 2592000},
    /*  7 */ {"year", "years", 31536000},
    /*  8 */ {"byte", "bytes", 1},
    /*  9 */ {"KB", "KB", 1024},
    /* 10 */ {"MB", "MB", 1048576},
    /* 11 */ {"GB", "GB", 1073741824},
    /* 12 */ {"TB", "TB", 1099511627776},
    /* 13 */ {"PB", "PB", 1125899906842624},
};

// Sorted case-insensitively for a binary search; "byte" alone is not accepted.
const UnitWord kUnitWords[] = {
    {"bytes", kSizeUnits, kByte},
    {"day", kTimeUnits, kDay},
    {"day(s)", kTimeUnits, kDay},
    {"days", kTimeUnits, kDay},
    {"gb", kSizeUnits, kGB},
    {"gigabyte", kSizeUnits, kGB},
    {"gigabyte(s)", kSizeUnits, kGB},
    {"gigabytes", kSizeUnits, kGB},
    {"hour", kTimeUnits, kHour},
    {"hour(s)", kTimeUnits, kHour},
    {"hours", kTimeUnits, kHour},
    {"kb", kSizeUnits, kKB},
    {"kilobyte", kSizeUnits, kKB},
    {"kilobyte(s)", kSizeUnits, kKB},
    {"kilobytes", kSizeUnits, kKB},
    {"mb", kSizeUnits, kMB},
    {"megabyte", kSizeUnits, kMB},
    {"megabyte(s)", kSizeUnits, kMB},
    {"megabytes", kSizeUnits, kMB},
    {"min", kTimeUnits, kMinute},
    {"minute", kTimeUnits, kMinute},
    {"minute(s)", kTimeUnits, kMinute},
    {"minutes", kTimeUnits, kMinute},
    {"mon", kTimeUnits, kMonth},
    {"month", kTimeUnits, kMonth},
    {"month(s)", kTimeUnits, kMonth},
    {"months", kTimeUnits, kMonth},
    {"pb", kSizeUnits, kPB},
    {"petabyte", kSizeUnits, kPB},
    {"petabyte(s)", kSizeUnits, kPB},
    {"petabytes", kSizeUnits, kPB},
    {"sec", kTimeUnits, kSecond},
    {"second", kTimeUnits, kSecond},
    {"second(s)", kTimeUnits, kSecond},
    {"seconds", kTimeUnits, kSecond},
    {"tb", kSizeUnits, kTB},
    {"terabyte", kSizeUnits, kTB},
    {"terabyte(s)", kSizeUnits, kTB},
    {"terabytes", kSizeUnits, kTB},
    {"week", kTimeUnits, kWeek},
    {"week(s)", kTimeUnits, kWeek},
    {"weeks", kTimeUnits, kWeek},
    {"year", kTimeUnits, kYear},
    {"year(s)", kTimeUnits, kYear},
    {"years", kTimeUnits, kYear},
};
const size_t kUnitWordCount = sizeof kUnitWords / sizeof kUnitWords[0];

ZtUnits unpack_units(uint64_t packed) {
    // The low 48 bits hold a signed value.
    int64_t value = int64_t(packed << 16) >> 16;
    return ZtUnits{value, int32_t(packed >> 48)};
}

} // namespace ztbase::config
