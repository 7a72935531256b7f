// The debug log's interface: opening and closing, the logmsg writers, the
// fallback writer, callbacks and settings.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "base/module_hooks.h"
#include "base/zt_status.h"
#include "logging/debuglog_internal.h"
#include "logging/debuglog_line.h"
#include "logging/log_clock.h"
#include "platform/posix_io.h"
#include "ztbase/logfiles.h"
#include "ztbase/paths.h"
#include "ztbase/status.h"
#include "ztbase/strings.h"

extern "C" {
ZTBASE_API int debugFD = -1;
ZTBASE_API c_shim_logging_fn *c_shim_mod_logging = nullptr;
}

ztbase::debuglog::WriteHook ztbase::debuglog::test_hook_write = nullptr;

namespace ztbase::debuglog {

namespace status = zt::status;

LogMutex g_mutex;
ZtLog *g_log = nullptr;
std::atomic<int> g_effective_verbose{0};
std::atomic<bool> g_enabled{true};
std::atomic<bool> g_notice_pending{false};

namespace {

constexpr const char kDisabledNotice[] =
    "Logging for this program has been disabled (x_VERBOSE is -2)";

int g_fallback_verbose = 0; // verbosity without a log object (guarded by g_mutex)
std::atomic<log_callback_fn> g_callback{nullptr};
std::atomic<void *> g_callback_context{nullptr};
// The fallback writer's lock guards no state that a fork could tear (the
// child makes it afresh), so a fork never waits for a line to a slow pipe.
pthread_mutex_t g_fallback_mutex = PTHREAD_MUTEX_INITIALIZER;
int g_zero_writes = 0;  // zero-byte writes retried in the process's life
int g_fragment_fd = -1; // a descriptor left ending in half a line
constexpr int kMaxZeroWrites = 5;

struct FallbackLock {
    FallbackLock() { pthread_mutex_lock(&g_fallback_mutex); }
    ~FallbackLock() { pthread_mutex_unlock(&g_fallback_mutex); }
    FallbackLock(const FallbackLock &) = delete;
    FallbackLock &operator=(const FallbackLock &) = delete;
};

// A thread inside the log does not log again (a failure reported from below
// the log would otherwise wait for the log's own mutex).
thread_local bool t_in_log = false;

struct InLog {
    bool entered;
    InLog() : entered(!t_in_log) { t_in_log = true; }
    ~InLog() {
        if (entered)
            t_in_log = false;
    }
};

bool is_critical(const std::string &program) {
    for (const char *name : {"bpbrm", "bpdbm", "bpdm", "bpfis", "bprd", "bptm", "testapp"})
        if (program == name)
            return true;
    return false;
}

c_shim_logging_fn shim() {
    return c_shim_mod_logging != nullptr ? *c_shim_mod_logging : nullptr;
}

struct tm local_now(timespec *ts) {
    logclock::now(ts);
    std::lock_guard<LogMutex> lock(g_mutex);
    return local_time_locked(ts->tv_sec);
}

// The fallback writer: the whole line to debugFD, under its own lock. A line
// cut short is ended before the next one, so lines never glue together.
int fallback_write(int fd, char *buffer, size_t n) {
    FallbackLock lock;
    const char *line = buffer + 1; // buffer[0] is free for a line end
    if (g_fragment_fd == fd) {
        buffer[0] = '\n';
        line = buffer;
        ++n;
    }
    for (;;) {
        size_t done = 0;
        const int rc =
            pio::write_all(fd, line, n, &done, pio::Pipe::Guard, ztbase::debuglog::test_hook_write);
        if (done > 0)
            g_fragment_fd = rc == 0 || line[done - 1] == '\n' ? -1 : fd;
        if (rc == 0)
            return 0;
        if (rc != pio::kNoProgress)
            return rc;
        if (g_zero_writes >= kMaxZeroWrites)
            return status::kChildFailed; // the status this writer has always given up with
        ++g_zero_writes;
        sleep(1);
        line += done;
        n -= done;
    }
}

int fallback_line(int fd, int level, const char *tag, const char *body, size_t body_len) {
    thread_local char buffer[kLineSize + 1];
    timespec now;
    struct tm tm = local_now(&now);
    const LineTime lt{tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(now.tv_nsec / 1000000)};
    const long n =
        format_line(buffer + 1, kLineSize, lt, getpid(), thread_id(), level, tag, body, body_len);
    return fallback_write(fd, buffer, static_cast<size_t>(n));
}

void free_state(ZtLoggerInfo *st) {
    close_file_locked(*st);
    delete st;
}

// Creates the log object (ZtLog_Initialize) with its shared state.
ZtLog *initialize_locked(const std::string &dir, const char *program, int mode,
                         const logcfg::Values *values, int64_t update_time) {
    auto *log = new (std::nothrow) ZtLog;
    auto *st = new (std::nothrow) ZtLoggerInfo;
    if (log == nullptr || st == nullptr) {
        delete log;
        delete st;
        return nullptr;
    }
    log->program = std::string(program != nullptr ? program : "").substr(0, 127);
    log->critical = is_critical(log->program);
    log->state = st;
    st->refs = 1;
    st->dir = dir;
    st->dir_mode = mode > 0 ? static_cast<mode_t>(mode) : 0755;
    if (values != nullptr)
        apply_config_locked(*log, *values, update_time);
    return log;
}

} // namespace

std::atomic_ref<int> debug_fd() {
    return std::atomic_ref<int>(debugFD);
}

void update_effective_locked() {
    int v = g_fallback_verbose;
    if (g_log != nullptr)
        v = std::max(g_log->configured_verbose, g_log->programmatic_verbose);
    g_effective_verbose.store(v, std::memory_order_relaxed);
}

void free_log_locked(ZtLog *log) {
    if (log == nullptr)
        return;
    if (log->state != nullptr && --log->state->refs <= 0)
        free_state(log->state);
    delete log;
}

// Process detach: close the file and forget debugFD.
void debuglog_module_event_impl(LoadReason reason) {
    if (reason != LoadReason::ProcessDetach)
        return;
    std::lock_guard<LogMutex> lock(g_mutex);
    if (g_log != nullptr && g_log->state != nullptr)
        close_file_locked(*g_log->state);
    debug_fd().store(-1);
}

void install_fork_handlers() {
    static std::once_flag once;
    // Taken in the order the writers take them: the log, then the configuration.
    std::call_once(once, [] {
        pthread_atfork(
            [] {
                g_mutex.before_fork();
                logcfg::before_fork();
            },
            [] {
                logcfg::after_fork();
                g_mutex.after_fork_parent();
            },
            [] {
                logcfg::after_fork();
                g_mutex.after_fork_child();
                pthread_mutex_init(&g_fallback_mutex, nullptr);
                note_fork_in_child();
            });
    });
}

} // namespace ztbase::debuglog

