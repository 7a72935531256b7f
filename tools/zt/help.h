// zt's help, made from zt.txt (the same source as the manual page).
#pragma once

#include <cstdio>

namespace zt {

struct HelpSection {
    const char *key;      // "config set": the command and subcommand it covers
    const char *synopsis; // "zt ..." lines
    const char *text;     // the description
};
extern const char *const kHelpIntro;
extern const HelpSection kHelpSections[];
extern const int kHelpSectionCount;

// Prints the help of `command` (and `sub` when it has a section of its own)
// on out; false when no section covers the command.
bool print_help(FILE *out, const char *command, const char *sub);
// The synopsis of every command, with the options zt itself takes.
void print_overview(FILE *out);

} // namespace zt
