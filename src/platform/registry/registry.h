// The registry store: keys under two roots (local machine, current user),
// backslash-separated paths, typed values, and a last-write time per key.
// Names compare without regard to case (Unicode simple case folding: É and é
// are one name) and keep the case they were created with. Every process of the host shares one
// SQLite database per root, so readers see either the old or the new value and a crash mid-write
// leaves the old one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ztbase::registry {

enum class Root { LocalMachine, CurrentUser };

// Value types, numbered as the registry numbers them.
enum ValueType : uint32_t {
    kNone = 0,
    kSz = 1,
    kExpandSz = 2,
    kBinary = 3,
    kDword = 4,
    kMultiSz = 7,
    kQword = 11,
};

enum class Status {
    Ok = 0,
    NotFound,        // no such key or value (also: no store yet)
    InvalidArgument, // a malformed path, name or text
    Unavailable,     // the store cannot be opened
    Corrupt,         // the file is not a registry database
    Busy,            // other writers held the store beyond the wait
    ReadOnly,        // this process may not write the store
    TooDeep,         // a key path of more than kMaxDepth levels
    Failed,          // the store failed otherwise (disk full, I/O error); logged
};

// The deepest key path, in levels below the root.
constexpr size_t kMaxDepth = 512;

const char *status_text(Status status);

struct Value {
    std::string name;
    uint32_t type = kNone;
    // Raw data: kSz/kExpandSz text without terminator; kDword 4 bytes and kQword
    // 8 bytes, little-endian; kMultiSz each string followed by a NUL, then a NUL.
    std::string data;

    static Value sz(std::string name, std::string_view text);
    static Value dword(std::string name, uint32_t number);
    static Value multi_sz(std::string name, const std::vector<std::string> &strings);

    std::string text() const;                 // kSz/kExpandSz text
    uint32_t number() const;                  // kDword value (0 when the data is short)
    std::vector<std::string> strings() const; // kMultiSz strings
};

// An open key. Handles are cheap values; a key deleted elsewhere makes every
// later operation on its handle answer NotFound.
class Key {
  public:
    // Opens an existing key; NotFound when it (or the store) is missing.
    static Status open(Root root, std::string_view path, Key &out);
    // Opens a key, creating it and its missing parents.
    static Status create(Root root, std::string_view path, Key &out);
    // Deletes a key with all its subkeys and values.
    static Status remove_tree(Root root, std::string_view path);

    Status query(std::string_view name, Value &out) const;
    Status set(const Value &value);
    Status remove_value(std::string_view name);
    // Values in the order they were first created.
    Status values(std::vector<Value> &out) const;
    // Names of the direct subkeys, in alphabetical order ignoring case.
    Status subkeys(std::vector<std::string> &out) const;
    // Nanoseconds since 1970 of the last set or delete of a value; moves
    // forward on every change, even within one clock tick.
    Status last_write(int64_t &ns) const;

    Root root() const { return root_; }
    const std::string &path() const { return path_; }

  private:
    friend class Store;
    Root root_ = Root::LocalMachine;
    int64_t id_ = -1;
    std::string path_;
};

// Runs fn inside one write transaction of a root's store (created when
// missing): every Key call on that root that fn makes on this thread joins it,
// and its changes are committed together when fn returns Ok, else none of them.
// Other threads of the process wait until it ends. fn runs once.
Status transact(Root root, const std::function<Status()> &fn);
// Runs fn inside one read transaction: the Key calls it makes on this thread
// see one snapshot of the store, whatever other processes change meanwhile.
Status read_snapshot(Root root, const std::function<Status()> &fn);

// The directory holding a root's database (from ZT_REGISTRY / ZT_REGISTRY_USER;
// the current user's default lies under the home directory of the passwd entry
// when HOME is unset).
std::string root_directory(Root root);

// Closes this process's connections, which moves committed data from the
// write-ahead log into the store file. Runs by itself at process exit; later
// calls reopen.
void close_all();

// A consistent copy of a root's store in one self-contained file (written to a
// temporary name and renamed into place), and the store replaced by such a copy
// in one transaction. restore refuses a file that is not a registry store.
Status backup(Root root, const std::string &file);
Status restore(Root root, const std::string &file);

// The text form of keys: one "[path] time" section per key, followed by its
// values as "name"=data lines. Paths are relative to the root and joined by
// backslashes; times are seconds since 1970.
struct TextKey {
    std::string path;
    int64_t last_write_ns = 0;
    std::vector<Value> values;
};
struct TextTree {
    Root root = Root::LocalMachine;
    std::vector<TextKey> keys;
};
std::string format_text(const TextTree &tree);
// InvalidArgument for a malformed text; *bad_line is then its 1-based line.
Status parse_text(std::string_view text, TextTree &out, size_t *bad_line = nullptr);

// The keys under `path` (the whole root when empty), read in one transaction.
Status export_text(Root root, std::string_view path, std::string &out);
// Creates the keys and sets the values of a text (times are not restored: the
// keys' last-write times move forward) in one transaction: all or nothing.
Status import_text(std::string_view text, size_t *bad_line = nullptr);

} // namespace ztbase::registry