namespace ztbase {
void debuglog_module_event(LoadReason reason) {
    if (reason == LoadReason::ProcessAttach)
        debuglog::install_fork_handlers();
    debuglog::debuglog_module_event_impl(reason);
}
} // namespace ztbase

using namespace ztbase::debuglog;
namespace logcfg = ztbase::logcfg;
namespace pio = ztbase::pio;
namespace status = zt::status;

// Writing -----------------------------------------------------------------------

extern "C" ZTBASE_API int logmsgv(int level, int verbosity, const char *text, const char *tag) {
    if (t_in_log)
        return 0;
    InLog guard;
    bool force = false;
    if (!g_enabled.load(std::memory_order_acquire)) {
        if (!g_notice_pending.exchange(false))
            return 0;
        text = kDisabledNotice; // the one line that says why nothing follows
        force = true;
    } else if (level == ZTLOG_DEBUG &&
               verbosity > g_effective_verbose.load(std::memory_order_relaxed)) {
        return 0;
    }
    thread_local char body[kBodySize];
    const size_t body_len = prepare_body(text, body, sizeof body);

    if (log_callback_fn cb = g_callback.load(std::memory_order_acquire)) {
        cb(g_callback_context.load(std::memory_order_acquire), level,
           verbosity != 0 ? verbosity : 1, body, tag);
        return 0;
    }
    try {
        LogLock lock(g_mutex);
        if (g_log != nullptr) {
            int oserr = 0;
            const int fd_before = g_log->state->fd;
            int rc = write_locked(lock, level, tag, body, body_len, force, &oserr);
            if (rc != 0 && oserr == EBADF && g_log != nullptr) {
                // The handle went away under us: drop the log object, and write to
                // debugFD when it names another file.
                free_log_locked(g_log);
                g_log = nullptr;
                update_effective_locked();
                const int fd = debug_fd().load();
                lock.unlock();
                if (fd >= 0 && fd != fd_before)
                    return fallback_line(fd, level, tag, body, body_len);
            }
            return rc;
        }
        const int fd = debug_fd().load();
        lock.unlock();
        if (fd < 0)
            return 0;
        return fallback_line(fd, level, tag, body, body_len);
    } catch (const std::bad_alloc &) {
        return status::kNoMemory;
    }
}

