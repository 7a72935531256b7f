// The cluster-aware configuration file: its reader, its rewrite and the
// temporary names the rewrite uses.
//
// A rewrite goes to a temporary file next to the real one (symbolic links
// resolved), which is flushed to disk before it replaces the file by rename:
// a crash leaves the old file or the new one, never a short one. The file is
// replaced only after a complete, error-free rewrite, and the temporary file
// never outlives the call; one left by a writer that was killed is removed by
// the next rewrite.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/paths.h>

#include "config/items/adhoc_config_ops.h"
#include "config/store/bpconf_internal.h"
#include "base/zt_status.h"
#include "platform/posix_io.h"
#include "platform/working_files.h"
#include "text/trim.h"

namespace st = zt::status;

using namespace ztbase::bpconf;
namespace cfg = ztbase::config;

namespace {

constexpr const char *kRewriteTag = "WriteClusterAwareConfigFile";

constexpr const char *kReadTag = "ReadClusterAwareConfigFile";

// The file opened for ReadClusterAwareConfigFile, an open that fails tried
// three times. Only a regular file is read: a FIFO in its place must not hang
// every reader, and a device has no end to read to. No file is no error.
int open_with_retries(const char *path, ztbase::pio::Fd &fd) {
    for (int attempt = 1;; ++attempt) {
        ztbase::pio::OpenStep failed = ztbase::pio::OpenStep::Open;
        fd = ztbase::pio::open_for_reading(path, ztbase::pio::kRegularOnly, &failed);
        if (fd)
            return 0;
        int err = errno;
        if (failed == ztbase::pio::OpenStep::Check) {
            logmsgf(ZTLOG_ERROR, kReadTag, "stat of file %s failed: %s (%d)", path, strerror(err),
                    err);
            return st::kFileReadFailed;
        }
        if (err == ENOENT)
            return 0;
        logmsgf(ZTLOG_ERROR, kReadTag, "open of %s failed: %s (%d)", path, strerror(err), err);
        if (attempt == 3)
            return st::kFileOpenFailed;
        sleep(1);
    }
}

std::string trimmed(const char *begin, const char *end) {
    using namespace ztbase::text;
    return std::string(trim(std::string_view(begin, size_t(end - begin)), kWhiteSpace));
}

// Writes the new lines of an updated item; 152 when a required value is
// missing.
int updated_lines(std::string &out, const ZtConfig *record, int index, int32_t word,
                  const char *missing_fmt) {
    const char *label = getConfigLabelA(index);
    std::string text;
    bool formatted = word > 0 && cfg::format_item(index, record, text) == 0;
    if (ConfigRequiresValue(index) && (!formatted || text.empty())) {
        logmsgf(ZTLOG_DEBUG, kRewriteTag, missing_fmt, label);
        return st::kRequiredValueMissing;
    }
    if (!formatted || text.empty()) {
        out.append(label).append("\n");
        return 0;
    }
    for (size_t pos = 0; pos < text.size();) {
        size_t nul = text.find('\0', pos);
        if (nul == std::string::npos)
            nul = text.size();
        out.append(label).append(" = ").append(text, pos, nul - pos).append("\n");
        pos = nul + 1;
    }
    return 0;
}

// The new contents of the file from its current text.
int rewrite(const char *current, const ZtConfig *record, const ZtConfig *definition,
            std::string &out) {
    std::vector<bool> written(ZTCONFIG_TABLE_SIZE, false);
    int number = 0;
    for (const char *p = current; *p != '\0';) {
        ++number;
        const char *nl = strchr(p, '\n');
        const char *end = nl != nullptr ? nl : p + strlen(p);
        std::string line = trimmed(p, end);
        p = nl != nullptr ? nl + 1 : end;
        if (line.empty() || line[0] == '#')
            continue;
        std::string name = line;
        std::string value;
        if (size_t eq = line.find('='); eq != std::string::npos) {
            name = trimmed(line.data(), line.data() + eq);
            value = trimmed(line.data() + eq + 1, line.data() + line.size());
        }
        logmsgf(ZTLOG_DEBUG, kRewriteTag, "param: name = %s, value = %s", name.c_str(),
                value.c_str());
        int index = getConfigIndexA(name.c_str());
        if (index < 0 || !isClusterAwareParam(index)) {
            const char *why = index == -2 ? "Obsolete" : "Invalid";
            if (!value.empty()) {
                logmsgf(ZTLOG_DEBUG, kRewriteTag, "%s entry (line %d) deleted: %s = %s", why,
                        number, name.c_str(), value.c_str());
                out.append("# ").append(name).append(" = ").append(value).append("\n");
            } else {
                logmsgf(ZTLOG_DEBUG, kRewriteTag, "%s entry (line %d) deleted: %s", why, number,
                        name.c_str());
                out.append("# ").append(name).append("\n");
            }
            continue;
        }
        if (written[size_t(index)])
            continue;
        written[size_t(index)] = true;
        int32_t word = def_word(definition, index);
        if (word == 0) {
            logmsgf(ZTLOG_DEBUG, kRewriteTag, "param: name = %s, modified = %d", name.c_str(),
                    word);
            logmsgf(ZTLOG_DEBUG, kRewriteTag, "Copying param %s entry as-is", name.c_str());
            out.append(line).append("\n");
            continue;
        }
        logmsgf(ZTLOG_DEBUG, kRewriteTag, "Modifying param %s", name.c_str());
        if (int s =
                updated_lines(out, record, index, word, "Required agument missing for param %s"))
            return s;
    }
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        int32_t word = def_word(definition, i);
        if (word == 0 || !isClusterAwareParam(i) || written[size_t(i)])
            continue;
        logmsgf(ZTLOG_DEBUG, kRewriteTag, "Adding param %s", getConfigLabelA(i));
        if (int s = updated_lines(out, record, i, word, "Required argument missing for param %s"))
            return s;
    }
    return 0;
}

