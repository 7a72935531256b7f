// Read and format of the plain data types (Int, Int64, Units, Enum, Flags,
// IPAddr) and of String. Messages are logged at level 2 with the reader's
// name as tag; numbers that do not fit their field are badly formed (20),
// never wrapped.
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <ztbase/debuglog.h>

#include "config/items/adhoc_config_ops.h"
#include "config/items/adhoc_config_scalars.h"
#include "base/zt_status.h"

namespace ztbase::config {
namespace {

using zt::status::kAllocFailed;
using zt::status::kInvalidParameter;

bool space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

const char *limit_word(const void *substituting, bool below) {
    return substituting ? "substituting" : (below ? "below" : "above");
}

} // namespace

// ---- Int ----

int parse_int(char **cursor, int32_t *value, uint64_t arg1, bool *was_empty) {
    char *p = *cursor;
    *was_empty = *p == '\0' || space(*p);
    if (*was_empty) {
        *value = int32_t(arg1);
        return 0;
    }
    errno = 0;
    char *end;
    long long v = strtoll(p, &end, 0);
    if (end == p || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return kInvalidParameter;
    *value = int32_t(v);
    *cursor = end;
    return 0;
}

int read_int(char **cursor, void *field, uint64_t arg1, const void *arg2, int line) {
    int32_t v;
    bool was_empty;
    char *c = *cursor;
    if (parse_int(&c, &v, arg1, &was_empty) != 0) {
        logmsgf(ZTLOG_DEBUG, "readInt", "Badly formed integer (%s) on line %d.", *cursor, line);
        return kInvalidParameter;
    }
    const auto *rule = static_cast<const RangeRule *>(arg2);
    if (rule != nullptr && !was_empty) {
        const void *subst = (rule->flags & kSubstitute) ? rule : nullptr;
        int32_t limit = v;
        const char *which = nullptr;
        if ((rule->flags & kCheckMin) && v < rule->min)
            limit = rule->min, which = "minimum";
        else if ((rule->flags & kCheckMax) && v > rule->max)
            limit = rule->max, which = "maximum";
        if (which != nullptr) {
            logmsgf(ZTLOG_DEBUG, "readInt",
                    "Integer (%d) out of range on line %d, %s %s legal value (%d).", v, line,
                    limit_word(subst, v < limit), which, limit);
            if (subst == nullptr)
                return kInvalidParameter;
            v = limit;
        }
    }
    *static_cast<int32_t *>(field) = v;
    *cursor = c;
    return 0;
}

int format_int(const void *field, std::string &out, uint64_t, const void *) {
    out += std::to_string(*static_cast<const int32_t *>(field));
    return 0;
}

// ---- Int64 ----

int read_int64(char **cursor, void *field, uint64_t arg1, const void *arg2, int line) {
    char *p = *cursor;
    if (*p == '\0' || space(*p)) {
        *static_cast<int64_t *>(field) = int64_t(arg1);
        return 0;
    }
    errno = 0;
    char *end;
    long long v = strtoll(p, &end, 10);
    if (end == p || errno != 0) {
        logmsgf(ZTLOG_DEBUG, "readInt64", "Badly formed integer (%s) on line %d.", p, line);
        return kInvalidParameter;
    }
    const auto *rule = static_cast<const RangeRule64 *>(arg2);
    if (rule != nullptr) {
        const void *subst = (rule->flags & kSubstitute) ? rule : nullptr;
        int64_t limit = v;
        const char *which = nullptr;
        if ((rule->flags & kCheckMin) && v < rule->min)
            limit = rule->min, which = "minimum";
        else if ((rule->flags & kCheckMax) && v > rule->max)
            limit = rule->max, which = "maximum";
        if (which != nullptr) {
            logmsgf(ZTLOG_DEBUG, "readInt64",
                    "Integer64 (%" PRId64 ") out of range on line %d, %s %s legal value (%" PRId64
                    ").",
                    int64_t(v), line, limit_word(subst, v < limit), which, limit);
            if (subst == nullptr)
                return kInvalidParameter;
            v = limit;
        }
    }
    *static_cast<int64_t *>(field) = v;
    *cursor = end;
    return 0;
}

int format_int64(const void *field, std::string &out, uint64_t, const void *) {
    out += std::to_string(*static_cast<const int64_t *>(field));
    return 0;
}

// ---- Units ----

const UnitWord *find_unit_word(const char *word) {
    size_t lo = 0, hi = kUnitWordCount;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int c = strcasecmp(word, kUnitWords[mid].word);
        if (c == 0)
            return &kUnitWords[mid];
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return nullptr;
}

__int128 units_base(const ZtUnits &u) {
    int unit = u.unit >= 0 && u.unit < kUnitCount ? u.unit : 0;
    return __int128(u.value) * kUnits[unit].multiplier;
}

int read_units(char **cursor, void *field, uint64_t arg1, const void *arg2, int line) {
    auto *out = static_cast<ZtUnits *>(field);
    char *p = *cursor;
    if (*p == '\0' || space(*p)) {
        *out = unpack_units(arg1);
        return 0;
    }
    errno = 0;
    char *end;
    long long v = strtoll(p, &end, 10);
    if (end == p || errno != 0) {
        logmsgf(ZTLOG_DEBUG, "readUnits", "Badly formed integer (%s) on line %d.", p, line);
        return kInvalidParameter;
    }
    const auto *rule = static_cast<const UnitsRule *>(arg2);
    int32_t unit_class = rule != nullptr ? rule->unit_class : kTimeUnits;
    while (space(*end))
        ++end;
    std::string word(end);
    while (!word.empty() && space(word.back()))
        word.pop_back();
    ZtUnits value{v, unit_class == kSizeUnits ? kByte : kSecond};
    if (!word.empty()) {
        const UnitWord *w = find_unit_word(word.c_str());
        if (w == nullptr) {
            logmsgf(ZTLOG_DEBUG, "readUnits", "%s is not a recognized units value", word.c_str());
            return kInvalidParameter;
        }
        if (w->unit_class != unit_class) {
            logmsgf(ZTLOG_DEBUG, "readUnits", "%s is not a valid unit type for this value",
                    word.c_str());
            return kInvalidParameter;
        }
        value.unit = w->unit;
    }
    if (rule != nullptr) {
        const bool subst = (rule->flags & kSubstitute) != 0;
        const ZtUnits *limit = nullptr;
        const char *which = nullptr;
        if ((rule->flags & kCheckMin) && units_base(value) < units_base(rule->min))
            limit = &rule->min, which = "minimum";
        else if ((rule->flags & kCheckMax) && units_base(value) > units_base(rule->max))
            limit = &rule->max, which = "maximum";
        if (limit != nullptr) {
            logmsgf(ZTLOG_DEBUG, "readUnits",
                    "Units data (%" PRId64
                    ",%d) out of range on line %d, %s %s legal value (%" PRId64 ",%d).",
                    value.value, value.unit, line,
                    subst ? "substituting" : (limit == &rule->min ? "below" : "above"), which,
                    limit->value, limit->unit);
            if (!subst)
                return kInvalidParameter;
            value = *limit;
        }
    }
    *out = value;
    *cursor = end + strlen(end);
    return 0;
}

int format_units(const void *field, std::string &out, uint64_t, const void *) {
    const auto *u = static_cast<const ZtUnits *>(field);
    out += std::to_string(u->value);
    out += ' ';
    out += getConfigUnitsName(u);
    return 0;
}

// ---- Enum and Flags ----

namespace {

const EnumRow *find_name(const EnumRow *table, const char *text) {
    for (const EnumRow *r = table; r->name != nullptr; ++r)
        if (strcasecmp(r->name, text) == 0)
            return r;
    return nullptr;
}

int32_t table_kind(const EnumRow *table) {
    const EnumRow *r = table;
    while (r->name != nullptr)
        ++r;
    return r->value;
}

const EnumRow *find_value(const EnumRow *table, int32_t value) {
    for (const EnumRow *r = table; r->name != nullptr; ++r)
        if (r->value == value)
            return r;
    return nullptr;
}

// Both types share the reader; Flags ORs so that repeated lines accumulate.
int read_enum_common(char **cursor, void *field, uint64_t arg1, const void *arg2, int line,
                     bool flags) {
    const auto *table = static_cast<const EnumRow *>(arg2);
    auto *out = static_cast<int32_t *>(field);
    char *text = *cursor;
    int32_t value;
    if (const EnumRow *r = find_name(table, text)) {
        value = r->value;
        *cursor = text + strlen(text);
    } else {
        char *c = text;
        bool was_empty;
        int32_t n;
        if (parse_int(&c, &n, arg1, &was_empty) != 0) {
            logmsgf(ZTLOG_DEBUG, "readEnum", "Illegal enumerated value (%s) on line %d.", text,
                    line);
            return kInvalidParameter;
        }
        value = n;
        if (!was_empty) {
            switch (table_kind(table)) {
            case kOrSubstitute:
                if (find_value(table, n) == nullptr) {
                    value = int32_t(arg1);
                    logmsgf(ZTLOG_DEBUG, "readEnum",
                            "Illegal enumerated value (%s) on line %d, subsituting %d", text, line,
                            value);
                }
                break;
            case kBooleanKind:
                value = n != 0;
                break;
            case kInvertedKind:
                value = n == 0;
                break;
            case kNearest:
                if (find_value(table, n) == nullptr) {
                    const EnumRow *best = nullptr;
                    int64_t best_diff = 0;
                    for (const EnumRow *r = table; r->name != nullptr; ++r) {
                        int64_t diff = int64_t(r->value) - n;
                        diff = diff < 0 ? -diff : diff;
                        if (best == nullptr || diff < best_diff)
                            best = r, best_diff = diff;
                    }
                    if (best != nullptr) {
                        value = best->value;
                        logmsgf(ZTLOG_DEBUG, "readEnum",
                                "Illegal enumerated value (%s) on line %d, substituting %s.", text,
                                line, best->name);
                    }
                }
                break;
            case kAnyNumber:
                break;
            default: // kStrict, kRowValueOnly
                if (table_kind(table) == kStrict || find_value(table, n) == nullptr) {
                    logmsgf(ZTLOG_DEBUG, "readEnum", "Illegal enumerated value (%s) on line %d.",
                            text, line);
                    return kInvalidParameter;
                }
                break;
            }
        }
        *cursor = c;
    }
    *out = flags ? (*out | value) : value;
    return 0;
}

} // namespace

int read_enum(char **cursor, void *field, uint64_t arg1, const void *arg2, int line) {
    return read_enum_common(cursor, field, arg1, arg2, line, false);
}

int read_flags(char **cursor, void *field, uint64_t arg1, const void *arg2, int line) {
    return read_enum_common(cursor, field, arg1, arg2, line, true);
}

int format_enum(const void *field, std::string &out, uint64_t, const void *arg2) {
    const auto *table = static_cast<const EnumRow *>(arg2);
    int32_t v = *static_cast<const int32_t *>(field);
    if (const EnumRow *r = find_value(table, v))
        out += r->name;
    else if (table_kind(table) == kAnyNumber)
        out += std::to_string(v);
    return 0;
}

// One NUL-ended piece per named bit, in table order.
int format_flags(const void *field, std::string &out, uint64_t, const void *arg2) {
    const auto *table = static_cast<const EnumRow *>(arg2);
    uint32_t v = uint32_t(*static_cast<const int32_t *>(field));
    uint32_t named = 0;
    for (const EnumRow *r = table; r->name != nullptr; ++r) {
        uint32_t bits = uint32_t(r->value);
        if (bits != 0 && (v & bits) == bits && (named & bits) != bits) {
            out += r->name;
            out += '\0';
            named |= bits;
        }
    }
    return (v & ~named) != 0 ? kInvalidParameter : 0;
}

// ---- IPAddr ----

namespace {

enum IpClass : uint32_t {
    kClassAHost = 1,
    kClassBHost = 2,
    kClassCHost = 4,
    kClassANet = 8,
    kClassBNet = 16,
    kClassCNet = 32,
    kClassABcast = 64,
    kClassBBcast = 128,
    kClassCBcast = 256,
    kZeroNet = 512,
    kClassD = 1024,
    kClassE = 2048,
    kLoopback = 4096,
    kAllOnes = 8192,
    kAllZeros = 16384,
};

uint32_t classify(uint32_t a) {
    if (a == 0xFFFFFFFFu)
        return kAllOnes;
    if (a == 0)
        return kAllZeros;
    if ((a >> 24) == 127)
        return kLoopback;
    if ((a >> 24) == 0)
        return kZeroNet;
    auto host = [a](uint32_t mask, uint32_t h, uint32_t n, uint32_t b) {
        uint32_t part = a & mask;
        return part == 0 ? n : part == mask ? b : h;
    };
    if ((a & 0x80000000u) == 0)
        return host(0x00FFFFFFu, kClassAHost, kClassANet, kClassABcast);
    if ((a & 0xC0000000u) == 0x80000000u)
        return host(0x0000FFFFu, kClassBHost, kClassBNet, kClassBBcast);
    if ((a & 0xE0000000u) == 0xC0000000u)
        return host(0x000000FFu, kClassCHost, kClassCNet, kClassCBcast);
    if ((a & 0xF0000000u) == 0xE0000000u)
        return kClassD;
    return kClassE;
}

} // namespace

int read_ipaddr(char **cursor, void *field, uint64_t arg1, const void *, int line) {
    char *p = *cursor;
    int64_t parts[4];
    int count = 0;
    char *c = p;
    for (;;) {
        if (!isdigit(static_cast<unsigned char>(*c)) || count == 4)
            goto bad;
        errno = 0;
        char *end;
        unsigned long long v = strtoull(c, &end, 0);
        if (end == c || errno != 0 || v > 0xFFFFFFFFull)
            goto bad;
        parts[count++] = int64_t(v);
        c = end;
        if (*c != '.')
            break;
        ++c;
    }
    {
        // a; a.b (8.24); a.b.c (8.8.16); a.b.c.d (8 bits each)
        static const int kLastBits[4] = {32, 24, 16, 8};
        uint32_t addr = 0;
        for (int i = 0; i < count - 1; ++i) {
            if (parts[i] > 255)
                goto bad;
            addr |= uint32_t(parts[i]) << (24 - 8 * i);
        }
        int bits = kLastBits[count - 1];
        if (bits < 32 && parts[count - 1] >= (int64_t(1) << bits))
            goto bad;
        addr |= uint32_t(parts[count - 1]);
        uint32_t cls = classify(addr);
        if ((arg1 & cls) != cls) {
            logmsgf(ZTLOG_DEBUG, "readIPAddr", "Wrong class of IP address (%s) on line %d", p,
                    line);
            return kInvalidParameter;
        }
        uint8_t *o = static_cast<uint8_t *>(field); // network byte order
        o[0] = uint8_t(addr >> 24), o[1] = uint8_t(addr >> 16), o[2] = uint8_t(addr >> 8),
        o[3] = uint8_t(addr);
        *cursor = c;
        return 0;
    }
bad:
    logmsgf(ZTLOG_DEBUG, "readIPAddr", "Badly formed IP address (%s) on line %d", p, line);
    return kInvalidParameter;
}

int format_ipaddr(const void *field, std::string &out, uint64_t, const void *) {
    const uint8_t *o = static_cast<const uint8_t *>(field);
    out += std::to_string(o[0]) + '.' + std::to_string(o[1]) + '.' + std::to_string(o[2]) + '.' +
           std::to_string(o[3]);
    return 0;
}

// ---- String ----

int read_string(char **cursor, void *field, uint64_t arg1, const void *, int line) {
    char *token = *cursor;
    char *end;
    int term = isolate_token(&token, uint32_t(arg1) & kDelimMask, &end);
    if (term < 0) {
        logmsgf(ZTLOG_DEBUG, "readString", "Unbalanced quotes or brackets (%s) on line %d.",
                *cursor, line);
        return kInvalidParameter;
    }
    size_t len = strlen(token);
    size_t keep = len;
    size_t max = arg1 & kMaxLengthMask;
    if (max != 0 && len > max) {
        keep = max;
        char msg[1024];
        int n = snprintf(msg, sizeof msg, "String too long on line %d.  Truncating \"%.500s\"",
                         line, token);
        std::string cut(token, keep);
        if (n >= 0 && size_t(n) + cut.size() + 7 < sizeof msg)
            snprintf(msg + n, sizeof msg - size_t(n), " to \"%s\".", cut.c_str());
        logmsg(ZTLOG_DEBUG, msg, "readString");
    }
    char *copy = nullptr;
    if (keep > 0 && (copy = strndup(token, keep)) == nullptr) {
        if (term > 0)
            *end = char(term);
        logmsgf(ZTLOG_DEBUG, "readString", "Out of memory on line %d.", line);
        return kAllocFailed;
    }
    char **slot = static_cast<char **>(field);
    free(*slot);
    *slot = copy;
    if (term > 0) {
        *end = char(term);
        *cursor = end + 1;
    } else {
        *cursor = token + len;
    }
    return 0;
}

int format_string(const void *field, std::string &out, uint64_t, const void *) {
    if (const char *s = *static_cast<char *const *>(field))
        out += s;
    return 0;
}

int copy_string(void *dst, const void *src, uint64_t, const void *) {
    const char *s = *static_cast<char *const *>(src);
    char *copy = nullptr;
    if (s != nullptr && (copy = strdup(s)) == nullptr)
        return kAllocFailed;
    *static_cast<char **>(dst) = copy;
    return 0;
}

void free_string(void *field, uint64_t, const void *) {
    char **slot = static_cast<char **>(field);
    free(*slot);
    *slot = nullptr;
}

} // namespace ztbase::config

extern "C" ZTBASE_API const char *getConfigUnitsName(const ZtUnits *value) {
    using namespace ztbase::config;
    if (value == nullptr || value->unit < 0 || value->unit >= kUnitCount)
        return kUnits[0].singular;
    const UnitInfo &u = kUnits[value->unit];
    return value->value == 1 || value->value == -1 ? u.singular : u.plural;
}

extern "C" ZTBASE_API int64_t computeConfigUnitsBaseValue(const ZtUnits *value) {
    if (value == nullptr)
        return 0;
    __int128 v = ztbase::config::units_base(*value);
    if (v > INT64_MAX)
        return INT64_MAX;
    if (v < INT64_MIN)
        return INT64_MIN;
    return int64_t(v);
}
