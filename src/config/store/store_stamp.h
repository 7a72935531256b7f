// When the configuration store last changed, as the status of its files tells
// it without a query: the registry store's database and write-ahead log, and
// the cluster-aware file. One place names the files and holds the rule that a
// state is trusted only once it has settled.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace ztbase::bpconf {

// What a stat says about one file (all zero when it is absent).
struct FileStamp {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;
    bool operator==(const FileStamp &) const = default;
    // The newer of the modification and status-change times, 0 when absent.
    int64_t newest_ns() const { return mtime_ns > ctime_ns ? mtime_ns : ctime_ns; }
};

FileStamp stamp_of(const std::string &path);

// The registry store's files in its directory (the root's directory of the
// registry): database and write-ahead log.
struct StoreStamp {
    FileStamp db, wal;
    bool operator==(const StoreStamp &) const = default;
    int64_t newest_ns() const;
};

StoreStamp store_stamp(const std::string &directory);

// The cluster-aware file named by path (an empty path: absent).
FileStamp cluster_file_stamp(const std::string &path);

// Files written within the last second may be written again with the same
// times: a state is settled, and may be taken as known, only when its newest
// time lies more than a second before now_ns.
constexpr int64_t kSettleNs = 1000000000;
inline bool settled(int64_t newest_ns, int64_t now_ns) {
    return now_ns - newest_ns > kSettleNs;
}

// The wall clock in nanoseconds since 1970.
int64_t real_ns();

} // namespace ztbase::bpconf
