// The debug log's files: today's file and its sequence number, the day change,
// rotation by size, deletion of the oldest files, the 60-second configuration
// check, and the locked write of each line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "logging/debuglog_internal.h"
#include "logging/debuglog_line.h"
#include "logging/log_clock.h"
#include "ztbase/logfiles.h"
#include "ztbase/strings.h"

namespace ztbase::debuglog {
namespace {

constexpr int kRotationCandidates = 20;
constexpr int64_t kCheckInterval = 60;

// Local time of the last second asked for: lines of one second share it.
struct TimeCache {
    time_t sec = -1;
    struct tm tm {};
} g_time;

const struct tm &local_time_locked(time_t sec) {
    if (sec != g_time.sec) {
        localtime_r(&sec, &g_time.tm);
        g_time.sec = sec;
    }
    return g_time.tm;
}

std::atomic<unsigned> g_fork_generation{0};

std::string user_text() {
    if (geteuid() == 0)
        return "ALL_ADMINS";
    char buf[4096];
    struct passwd pw, *found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
        found->pw_name != nullptr)
        return std::string(found->pw_name).substr(0, 257);
    return std::to_string(geteuid()); // a user without a name still gets a file of its own
}

std::string file_name(const ZtLoggerInfo &st, const std::string &user, const char *date, int seq) {
    char name[64];
    snprintf(name, sizeof name, ".%s_%05d.log", date, seq);
    return st.dir + "/" + user + name;
}

int open_flags(const ZtLog &log) {
    return O_WRONLY | O_CREAT | O_APPEND | (log.file_mgmt ? O_CLOEXEC : 0);
}

} // namespace

int open_current_locked(ZtLog &log, const std::string &path, int *err, int mode, int flags) {
    ZtLoggerInfo &st = *log.state;
    int fd = open(path.c_str(), open_flags(log) | flags, mode > 0 ? mode : kLogFileMode);
    if (fd < 0) {
        if (err != nullptr)
            *err = errno;
        return 12;
    }
    struct stat sb;
    adopt_file_locked(st, fd, path, fstat(fd, &sb) == 0 ? sb.st_size : 0);
    return 0;
}

void adopt_file_locked(ZtLoggerInfo &st, int fd, std::string path, int64_t size) {
    close_file_locked(st);
    st.fd = fd;
    st.path = std::move(path);
    st.size = size;
    int expected = -1;
    debug_fd().compare_exchange_strong(expected, fd);
}

