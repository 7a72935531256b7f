// zt paths: expanded values of path labels (every built-in label when none is given).
#include <cstdio>

#include <ztbase/paths.h>

#include "commands.h"
#include "paths/pathconfig_rows.h"

namespace zt {
namespace {

// Service lists hold one name per line: show them on one line.
void print(const char *label) {
    printf("%s=", label);
    for (const char *p = getFennicString(label); *p != '\0'; ++p)
        if (*p == '\n')
            fputs("\\n", stdout);
        else
            putchar(*p);
    putchar('\n');
}

} // namespace

int cmd_paths(int argc, char **argv) {
    if (argc == 0) {
        for (size_t i = 0; i < ztbase::pathconfig::kBuiltinRowCount; ++i)
            print(ztbase::pathconfig::kBuiltinRows[i].label);
        return 0;
    }
    for (int i = 0; i < argc; ++i) {
        if (argv[i][0] == '-')
            return usage("paths [LABEL...]");
        print(argv[i]);
    }
    return 0;
}

} // namespace zt
