// Child processes for the event tests: a child runs a dispatcher or a reactor,
// the test process signals it and reads what the child's notifiers saw, one
// line each, through a pipe.
#pragma once

#include <cerrno>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <ztbase/events.h>

namespace zt::test {

inline void put_line(int fd, const std::string &text) {
    std::string line = text + "\n";
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
}

// One line from fd, without its end; "" at end of file or after the deadline
// (a child that never answers fails the test instead of hanging it).
inline std::string get_line(int fd, int timeout_ms = 20000) {
    std::string out;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, timeout_ms);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return "";
        char c;
        if (read(fd, &c, 1) != 1)
            return out;
        if (c == '\n')
            return out;
        out += c;
    }
}

// Whether a line is waiting on fd within timeout_ms.
inline bool line_waiting(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

struct Child {
    pid_t pid = -1;
    int to = -1;   // the child's commands
    int from = -1; // the child's lines

    // Runs fn(commands, lines) in a child that leaves with _exit(fn's result).
    explicit Child(const std::function<int(int, int)> &fn) {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(down[1]);
            close(up[0]);
            _exit(fn(down[0], up[1]));
        }
        close(down[0]);
        close(up[1]);
        to = down[1];
        from = up[0];
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            wait_exit();
        }
        if (to >= 0)
            close(to);
        if (from >= 0)
            close(from);
    }
    // The exit status, or 128 + the signal that ended the child.
    int wait_exit() {
        int status = 0;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid)
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

// A notifier that reports each notification as a line "<code> <label>".
class LineNotifier : public Notifier {
  public:
    LineNotifier(int fd, std::string label) : fd_(fd), label_(std::move(label)) {}
    void notify(NotifySource *source, int code) override {
        Notifier::notify(source, code);
        put_line(fd_, std::to_string(code) + " " + label_ + (source ? "" : " null-source"));
    }

  private:
    int fd_;
    std::string label_;
};

// A notifier that only counts.
class CountingNotifier : public Notifier {
  public:
    void notify(NotifySource *source, int code) override {
        Notifier::notify(source, code);
        count.fetch_add(1);
    }
    std::atomic<int> count{0};
};

} // namespace zt::test
