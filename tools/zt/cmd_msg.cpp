// zt msg: the text of a message identifier in a locale, formatted with the
// arguments given on the command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <string>
#include <vector>

#include <ztbase/messages.h>

#include "commands.h"

namespace zt {
namespace {

constexpr const char kUsage[] = "msg [--json] ID [LOCALE [ARGS...]]";

constexpr const char kHelp[] =
    "usage: zt msg [--json] ID [LOCALE [ARGS...]]\n"
    "\n"
    "Prints the text of message ID (\"CerCom2055N\", or a unique message identifier\n"
    "such as \"V-79-57344-33967\") from the catalogue of LOCALE (a common locale\n"
    "name, the name of a directory below the path label MSG_DIR; default: the\n"
    "locale of LC_MESSAGES as qlgetlocaleEx finds it), formatted with ARGS:\n"
    "each conversion of the text takes the next argument, read as its type asks\n"
    "(%d a number, %s a text, ...).\n"
    "--json prints the identifier, the locale, the catalogue text and the result.\n"
    "Exit status: 0 printed, 1 no such message in that locale, 2 bad arguments.\n";

// One argument as a conversion wants it: a copy of the conversion with the
// length modifiers that fit the value we pass.
std::string convert_one(std::string pattern, char conv, const char *arg) {
    while (!pattern.empty() && strchr("hlqjzZtL", pattern.back()) != nullptr)
        pattern.pop_back();
    char buf[4096];
    switch (conv) {
    case 'd':
    case 'i':
        pattern += "lld";
        snprintf(buf, sizeof buf, pattern.c_str(), strtoll(arg, nullptr, 0));
        break;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        pattern += "ll";
        pattern += conv;
        snprintf(buf, sizeof buf, pattern.c_str(), strtoull(arg, nullptr, 0));
        break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        pattern += conv;
        snprintf(buf, sizeof buf, pattern.c_str(), strtod(arg, nullptr));
        break;
    case 'c':
        pattern += 'c';
        snprintf(buf, sizeof buf, pattern.c_str(), arg[0]);
        break;
    default: // s, and anything else shows the argument as it is
        pattern += 's';
        snprintf(buf, sizeof buf, pattern.c_str(), arg);
    }
    return buf;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// The catalogue text with each conversion replaced by its argument; missing
// arguments read as "" (0 for numbers). "*" widths and %n are shown as written.
std::string format(const std::string &text, const std::vector<const char *> &args) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        size_t j = i + 1;
        if (j < text.size() && text[j] == '%') {
            out += '%';
            i = j;
            continue;
        }
        size_t pos = 0, k = j;
        while (k < text.size() && text[k] >= '0' && text[k] <= '9')
            pos = pos * 10 + static_cast<size_t>(text[k++] - '0');
        if (k < text.size() && text[k] == '$' && pos > 0)
            j = k + 1;
        else
            pos = 0;
        std::string pattern = "%";
        while (j < text.size() && strchr("-+ #0'.123456789hlqjzZtL", text[j]) != nullptr)
            pattern += text[j++];
        if (j >= text.size() || strchr("diouxXeEfFgGaAcsS", text[j]) == nullptr) {
            out += text.substr(i, j - i); // not a conversion this tool fills in
            i = j - 1;
            continue;
        }
        const size_t index = pos > 0 ? pos - 1 : next++;
        out += convert_one(pattern, text[j], index < args.size() ? args[index] : "");
        i = j;
    }
    return out;
}
#pragma GCC diagnostic pop

std::string default_locale() {
    char name[256];
    if (qlgetlocaleEx(sizeof name, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, name) == 0)
        return name;
    return "C";
}

} // namespace

int cmd_msg(int argc, char **argv) {
    if (argc == 1 && strcmp(argv[0], "--help") == 0) {
        fputs(kHelp, stdout);
        return 0;
    }
    bool json = false;
    if (argc > 0 && strcmp(argv[0], "--json") == 0) {
        json = true;
        --argc;
        ++argv;
    }
    if (argc < 1 || argv[0][0] == '-' || argv[0][0] == '\0')
        return usage(kUsage);
    const char *id = argv[0];
    const std::string locale = argc >= 2 ? argv[1] : default_locale();
    std::vector<const char *> args(argv + (argc >= 2 ? 2 : 1), argv + argc);
    const bool unique = strncmp(id, "V-", 2) == 0;
    const char *text =
        unique ? getLocalMsgFmtUMI(locale.c_str(), id) : getLocalMsgFmt(locale.c_str(), id);
    const std::string result = text != nullptr ? format(text, args) : std::string();
    if (json) {
        json_t *o =
            json_pack("{s:s,s:s,s:b,s:o,s:o}", "id", id, "locale", locale.c_str(), "found",
                      text != nullptr, "format", text != nullptr ? json_text(text) : json_null(),
                      "text", text != nullptr ? json_text(result) : json_null());
        char *dump = json_dumps(o, JSON_INDENT(2));
        if (dump != nullptr)
            puts(dump);
        free(dump);
        json_decref(o);
    } else if (text != nullptr) {
        puts(result.c_str());
    } else {
        fprintf(stderr, "zt msg: no text for %s in locale %s\n", id, locale.c_str());
    }
    return text != nullptr ? 0 : 1;
}

} // namespace zt
