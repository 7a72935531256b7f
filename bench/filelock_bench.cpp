// File locks: an uncontended acquireFileLock/releaseFileLock pair against a
// bare open-file-description lock/unlock pair on a descriptor held open.
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "ztbase/filelock.h"

namespace {

const std::string &lock_path() {
    static const std::string path = [] {
        std::string d = (std::filesystem::temp_directory_path() / "zt-lock-bench.XXXXXX").string();
        if (mkdtemp(d.data()) == nullptr)
            abort();
        return d + "/bench.lock";
    }();
    return path;
}

void BM_acquire_release(benchmark::State &state) {
    const int type = static_cast<int>(state.range(0));
    for (auto _ : state) {
        if (acquireFileLock(lock_path().c_str(), type, 1, 0) != 0 ||
            releaseFileLock(lock_path().c_str(), type) != 0)
            state.SkipWithError("lock failed");
    }
}
BENCHMARK(BM_acquire_release)->Arg(FILELOCK_READ)->Arg(FILELOCK_WRITE);

void BM_fcntl_pair(benchmark::State &state) {
    const short type = state.range(0) == FILELOCK_WRITE ? F_WRLCK : F_RDLCK;
    const int fd = open(lock_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lock {};
    lock.l_whence = SEEK_SET;
    lock.l_len = FILELOCK_RANGE;
    for (auto _ : state) {
        lock.l_type = type;
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0)
            state.SkipWithError("lock failed");
        lock.l_type = F_UNLCK;
        fcntl(fd, F_OFD_SETLK, &lock);
    }
    close(fd);
}
BENCHMARK(BM_fcntl_pair)->Arg(FILELOCK_READ)->Arg(FILELOCK_WRITE);

} // namespace

int main(int argc, char **argv) {
    const int rc = zt::bench::run_and_print_ratios(
        argc, argv,
        {{"BM_acquire_release/0", "BM_fcntl_pair/0"}, {"BM_acquire_release/1", "BM_fcntl_pair/1"}});
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(lock_path()).parent_path(), ec);
    return rc;
}
