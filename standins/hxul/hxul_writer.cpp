// Writing records: one open file per log handle, one write per record, and
// rotation shared by every process that writes the same files.
//
// Why several processes can share the files without a lock: every record is
// one write(2) to a descriptor opened with O_APPEND, which Linux places at the
// end of the file as one piece. Rotation needs no lock either: a writer that
// finds its file at or past the maximum size moves to the highest number in
// the directory, or creates the next one (O_CREAT: whoever comes second just
// opens it). A file deleted under a writer (link count 0) sends it to the
// newest file. Removing the oldest files beyond the limit may race with
// another writer doing the same; a file already gone is simply skipped.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <atomic>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "hxul_internal.h"
#include "platform/posix_io.h"

namespace pio = ztbase::pio;

struct hlvnLog {
    unsigned long product = 0;
    unsigned long originator = 0;
    std::string dir;
    std::string prefix;
    int open_rc = HLVN_E_FAIL;
    bool utf8 = false;

    std::mutex m; // everything below
    pio::Fd fd;
    long seq = 0;
    hxul::Settings settings;
    uint64_t gen = 0;
    int64_t last_look = INT64_MIN;
    std::string line; // reused for every record
    int64_t written = 0;         // bytes written since the file was last looked at
    int64_t file_look = INT64_MIN; // when that was (monotonic ms)
};

namespace hxul {

bool split_log_name(std::string_view name, std::string &prefix, long &seq) {
    if (name.size() < 7 || name.substr(name.size() - 4) != ".log")
        return false;
    name.remove_suffix(4);
    const size_t dash = name.rfind('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 == name.size() ||
        name.size() - dash - 1 > 9)
        return false;
    long n = 0;
    for (char c : name.substr(dash + 1)) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    if (n < 1)
        return false;
    prefix.assign(name.substr(0, dash));
    seq = n;
    return true;
}

std::vector<LogFile> list_log_files(const std::string &dir, const char *only_prefix) {
    std::vector<LogFile> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (const dirent *e = readdir(d)) {
        LogFile f;
        if (!split_log_name(e->d_name, f.prefix, f.seq))
            continue;
        if (only_prefix != nullptr && f.prefix != only_prefix)
            continue;
        f.name = e->d_name;
        out.push_back(std::move(f));
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const LogFile &a, const LogFile &b) {
        return a.prefix != b.prefix ? a.prefix < b.prefix : a.seq < b.seq;
    });
    return out;
}

namespace {

std::string file_path(const hlvnLog &log, long seq) {
    return log.dir + "/" + log.prefix + "-" + std::to_string(seq) + ".log";
}

int make_dirs(const std::string &path) {
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        partial = path.substr(0, slash);
        pos = slash + 1;
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
    }
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0)
        return errno;
    return S_ISDIR(sb.st_mode) ? 0 : ENOTDIR;
}

