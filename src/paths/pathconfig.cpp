// The installation path table: labels with templates, expanded on demand and
// cached for the life of the process, under one process-wide recursive mutex.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <string>
#include <string_view>
#include <syslog.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "paths/pathconfig_internal.h"
#include "paths/pathconfig_rows.h"
#include "paths/pathconfig_template.h"
#include "base/locks.h"
#include "ztbase/cmnlog.h"
#include "ztbase/paths.h"
#include "ztbase/strings.h"

namespace ztbase::pathconfig {
namespace {

const char kEmpty[] = "";

Table g_table;
// Once built, the table never gains or loses labels: a hash index over its
// nodes lets lookups of labels already expanded go without the lock.
using LabelIndex = std::unordered_map<std::string_view, Node *>;
std::atomic<const LabelIndex *> g_published{nullptr};

void publish_index(AVLtree *labels) {
    auto *index = new (std::nothrow) LabelIndex;
    if (index == nullptr)
        return; // lookups keep to the locked path
    try {
        index->reserve(kBuiltinRowCount + 64);
        AVLiterate(
            labels,
            [](void *item, void *arg) {
                auto *n = static_cast<Node *>(item);
                static_cast<LabelIndex *>(arg)->emplace(n->label, n);
            },
            index);
    } catch (const std::bad_alloc &) {
        delete index;
        return;
    }
    g_published.store(index, std::memory_order_release);
}
pthread_t g_owner;             // holder of lockConfig while nesting > 0
bool g_cycle_reported = false; // a template cycle is reported once per process

// The path-table mutex. After the library's unload has closed it, lookups go
// on unlocked: the table is never freed, and the process is ending.
class TableLock {
  public:
    TableLock() : m_(config_string_mutex()) {
        if (m_ != nullptr && pthread_mutex_lock(m_) != 0)
            abort();
    }
    ~TableLock() {
        if (m_ != nullptr)
            pthread_mutex_unlock(m_);
    }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;

