// The debug log's files: today's file and its sequence number, the day change,
// rotation by size, deletion of the oldest files, the 60-second configuration
// check, and the locked write of each line.
#include <algorithm>
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

#include "base/zt_status.h"
#include "logging/debuglog_internal.h"
#include "logging/debuglog_line.h"
#include "logging/log_clock.h"
#include "platform/posix_io.h"
#include "ztbase/logfiles.h"
#include "ztbase/strings.h"

namespace ztbase::debuglog {
namespace {

namespace status = zt::status;

constexpr int kRotationCandidates = 20;
constexpr int kRotationRounds = 8; // each round past the first starts at the directory's highest
constexpr int64_t kCheckInterval = 60;

// Local time of the last second asked for: lines of one second share it.
struct TimeCache {
    time_t sec = -1;
    struct tm tm {};
} g_time;

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

// Log directories are shared by every user's processes: a planted symbolic
// link is not followed, and a file of another user (root aside) is not
// appended to, so that no process can be made to write into any file. A
// planted FIFO without a reader fails the open rather than hanging it.
pio::Fd open_log_file(const ZtLog &log, const std::string &path, int flags, int mode, int *err,
                      struct stat *sb) {
    const int all = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | flags;
    pio::Fd fd = log.file_mgmt
                     ? pio::open_fd(path.c_str(), all, static_cast<mode_t>(mode))
                     : pio::open_inheritable(path.c_str(), all, static_cast<mode_t>(mode));
    if (!fd) {
        if (err != nullptr)
            *err = errno;
        return fd;
    }
    if (fstat(fd.get(), sb) != 0) {
        if (err != nullptr)
            *err = errno;
        return pio::Fd();
    }
    if (sb->st_uid != geteuid() && sb->st_uid != 0) {
        if (err != nullptr)
            *err = EPERM;
        return pio::Fd();
    }
    if ((flags & O_NONBLOCK) == 0) {
        const int fl = fcntl(fd.get(), F_GETFL);
        if (fl == -1 || fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) {
            if (err != nullptr)
                *err = errno;
            return pio::Fd();
        }
    }
    return fd;
}

} // namespace

int open_current_locked(ZtLog &log, const std::string &path, int *err, int mode, int flags) {
    ZtLoggerInfo &st = *log.state;
    struct stat sb;
    pio::Fd fd = open_log_file(log, path, flags, mode > 0 ? mode : kLogFileMode, err, &sb);
    if (!fd)
        return status::kFileOpenFailed;
    adopt_file_locked(st, fd.release(), path, sb.st_size);
    return 0;
}

void adopt_file_locked(ZtLoggerInfo &st, int fd, std::string path, int64_t size) {
    close_file_locked(st);
    st.fd = fd;
    st.pipe = pio::pipe_like(fd);
    st.path = std::move(path);
    st.size = size;
    st.last_error = 0;
    int expected = -1;
    debug_fd().compare_exchange_strong(expected, fd);
}

void set_last_check_locked(ZtLoggerInfo &st, time_t wall) {
    timespec now;
    logclock::now(&now);
    st.last_check = logclock::monotonic_seconds() - (now.tv_sec - wall);
}

namespace {

// A path the log can use: it must be valid UTF-8 like every path of the product.
bool convertible(const std::string &path) {
    if (!pio::utf8_path(path.c_str())) {
        fprintf(stderr, "Error converting log path %s: %s (%d)\n", path.c_str(), strerror(EILSEQ),
                EILSEQ);
        return false;
    }
    return true;
}

// Closes the file after a failure; `rc` is reported for the lines dropped
// until the file is reopened.
void reset_after_failure(ZtLoggerInfo &st, int rc) {
    close_file_locked(st);
    st.path.clear();
    st.date[0] = '\0';
    st.user.clear();
    st.seq = 0;
    st.mday = 0;
    st.ymd = 0;
    st.pid = -1;
    st.failed = true;
    st.last_error = rc;
}

// The highest number of the state's user and date in the directory (0: none).
int highest_number_locked(const ZtLoggerInfo &st) {
    char **list = nullptr;
    int count = 0, lerr = 0;
    if (ZtLog_GetSortedDirList(&list, &count, st.dir.c_str(), st.date, st.user.c_str(), &lerr, 0) !=
        0)
        return 0;
    int highest = 0;
    for (int i = 0; i < count; ++i) {
        char date[16] = "", user[300] = "";
        int seq = 0;
        if (ZtLog_IsValidLogFileFormat(list[i], date, sizeof date, user, sizeof user, &seq,
                                       nullptr) == 1 &&
            st.user == user && seq > highest)
            highest = seq;
    }
    ZtLog_FreeDirList(list, count);
    return highest;
}

// Closes the current file and opens the next numbered one of the same day.
// A process that was quiet while its peers rotated may find its next twenty
// numbers full: it goes on from the highest number the directory holds.
int rotate_locked(ZtLog &log, int *err) {
    ZtLoggerInfo &st = *log.state;
    close_file_locked(st);
    int first = st.seq + 1;
    for (int round = 0; round < kRotationRounds; ++round) {
        if (round > 0)
            first = std::max(first + kRotationCandidates, highest_number_locked(st));
        for (int seq = first; seq < first + kRotationCandidates; ++seq) {
            const std::string path = file_name(st, st.user, st.date, seq);
            if (!convertible(path))
                continue;
            struct stat sb;
            if (stat(path.c_str(), &sb) != 0) {
                if (errno != ENOENT) {
                    if (err != nullptr)
                        *err = errno;
                    return status::kFileOpenFailed;
                }
            } else if (sb.st_size >= st.max_size) {
                continue;
            }
            // Keep at most MAX_NUM_LOGFILES of the day, counting the new one.
            const int current = round == 0 ? st.seq : seq - 1;
            if (log.max_num_files >= 2)
                for (int old = current - log.max_num_files + 1; old >= 1; --old)
                    if (unlink(file_name(st, st.user, st.date, old).c_str()) != 0 &&
                        errno == ENOENT)
                        break; // older numbers went in earlier rotations
            int rc = open_current_locked(log, path, err);
            if (rc != 0)
                return rc;
            st.size = 0;
            st.seq = seq;
            return 0;
        }
    }
    if (err != nullptr)
        *err = EEXIST;
    return status::kFileOpenFailed;
}

// Re-reads the configuration and notices a current file that was moved or
// deleted. The mutex is released while the configuration is read.
void check_config_locked(LogLock &lock, int64_t now) {
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
        struct stat now_sb, open_sb;
        int oerr = 0;
        pio::Fd fd = open_log_file(log, st.path, 0, kLogFileMode, &oerr, &now_sb);
        const bool have = fstat(st.fd, &open_sb) == 0;
        if (fd && have && (now_sb.st_dev != open_sb.st_dev || now_sb.st_ino != open_sb.st_ino))
            adopt_file_locked(st, fd.release(), st.path, now_sb.st_size);
        else if (!fd && have && S_ISREG(open_sb.st_mode) && open_sb.st_nlink == 0)
            // The file was removed and cannot be made again (its directory went
            // too): lines would vanish into it while reported written. Closed,
            // it reports them as lost and is reopened at a later check.
            reset_after_failure(st, oerr == ENOENT || oerr == ENOTDIR ? status::kNoSuchFile
                                                                      : status::kFileOpenFailed);
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

// Takes the file lock. Another process may hold it for long: meanwhile a
// fork() in another thread need not wait, as this thread touches no memory.
bool file_lock_waiting(int fd) {
    g_mutex.open_gate();
    const bool ok = file_lock(fd, F_WRLCK);
    const int e = errno;
    g_mutex.close_gate();
    errno = e;
    return ok;
}

// A line cut short (a full disk) must not have the next line glued to it.
// Holding the file lock, the half line is ours alone: take it back. Else end
// it with a line end, or have the next line written to this file start with one.
void mend_fragment(ZtLoggerInfo &st, size_t done) {
    if (st.locking) {
        const off_t end = lseek(st.fd, 0, SEEK_END);
        if (end >= static_cast<off_t>(done) &&
            ftruncate(st.fd, end - static_cast<off_t>(done)) == 0)
            return;
    }
    if (pio::write_all(st.fd, "\n", 1, nullptr, st.pipe ? pio::Pipe::Guard : pio::Pipe::NoGuard) ==
        0)
        return;
    st.fragment = st.path;
}

} // namespace

const struct tm &local_time_locked(time_t sec) {
    if (sec != g_time.sec) {
        localtime_r(&sec, &g_time.tm);
        g_time.sec = sec;
    }
    return g_time.tm;
}

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
    if (g_log != nullptr && g_log->state != nullptr) {
        g_log->state->pid = -1;
        // The lines lost so far are the parent's, and the parent reports them.
        g_log->state->lost = 0;
    }
}

void close_file_locked(ZtLoggerInfo &st) {
    if (st.fd < 0)
        return;
    int fd = st.fd;
    st.fd = -1;
    st.pipe = false;
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
        return status::kNoSuchFile;
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
    const int ymd = (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
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
        return status::kFileOpenFailed;
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
    st.ymd = ymd;
    return 0;
}

namespace {

// The 60-second check when it is due. False when the log went away meanwhile.
bool check_if_due_locked(LogLock &lock, bool *checked) {
    const int64_t mono = logclock::monotonic_seconds();
    ZtLoggerInfo &st = *g_log->state;
    if ((st.fd >= 0 || g_log->critical || st.failed) && mono - st.last_check >= kCheckInterval) {
        check_config_locked(lock, mono);
        if (g_log == nullptr)
            return false;
        *checked = true;
    }
    return true;
}

// A current file to write to: a file closed after a failed write (a full disk,
// a lost handle) is reopened at the next check, so that no process stays
// silent for good; critical robust logging makes its directory. 0, or the
// status of the lines dropped while there is no file.
int ensure_open_locked(ZtLog &log, bool checked, int *oserr) {
    ZtLoggerInfo &st = *log.state;
    if (st.fd < 0 && st.failed && checked) {
        const int rc = open_today_locked(log, oserr);
        if (rc != 0)
            st.last_error = rc;
    }
    if (st.fd < 0 && log.critical && log.robust) {
        // Only a directory made here gets the creation mode: an existing one
        // (or where a symbolic link in its place points) keeps its own.
        std::error_code ec;
        if (std::filesystem::create_directories(st.dir, ec) && !ec)
            chmod(st.dir.c_str(), st.dir_mode);
        const int rc = open_today_locked(log, oserr);
        if (rc != 0)
            st.last_error = rc;
    }
    return st.fd < 0 ? st.last_error : 0; // a line not written is never reported as written
}

int lock_file_locked(ZtLoggerInfo &st, int *oserr) {
    if (st.locking && !file_lock_waiting(st.fd)) {
        *oserr = errno;
        reset_after_failure(st, status::kLockFailed);
        return status::kLockFailed;
    }
    return 0;
}

// With the file lock held: today's file when the day changed, the next one
// when this one is full. A new file is locked afresh (closing the old one
// dropped its lock).
int switch_file_if_due_locked(ZtLog &log, const struct tm &tm, int *oserr) {
    ZtLoggerInfo &st = *log.state;
    if (!log.file_mgmt)
        return 0;
    // The real size, as other processes may have written: the cheapest call
    // that gives it, under the lock.
    const off_t end = lseek(st.fd, 0, SEEK_END);
    if (end >= 0)
        st.size = end;
    const int ymd = (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
    int rc;
    if (ymd != st.ymd)
        rc = open_today_locked(log, oserr);
    else if (st.size >= st.max_size)
        rc = rotate_locked(log, oserr);
    else
        return 0; // the common case: same file, lock held
    if (rc != 0 || st.fd < 0) {
        rc = rc != 0 ? rc : status::kFileOpenFailed;
        reset_after_failure(st, rc);
        return rc;
    }
    return lock_file_locked(st, oserr);
}

// The line that tells how many lines the log lost and since when, in the
// log's own format, before the first line written again.
long lost_lines_note(char *out, size_t size, ZtLoggerInfo &st, const LineTime &lt) {
    struct tm since;
    localtime_r(&st.lost_since, &since);
    char when[32];
    strftime(when, sizeof when, "%m/%d/%y %H:%M:%S", &since);
    char body[128];
    const int n = snprintf(body, sizeof body, "%ld line%s could not be written since %s", st.lost,
                           st.lost == 1 ? "" : "s", when);
    return format_line(out, size, lt, process_id_locked(st), thread_id(), 8, "logmsg", body,
                       static_cast<size_t>(n));
}

// Appends one formatted line (the lock held), after a line end when the last
// write left half a line and after the note of lines lost before it. A
// failed write mends what it left and closes the file; *written tells whether
// the line went out.
int append_line_locked(ZtLoggerInfo &st, const char *line, size_t len, const LineTime &lt,
                       bool *written, int *oserr) {
    thread_local std::string joined;
    const char *out = line;
    size_t prefix = 0; // bytes before the line itself
    const bool after_fragment = !st.fragment.empty() && st.fragment == st.path;
    if (after_fragment || st.lost > 0) {
        joined.clear();
        if (after_fragment)
            joined.push_back('\n');
        if (st.lost > 0) {
            char note[kMinLineBuffer];
            const long n = lost_lines_note(note, sizeof note, st, lt);
            joined.append(note, static_cast<size_t>(n));
        }
        prefix = joined.size();
        joined.append(line, len);
        out = joined.data();
        len = joined.size();
    }
    size_t done = 0;
    const int werr =
        pio::write_all(st.fd, out, len, &done, st.pipe ? pio::Pipe::Guard : pio::Pipe::NoGuard);
    if (werr != 0) {
        *oserr = werr == pio::kNoProgress ? ENOSPC : werr;
        if (after_fragment && done > 0)
            st.fragment.clear(); // the line end went out; the rest is a new fragment
        if (done > static_cast<size_t>(after_fragment ? 1 : 0))
            mend_fragment(st, done - (after_fragment ? 1 : 0));
        if (st.locking)
            file_lock(st.fd, F_UNLCK);
        reset_after_failure(st, status::kFileWriteFailed);
        return status::kFileWriteFailed;
    }
    if (after_fragment)
        st.fragment.clear();
    if (prefix > 0)
        st.lost = 0;
    st.size += static_cast<int64_t>(len);
    *written = true;
    if (st.locking && !file_lock(st.fd, F_UNLCK)) {
        *oserr = errno;
        reset_after_failure(st, status::kSystemCallFailed);
        return status::kSystemCallFailed;
    }
    return 0;
}

// Counts a line the log could not write, for the note once it can again.
void note_lost_locked(ZtLoggerInfo &st, time_t when) {
    if (st.lost++ == 0)
        st.lost_since = when;
}

} // namespace

int write_locked(LogLock &lock, int level, const char *tag, const char *body, size_t body_len,
                 bool force, int *oserr) {
    *oserr = 0;
    timespec now;
    logclock::now(&now);
    bool checked = false;
    if (!check_if_due_locked(lock, &checked))
        return 0;
    ZtLog &log = *g_log;
    ZtLoggerInfo &st = *log.state;
    if (!force && (log.configured_verbose == -2 || log.programmatic_verbose == -2))
        return 0;
    bool written = false;
    int rc = ensure_open_locked(log, checked, oserr);
    if (rc == 0) {
        thread_local char buffer[kLineSize];
        const struct tm &tm = local_time_locked(now.tv_sec);
        const LineTime lt{tm.tm_hour, tm.tm_min, tm.tm_sec,
                          static_cast<int>(now.tv_nsec / 1000000)};
        const long n = format_line(buffer, kLineSize, lt, process_id_locked(st), thread_id(), level,
                                   tag, body, body_len);
        rc = lock_file_locked(st, oserr);
        if (rc == 0)
            rc = switch_file_if_due_locked(log, tm, oserr);
        if (rc == 0)
            rc = append_line_locked(st, buffer, static_cast<size_t>(n), lt, &written, oserr);
    }
    if (rc != 0 && !written)
        note_lost_locked(st, now.tv_sec);
    return rc;
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
    log.configured_verbose = logcfg::verbosity_of(value, v.verbose, false);

    long size = v.max_logfile_size.value_or(0);
    log.repair_size = size <= 0;
    if (size <= 0)
        size = logcfg::kDefaultMaxLogFileMb;
    long num = v.max_num_logfiles.value_or(-1);
    log.repair_num = !(num == 0 || num > 1);
    if (log.repair_num)
        num = logcfg::kDefaultMaxNumLogFiles;
    log.state->max_size = static_cast<int64_t>(size) * 1048576;
    log.max_num_files = static_cast<int>(num);
    log.robust = v.enable_robust_logging == 1;
    update_effective_locked();
}

void write_repairs(bool size, bool num) {
    char lines[80];
    int n = 0;
    if (size)
        n += snprintf(lines + n, sizeof lines - static_cast<size_t>(n), "MAX_LOGFILE_SIZE=%d\n",
                      static_cast<int>(logcfg::kDefaultMaxLogFileMb));
    if (num)
        n += snprintf(lines + n, sizeof lines - static_cast<size_t>(n), "MAX_NUM_LOGFILES=%d\n",
                      static_cast<int>(logcfg::kDefaultMaxNumLogFiles));
    if (n > 0)
        logcfg::source()->update(lines);
}

bool read_config(logcfg::Values &values) {
    return logcfg::source()->read(values);
}

} // namespace ztbase::debuglog