extern "C" ZTBASE_API int logmsg(int level, const char *text, const char *tag) {
    if (c_shim_logging_fn fn = shim())
        return fn(level, 0, text, tag);
    return logmsgv(level, 0, text, tag);
}

namespace {

int vlog(int level, int verbosity, const char *tag, const char *format, va_list ap) {
    // Cheap filtering before any formatting work.
    if (g_enabled.load(std::memory_order_relaxed) && level == ZTLOG_DEBUG &&
        verbosity > g_effective_verbose.load(std::memory_order_relaxed) && shim() == nullptr)
        return 0;
    thread_local char text[kLineSize];
    V_vsnprintf(text, sizeof text, format, ap);
    if (c_shim_logging_fn fn = shim())
        return fn(level, verbosity, text, tag);
    return logmsgv(level, verbosity, text, tag);
}

} // namespace

extern "C" ZTBASE_API int logmsgf(int level, const char *tag, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int rc = vlog(level, 0, tag, format, ap);
    va_end(ap);
    return rc;
}

extern "C" ZTBASE_API int logmsgvf(int level, int verbosity, const char *tag, const char *format,
                                   ...) {
    va_list ap;
    va_start(ap, format);
    int rc = vlog(level, verbosity, tag, format, ap);
    va_end(ap);
    return rc;
}

extern "C" ZTBASE_API int logparams(int argc, char **argv) try {
    std::string text;
    bool mask_next = false;
    for (int i = 0; i < argc && argv != nullptr; ++i) {
        const char *arg = argv[i] != nullptr ? argv[i] : "";
        if (i > 0)
            text += ' ';
        if (mask_next)
            text.append(strlen(arg), '*');
        else
            text += arg;
        mask_next = strstr(arg, "pwd") != nullptr || strstr(arg, "password") != nullptr;
    }
    if (c_shim_logging_fn fn = shim())
        return fn(ZTLOG_DEBUG, 0, text.c_str(), "logparams");
    return logmsgv(ZTLOG_DEBUG, 0, text.c_str(), "logparams");
} catch (const std::bad_alloc &) {
    return status::kNoMemory;
}

extern "C" ZTBASE_API int logparamswithdate(int argc, char **argv) try {
    std::string text = "logparams: ";
    for (int i = 0; i < argc && argv != nullptr; ++i) {
        text += argv[i] != nullptr ? argv[i] : "";
        text += ' ';
    }
    return logmsgv(ZTLOG_DEBUG, 0, text.c_str(), "");
} catch (const std::bad_alloc &) {
    return status::kNoMemory;
}

namespace {

// A reader-less pipe or socket gives -1 (errno EPIPE), never SIGPIPE.
int raw_write(int fd, const char *text, size_t n) {
    const int rc = pio::write_all(fd, text, n);
    if (rc == 0)
        return 0;
    errno = rc == pio::kNoProgress ? ENOSPC : rc;
    return -1;
}

} // namespace

