// The text image parser and the record life cycle (defaults, copy, free), with
// the generic key/value list that keeps keys no item names.
//
// The parser works on one line at a time in a scratch buffer, so the caller's
// text is never changed and a reader that stops early cannot leave a cut in
// it. A lenient parse never fails on a bad line: the line is logged and
// skipped. Strict mode returns 20 (or a reader's other status) for the last bad
// line; running out of memory is always the result (10).
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <unordered_map>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/strings.h>

#include "base/zt_status.h"
#include "config/items/adhoc_config_ops.h"
#include "config/store/bpconf_internal.h"

namespace st = zt::status;

namespace ztbase::bpconf {

namespace cfg = ztbase::config;

int generic_index() {
    static const int index = getConfigIndexA("GENERIC_KEY_VAL_LIST");
    return index;
}

int32_t def_word(const ZtConfig *definition, int index) {
    const cfg::Row *row = cfg::live_row(index);
    if (definition == nullptr || row == nullptr)
        return 0;
    int32_t word;
    memcpy(&word, reinterpret_cast<const char *>(definition) + row->field, sizeof word);
    return word;
}

void set_def_word(ZtConfig *definition, int index, int32_t word) {
    const cfg::Row *row = cfg::live_row(index);
    if (definition != nullptr && row != nullptr)
        memcpy(reinterpret_cast<char *>(definition) + row->field, &word, sizeof word);
}

bool is_tombstone(const char *value) {
    return value != nullptr && strcmp(value, ZTCONFIG_TOMBSTONE) == 0;
}

const ZtKeyValNode *keyval_find(const ZtKeyValNode *head, const char *key) {
    for (; head != nullptr; head = head->next)
        if (head->key != nullptr && strcasecmp(head->key, key) == 0)
            return head;
    return nullptr;
}

int keyval_set(ZtKeyValNode **head, const char *key, const char *value) {
    ZtKeyValNode **link = head;
    for (; *link != nullptr; link = &(*link)->next) {
        if ((*link)->key != nullptr && strcasecmp((*link)->key, key) == 0) {
            char *copy = strdup(value);
            if (copy == nullptr)
                return st::kAllocFailed;
            free((*link)->value);
            (*link)->value = copy;
            return 0;
        }
    }
    auto *node = static_cast<ZtKeyValNode *>(calloc(1, sizeof(ZtKeyValNode)));
    if (node == nullptr)
        return st::kAllocFailed;
    node->key = strdup(key);
    node->value = strdup(value);
    if (node->key == nullptr || node->value == nullptr) {
        free(node->key);
        free(node->value);
        free(node);
        return st::kAllocFailed;
    }
    *link = node;
    return 0;
}

void keyval_free(ZtKeyValNode **head) {
    while (*head != nullptr) {
        ZtKeyValNode *next = (*head)->next;
        free((*head)->key);
        free((*head)->value);
        free(*head);
        *head = next;
    }
}

char *to_malloc(const std::string &text) {
    char *out = static_cast<char *>(malloc(text.size() + 1));
    if (out != nullptr)
        memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

int init_record(ZtConfigSource *source, ZtConfig *record) {
    int status = CopyConfig(record, &cfg::defaults());
    if (status != 0)
        return status;
    if (source != nullptr && source->defaultsHook != nullptr)
        return source->defaultsHook(record);
    return 0;
}

namespace {

constexpr const char *kTag = "ParseConfigExA";

bool space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

class Parser {
  public:
    Parser(ZtConfig *config, ZtConfig *definition, int flags, const LineObserver *observer)
        : config_(config), def_(definition), flags_(flags), observer_(observer) {}

    // Parses one line of text (without its '\n'); returns false when memory
    // ran out and the parse should stop.
    void line(const char *begin, size_t length, int number) {
        buf_.assign(begin, length);
        char *p = buf_.data();
        while (space(*p))
            ++p;
        if (*p == '\0' || *p == '#') {
            if (observer_ != nullptr)
                (*observer_)({number, LineKind::Blank, "", ""});
            return;
        }
        char *end = p + strlen(p);
        while (end > p && space(end[-1]))
            --end;
        *end = '\0';
        char *key = p;
        char *value = end;
        char *eq = strchr(p, '=');
        if (eq != nullptr) {
            value = eq + 1;
            char *kend = eq;
            while (kend > key && space(kend[-1]))
                --kend;
            *kend = '\0';
            while (space(*value))
                ++value;
        }
        if (observer_ != nullptr)
            (*observer_)({number,
                          eq == nullptr  ? LineKind::NoEquals
                          : *key == '\0' ? LineKind::NoKey
                                         : LineKind::Assignment,
                          key, value});
        item(key, value, number);
    }

    int result() const { return result_; }

  private:
    bool strict() const { return (flags_ & ZTPARSE_STRICT) != 0; }
    void fail(int status) {
        if (status == st::kAllocFailed || strict())
            if (result_ != st::kAllocFailed)
                result_ = status;
    }
    void log_entry(const char *prefix, int number, const char *key, const char *value) {
        if (*value != '\0')
            logmsgf(ZTLOG_DEBUG, kTag, "%s on line %d: %s = %s", prefix, number, key, value);
        else
            logmsgf(ZTLOG_DEBUG, kTag, "%s on line %d: %s", prefix, number, key);
    }

    void item(const char *key, char *value, int number) {
        if (*key == '\0') {
            log_entry("Badly formed configuration entry", number, key, value);
            fail(st::kInvalidParameter);
            return;
        }
        int index = getConfigIndexA(key);
        if (index == generic_index())
            generic_line(key, value, number);
        else if (index == -1)
            unknown_key(key, value);
        else if (index == -2) {
            if (*value != '\0')
                logmsgf(ZTLOG_DEBUG, kTag, "%s configuration option on line %d: %s = %s",
                        "Obsolete", number, key, value);
            else
                logmsgf(ZTLOG_DEBUG, kTag, "%s configuration option on line %d: %s", "Obsolete",
                        number, key);
            fail(st::kInvalidParameter);
        } else
            known_item(index, key, value, number);
    }

    void known_item(int index, const char *key, char *value, int number) {
        const bool empty = *value == '\0';
        if (empty && ConfigRequiresValue(index)) {
            if (flags_ & ZTPARSE_RECORD_EMPTY)
                set_def_word(def_, index, -number);
            else
                logmsgf(ZTLOG_DEBUG, kTag, "Missing 'value'; Option skipped on line %d: %s", number,
                        key);
            return;
        }
        char *cursor = value;
        int status = cfg::read_item(index, &cursor, config_, number);
        if (status == st::kAllocFailed) {
            log_entry("Unable to allocate memory; Option skipped", number, key, value);
            fail(st::kAllocFailed);
            return;
        }
        if (status == st::kInvalidParameter) {
            log_entry("Badly formed configuration entry", number, key, value);
            fail(st::kInvalidParameter);
            return;
        }
        if (status != 0) {
            if (!empty)
                logmsgf(ZTLOG_DEBUG, kTag,
                        "Read method returned unknown error code %d; Option skipped on line %d: %s "
                        "= %s",
                        status, number, key, value);
            else
                logmsgf(ZTLOG_DEBUG, kTag,
                        "Read method returned unknown error code %d; Option skipped on line %d: %s",
                        status, number, key);
            fail(status);
            return;
        }
        config_->valid = 1;
        while (cursor != nullptr && space(*cursor))
            ++cursor;
        if (cursor != nullptr && *cursor != '\0')
            logmsgf(ZTLOG_DEBUG, kTag, "Extra data (%s) at end of line %d ignored.", cursor,
                    number);
        int32_t earlier = def_word(def_, index);
        if (earlier != 0 && (cfg::live_row(index)->bits & cfg::S) != 0)
            logmsgf(ZTLOG_DEBUG, kTag,
                    "Option (%s) redefined on line %d, discarding definition on line %d.",
                    getConfigLabelA(index), number, earlier < 0 ? -earlier : earlier);
        set_def_word(def_, index, (flags_ & ZTPARSE_RECORD_EMPTY) && empty ? -number : number);
    }

    void generic_line(const char *key, char *value, int number) {
        set_def_word(def_, generic_index(), 1);
        if (*value == '\0') {
            keyval_free(&config_->GENERIC_KEY_VAL_LIST);
            generic_.clear();
            indexed_ = false;
            return;
        }
        std::string copy(value);
        char *k = nullptr;
        char *v = nullptr;
        if (getKeyValPairFromList(&k, &v, copy.data()) != 0) {
            log_entry("Badly formed configuration entry", number, key, value);
            fail(st::kInvalidParameter);
            return;
        }
        if (*k == '\0' || *v == '\0')
            return;
        // A generic key stored under an item's name would replace that item's
        // registry value behind the item's own checks.
        if (getConfigIndexA(k) != -1) {
            log_entry("Badly formed configuration entry", number, key, value);
            fail(st::kInvalidParameter);
            return;
        }
        if (generic_set(k, v) != 0) {
            log_entry("Unable to allocate memory; Option skipped", number, key, value);
            fail(st::kAllocFailed);
        }
    }

    void unknown_key(const char *key, const char *value) {
        set_def_word(def_, generic_index(), 1);
        const bool given = *value != '\0';
        if (generic_set(key, given ? value : ZTCONFIG_TOMBSTONE) != 0) {
            fail(st::kAllocFailed);
            return;
        }
        if (given)
            config_->valid = 1;
    }

    // keyval_set through an index of the list: thousands of unknown keys must
    // not cost a walk of the list each.
    int generic_set(const char *key, const char *value) {
        if (!indexed_) {
            generic_.clear();
            tail_ = &config_->GENERIC_KEY_VAL_LIST;
            for (; *tail_ != nullptr; tail_ = &(*tail_)->next)
                if ((*tail_)->key != nullptr)
                    generic_.emplace(folded((*tail_)->key), *tail_);
            indexed_ = true;
        }
        std::string name = folded(key);
        if (auto it = generic_.find(name); it != generic_.end()) {
            char *copy = strdup(value);
            if (copy == nullptr)
                return st::kAllocFailed;
            free(it->second->value);
            it->second->value = copy;
            return 0;
        }
        if (int s = keyval_set(tail_, key, value))
            return s;
        generic_.emplace(std::move(name), *tail_);
        tail_ = &(*tail_)->next;
        return 0;
    }
    static std::string folded(const char *key) {
        std::string out(key);
        for (char &c : out)
            c = char(tolower(static_cast<unsigned char>(c)));
        return out;
    }

    ZtConfig *config_;
    ZtConfig *def_;
    int flags_;
    const LineObserver *observer_;
    int result_ = 0;
    std::string buf_;
    std::unordered_map<std::string, ZtKeyValNode *> generic_;
    ZtKeyValNode **tail_ = nullptr;
    bool indexed_ = false;
};

int parse(char *text, ZtConfig *config, ZtConfig *definition, int flags,
          const LineObserver *observer) {
    std::unique_ptr<ZtConfig> scratch;
    if (definition == nullptr) {
        scratch.reset(new (std::nothrow) ZtConfig);
        if (scratch == nullptr)
            return st::kAllocFailed;
        definition = scratch.get();
        flags &= ~ZTPARSE_KEEP_DEFINITION;
    }
    if ((flags & ZTPARSE_KEEP_DEFINITION) == 0)
        memset(definition, 0, sizeof *definition);
    definition->valid = 1;
    if (config == nullptr || text == nullptr || *text == '\0')
        return 0;
    Parser parser(config, definition, flags, observer);
    int number = 1;
    for (const char *p = text;; ++number) {
        const char *nl = strchr(p, '\n');
        size_t length = nl != nullptr ? size_t(nl - p) : strlen(p);
        parser.line(p, length, number);
        if (nl == nullptr || parser.result() == st::kAllocFailed)
            break;
        p = nl + 1;
    }
    return parser.result();
}

} // namespace

int parse_observed(char *text, ZtConfig *config, ZtConfig *definition, int flags,
                   const LineObserver &observer) {
    return parse(text, config, definition, flags, observer ? &observer : nullptr);
}

} // namespace ztbase::bpconf

using namespace ztbase::bpconf;
namespace cfg = ztbase::config;

extern "C" {

ZTBASE_API int ParseConfigExA(char *text, ZtConfig *config, ZtConfig *definition, int flags) {
    return parse(text, config, definition, flags, nullptr);
}

ZTBASE_API int ParseConfigExW(const char16_t *text, ZtConfig *config, ZtConfig *definition,
                              int flags) {
    if (text == nullptr)
        return ParseConfigExA(nullptr, config, definition, flags);
    char *narrow = V_StrDupWideToUTF8(text);
    if (narrow == nullptr)
        return st::kAllocFailed;
    int status = ParseConfigExA(narrow, config, definition, flags);
    free(narrow);
    return status;
}

ZTBASE_API int InitConfig(ZtConfigSource *source, ZtConfig *record, ZtConfig *definition) {
    if (definition != nullptr)
        memset(definition, 0, sizeof *definition);
    if (record == nullptr)
        return st::kInvalidParameter;
    return init_record(source, record);
}

ZTBASE_API int getDefaultConfig(ZtConfigSource *source, ZtConfig *record) {
    return InitConfig(source, record, nullptr);
}

ZTBASE_API int CopyConfig(ZtConfig *to, const ZtConfig *from) {
    if (to == nullptr || from == nullptr)
        return st::kInvalidParameter;
    if (to == from)
        return 0;
    memcpy(to, from, sizeof *to);
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        const cfg::Row *row = cfg::live_row(i);
        if (row == nullptr || cfg::kTypeOps[uint8_t(row->type)].copy == nullptr)
            continue;
        if (cfg::copy_item(i, to, from) != 0) {
            // Fields from i on still alias from's: undo only what was copied.
            for (int j = i - 1; j >= 0; --j)
                if (const cfg::Row *r = cfg::live_row(j);
                    r != nullptr && cfg::kTypeOps[uint8_t(r->type)].copy)
                    cfg::free_item(j, to);
            memset(to, 0, sizeof *to);
            logmsg(ZTLOG_ERROR, "Unable to allocate memory for a configuration copy", "CopyConfig");
            return st::kAllocFailed;
        }
    }
    return 0;
}

ZTBASE_API void FreeConfig(ZtConfig *record) {
    if (record == nullptr)
        return;
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i)
        cfg::free_item(i, record);
    memset(record, 0, sizeof *record);
}

} // extern "C"
