// Lookups over the configuration item table and the formatting interface.
// getConfigIndexA answers the first row in table order whose label or
// alternative label matches; a hash index built once over the table keeps that
// rule (labels are entered in table order and a later duplicate is skipped).
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>

#include <ztbase/config.h>
#include <ztbase/strings.h>

#include "config/items/adhoc_config_ops.h"

namespace ztbase::config {
namespace {

constexpr int kTableSize = ZTCONFIG_TABLE_SIZE;

unsigned char fold(unsigned char c) {
    return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}

// FNV-1a over the upper-cased bytes.
uint32_t label_hash(const char *s) {
    uint32_t h = 2166136261u;
    for (; *s != '\0'; ++s)
        h = (h ^ fold(static_cast<unsigned char>(*s))) * 16777619u;
    return h;
}

bool same_label(const char *a, const char *b) {
    for (;; ++a, ++b) {
        if (fold(static_cast<unsigned char>(*a)) != fold(static_cast<unsigned char>(*b)))
            return false;
        if (*a == '\0')
            return true;
    }
}

class LabelIndex {
  public:
    LabelIndex() {
        for (auto &slot : slots_)
            slot = Slot{nullptr, 0, -1};
        for (int i = 0; i < kTableSize; ++i) {
            add(kRows[i].label, i);
            if (const char *const *alt = kRows[i].alt_labels)
                for (; *alt != nullptr; ++alt)
                    add(*alt, i);
        }
    }
    int find(const char *label) const {
        uint32_t h = label_hash(label);
        for (uint32_t i = h & kMask;; i = (i + 1) & kMask) {
            const Slot &s = slots_[i];
            if (s.index < 0)
                return -1;
            if (s.hash == h && same_label(s.label, label))
                return s.index;
        }
    }

  private:
    static constexpr uint32_t kSlots = 1024; // a power of two, over twice the labels
    static constexpr uint32_t kMask = kSlots - 1;
    struct Slot {
        const char *label;
        uint32_t hash;
        int index;
    };
    void add(const char *label, int index) {
        uint32_t h = label_hash(label);
        for (uint32_t i = h & kMask;; i = (i + 1) & kMask) {
            Slot &s = slots_[i];
            if (s.index < 0) {
                s = Slot{label, h, index};
                return;
            }
            if (s.hash == h && same_label(s.label, label))
                return; // an earlier row has it
        }
    }
    Slot slots_[kSlots];
};

const LabelIndex &label_index() {
    static const LabelIndex index;
    return index;
}

const Row *any_row(int index) {
    return index >= 0 && index < kTableSize ? &kRows[index] : nullptr;
}

} // namespace

const Row *live_row(int index) {
    const Row *row = any_row(index);
    return row != nullptr && row->type != Type::Obsolete ? row : nullptr;
}

int read_item(int index, char **cursor, ZtConfig *record, int line) {
    const Row *row = live_row(index);
    if (row == nullptr || record == nullptr || cursor == nullptr || *cursor == nullptr)
        return 20;
    return kTypeOps[uint8_t(row->type)].read(cursor, reinterpret_cast<char *>(record) + row->field,
                                             row->arg1, row->arg2, line);
}

int format_item(int index, const ZtConfig *record, std::string &out) {
    const Row *row = live_row(index);
    if (row == nullptr || record == nullptr)
        return 20;
    return kTypeOps[uint8_t(row->type)].format(reinterpret_cast<const char *>(record) + row->field,
                                               out, row->arg1, row->arg2);
}

int copy_item(int index, ZtConfig *dst, const ZtConfig *src) {
    const Row *row = live_row(index);
    if (row == nullptr || dst == nullptr || src == nullptr)
        return 20;
    char *d = reinterpret_cast<char *>(dst) + row->field;
    const char *s = reinterpret_cast<const char *>(src) + row->field;
    if (CopyFn copy = kTypeOps[uint8_t(row->type)].copy)
        return copy(d, s, row->arg1, row->arg2);
    memcpy(d, s, row->field_size);
    return 0;
}

void free_item(int index, ZtConfig *record) {
    const Row *row = live_row(index);
    if (row == nullptr || record == nullptr)
        return;
    if (FreeFn f = kTypeOps[uint8_t(row->type)].free)
        f(reinterpret_cast<char *>(record) + row->field, row->arg1, row->arg2);
}

} // namespace ztbase::config

