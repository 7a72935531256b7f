// Checks on texts that reach a shell or a file name: the shell-safety check,
// client names, percent encodings, and absolute paths.
//
// The shell-safety check refuses everything that lets a shell run a second
// command (';', '&', '|', '`', "$(", line ends) and every redirection except
// to /dev/null, below /tmp/ or to descriptors 1 and 2. A /tmp/ target is read
// as the shell reads it (quotes and backslashes removed) before it is searched
// for "..", and may not expand a variable. A text in a multibyte charset whose
// characters hide such a byte from the check is refused too.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include <ztbase/debuglog.h>
#include <ztbase/strings.h>
#include <ztbase/ztconf.h>

namespace {

constexpr const char *kTag = "sanitary_mb_str";

bool is_space(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

bool starts_with(std::u16string_view s, size_t at, const char16_t *word) {
    size_t n = std::char_traits<char16_t>::length(word);
    return s.compare(at, n, word) == 0;
}

bool ends_word(std::u16string_view s, size_t at) {
    return at >= s.size() || is_space(s[at]);
}

// What a /tmp/ redirection target leaves: the text up to the next blank with
// the shell's quotes and backslashes gone. false when it escapes /tmp/.
bool tmp_target_stays(std::u16string_view s, size_t from) {
    if (s.find(u"..", from) != std::u16string_view::npos ||
        s.find(u"\\.\\.", from) != std::u16string_view::npos)
        return false;
    char16_t previous = 0;
    // A name beginning with '.' that holds a pattern (".?", ".*", ".[.]")
    // may match ".." where the shell expands patterns in a redirection.
    bool dot_name = false;
    for (size_t i = from; i < s.size() && !is_space(s[i]); ++i) {
        if (s[i] == u'$') // the shell would put a value of its own here
            return false;
        if (s[i] == u'\\' || s[i] == u'"' || s[i] == u'\'')
            continue;
        if (s[i] == u'.' && previous == u'.')
            return false;
        if (previous == 0 || previous == u'/')
            dot_name = s[i] == u'.';
        if (dot_name && (s[i] == u'*' || s[i] == u'?' || s[i] == u'['))
            return false;
        previous = s[i];
    }
    return true;
}

// Null when the text is safe; otherwise the reason.
const char *check(std::u16string_view s, bool no_white_space, const char *text) {
    const bool media = strstr(text, "HxFIv5") != nullptr;
    if (media)
        logmsgf(ZTLOG_DEBUG, kTag, "The mb_str is having media disc with HxFIv5 :[%s]", text);
    // Separators, substitutions and line ends are refused wherever they
    // stand, also inside the blanks a redirection may have.
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c == u';' || c == u'|' || c == u'`' || c == u'\n' || c == u'\r' ||
            (c == u'$' && i + 1 < s.size() && s[i + 1] == u'('))
            return "Found illegal character.";
    }
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (no_white_space && is_space(c))
            return "Found white space when we required none.";
        // $IFS is white space the shell puts in: one word would become many.
        if (no_white_space && c == u'$' &&
            (starts_with(s, i + 1, u"IFS") || starts_with(s, i + 1, u"{IFS")))
            return "Found white space when we required none.";
    }
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c == u';' || c == u'&' || c == u'|' || c == u'`' || c == u'\n' || c == u'\r' ||
            (c == u'$' && i + 1 < s.size() && s[i + 1] == u'('))
            return "Found illegal character.";
        if (media)
            continue;
        if (c == u'<') {
            size_t j = i + 1;
            while (j < s.size() && is_space(s[j]))
                ++j;
            if (!starts_with(s, j, u"/dev/null"))
                return "Found redirection in attempt without proper path";
            j += 9;
            if (!ends_word(s, j))
                return "Found redirect in from /dev/null in string with trailing data after it "
                       "with out whitespace.";
            i = j - 1;
        } else if (c == u'>') {
            size_t j = i + 1;
            bool amp = false;
            while (j < s.size() && (is_space(s[j]) || (s[j] == u'&' && !amp))) {
                if (s[j] == u'&')
                    amp = true;
                ++j;
            }
            if (j >= s.size())
                return "Found redirection attempt without proper path";
            if (starts_with(s, j, u"/dev/null")) {
                logmsg(ZTLOG_DEBUG, "detected /dev/null after redirection", kTag);
                j += 9;
                if (!ends_word(s, j))
                    return "Found redirection to /dev/null in string with trailing data after it "
                           "with out whitespace.";
                i = j - 1;
            } else if (starts_with(s, j, u"/tmp/")) {
                logmsg(ZTLOG_DEBUG, "detected /tmp/ after redirection", kTag);
                if (!tmp_target_stays(s, j + 5))
                    return "Found redirection to /tmp in string with \"..\"after it.";
                i = j + 4;
            } else if (amp && (s[j] == u'1' || s[j] == u'2')) {
                if (!ends_word(s, j + 1))
                    return "Found redirection to >&# in string with trailing data after it with "
                           "out whitespace.";
                logmsg(ZTLOG_DEBUG, "found allowed redirection of fd", kTag);
                i = j;
            } else {
                return "Found redirection, but no proper path";
            }
        }
    }
    return nullptr;
}

