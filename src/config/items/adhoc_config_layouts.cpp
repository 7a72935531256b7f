// Structure and list descriptors of the configuration item table: the fields
// of each structure or list node in the order they are read and written.
// clang-format off
#include <cstddef>

#include "config/items/adhoc_config_layouts.h"

namespace ztbase::config {
namespace {

constexpr uint32_t t(Type type) { return uint32_t(type); }
constexpr uint64_t empty(int32_t value) { return uint64_t(int64_t(value)); }

// {offset, type | R | delimiter class, argument 1, argument 2}. A String field
// is isolated by its delimiter class, so its argument 1 is the maximum length alone.
constexpr FieldDesc str(size_t offset, uint32_t flags, uint32_t max_length) {
    return {int32_t(offset), t(Type::String) | flags, max_length, nullptr};
}
constexpr FieldDesc num(size_t offset, uint32_t flags, int32_t empty_value, const RangeRule *rule) {
    return {int32_t(offset), t(Type::Int) | flags, empty(empty_value), rule};
}
constexpr FieldDesc choice(size_t offset, uint32_t flags, int32_t empty_value, const EnumRow *table) {
    return {int32_t(offset), t(Type::Enum) | flags, empty(empty_value), table};
}
constexpr FieldDesc sublist(size_t offset, uint32_t flags, uint64_t node_size, const ListDesc *list) {
    return {int32_t(offset), t(Type::List) | flags, node_size, list};
}
constexpr FieldDesc kEnd = {-1, 0, 0, nullptr};

constexpr RangeRule kZeroToOne = {kCheckMin | kCheckMax, 0, 1};
constexpr RangeRule kZeroToTwoSubst = {kCheckMin | kCheckMax | kSubstitute, 0, 2};
constexpr RangeRule kZeroToThree = {kCheckMin | kCheckMax, 0, 3};
constexpr RangeRule kZeroToThreeSubst = {kCheckMin | kCheckMax | kSubstitute, 0, 3};
constexpr RangeRule kPort = {kCheckMin | kCheckMax, 0, 65535};
constexpr RangeRule kPriority = {kCheckMin | kCheckMax, 0, 99999};
constexpr uint32_t kSub = kCheckMin | kCheckMax | kSubstitute;
constexpr RangeRule kVnetRanges[12] = {
    {kSub, 60, 3600}, {kSub, 0, 86400}, {kSub, 3, 1024}, {kSub, 3, 1024}, {kSub, 0, 10}, {kSub, 0, 10},
    {kSub, 0, 120}, {kSub, 1, 300}, {kSub, 1541, 2147483647}, {kSub, 0, 32}, {kSub, 0, 1}, {kSub, -1, 2147483647},
};

const FieldDesc kHostFields[] = {
    str(offsetof(ZtHostNode, host), R | kWord, 256), kEnd};
const FieldDesc kHostPairFields[] = {
    str(offsetof(ZtHostPairNode, first), R | kWord, 256),
    str(offsetof(ZtHostPairNode, second), R | kWord, 256), kEnd};
const FieldDesc kWordPairUnlimitedFields[] = {
    str(offsetof(ZtHostPairNode, first), R | kWord, 0),
    str(offsetof(ZtHostPairNode, second), R | kWord, 0), kEnd};
const FieldDesc kLongWordPairFields[] = {
    str(offsetof(ZtHostPairNode, first), R | kWord, 1282),
    str(offsetof(ZtHostPairNode, second), R | kWord, 1282), kEnd};
const FieldDesc kKnownMasterFields[] = {
    str(offsetof(ZtHostPairNode, first), R | kComma, 0),
    str(offsetof(ZtHostPairNode, second), kComma, 0), kEnd};
const FieldDesc kTextFields[] = {
    str(offsetof(ZtTextNode, text), R | kWhole, 0), kEnd};
const FieldDesc kPathFields[] = {
    str(offsetof(ZtTextNode, text), R | kLine, 1024), kEnd};
const FieldDesc kKeyValFields[] = {
    str(offsetof(ZtKeyValNode, key), R | kParen, 1282),
    str(offsetof(ZtKeyValNode, value), R | kParen, 1282), kEnd};
const ListDesc kHostLineList = {kHostFields, kOneLine, offsetof(ZtHostNode, next)};
const FieldDesc kHostGroupFields[] = {
    sublist(offsetof(ZtHostGroupNode, hosts), kWhole, sizeof(ZtHostNode), &kHostLineList), kEnd};
const FieldDesc kBusyActionFields[] = {
    str(offsetof(ZtBusyActionNode, file), R | kWord, 0),
    str(offsetof(ZtBusyActionNode, action), R | kWord, 0),
    num(offsetof(ZtBusyActionNode, repeat), kWhole, 1, nullptr), kEnd};
const FieldDesc kLimitBandwidthFields[] = {
    str(offsetof(ZtLimitBandwidthNode, from), R | kWord, 0),
    str(offsetof(ZtLimitBandwidthNode, to), R | kWord, 0),
    num(offsetof(ZtLimitBandwidthNode, bandwidth), R | kWord, 0, nullptr), kEnd};
const FieldDesc kThrottleFields[] = {
    str(offsetof(ZtThrottleNode, network), R | kWord, 0),
    num(offsetof(ZtThrottleNode, bandwidth), R | kWord, 0, nullptr), kEnd};
const FieldDesc kConnectOptionsFields[] = {
    str(offsetof(ZtConnectOptionsNode, host), R | kWord, 256),
    num(offsetof(ZtConnectOptionsNode, value[0]), kWord, 2, &kZeroToTwoSubst),
    num(offsetof(ZtConnectOptionsNode, value[1]), kWord, 2, &kZeroToTwoSubst),
    num(offsetof(ZtConnectOptionsNode, value[2]), kWord, 3, &kZeroToThreeSubst), kEnd};
const FieldDesc kAuthDomainFields[] = {
    str(offsetof(ZtAuthDomainNode, domain), R | kWord, 256),
    str(offsetof(ZtAuthDomainNode, comment), kQuoted, 0),
    choice(offsetof(ZtAuthDomainNode, type), R | kWord, -1, kDomainTypeNames),
    str(offsetof(ZtAuthDomainNode, broker), R | kWord, 256),
    num(offsetof(ZtAuthDomainNode, port), kWord, 0, &kPort), kEnd};
const FieldDesc kHxssNetworkFields[] = {
    str(offsetof(ZtHxssNetworkNode, host), R | kWord, 256),
    choice(offsetof(ZtHxssNetworkNode, mode), kWord, 1, kUseHxssNames), kEnd};
const FieldDesc kPreferredNetworkFields[] = {
    str(offsetof(ZtPreferredNetworkNode, network), R | kWord, 256),
    choice(offsetof(ZtPreferredNetworkNode, directive), R | kWord, 1, kDirectiveNames),
    str(offsetof(ZtPreferredNetworkNode, source), kWord, 256), kEnd};
const FieldDesc kResilientNetworkFields[] = {
    str(offsetof(ZtResilientNetworkNode, network), R | kWord, 256),
    choice(offsetof(ZtResilientNetworkNode, on), R | kWord, 0, kResilientNames), kEnd};
const FieldDesc kGrfsNameFields[] = {
    str(offsetof(ZtGrfsNameNode, name), R | kWord, 1024),
    str(offsetof(ZtGrfsNameNode, host), R | kWord, 256),
    str(offsetof(ZtGrfsNameNode, path), R | kWord, 1024), kEnd};
const FieldDesc kDdnsRangeFields[] = {
    choice(offsetof(ZtDdnsRangeNode, enabled), kWord, 1, kBoolean),
    str(offsetof(ZtDdnsRangeNode, low), kWord, 256),
    str(offsetof(ZtDdnsRangeNode, high), kWord, 256), kEnd};
const FieldDesc kColumnDefFields[] = {
    choice(offsetof(ZtColumnDefNode, column), R | kWord, 0, kColumnNames),
    num(offsetof(ZtColumnDefNode, width), kWord, 5, nullptr),
    choice(offsetof(ZtColumnDefNode, enabled), kWhole, 1, kBoolean), kEnd};

} // namespace

const FieldDesc kDefaultConnectOptionsFields[] = {
    num(offsetof(ZtConnectOptions, value[0]), kWord, 0, &kZeroToOne),
    num(offsetof(ZtConnectOptions, value[1]), kWord, 0, &kZeroToOne),
    num(offsetof(ZtConnectOptions, value[2]), kWord, 2, &kZeroToThree), kEnd};
const FieldDesc kPortWindowFields[] = {
    num(offsetof(ZtPortWindow, low), R | kWord, 0, &kPort),
    num(offsetof(ZtPortWindow, high), R | kWord, 0, &kPort), kEnd};
const FieldDesc kAuthServiceFields[] = {
    str(offsetof(ZtAuthService, host), R | kWord, 256),
    num(offsetof(ZtAuthService, port), kWord, 0, &kPort), kEnd};
const FieldDesc kVersionInfoFields[] = {
    str(offsetof(ZtVersionInfo, os_name), R | kQuoted, 0),
    str(offsetof(ZtVersionInfo, os_release), R | kQuoted, 0),
    str(offsetof(ZtVersionInfo, platform), R | kQuoted, 0),
    str(offsetof(ZtVersionInfo, product), R | kQuoted, 0),
    str(offsetof(ZtVersionInfo, version), R | kQuoted, 0),
    num(offsetof(ZtVersionInfo, number), R | kWord, 0, nullptr), kEnd};
const FieldDesc kChecksumFields[] = {
    str(offsetof(ZtChecksum, first), R | kComma, 128),
    str(offsetof(ZtChecksum, second), R | kComma, 0),
    str(offsetof(ZtChecksum, rest), R | kWhole, 0), kEnd};
// Empty values past the first two are the built-in defaults.
const FieldDesc kVnetOptionsFields[] = {
    num(offsetof(ZtVnetOptions, value[0]), kWord, 120, &kVnetRanges[0]),
    num(offsetof(ZtVnetOptions, value[1]), kWord, 3600, &kVnetRanges[1]),
    num(offsetof(ZtVnetOptions, value[2]), kWord, 200, &kVnetRanges[2]),
    num(offsetof(ZtVnetOptions, value[3]), kWord, 40, &kVnetRanges[3]),
    num(offsetof(ZtVnetOptions, value[4]), kWord, 3, &kVnetRanges[4]),
    num(offsetof(ZtVnetOptions, value[5]), kWord, 1, &kVnetRanges[5]),
    num(offsetof(ZtVnetOptions, value[6]), kWord, 30, &kVnetRanges[6]),
    num(offsetof(ZtVnetOptions, value[7]), kWord, 5, &kVnetRanges[7]),
    num(offsetof(ZtVnetOptions, value[8]), kWord, 1793, &kVnetRanges[8]),
    num(offsetof(ZtVnetOptions, value[9]), kWord, 32, &kVnetRanges[9]),
    num(offsetof(ZtVnetOptions, value[10]), kWord, 0, &kVnetRanges[10]),
    num(offsetof(ZtVnetOptions, value[11]), kWord, 0, &kVnetRanges[11]), kEnd};
#define PRIORITY(i, empty_value) num(offsetof(ZtJobPriority, value[i]), kWord, empty_value, &kPriority)
const FieldDesc kJobPriorityFields[] = {
    PRIORITY(0, 0), PRIORITY(1, 0), PRIORITY(2, 90000), PRIORITY(3, 90000), PRIORITY(4, 90000),
    PRIORITY(5, 90000), PRIORITY(6, 85000), PRIORITY(7, 85000), PRIORITY(8, 80000), PRIORITY(9, 80000),
    PRIORITY(10, 80000), PRIORITY(11, 80000), PRIORITY(12, 75000), PRIORITY(13, 75000), PRIORITY(14, 70000),
    PRIORITY(15, 70000), PRIORITY(16, 50000), PRIORITY(17, 50000), PRIORITY(18, 45000), PRIORITY(19, 0),
    PRIORITY(20, 0), PRIORITY(21, 0), PRIORITY(22, 0), PRIORITY(23, 0), kEnd};
#undef PRIORITY

// {node descriptor, element separation (kWhole: one line per element), offset of next}.
const ListDesc kHostList = {kHostFields, kWhole, offsetof(ZtHostNode, next)};
const ListDesc kHostPairList = {kHostPairFields, kWhole, offsetof(ZtHostPairNode, next)};
const ListDesc kWordPairUnlimitedList = {kWordPairUnlimitedFields, kWhole, offsetof(ZtHostPairNode, next)};
const ListDesc kLongWordPairList = {kLongWordPairFields, kWhole, offsetof(ZtHostPairNode, next)};
const ListDesc kKnownMasterList = {kKnownMasterFields, kWhole, offsetof(ZtHostPairNode, next)};
const ListDesc kTextList = {kTextFields, kWhole, offsetof(ZtTextNode, next)};
const ListDesc kPathList = {kPathFields, kWhole, offsetof(ZtTextNode, next)};
const ListDesc kKeyValList = {kKeyValFields, kWhole, offsetof(ZtKeyValNode, next)};
const ListDesc kHostGroupList = {kHostGroupFields, kWhole, offsetof(ZtHostGroupNode, next)};
const ListDesc kBusyActionList = {kBusyActionFields, kWhole, offsetof(ZtBusyActionNode, next)};
const ListDesc kLimitBandwidthList = {kLimitBandwidthFields, kWhole, offsetof(ZtLimitBandwidthNode, next)};
const ListDesc kThrottleList = {kThrottleFields, kWhole, offsetof(ZtThrottleNode, next)};
const ListDesc kConnectOptionsList = {kConnectOptionsFields, kWhole, offsetof(ZtConnectOptionsNode, next)};
const ListDesc kAuthDomainList = {kAuthDomainFields, kWhole, offsetof(ZtAuthDomainNode, next)};
const ListDesc kHxssNetworkList = {kHxssNetworkFields, kWhole, offsetof(ZtHxssNetworkNode, next)};
const ListDesc kPreferredNetworkList = {kPreferredNetworkFields, kWhole, offsetof(ZtPreferredNetworkNode, next)};
const ListDesc kResilientNetworkList = {kResilientNetworkFields, kWhole, offsetof(ZtResilientNetworkNode, next)};
const ListDesc kGrfsNameList = {kGrfsNameFields, kWhole, offsetof(ZtGrfsNameNode, next)};
const ListDesc kDdnsRangeList = {kDdnsRangeFields, kWhole, offsetof(ZtDdnsRangeNode, next)};
const ListDesc kColumnDefList = {kColumnDefFields, kWhole, offsetof(ZtColumnDefNode, next)};

} // namespace ztbase::config
