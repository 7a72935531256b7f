// Path overrides: values of the registry key Paths, one per label, read once
// when the table is built and installed over the built-in templates.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "paths/pathconfig_internal.h"
#include "paths/pathconfig_template.h"
#include "platform/registry/registry.h"
#include "ztbase/paths.h"

namespace ztbase::pathconfig {
namespace {

constexpr const char kPathsKey[] = "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Paths";
constexpr size_t kNameBuffer = 1024;

struct PathsHandle {
    std::vector<registry::Value> values;
    size_t next = 0;
};

// True when label's template leads back to target, directly or through the
// templates of other labels.
bool leads_to(Table &t, const std::string &label, const std::string &target,
              std::set<std::string> &seen) {
    if (label == target)
        return true;
    if (!seen.insert(label).second)
        return false;
    Node *n = find_node(t, label.c_str());
    if (n == nullptr)
        return false;
    Tokenizer tk(n->tmpl, Mode::Preserving);
    for (Token tok = tk.next(); tok.kind != Token::End; tok = tk.next())
        if (tok.kind == Token::Reference && leads_to(t, tok.text, target, seen))
            return true;
    return false;
}

// Builds a template: a symbolic reference is written $NAME, or ${NAME} when
// what comes next would otherwise run into the name.
class Writer {
  public:
    void text(const std::string &piece) {
        if (!piece.empty() && label_char(piece.front()) && pending_ != std::string::npos) {
            out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(pending_) + 1, '{');
            out_.push_back('}');
        }
        pending_ = std::string::npos;
        out_ += piece;
    }
    void reference(const std::string &name) {
        pending_ = out_.size();
        out_ += "$" + name;
    }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
    size_t pending_ = std::string::npos; // start of an unbraced reference just written
};

// Rewrites data in preserving mode: references that lead back to `target` are
// replaced by the templates they stand for (so "$X" in the override of X is
// X's previous template); every other reference stays symbolic.
void substitute(Table &t, const char *data, const std::string &target,
                std::set<std::string> &active, Writer &out) {
    Tokenizer tk(data, Mode::Preserving);
    for (Token tok = tk.next(); tok.kind != Token::End; tok = tk.next()) {
        if (tok.kind == Token::Literal) {
            out.text(tok.text);
            continue;
        }
        std::set<std::string> seen;
        if (!leads_to(t, tok.text, target, seen)) {
            out.reference(tok.text);
            continue;
        }
        Node *n = find_node(t, tok.text.c_str());
        if (n == nullptr || !active.insert(tok.text).second)
            continue; // nothing before, or an old cycle: contributes nothing
        substitute(t, n->tmpl, target, active, out);
        active.erase(tok.text);
    }
}

bool valid_label(const std::string &label) {
    if (label.size() < 2 || !label_start(label[0]))
        return false;
    for (char c : label)
        if (!label_char(c))
            return false;
    return true;
}

// Installs one override; true when it changed the table.
bool install(Table &t, const std::string &label, const std::string &data) {
    std::set<std::string> active;
    Writer writer;
    substitute(t, data.c_str(), label, active, writer);
    std::string result = writer.take();

    Node *n = find_node(t, label.c_str());
    if (n != nullptr) {
        if (result == n->tmpl)
            return false;
        if (result.empty()) {
            AVLdelete(t.labels, n);
            return true;
        }
        char *copy = strdup(result.c_str());
        if (copy == nullptr)
            return false;
        if (n->owns_tmpl)
            free(const_cast<char *>(n->tmpl));
        n->tmpl = copy;
        n->owns_tmpl = true;
        return true;
    }
    if (result.empty() || !valid_label(label))
        return false;
    char *name = strdup(label.c_str());
    char *tmpl = strdup(result.c_str());
    Node *node = name != nullptr && tmpl != nullptr
                     ? new (std::nothrow)
                           Node{name, true, tmpl, true, nullptr, nullptr, 1, false, false}
                     : nullptr;
    if (node == nullptr || AVLinsert(t.labels, node) != node) {
        free(name);
        free(tmpl);
        delete node;
        return false;
    }
    return true;
}

// Set once a failure to read the Paths key has been reported: a process
// reports it once, however often it looks.
std::atomic<bool> g_open_failure_reported{false};

// The text of one override as readPathsFile gives it; false (and the failure
// reported) when the value cannot be read.
bool override_text(const registry::Value &v, size_t index, std::string &text) {
    const char *error = nullptr;
    if (v.name.size() >= kNameBuffer)
        error = strerror(ENAMETOOLONG);
    else if (v.type == registry::kSz || v.type == registry::kExpandSz)
        text = v.text();
    else if (v.type == registry::kDword)
        text = std::to_string(v.number());
    else if (v.type == registry::kMultiSz)
        for (const std::string &s : v.strings())
            text += s + "\n";
    else
        error = strerror(EINVAL);
    if (error == nullptr)
        return true;
    report_event("%s (%d) - Registry read failed, %s.", kPathsKey, static_cast<int>(index), error);
    return false;
}

int octal(char c) {
    return c >= '0' && c <= '7' ? c - '0' : -1;
}

} // namespace

bool install_raw_for_tests(const std::string &label, const std::string &tmpl) {
    Table &t = table_locked();
    Node *n = find_node(t, label.c_str());
    if (n == nullptr)
        return install(t, label, tmpl);
    char *copy = strdup(tmpl.c_str());
    if (copy == nullptr)
        return false;
    if (n->owns_tmpl)
        free(const_cast<char *>(n->tmpl));
    n->tmpl = copy;
    n->owns_tmpl = true;
    return true;
}

