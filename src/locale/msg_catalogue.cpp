#include "locale/msg_catalogue.h"

#include <cstring>

#include <unicode/ucnv.h>

namespace ztbase::msgcat {

namespace {

size_t utf8_step(const unsigned char *p, const unsigned char *end) {
    const unsigned char c = *p;
    size_t n = c < 0x80             ? 1
               : (c & 0xE0) == 0xC0 ? 2
               : (c & 0xF0) == 0xE0 ? 3
               : (c & 0xF8) == 0xF0 ? 4
                                    : 1;
    if (n > static_cast<size_t>(end - p))
        return 1;
    for (size_t i = 1; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return 1;
    return n;
}

bool is_utf8_name(const std::string &name) {
    std::string folded;
    for (char c : name)
        if (c != '-' && c != '_')
            folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return folded.empty() || folded == "utf8";
}

char unescape(char c) {
    switch (c) {
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'v':
        return '\v';
    default:
        return c;
    }
}

} // namespace

CharSet::CharSet(const std::string &codeset) {
    if (is_utf8_name(codeset))
        return;
    UErrorCode status = U_ZERO_ERROR;
    UConverter *cnv = ucnv_open(codeset.c_str(), &status);
    if (U_FAILURE(status)) {
        if (cnv != nullptr)
            ucnv_close(cnv);
        return;
    }
    // Stop at each invalid byte rather than substituting a character.
    status = U_ZERO_ERROR;
    ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    converter_ = cnv;
}

CharSet::~CharSet() {
    if (converter_ != nullptr)
        ucnv_close(static_cast<UConverter *>(converter_));
}

size_t CharSet::step(const char *p, const char *end) {
    if (p >= end)
        return 0;
    if (converter_ == nullptr || static_cast<unsigned char>(*p) < 0x80)
        return utf8_step(reinterpret_cast<const unsigned char *>(p),
                         reinterpret_cast<const unsigned char *>(end));
    auto *cnv = static_cast<UConverter *>(converter_);
    const char *src = p;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_getNextUChar(cnv, &src, end, &status);
    if (U_FAILURE(status) || src <= p) {
        ucnv_reset(cnv);
        return 1;
    }
    return static_cast<size_t>(src - p);
}

bool parse_line(std::string_view line, CharSet &charset, Message &out) {
    if (line.empty() || line.front() == '#' || line.find('\0') != std::string_view::npos)
        return false;
    size_t i = 0;
    while (i < line.size() && line[i] > ' ' && line[i] < 0x7F && line[i] != '"')
        ++i;
    if (i == 0 || i >= line.size() || (line[i] != ' ' && line[i] != '\t'))
        return false;
    const std::string_view id = line.substr(0, i);
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    if (i >= line.size() || line[i] != '"')
        return false;
    const char *begin = line.data() + i + 1;
    const char *end = line.data() + line.size();
    // The last double quote that is a character of its own.
    const char *close = nullptr;
    for (const char *p = begin; p < end; p += charset.step(p, end))
        if (*p == '"')
            close = p;
    if (close == nullptr)
        return false;
    std::string text;
    text.reserve(static_cast<size_t>(close - begin));
    for (const char *p = begin; p < close;) {
        const size_t n = charset.step(p, close);
        if (n == 1 && *p == '\\' && p + 1 < close) {
            const size_t m = charset.step(p + 1, close);
            if (m == 1)
                text += unescape(p[1]);
            else
                text.append(p + 1, m);
            p += 1 + m;
        } else {
            text.append(p, n);
            p += n;
        }
    }
    out.id.assign(id);
    out.text = std::move(text);
    return true;
}

void parse_catalogue(std::string_view bytes, CharSet &charset,
                     const std::function<void(Message &&)> &each) {
    while (!bytes.empty()) {
        const size_t nl = bytes.find('\n');
        std::string_view line = bytes.substr(0, nl);
        bytes.remove_prefix(nl == std::string_view::npos ? bytes.size() : nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        Message m;
        if (parse_line(line, charset, m))
            each(std::move(m));
    }
}

} // namespace ztbase::msgcat
