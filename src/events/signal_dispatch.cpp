// AsyncSignalDispatcher: the process's asynchronous signals, blocked in every
// thread from initMain on, are read by one dispatch thread from a signalfd; an
// eventfd next to it is the stop wake-up. The table and flags are guarded by
// the mutex; a notifier is called outside it.
#include <ztbase/debuglog.h>
#include <ztbase/events.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr int kStandardSignals[] = {SIGHUP, SIGINT, SIGTERM};
constexpr int kOtherSignals[] = {SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE};
constexpr size_t kStackSize = 1024 * 1024;

// The threads of this process, counted from /proc (0 when it cannot be read).
int thread_count() {
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return 0;
    int n = 0;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n;
}

const char *signal_label(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    case SIGTERM: return "SIGTERM";
    default: return nullptr;
    }
}

} // namespace

AsyncSignalDispatcher::AsyncSignalDispatcher(ACE_Thread_Manager *manager)
    : asyncSignals_(std::begin(kStandardSignals), std::end(kStandardSignals)), manager_(manager) {}

AsyncSignalDispatcher::~AsyncSignalDispatcher() { stop(true); }

bool AsyncSignalDispatcher::has_signal(int signal) const {
    for (int s : asyncSignals_)
        if (s == signal)
            return true;
    return false;
}

void AsyncSignalDispatcher::build_set(sigset_t &set) const {
    sigemptyset(&set);
    for (int s : asyncSignals_)
        sigaddset(&set, s);
}

void AsyncSignalDispatcher::initMain() { initMain(true, false); }
void AsyncSignalDispatcher::initMain(bool standardOnly) { initMain(standardOnly, false); }

void AsyncSignalDispatcher::initMain(bool standardOnly, bool handleWindowsEvents) {
    static const char tag[] = "AsyncSignalDispatcher::initMain";
    sigset_t set;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handleWindowsEvents_ = handleWindowsEvents;
        asyncSignals_.assign(std::begin(kStandardSignals), std::end(kStandardSignals));
        if (!standardOnly)
            asyncSignals_.insert(asyncSignals_.end(), std::begin(kOtherSignals),
                                 std::end(kOtherSignals));
        build_set(set);
        for (int s : asyncSignals_) {
            struct sigaction action {};
            action.sa_handler = SIG_DFL;
            sigemptyset(&action.sa_mask);
            sigaction(s, &action, nullptr);
        }
    }
    int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0)
        logmsgf(ZTLOG_ERROR, tag, "blocking the asynchronous signals failed: %s", strerror(rc));
    int threads = thread_count();
    if (threads > 1)
        logmsgf(ZTLOG_WARNING, tag,
                "%d threads run already: those started before this call keep the signals unblocked",
                threads);
    logmsgvf(ZTLOG_DEBUG, 1, tag, "handleWinEventsFlag=%d standard signals only=%d",
             handleWindowsEvents ? 1 : 0, standardOnly ? 1 : 0);
}

Notifier *AsyncSignalDispatcher::setNotifier(int signal, Notifier *notifier) {
    static const char tag[] = "AsyncSignalDispatcher::setNotifier";
    std::lock_guard<std::mutex> lock(mutex_);
    if (signal <= 0 || signal >= kTableSize || !has_signal(signal)) {
        logmsgf(ZTLOG_WARNING, tag, "signal %d is not an asynchronous signal; notifier not set",
                signal);
        return nullptr;
    }
    if (signal == SIGINT || signal == SIGTERM) {
        logmsgvf(ZTLOG_DEBUG, 1, tag, "setup for sigint");
        logmsgvf(ZTLOG_DEBUG, 1, tag, "add terminateevent");
    } else if (signal == SIGHUP) {
        logmsgvf(ZTLOG_DEBUG, 1, tag, "setup for sighup");
        logmsgvf(ZTLOG_DEBUG, 1, tag, "add suspendevent");
    }
    if (handleWindowsEvents_)
        logmsgvf(ZTLOG_DEBUG, 1, tag, "setup window terminate and suspend events");
    logmsgvf(ZTLOG_DEBUG, 1, tag, "done setup events");
    Notifier *previous = table_[signal];
    table_[signal] = notifier;
    return previous;
}

void *AsyncSignalDispatcher::thread_main(void *self) {
    static_cast<AsyncSignalDispatcher *>(self)->run();
    logmsgvf(ZTLOG_DEBUG, 1, "AsyncSignalDispatcher::RunFunc", "RuncFunc thread is exiting");
    return nullptr;
}

void AsyncSignalDispatcher::start() {
    static const char tag[] = "AsyncSignalDispatcher::start";
    std::unique_lock<std::mutex> lock(mutex_);
    if (started_)
        return;
    sigset_t set;
    build_set(set);
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signalFd_ < 0 || stopFd_ < 0) {
        int e = errno;
        logmsgf(ZTLOG_ERROR, tag, "signalfd/eventfd failed: %s", strerror(e));
        shutdown();
        throw std::runtime_error("signal dispatch thread failed");
    }
    stopRequested_ = false;
    running_ = false;
    // The thread is made with every asynchronous signal blocked, whatever the
    // caller's mask, so that it never takes one through a handler.
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    bool ok;
    if (manager_) {
        ok = manager_->spawn(thread_main, this, THR_NEW_LWP | THR_JOINABLE, &threadId_,
                             &threadHandle_, ACE_DEFAULT_THREAD_PRIORITY, -1, nullptr,
                             kStackSize) != -1;
    } else {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kStackSize);
        ok = pthread_create(&thread_, &attr, thread_main, this) == 0;
        pthread_attr_destroy(&attr);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!ok) {
        logmsgf(ZTLOG_ERROR, tag, "thread spawn failed: %s", strerror(errno));
        shutdown();
        throw std::runtime_error("thread spawn failed");
    }
    started_ = true;
    logmsgvf(ZTLOG_DEBUG, 1, tag, "waiting for other sigwait thread to say its up");
    cond_.wait(lock, [this] { return running_; });
}