extern "C" ZTBASE_API int debuglog(int fd, const char *text) {
    if (fd < 0)
        return -1;
    if (fd == debug_fd().load()) {
        if (c_shim_logging_fn fn = shim())
            return fn(ZTLOG_DEBUG, 0, text, "debuglog");
        return logmsgv(ZTLOG_DEBUG, 0, text, "debuglog");
    }
    timespec ts;
    struct tm tm = local_now(&ts);
    char line[4200];
    int n = snprintf(line, sizeof line, "%02d:%02d:%02d.%03d [%d.%ld] %-.4064s\n", tm.tm_hour,
                     tm.tm_min, tm.tm_sec, static_cast<int>(ts.tv_nsec / 1000000),
                     static_cast<int>(getpid()), thread_id(), text != nullptr ? text : "");
    return raw_write(fd, line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
}

extern "C" ZTBASE_API int logwithtime(int fd, const char *text) {
    timespec ts;
    struct tm tm = local_now(&ts);
    char line[2700];
    int n = snprintf(line, sizeof line, "%-.02d:%-.02d:%-.02d %-.2660s\n", tm.tm_hour, tm.tm_min,
                     tm.tm_sec, text != nullptr ? text : "");
    return raw_write(fd, line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
}

extern "C" ZTBASE_API int logwithtime_and_id(int fd, const char *id, const char *text) {
    timespec ts;
    struct tm tm = local_now(&ts);
    char line[3000];
    int n = snprintf(line, sizeof line, "%-.02d:%-.02d:%-.02d (%.256s) %-.2660s\n", tm.tm_hour,
                     tm.tm_min, tm.tm_sec, id != nullptr ? id : "", text != nullptr ? text : "");
    return raw_write(fd, line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
}

extern "C" ZTBASE_API int logwithoutdate(int fd, const char *text) {
    if (text == nullptr)
        return -1;
    return raw_write(fd, text, strlen(text));
}

// Opening and closing -------------------------------------------------------------

namespace {

// The configuration the log opens with, and its update time; the built-in
// settings when it cannot be read.
int64_t read_opening_config(logcfg::Values &values) {
    auto source = logcfg::source();
    const int64_t when = source->update_time();
    if (!source->read(values))
        values = logcfg::Values{};
    return when;
}

// Critical robust logging makes its directory; only a directory made here
// gets the creation mode.
void make_robust_directory(const ZtLog &log, const char *dir) {
    if (!log.critical || !log.robust)
        return;
    std::error_code ec;
    if (std::filesystem::create_directories(dir, ec) && !ec)
        chmod(dir, log.state->dir_mode);
}

// Makes the log object the process's (mutex held). x_VERBOSE=-2 switches the
// program's logging off: the programmatic verbosity (-1 until set) would
// otherwise hide it in the larger of the two.
void install_locked(ZtLog *log) {
    g_log = log;
    update_effective_locked();
    const bool off = g_effective_verbose.load() == -2 || log->configured_verbose == -2;
    g_enabled.store(!off);
    g_notice_pending.store(off);
}

// A new log object with today's file open (mutex held): the file descriptor
// (-1 for a critical log whose directory is missing yet), or -1 with *err set
// and no log object.
int open_locked(const char *dir, const char *program, int mode, logcfg::Values &values,
                int64_t when, int *err) {
    free_log_locked(g_log);
    g_log = nullptr;
    ZtLog *log = initialize_locked(dir, program, mode, &values, when);
    if (log == nullptr) {
        update_effective_locked();
        if (err != nullptr)
            *err = ENOMEM;
        return -1;
    }
    make_robust_directory(*log, dir);
    log->state->last_check = ztbase::logclock::monotonic_seconds();
    int oserr = 0;
    const int rc = open_today_locked(*log, &oserr);
    if (rc != 0)
        log->state->last_error = rc; // what the lines written without a file report
    if (rc != 0 && !(rc == status::kNoSuchFile && log->critical)) {
        free_log_locked(log);
        update_effective_locked();
        debug_fd().store(-1);
        if (err != nullptr)
            *err = oserr != 0 ? oserr : EIO;
        return -1;
    }
    install_locked(log);
    const int fd = log->state->fd;
    if (fd >= 0)
        debug_fd().store(fd);
    else if (err != nullptr)
        *err = oserr;
    return fd;
}

// Writes back the limits found invalid, and says so in the log.
void report_repairs(bool size, bool num) {
    if (!size && !num)
        return;
    write_repairs(size, num);
    if (size)
        logmsgf(ZTLOG_WARNING, "log_bpconf_update_warn",
                "MAX_LOGFILE_SIZE was set to invalid value. Updated to default[%d] in bp.conf",
                static_cast<int>(logcfg::kDefaultMaxLogFileMb));
    if (num)
        logmsgf(ZTLOG_WARNING, "log_bpconf_update_warn",
                "MAX_NUM_LOGFILES was set to invalid value. Updated to default[%d] in bp.conf",
                static_cast<int>(logcfg::kDefaultMaxNumLogFiles));
}

} // namespace

extern "C" ZTBASE_API int open_debug_log(const char *root, const char *process_dir,
                                         const char *program, int mode, int *err) try {
    if (err != nullptr)
        *err = 0;
    // Everything that may itself log (the path table, the configuration) is
    // asked before the log's mutex is taken.
    char dir[ZTLOG_PATH_MAX];
    if (ZtLog_GetRootPath(dir, root, process_dir) != 0) {
        if (err != nullptr)
            *err = ENAMETOOLONG;
        return -1;
    }
    logcfg::Values values;
    const int64_t when = read_opening_config(values);

    std::optional<InLog> quiet(std::in_place); // nothing logged from below may wait for the mutex
    LogLock lock(g_mutex);
    const int fd =
        open_locked(dir, program != nullptr ? program : process_dir, mode, values, when, err);
    if (fd < 0 && g_log == nullptr)
        return -1;
    const bool repair_size = g_log->repair_size, repair_num = g_log->repair_num;
    lock.unlock();
    quiet.reset();

    register_InvalidParameterHandler(ZT_InvalidParameterHandler);
    report_repairs(repair_size, repair_num);
    return fd;
} catch (const std::bad_alloc &) {
    if (err != nullptr)
        *err = ENOMEM;
    return -1;
}

extern "C" ZTBASE_API int open_debug_file(const char *name, int mode, int *err) {
    return open_debug_log(nullptr, name, name, mode, err);
}

namespace {

// Turns an older size in kilobytes and number of files into the configuration's
// limits, once, before the log opens.
void convert_robust_settings(long size_kb, long num_files) {
    long mb;
    if (size_kb >= -512 && size_kb <= 511) {
        mb = logcfg::kDefaultMaxLogFileMb;
        logmsgf(ZTLOG_WARNING, "rl_open_debug_log",
                "UPGRADE ROBUST LOGGING configuration found MaxLogFileSizeKB [%ld] set much less "
                "than 1 MB, hence "
                "will convert it to default value %d MB.",
                size_kb, static_cast<int>(logcfg::kDefaultMaxLogFileMb));
    } else {
        mb = (size_kb + 512) / 1024;
    }
    if (num_files == 0)
        logmsgf(ZTLOG_WARNING, "rl_open_debug_log",
                "UPGRADE ROBUST LOGGING configuration found NumberOfLogFiles zero, hence will "
                "convert to default "
                "value %d.",
                static_cast<int>(logcfg::kDefaultMaxNumLogFiles));
    char lines[160];
    snprintf(lines, sizeof lines,
             "MAX_LOGFILE_SIZE=%lu\nMAX_NUM_LOGFILES=%lu\nENABLE_ROBUST_LOGGING=0\n",
             static_cast<unsigned long>(mb), static_cast<unsigned long>(num_files));
    if (!logcfg::source()->update(lines)) {
        logmsgf(ZTLOG_ERROR, "rl_open_debug_log", "UpdateHostConfig() failed: %s (%d)\n",
                getECmsg(status::kFileWriteFailed), status::kFileWriteFailed);
        return;
    }
    logmsgf(ZTLOG_INFO, "rl_open_debug_log",
            "UPGRADE ROBUST LOGGING configuration to use: MAX_LOGFILE_SIZE = %lu and "
            "MAX_NUM_LOGFILES = %lu",
            static_cast<unsigned long>(mb), static_cast<unsigned long>(num_files));
}

} // namespace

extern "C" ZTBASE_API int rl_open_debug_log(const char *root, const char *process_dir,
                                            const char *program, int mode, int *err, int convert,
                                            long size_kb, long num_files) {
    if (convert)
        convert_robust_settings(size_kb, num_files);
    return open_debug_log(root, process_dir, program, mode, err);
}

extern "C" ZTBASE_API int open_debug_file2(const char *name, int mode, int *err, int convert,
                                           long size_kb, long num_files) {
    return rl_open_debug_log(nullptr, name, name, mode, err, convert, size_kb, num_files);
}

extern "C" ZTBASE_API int open_log(const char *root, int mode, int *err) {
    return open_debug_log(root, nullptr, nullptr, mode, err);
}

extern "C" ZTBASE_API FILE *open_logging_file(const char *root) {
    int err = 0;
    int fd = open_log(root, 0, &err);
    if (fd < 0)
        return nullptr;
    ztbase::pio::Fd copy(dup(fd));
    FILE *f = copy ? ztbase::pio::stream(std::move(copy), "a") : nullptr;
    if (f == nullptr)
        return nullptr;
    log_set_process_bpconf_verbose(1);
    return f;
}

extern "C" ZTBASE_API void close_debug_log(void) {
    std::lock_guard<LogMutex> lock(g_mutex);
    free_log_locked(g_log);
    g_log = nullptr;
    update_effective_locked();
}

extern "C" ZTBASE_API void close_logging_file(FILE *f) {
    if (f != nullptr)
        fclose(f);
    close_debug_log();
}

extern "C" ZTBASE_API int suppress_log_file_mgmt(void) try {
    LogLock lock(g_mutex);
    if (g_log == nullptr)
        return -1;
    g_log->file_mgmt = false; // from now on opened without close-on-exec
    ZtLoggerInfo &st = *g_log->state;
    const std::string path = st.path;
    int e = ENOENT;
    if (path.empty() || open_current_locked(*g_log, path, &e) != 0) {
        close_file_locked(st);
        lock.unlock();
        logmsgf(ZTLOG_ERROR, "suppress_log_file_mgmt", "Unable to open file %s: %s (%d)",
                path.c_str(), strerror(e), e);
        return -1;
    }
    return st.fd;
} catch (const std::bad_alloc &) {
    return -1;
}

// Settings -------------------------------------------------------------------------

extern "C" ZTBASE_API int log_set_verbosity_filter(int v) {
    if (v == -2) {
        g_enabled.store(false);
        g_notice_pending.store(true);
        return 0;
    }
    g_enabled.store(true);
    g_notice_pending.store(false);
    return -1;
}

extern "C" ZTBASE_API void log_set_process_bpconf_verbose(int v) {
    std::lock_guard<LogMutex> lock(g_mutex);
    if (v < 0)
        v = 0;
    if (g_log != nullptr)
        g_log->programmatic_verbose = v;
    else
        g_fallback_verbose = v;
    update_effective_locked();
}

extern "C" ZTBASE_API int log_get_process_bpconf_verbose(void) {
    std::lock_guard<LogMutex> lock(g_mutex);
    return g_log != nullptr ? g_log->programmatic_verbose : g_fallback_verbose;
}

extern "C" ZTBASE_API int log_get_verbose(int process_value, int global_value) {
    return logcfg::verbosity_of(process_value, global_value, true);
}

extern "C" ZTBASE_API int get_configured_verbose(const char *process, const char *alternative) try {
    logcfg::Values values;
    if (!logcfg::source()->read(values))
        return -1;
    static const char *const kItems[] = {"BPDBM", "BPJOBD",  "BPRD", "BPTM",
                                         "BPBRM", "ZTPROXY", "VAULT"};
    auto lookup = [&](const char *name, int &out) {
        if (name == nullptr)
            return false;
        std::string key = std::string(name) + "_VERBOSE";
        for (char &c : key)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        for (const char *item : kItems)
            if (strcasecmp(item, name) == 0) {
                auto it = values.keys.find(key);
                out = it != values.keys.end() ? it->second : 0; // an item always has a value
                return true;
            }
        auto it = values.keys.find(key);
        if (it == values.keys.end())
            return false;
        out = it->second;
        return true;
    };
    int value = 0;
    if (!lookup(process, value) && !lookup(alternative, value))
        value = 0;
    return logcfg::verbosity_of(value, values.verbose, true);
} catch (const std::bad_alloc &) {
    return -1;
}

namespace {

void set_callback(log_callback_fn fn, void *context, log_callback *old) {
    if (old != nullptr) {
        old->fn = g_callback.load();
        old->context = g_callback_context.load();
    }
    g_callback_context.store(context, std::memory_order_release);
    g_callback.store(fn, std::memory_order_release);
}

} // namespace

extern "C" ZTBASE_API void log_set_callback(log_callback_fn fn, void *context, log_callback *old) {
    logmsg(ZTLOG_DEBUG, "switching to a new logging callback", "log_set_callback");
    set_callback(fn, context, old);
    logmsg(ZTLOG_DEBUG, "switched to a new logging callback", "log_set_callback");
}

extern "C" ZTBASE_API void log_set_callback_no_logging(log_callback_fn fn, void *context,
                                                       log_callback *old) {
    set_callback(fn, context, old);
}

extern "C" ZTBASE_API log_callback log_get_callback(void) {
    return log_callback{g_callback.load(), g_callback_context.load()};
}

extern "C" ZTBASE_API int ZtLog_GetFD(void) {
    std::lock_guard<LogMutex> lock(g_mutex);
    return g_log != nullptr ? g_log->state->fd : -1;
}

extern "C" ZTBASE_API int log_set_debug_fd(int fd) {
    std::lock_guard<LogMutex> lock(g_mutex);
    if (g_log == nullptr || fd < 0)
        return -1;
    ZtLoggerInfo &st = *g_log->state;
    if (st.fd != fd)
        close_file_locked(st);
    st.fd = fd;
    st.pipe = pio::pipe_like(fd);
    debug_fd().store(fd);
    return 0;
}

#define ZT_STATE_SETTER(body)                                                                      \
    std::lock_guard<LogMutex> lock(g_mutex);                                                       \
    if (g_log != nullptr) {                                                                        \
        ZtLoggerInfo &st = *g_log->state;                                                          \
        body;                                                                                      \
    }

extern "C" ZTBASE_API void log_set_locking(int on) {
    ZT_STATE_SETTER(st.locking = on != 0)
}
extern "C" ZTBASE_API void log_set_max_file_size(int64_t bytes) {
    ZT_STATE_SETTER(st.max_size = bytes)
}
extern "C" ZTBASE_API void log_set_lastConfigReadTime(time_t t) {
    ZT_STATE_SETTER(set_last_check_locked(st, t))
}
extern "C" ZTBASE_API void log_set_pid(int pid) {
    ZT_STATE_SETTER(st.pid = pid)
}
extern "C" ZTBASE_API void log_clear_pid(void) {
    ZT_STATE_SETTER(st.pid = -1)
}

extern "C" ZTBASE_API int log_get_locking(void) {
    std::lock_guard<LogMutex> lock(g_mutex);
    return g_log != nullptr ? g_log->state->locking : 0;
}

extern "C" ZTBASE_API int64_t log_get_max_file_size(void) {
    std::lock_guard<LogMutex> lock(g_mutex);
    return g_log != nullptr ? g_log->state->max_size : 0;
}

// The current file -------------------------------------------------------------------

extern "C" ZTBASE_API int ZtLog_OpenFile(ZtLog *log, const char *path, int mode, int flags,
                                         int *err) {
    if (path == nullptr) {
        if (err != nullptr)
            *err = EINVAL;
        return status::kInvalidParameter;
    }
    try {
        std::lock_guard<LogMutex> lock(g_mutex);
        if (log == nullptr)
            log = g_log;
        if (log == nullptr) {
            if (err != nullptr)
                *err = EBADF;
            return status::kFileOpenFailed;
        }
        return open_current_locked(*log, path, err, mode, flags);
    } catch (const std::bad_alloc &) {
        if (err != nullptr)
            *err = ENOMEM;
        return status::kNoMemory;
    }
}

extern "C" ZTBASE_API int ZtLog_CloseLoggerInfo(ZtLoggerInfo *state) {
    std::lock_guard<LogMutex> lock(g_mutex);
    if (state == nullptr && g_log != nullptr)
        state = g_log->state;
    if (state != nullptr)
        close_file_locked(*state);
    return 0;
}

extern "C" ZTBASE_API int ZtLog_GetHandle(ZtLog *log) {
    std::lock_guard<LogMutex> lock(g_mutex);
    if (log == nullptr)
        log = g_log;
    return log != nullptr ? log->state->fd : -1;
}

extern "C" ZTBASE_API int ZtLog_SetHandle(ZtLog *log, int handle) {
    std::lock_guard<LogMutex> lock(g_mutex);
    if (log == nullptr)
        log = g_log;
    if (log == nullptr)
        return -1;
    ZtLoggerInfo &st = *log->state;
    if (st.fd != handle)
        close_file_locked(st);
    st.fd = handle;
    st.pipe = handle >= 0 && pio::pipe_like(handle);
    return 0;
}
