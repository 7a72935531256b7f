// A daemon of this tree (ztvnetd, ztpbxd) as a child process on a port the
// kernel picks: started with its arguments, its port read from the first
// line it prints, stopped with SIGTERM (or SIGKILL when asked). Its standard
// error is dropped unless the variable verbose_env is set.
#pragma once

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace zt::test {

class DaemonProcess {
  public:
    DaemonProcess(std::string program, std::vector<std::string> args,
                  const char *verbose_env = "ZT_TEST_DAEMON_VERBOSE") {
        args.insert(args.begin(), program);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        if (getenv(verbose_env) == nullptr)
            posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        std::string line;
        char c;
        while (pid_ > 0 && line.size() < 200) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0 || read(out[0], &c, 1) != 1 || c == '\n')
                break;
            line += c;
        }
        close(out[0]);
        // The port is the line's last number.
        size_t end = line.size();
        while (end > 0 && !isdigit(static_cast<unsigned char>(line[end - 1])))
            --end;
        size_t begin = end;
        while (begin > 0 && isdigit(static_cast<unsigned char>(line[begin - 1])))
            --begin;
        port_ = begin < end ? atoi(line.substr(begin, end - begin).c_str()) : 0;
    }
    ~DaemonProcess() { stop(SIGTERM); }
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;

    bool ok() const { return pid_ > 0 && port_ > 0; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // Ends it; the wait status.
    int stop(int signal) {
        int st = 0;
        if (pid_ > 0) {
            kill(pid_, signal);
            waitpid(pid_, &st, 0);
            pid_ = -1;
        }
        return st;
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace zt::test
