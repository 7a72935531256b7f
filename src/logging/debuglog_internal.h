// Inside the debug log: the log object, its shared state, the process-wide log
// mutex, and the file operations the writers call with that mutex held.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/types.h>

#include "base/log_sink.h"
#include "logging/log_config.h"
#include "ztbase/debuglog.h"

// Shared log state: one per process, referenced by the log objects using it.
struct ZtLoggerInfo {
    int pid = -1; // process id printed in lines; -1: take it afresh
    std::string dir;
    mode_t dir_mode = 0755;
    char date[7] = ""; // MMDDYY of the current file
    std::string user;
    std::string path; // the current file
    int seq = 0;
    int mday = 0; // day of month of the current file
    int ymd = 0;  // the whole date of the current file: a month without lines is a new day too
    int fd = -1;
    bool pipe = false; // the file is a pipe or socket: writes guard against SIGPIPE
    int64_t size = 0;
    int64_t max_size = ztbase::logcfg::kDefaultMaxLogFileMb * 1048576LL;
    bool locking = true;
    int64_t last_check = 0; // monotonic seconds of the last configuration check
    bool failed = false;    // the file was closed after a failed write: reopen at the next check
    int last_error = 0;     // status reported for the lines dropped while no file is open
    std::string fragment;   // a file left ending in half a line: the next line starts a new one
    long lost = 0;          // lines not written since the log last could write
    time_t lost_since = 0;  // when the first of them was dropped
    int refs = 0;
};

// The log object: one per process, made by open_debug_log.
struct ZtLog {
    std::string program; // at most 127 characters
    bool critical = false;
    int configured_verbose = 0;
    int programmatic_verbose = -1;
    bool file_mgmt = true;
    ZtLoggerInfo *state = nullptr;
    int max_num_files = 0;
    bool robust = false;
    bool repair_size = false;        // MAX_LOGFILE_SIZE found invalid at the last read
    bool repair_num = false;         // MAX_NUM_LOGFILES found invalid at the last read
    int64_t config_time = INT64_MIN; // update time of the configuration last read
};

namespace ztbase::debuglog {

// When set, replaces the raw write of the fallback writer (no log object,
// lines written to debugFD). Tests set it; it is not exported.
using WriteHook = ssize_t (*)(int fd, const void *buf, size_t len);
extern WriteHook test_hook_write;

constexpr int kLogFileMode = 0644;

// The log's mutex, made safe across fork without making a fork wait for a
// line that is blocked on another process's file lock. A holder also holds the
// gate whenever it touches the log's memory, and lets go of the gate only
// while it waits for the file lock. fork() takes the gate alone; the child,
// whose other threads are gone, makes the mutex afresh.
class LogMutex {
  public:
    void lock() {
        pthread_mutex_lock(&m_);
        pthread_mutex_lock(&gate_);
    }
    void unlock() {
        pthread_mutex_unlock(&gate_);
        pthread_mutex_unlock(&m_);
    }
    // Around a wait that may last: the log's memory stays untouched meanwhile.
    void open_gate() { pthread_mutex_unlock(&gate_); }
    void close_gate() { pthread_mutex_lock(&gate_); }

    void before_fork() { pthread_mutex_lock(&gate_); }
    void after_fork_parent() { pthread_mutex_unlock(&gate_); }
    // The gate is the forking thread's own; the mutex may have been held by a
    // thread that the child does not have.
    void after_fork_child() {
        pthread_mutex_unlock(&gate_);
        pthread_mutex_init(&m_, nullptr);
    }

  private:
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t gate_ = PTHREAD_MUTEX_INITIALIZER;
};
using LogLock = std::unique_lock<LogMutex>;

// Guards the log object, the shared state and every file operation.
extern LogMutex g_mutex;
extern ZtLog *g_log;

// What logmsgv reads without the mutex.
extern std::atomic<int> g_effective_verbose; // of the log object, else the fallback
extern std::atomic<bool> g_enabled;          // false: switched off (-2)
extern std::atomic<bool> g_notice_pending;   // the switch-off line is still to be written

// debugFD, read and written atomically inside the library.
std::atomic_ref<int> debug_fd();

// The sink through which the lower families write to this log; the library's
// attach wiring installs it.
const logsink::Sink *sink();

// Recomputes g_effective_verbose from the log object (mutex held).
void update_effective_locked();

// Reads the configuration into the log object: verbosity, limits, robust
// logging; marks invalid limits for repair. Call without the mutex; applies
// under it. Returns false when the configuration cannot be read.
bool read_config(logcfg::Values &values);
void apply_config_locked(ZtLog &log, const logcfg::Values &values, int64_t update_time);
// Writes marked repairs back into the configuration (without the mutex).
void write_repairs(bool size, bool num);

// Opens today's file for the log (mutex held). Returns 0, 142 (directory
// missing), -1 (no user name), 12 (open failed, errno in *err) or 36.
int open_today_locked(ZtLog &log, int *err);
// Writes one prepared body as a line (mutex held; it may be released while
// the configuration is read). force: even when a verbosity is -2.
int write_locked(LogLock &lock, int level, const char *tag, const char *body, size_t body_len,
                 bool force, int *oserr);
// Opens path for appending as the log's current file (the old one closed
// first); debugFD names it when it was -1. Returns 0, or 12 with errno in *err.
int open_current_locked(ZtLog &log, const std::string &path, int *err, int mode = 0, int flags = 0);
// Makes an open descriptor the state's current file (the old one closed
// first); debugFD names it when it was -1.
void adopt_file_locked(ZtLoggerInfo &state, int fd, std::string path, int64_t size);
// Closes the current file of a state; forgets debugFD when it is that file.
void close_file_locked(ZtLoggerInfo &state);
// Sets the time of the last configuration check from a wall-clock time.
void set_last_check_locked(ZtLoggerInfo &state, time_t wall);
// Frees a log object and, with its last reference, the shared state.
void free_log_locked(ZtLog *log);

// Makes every mutex of the log family safe across fork (once per process).
void install_fork_handlers();
// Called in the child after fork: thread and process ids are taken afresh.
void note_fork_in_child();

// The local time of a second (mutex held). localtime_r takes the C library's
// time-zone lock: called only under the log's mutex, a fork never finds that
// lock held by a thread the child does not have.
const struct tm &local_time_locked(time_t sec);

// The calling thread's id as printed in lines.
long thread_id();
// The process id as printed in lines, taken afresh after fork or log_clear_pid.
long process_id_locked(ZtLoggerInfo &state);

} // namespace ztbase::debuglog