// True when the locale's charset took a byte the shell acts on into a
// multibyte character (the second byte of a double-byte character may be '|'
// or '`'): the check sees one character, the shell still sees the byte.
bool hides_shell_bytes(const char *text, std::u16string_view wide) {
    for (const char *c = ";&|`$()<>.\n\r"; *c != '\0'; ++c) {
        size_t bytes = 0, characters = 0;
        for (const char *p = text; (p = strchr(p, *c)) != nullptr; ++p)
            ++bytes;
        for (char16_t w : wide)
            characters += w == char16_t(*c);
        if (bytes != characters)
            return true;
    }
    return false;
}

int verdict(const char *command, const char16_t *wide, int requireNoWhiteSpace,
            bool hidden = false) {
    const char *reason =
        hidden ? "Found illegal character." : check(wide, requireNoWhiteSpace != 0, command);
    if (reason != nullptr)
        logmsg(ZTLOG_DEBUG, reason, kTag);
    // The logged copy hides the values of password and key arguments.
    static const char *const kSecrets[] = {"-password", "-key"};
    size_t size = strlen(command) * 2 + 16;
    std::vector<char> shown(size);
    const char *logged = V_HidePasswordInCmdLine(shown.data(), size, command, " ", kSecrets, 2);
    if (logged == nullptr)
        logged = "";
    if (reason == nullptr)
        logmsgf(ZTLOG_DEBUG, kTag, "String \"%s\" is considered sanitary.", logged);
    else
        logmsgf(ZTLOG_CRITICAL, kTag, "String \"%s\" is considered unsanitary.", logged);
    return reason == nullptr ? 1 : 0;
}

} // namespace

extern "C" {

ZTBASE_API int sanitary_mb_str(const char *command, int requireNoWhiteSpace) {
    if (command == nullptr) {
        logmsg(ZTLOG_ERROR, "String conversion to wide character failed. (22)", kTag);
        return 0;
    }
    std::unique_ptr<char16_t, decltype(&free)> wide(V_StrDupACPToWide(command), free);
    if (wide == nullptr) {
        logmsgf(ZTLOG_ERROR, kTag, "String conversion to wide character failed (mallloc: %d).", 12);
        return 0;
    }
    return verdict(command, wide.get(), requireNoWhiteSpace,
                   hides_shell_bytes(command, wide.get()));
}

ZTBASE_API int sanitary_UTF8_str(const char *command, int requireNoWhiteSpace) {
    if (command == nullptr) {
        logmsg(ZTLOG_ERROR, "String conversion to wide character failed. (22)", kTag);
        return 0;
    }
    std::unique_ptr<char16_t, decltype(&free)> wide(V_StrDupUTF8ToWide(command), free);
    if (wide == nullptr) {
        logmsgf(ZTLOG_ERROR, kTag, "String conversion to wide character failed. (%d)", 1113);
        return 0;
    }
    return verdict(command, wide.get(), requireNoWhiteSpace);
}

ZTBASE_API int is_valid_client_id(const char *text) {
    if (text == nullptr || *text == '\0')
        return 0;
    for (const char *p = text; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  strchr(".-_+%()", c) != nullptr;
        if (!ok)
            return 0;
    }
    return text[strlen(text) - 1] == '.' ? 0 : 1;
}

ZTBASE_API int has_percent_char_other_than_encoded_space(const char *text) {
    if (text == nullptr)
        return 0;
    for (const char *p = text; (p = strchr(p, '%')) != nullptr; ++p)
        if (p[1] != '2' || p[2] != '0')
            return 1;
    return 0;
}

ZTBASE_API int get_abs_path(const char *path, char *out, size_t size) {
    if (path == nullptr || out == nullptr || size == 0 || *path == '\0')
        return -1;
    std::string full;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return -1;
        full.assign(cwd).append(1, '/');
    }
    full += path;
    // ".", ".." and repeated separators go; ".." above the root stays at it.
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= full.size()) {
        size_t slash = full.find('/', pos);
        if (slash == std::string::npos)
            slash = full.size();
        std::string part = full.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    std::string result;
    for (const std::string &p : parts)
        result.append(1, '/').append(p);
    if (result.empty())
        result = "/";
    if (result.size() + 1 > size)
        return -1;
    memcpy(out, result.c_str(), result.size() + 1);
    return 0;
}

} // extern "C"