using namespace ztbase::config;

namespace {

// The item's text including its NUL, or false for a bad index or a value that
// cannot be expressed.
bool item_text(const ZtConfig *record, int index, std::string &text) {
    text.clear();
    return format_item(index, record, text) == 0;
}

// Converts NUL-separated UTF-8 pieces (text plus its final NUL) piece by piece;
// bytes that are not UTF-8 are widened one by one.
std::u16string widen_pieces(const std::string &text) {
    std::u16string out;
    size_t pos = 0;
    const size_t total = text.size() + 1; // with the final NUL
    while (pos < total) {
        const char *piece = text.c_str() + pos;
        size_t len = strlen(piece);
        if (char16_t *w = V_StrDupUTF8ToWide(piece)) {
            out += w;
            free(w);
        } else {
            for (size_t i = 0; i < len; ++i)
                out += char16_t(static_cast<unsigned char>(piece[i]));
        }
        out += u'\0';
        pos += len + 1;
    }
    return out;
}

template <typename Char> int copy_out(const Char *text, size_t needed, Char *buffer, int *size) {
    int room = *size;
    *size = int(needed);
    if (buffer == nullptr || room < int(needed)) {
        if (buffer != nullptr && room > 0) {
            memcpy(buffer, text, sizeof(Char) * size_t(room - 1));
            buffer[room - 1] = Char(0);
        }
        return -1;
    }
    memcpy(buffer, text, sizeof(Char) * needed);
    return 0;
}

template <typename Char>
int grow_and_copy(const Char *text, size_t needed, Char **buffer, int *size) {
    if (needed > size_t(INT32_MAX))
        return -1;
    if (*buffer != nullptr && *size >= int(needed)) {
        memcpy(*buffer, text, sizeof(Char) * needed);
        return int(needed);
    }
    free(*buffer);
    *buffer = nullptr;
    size_t cap = *size > 0 ? size_t(*size) : 1024;
    while (cap < needed)
        cap *= 2;
    Char *fresh =
        cap <= size_t(INT32_MAX) ? static_cast<Char *>(malloc(cap * sizeof(Char))) : nullptr;
    if (fresh == nullptr) {
        cap = needed;
        fresh = static_cast<Char *>(malloc(cap * sizeof(Char)));
    }
    if (fresh == nullptr) {
        *size = 0;
        return -1;
    }
    memcpy(fresh, text, sizeof(Char) * needed);
    *buffer = fresh;
    *size = int(cap);
    return int(needed);
}

} // namespace

