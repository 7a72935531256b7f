// The record codec: one record, one line (format in include/hxul/hxul.h).
#include <charconv>
#include <limits>
#include <cstring>

#include "hxul_internal.h"

namespace hxul {
namespace {

const char kHex[] = "0123456789ABCDEF";

// Length of the valid UTF-8 sequence at s (n bytes left), 0 when invalid.
size_t utf8_len(const unsigned char *s, size_t n) {
    const unsigned char c = s[0];
    size_t len;
    unsigned min;
    unsigned cp;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        len = 2, cp = c & 0x1F, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF)
        len = 3, cp = c & 0x0F, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4)
        len = 4, cp = c & 0x07, min = 0x10000;
    else
        return 0;
    if (len > n)
        return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// Appends a field: escaped, valid UTF-8, at most max input bytes (then "...").
void put_field(std::string &out, const char *text, size_t max, bool utf8) {
    if (text == nullptr)
        return;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t n = strlen(text);
    const bool cut = n > max;
    if (cut)
        n = max;
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            size_t j = i + 1;
            while (j < n && s[j] >= 0x20 && s[j] < 0x7F && s[j] != '\\')
                ++j;
            out.append(text + i, j - i);
            i = j;
            continue;
        }
        if (c < 0x80) {
            switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
            ++i;
            continue;
        }
        const size_t len = utf8_len(s + i, n - i);
        if (len > 0) {
            out.append(text + i, len);
            i += len;
        } else if (utf8) {
            out += "\xEF\xBF\xBD"; // U+FFFD
            ++i;
        } else { // a byte of an 8-bit text, read as Latin-1
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
            ++i;
        }
    }
    if (cut)
        out += "...";
}

void put_num(std::string &out, uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

template <class T> bool get_num(std::string_view f, T &v) {
    if (f.empty() || f.size() > 19)
        return false;
    uint64_t x = 0;
    for (char c : f) {
        if (c < '0' || c > '9')
            return false;
        x = x * 10 + uint64_t(c - '0');
    }
    if (x > uint64_t(std::numeric_limits<T>::max()))
        return false;
    v = T(x);
    return true;
}

int hexval(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Undoes put_field's escapes; false on a bad escape or a raw control byte.
bool unescape(std::string_view f, std::string &out) {
    out.clear();
    const char *p = f.data();
    const char *const end = p + f.size();
    const char *run = p; // start of the bytes not yet copied
    // One pass: plain bytes are copied in runs; a backslash or a raw control
    // byte ends a run.
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    while (p < end) {
        // Eight plain bytes at a time: none below 0x20, none 0x7F or '\\'.
        if (end - p >= 8) {
            uint64_t w;
            memcpy(&w, p, 8);
            const uint64_t below = (w - kOnes * 0x20) & ~w & kHighs;
            const uint64_t del = w ^ (kOnes * 0x7F), bs = w ^ (kOnes * '\\');
            const uint64_t hit = below | ((del - kOnes) & ~del & kHighs) | ((bs - kOnes) & ~bs & kHighs);
            if (hit == 0) {
                p += 8;
                continue;
            }
        }
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != 0x7F && c != '\\') {
            ++p;
            continue;
        }
        if (c != '\\' || p + 1 >= end)
            return false;
        out.append(run, size_t(p - run));
        switch (p[1]) {
        case '\\': out += '\\'; p += 2; break;
        case 't': out += '\t'; p += 2; break;
        case 'n': out += '\n'; p += 2; break;
        case 'r': out += '\r'; p += 2; break;
        case 'x': {
            if (end - p < 4)
                return false;
            const int h = hexval(p[2]), l = hexval(p[3]);
            if (h < 0 || l < 0)
                return false;
            out += char(h * 16 + l);
            p += 4;
            break;
        }
        default: return false;
        }
        run = p;
    }
    out.append(run, size_t(p - run));
    return true;
}

} // namespace

