// Key/value access to a record: the generic key/value list first, then the
// Int and String items by label. A tombstoned generic key reads as absent.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <unordered_set>

#include <ztbase/bpconf.h>

#include "config/items/adhoc_config_ops.h"
#include "config/store/bpconf_internal.h"
#include "base/zt_status.h"

namespace st = zt::status;

using namespace ztbase::bpconf;
namespace cfg = ztbase::config;

namespace {

bool space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Isolates the parenthesised group at p (after white space), nesting counted,
// trailing white space inside cut. Returns the text after the group, or null.
char *paren_group(char *p, char **start) {
    while (space(*p))
        ++p;
    if (*p != '(')
        return nullptr;
    int depth = 1;
    char *q = p + 1;
    for (; *q != '\0'; ++q) {
        if (*q == '(')
            ++depth;
        else if (*q == ')' && --depth == 0)
            break;
    }
    if (*q == '\0')
        return nullptr;
    *start = p + 1;
    char *after = q + 1;
    while (q > *start && space(q[-1]))
        --q;
    *q = '\0';
    return after;
}

// 0 with text holding the value, or 227.
int lookup(const ZtConfig *record, const char *key, std::string &text) {
    if (record == nullptr || key == nullptr)
        return st::kNoEntity;
    if (const ZtKeyValNode *node = keyval_find(record->GENERIC_KEY_VAL_LIST, key)) {
        if (is_tombstone(node->value))
            return st::kNoEntity;
        text = node->value != nullptr ? node->value : "";
        return text.empty() ? st::kNoEntity : 0;
    }
    int index = getConfigIndexA(key);
    int type = getConfigDataType(index);
    if (index < 0 || (type != ZTCONFIG_TYPE_INT && type != ZTCONFIG_TYPE_STRING))
        return st::kNoEntity;
    text.clear();
    if (cfg::format_item(index, record, text) != 0 || text.empty())
        return st::kNoEntity;
    return 0;
}

} // namespace

extern "C" {

ZTBASE_API int getKeyValPairFromList(char **key, char **value, char *text) {
    if (key == nullptr || value == nullptr || text == nullptr)
        return -1;
    char *k = nullptr;
    char *v = nullptr;
    char *rest = paren_group(text, &k);
    if (rest == nullptr || (rest = paren_group(rest, &v)) == nullptr)
        return -1;
    while (space(*rest))
        ++rest;
    if (*rest != '\0')
        return -1;
    *key = k;
    *value = v;
    return 0;
}

ZTBASE_API void combineKeyValLists(ZtConfig *updated, ZtConfig *stored) {
    if (updated == nullptr || stored == nullptr)
        return;
    // The keys already in updated, ignoring case; a set rather than a walk
    // of the list per stored key.
    std::unordered_set<std::string> present;
    auto folded = [](const char *key) {
        std::string out(key);
        for (char &c : out)
            c = char(tolower(static_cast<unsigned char>(c)));
        return out;
    };
    ZtKeyValNode **tail = &updated->GENERIC_KEY_VAL_LIST;
    for (; *tail != nullptr; tail = &(*tail)->next)
        if ((*tail)->key != nullptr)
            present.insert(folded((*tail)->key));
    ZtKeyValNode *node = stored->GENERIC_KEY_VAL_LIST;
    stored->GENERIC_KEY_VAL_LIST = nullptr;
    while (node != nullptr) {
        ZtKeyValNode *next = node->next;
        node->next = nullptr;
        if (node->key == nullptr || !present.insert(folded(node->key)).second) {
            keyval_free(&node);
        } else {
            *tail = node;
            tail = &node->next;
        }
        node = next;
    }
}

ZTBASE_API int bpconfGetKeyValPair(const ZtConfig *record, const char *key, char **value) {
    if (value == nullptr)
        return st::kNoEntity;
    std::string text;
    int status = lookup(record, key, text);
    if (status != 0)
        return status;
    *value = strdup(text.c_str());
    return *value != nullptr ? 0 : st::kNoMemory;
}

ZTBASE_API int bpconfGetKeyValPairInBuffer(const ZtConfig *record, const char *key, char *buffer,
                                           int size) {
    std::string text;
    int status = lookup(record, key, text);
    if (status != 0)
        return status;
    if (buffer == nullptr || size <= 0)
        return st::kValueTooLong;
    if (text.size() + 1 > size_t(size)) {
        memcpy(buffer, text.data(), size_t(size) - 1);
        buffer[size - 1] = '\0';
        return st::kValueTooLong;
    }
    memcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}

ZTBASE_API int bpconfGetKeyValPairAsBool(const ZtConfig *record, const char *key, int *out) {
    std::string text;
    int status = lookup(record, key, text);
    if (status != 0)
        return status;
    const char *t = text.c_str();
    if (strcasecmp(t, "TRUE") == 0 || strcmp(t, "1") == 0 || strcasecmp(t, "YES") == 0)
        *out = 1;
    else if (strcasecmp(t, "FALSE") == 0 || strcmp(t, "0") == 0 || strcasecmp(t, "NO") == 0)
        *out = 0;
    else
        return st::kInvalidValue;
    return 0;
}

ZTBASE_API int bpconfGetKeyValPairAsInt(const ZtConfig *record, const char *key, int *out) {
    std::string text;
    int status = lookup(record, key, text);
    if (status != 0)
        return status;
    char *end = nullptr;
    errno = 0;
    long n = strtol(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE || n < INT_MIN || n > INT_MAX)
        return st::kInvalidValue;
    *out = int(n);
    return 0;
}

} // extern "C"