extern "C" {

ZTBASE_API int getConfigTableSize(void) {
    return ZTCONFIG_TABLE_SIZE;
}

ZTBASE_API int getConfigIndexA(const char *label) {
    if (label == nullptr)
        return -1;
    int index = label_index().find(label);
    if (index >= 0 && kRows[index].type == Type::Obsolete)
        return -2;
    return index;
}

ZTBASE_API int getConfigIndexW(const char16_t *label) {
    if (label == nullptr)
        return -1;
    char *narrow = V_StrDupWideToUTF8(label);
    if (narrow == nullptr)
        return -1;
    int index = getConfigIndexA(narrow);
    free(narrow);
    return index;
}

ZTBASE_API const char *getConfigLabelA(int index) {
    const Row *row = live_row(index);
    return row != nullptr ? row->label : nullptr;
}

ZTBASE_API const char16_t *getConfigLabelW(int index) {
    static char16_t buffer[64]; // longer than any label
    const char *label = getConfigLabelA(index);
    if (label == nullptr)
        return nullptr;
    size_t i = 0;
    for (; label[i] != '\0' && i + 1 < sizeof buffer / sizeof buffer[0]; ++i)
        buffer[i] = char16_t(static_cast<unsigned char>(label[i]));
    buffer[i] = u'\0';
    return buffer;
}

ZTBASE_API const char *const *getConfigAltLabels(int index) {
    const Row *row = live_row(index);
    return row != nullptr ? row->alt_labels : nullptr;
}

ZTBASE_API int IsMultiLineConfigData(int index) {
    const Row *row = live_row(index);
    if (row == nullptr)
        return 0;
    if (row->type == Type::Flags)
        return 1;
    return row->type == Type::List &&
           (static_cast<const ListDesc *>(row->arg2)->flags & kDelimMask) == kWhole;
}

ZTBASE_API int ConfigRequiresValue(int index) {
    const Row *row = live_row(index);
    return row != nullptr ? int(row->bits & R) : 0;
}

ZTBASE_API int getConfigDataType(int index) {
    if (index < 0 || index >= ZTCONFIG_TABLE_SIZE)
        return -1;
    return int(kRows[index].type);
}

ZTBASE_API void *getConfigDataPointer(ZtConfig *record, int index) {
    const Row *row = live_row(index);
    if (row == nullptr || record == nullptr)
        return nullptr;
    return reinterpret_cast<char *>(record) + row->field;
}

ZTBASE_API int formatConfigItemA(const ZtConfig *record, int index, char *buffer, int *size) {
    if (size == nullptr)
        return -1;
    std::string text;
    if (!item_text(record, index, text)) {
        *size = 0;
        return -1;
    }
    return copy_out(text.c_str(), text.size() + 1, buffer, size);
}

ZTBASE_API int getFormattedConfigItemA(const ZtConfig *record, int index, char **buffer,
                                       int *size) {
    if (buffer == nullptr || size == nullptr)
        return -1;
    std::string text;
    if (!item_text(record, index, text))
        return -1;
    return grow_and_copy(text.c_str(), text.size() + 1, buffer, size);
}

ZTBASE_API int formatConfigItemW(const ZtConfig *record, int index, char16_t *buffer, int *size) {
    if (size == nullptr)
        return -1;
    std::string text;
    if (!item_text(record, index, text)) {
        *size = 0;
        return -1;
    }
    std::u16string wide = widen_pieces(text);
    return copy_out(wide.data(), wide.size(), buffer, size);
}

ZTBASE_API int getFormattedConfigItemW(const ZtConfig *record, int index, char16_t **buffer,
                                       int *size) {
    if (buffer == nullptr || size == nullptr)
        return -1;
    std::string text;
    if (!item_text(record, index, text))
        return -1;
    std::u16string wide = widen_pieces(text);
    return grow_and_copy(wide.data(), wide.size(), buffer, size);
}

ZTBASE_API int isULParam(int index) {
    static const int verbose[4] = {getConfigIndexA("PEM_VERBOSE"), getConfigIndexA("JM_VERBOSE"),
                                   getConfigIndexA("RB_VERBOSE"), getConfigIndexA("VERBOSE")};
    if (index < 0)
        return 0;
    if (index == verbose[3])
        return 2;
    return index == verbose[0] || index == verbose[1] || index == verbose[2] ? 1 : 0;
}

ZTBASE_API int isClusterAwareParam(int index) {
    const Row *row = live_row(index);
    return row != nullptr ? int(row->bits & C) : 0;
}

ZTBASE_API int anyClusterAwareEntryModified(const ZtConfig *definitionRecord) {
    if (definitionRecord == nullptr)
        return 0;
    for (const Row &row : kRows) {
        if (row.type == Type::Obsolete || (row.bits & C) == 0)
            continue;
        int32_t word;
        memcpy(&word, reinterpret_cast<const char *>(definitionRecord) + row.field, sizeof word);
        if (word != 0)
            return 1;
    }
    return 0;
}

} // extern "C"