void encode(const Draft &d, std::string &out) {
    char t[kTimeDigits + 1];
    int64_t ms = d.time_ms < 0 ? 0 : d.time_ms;
    for (int i = kTimeDigits - 1; i >= 0; --i) {
        t[i] = char('0' + ms % 10);
        ms /= 10;
    }
    out.append(t, kTimeDigits);
    out += '\t';
    out += d.kind == HLVN_KIND_DEBUG ? "DBG" : d.kind == HLVN_KIND_DIAG ? "DIAG" : "APP";
    out += '\t';
    if (d.level < 0)
        out += '0';
    else
        put_num(out, uint64_t(d.level));
    for (unsigned long v : {d.product, d.originator, d.pid, d.tid}) {
        out += '\t';
        put_num(out, v);
    }
    out += '\t';
    put_field(out, d.who, kMaxWho, d.utf8);
    out += '\t';
    put_num(out, d.msgid);
    const int n = d.kind == HLVN_KIND_DEBUG ? 1 : d.nfields < 0 ? 0 : std::min(d.nfields, kMaxArgs);
    out += '\t';
    put_num(out, uint64_t(n));
    for (int i = 0; i < n; ++i) {
        out += '\t';
        const char *f = d.fields != nullptr ? d.fields[i] : nullptr;
        put_field(out, f, d.kind == HLVN_KIND_DEBUG ? kMaxText : kMaxArg, d.utf8);
    }
    out += '\n';
}

bool parse(std::string_view line, hlvnLogRecord &rec) {
    if (line.size() > HLVN_MAX_LINE)
        return false;
    std::string_view f[10];
    size_t pos = 0;
    // The leading fields are short: a plain loop beats a search call each.
    for (int i = 0; i < 9; ++i) {
        size_t tab = pos;
        while (tab < line.size() && line[tab] != '\t')
            ++tab;
        if (tab == line.size())
            return false;
        f[i] = line.substr(pos, tab - pos);
        pos = tab + 1;
    }
    size_t tab = line.find('\t', pos);
    f[9] = line.substr(pos, tab == std::string_view::npos ? std::string_view::npos : tab - pos);
    if (f[0].size() != kTimeDigits || !get_num(f[0], rec.time_ms))
        return false;
    if (f[1] == "DBG")
        rec.kind = HLVN_KIND_DEBUG;
    else if (f[1] == "DIAG")
        rec.kind = HLVN_KIND_DIAG;
    else if (f[1] == "APP")
        rec.kind = HLVN_KIND_APP;
    else
        return false;
    unsigned level = 0, nargs = 0;
    if (!get_num(f[2], level) || level > 1000 || !get_num(f[3], rec.product) ||
        !get_num(f[4], rec.originator) || !get_num(f[5], rec.pid) || !get_num(f[6], rec.tid) ||
        !unescape(f[7], rec.who) || !get_num(f[8], rec.msgid) || !get_num(f[9], nargs))
        return false;
    if (rec.kind == HLVN_KIND_DEBUG ? nargs != 1 : nargs > unsigned(kMaxArgs))
        return false;
    rec.level = int(level);
    // Exactly nargs fields follow, each after a tab.
    if ((nargs == 0) != (tab == std::string_view::npos))
        return false;
    if (rec.fields.size() < nargs)
        rec.fields.resize(nargs);
    pos = tab + 1;
    for (unsigned i = 0; i < nargs; ++i) {
        tab = line.find('\t', pos);
        const bool last = i + 1 == nargs;
        if (last != (tab == std::string_view::npos))
            return false;
        const size_t end = last ? line.size() : tab;
        if (!unescape(line.substr(pos, end - pos), rec.fields[i]))
            return false;
        pos = end + 1;
    }
    rec.nfields = nargs;
    return true;
}

