#include "platform/working_files.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log_sink.h"

namespace ztbase::working {

int create_locked(std::string &tmpl, int suffix_length, mode_t mode) {
    int fd = mkostemps(tmpl.data(), suffix_length, O_CLOEXEC);
    if (fd < 0)
        return -1;
    // No one else has the file open yet, so the lock is ours at once.
    if (fchmod(fd, mode) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        unlink(tmpl.c_str());
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int remove_abandoned(const std::string &dir,
                     const std::function<bool(std::string_view name)> &is_working) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    int removed = 0;
    const int dfd = dirfd(d);
    while (dirent *e = readdir(d)) {
        if (!is_working(e->d_name))
            continue;
        int fd = openat(dfd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st, now_st;
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        const bool usable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        const bool young_and_empty =
            usable && st.st_size == 0 && now.tv_sec - st.st_ctim.tv_sec < 2;
        // Locked: its writer lives (or a child it forked still has it open).
        if (usable && !young_and_empty && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(dfd, e->d_name, &now_st, AT_SYMLINK_NOFOLLOW) == 0 &&
            now_st.st_ino == st.st_ino && now_st.st_dev == st.st_dev &&
            unlinkat(dfd, e->d_name, 0) == 0) {
            ++removed;
            logsink::logf(4, 0, "remove_abandoned", "removed %s/%s, left by a writer that is gone",
                          dir.c_str(), e->d_name);
        }
        close(fd);
    }
    closedir(d);
    return removed;
}

} // namespace ztbase::working