  private:
    pthread_mutex_t *m_;
};

int node_compare(const void *key, const void *item) {
    return compare_labels(static_cast<const Node *>(key)->label,
                          static_cast<const Node *>(item)->label);
}

int command_compare(const void *key, const void *item) {
    return strcmp(static_cast<const Node *>(key)->unix_path,
                  static_cast<const Node *>(item)->unix_path);
}

void free_node(void *item) {
    auto *n = static_cast<Node *>(item);
    if (--n->refs > 0)
        return;
    if (n->cache != nullptr && n->cache != n->tmpl && n->cache != kEmpty)
        free(const_cast<char *>(n->cache.load()));
    if (n->owns_tmpl)
        free(const_cast<char *>(n->tmpl));
    if (n->owns_label)
        free(const_cast<char *>(n->label));
    delete n;
}

void drop_cache(void *item, void *) {
    auto *n = static_cast<Node *>(item);
    if (n->cache != nullptr && n->cache != n->tmpl && n->cache != kEmpty)
        free(const_cast<char *>(n->cache.load()));
    n->cache = nullptr;
}

// Expansion ------------------------------------------------------------------

const char *expand_node(Table &t, Node *n, std::vector<Node *> &stack);

// Expands a template in resolving mode. Throws std::bad_alloc when memory is short.
std::string expand_template(Table &t, const char *tmpl, std::vector<Node *> &stack,
                            bool *plain = nullptr) {
    std::string out;
    int tokens = 0;
    bool only_literal = true;
    Tokenizer tk(tmpl, Mode::Resolving);
    for (Token tok = tk.next(); tok.kind != Token::End; tok = tk.next()) {
        ++tokens;
        if (tok.kind == Token::Literal) {
            out += tok.text;
            continue;
        }
        only_literal = false;
        if (Node *m = find_node(t, tok.text.c_str())) {
            const char *value = expand_node(t, m, stack);
            if (value == nullptr)
                throw std::bad_alloc();
            out += value;
        }
    }
    if (plain != nullptr)
        *plain = only_literal && tokens <= 1 && out == tmpl;
    return out;
}

const char *expand_node(Table &t, Node *n, std::vector<Node *> &stack) {
    if (n->cache != nullptr)
        return n->cache;
    if (n->expanding) {
        // The label refers back to itself: every label from it to the top of the
        // stack is part of the cycle and expands to nothing.
        bool inside = false;
        for (Node *s : stack) {
            inside = inside || s == n;
            if (inside)
                s->in_cycle = true;
        }
        if (!g_cycle_reported) {
            g_cycle_reported = true;
            report_event("Circular pathconfig label reference detected (%s).", n->label);
        }
        return kEmpty;
    }
    n->expanding = true;
    stack.push_back(n);
    std::string value;
    bool plain = false;
    try {
        value = expand_template(t, n->tmpl, stack, &plain);
    } catch (...) {
        stack.pop_back();
        n->expanding = false;
        throw;
    }
    stack.pop_back();
    n->expanding = false;
    if (n->in_cycle) {
        n->cache = kEmpty;
    } else if (plain) {
        n->cache = n->tmpl; // a plain literal is its own expansion
    } else {
        char *copy = strdup(value.c_str());
        if (copy == nullptr)
            throw std::bad_alloc();
        n->cache = copy;
    }
    return n->cache;
}

// The expansion of a node, or null when memory ran short.
const char *expand_or_null(Table &t, Node *n) {
    if (n == nullptr)
        return nullptr;
    std::vector<Node *> stack;
    try {
        return expand_node(t, n, stack);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// The expansion of a label, or null when it failed.
const char *lookup_locked(const char *label) {
    Table &t = table_locked();
    return t.labels != nullptr ? expand_or_null(t, find_node(t, label)) : nullptr;
}

void build_command_map(Table &t, int wide) {
    t.commands = AVLopen(command_compare, free_node);
    if (t.commands == nullptr)
        return;
    for (size_t i = 0; i < kBuiltinRowCount; ++i) {
        const PathRow &row = kBuiltinRows[i];
        if ((row.flags & 1) != 0 || row.unix_path == nullptr)
            continue;
        const bool admitted = wide != 0 ? (row.flags & 14) != 0 : (row.flags & 2) != 0;
        if (!admitted)
            continue;
        Node *n = find_node(t, row.label);
        if (n == nullptr || n->unix_path != nullptr)
            continue;
        n->unix_path = row.unix_path;
        if (AVLinsert(t.commands, n) == n)
            ++n->refs;
        else
            n->unix_path = nullptr;
    }
}

} // namespace

int compare_labels(const char *a, const char *b) {
    int c = strcmp(a[0] != '\0' && a[1] != '\0' ? a + 2 : kEmpty,
                   b[0] != '\0' && b[1] != '\0' ? b + 2 : kEmpty);
    if (c != 0)
        return c;
    c = static_cast<unsigned char>(a[0]) - static_cast<unsigned char>(b[0]);
    if (c != 0 || a[0] == '\0')
        return c;
    return static_cast<unsigned char>(a[1]) - static_cast<unsigned char>(b[1]);
}

Node *find_node(Table &table, const char *label) {
    if (table.labels == nullptr || label == nullptr)
        return nullptr;
    Node key{};
    key.label = label;
    return static_cast<Node *>(AVLretrieve(table.labels, &key));
}

Table &table_locked() {
    Table &t = g_table;
    if (t.labels != nullptr)
        return t;
    t.labels = AVLopen(node_compare, free_node);
    if (t.labels == nullptr)
        return t;
    for (size_t i = 0; i < kBuiltinRowCount; ++i) {
        const PathRow &row = kBuiltinRows[i];
        Node *n = new (std::nothrow)
            Node{row.label, false, row.tmpl, false, nullptr, nullptr, 1, false, false};
        if (n == nullptr || AVLinsert(t.labels, n) != n) {
            if (n != nullptr) {
                report_event("Duplicate pathconfig label detected (%s).", row.label);
                abort(); // the built-in table is broken
            }
            AVLclose(t.labels);
            t.labels = nullptr;
            return t;
        }
    }
    if (install_overrides(t))
        AVLiterate(t.labels, drop_cache, nullptr);
    publish_index(t.labels);
    return t;
}

namespace {
std::atomic<EventReporter> g_reporter{nullptr};
} // namespace

void install_event_reporter(EventReporter reporter) {
    g_reporter.store(reporter, std::memory_order_release);
}

void report_event(const char *format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    // Under the source the process has open, if any: never close a daemon's own.
    if (EventReporter reporter = g_reporter.load(std::memory_order_acquire))
        reporter(getModuleID(), LOG_ERR, text);
}

void reset_for_tests() {
    TableLock lock;
    delete g_published.exchange(nullptr, std::memory_order_acq_rel);
    if (g_table.commands != nullptr)
        AVLclose(g_table.commands);
    if (g_table.labels != nullptr)
        AVLclose(g_table.labels);
    g_table = Table{};
    g_cycle_reported = false;
    reset_open_report_for_tests();
}

} // namespace ztbase::pathconfig

using namespace ztbase::pathconfig;

extern "C" ZTBASE_API const char *getFennicString(const char *label) {
    if (label == nullptr)
        return kEmpty;
    if (const LabelIndex *index = g_published.load(std::memory_order_acquire)) {
        auto it = index->find(label);
        if (it == index->end())
            return kEmpty;
        if (const char *cached = it->second->cache.load(std::memory_order_acquire))
            return cached;
    }
    TableLock lock;
    const char *value = lookup_locked(label);
    return value != nullptr ? value : kEmpty;
}

extern "C" ZTBASE_API int getFennicInt(const char *label) {
    const char *value = getFennicString(label);
    if (*value == '\0')
        return 0;
    return static_cast<int>(strtol(value, nullptr, 0));
}

extern "C" ZTBASE_API char *expandFennicString(const char *tmpl) {
    std::string value;
    if (tmpl != nullptr) {
        TableLock lock;
        Table &t = table_locked();
        std::vector<Node *> stack;
        try {
            value = expand_template(t, tmpl, stack);
        } catch (const std::bad_alloc &) {
            value.clear();
        }
    }
    return strdup(value.c_str());
}

extern "C" ZTBASE_API int freeFennicString(char *s) {
    free(s);
    return 1;
}

extern "C" ZTBASE_API const char *UnixToLocalCmd(const char *unixPath, int wide) {
    if (unixPath == nullptr || *unixPath == '\0')
        return nullptr;
    TableLock lock;
    Table &t = table_locked();
    if (t.labels == nullptr)
        return nullptr;
    if (t.commands == nullptr)
        build_command_map(t, wide);
    if (t.commands == nullptr)
        return nullptr;
    Node key{};
    key.unix_path = unixPath;
    return expand_or_null(t, static_cast<Node *>(AVLretrieve(t.commands, &key)));
}

extern "C" ZTBASE_API char *createNTFennicString(const char *text) {
    if (text == nullptr || *text == '\0')
        return nullptr;
    size_t quotes = 0, n = strlen(text);
    for (size_t i = 0; i < n; ++i)
        quotes += text[i] == '"';
    if (quotes % 2 != 0)
        return nullptr;
    char *out = static_cast<char *>(malloc(n - quotes + 3));
    if (out == nullptr)
        return nullptr;
    char *p = out;
    *p++ = '"';
    for (size_t i = 0; i < n; ++i)
        if (text[i] != '"')
            *p++ = text[i];
    *p++ = '"';
    *p = '\0';
    return out;
}

extern "C" ZTBASE_API char *changeToNTFennicString(char *text, size_t size) {
    if (text == nullptr || strchr(text, '"') == nullptr)
        return text;
    char *quoted = createNTFennicString(text);
    if (quoted != nullptr) {
        V_strlcpy(text, quoted, size);
        free(quoted);
    }
    return text;
}

extern "C" ZTBASE_API void *lockConfig(void) {
    pthread_mutex_t *m = ztbase::config_string_mutex();
    if (m != nullptr && pthread_mutex_lock(m) != 0)
        abort();
    Table &t = table_locked();
    if (t.nesting++ == 0)
        g_owner = pthread_self();
    return &t;
}

extern "C" ZTBASE_API int unlockConfig(void) {
    pthread_mutex_t *m = ztbase::config_string_mutex();
    // Only the holder may give the table back; anyone else is told "not zero".
    if (m != nullptr && pthread_mutex_trylock(m) != 0)
        return 0;
    int reached_zero = 0;
    if (g_table.nesting > 0 && pthread_equal(g_owner, pthread_self())) {
        reached_zero = --g_table.nesting == 0;
        if (m != nullptr)
            pthread_mutex_unlock(m); // the hold of the matching lockConfig
    }
    if (m != nullptr)
        pthread_mutex_unlock(m); // our trylock
    return reached_zero;
}
