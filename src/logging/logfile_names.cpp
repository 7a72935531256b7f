// Debug log file names: accepted forms, validity, order and the date a name
// carries. Names come from directory listings and callers alike, so every
// part is matched by position and length, never with a scanf pattern built
// from the name itself.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "logging/logfile_names.h"
#include "ztbase/dates.h"
#include "ztbase/logfiles.h"
#include "ztbase/strings.h"

namespace ztbase::logfiles {
namespace {

constexpr std::array<std::string_view, 4> kCompressionSuffixes = {".zlib", ".gz", ".zip", ".Z"};
constexpr int kFirstDate = 10100;
constexpr int kLastDate = 123199;

bool is_digits(std::string_view s, size_t n) {
    if (s.size() != n)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

int number(std::string_view digits) {
    int n = 0;
    for (char c : digits)
        n = n * 10 + (c - '0');
    return n;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equal_nocase(s.substr(0, prefix.size()), prefix);
}

size_t compression_suffix_size(std::string_view name) {
    for (std::string_view suffix : kCompressionSuffixes)
        if (name.size() >= suffix.size() &&
            equal_nocase(name.substr(name.size() - suffix.size()), suffix))
            return suffix.size();
    return 0;
}

bool hxms_separator(char c) {
    return c == '-' || c == '.' || c == '_' || c == ' ' || (c >= '\t' && c <= '\r');
}

// HxMS-<number>-<user>-<a>-<b>.log (or _core, _provider): the date is the
// first of a and b that is a number.
std::optional<NameParts> parse_hxms(std::string_view name) {
    if (!name.ends_with(".log") && !name.ends_with("_core") && !name.ends_with("_provider"))
        return std::nullopt;
    std::array<std::string_view, 6> field;
    size_t n = 0;
    for (size_t i = 0; i < name.size();) {
        if (hxms_separator(name[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < name.size() && !hxms_separator(name[end]))
            ++end;
        if (n == field.size())
            return std::nullopt;
        field[n++] = name.substr(i, end - i);
        i = end;
    }
    if (n != field.size() || !is_digits(field[1], field[1].size()))
        return std::nullopt;
    if (field[5] != "log" && field[5] != "core" && field[5] != "provider")
        return std::nullopt;
    const std::string_view date = is_digits(field[3], field[3].size())   ? field[3]
                                  : is_digits(field[4], field[4].size()) ? field[4]
                                                                         : std::string_view();
    if (!is_digits(date, 6))
        return std::nullopt;
    NameParts parts;
    if (auto user = user_part(name)) {
        parts.user = *user;
        parts.has_user = true;
    }
    parts.date = date;
    parts.fields = 1;
    return parts;
}

} // namespace

int compare_keyed(const Keyed &a, const Keyed &b) {
    const int by_key = a.key.compare(b.key);
    if (by_key != 0)
        return by_key < 0 ? -1 : 1;
    // A compressed copy before the live file, so that the live one counts as newest.
    if (a.compressed != b.compressed)
        return a.compressed ? -1 : 1;
    const int by_name = std::strcmp(a.name, b.name);
    return (by_name > 0) - (by_name < 0);
}

int copy_out(std::string_view s, char *out, size_t size) {
    if (out == nullptr || size == 0)
        return 0;
    const size_t n = s.size() < size - 1 ? s.size() : size - 1;
    if (n != 0)
        std::memcpy(out, s.data(), n); // an empty view may have no data at all
    out[n] = '\0';
    return static_cast<int>(n);
}

std::optional<std::string_view> user_part(std::string_view name) {
    int dots = compression_suffix_size(name) != 0 ? 3 : 2;
    for (size_t i = name.size(); i-- > 0;)
        if (name[i] == '.' && --dots == 0)
            return name.substr(0, i);
    return std::nullopt;
}

std::optional<NameParts> parse_name(std::string_view name) {
    if (starts_with_nocase(name, "HxMS-"))
        return parse_hxms(name);

    NameParts parts;
    parts.compressed = compression_suffix_size(name) != 0;
    std::string_view rest = name.substr(0, name.size() - compression_suffix_size(name));
    if (auto user = user_part(name)) {
        parts.user = *user;
        parts.has_user = true;
        rest.remove_prefix(user->size() + 1);
    }
    if (rest.size() == 16 && rest[6] == '_' && rest.ends_with(".log") &&
        is_digits(rest.substr(0, 6), 6) && is_digits(rest.substr(7, 5), 5)) {
        // [user.]MMDDYY_NNNNN.log[suffix]
        parts.date = rest.substr(0, 6);
        parts.seq = number(rest.substr(7, 5));
        parts.fields = parts.compressed ? 3 : 2;
    } else if (rest.size() == 10 && rest.ends_with(".log") && is_digits(rest.substr(0, 6), 6) &&
               (parts.has_user || !parts.compressed)) {
        // user.MMDDYY.log[suffix] or MMDDYY.log
        parts.date = rest.substr(0, 6);
        parts.fields = 1;
    } else if (!parts.has_user && rest.size() == 10 && rest.starts_with("log.") &&
               is_digits(rest.substr(4), 6)) {
        // log.MMDDYY[suffix]
        parts.date = rest.substr(4);
        parts.fields = 1;
    } else {
        return std::nullopt;
    }
    return parts;
}

bool valid_parts(const NameParts &parts) {
    const int date = number(parts.date);
    return date >= kFirstDate && date <= kLastDate && parts.seq >= 0 && parts.seq <= 99999;
}

std::string sort_key(const NameParts &parts) {
    std::string key(parts.has_user ? parts.user : std::string_view("root"));
    key += '.';
    key.append(parts.date.substr(4, 2)); // year
    key.append(parts.date.substr(0, 4)); // month, day
    char seq[8];
    std::snprintf(seq, sizeof seq, "%05d", parts.seq);
    key += seq;
    return key;
}

} // namespace ztbase::logfiles

using ztbase::logfiles::copy_out;
using ztbase::logfiles::NameParts;
using ztbase::logfiles::parse_name;

extern "C" {

ZTBASE_API int ZtLog_ParseLogFileName(char *date_out, size_t date_size, char *user_out,
                                      size_t user_size, int *seq_out, const char *name) {
    const auto parts = name != nullptr ? parse_name(name) : std::nullopt;
    const NameParts found = parts.value_or(NameParts());
    copy_out(found.date, date_out, date_size);
    const int copied = copy_out(found.user, user_out, user_size);
    if (seq_out != nullptr)
        *seq_out = found.seq;
    if (!parts)
        return 0;
    return user_out != nullptr && user_size != 0 ? copied : found.fields;
}

ZTBASE_API int log_parse_logfile_name(char *date_out, size_t date_size, char *user_out,
                                      size_t user_size, int *seq_out, const char *name) {
    return ZtLog_ParseLogFileName(date_out, date_size, user_out, user_size, seq_out, name);
}

ZTBASE_API int ZtLog_IsValidLogFileFormat(const char *name, char *date_out, size_t date_size,
                                          char *user_out, size_t user_size, int *seq_out,
                                          int *compressed) {
    auto parts = name != nullptr ? parse_name(name) : std::nullopt;
    if (parts && !ztbase::logfiles::valid_parts(*parts))
        parts.reset();
    const NameParts found = parts.value_or(NameParts());
    copy_out(found.date, date_out, date_size);
    copy_out(found.user, user_out, user_size);
    if (seq_out != nullptr)
        *seq_out = found.seq;
    if (compressed != nullptr)
        *compressed = found.compressed ? 1 : 0;
    return parts ? 1 : 0;
}

ZTBASE_API int ZtLog_CompareFileName(const char *a, const char *b) {
    if (a == nullptr || b == nullptr)
        return (a != nullptr) - (b != nullptr);
    const auto pa = parse_name(a);
    const auto pb = parse_name(b);
    if (pa.has_value() != pb.has_value())
        return pa ? 1 : -1;
    if (!pa) {
        const int by_name = std::strcmp(a, b);
        return (by_name > 0) - (by_name < 0);
    }
    try {
        return ztbase::logfiles::compare_keyed(
            {ztbase::logfiles::sort_key(*pa), pa->compressed, a},
            {ztbase::logfiles::sort_key(*pb), pb->compressed, b});
    } catch (const std::bad_alloc &) {
        const int by_name = std::strcmp(a, b); // no memory for the keys: an order still
        return (by_name > 0) - (by_name < 0);
    }
}

ZTBASE_API int ZtLog_Extract_Date_From_Filename(const char *name, char *msg, size_t msg_size,
                                                time_t *t) {
    if (msg != nullptr && msg_size != 0)
        msg[0] = '\0';
    auto parts = name != nullptr ? parse_name(name) : std::nullopt;
    if (!parts || !ztbase::logfiles::valid_parts(*parts)) {
        if (msg != nullptr && msg_size != 0)
            V_snprintf(msg, msg_size, "%s is not a valid debug log file name",
                       name != nullptr ? name : "(null)");
        return 106;
    }
    const std::string_view date = parts->date;
    const int month = (date[0] - '0') * 10 + (date[1] - '0');
    const int day = (date[2] - '0') * 10 + (date[3] - '0');
    const int yy = (date[4] - '0') * 10 + (date[5] - '0');
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return 106;

    // "%d/%d/%d" through the date parser, at the start of the day.
    char text[16];
    V_snprintf(text, sizeof text, "%d/%d/%d", month, day, yy);
    time_t when = 0;
    if (convert2unixdate(text, &when, 1) != 1) {
        if (msg != nullptr && msg_size != 0)
            V_snprintf(msg, msg_size, "Could not convert to unix date for file %s. Invalid Date",
                       name);
        return 109;
    }
    if (t != nullptr)
        *t = when;
    return 0;
}

} // extern "C"
