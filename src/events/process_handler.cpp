// ProcessHandler: our own process lister reads /proc, and the signal goes
// through a process descriptor opened before the last check, so that an id
// reused by another program between the check and the signal is never hit.
#include <ztbase/debuglog.h>
#include <ztbase/events.h>
#include <ztbase/paths.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix_io.h"

namespace {

// The executable of a process ("" when it cannot be read: gone, or another
// user's without the rights). A replaced file reads " (deleted)" at the end.
std::string executable_of(pid_t pid) {
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return {};
    std::string path(target, static_cast<size_t>(n));
    static const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

// The program's path with the directory's links resolved ("" when the
// directory does not exist).
std::string wanted_path(const std::string &name, const std::string &directory) {
    if (name.empty() || name.find('/') != std::string::npos)
        return {};
    char real[PATH_MAX];
    if (!realpath(directory.empty() ? "." : directory.c_str(), real))
        return {};
    std::string dir = real;
    return (dir == "/" ? "" : dir) + "/" + name;
}

// Whether a process belongs to this user: its real and effective ids are ours.
bool owned_by_us(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    std::string text;
    ztbase::pio::Fd fd = ztbase::pio::open_fd(path, O_RDONLY);
    if (!fd || ztbase::pio::read_to_end(fd.get(), text) != 0)
        return false;
    size_t at = text.find("\nUid:");
    if (at == std::string::npos)
        return false;
    unsigned long real = 0, effective = 0;
    if (sscanf(text.c_str() + at + 5, "%lu %lu", &real, &effective) != 2)
        return false;
    uid_t me = geteuid();
    return real == me && effective == me;
}

int open_process(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int signal_process(int pidfd, pid_t pid, int signal) {
    if (pidfd >= 0)
        return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
    return kill(pid, signal);
}

} // namespace

ProcessHandler::ProcessHandler(const std::string &name)
    : ProcessHandler(name, getFennicString("BP_BIN")) {}

ProcessHandler::ProcessHandler(const std::string &name, const std::string &directory)
    : name_(name), directory_(directory) {}

void ProcessHandler::setProcessmName(const std::string &name) {
    name_ = name;
    pids_.clear();
}

void ProcessHandler::setDirectoryName(const std::string &directory) {
    directory_ = directory;
    pids_.clear();
}

void ProcessHandler::setSignalType(int signal) { signal_ = signal; }

std::vector<pid_t> ProcessHandler::listProcesses(const std::string &name,
                                                 const std::string &directory) {
    std::vector<pid_t> out;
    std::string wanted = wanted_path(name, directory);
    if (wanted.empty())
        return out;
    DIR *proc = opendir("/proc");
    if (!proc) {
        logmsgf(ZTLOG_ERROR, "ProcessHandler::listProcesses", "cannot read /proc: %s", strerror(errno));
        return out;
    }
    while (dirent *e = readdir(proc)) {
        char *end = nullptr;
        long id = strtol(e->d_name, &end, 10);
        if (*end != '\0' || id <= 0 || id > INT_MAX)
            continue;
        if (executable_of(static_cast<pid_t>(id)) == wanted)
            out.push_back(static_cast<pid_t>(id));
    }
    closedir(proc);
    std::sort(out.begin(), out.end());
    return out;
}

int ProcessHandler::terminate() {
    static const char tag[] = "ProcessHandler::terminate";
    if (pids_.empty()) {
        if (access("/proc/self", F_OK) != 0) {
            logmsgf(ZTLOG_ERROR, tag, "cannot read /proc: %s", strerror(errno));
            return -1;
        }
        pids_ = listProcesses(name_, directory_);
    }
    std::string wanted = wanted_path(name_, directory_);
    const pid_t self = getpid();
    const bool root = geteuid() == 0;
    int signalled = 0;
    for (pid_t pid : pids_) {
        // Never this process, id 0 or a negative id (kill would take them as
        // this process group or every process).
        if (pid <= 0 || pid == self)
            continue;
        int pidfd = open_process(pid);
        if (pidfd < 0 && errno == ESRCH)
            continue;
        // Checked again through the open descriptor: still the program, still ours.
        bool same = !wanted.empty() && executable_of(pid) == wanted;
        bool allowed = root || owned_by_us(pid);
        if (same && allowed) {
            if (signal_process(pidfd, pid, signal_) == 0) {
                ++signalled;
                logmsgvf(ZTLOG_DEBUG, 1, tag, "sent signal %d to %s process %d", signal_,
                         name_.c_str(), static_cast<int>(pid));
            } else {
                logmsgf(ZTLOG_WARNING, tag, "signal %d to process %d failed: %s", signal_,
                        static_cast<int>(pid), strerror(errno));
            }
        } else if (same) {
            logmsgf(ZTLOG_WARNING, tag, "process %d of %s belongs to another user; not signalled",
                    static_cast<int>(pid), name_.c_str());
        }
        if (pidfd >= 0)
            close(pidfd);
    }
    pids_.clear();
    return signalled;
}