std::string normalise_override(const std::string &data) {
    size_t begin = 0, end = data.size();
    while (begin < end && isspace(static_cast<unsigned char>(data[begin])))
        ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(data[end - 1])))
        --end;
    std::string out;
    for (size_t i = begin; i < end; ++i) {
        char c = data[i];
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (++i >= end)
            break; // a trailing backslash stands for nothing
        c = data[i];
        switch (c) {
        case 'a':
            out.push_back('\a');
            continue;
        case 'b':
            out.push_back('\b');
            continue;
        case 'f':
            out.push_back('\f');
            continue;
        case 'n':
            out.push_back('\n');
            continue;
        case 'r':
            out.push_back('\r');
            continue;
        case 't':
            out.push_back('\t');
            continue;
        default:
            break;
        }
        if (c >= '0' && c <= '3') {
            size_t j = i;
            int value = 0;
            for (int digits = 0; digits < 3 && j < end && octal(data[j]) >= 0; ++digits, ++j)
                value = value * 8 + octal(data[j]);
            if (value != 0)
                out.push_back(static_cast<char>(value));
            else
                out.append(data, i, j - i); // a zero byte would end the text: keep the digits
            i = j - 1;
            continue;
        }
        out.push_back(c);
    }
    return out;
}

bool install_overrides(Table &t) {
    auto *handle = static_cast<PathsHandle *>(openPathsFile());
    if (handle == nullptr)
        return false;
    bool changed = false;
    for (size_t index = 0; index < handle->values.size(); ++index) {
        const registry::Value &v = handle->values[index];
        std::string text;
        if (!override_text(v, index, text))
            continue;
        try {
            std::string data;
            if (v.type == registry::kMultiSz) {
                // A list keeps one name per line, each line ended, so that
                // lists concatenated by other labels stay apart.
                for (const std::string &s : v.strings()) {
                    std::string name = normalise_override(s);
                    if (!name.empty())
                        data += name + "\n";
                }
            } else {
                data = normalise_override(text);
            }
            changed = install(t, v.name, data) || changed;
        } catch (const std::bad_alloc &) {
            // skip this override; the built-in template stays
        }
    }
    closePathsFile(handle);
    return changed;
}

void reset_open_report_for_tests() {
    g_open_failure_reported.store(false);
}

} // namespace ztbase::pathconfig

using namespace ztbase::pathconfig;
using namespace ztbase::registry;

extern "C" ZTBASE_API void *openPathsFile(void) {
    Key key;
    Status s = Key::open(Root::LocalMachine, kPathsKey, key);
    auto *handle = s == Status::Ok ? new (std::nothrow) PathsHandle : nullptr;
    if (handle != nullptr && (s = key.values(handle->values)) != Status::Ok) {
        delete handle;
        handle = nullptr;
    }
    // No key is no overrides; a store that cannot be read is not, and the
    // process would run on the built-in paths without anyone knowing.
    if (s != Status::Ok && s != Status::NotFound && !g_open_failure_reported.exchange(true))
        report_event("%s - Registry open failed, %s.", kPathsKey, status_text(s));
    return handle;
}

extern "C" ZTBASE_API int readPathsFile(void *handle, char **name, char **value) {
    auto *h = static_cast<PathsHandle *>(handle);
    if (name != nullptr)
        *name = nullptr;
    if (value != nullptr)
        *value = nullptr;
    if (h == nullptr || h->next >= h->values.size())
        return 0;
    const size_t index = h->next++;
    const Value &v = h->values[index];
    std::string text;
    if (!override_text(v, index, text))
        return 1;
    if (name != nullptr)
        *name = strdup(v.name.c_str());
    if (value != nullptr)
        *value = strdup(text.c_str());
    return 1;
}

extern "C" ZTBASE_API void closePathsFile(void *handle) {
    delete static_cast<PathsHandle *>(handle);
}

// The module name -------------------------------------------------------------

namespace {

std::atomic<const char *> g_module_id{nullptr};

// A copy of a module name that stays allocated (and reachable) for the life of
// the process: a caller may still hold a name after it was replaced.
const char *kept_copy(const std::string &name) {
    static std::mutex mutex;
    static std::vector<std::unique_ptr<char, decltype(&free)>> names;
    char *copy = strdup(name.c_str());
    if (copy == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    try {
        names.emplace_back(copy, &free);
    } catch (const std::bad_alloc &) {
        free(copy);
        return nullptr;
    }
    return copy;
}

const char *compute_module_id() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0 || static_cast<size_t>(n) >= 1024)
        return "Zentor - pathconfig";
    path[n] = '\0';
    std::string base = path;
    size_t slash = base.find_last_of('/');
    if (slash != std::string::npos)
        base.erase(0, slash + 1);
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".exe") == 0)
        base.erase(base.size() - 4);
    if (base.empty())
        return "Zentor - pathconfig";
    const char *copy = kept_copy(base);
    return copy != nullptr ? copy : "Zentor - pathconfig";
}

} // namespace

extern "C" ZTBASE_API const char *getModuleID(void) {
    const char *id = g_module_id.load(std::memory_order_acquire);
    if (id != nullptr)
        return id;
    const char *computed = compute_module_id();
    if (g_module_id.compare_exchange_strong(id, computed, std::memory_order_acq_rel))
        return computed;
    return id; // another thread was first; its answer stands (ours is a few bytes kept)
}

extern "C" ZTBASE_API int setModuleID(const char *name) {
    if (name == nullptr)
        return 0;
    const char *copy = kept_copy(name);
    if (copy == nullptr)
        return 0;
    g_module_id.store(copy, std::memory_order_release);
    return 1;
}
