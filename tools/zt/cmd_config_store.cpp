// zt config show|set|unset|check: the operator's face of the local
// configuration store.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/status.h>

#include "commands.h"
#include "config/items/adhoc_config_ops.h"
#include "platform/registry/registry.h"

namespace zt {
namespace {

namespace reg = ztbase::registry;

const char kUsage[] =
    "config show [LABEL...] | set 'LABEL = VALUE'... | set -f FILE | unset LABEL... | "
    "check FILE";

struct Record {
    std::unique_ptr<ZtConfig> p = std::make_unique<ZtConfig>();
    ~Record() { FreeConfig(p.get()); }
    ZtConfig *get() { return p.get(); }
};

int failed(const char *what, int status) {
    fprintf(stderr, "zt config: %s: %s (%d)\n", what, getECmsg(status), status);
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

// The text of a file; a directory (which opens but reads as nothing) and a
// text with a NUL (whose rest the parser would never see) are refused.
bool read_whole(const char *path, std::string &out) {
    struct stat st;
    if (stat(path, &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    if (out.find('\0') != std::string::npos) {
        fprintf(stderr, "zt config: %s holds a NUL byte\n", path);
        return false;
    }
    return true;
}

int show(int argc, char **argv) {
    Record record;
    auto definition = std::make_unique<ZtConfig>();
    InitConfig(bpconfLocalSource, record.get(), nullptr);
    char *stored = nullptr;
    int status = getLocalHostConfigImage(bpconfLocalSource, &stored);
    if (status != 0 && status != 110)
        return failed("cannot read the configuration", status);
    ParseConfigExA(stored, record.get(), definition.get(), ZTPARSE_RECORD_EMPTY);
    free(stored);
    char *image = nullptr;
    if ((status = makeConfigImageA(record.get(), definition.get(), &image)) != 0)
        return failed("cannot make the image", status);
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
    if (status == 0)
        fputs(image, stdout);
    free(image);
    return status == 0 ? 0 : failed("cannot filter the image", status);
}

int apply(std::string text) {
    Record record;
    auto definition = std::make_unique<ZtConfig>();
    InitConfig(bpconfLocalSource, record.get(), nullptr);
    Diagnostics diagnostics;
    int status = ParseConfigExA(text.data(), record.get(), definition.get(),
                                ZTPARSE_RECORD_EMPTY | ZTPARSE_STRICT);
    if (status == 0)
        status = CheckSemanticsForUpdate(record.get(), definition.get());
    if (status == 0)
        status = UpdateLocalHostConfig(bpconfLocalSource, record.get(), definition.get());
    if (status != 0) {
        for (const std::string &line : diagnostics.lines())
            fprintf(stderr, "  %s\n", line.c_str());
        return failed("update refused", status);
    }
    return 0;
}

int set(int argc, char **argv) {
    if (argc == 0)
        return usage(kUsage);
    std::string text;
    if (strcmp(argv[0], "-f") == 0) {
        if (argc != 2)
            return usage(kUsage);
        if (!read_whole(argv[1], text)) {
            fprintf(stderr, "zt config: cannot read %s\n", argv[1]);
            return 1;
        }
    } else {
        for (int i = 0; i < argc; ++i)
            text += std::string(argv[i]) + "\n";
    }
    return apply(text);
}

// Item values are deleted from the registry; a cluster-aware item goes back
// to its default; a generic key is deleted through the update.
int unset(int argc, char **argv) {
    if (argc == 0)
        return usage(kUsage);
    std::string generic_update;
    std::vector<std::string> values;
    for (int i = 0; i < argc; ++i) {
        int index = getConfigIndexA(argv[i]);
        if (index == -2) {
            fprintf(stderr, "zt config: %s is obsolete\n", argv[i]);
            return 1;
        }
        if (index == getConfigIndexA("SERVER"))
            return failed("SERVER cannot be unset", 111);
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
            fprintf(stderr, "zt config: cannot delete values: %s\n", reg::status_text(s));
            return 1;
        }
    }
    return generic_update.empty() ? 0 : apply(generic_update);
}

int check(int argc, char **argv) {
    if (argc != 1)
        return usage(kUsage);
    std::string text;
    if (!read_whole(argv[0], text)) {
        fprintf(stderr, "zt config: cannot read %s\n", argv[0]);
        return 1;
    }
    Record record;
    InitConfig(bpconfLocalSource, record.get(), nullptr);
    std::vector<std::string> lines;
    {
        Diagnostics diagnostics;
        ParseConfigExA(text.data(), record.get(), nullptr, 0);
        lines = diagnostics.lines();
    }
    for (const std::string &line : lines)
        printf("%s: %s\n", argv[0], line.c_str());
    return lines.empty() ? 0 : 1;
}

} // namespace

int cmd_config_store(int argc, char **argv) {
    if (argc < 1)
        return usage(kUsage);
    const char *sub = argv[0];
    if (strcmp(sub, "--help") == 0) {
        printf("usage: zt %s\n", kUsage);
        return 0;
    }
    if (strcmp(sub, "show") == 0)
        return show(argc - 1, argv + 1);
    if (strcmp(sub, "set") == 0)
        return set(argc - 1, argv + 1);
    if (strcmp(sub, "unset") == 0)
        return unset(argc - 1, argv + 1);
    if (strcmp(sub, "check") == 0)
        return check(argc - 1, argv + 1);
    return usage(kUsage);
}

} // namespace zt
