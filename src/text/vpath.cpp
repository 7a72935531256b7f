// File-system calls on UTF-8 paths. Linux paths are bytes already; the path
// must still be valid UTF-8, as callers rely on the same refusal everywhere.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log_sink.h"
#include "platform/posix_io.h"
#include "ztbase/debuglog.h"
#include "ztbase/strings.h"

namespace {

bool convertible(const char *path, const char *tag) {
    if (!ztbase::pio::utf8_path(path)) {
        ztbase::logsink::logf(ZTLOG_DEBUG, 0, tag, "unable to convert path %s to Unicode",
                              path != nullptr ? path : "(null)");
        errno = EINVAL;
        return false;
    }
    return true;
}

using ztbase::pio::Fd;

// A move of a regular file to another file system: copy beside the target,
// make it durable, rename it into place, then remove the source. Returns 0 or
// an errno value.
int move_across(const char *from, const char *to) {
    struct stat st;
    if (lstat(from, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EXDEV;
    Fd in = ztbase::pio::open_fd(from, O_RDONLY | O_NOFOLLOW);
    if (in.get() < 0)
        return errno;

    std::string target(to);
    size_t slash = target.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // Room for the suffix within a file name's limit, cut on a character boundary.
    if (base.size() > 200) {
        size_t cut = 200;
        while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80)
            --cut;
        base.resize(cut);
    }
    std::string temp = dir + "/." + base + ".XXXXXX";
    Fd out(mkostemp(temp.data(), O_CLOEXEC));
    if (out.get() < 0)
        return errno;

    int err = 0;
    char buffer[65536];
    for (;;) {
        size_t got = 0;
        err = ztbase::pio::read_all(in.get(), buffer, sizeof buffer, &got);
        if (err == 0 && got > 0)
            err = ztbase::pio::write_all(out.get(), buffer, got);
        if (err == ztbase::pio::kNoProgress)
            err = ENOSPC;
        if (err != 0 || got < sizeof buffer)
            break;
    }
    if (err == 0) {
        // Keep what a rename keeps: mode, times and (when allowed) owner.
        if (fchown(out.get(), st.st_uid, st.st_gid) != 0) {
            // not permitted for ordinary users: the file stays theirs
        }
        fchmod(out.get(), st.st_mode & 07777);
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out.get(), times);
        if (fsync(out.get()) != 0)
            err = errno;
    }
    if (!out.close() && err == 0)
        err = errno;
    if (err == 0 && rename(temp.c_str(), to) != 0)
        err = errno;
    if (err != 0) {
        unlink(temp.c_str());
        return err;
    }
    Fd dirfd = ztbase::pio::open_fd(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirfd.get() >= 0)
        fsync(dirfd.get());
    if (unlink(from) != 0)
        ztbase::logsink::logf(ZTLOG_WARNING, 0, "renameUTF8Path",
                              "copied %s to %s but cannot remove it: %s", from, to,
                              strerror(errno));
    return 0;
}

} // namespace

extern "C" {

ZTBASE_API int accessUTF8Path(const char *path, int mode) {
    return convertible(path, "accessUTF8Path") ? access(path, mode) : -1;
}

ZTBASE_API int unlinkUTF8Path(const char *path) {
    return convertible(path, "unlinkUTF8Path") ? unlink(path) : -1;
}

ZTBASE_API int removeUTF8Path(const char *path) {
    return convertible(path, "removeUTF8Path") ? remove(path) : -1;
}

ZTBASE_API FILE *fopenUTF8Path(const char *path, const char *mode) {
    if (!convertible(path, "fopenUTF8Path"))
        return nullptr;
    if (mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return ztbase::pio::open_stream(path, mode);
}

ZTBASE_API int openUTF8Path(const char *path, int flags) {
    return convertible(path, "openUTF8Path")
               ? ztbase::pio::open_as_given(path, flags, 0666).release()
               : -1;
}

ZTBASE_API int openUTF8PathMode(const char *path, int flags, int mode) {
    return convertible(path, "openUTF8PathMode")
               ? ztbase::pio::open_as_given(path, flags, static_cast<mode_t>(mode)).release()
               : -1;
}

ZTBASE_API int mkdirUTF8Path(const char *path) {
    return convertible(path, "mkdirUTF8Path") ? mkdir(path, 0777) : -1;
}

ZTBASE_API int rmdirUTF8Path(const char *path) {
    return convertible(path, "rmdirUTF8Path") ? rmdir(path) : -1;
}

ZTBASE_API int statUTF8Path(const char *path, struct stat *st) {
    if (!convertible(path, "statUTF8Path"))
        return -1;
    if (st == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return stat(path, st);
}

ZTBASE_API int lstatUTF8Path(const char *path, struct stat *st) {
    if (!convertible(path, "lstatUTF8Path"))
        return -1;
    if (st == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return lstat(path, st);
}

ZTBASE_API int renameUTF8Path(const char *from, const char *to) {
    if (!convertible(from, "renameUTF8Path") || !convertible(to, "renameUTF8Path"))
        return -1;
    int err = rename(from, to) == 0 ? 0 : errno;
    if (err == EXDEV) {
        try {
            err = move_across(from, to);
        } catch (const std::bad_alloc &) {
            err = ENOMEM;
        }
    }
    if (err != 0)
        errno = ztbase::pio::crt_errno(err);
    return err;
}

} // extern "C"
