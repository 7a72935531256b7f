// zt config items [LABEL...]: the rows of the configuration item table with
// their defaults (every item when no label is given). The store's
// subcommands are in cmd_config_store.cpp.
#include <cstdio>
#include <cstring>
#include <string>

#include <ztbase/config.h>

#include "commands.h"
#include "config/items/adhoc_config_ops.h"

namespace zt {
namespace {

using namespace ztbase::config;

const char *type_name(Type t) {
    static const char *const kNames[] = {"Int",    "Enum", "Flags", "IPAddr", "String",
                                         "Struct", "List", "Int64", "Units"};
    return t == Type::Obsolete ? "obsolete" : kNames[uint8_t(t)];
}

// Multi-line values show their lines separated by " | ".
std::string default_text(int index) {
    if (live_row(index) == nullptr)
        return "-";
    std::string text;
    if (format_item(index, &defaults(), text) != 0)
        return "?";
    if (!text.empty() && text.back() == '\0')
        text.pop_back();
    for (size_t pos; (pos = text.find('\0')) != std::string::npos;)
        text.replace(pos, 1, " | ");
    return text;
}

void print(int index) {
    const Row &r = kRows[index];
    std::string alt;
    for (const char *const *a = r.alt_labels; a != nullptr && *a != nullptr; ++a)
        alt += (alt.empty() ? "" : ",") + std::string(*a);
    std::string flags;
    if (r.bits & S)
        flags += 'S';
    if (r.bits & R)
        flags += 'R';
    if (r.bits & D)
        flags += 'D';
    if (r.bits & C)
        flags += 'C';
    printf("%3d  %-44s %-22s %-8s %-4s %s\n", index, r.label, alt.empty() ? "-" : alt.c_str(),
           type_name(r.type), flags.empty() ? "-" : flags.c_str(), default_text(index).c_str());
}

} // namespace

int cmd_config(int argc, char **argv) {
    if (argc >= 1 && strcmp(argv[0], "info") == 0)
        return cmd_config_info(argc, argv);
    if (argc >= 1 && strcmp(argv[0], "items") != 0)
        return cmd_config_store(argc, argv); // show, set, unset, check, --help
    if (argc < 1)
        return usage("config items [LABEL...] | show | set | unset | check  (zt config --help)");
    if (argc == 1) {
        for (int i = 0; i < getConfigTableSize(); ++i)
            print(i);
        return 0;
    }
    int rc = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-')
            return usage("config items [LABEL...]");
        int index = getConfigIndexA(argv[i]);
        if (index == -2) { // obsolete: the row is still there
            for (int j = 0; j < getConfigTableSize(); ++j)
                if (strcasecmp(kRows[j].label, argv[i]) == 0)
                    index = j;
        }
        if (index < 0) {
            fprintf(stderr, "zt config: no item '%s'\n", argv[i]);
            rc = 1;
            continue;
        }
        print(index);
    }
    return rc;
}

} // namespace zt
