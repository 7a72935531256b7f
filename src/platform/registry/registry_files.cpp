// Where the stores live: their directories, the modes of their files and the
// links on the way to them.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log_sink.h"
#include "platform/posix_io.h"
#include "platform/registry/registry_store.h"

namespace ztbase::registry {

namespace {

std::string home_directory() {
    const char *home = getenv("HOME");
    if (home != nullptr && *home != '\0')
        return home;
    struct passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
        pw.pw_dir != nullptr && *pw.pw_dir != '\0')
        return pw.pw_dir;
    return "/";
}

} // namespace

// Creates a directory and its missing parents with `mode`, whatever the umask.
bool make_directories(const std::string &dir, mode_t mode, const char *tag) {
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        const std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), mode) == 0) {
            chmod(part.c_str(), mode);
        } else if (errno != EEXIST) {
            logsink::logf(16, 0, tag, "cannot create registry directory %s: %s", part.c_str(),
                          strerror(errno));
            return false;
        }
    }
    return true;
}

// Makes a file SQLite will use with `mode` (the WAL files take the mode of the
// store file); an existing file is left as it is.
bool make_file(const std::string &file, mode_t mode, const char *tag) {
    int fd = pio::open_fd(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode).release();
    if (fd < 0) {
        if (errno == EEXIST)
            return true;
        logsink::logf(16, 0, tag, "cannot create registry store %s: %s", file.c_str(),
                      strerror(errno));
        return false;
    }
    fchmod(fd, mode);
    close(fd);
    return true;
}

// True when no link on the way to `path` belongs to a user other than this
// one and root: another user's link could point this process at files it
// must not touch (and have them made private below). A part not made yet is
// fine: this process makes it.
bool trusted_path(const std::string &path, int links) {
    if (links > 16)
        return false;
    const uid_t me = geteuid();
    std::string cur = !path.empty() && path[0] == '/' ? "/" : "";
    for (size_t pos = 0; pos < path.size();) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".")
            continue;
        const std::string parent = cur.empty() ? "." : cur;
        cur += (cur.empty() || cur.back() == '/' ? "" : "/") + part;
        struct stat st;
        if (lstat(cur.c_str(), &st) != 0)
            return errno == ENOENT;
        if (S_ISLNK(st.st_mode)) {
            if (st.st_uid != 0 && st.st_uid != me)
                return false;
            char target[4096];
            const ssize_t n = readlink(cur.c_str(), target, sizeof target - 1);
            if (n <= 0)
                return false;
            target[n] = '\0';
            if (!trusted_path(target[0] == '/' ? target : parent + "/" + target, links + 1))
                return false;
        }
    }
    return true;
}

// A current user's store made before it was kept private becomes private;
// links are not followed.
void make_private(const std::string &dir, const std::string &file) {
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & 077) != 0)
        chmod(dir.c_str(), 0700);
    for (const char *suffix : {"", "-wal", "-shm"}) {
        const std::string f = file + suffix;
        if (lstat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            (st.st_mode & 077) != 0)
            chmod(f.c_str(), 0600);
    }
}

std::string uri_of(const std::string &file) {
    std::string uri = "file:";
    for (unsigned char c : file) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            uri += hex;
        } else {
            uri.push_back(static_cast<char>(c));
        }
    }
    return uri + "?immutable=1";
}

bool exists(const std::string &file) {
    struct stat st;
    return stat(file.c_str(), &st) == 0;
}

std::string root_directory(Root root) {
    if (root == Root::LocalMachine) {
        const char *dir = getenv("ZT_REGISTRY");
        return dir != nullptr && *dir != '\0' ? dir : "/etc/quill/registry";
    }
    const char *dir = getenv("ZT_REGISTRY_USER");
    if (dir != nullptr && *dir != '\0')
        return dir;
    return home_directory() + "/.quill/registry";
}

} // namespace ztbase::registry
