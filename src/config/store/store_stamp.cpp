#include "config/store/store_stamp.h"

#include <algorithm>
#include <ctime>
#include <sys/stat.h>

namespace ztbase::bpconf {

namespace {

constexpr const char *kDatabase = "/registry.db";
constexpr const char *kWriteAheadLog = "/registry.db-wal";

int64_t ns_of(const timespec &ts) {
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

FileStamp stamp_of(const std::string &path) {
    FileStamp s;
    struct stat sb;
    if (!path.empty() && stat(path.c_str(), &sb) == 0) {
        s.present = true;
        s.dev = sb.st_dev;
        s.ino = sb.st_ino;
        s.size = sb.st_size;
        s.mtime_ns = ns_of(sb.st_mtim);
        s.ctime_ns = ns_of(sb.st_ctim);
    }
    return s;
}

int64_t StoreStamp::newest_ns() const {
    return std::max(db.newest_ns(), wal.newest_ns());
}

StoreStamp store_stamp(const std::string &directory) {
    return StoreStamp{stamp_of(directory + kDatabase), stamp_of(directory + kWriteAheadLog)};
}

FileStamp cluster_file_stamp(const std::string &path) {
    return stamp_of(path);
}

int64_t real_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ns_of(ts);
}

} // namespace ztbase::bpconf
