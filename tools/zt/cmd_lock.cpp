// zt lock: runs a command while holding a file lock (as flock(1) does), or
// shows who holds a lock file.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <jansson.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ztbase/filelock.h>
#include <ztbase/status.h>

#include "commands.h"
#include "platform/posix_io.h"

namespace zt {
namespace {

constexpr const char kUsage[] =
    "lock PATH [read|write] [--attempts N] [--interval MS] -- COMMAND [ARGS...]\n"
    "       zt lock --show PATH [--json]";

constexpr const char kHelp[] =
    "usage: zt lock PATH [read|write] [--attempts N] [--interval MS] -- COMMAND [ARGS...]\n"
    "       zt lock --show PATH [--json]\n"
    "\n"
    "Runs COMMAND while this process holds a lock on the lock file PATH (created\n"
    "when missing; a file holding other data is refused, since the lock writes\n"
    "its holder's line over the start of the file): write (the default) excludes\n"
    "every other holder, read only writers. Other processes and zt lock calls on\n"
    "the same PATH wait for it. COMMAND inherits the lock: should zt be killed,\n"
    "the lock lasts until COMMAND ends.\n"
    "  --attempts N   give up after N tries (default: wait as long as it takes)\n"
    "  --interval MS  milliseconds between tries (default 10)\n"
    "Exit status: that of COMMAND (128+N when it died of signal N, 127 when it\n"
    "cannot be run); 1 when the lock was not granted; 2 for bad arguments.\n"
    "\n"
    "--show tells whether PATH is free, read-locked or write-locked, and the last\n"
    "writer's line (time and process id) at the start of the file; it locks\n"
    "nothing and changes nothing. Exit 0, or 1 when PATH cannot be read.\n";

bool parse_int(const char *text, long low, int &out) {
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > INT_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

// Whether PATH may serve as the lock file: missing, empty, or starting with a
// holder's line. A lock writes its holder's line over the start of the file,
// so a file of other data (a configuration file locked as flock(1) users
// do) would lose its first bytes.
bool lock_file_or_none(const char *path) {
    struct stat sb;
    if (stat(path, &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_size == 0)
        return true; // the lock itself reports what it cannot use
    ztbase::pio::Fd fd = ztbase::pio::open_shared_file(path, O_RDONLY, 0);
    if (!fd)
        return true;
    char line[48] = {};
    size_t got = 0;
    ztbase::pio::read_all(fd.get(), line, sizeof line - 1, &got);
    size_t i = 0, digits = 0;
    while (i < got && line[i] >= '0' && line[i] <= '9')
        ++i, ++digits;
    if (digits < 10 || i >= got || line[i++] != ' ')
        return false;
    for (digits = 0; i < got && line[i] >= '0' && line[i] <= '9'; ++i)
        ++digits;
    return digits > 0 && i < got && line[i] == '\n';
}

// The command is given the lock file's descriptor (as flock(1) does): the
// lock lasts while either holds it, so a zt killed with SIGKILL does not
// free it while the command it guards still runs.
int run_command(char **argv, int lock_fd) {
    const pid_t pid = fork();
    if (pid < 0) {
        perror("zt lock: fork");
        return 1;
    }
    if (pid == 0) {
        fcntl(lock_fd, F_SETFD, 0);
        execvp(argv[0], argv);
        fprintf(stderr, "zt lock: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return 1;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// What holds PATH, seen without locking it: F_OFD_GETLK with a write probe
// answers the type of one conflicting lock.
int show(const char *path, bool json) {
    struct stat sb;
    const char *state = "free";
    long long since = -1;
    long pid = -1;
    if (stat(path, &sb) == 0) {
        ztbase::pio::Fd fd = ztbase::pio::open_shared_file(path, O_RDONLY, 0);
        if (!fd) {
            fprintf(stderr, "zt lock: %s: %s\n", path, strerror(errno));
            return 1;
        }
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        probe.l_len = FILELOCK_RANGE;
        if (fcntl(fd.get(), F_OFD_GETLK, &probe) != 0) {
            fprintf(stderr, "zt lock: %s: %s\n", path, strerror(errno));
            return 1;
        }
        state = probe.l_type == F_UNLCK ? "free" : probe.l_type == F_RDLCK ? "read" : "write";
        char line[64] = "";
        size_t got = 0;
        ztbase::pio::read_all(fd.get(), line, sizeof line - 1, &got);
        line[got] = '\0';
        if (sscanf(line, "%10lld %ld", &since, &pid) != 2)
            since = pid = -1;
    }
    if (json) {
        json_t *o = json_pack("{s:s,s:s,s:o,s:o}", "path", path, "state", state, "last_writer_pid",
                              pid >= 0 ? json_integer(pid) : json_null(), "last_writer_time",
                              since >= 0 ? json_integer(since) : json_null());
        char *text = json_dumps(o, JSON_INDENT(2));
        puts(text);
        free(text);
        json_decref(o);
        return 0;
    }
    printf("%s: %s", path, strcmp(state, "free") == 0 ? "free" : state);
    if (strcmp(state, "free") != 0)
        printf("-locked");
    if (pid >= 0) {
        const time_t t = static_cast<time_t>(since);
        char when[32];
        struct tm tm;
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime_r(&t, &tm));
        printf(" (last writer: process %ld at %s)", pid, when);
    }
    printf("\n");
    return 0;
}

} // namespace

int cmd_lock(int argc, char **argv) {
    if (argc == 1 && strcmp(argv[0], "--help") == 0) {
        fputs(kHelp, stdout);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[0], "--show") == 0) {
        const bool json = argc == 3 && strcmp(argv[2], "--json") == 0;
        if (argc > 3 || (argc == 3 && !json))
            return usage(kUsage);
        return show(argv[1], json);
    }
    if (argc < 1 || argv[0][0] == '-' || argv[0][0] == '\0')
        return usage(kUsage);
    const char *path = argv[0];
    int type = FILELOCK_WRITE, attempts = FileLock::INFINITE_ATTEMPTS,
        interval = FileLock::DEFAULT_INTERVAL_MS;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "read") == 0)
            type = FILELOCK_READ;
        else if (strcmp(argv[i], "write") == 0)
            type = FILELOCK_WRITE;
        else if (strcmp(argv[i], "--attempts") == 0 && i + 1 < argc &&
                 parse_int(argv[i + 1], 1, attempts))
            ++i;
        else if (strcmp(argv[i], "--interval") == 0 && i + 1 < argc &&
                 parse_int(argv[i + 1], 0, interval))
            ++i;
        else
            return usage(kUsage);
    }
    if (i + 1 >= argc) // no "--" or nothing after it
        return usage(kUsage);
    if (!lock_file_or_none(path)) {
        fprintf(stderr,
                "zt lock: %s: not a lock file (it holds other data, which a lock would "
                "overwrite); nothing written\n",
                path);
        return 1;
    }
    int err = 0;
    const int fd = attempts == FileLock::INFINITE_ATTEMPTS
                       ? wait_lock(path, type, &err)
                       : wait_lock_with_timeout(path, type, interval, attempts, &err);
    if (fd < 0) {
        const int saved = errno;
        fprintf(stderr, "zt lock: %s: %s (%d)%s%s\n", path, getECmsg(9101), 9101,
                err == -2 ? "" : ": ", err == -2 ? "" : strerror(saved));
        return 1;
    }
    const int status = run_command(argv + i + 1, fd);
    if (wait_unlock(fd, &err) != 0)
        fprintf(stderr, "zt lock: %s: %s (%d)\n", path, getECmsg(9102), 9102);
    return status;
}

} // namespace zt