bool write_all(FILE *f, const std::string &text) {
    return fwrite(text.data(), 1, text.size(), f) == text.size() && fflush(f) == 0 &&
           fsync(fileno(f)) == 0;
}

// A symbolic link in the file's place is followed only when it belongs to
// this user or to the owner of its directory: otherwise anyone who may write
// the directory could have a root update replace any file on the host.
bool trusted_link(const char *path) {
    struct stat link;
    if (lstat(path, &link) != 0 || !S_ISLNK(link.st_mode) || link.st_uid == geteuid())
        return true;
    std::string dir = path;
    size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    struct stat parent;
    return stat(dir.c_str(), &parent) == 0 && parent.st_uid == link.st_uid;
}

// The descriptors of the cluster locks this process holds or waits for,
// opened and closed under g_held_mutex so that fork sees each one either in
// the list or not yet open. A forked child closes them: a lock belongs to the
// threads that took it, and a child that kept its copy of the descriptor
// would hold the lock for as long as it lives.
std::mutex g_held_mutex;
std::vector<int> g_held;
std::atomic<int> g_wait_ms{0};
thread_local int t_cluster_lock_depth = 0;
constexpr int kDefaultWaitMs = 20000;

void held_before_fork() {
    g_held_mutex.lock();
}
void held_after_fork_in_parent() {
    g_held_mutex.unlock();
}
void held_after_fork_in_child() {
    for (int fd : g_held)
        close(fd);
    g_held.clear();
    t_cluster_lock_depth = 0; // a lock of the parent's is not the child's
    g_held_mutex.unlock();
}

// The directory (open_directory) or the gate (open_shared_file: never
// blocking on a FIFO planted at its name, never through a link).
int open_held(const char *path, bool gate, int flags, mode_t mode = 0) {
    static const int handlers =
        pthread_atfork(held_before_fork, held_after_fork_in_parent, held_after_fork_in_child);
    (void)handlers;
    std::lock_guard<std::mutex> lock(g_held_mutex);
    g_held.reserve(g_held.size() + 1);
    int fd = gate ? ztbase::pio::open_shared_file(path, flags, mode).release()
                  : ztbase::pio::open_fd(path, flags, mode).release();
    if (fd >= 0)
        g_held.push_back(fd);
    return fd;
}

void close_held(int &fd) {
    if (fd < 0)
        return;
    std::lock_guard<std::mutex> lock(g_held_mutex);
    g_held.erase(std::remove(g_held.begin(), g_held.end(), fd), g_held.end());
    close(fd); // releases the lock
    fd = -1;
}

