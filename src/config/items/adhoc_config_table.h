// The configuration item table as data: the row type with named columns, the
// named bits of the flag word, the delimiter classes, range rules, enumeration
// tables, structure and list descriptors and the unit tables. The rows live in
// adhoc_config_rows.cpp (one per line, index order), the tables they point to
// in adhoc_config_enums.cpp and adhoc_config_layouts.cpp, the defaults record
// in adhoc_config_defaults.cpp. Everything here is constant after load, except
// the KMS_DIR default, which defaults() fills once.
#pragma once

#include <cstddef>
#include <cstdint>

#include <ztbase/config.h>

namespace ztbase::config {

// The low byte of a flag word.
enum class Type : uint8_t {
    Int = 0,
    Enum = 1,
    Flags = 2,
    IPAddr = 3,
    String = 4,
    Struct = 5,
    List = 6,
    Int64 = 7,
    Units = 8,
    Obsolete = 255,
};
inline constexpr int kTypeCount = 9;

// The higher bits of a flag word.
inline constexpr uint32_t S =
    0x100; // single-valued: a second definition in one text replaces the first
inline constexpr uint32_t R = 0x200; // value required (for structure fields: must not be empty)
inline constexpr uint32_t D = 0x400; // reported by default in a filtered image that lacks it
inline constexpr uint32_t C = 0x800; // cluster-aware: kept in the cluster-shared file
inline constexpr uint32_t kBitsMask = 0xF00;

// Bits 0xF0000 of a flag word or of a String's argument 1.
inline constexpr uint32_t kWhole = 0x00000;   // the whole remaining text
inline constexpr uint32_t kWord = 0x10000;    // up to white space
inline constexpr uint32_t kEquals = 0x20000;  // up to '='
inline constexpr uint32_t kLine = 0x30000;    // up to the line end
inline constexpr uint32_t kComma = 0x40000;   // up to ','
inline constexpr uint32_t kQuoted = 0x50000;  // "..."
inline constexpr uint32_t kParen = 0x60000;   // (...)
inline constexpr uint32_t kBrace = 0x70000;   // {...}
inline constexpr uint32_t kOneLine = 0x80000; // the rest; in a list: elements on one line
inline constexpr uint32_t kDelimMask = 0xF0000;
inline constexpr uint32_t kMaxLengthMask = 0xFFFF; // String argument 1: 0 = unlimited

// The table's numbers are the public header's: getConfigDataType and
// getConfigTokenA hand them out as they are.
static_assert(
    uint8_t(Type::Int) == ZTCONFIG_TYPE_INT && uint8_t(Type::Enum) == ZTCONFIG_TYPE_ENUM &&
    uint8_t(Type::Flags) == ZTCONFIG_TYPE_FLAGS && uint8_t(Type::IPAddr) == ZTCONFIG_TYPE_IPADDR &&
    uint8_t(Type::String) == ZTCONFIG_TYPE_STRING &&
    uint8_t(Type::Struct) == ZTCONFIG_TYPE_STRUCT && uint8_t(Type::List) == ZTCONFIG_TYPE_LIST &&
    uint8_t(Type::Int64) == ZTCONFIG_TYPE_INT64 && uint8_t(Type::Units) == ZTCONFIG_TYPE_UNITS &&
    uint8_t(Type::Obsolete) == ZTCONFIG_TYPE_OBSOLETE && kTypeCount == ZTCONFIG_TYPE_UNITS + 1);
static_assert(kWhole == ZTCONFIG_TOKEN_REST && kWord == ZTCONFIG_TOKEN_WORD &&
              kEquals == ZTCONFIG_TOKEN_EQUALS && kLine == ZTCONFIG_TOKEN_LINE &&
              kComma == ZTCONFIG_TOKEN_COMMA && kQuoted == ZTCONFIG_TOKEN_QUOTED &&
              kParen == ZTCONFIG_TOKEN_PAREN && kBrace == ZTCONFIG_TOKEN_BRACE &&
              kOneLine == ZTCONFIG_TOKEN_ONE_LINE);
static_assert((kOneLine & ~kDelimMask) == 0 && (kBitsMask & kDelimMask) == 0 &&
              (kBitsMask & 0xFF) == 0);

// Range rule flags.
inline constexpr uint32_t kCheckMin = 1;
inline constexpr uint32_t kCheckMax = 2;
inline constexpr uint32_t kSubstitute = 4; // store the violated limit instead of failing
struct RangeRule {
    uint32_t flags;
    int32_t min;
    int32_t max;
};
struct RangeRule64 {
    uint64_t flags;
    int64_t min;
    int64_t max;
};

// Unit indexes.
enum Unit : int32_t {
    kRaw = 0,
    kSecond,
    kMinute,
    kHour,
    kDay,
    kWeek,
    kMonth,
    kYear,
    kByte,
    kKB,
    kMB,
    kGB,
    kTB,
    kPB,
};
inline constexpr int kUnitCount = 14;
enum UnitClass : int32_t { kTimeUnits = 1, kSizeUnits = 2 };
struct UnitsRule {
    uint64_t flags; // kCheckMin, kCheckMax, kSubstitute
    ZtUnits min;    // compared in base units
    ZtUnits max;
    int32_t unit_class;
};
// A Units item's argument 1: unit in the top 16 bits, value in the low 48.
constexpr uint64_t units_default(int64_t value, Unit unit) {
    return (uint64_t(uint32_t(unit)) << 48) | (uint64_t(value) & 0xFFFFFFFFFFFFull);
}
ZtUnits unpack_units(uint64_t packed);

struct UnitInfo {
    const char *singular;
    const char *plural;
    int64_t multiplier;
};
extern const UnitInfo kUnits[kUnitCount];
struct UnitWord {
    const char *word;
    int32_t unit_class;
    Unit unit;
};
extern const UnitWord kUnitWords[];
extern const size_t kUnitWordCount; // 45, sorted case-insensitively

// Enumeration tables end with {nullptr, kind}.
enum EnumKind : int32_t {
    kStrict = 0,       // unmatched text is an error (Flags)
    kOrSubstitute = 1, // a number must be a row value, else argument 1 with a message
    kBooleanKind = 2,  // any number; non-zero stores 1
    kInvertedKind = 3, // any number; stores its negation
    kNearest = 4,      // the nearest row value, with a message
    kRowValueOnly = 5, // a number must be a row value, else an error
    kAnyNumber = 6,    // any number as it is
};
struct EnumRow {
    const char *name;
    int32_t value;
};

// Structure descriptors end with an entry of offset -1.
struct FieldDesc {
    int32_t offset;
    uint32_t flags; // type | R | delimiter class
    uint64_t arg1;
    const void *arg2;
    Type type() const { return Type(flags & 0xFF); }
};
struct ListDesc {
    const FieldDesc *node;
    uint32_t flags; // delimiter class separating elements; kWhole: one line each
    uint32_t next_offset;
};

// One item.
struct Row {
    const char *label;
    const char *const *alt_labels; // null-terminated, or null
    uint32_t field;                // offset in ZtConfig
    uint32_t field_size;           // sizeof the field, checked against the type
    Type type;
    uint32_t bits; // S, R, D, C
    uint64_t arg1;
    const void *arg2;
    uint32_t flag_word() const { return uint32_t(type) | bits; }
};
extern const Row kRows[ZTCONFIG_TABLE_SIZE];

// The built-in defaults record; the first call fills KMS_DIR from the path
// label ZTKMS_DB_DIR when it is still unset.
const ZtConfig &defaults();

// Enumeration tables and layouts the tests and tools name.
extern const EnumRow kBoolean[];
extern const EnumRow kInvertedBoolean[];

} // namespace ztbase::config
