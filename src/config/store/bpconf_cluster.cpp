// The cluster-aware configuration file: its reader, its rewrite and the
// temporary names the rewrite uses.
//
// A rewrite goes to a temporary file next to the real one (symbolic links
// resolved), which is flushed to disk before it replaces the file by rename:
// a crash leaves the old file or the new one, never a short one. The file is
// replaced only after a complete, error-free rewrite, and the temporary file
// never outlives the call.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
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

std::mutex g_counter_mutex;
bool g_counter_seeded = false;
unsigned g_counter = 0;

unsigned next_counter() {
    std::lock_guard<std::mutex> lock(g_counter_mutex);
    if (!g_counter_seeded) {
        unsigned seed = unsigned(time(nullptr)) + unsigned(getpid());
        g_counter = seed ^ (seed >> 12);
        g_counter_seeded = true;
    }
    g_counter &= 0xFFF;
    unsigned used = g_counter;
    g_counter += 1637;
    return used;
}

thread_local int t_cluster_lock_depth = 0;

} // namespace

namespace ztbase::bpconf {

ClusterLock::ClusterLock(bool exclusive) {
    if (t_cluster_lock_depth++ > 0) {
        nested_ = true;
        return;
    }
    const char *dir = getFennicString("VAR_GLOBAL_PATH");
    fd_ = ztbase::pio::open_fd(dir, O_RDONLY | O_DIRECTORY).release();
    if (fd_ < 0)
        return; // no directory, no file to keep in step
    const int op = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    for (int waited_ms = 0; flock(fd_, op) != 0; waited_ms += 2) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited_ms >= 20000) {
            logmsgf(ZTLOG_DEBUG, "ClusterLock", "cannot lock %s: %s (%d)", dir, strerror(errno),
                    errno);
            close(fd_);
            fd_ = -1;
            return;
        }
        usleep(2000);
    }
}

ClusterLock::~ClusterLock() {
    --t_cluster_lock_depth;
    if (!nested_ && fd_ >= 0)
        close(fd_); // releases the lock
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
    std::string stem = base != nullptr ? base : "tmp";
    for (int attempt = 0; attempt < 5; ++attempt) {
        char suffix[8];
        snprintf(suffix, sizeof suffix, ".%03x", next_counter());
        std::string path = stem + suffix;
        ztbase::pio::Fd fd = ztbase::pio::open_fd(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (!fd) {
            int err = errno;
            logmsgf(ZTLOG_ERROR, "OpenTemporaryConfigFile", "failed to open %s: %s (%d)",
                    path.c_str(), strerror(err), err);
            continue;
        }
        FILE *f = fchmod(fd.get(), 0644) == 0 ? ztbase::pio::stream(std::move(fd), "w") : nullptr;
        char *copy = f != nullptr ? strdup(path.c_str()) : nullptr;
        if (f == nullptr || copy == nullptr) {
            int err = errno;
            logmsgf(ZTLOG_ERROR, "OpenTemporaryConfigFile", "failed to open %s: %s (%d)",
                    path.c_str(), strerror(err), err);
            if (f != nullptr)
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
    return nullptr;
}

ZTBASE_API int UpdateClusterAwareConfigFile(const char *path, const ZtConfig *record,
                                            const ZtConfig *definition) {
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
    char resolved_buf[PATH_MAX];
    std::string resolved = realpath(path, resolved_buf) != nullptr && strlen(resolved_buf) <= 1024
                               ? std::string(resolved_buf)
                               : std::string(path);
    char *tmp_name = nullptr;
    FILE *tmp = OpenTemporaryConfigFile(resolved.c_str(), &tmp_name);
    if (tmp == nullptr) {
        logmsgf(ZTLOG_ERROR, "UpdateClusterAwareConfigFile",
                "Unable to open configuration file from %s", resolved.c_str());
        return st::kFileOpenFailed;
    }
    char *current = nullptr;
    std::string out;
    int status = ReadClusterAwareConfigFile(resolved.c_str(), &current, nullptr);
    if (status != 0)
        logmsgf(ZTLOG_ERROR, "UpdateClusterAwareConfigFile", "Unable to read configuration from %s",
                resolved.c_str());
    else
        status = rewrite(current, record, definition, out);
    free(current);
    if (status == 0 && !write_all(tmp, out)) {
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
    if (status == 0 && rename(tmp_name, resolved.c_str()) != 0) {
        int err = errno;
        logmsgf(ZTLOG_ERROR, "UpdateClusterAwareConfigFile", "Unable to rename %s to %s: %s (%d)",
                tmp_name, resolved.c_str(), strerror(err), err);
        status = st::kFileWriteFailed;
    }
    if (status != 0)
        unlink(tmp_name);
    free(tmp_name);
    return status;
}

} // extern "C"
