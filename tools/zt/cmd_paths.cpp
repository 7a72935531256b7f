// zt paths [--json] [LABEL...]: expanded values of path labels (every built-in label when none is
// given).
#include <cstdio>
#include <cstring>
#include <jansson.h>
#include <string>
#include <vector>

#include <ztbase/paths.h>

#include "commands.h"
#include "paths/pathconfig_rows.h"

namespace zt {
namespace {

bool builtin(const char *label) {
    for (size_t i = 0; i < ztbase::pathconfig::kBuiltinRowCount; ++i)
        if (strcmp(ztbase::pathconfig::kBuiltinRows[i].label, label) == 0)
            return true;
    return false;
}

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
    const bool json = take_flag(argc, argv, "--json");
    std::vector<const char *> labels;
    for (int i = 0; i < argc; ++i) {
        if (argv[i][0] == '-')
            return bad_args("paths", nullptr, ("unknown option " + std::string(argv[i])).c_str());
        // A label the table does not hold expands to nothing: say so rather
        // than print an empty path.
        if (!builtin(argv[i]) && *getFennicString(argv[i]) == '\0') {
            fprintf(stderr, "zt paths: %s: no such path label\n", argv[i]);
            return 1;
        }
        labels.push_back(argv[i]);
    }
    if (argc == 0)
        for (size_t i = 0; i < ztbase::pathconfig::kBuiltinRowCount; ++i)
            labels.push_back(ztbase::pathconfig::kBuiltinRows[i].label);
    if (!json) {
        for (const char *label : labels)
            print(label);
        return 0;
    }
    json_t *o = json_object();
    for (const char *label : labels)
        json_object_set_new(o, label, json_text(getFennicString(label)));
    json_dumpf(o, stdout, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
    putchar('\n');
    json_decref(o);
    return 0;
}

} // namespace zt
