// Shared pieces of the parsing, image, store and update modules: the words of
// a definition record, the generic key/value list, and the log tags.
#pragma once

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <ztbase/bpconf.h>

namespace ztbase::bpconf {

// The owner of a heap configuration record: its contents freed by
// FreeConfig, then the record itself.
struct RecordDeleter {
    void operator()(ZtConfig *record) const {
        FreeConfig(record);
        free(record);
    }
};
using Record = std::unique_ptr<ZtConfig, RecordDeleter>;

// A new zeroed record; empty when memory runs out.
inline Record new_record() {
    return Record(static_cast<ZtConfig *>(calloc(1, sizeof(ZtConfig))));
}

// The index of GENERIC_KEY_VAL_LIST.
int generic_index();

// The first 32-bit word of an item's field (0 for a null record or a bad index).
int32_t def_word(const ZtConfig *definition, int index);
void set_def_word(ZtConfig *definition, int index, int32_t word);

bool is_tombstone(const char *value);
// Adds or replaces (key compared ignoring case) at the end of the list: 0 or 10.
int keyval_set(ZtKeyValNode **head, const char *key, const char *value);
const ZtKeyValNode *keyval_find(const ZtKeyValNode *head, const char *key);
void keyval_free(ZtKeyValNode **head);

// Defaults copied into record and the source's hook run: 0 or a status.
int init_record(ZtConfigSource *source, ZtConfig *record);

// A malloc'd copy of text (null when memory runs out).
char *to_malloc(const std::string &text);

// A lock on the cluster-aware file's directory that spans an update (held
// exclusively, registry transaction and file rename together) or a read of
// the registry values and the file (shared), so that a reader never pairs
// the registry of one update with the file of another. Nested uses on one
// thread are free; the wait is bounded, after which the work goes on unlocked.
class ClusterLock {
  public:
    explicit ClusterLock(bool exclusive);
    ~ClusterLock();
    ClusterLock(const ClusterLock &) = delete;
    ClusterLock &operator=(const ClusterLock &) = delete;

  private:
    int fd_ = -1;
    bool nested_ = false;
};

// Reads the stored host configuration for an update: a missing store gives
// the defaults, and a stored state without a server is not refused.
int read_stored_for_update(ZtConfigSource *source, ZtConfig *record);

} // namespace ztbase::bpconf

namespace ztbase::bpconf {
// The image of record as makeConfigImageA makes it, appended to out: 0 or 10.
int make_image(const ZtConfig *config, const ZtConfig *definition, std::string &out);
} // namespace ztbase::bpconf

namespace ztbase::bpconf {
// How the parser splits one line of a text image, told to an observer before
// the line is read (so that whatever the line's reading logs comes after).
enum class LineKind {
    Blank,      // empty, white space or a '#' comment
    Assignment, // "KEY = VALUE" (VALUE may be empty)
    NoEquals,   // no '=': the whole line is taken as a key without value
    NoKey,      // nothing before the '='
};
struct LineView {
    int number; // 1-based
    LineKind kind;
    const char *key;   // trimmed ("" for Blank)
    const char *value; // trimmed, after the '=' ("" when none)
};
using LineObserver = std::function<void(const LineView &)>;
// ParseConfigExA, telling observer of every line first.
int parse_observed(char *text, ZtConfig *config, ZtConfig *definition, int flags,
                   const LineObserver &observer);
} // namespace ztbase::bpconf