namespace {

// A path the log can use: it must be valid UTF-8 like every path of the product.
bool convertible(const std::string &path) {
    char16_t *wide = V_StrDupUTF8ToWide(path.c_str());
    if (wide == nullptr) {
        fprintf(stderr, "Error converting log path %s: %s (%d)\n", path.c_str(), strerror(EILSEQ),
                EILSEQ);
        return false;
    }
    free(wide);
    return true;
}

void reset_after_failure(ZtLoggerInfo &st) {
    close_file_locked(st);
    st.path.clear();
    st.date[0] = '\0';
    st.user.clear();
    st.seq = 0;
    st.mday = 0;
    st.pid = -1;
    st.failed = true;
}

// Closes the current file and opens the next numbered one of the same day.
int rotate_locked(ZtLog &log, int *err) {
    ZtLoggerInfo &st = *log.state;
    close_file_locked(st);
    for (int i = 1; i <= kRotationCandidates; ++i) {
        const int seq = st.seq + i;
        const std::string path = file_name(st, st.user, st.date, seq);
        if (!convertible(path))
            continue;
        struct stat sb;
        if (stat(path.c_str(), &sb) != 0) {
            if (errno != ENOENT) {
                if (err != nullptr)
                    *err = errno;
                return 12;
            }
        } else if (sb.st_size >= st.max_size) {
            continue;
        }
        // Keep at most MAX_NUM_LOGFILES of the day, counting the new one.
        if (log.max_num_files >= 2)
            for (int old = st.seq - log.max_num_files + 1; old >= 1; --old)
                if (unlink(file_name(st, st.user, st.date, old).c_str()) != 0 && errno == ENOENT)
                    break; // older numbers went in earlier rotations
        int rc = open_current_locked(log, path, err);
        if (rc != 0)
            return rc;
        st.size = 0;
        st.seq = seq;
        return 0;
    }
    if (err != nullptr)
        *err = EEXIST;
    return 12;
}

// Re-reads the configuration and notices a current file that was moved or
// deleted. The mutex is released while the configuration is read.
void check_config_locked(std::unique_lock<std::mutex> &lock, time_t now) {
    g_log->state->last_check = now;
    logcfg::Values values;
    auto source = logcfg::source();
    const int64_t when = source->update_time();
    const bool newer = when != g_log->config_time;
    bool readable = false;
    if (newer) {
        lock.unlock();
        readable = source->read(values);
        lock.lock();
        if (g_log == nullptr)
            return;
    }
    ZtLog &log = *g_log;
    ZtLoggerInfo &st = *log.state;
    bool repair_size = false, repair_num = false;
    if (newer && readable) {
        apply_config_locked(log, values, when);
        repair_size = log.repair_size;
        repair_num = log.repair_num;
    }
    if (st.fd >= 0 && !st.path.empty() && log.file_mgmt) {
        int fd = open(st.path.c_str(), open_flags(log), kLogFileMode);
        if (fd >= 0) {
            struct stat now_sb, open_sb;
            if (fstat(fd, &now_sb) == 0 && fstat(st.fd, &open_sb) == 0 &&
                (now_sb.st_dev != open_sb.st_dev || now_sb.st_ino != open_sb.st_ino)) {
                adopt_file_locked(st, fd, st.path, now_sb.st_size);
            } else {
                close(fd);
            }
        }
    }
    if (repair_size || repair_num) {
        lock.unlock();
        write_repairs(repair_size, repair_num);
        lock.lock();
    }
}

// Locks or unlocks the first 8 bytes of the file, waiting for the lock.
bool file_lock(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 8;
    int rc;
    do
        rc = fcntl(fd, F_SETLKW, &fl);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool write_all(int fd, const char *p, size_t n, int *oserr) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            *oserr = w < 0 ? errno : ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

long thread_id() {
    thread_local unsigned generation = ~0u;
    thread_local long tid = 0;
    const unsigned now = g_fork_generation.load(std::memory_order_relaxed);
    if (generation != now) {
        tid = static_cast<long>(syscall(SYS_gettid));
        generation = now;
    }
    return tid;
}

long process_id_locked(ZtLoggerInfo &st) {
    if (st.pid == -1)
        st.pid = static_cast<int>(getpid());
    return st.pid;
}

void note_fork_in_child() {
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
    if (g_log != nullptr && g_log->state != nullptr)
        g_log->state->pid = -1;
}

void close_file_locked(ZtLoggerInfo &st) {
    if (st.fd < 0)
        return;
    int fd = st.fd;
    st.fd = -1;
    int expected = fd;
    debug_fd().compare_exchange_strong(expected, -1);
    close(fd);
}

int open_today_locked(ZtLog &log, int *err) {
    ZtLoggerInfo &st = *log.state;
    struct stat sb;
    if (stat(st.dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        if (err != nullptr)
            *err = ENOENT;
        return 142;
    }
    timespec now;
    logclock::now(&now);
    const struct tm &tm = local_time_locked(now.tv_sec);
    char date[7];
    const unsigned month = static_cast<unsigned>(tm.tm_mon + 1) % 100,
                   day = static_cast<unsigned>(tm.tm_mday) % 100,
                   year = static_cast<unsigned>(tm.tm_year) % 100;
    snprintf(date, sizeof date, "%02u%02u%02u", month, day, year);
    const int mday = tm.tm_mday;
    const std::string user = user_text();
    if (user.empty())
        return -1;

    int count = 0, lerr = 0;
    char **list = nullptr;
    int rc = ZtLog_GetSortedDirList(&list, &count, st.dir.c_str(), nullptr, user.c_str(), &lerr, 0);
    if (rc != 0) {
        if (err != nullptr)
            *err = lerr;
        return rc;
    }
    int seq = 1;
    bool same_as_newest = false;
    if (count > 0) {
        char ndate[16] = "", nuser[300] = "";
        int nseq = 0;
        const char *newest = list[count - 1];
        if (ZtLog_IsValidLogFileFormat(newest, ndate, sizeof ndate, nuser, sizeof nuser, &nseq,
                                       nullptr) == 1 &&
            strcmp(ndate, date) == 0 && user == nuser) {
            seq = nseq;
            same_as_newest = true;
            struct stat fsb;
            if (stat((st.dir + "/" + newest).c_str(), &fsb) != 0 || fsb.st_size >= st.max_size) {
                ++seq;
                same_as_newest = false;
            }
        }
        // Keep at most MAX_NUM_LOGFILES, counting the new file.
        if (!same_as_newest && log.max_num_files >= 1 && count > 1)
            for (int i = 0; i < count - (log.max_num_files - 1) && i < count; ++i)
                unlink((st.dir + "/" + list[i]).c_str());
    }
    ZtLog_FreeDirList(list, count);

    const std::string path = file_name(st, user, date, seq);
    if (!convertible(path)) {
        if (err != nullptr)
            *err = EILSEQ;
        return 12;
    }
    if (st.fd < 0 || path != st.path) {
        rc = open_current_locked(log, path, err);
        if (rc != 0)
            return rc;
    }
    memcpy(st.date, date, sizeof date);
    st.failed = false;
    st.user = user;
    st.seq = seq;
    st.mday = mday;
    return 0;
}

int write_locked(std::unique_lock<std::mutex> &lock, int level, const char *tag, const char *body,
                 size_t body_len, bool force, int *oserr) {
    *oserr = 0;
    timespec now;
    logclock::now(&now);
    {
        ZtLoggerInfo &st = *g_log->state;
        if ((st.fd >= 0 || g_log->critical || st.failed) &&
            now.tv_sec - st.last_check >= kCheckInterval) {
            check_config_locked(lock, now.tv_sec);
            if (g_log == nullptr)
                return 0;
        }
    }
    ZtLog &log = *g_log;
    ZtLoggerInfo &st = *log.state;
    // A file closed after a failed write (a full disk, a lost handle) is
    // reopened at the next check, so that no process stays silent for good.
    if (st.fd < 0 && st.failed && st.last_check == now.tv_sec)
        open_today_locked(log, oserr);
    if (st.fd < 0 && log.critical && log.robust) {
        std::error_code ec;
        std::filesystem::create_directories(st.dir, ec);
        if (!ec)
            chmod(st.dir.c_str(), st.dir_mode);
        open_today_locked(log, oserr);
    }
    if (st.fd < 0)
        return 0;
    if (!force && (log.configured_verbose == -2 || log.programmatic_verbose == -2))
        return 0;

    thread_local char line[kLineSize];
    const struct tm &tm = local_time_locked(now.tv_sec);
    const LineTime lt{tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(now.tv_nsec / 1000000)};
    const long n = format_line(line, sizeof line, lt, process_id_locked(st), thread_id(), level,
                               tag, body, body_len);

    if (st.locking && !file_lock(st.fd, F_WRLCK)) {
        *oserr = errno;
        reset_after_failure(st);
        return 158;
    }
    if (log.file_mgmt) {
        // The real size, as other processes may have written: the cheapest
        // call that gives it, under the lock.
        const off_t end = lseek(st.fd, 0, SEEK_END);
        if (end >= 0)
            st.size = end;
        int rc = 0;
        if (tm.tm_mday != st.mday)
            rc = open_today_locked(log, oserr);
        else if (st.size >= st.max_size)
            rc = rotate_locked(log, oserr);
        else
            goto write_line; // the common case: same file, lock held
        // A new file: closing the old one dropped its lock.
        if (rc != 0 || st.fd < 0) {
            reset_after_failure(st);
            return rc != 0 ? rc : 12;
        }
        if (st.locking && !file_lock(st.fd, F_WRLCK)) {
            *oserr = errno;
            reset_after_failure(st);
            return 158;
        }
    }
write_line:
    if (!write_all(st.fd, line, static_cast<size_t>(n), oserr)) {
        const int first = *oserr;
        if (st.locking)
            file_lock(st.fd, F_UNLCK);
        reset_after_failure(st);
        *oserr = first;
        return 14;
    }
    st.size += n;
    if (st.locking && !file_lock(st.fd, F_UNLCK)) {
        *oserr = errno;
        reset_after_failure(st);
        return 11;
    }
    return 0;
}

void apply_config_locked(ZtLog &log, const logcfg::Values &v, int64_t update_time) {
    log.config_time = update_time;
    // The processes with a verbosity item of their own; any other reads the
    // free key "<program>_VERBOSE", missing counting as 0.
    static const char *const kItems[] = {"BPDBM", "BPJOBD",  "BPRD", "BPTM",
                                         "BPBRM", "ZTPROXY", "VAULT"};
    std::string key = log.program + "_VERBOSE";
    for (const char *item : kItems)
        if (strcasecmp(item, log.program.c_str()) == 0)
            key = std::string(item) + "_VERBOSE";
    auto it = v.keys.find(key);
    const int value = it != v.keys.end() ? it->second : 0;
    log.configured_verbose = value == -1  ? 0
                             : value == 0 ? (v.verbose == -1 ? 0 : v.verbose)
                                          : value;

    long size = v.max_logfile_size.value_or(0);
    log.repair_size = size <= 0;
    if (size <= 0)
        size = 50;
    long num = v.max_num_logfiles.value_or(-1);
    log.repair_num = !(num == 0 || num > 1);
    if (log.repair_num)
        num = 0;
    log.state->max_size = static_cast<int64_t>(size) * 1048576;
    log.max_num_files = static_cast<int>(num);
    log.robust = v.enable_robust_logging == 1;
    update_effective_locked();
}

void write_repairs(bool size, bool num) {
    std::string lines;
    if (size)
        lines += "MAX_LOGFILE_SIZE=50\n";
    if (num)
        lines += "MAX_NUM_LOGFILES=0\n";
    if (!lines.empty())
        logcfg::source()->update(lines);
}

bool read_config(logcfg::Values &values) {
    return logcfg::source()->read(values);
}

} // namespace ztbase::debuglog