long long monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for a flock until `deadline`: 0, ETIMEDOUT or the error of flock.
int take(int fd, int op, long long deadline) {
    for (int round = 0;; ++round) {
        if (flock(fd, op | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return errno;
        if (monotonic_ms() >= deadline)
            return ETIMEDOUT;
        usleep(static_cast<useconds_t>(std::min(500 + round * 100, 5000)));
    }
}

// Working files of the cluster-aware file: "<file>.zttmp.XXXXXX".
constexpr const char kWorkInfix[] = ".zttmp.";

bool is_work_of(std::string_view name, std::string_view base) {
    const size_t infix = sizeof kWorkInfix - 1;
    if (name.size() != base.size() + infix + 6 || name.substr(0, base.size()) != base ||
        name.substr(base.size(), infix) != kWorkInfix)
        return false;
    for (char c : name.substr(base.size() + infix))
        if (!isalnum(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// A new working file beside base, locked as this writer's until lock_fd is closed.
FILE *open_working(const char *base, std::string &name, int &lock_fd) {
    name = std::string(base != nullptr ? base : "tmp") + kWorkInfix + "XXXXXX";
    lock_fd = -1;
    int fd = ztbase::working::create_locked(name, 0, 0644);
    const bool created = fd >= 0;
    if (created) {
        lock_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (lock_fd >= 0) {
            FILE *f = ztbase::pio::stream(ztbase::pio::Fd(fd), "w");
            if (f != nullptr)
                return f;
            fd = -1; // the failed stream closed it
        }
    }
    int err = errno;
    logmsgf(ZTLOG_ERROR, "OpenTemporaryConfigFile", "failed to open %s: %s (%d)", name.c_str(),
            strerror(err), err);
    if (fd >= 0)
        close(fd);
    if (created)
        unlink(name.c_str());
    if (lock_fd >= 0)
        close(lock_fd);
    lock_fd = -1;
    return nullptr;
}

} // namespace

namespace ztbase::bpconf {

void set_cluster_lock_wait_ms(int ms) {
    g_wait_ms = ms;
}

ClusterLock::ClusterLock(bool exclusive) : pid_(getpid()) {
    if (t_cluster_lock_depth++ > 0) {
        nested_ = true;
        return;
    }
    const char *dir = getFennicString("VAR_GLOBAL_PATH");
    fd_ = open_held(dir, false, O_RDONLY | O_DIRECTORY);
    if (fd_ < 0)
        return; // no directory, no file to keep in step
    // Everyone passes the gate first. A writer keeps it while it waits for
    // the readers inside and while it works, so that readers coming after it
    // queue; a reader lets it go once it is in.
    const char *gate = getFennicString("ZTCL_CONFIG_LOCKPATH");
    gate_ = exclusive ? open_held(gate, true, O_RDWR | O_CREAT, 0644)
                      : open_held(gate, true, O_RDONLY);
    if (gate_ < 0 && errno != ENOENT)
        logmsgf(ZTLOG_ERROR, "ClusterLock", "%s refused as the lock's gate: %s (%d)", gate,
                strerror(errno), errno);
    const int wait = g_wait_ms > 0 ? g_wait_ms.load() : kDefaultWaitMs;
    const long long deadline = monotonic_ms() + wait;
    int err = gate_ >= 0 ? take(gate_, LOCK_EX, deadline) : 0;
    if (err == 0)
        err = take(fd_, exclusive ? LOCK_EX : LOCK_SH, deadline);
    if (err == 0) {
        if (!exclusive)
            close_held(gate_);
        return;
    }
    if (err == ETIMEDOUT)
        logmsgf(ZTLOG_ERROR, "ClusterLock", "cannot lock %s within %d ms; the call fails", dir,
                wait);
    else
        logmsgf(ZTLOG_ERROR, "ClusterLock", "cannot lock %s: %s (%d)", dir, strerror(err), err);
    close_held(fd_);
    close_held(gate_);
    status_ = st::kLockFailed;
}

ClusterLock::~ClusterLock() {
    if (pid_ != getpid())
        return; // the child closed what the parent held at fork
    --t_cluster_lock_depth;
    if (!nested_) {
        close_held(fd_);
        close_held(gate_);
    }
}

int ClusterRewrite::publish() {
    int status = 0;
    if (!work.empty() && rename(work.c_str(), target.c_str()) != 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, "UpdateClusterAwareConfigFile", "Unable to rename %s to %s: %s (%d)",
                work.c_str(), target.c_str(), strerror(err), err);
        status = st::kFileWriteFailed;
        unlink(work.c_str());
    }
    work.clear();
    if (lock_fd >= 0)
        close(lock_fd);
    lock_fd = -1;
    return status;
}

void ClusterRewrite::discard() {
    if (!work.empty())
        unlink(work.c_str());
    work.clear();
    if (lock_fd >= 0)
        close(lock_fd);
    lock_fd = -1;
}

int prepare_cluster_update(const char *path, const ZtConfig *record, const ZtConfig *definition,
                           ClusterRewrite &out) {
    out.discard();
    if (!anyClusterAwareEntryModified(definition))
        return 0;
    struct stat st;
    const char *dir = getFennicString("VAR_GLOBAL_PATH");
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))
        return 0;
    if (path == nullptr || *path == '\0')
        path = getFennicString("ZTCL_CONFIG_PATH");
    if (!trusted_link(path)) {
        logmsgf(ZTLOG_ERROR, "UpdateClusterAwareConfigFile",
                "Unable to open configuration file from %s", path);
        return st::kFileOpenFailed;
    }
    ClusterLock lock(true); // free inside an update, which holds it already
    if (lock.status() != 0)
        return lock.status();
    char resolved_buf[PATH_MAX];
    std::string resolved = realpath(path, resolved_buf) != nullptr && strlen(resolved_buf) <= 1024
                               ? std::string(resolved_buf)
                               : std::string(path);
    {
        const size_t slash = resolved.find_last_of('/');
        const std::string parent = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : resolved.substr(0, slash);
        const std::string base = resolved.substr(slash == std::string::npos ? 0 : slash + 1);
        ztbase::working::remove_abandoned(
            parent, [&](std::string_view name) { return is_work_of(name, base); });
    }
    std::string tmp_name;
    int lock_fd = -1;
    FILE *tmp = open_working(resolved.c_str(), tmp_name, lock_fd);
    if (tmp == nullptr) {
        logmsgf(ZTLOG_ERROR, "UpdateClusterAwareConfigFile",
                "Unable to open configuration file from %s", resolved.c_str());
        return st::kFileOpenFailed;
    }
    out.work = tmp_name;
    out.target = resolved;
    out.lock_fd = lock_fd;
    char *current = nullptr;
    std::string text;
    int status = ReadClusterAwareConfigFile(resolved.c_str(), &current, nullptr);
    if (status != 0)
        logmsgf(ZTLOG_ERROR, "UpdateClusterAwareConfigFile", "Unable to read configuration from %s",
                resolved.c_str());
    else
        status = rewrite(current, record, definition, text);
    free(current);
    if (status == 0 && !write_all(tmp, text)) {
        int err = errno;
        logmsgf(
            ZTLOG_ERROR, "UpdateClusterAwareConfigFile",
            "Unable to write configuration to temporary file, configuration update failed: %s (%d)",
            strerror(err), err);
        status = st::kFileWriteFailed;
    }
    if (fclose(tmp) != 0 && status == 0) {
        int err = errno;
        logmsgf(
            ZTLOG_ERROR, "UpdateClusterAwareConfigFile",
            "Unable to write configuration to temporary file, configuration update failed: %s (%d)",
            strerror(err), err);
        status = st::kFileWriteFailed;
    }
    if (status != 0)
        out.discard();
    return status;
}

} // namespace ztbase::bpconf

extern "C" {

ZTBASE_API int ReadClusterAwareConfigFile(const char *path, char **text, size_t *length) {
    if (text == nullptr)
        return st::kInvalidParameter;
    *text = nullptr;
    if (length != nullptr)
        *length = 0;
    ztbase::pio::Fd fd; // no file named: nothing to read
    if (path != nullptr && *path != '\0')
        if (int s = open_with_retries(path, fd))
            return s;
    std::string data;
    if (fd) {
        if (int err = ztbase::pio::read_to_end(fd.get(), data)) {
            logmsgf(ZTLOG_ERROR, kReadTag, "read of file %s failed: %s (%d)", path, strerror(err),
                    err);
            return st::kFileReadFailed;
        }
    }
    // A NUL inside the file ends its text, as for any other image.
    data.resize(strlen(data.c_str()));
    if ((*text = to_malloc(data)) == nullptr) {
        logmsg(ZTLOG_ERROR, "unable to allocate memory", kReadTag);
        return st::kAllocFailed;
    }
    if (length != nullptr)
        *length = data.size();
    return 0;
}

ZTBASE_API FILE *OpenTemporaryConfigFile(const char *base, char **name) {
    if (name != nullptr)
        *name = nullptr;
    std::string path;
    int lock_fd = -1;
    FILE *f = open_working(base, path, lock_fd);
    if (f == nullptr)
        return nullptr;
    close(lock_fd); // the stream's own descriptor keeps the file locked
    char *copy = strdup(path.c_str());
    if (copy == nullptr) {
        logmsg(ZTLOG_ERROR, "unable to allocate memory", "OpenTemporaryConfigFile");
        fclose(f);
        unlink(path.c_str());
        return nullptr;
    }
    if (name != nullptr)
        *name = copy;
    else
        free(copy);
    return f;
}

ZTBASE_API int UpdateClusterAwareConfigFile(const char *path, const ZtConfig *record,
                                            const ZtConfig *definition) {
    ClusterRewrite rewrite;
    int status = prepare_cluster_update(path, record, definition, rewrite);
    return status != 0 ? status : rewrite.publish();
}

} // extern "C"
