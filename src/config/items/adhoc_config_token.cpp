// The tokenizer shared by every reader of the configuration item table.
// Leading white space is skipped (for the line class only up to a line end);
// the token is isolated in place by writing a NUL, and the character it
// replaced is returned so that the caller can put it back at
// token + strlen(token). Where trailing white space is cut from a token that
// ended at a terminator, the terminator's own position becomes a space, so the
// text after it stays intact.
#include <cctype>
#include <cstring>

#include "config/items/adhoc_config_ops.h"

namespace ztbase::config {
namespace {

bool space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// Ends the token [start, stop) at stop, where `term` stands: trailing white
// space is cut and the terminator position turned into a space when so.
char *end_token(char *start, char *stop, bool cut_trailing) {
    char *nul = stop;
    if (cut_trailing)
        while (nul > start && space(nul[-1]))
            --nul;
    if (nul != stop)
        *stop = ' ';
    *nul = '\0';
    return nul;
}

} // namespace

int isolate_token(char **cursor, uint32_t delimiter_class, char **end) {
    char *p = *cursor;
    *end = nullptr;
    if (delimiter_class == kLine) {
        while (*p != '\0' && *p != '\n' && !(*p == '\r' && p[1] != '\n') && space(*p))
            ++p;
    } else {
        while (space(*p))
            ++p;
    }
    *cursor = p;
    switch (delimiter_class) {
    case kWord: {
        char *q = p;
        while (*q != '\0' && !space(*q))
            ++q;
        if (*q == '\0')
            return 0;
        *q = '\0';
        *end = q;
        return ' ';
    }
    case kEquals:
    case kComma: {
        char delim = delimiter_class == kEquals ? '=' : ',';
        char *q = strchr(p, delim);
        if (q == nullptr)
            return 0;
        *end = end_token(p, q, true);
        return delim;
    }
    case kLine: {
        char *q = p;
        while (*q != '\0' && *q != '\n' && *q != '\r')
            ++q;
        if (*q == '\0')
            return 0;
        if (*q == '\r' && q[1] == '\n') {
            *q = ' '; // the '\r' of a "\r\n" pair
            ++q;
        }
        *end = end_token(p, q, true);
        return '\n';
    }
    case kQuoted: {
        if (*p != '"')
            return -1;
        char *q = strchr(p + 1, '"');
        if (q == nullptr)
            return -1;
        *cursor = p + 1;
        *q = '\0';
        *end = q;
        return '"';
    }
    case kParen:
    case kBrace: {
        char open = delimiter_class == kParen ? '(' : '{';
        char close = delimiter_class == kParen ? ')' : '}';
        if (*p != open)
            return -1;
        int depth = 1;
        char *q = p + 1;
        for (; *q != '\0'; ++q) {
            if (*q == open)
                ++depth;
            else if (*q == close && --depth == 0)
                break;
        }
        if (*q == '\0')
            return -1;
        *cursor = p + 1;
        *end = end_token(p + 1, q, true);
        return close;
    }
    default: // kWhole, kOneLine and any other class: the rest of the text
        return 0;
    }
}

} // namespace ztbase::config

extern "C" ZTBASE_API int getConfigTokenA(char **cursor, int delimiterClass) {
    if (cursor == nullptr || *cursor == nullptr)
        return -1;
    char *end;
    return ztbase::config::isolate_token(
        cursor, uint32_t(delimiterClass) & ztbase::config::kDelimMask, &end);
}
