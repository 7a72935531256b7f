// zt config items [--json] [LABEL...]: the rows of the configuration item table with
// their defaults (every item when no label is given). The store's
// subcommands are in cmd_config_store.cpp.
#include <cstdio>
#include <cstring>
#include <jansson.h>
#include <string>
#include <vector>

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

struct Columns {
    std::string alt, flags;
};

Columns columns(const Row &r) {
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
    return {alt, flags};
}

void print_header() {
    printf("%3s  %-44s %-22s %-8s %-4s %s\n", "#", "LABEL", "OTHER LABELS", "TYPE", "FLAG",
           "DEFAULT");
}

void print(int index) {
    const Row &r = kRows[index];
    const Columns c = columns(r);
    printf("%3d  %-44s %-22s %-8s %-4s %s\n", index, r.label, c.alt.empty() ? "-" : c.alt.c_str(),
           type_name(r.type), c.flags.empty() ? "-" : c.flags.c_str(), default_text(index).c_str());
}

json_t *row_json(int index) {
    const Row &r = kRows[index];
    const Columns c = columns(r);
    json_t *alt = json_array();
    for (const char *const *a = r.alt_labels; a != nullptr && *a != nullptr; ++a)
        json_array_append_new(alt, json_string(*a));
    const std::string def = default_text(index);
    return json_pack("{s:i,s:s,s:o,s:s,s:s,s:s}", "index", index, "label", r.label, "other_labels",
                     alt, "type", type_name(r.type), "flags", c.flags.c_str(), "default",
                     def.c_str());
}

} // namespace

int cmd_config(int argc, char **argv) {
    if (argc < 1)
        return bad_args("config", nullptr, "no subcommand given");
    if (strcmp(argv[0], "info") == 0)
        return cmd_config_info(argc, argv);
    if (strcmp(argv[0], "items") != 0)
        return cmd_config_store(argc, argv); // show, set, unset, check
    --argc;
    ++argv;
    const bool json = take_flag(argc, argv, "--json");
    std::vector<int> rows;
    int rc = 0;
    for (int i = 0; i < argc; ++i) {
        if (argv[i][0] == '-')
            return bad_args("config", "items", ("unknown option " + std::string(argv[i])).c_str());
        int index = getConfigIndexA(argv[i]);
        if (index == -2) { // obsolete: the row is still there
            for (int j = 0; j < getConfigTableSize(); ++j)
                if (strcasecmp(kRows[j].label, argv[i]) == 0)
                    index = j;
        }
        if (index < 0) {
            fprintf(stderr, "zt config items: %s: no such item\n", argv[i]);
            rc = 1;
            continue;
        }
        rows.push_back(index);
    }
    if (argc == 0)
        for (int i = 0; i < getConfigTableSize(); ++i)
            rows.push_back(i);
    if (json) {
        json_t *a = json_array();
        for (int index : rows)
            json_array_append_new(a, row_json(index));
        json_dumpf(a, stdout, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
        putchar('\n');
        json_decref(a);
    } else {
        if (!rows.empty())
            print_header();
        for (int index : rows)
            print(index);
    }
    return rc;
}

} // namespace zt