// Opens file number seq for appending (mutex held). A file made here starts
// with the comment naming the columns.
bool open_seq_locked(hlvnLog &log, long seq) {
    const std::string path = file_path(log, seq);
    pio::Fd fd = pio::open_shared_file(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0644);
    if (fd) {
        pio::write_all(fd.get(), kHeaderLine, strlen(kHeaderLine), nullptr, pio::Pipe::NoGuard);
    } else if (errno == EEXIST) {
        fd = pio::open_shared_file(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    }
    if (!fd)
        return false;
    log.fd = std::move(fd);
    log.seq = seq;
    return true;
}

// The newest file of the log, or file 1 (mutex held).
bool open_newest_locked(hlvnLog &log) {
    const std::vector<LogFile> files = list_log_files(log.dir, log.prefix.c_str());
    return open_seq_locked(log, files.empty() ? 1 : files.back().seq);
}

// Removes the oldest files beyond the configured number (mutex held).
void prune_locked(hlvnLog &log) {
    if (log.settings.num_files < 1)
        return;
    const std::vector<LogFile> files = list_log_files(log.dir, log.prefix.c_str());
    const size_t keep = size_t(log.settings.num_files);
    for (size_t i = 0; i + keep < files.size(); ++i)
        unlink((log.dir + "/" + files[i].name).c_str());
}

// After a write: follow a deletion or rotate past the maximum size. The file
// is looked at once a quarter second, or sooner when this writer alone has
// written a sixty-fourth of the maximum size since: a system call per record
// would cost as much as the record's own write.
void check_file_locked(hlvnLog &log) {
    const int64_t now = mono_ms();
    if (log.written < log.settings.max_kb * 16 && log.file_look != INT64_MIN &&
        now - log.file_look < 250)
        return;
    log.written = 0;
    log.file_look = now;
    struct stat sb;
    if (fstat(log.fd.get(), &sb) != 0)
        return;
    if (sb.st_nlink == 0) {
        open_newest_locked(log);
        return;
    }
    if (sb.st_size < off_t(log.settings.max_kb) * 1024)
        return;
    const std::vector<LogFile> files = list_log_files(log.dir, log.prefix.c_str());
    const long newest = files.empty() ? log.seq : files.back().seq;
    if (newest > log.seq) {
        // Another writer has rotated already: join it, unless that file is full too.
        if (open_seq_locked(log, newest) && fstat(log.fd.get(), &sb) == 0 &&
            sb.st_size < off_t(log.settings.max_kb) * 1024)
            return;
    }
    if (open_seq_locked(log, std::max(newest, log.seq) + 1))
        prune_locked(log);
}

void refresh_settings_locked(hlvnLog &log) {
    Settings s;
    uint64_t gen = 0;
    if (current_settings(log.product, log.originator, s, &gen) == HLVN_OK)
        log.settings = s;
    log.gen = gen;
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The process id, taken afresh in a child after fork (getpid is a system call).
std::atomic<unsigned long> g_pid{0};
unsigned long process_id() {
    unsigned long pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static std::once_flag once;
        std::call_once(once, [] {
            pthread_atfork(nullptr, nullptr, [] { g_pid.store(0); });
        });
        pid = static_cast<unsigned long>(getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

unsigned long thread_id() {
    // Kept per thread, and taken afresh in a child (whose thread has a new id).
    thread_local unsigned long tid = 0, pid_seen = 0;
    const unsigned long pid = process_id();
    if (pid_seen != pid) {
        tid = static_cast<unsigned long>(syscall(SYS_gettid));
        pid_seen = pid;
    }
    return tid;
}

int write_record(hlvnLog *log, hlvnLogKind_t kind, const char *who, int level,
                 unsigned long msgid, int n, const char *const *fields) {
    if (log == nullptr)
        return HLVN_E_PARAM;
    if (log->open_rc != HLVN_OK)
        return HLVN_E_FAIL;
    std::lock_guard<std::mutex> lock(log->m);
    if (kind == HLVN_KIND_DEBUG && level > log->settings.debug_level)
        return HLVN_E_FILTERED;
    if (kind == HLVN_KIND_DIAG && level > log->settings.diag_level)
        return HLVN_E_FILTERED;
    if (!log->fd && !open_newest_locked(*log))
        return HLVN_E_IO;
    const Draft d{now_ms(),
                  kind,
                  level,
                  log->product,
                  log->originator,
                  process_id(),
                  thread_id(),
                  msgid,
                  who,
                  fields,
                  n,
                  log->utf8};
    log->line.clear();
    encode(d, log->line);
    if (pio::write_all(log->fd.get(), log->line.data(), log->line.size(), nullptr,
                       pio::Pipe::NoGuard) != 0) {
        log->fd.close(); // tried afresh with the next record
        return HLVN_E_IO;
    }
    log->written += int64_t(log->line.size());
    check_file_locked(*log);
    return HLVN_OK;
}

std::string clean_instance(const char *instance) {
    std::string s = instance != nullptr && *instance != '\0' ? instance : "hxul";
    if (s.size() > 64)
        s.resize(64);
    for (char &c : s)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
            c = '_';
    if (s[0] == '.')
        s[0] = '_';
    return s;
}

} // namespace
} // namespace hxul

extern "C" {

HXUL_API int hlvnLogOpen2(unsigned long product, unsigned long originator, const char *instance,
                          hlvnLog **out) {
    if (out == nullptr)
        return HLVN_E_PARAM;
    *out = nullptr;
    try {
        auto *log = new hlvnLog;
        log->product = product;
        log->originator = originator;
        log->prefix = hxul::clean_instance(instance);
        log->dir = hxul::logs_dir() + "/" + std::to_string(product) + "/" +
                   std::to_string(originator);
        *out = log;
        std::lock_guard<std::mutex> lock(log->m);
        hxul::refresh_settings_locked(*log);
        log->last_look = hxul::mono_ms();
        if (hxul::make_dirs(log->dir) != 0 || !hxul::open_newest_locked(*log))
            log->open_rc = HLVN_E_IO;
        else
            log->open_rc = HLVN_OK;
        return log->open_rc;
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API int hlvnLogOpen(unsigned long product, unsigned long originator, hlvnLog **log) {
    return hlvnLogOpen2(product, originator, nullptr, log);
}

HXUL_API int hlvnLogClose(hlvnLog *log) {
    delete log;
    return HLVN_OK;
}

HXUL_API void hlvnLogSetUtf8Input(hlvnLog *log, int flag) {
    if (log != nullptr) {
        std::lock_guard<std::mutex> lock(log->m);
        log->utf8 = flag != 0;
    }
}

HXUL_API int hlvnLogGetUtf8Input(const hlvnLog *log) {
    if (log == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(const_cast<hlvnLog *>(log)->m);
    return log->utf8 ? 1 : 0;
}

HXUL_API int hlvnDynaLoadConfig(hlvnLog *log) {
    if (log == nullptr)
        return HLVN_E_PARAM;
    try {
        std::lock_guard<std::mutex> lock(log->m);
        const int64_t now = hxul::mono_ms();
        if (log->last_look != INT64_MIN && now - log->last_look < 1000)
            return HLVN_OK;
        log->last_look = now;
        if (hxul::config_generation() != log->gen)
            hxul::refresh_settings_locked(*log);
        return HLVN_OK;
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API int hlvnLogGetDebugLevel(const hlvnLog *log, int *level) {
    if (log == nullptr || level == nullptr)
        return HLVN_E_PARAM;
    std::lock_guard<std::mutex> lock(const_cast<hlvnLog *>(log)->m);
    *level = log->settings.debug_level;
    return HLVN_OK;
}

HXUL_API int hlvnLogGetDiagLevel(const hlvnLog *log, int *level) {
    if (log == nullptr || level == nullptr)
        return HLVN_E_PARAM;
    std::lock_guard<std::mutex> lock(const_cast<hlvnLog *>(log)->m);
    *level = log->settings.diag_level;
    return HLVN_OK;
}

HXUL_API int hlvnLogDebug(hlvnLog *log, const char *who, int level, const char *text) {
    try {
        const char *fields[1] = {text != nullptr ? text : ""};
        return hxul::write_record(log, HLVN_KIND_DEBUG, who, level, 0, 1, fields);
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API int hlvnLogDiag(hlvnLog *log, const char *who, int level, unsigned long msgid, int argc,
                         const char *const *argv) {
    if (argc < 0 || (argc > 0 && argv == nullptr))
        return HLVN_E_PARAM;
    try {
        return hxul::write_record(log, HLVN_KIND_DIAG, who, level, msgid, argc, argv);
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API int hlvnLogApp(hlvnLog *log, const char *who, int severity, unsigned long msgid,
                        int argc, const char *const *argv) {
    if (argc < 0 || (argc > 0 && argv == nullptr) || severity < 0 ||
        severity > HLVN_SEV_EMERGENCY)
        return HLVN_E_PARAM;
    try {
        return hxul::write_record(log, HLVN_KIND_APP, who, severity, msgid, argc, argv);
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

} // extern "C"
