// zt events: the event utilities at work. "demo" runs a signal dispatcher and
// a reactor in this process while a helper process touches a file, writes the
// registry through zt reg add and sends signals; "ps" lists a program's
// processes as the process handler finds them.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <ace/Lock_Adapter_T.h>
#include <ace/Select_Reactor.h>
#include <ace/Thread_Mutex.h>

#include <ztbase/events.h>
#include <ztbase/paths.h>

#include "commands.h"
#include "platform/registry/registry.h"

namespace zt {
namespace {

const char kUsage[] = "events demo | events ps NAME [DIRECTORY]";
const char kKey[] = "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Config";

void say(int fd, const char *command) {
    std::string line = std::string(command) + "\n";
    if (write(fd, line.data(), line.size()) < 0)
        fprintf(stderr, "zt events demo: the helper is gone: %s\n", strerror(errno));
}

// The other process: does what each line asks, in order.
int helper(int commands, pid_t demo, const std::string &file) {
    FILE *in = fdopen(commands, "r");
    char line[64];
    while (in && fgets(line, sizeof line, in)) {
        if (strcmp(line, "touch\n") == 0) {
            FILE *f = fopen(file.c_str(), "a");
            if (f) {
                fputs("touched\n", f);
                fclose(f);
            }
        } else if (strcmp(line, "reg\n") == 0) {
            pid_t pid = fork();
            if (pid == 0) {
                execl("/proc/self/exe", "zt", "reg", "add", (std::string("HKLM\\") + kKey).c_str(),
                      "DEMO", "REG_SZ", "hello", static_cast<char *>(nullptr));
                _exit(127);
            }
            int status = 0;
            waitpid(pid, &status, 0);
        } else if (strcmp(line, "hup\n") == 0) {
            kill(demo, SIGHUP);
        } else if (strcmp(line, "int\n") == 0) {
            kill(demo, SIGINT);
        }
    }
    return 0;
}

// Every notification of the demo comes here, in the reactor's thread or the
// dispatch thread, and starts the next step.
class Steps : public Notifier {
  public:
    ACE_Reactor *reactor = nullptr;
    int helper_fd = -1;
    NotifySource *file_poller = nullptr, *reg_poller = nullptr, *dispatcher = nullptr;
    TimeNotifier *once = nullptr, *repeating = nullptr;
    int repeats = 0;
    bool finished = false;

