// The tables the item rows point to: enumeration tables, range rules, unit
// rules, structure descriptors and list descriptors.
#pragma once

#include "config/items/adhoc_config_table.h"

namespace ztbase::config {

// Enumeration tables (adhoc_config_enums.cpp).
extern const EnumRow kBoolean[];
extern const EnumRow kInvertedBoolean[];
extern const EnumRow kTunnelUseNames[];
extern const EnumRow kCryptOptionNames[];
extern const EnumRow kCryptStrengthNames[];
extern const EnumRow kCryptKindNames[];
extern const EnumRow kCryptCipherNames[];
extern const EnumRow kAcceptPortNames[];
extern const EnumRow kCurrentNames[];
extern const EnumRow kUseHxssNames[];
extern const EnumRow kOnOffNames[];
extern const EnumRow kFipsModeNames[];
extern const EnumRow kReverseNameLookupNames[];
extern const EnumRow kLocalCacheNames[];
extern const EnumRow kApplianceModeNames[];
extern const EnumRow kAddressFamilyNames[];
extern const EnumRow kReplaceImageSizeNames[];
extern const EnumRow kMediaOverwriteBits[];
extern const EnumRow kDomainTypeNames[];
extern const EnumRow kDirectiveNames[];
extern const EnumRow kResilientNames[];
extern const EnumRow kColumnNames[];

// Range rules of Int items.
extern const RangeRule kMediaUnmountDelayRange;
extern const RangeRule kHostCacheTtlRange;
extern const RangeRule kHostCacheResyncIntervalRange;
extern const RangeRule kHostCacheResyncTimeoutRange;
extern const RangeRule kZtrntdTimeoutRange;
extern const RangeRule kZtrntdMaxConnectionsRange;
extern const RangeRule kZtrntdKeepAliveRange;
extern const RangeRule kAtLeastOneRange;
extern const RangeRule kParallelConnectionsRange;

// Unit rules of Units items.
extern const UnitsRule kTimeUnitsRule;
extern const UnitsRule kSizeUnitsRule;
extern const UnitsRule kDuplicationJobSizeRule;

// Structure descriptors (adhoc_config_layouts.cpp).
extern const FieldDesc kDefaultConnectOptionsFields[];
extern const FieldDesc kPortWindowFields[];
extern const FieldDesc kAuthServiceFields[];
extern const FieldDesc kVersionInfoFields[];
extern const FieldDesc kChecksumFields[];
extern const FieldDesc kVnetOptionsFields[];
extern const FieldDesc kJobPriorityFields[];

// List descriptors.
extern const ListDesc kHostList;
extern const ListDesc kHostPairList;
extern const ListDesc kWordPairUnlimitedList;
extern const ListDesc kLongWordPairList;
extern const ListDesc kKnownMasterList;
extern const ListDesc kTextList;
extern const ListDesc kPathList;
extern const ListDesc kKeyValList;
extern const ListDesc kHostGroupList;
extern const ListDesc kBusyActionList;
extern const ListDesc kLimitBandwidthList;
extern const ListDesc kThrottleList;
extern const ListDesc kConnectOptionsList;
extern const ListDesc kAuthDomainList;
extern const ListDesc kHxssNetworkList;
extern const ListDesc kPreferredNetworkList;
extern const ListDesc kResilientNetworkList;
extern const ListDesc kGrfsNameList;
extern const ListDesc kDdnsRangeList;
extern const ListDesc kColumnDefList;

} // namespace ztbase::config
