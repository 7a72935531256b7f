// The registry store: keys under two roots (local machine, current user),
// backslash-separated paths, typed values, and a last-write time per key.
// Names compare without regard to case and keep the case they were created
// with. Every process of the host shares one SQLite database per root, so
// readers see either the old or the new value and a crash mid-write leaves the
// old one.
#pragma once

#include <cstdint>
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
    InvalidArgument, // a malformed path or name
    Unavailable,     // the store cannot be opened, or stays busy beyond the wait
    Corrupt,         // the file is not a registry database
};

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

// The directory holding a root's database (from ZT_REGISTRY / ZT_REGISTRY_USER).
std::string root_directory(Root root);

// The keys under `path` (the whole root when empty) in a readable text form:
// one "[path] time" section per key followed by its values as "name"=data lines.
Status export_text(Root root, std::string_view path, std::string &out);

} // namespace ztbase::registry
