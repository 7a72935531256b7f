// zt reg: query, add, delete, export and import registry keys and values;
// back up and restore a whole store.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "commands.h"
#include "platform/posix_io.h"
#include "platform/registry/registry.h"

namespace zt {
namespace {

using namespace ztbase::registry;

// Splits "HKLM\a\b" into the root and the path under it; HKLM when no root is
// named. False for a root this store does not keep (HKU, HKCR, ...).
bool split_root(const std::string &key, Root &root, std::string &path) {
    struct Prefix {
        const char *name;
        Root root;
    };
    const Prefix prefixes[] = {{"HKEY_LOCAL_MACHINE", Root::LocalMachine},
                               {"HKLM", Root::LocalMachine},
                               {"HKEY_CURRENT_USER", Root::CurrentUser},
                               {"HKCU", Root::CurrentUser}};
    for (const Prefix &p : prefixes) {
        size_t n = strlen(p.name);
        if (strncasecmp(key.c_str(), p.name, n) == 0 && (key.size() == n || key[n] == '\\')) {
            path = key.substr(n);
            root = p.root;
            return true;
        }
    }
    const std::string first = key.substr(0, key.find('\\'));
    for (const char *other : {"HKU", "HKCR", "HKCC", "HKPD", "HKDD"})
        if (strcasecmp(first.c_str(), other) == 0)
            return false;
    if (strncasecmp(first.c_str(), "HKEY_", 5) == 0)
        return false;
    path = key;
    root = Root::LocalMachine;
    return true;
}

const char *g_sub = nullptr; // the subcommand, for messages

int unknown_root(const std::string &key) {
    return bad_args("reg", g_sub, ("'" + key + "': only HKLM and HKCU are kept here").c_str());
}

const char *type_name(uint32_t type) {
    switch (type) {
    case kSz:
        return "REG_SZ";
    case kExpandSz:
        return "REG_EXPAND_SZ";
    case kBinary:
        return "REG_BINARY";
    case kDword:
        return "REG_DWORD";
    case kMultiSz:
        return "REG_MULTI_SZ";
    case kQword:
        return "REG_QWORD";
    default:
        return "REG_NONE";
    }
}

void print_value(const Value &v) {
    printf("    %s    %s    ", v.name.empty() ? "(Default)" : v.name.c_str(), type_name(v.type));
    if (v.type == kDword) {
        printf("0x%x\n", v.number());
    } else if (v.type == kSz || v.type == kExpandSz) {
        printf("%s\n", v.text().c_str());
    } else if (v.type == kMultiSz) {
        const auto strings = v.strings();
        for (size_t i = 0; i < strings.size(); ++i)
            printf("%s%s", i ? "\\0" : "", strings[i].c_str());
        putchar('\n');
    } else {
        for (unsigned char c : v.data)
            printf("%02X", c);
        putchar('\n');
    }
}

int failed(const char *what, const std::string &key, Status s) {
    fprintf(stderr, "zt reg %s: %s: %s\n", what, key.c_str(), status_text(s));
    return 1;
}

json_t *value_json(const Value &v) {
    json_t *data;
    if (v.type == kDword) {
        data = json_integer(v.number());
    } else if (v.type == kSz || v.type == kExpandSz) {
        data = json_text(v.text());
    } else if (v.type == kMultiSz) {
        data = json_array();
        for (const std::string &s : v.strings())
            json_array_append_new(data, json_text(s));
    } else {
        std::string hex;
        for (unsigned char c : v.data) {
            char pair[3];
            snprintf(pair, sizeof pair, "%02X", c);
            hex += pair;
        }
        data = json_string(hex.c_str());
    }
    return json_pack("{s:o,s:s,s:o*}", "name", json_text(v.name), "type", type_name(v.type),
                     "data", data);
}

int print_json(json_t *o) {
    json_dumpf(o, stdout, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
    putchar('\n');
    json_decref(o);
    return 0;
}

int query(const std::string &name, const char *value, bool json) {
    std::string path;
    Root root;
    if (!split_root(name, root, path))
        return unknown_root(name);
    Key key;
    Status s = Key::open(root, path, key);
    if (s != Status::Ok)
        return failed("query", name, s);
    if (value != nullptr) {
        Value v;
        s = key.query(value, v);
        if (s != Status::Ok)
            return failed("query", name + "\\" + value, s);
        if (json)
            return print_json(value_json(v));
        printf("%s\n", name.c_str());
        print_value(v);
        return 0;
    }
    std::vector<Value> values;
    std::vector<std::string> subkeys;
    if ((s = key.values(values)) != Status::Ok || (s = key.subkeys(subkeys)) != Status::Ok)
        return failed("query", name, s);
    if (json) {
        json_t *vs = json_array(), *ks = json_array();
        for (const Value &v : values)
            json_array_append_new(vs, value_json(v));
        for (const std::string &sub : subkeys)
            json_array_append_new(ks, json_text(sub));
        return print_json(
            json_pack("{s:o,s:o,s:o}", "key", json_text(name), "values", vs, "subkeys", ks));
    }
    printf("%s\n", name.c_str());
    for (const Value &v : values)
        print_value(v);
    for (const std::string &sub : subkeys)
        printf("%s\\%s\n", name.c_str(), sub.c_str());
    return 0;
}

bool parse_dword(const char *text, uint32_t &out) {
    errno = 0;
    char *end = nullptr;
    unsigned long long n = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || n > 0xFFFFFFFFull || text[0] == '-')
        return false;
    out = static_cast<uint32_t>(n);
    return true;
}

int add(const std::string &name, const char *value, const char *type, const char *data) {
    Value v;
    if (strcmp(type, "REG_SZ") == 0 || strcmp(type, "REG_EXPAND_SZ") == 0) {
        v = Value::sz(value, data);
        v.type = strcmp(type, "REG_SZ") == 0 ? kSz : kExpandSz;
    } else if (strcmp(type, "REG_DWORD") == 0) {
        uint32_t n = 0;
        if (!parse_dword(data, n))
            return bad_args(
                "reg", "add",
                ("'" + std::string(data) + "': not a REG_DWORD (0 to 0xFFFFFFFF)").c_str());
        v = Value::dword(value, n);
    } else if (strcmp(type, "REG_MULTI_SZ") == 0) {
        // An empty string would end the list early: refused, but for a
        // trailing "\\0" and the empty list.
        std::vector<std::string> strings;
        std::string all(data);
        for (size_t pos = 0; pos < all.size();) {
            size_t sep = all.find("\\0", pos);
            strings.push_back(
                all.substr(pos, sep == std::string::npos ? std::string::npos : sep - pos));
            if (strings.back().empty())
                return bad_args("reg", "add",
                                ("'" + all + "': an empty string inside a REG_MULTI_SZ").c_str());
            if (sep == std::string::npos)
                break;
            pos = sep + 2;
        }
        v = Value::multi_sz(value, strings);
    } else {
        return bad_args("reg", "add",
                        ("'" + std::string(type) + "': not a type zt writes").c_str());
    }
    std::string path;
    Root root;
    if (!split_root(name, root, path))
        return unknown_root(name);
    Key key;
    Status s = Key::create(root, path, key);
    if (s == Status::Ok)
        s = key.set(v);
    return s == Status::Ok ? 0 : failed("add", name, s);
}

int remove(const std::string &name, const char *value) {
    std::string path;
    Root root;
    if (!split_root(name, root, path))
        return unknown_root(name);
    if (value == nullptr) {
        Status s = Key::remove_tree(root, path);
        return s == Status::Ok ? 0 : failed("delete", name, s);
    }
    Key key;
    Status s = Key::open(root, path, key);
    if (s == Status::Ok)
        s = key.remove_value(value);
    return s == Status::Ok ? 0 : failed("delete", name + "\\" + value, s);
}

int export_keys(const std::string &name) {
    std::string path, text;
    Root root;
    if (!split_root(name, root, path))
        return unknown_root(name);
    Status s = export_text(root, path, text);
    if (s != Status::Ok)
        return failed("export", name.empty() ? "HKLM" : name, s);
    fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

int import_file(const std::string &file) {
    std::string text, error;
    if (!read_input(file.c_str(), text, error)) {
        fprintf(stderr, "zt reg import: %s: %s\n", input_name(file.c_str()), error.c_str());
        return 1;
    }
    size_t line = 0;
    Status s = import_text(text, &line);
    if (s == Status::InvalidArgument && line != 0) {
        fprintf(stderr, "zt reg import: %s:%zu: not a line of an export\n",
                input_name(file.c_str()), line);
        return 1;
    }
    return s == Status::Ok ? 0 : failed("import", input_name(file.c_str()), s);
}

int whole_store(const char *verb, const std::string &file, const char *which) {
    Root root = Root::LocalMachine;
    if (which != nullptr) {
        std::string rest;
        if (!split_root(which, root, rest) || !rest.empty() || strncasecmp(which, "HK", 2) != 0)
            return bad_args("reg", verb,
                            ("'" + std::string(which) + "': not HKLM or HKCU").c_str());
    }
    // The system's reason for a file that cannot be read or a place that
    // cannot be written, before the store says only that it failed.
    if (strcmp(verb, "restore") == 0) {
        if (!ztbase::pio::open_regular_file(file.c_str()).valid()) {
            fprintf(stderr, "zt reg restore: %s: %s\n", file.c_str(), strerror(errno));
            return 1;
        }
    } else {
        const size_t slash = file.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : file.substr(0, slash + 1);
        if (access(dir.c_str(), W_OK) != 0) {
            fprintf(stderr, "zt reg backup: %s: %s\n", file.c_str(), strerror(errno));
            return 1;
        }
    }
    Status s = strcmp(verb, "backup") == 0 ? backup(root, file) : restore(root, file);
    return s == Status::Ok ? 0 : failed(verb, file, s);
}

} // namespace

int cmd_reg(int argc, char **argv) {
    if (argc < 1)
        return bad_args("reg", nullptr, "no subcommand given");
    const std::string verb = argv[0];
    g_sub = argv[0];
    const bool json = verb == "query" && take_flag(argc, argv, "--json");
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] == '-' && argv[i][1] != '\0' && verb != "add")
            return bad_args("reg", argv[0], ("unknown option " + std::string(argv[i])).c_str());
    if (verb == "query" && (argc == 2 || argc == 3))
        return query(argv[1], argc == 3 ? argv[2] : nullptr, json);
    if (verb == "add" && argc == 5)
        return add(argv[1], argv[2], argv[3], argv[4]);
    if (verb == "delete" && (argc == 2 || argc == 3))
        return remove(argv[1], argc == 3 ? argv[2] : nullptr);
    if (verb == "export" && argc <= 2)
        return export_keys(argc == 2 ? argv[1] : "");
    if (verb == "import" && argc == 2)
        return import_file(argv[1]);
    if ((verb == "backup" || verb == "restore") && (argc == 2 || argc == 3))
        return whole_store(verb.c_str(), argv[1], argc == 3 ? argv[2] : nullptr);
    for (const char *known : {"query", "add", "delete", "export", "import", "backup", "restore"})
        if (verb == known)
            return bad_args("reg", argv[0], "wrong number of arguments");
    return bad_args("reg", nullptr, ("unknown subcommand " + verb).c_str());
}

} // namespace zt