void AsyncSignalDispatcher::stop(bool wait) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_)
            return;
        stopRequested_ = true;
        if (stopFd_ >= 0) {
            uint64_t one = 1;
            ssize_t n = write(stopFd_, &one, sizeof one);
            (void)n;
        }
    }
    if (wait)
        waitForStop();
}

void AsyncSignalDispatcher::waitForStop() {
    static const char tag[] = "AsyncSignalDispatcher::waitForStop";
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_)
        return;
    if (!stopRequested_) {
        logmsgvf(ZTLOG_DEBUG, 1, tag, "AsyncSignalDispatcher needs stop in waitForStop()");
        stopRequested_ = true;
    }
    uint64_t one = 1;
    if (stopFd_ >= 0 && write(stopFd_, &one, sizeof one) < 0 && errno != EAGAIN)
        logmsgf(ZTLOG_ERROR, tag, "waking the dispatch thread failed: %s", strerror(errno));
    bool from_self = manager_ ? ACE_OS::thr_equal(ACE_Thread::self(), threadId_)
                              : pthread_equal(pthread_self(), thread_);
    if (from_self) // a notifier: the loop ends when it returns
        return;
    if (joining_) {
        cond_.wait(lock, [this] { return !started_; });
        return;
    }
    joining_ = true;
    lock.unlock();
    if (manager_)
        manager_->join(threadId_);
    else
        pthread_join(thread_, nullptr);
    lock.lock();
    joining_ = false;
    started_ = false;
    cond_.notify_all();
    logmsgvf(ZTLOG_DEBUG, 1, tag, "done waitForStop");
}

bool AsyncSignalDispatcher::dispatch(int signal) {
    static const char tag[] = "AsyncSignalDispatcher::dispatch";
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopRequested_) {
        logmsgvf(ZTLOG_DEBUG, 1, tag, "we were told to stop");
        return true;
    }
    Notifier *notifier = signal > 0 && signal < kTableSize ? table_[signal] : nullptr;
    int code = signal;
    if (signal == SIGTERM && !notifier) {
        notifier = table_[SIGINT];
        code = SIGINT;
    }
    logmsgvf(ZTLOG_DEBUG, 1, tag, "dispatching for signal : %d to %p", code,
             static_cast<void *>(notifier));
    lock.unlock();
    if (notifier)
        notifier->notify(this, code);
    return false;
}

void AsyncSignalDispatcher::run() {
    static const char tag[] = "AsyncSignalDispatcher::run";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
    }
    cond_.notify_all();
    bool done = false;
    while (!done) {
        logmsgvf(ZTLOG_DEBUG, 3, tag, "check for events handleWinEventsFlag=%d",
                 handleWindowsEvents_ ? 1 : 0);
        logmsgvf(ZTLOG_DEBUG, 3, tag, "m_numWaitHandles=%d", 2);
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
        int rc = poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR)
            continue;
        logmsgvf(ZTLOG_DEBUG, 3, tag, "WaitForMultipleObjects returns=%d", rc);
        if (rc < 0) {
            logmsgf(ZTLOG_ERROR, tag, "WaitForMultipleObjects failed, resultCode=%d", errno);
            break;
        }
        if (fds[0].revents) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopRequested_) {
                logmsgvf(ZTLOG_DEBUG, 1, tag, "we were told to stop");
                break;
            }
        }
        if (!fds[1].revents)
            continue;
        signalfd_siginfo info[8];
        ssize_t n = read(signalFd_, info, sizeof info);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            logmsgf(ZTLOG_ERROR, tag, "WaitForMultipleObjects failed, resultCode=%d", errno);
            break;
        }
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof info[0] && !done; ++i) {
            int signal = static_cast<int>(info[i].ssi_signo);
            const char *label = signal_label(signal == SIGTERM ? SIGINT : signal);
            if (label)
                logmsgvf(ZTLOG_DEBUG, 1, tag, "dispatch send %s", label);
            done = dispatch(signal);
            logmsgvf(ZTLOG_DEBUG, 1, tag, "dispatchResult=%d", done ? 1 : 0);
        }
    }
    logmsgvf(ZTLOG_DEBUG, 1, tag, "call shutdown");
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown();
    running_ = false;
}

// Closes the descriptors and clears the table; the caller holds the mutex.
void AsyncSignalDispatcher::shutdown() {
    if (signalFd_ >= 0)
        close(signalFd_);
    if (stopFd_ >= 0)
        close(stopFd_);
    signalFd_ = stopFd_ = -1;
    for (auto &slot : table_)
        slot = nullptr;
}

int AsyncSignalDispatcher::sendSelfSignal(int signal) {
    static const char tag[] = "AsyncSignalDispatcher::sendSelfSignal";
    bool allowed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        allowed = selfSignalAllowed_;
    }
    logmsgvf(ZTLOG_DEBUG, 1, tag, "sending self: %d", signal);
    if (!allowed) {
        errno = ENOTSUP;
        return -1;
    }
    return kill(getpid(), signal) == 0 ? 0 : -1;
}

void AsyncSignalDispatcher::setSelfSignalAllowed(bool allowed) {
    std::lock_guard<std::mutex> lock(mutex_);
    selfSignalAllowed_ = allowed;
}

bool AsyncSignalDispatcher::isAsync(int signal) {
    std::lock_guard<std::mutex> lock(mutex_);
    return has_signal(signal);
}

bool AsyncSignalDispatcher::isRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

int AsyncSignalDispatcher::getPID() { return static_cast<int>(getpid()); }
