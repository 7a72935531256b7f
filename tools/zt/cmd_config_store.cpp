// zt config show|set|unset|check: the operator's face of the local
// configuration store.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <memory>
#include <string>
#include <vector>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/status.h>

#include "commands.h"
#include "config/items/adhoc_config_ops.h"
#include "config/store/bpconf_internal.h"
#include "platform/registry/registry.h"

namespace zt {
namespace {

namespace reg = ztbase::registry;

namespace bp = ztbase::bpconf;

struct Record {
    std::unique_ptr<ZtConfig> p = std::make_unique<ZtConfig>();
    ~Record() { FreeConfig(p.get()); }
    ZtConfig *get() { return p.get(); }
};

int failed(const char *sub, const char *what, int status) {
    fprintf(stderr, "zt config %s: %s: %s (status %d)\n", sub, what, getECmsg(status), status);
    return 1;
}

// Diagnostics of a parse, one per line, instead of the debug log.
class Diagnostics {
  public:
    Diagnostics() : saved_(c_shim_mod_logging) {
        current_ = this;
        c_shim_mod_logging = &fn_;
    }
    ~Diagnostics() {
        c_shim_mod_logging = saved_;
        current_ = nullptr;
    }
    const std::vector<std::string> &lines() const { return lines_; }

  private:
    static int sink(int, int, const char *text, const char *) {
        if (current_ != nullptr && text != nullptr)
            current_->lines_.emplace_back(text);
        return 0;
    }
    static inline Diagnostics *current_ = nullptr;
    c_shim_logging_fn fn_ = sink;
    c_shim_logging_fn *saved_;
    std::vector<std::string> lines_;
};

// A line of a configuration text that would not be taken as it stands.
struct Finding {
    int line;
    std::string reason;
    bool shape; // not an assignment at all: --force does not take it either
};

// Parses text over record (definition marks what it defines) and returns
// every line not taken as it stands: lines that are not "LABEL = VALUE", and
// every message the parser gives about a value it refuses or replaces. The
// one verdict of zt config set and zt config check.
std::vector<Finding> judge(std::string text, ZtConfig *record, ZtConfig *definition) {
    std::vector<Finding> out;
    Diagnostics diagnostics;
    size_t seen = 0;
    int current = 0;
    auto take_messages = [&] {
        for (; seen < diagnostics.lines().size(); ++seen)
            out.push_back({current, diagnostics.lines()[seen], false});
    };
    int status = bp::parse_observed(text.data(), record, definition, 0, [&](const bp::LineView &v) {
        take_messages();
        current = v.number;
        const char *shape = nullptr;
        if (v.kind == bp::LineKind::NoEquals)
            shape = "not an item assignment (LABEL = VALUE)";
        else if (v.kind == bp::LineKind::NoKey)
            shape = "no label before the '='";
        else if (v.kind == bp::LineKind::Assignment && strpbrk(v.key, " \t\v\f\r") != nullptr)
            shape = "a label holds no white space";
        else if (v.kind == bp::LineKind::Assignment && *v.value == '\0')
            shape = "no value after the '=' (zt config unset removes an item)";
        if (shape != nullptr)
            out.push_back({v.number, shape, true});
    });
    take_messages();
    if (status != 0)
        out.push_back({0, getECmsg(status), true});
    return out;
}

// "LABEL=value" lines as an object; an item that may take several lines
// (and the generic key list) gives an array.
int print_json(const char *image) {
    json_t *o = json_object();
    for (const char *p = image; *p != '\0';) {
        const char *nl = strchr(p, '\n');
        std::string line(p, nl != nullptr ? size_t(nl - p) : strlen(p));
        p += line.size() + (nl != nullptr ? 1 : 0);
        const size_t eq = line.find('=');
        const std::string label = line.substr(0, eq);
        json_t *value = json_text(eq == std::string::npos ? "" : line.substr(eq + 1));
        const std::string key = valid_utf8(label);
        const int index = getConfigIndexA(label.c_str());
        const ztbase::config::Row *row = ztbase::config::live_row(index);
        if (row != nullptr && (row->bits & ztbase::config::S) != 0) {
            json_object_set_new(o, key.c_str(), value);
            continue;
        }
        json_t *list = json_object_get(o, key.c_str());
        if (list == nullptr) {
            list = json_array();
            json_object_set_new(o, key.c_str(), list);
        }
        json_array_append_new(list, value);
    }
    const int rc = json_dumpf(o, stdout, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
    json_decref(o);
    putchar('\n');
    return rc == 0 ? 0 : 1;
}

int show(int argc, char **argv) {
    const bool json = take_flag(argc, argv, "--json");
    for (int i = 0; i < argc; ++i)
        if (argv[i][0] == '-')
            return bad_args("config", "show", ("unknown option " + std::string(argv[i])).c_str());
    Record record;
    auto definition = std::make_unique<ZtConfig>();
    InitConfig(bpconfLocalSource, record.get(), nullptr);
    char *stored = nullptr;
    int status = getLocalHostConfigImage(bpconfLocalSource, &stored);
    if (status != 0 && status != 110)
        return failed("show", "cannot read the configuration", status);
    ParseConfigExA(stored, record.get(), definition.get(), ZTPARSE_RECORD_EMPTY);
    free(stored);
    // A label must name an item or a stored generic key.
    for (int i = 0; i < argc; ++i) {
        const int index = getConfigIndexA(argv[i]);
        char *value = nullptr;
        if (index == -2) {
            fprintf(stderr, "zt config show: %s: an obsolete item\n", argv[i]);
            return 1;
        }
        if (index == -1 && bpconfGetKeyValPair(record.get(), argv[i], &value) != 0) {
            fprintf(stderr, "zt config show: %s: no such item or stored key\n", argv[i]);
            return 1;
        }
        free(value);
    }
    char *image = nullptr;
    if ((status = makeConfigImageA(record.get(), definition.get(), &image)) != 0)
        return failed("show", "cannot make the image", status);
    std::unique_ptr<ZtConfig> selection;
    if (argc > 0) {
        selection = std::make_unique<ZtConfig>();
        std::string labels;
        for (int i = 0; i < argc; ++i)
            labels += std::string(argv[i]) + "\n";
        Record scratch;
        ParseConfigExA(labels.data(), scratch.get(), selection.get(), ZTPARSE_RECORD_EMPTY);
    }
    status = filterConfigImageA(bpconfLocalSource, selection.get(), &image);
    int rc = 0;
    if (status != 0)
        rc = failed("show", "cannot filter the image", status);
    else if (json)
        rc = print_json(image);
    else
        fputs(image, stdout);
    free(image);
    return rc;
}

// Writes what record and definition hold to the local store.
int store(const char *sub, ZtConfig *record, ZtConfig *definition) {
    int status = CheckSemanticsForUpdate(record, definition);
    if (status == 0)
        status = UpdateLocalHostConfig(bpconfLocalSource, record, definition);
    return status == 0 ? 0 : failed(sub, "update refused", status);
}

// An update made by zt itself (unset), not typed by the user.
int apply(std::string text) {
    Record record;
    auto definition = std::make_unique<ZtConfig>();
    InitConfig(bpconfLocalSource, record.get(), nullptr);
    Diagnostics diagnostics;
    int status = ParseConfigExA(text.data(), record.get(), definition.get(),
                                ZTPARSE_RECORD_EMPTY | ZTPARSE_STRICT);
    if (status != 0) {
        for (const std::string &line : diagnostics.lines())
            fprintf(stderr, "zt config unset: %s\n", line.c_str());
        return failed("unset", "update refused", status);
    }
    return store("unset", record.get(), definition.get());
}

int set(int argc, char **argv) {
    const bool force = take_flag(argc, argv, "--force");
    if (argc == 0)
        return bad_args("config", "set", "nothing to set");
    std::string text;
    const char *file = nullptr;
    if (strcmp(argv[0], "-f") == 0) {
        if (argc != 2)
            return bad_args("config", "set", "-f takes one FILE and nothing else");
        file = argv[1];
        std::string error;
        if (!read_input(file, text, error)) {
            fprintf(stderr, "zt config set: %s: %s\n", input_name(file), error.c_str());
            return 1;
        }
        if (text.find('\0') != std::string::npos) {
            fprintf(stderr, "zt config set: %s: holds a NUL byte: not a configuration text\n",
                    input_name(file));
            return 1;
        }
    } else {
        for (int i = 0; i < argc; ++i) {
            if (argv[i][0] == '-')
                return bad_args("config", "set",
                                ("unknown option " + std::string(argv[i])).c_str());
            if (strchr(argv[i], '\n') != nullptr) {
                fprintf(stderr, "zt config set: '%s': one item per argument\n", argv[i]);
                return 1;
            }
            text += std::string(argv[i]) + "\n";
        }
    }
    Record record;
    auto definition = std::make_unique<ZtConfig>();
    InitConfig(bpconfLocalSource, record.get(), nullptr);
    const std::vector<Finding> findings = judge(text, record.get(), definition.get());
    bool shape = false;
    for (const Finding &f : findings) {
        shape = shape || f.shape;
        if (file != nullptr)
            fprintf(stderr, "zt config set: %s:%d: %s\n", input_name(file), f.line,
                    f.reason.c_str());
        else
            fprintf(stderr, "zt config set: '%s': %s\n", f.line > 0 ? argv[f.line - 1] : "",
                    f.reason.c_str());
    }
    if (shape || (!findings.empty() && !force)) {
        fprintf(stderr, "zt config set: nothing stored%s\n",
                shape ? "" : " (--force stores the values as the parser read them)");
        return 1;
    }
    return store("set", record.get(), definition.get());
}

// Item values are deleted from the registry; a cluster-aware item goes back
// to its default; a generic key is deleted through the update.
int unset(int argc, char **argv) {
    if (argc == 0)
        return bad_args("config", "unset", "no label given");
    std::string generic_update;
    std::vector<std::string> values;
    for (int i = 0; i < argc; ++i) {
        int index = getConfigIndexA(argv[i]);
        if (index == -2) {
            fprintf(stderr, "zt config unset: %s: an obsolete item\n", argv[i]);
            return 1;
        }
        if (index == getConfigIndexA("SERVER"))
            return failed("unset", "SERVER cannot be unset", 111);
        if (index < 0 || index == getConfigIndexA("GENERIC_KEY_VAL_LIST")) {
            generic_update += std::string(argv[i]) + "\n";
        } else if (isClusterAwareParam(index)) {
            std::string text;
            ztbase::config::format_item(index, &ztbase::config::defaults(), text);
            generic_update += std::string(getConfigLabelA(index)) + " = " + text + "\n";
        } else {
            values.push_back(getConfigLabelA(index));
            for (const char *const *alt = getConfigAltLabels(index);
                 alt != nullptr && *alt != nullptr; ++alt)
                values.push_back(*alt);
        }
    }
    if (!values.empty()) {
        reg::Status s = reg::transact(reg::Root::LocalMachine, [&] {
            reg::Key key;
            reg::Status st = reg::Key::open(reg::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY, key);
            if (st != reg::Status::Ok)
                return st == reg::Status::NotFound ? reg::Status::Ok : st;
            for (const std::string &name : values)
                if ((st = key.remove_value(name)) != reg::Status::Ok && st != reg::Status::NotFound)
                    return st;
            return reg::Status::Ok;
        });
        if (s != reg::Status::Ok) {
            fprintf(stderr, "zt config unset: cannot delete values: %s\n", reg::status_text(s));
            return 1;
        }
    }
    return generic_update.empty() ? 0 : apply(generic_update);
}

int check(int argc, char **argv) {
    if (argc != 1)
        return bad_args("config", "check", "one FILE (or - for standard input)");
    std::string text, error;
    if (!read_input(argv[0], text, error)) {
        fprintf(stderr, "zt config check: %s: %s\n", input_name(argv[0]), error.c_str());
        return 1;
    }
    if (text.find('\0') != std::string::npos) {
        printf("%s: holds a NUL byte: not a configuration text\n", input_name(argv[0]));
        return 1;
    }
    Record record;
    auto definition = std::make_unique<ZtConfig>();
    InitConfig(bpconfLocalSource, record.get(), nullptr);
    const std::vector<Finding> findings = judge(text, record.get(), definition.get());
    for (const Finding &f : findings)
        printf("%s:%d: %s\n", input_name(argv[0]), f.line, f.reason.c_str());
    return findings.empty() ? 0 : 1;
}

} // namespace

int cmd_config_store(int argc, char **argv) {
    const char *sub = argv[0];
    if (strcmp(sub, "show") == 0)
        return show(argc - 1, argv + 1);
    if (strcmp(sub, "set") == 0)
        return set(argc - 1, argv + 1);
    if (strcmp(sub, "unset") == 0)
        return unset(argc - 1, argv + 1);
    if (strcmp(sub, "check") == 0)
        return check(argc - 1, argv + 1);
    return bad_args("config", nullptr, ("unknown subcommand " + std::string(sub)).c_str());
}

} // namespace zt
