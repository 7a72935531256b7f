// SignalHandler: the process's terminate requests (SIGINT, SIGTERM) read from
// a signalfd that the reactor watches as a descriptor, so that handle_signal
// runs in the reactor's thread like any other event.
#include <ztbase/debuglog.h>
#include <ztbase/events.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

void terminate_set(sigset_t &set) {
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
}

} // namespace

SignalHandler::SignalHandler(ACE_Reactor &reactor, Notifier *notifier)
    : ACE_Event_Handler(&reactor), reactor_(reactor), notifier_(notifier) {
    openTerminateEvent();
}

SignalHandler::~SignalHandler() {
    unregisterHandler();
    if (terminateEvent_ >= 0)
        close(terminateEvent_);
}

void SignalHandler::openTerminateEvent() {
    static const char tag[] = "SignalHandler::openTerminateEvent";
    char name[128];
    snprintf(name, sizeof name, "Global\\Zentor Terminate Event, pid: %d", static_cast<int>(getpid()));
    sigset_t set;
    terminate_set(set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    terminateEvent_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (terminateEvent_ < 0) {
        int e = errno;
        logmsgf(ZTLOG_ERROR, tag, "unable to open termination event %s, error=%s(%d)", name,
                strerror(e), e);
        logmsgf(ZTLOG_ERROR, tag, "unable to open terminate event");
        return;
    }
    logmsgvf(ZTLOG_DEBUG, 1, tag, "created termination event %s", name);
}

int SignalHandler::registerHandler() {
    if (terminateEvent_ < 0)
        return -1;
    if (registered_)
        return 0;
    if (reactor_.register_handler(terminateEvent_, this, ACE_Event_Handler::READ_MASK) == -1) {
        logmsgf(ZTLOG_ERROR, "SignalHandler::registerHandler", "the reactor refused the handler: %s",
                strerror(errno));
        return -1;
    }
    registered_ = true;
    return 0;
}

int SignalHandler::unregisterHandler() {
    if (!registered_)
        return terminateEvent_ < 0 ? -1 : 0;
    registered_ = false;
    return reactor_.remove_handler(terminateEvent_,
                                   ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
}

int SignalHandler::handle_input(ACE_HANDLE) {
    signalfd_siginfo raw[4];
    for (;;) {
        ssize_t n = read(terminateEvent_, raw, sizeof raw);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0; // nothing more pending; the registration stays
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof raw[0]; ++i) {
            siginfo_t info;
            memset(&info, 0, sizeof info);
            info.si_signo = static_cast<int>(raw[i].ssi_signo);
            info.si_code = raw[i].ssi_code;
            info.si_pid = static_cast<pid_t>(raw[i].ssi_pid);
            info.si_uid = static_cast<uid_t>(raw[i].ssi_uid);
            handle_signal(info.si_signo, &info, nullptr);
        }
    }
}

int SignalHandler::handle_signal(int signum, siginfo_t *, ucontext_t *) {
    if (notifier_)
        notifier_->notify(this, signum);
    return 0;
}
