// zt's help, printed from the sections made from zt.txt.
#include <cstring>
#include <string>

#include "help.h"

namespace zt {
namespace {

// "config set" covers command "config" with sub "set"; "config" alone covers
// every section of the command.
bool covers(const HelpSection &s, const char *command, const char *sub) {
    const size_t n = strlen(command);
    if (strncmp(s.key, command, n) != 0 || (s.key[n] != '\0' && s.key[n] != ' '))
        return false;
    return sub == nullptr || s.key[n] == '\0' || strcmp(s.key + n + 1, sub) == 0;
}

} // namespace

bool print_help(FILE *out, const char *command, const char *sub) {
    // A subcommand without a section of its own gets the whole command's help.
    if (sub != nullptr) {
        bool any = false;
        for (int i = 0; i < kHelpSectionCount; ++i)
            any = any || (covers(kHelpSections[i], command, sub) &&
                          strchr(kHelpSections[i].key, ' ') != nullptr);
        if (!any)
            sub = nullptr;
    }
    bool found = false;
    for (int i = 0; i < kHelpSectionCount; ++i) {
        const HelpSection &s = kHelpSections[i];
        if (!covers(s, command, sub))
            continue;
        fputs(found ? "\n" : "usage: ", out);
        for (const char *p = s.synopsis; *p != '\0';) {
            const char *nl = strchr(p, '\n');
            const size_t n = nl != nullptr ? size_t(nl - p) : strlen(p);
            fprintf(out, "%s%.*s\n", p == s.synopsis && !found ? "" : "       ", int(n), p);
            p += n + (nl != nullptr ? 1 : 0);
        }
        fprintf(out, "\n%s", s.text);
        found = true;
    }
    return found;
}

void print_overview(FILE *out) {
    fputs("usage: zt [-h|--help] [-V|--version] COMMAND [ARGS...]\n\n", out);
    fputs(kHelpIntro, out);
    fputs("commands:\n", out);
    for (int i = 0; i < kHelpSectionCount; ++i)
        for (const char *p = kHelpSections[i].synopsis; *p != '\0';) {
            const char *nl = strchr(p, '\n');
            const size_t n = nl != nullptr ? size_t(nl - p) : strlen(p);
            fprintf(out, "  %.*s\n", int(n), p);
            p += n + (nl != nullptr ? 1 : 0);
        }
    fputs("\n'zt COMMAND --help' tells more about a command; 'man zt' about them all.\n", out);
}

} // namespace zt