    void notify(NotifySource *source, int code) override {
        Notifier::notify(source, code);
        if (source == file_poller) {
            puts("  FilePoller: the watched file changed (touched by the helper process)");
            say(helper_fd, "reg");
        } else if (source == reg_poller) {
            puts("  RegPoller: the Config key was written (zt reg add ... DEMO REG_SZ hello)");
            once->schedule(ACE_Time_Value(0, 100000));
        } else if (source == once) {
            printf("  TimeNotifier: one-shot timer fired; scheduled now: %s\n",
                   once->isScheduled() ? "yes" : "no");
            repeating->schedule(ACE_Time_Value(0, 50000), ACE_Time_Value(0, 50000));
        } else if (source == repeating) {
            printf("  TimeNotifier: repeating timer fired (%d)\n", ++repeats);
            if (repeats == 3) {
                repeating->cancel();
                say(helper_fd, "hup");
            }
        } else if (source == dispatcher && code == SIGHUP) {
            puts("  AsyncSignalDispatcher: SIGHUP from the helper process, a suspend request "
                 "(code 1)");
            say(helper_fd, "int");
        } else if (source == dispatcher && code == SIGINT) {
            puts("  AsyncSignalDispatcher: SIGINT from the helper process, a terminate request "
                 "(code 2)");
            finished = true;
            reactor->end_reactor_event_loop();
        }
        fflush(stdout);
    }
};

// Ends a demo that stalls.
class Deadline : public ACE_Event_Handler {
  public:
    int handle_timeout(const ACE_Time_Value &, const void *) override {
        fputs("zt events demo: no progress in 20 seconds\n", stderr);
        reactor()->end_reactor_event_loop();
        return 0;
    }
};

int demo() {
    char tmpl[] = "/tmp/zt-events.XXXXXX";
    if (!mkdtemp(tmpl)) {
        fprintf(stderr, "zt events demo: cannot make a temporary root: %s\n", strerror(errno));
        return 1;
    }
    const std::string root = tmpl;
    setenv("ZT_REGISTRY", (root + "/registry").c_str(), 1);
    setenv("ZT_REGISTRY_USER", (root + "/user").c_str(), 1);
    const std::string file = root + "/watched.conf";
    if (FILE *f = fopen(file.c_str(), "w"))
        fclose(f);
    // An hour old, so that the helper's touch is a change even on a file
    // system whose clock moves in coarse steps.
    timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    utimensat(AT_FDCWD, file.c_str(), old, 0);
    using namespace ztbase::registry;
    Key key;
    int64_t written = 0;
    if (Key::create(Root::LocalMachine, kKey, key) != Status::Ok ||
        key.last_write(written) != Status::Ok) {
        fprintf(stderr, "zt events demo: cannot create the registry key under %s\n", root.c_str());
        std::filesystem::remove_all(root);
        return 1;
    }
    close_all();
    printf("Event utilities, in the temporary root %s\n", root.c_str());

    // The helper is made before any thread, then the signals are blocked.
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        std::filesystem::remove_all(root);
        return 1;
    }
    fflush(stdout);
    const pid_t self = getpid();
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[1]);
        _exit(helper(pipe_fds[0], self, file));
    }
    close(pipe_fds[0]);

    AsyncSignalDispatcher dispatcher;
    dispatcher.initMain();
    ACE_Select_Reactor impl;
    ACE_Reactor reactor(&impl);
    ACE_Lock_Adapter<ACE_Thread_Mutex> lock;
    Steps steps;
    steps.reactor = &reactor;
    steps.helper_fd = pipe_fds[1];
    FilePoller file_poller(reactor, lock, steps, file, FilePoller::modificationTime(file),
                           ACE_Time_Value(0, 50000));
    RegPoller reg_poller(reactor, lock, steps, kKey, written, ACE_Time_Value(0, 50000));
    steps.file_poller = &file_poller;
    steps.reg_poller = &reg_poller;
    steps.dispatcher = &dispatcher;
    steps.once = new TimeNotifier(reactor, steps);
    steps.repeating = new TimeNotifier(reactor, steps);
    dispatcher.setNotifier(SIGINT, &steps);
    dispatcher.setNotifier(SIGHUP, &steps);
    Deadline deadline;
    reactor.schedule_timer(&deadline, nullptr, ACE_Time_Value(20));

    puts("  started: a signal dispatcher (its own thread), a reactor in this thread with a file\n"
         "  poller and a registry poller every 50 ms; a helper process acts, this one is told");
    fflush(stdout);
    dispatcher.start();
    file_poller.start();
    reg_poller.start();
    say(pipe_fds[1], "touch");
    reactor.owner(ACE_Thread::self());
    reactor.run_reactor_event_loop();

    reactor.cancel_timer(&deadline);
    file_poller.stop();
    reg_poller.stop();
    steps.once->close();
    steps.repeating->close();
    dispatcher.stop(true);
    close(pipe_fds[1]);
    int status = 0;
    waitpid(child, &status, 0);
    close_all();
    std::filesystem::remove_all(root);
    if (!steps.finished)
        return 1;
    puts("  stopped: the dispatch thread joined, the timers closed, the root removed");
    return 0;
}

int ps(int argc, char **argv) {
    if (argc < 2 || argc > 3)
        return bad_args("events", "ps", "NAME and at most one DIRECTORY");
    // The default directory is the process handler's: the path label BP_BIN.
    std::string dir = argc == 3 ? argv[2] : getFennicString("BP_BIN");
    for (pid_t id : ProcessHandler::listProcesses(argv[1], dir))
        printf("%d\n", static_cast<int>(id));
    return 0;
}

} // namespace

int cmd_events(int argc, char **argv) {
    if (argc < 1)
        return usage(kUsage);
    if (strcmp(argv[0], "demo") == 0)
        return argc == 1 ? demo() : bad_args("events", "demo", "takes no arguments");
    if (strcmp(argv[0], "ps") == 0)
        return ps(argc, argv);
    return bad_args("events", nullptr, (std::string("unknown subcommand '") + argv[0] + "'").c_str());
}

} // namespace zt
