// zt reg: query, add, delete and export registry keys and values.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/registry/registry.h"

namespace zt {
namespace {

using namespace ztbase::registry;

constexpr const char kUsage[] =
    "reg query KEY [VALUE] | zt reg add KEY VALUE TYPE DATA | "
    "zt reg delete KEY [VALUE] | zt reg export [KEY]\n"
    "  KEY: [HKLM\\|HKCU\\]path\\with\\backslashes; TYPE: REG_SZ, REG_EXPAND_SZ, "
    "REG_DWORD or REG_MULTI_SZ (strings separated by \\0)";

// Splits "HKLM\a\b" into the root and the path under it; HKLM when no root is named.
Root split_root(const std::string &key, std::string &path) {
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
            return p.root;
        }
    }
    path = key;
    return Root::LocalMachine;
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

int query(const std::string &name, const char *value) {
    std::string path;
    Root root = split_root(name, path);
    Key key;
    Status s = Key::open(root, path, key);
    if (s != Status::Ok)
        return failed("query", name, s);
    if (value != nullptr) {
        Value v;
        s = key.query(value, v);
        if (s != Status::Ok)
            return failed("query", name + "\\" + value, s);
        printf("%s\n", name.c_str());
        print_value(v);
        return 0;
    }
    std::vector<Value> values;
    std::vector<std::string> subkeys;
    if ((s = key.values(values)) != Status::Ok || (s = key.subkeys(subkeys)) != Status::Ok)
        return failed("query", name, s);
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
            return usage(kUsage);
        v = Value::dword(value, n);
    } else if (strcmp(type, "REG_MULTI_SZ") == 0) {
        std::vector<std::string> strings;
        std::string all(data);
        for (size_t pos = 0;;) {
            size_t sep = all.find("\\0", pos);
            strings.push_back(
                all.substr(pos, sep == std::string::npos ? std::string::npos : sep - pos));
            if (sep == std::string::npos)
                break;
            pos = sep + 2;
        }
        v = Value::multi_sz(value, strings);
    } else {
        return usage(kUsage);
    }
    std::string path;
    Root root = split_root(name, path);
    Key key;
    Status s = Key::create(root, path, key);
    if (s == Status::Ok)
        s = key.set(v);
    return s == Status::Ok ? 0 : failed("add", name, s);
}

int remove(const std::string &name, const char *value) {
    std::string path;
    Root root = split_root(name, path);
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
    Root root = split_root(name, path);
    Status s = export_text(root, path, text);
    if (s != Status::Ok)
        return failed("export", name.empty() ? "HKLM" : name, s);
    fputs(text.c_str(), stdout);
    return 0;
}

} // namespace

int cmd_reg(int argc, char **argv) {
    if (argc < 1)
        return usage(kUsage);
    const std::string verb = argv[0];
    if (verb == "query" && (argc == 2 || argc == 3))
        return query(argv[1], argc == 3 ? argv[2] : nullptr);
    if (verb == "add" && argc == 5)
        return add(argv[1], argv[2], argv[3], argv[4]);
    if (verb == "delete" && (argc == 2 || argc == 3))
        return remove(argv[1], argc == 3 ? argv[2] : nullptr);
    if (verb == "export" && argc <= 2)
        return export_keys(argc == 2 ? argv[1] : "");
    return usage(kUsage);
}

} // namespace zt