bool parse_or_resync(std::string_view line, hlvnLogRecord &rec) {
    if (parse(line, rec))
        return true;
    // A record starts with exactly 13 digits and a tab. The piece a killed
    // writer left cannot make a later start look different, since fields
    // hold no raw tabs.
    for (size_t tab = line.find('\t', kTimeDigits + 1); tab != std::string_view::npos;
         tab = line.find('\t', tab + 1)) {
        const size_t start = tab - kTimeDigits;
        bool digits = true;
        for (size_t k = start; k < tab && digits; ++k)
            digits = line[k] >= '0' && line[k] <= '9';
        if (digits && parse(line.substr(start), rec))
            return true;
    }
    return false;
}

} // namespace hxul

using hxul::parse;

extern "C" {

HXUL_API int hlvnLogRecordParse(const char *line, size_t len, hlvnLogRecord **record) {
    if (record == nullptr)
        return HLVN_E_PARAM;
    *record = nullptr;
    if (line == nullptr)
        return HLVN_E_PARAM;
    auto *rec = new (std::nothrow) hlvnLogRecord;
    if (rec == nullptr)
        return HLVN_E_NOMEM;
    try {
        if (!parse(std::string_view(line, len), *rec)) {
            delete rec;
            return HLVN_E_BADRECORD;
        }
    } catch (...) {
        delete rec;
        return HLVN_E_NOMEM;
    }
    *record = rec;
    return HLVN_OK;
}

HXUL_API void hlvnLogRecordFree(hlvnLogRecord *record) {
    delete record;
}

#define HXUL_GETTER(name, type, expr)                                                          \
    HXUL_API int name(const hlvnLogRecord *r, type *out) {                                     \
        if (r == nullptr || out == nullptr)                                                    \
            return HLVN_E_PARAM;                                                               \
        *out = (expr);                                                                         \
        return HLVN_OK;                                                                        \
    }

HXUL_GETTER(hlvnLogRecGetKind, hlvnLogKind_t, r->kind)
HXUL_GETTER(hlvnLogRecGetTime, int64_t, r->time_ms)
HXUL_GETTER(hlvnLogRecGetLevel, int, r->level)
HXUL_GETTER(hlvnLogRecGetProduct, unsigned long, r->product)
HXUL_GETTER(hlvnLogRecGetOriginator, unsigned long, r->originator)
HXUL_GETTER(hlvnLogRecGetPid, unsigned long, r->pid)
HXUL_GETTER(hlvnLogRecGetTid, unsigned long, r->tid)
HXUL_GETTER(hlvnLogRecGetWho, const char *, r->who.c_str())
HXUL_GETTER(hlvnLogRecGetMsgId, unsigned long, r->msgid)
HXUL_GETTER(hlvnLogRecGetArgCount, int, r->kind == HLVN_KIND_DEBUG ? 0 : int(r->nfields))

HXUL_API int hlvnLogRecGetSeverity(const hlvnLogRecord *r, hlvnLogSeverity_t *severity) {
    if (r == nullptr || severity == nullptr)
        return HLVN_E_PARAM;
    if (r->kind != HLVN_KIND_APP || r->level > HLVN_SEV_EMERGENCY)
        return HLVN_E_NOTSET;
    *severity = hlvnLogSeverity_t(r->level);
    return HLVN_OK;
}

HXUL_API int hlvnLogRecGetText(const hlvnLogRecord *r, const char **text) {
    if (r == nullptr || text == nullptr)
        return HLVN_E_PARAM;
    if (r->kind != HLVN_KIND_DEBUG || r->nfields != 1)
        return HLVN_E_NOTSET;
    *text = r->fields[0].c_str();
    return HLVN_OK;
}

HXUL_API int hlvnLogRecGetArg(const hlvnLogRecord *r, int index, const char **arg) {
    if (r == nullptr || arg == nullptr || index < 0)
        return HLVN_E_PARAM;
    if (r->kind == HLVN_KIND_DEBUG || size_t(index) >= r->nfields)
        return HLVN_E_NOTSET;
    *arg = r->fields[size_t(index)].c_str();
    return HLVN_OK;
}

} // extern "C"
