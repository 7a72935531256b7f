// FilePoller and RegPoller: repeating reactor timers that compare a
// modification time with the one seen last. The remembered times and the error
// flag belong to the reactor's thread; the timer id and interval to whoever
// holds the lock given at construction.
#include <ztbase/debuglog.h>
#include <ztbase/events.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "platform/registry/registry.h"

namespace {

// Takes the caller's lock for a scope; ok() false (logged) when it could not.
class LockScope {
  public:
    LockScope(ACE_Lock &lock, const char *tag) : lock_(lock), ok_(lock.acquire() != -1) {
        if (!ok_)
            logmsgf(ZTLOG_ERROR, tag, "lock failed");
    }
    ~LockScope() {
        if (ok_)
            lock_.release();
    }
    bool ok() const { return ok_; }

  private:
    ACE_Lock &lock_;
    bool ok_;
};

long schedule_repeating(ACE_Reactor &reactor, ACE_Event_Handler *handler,
                        const ACE_Time_Value &interval, const char *tag) {
    long id = reactor.schedule_timer(handler, nullptr, interval, interval);
    if (id == -1)
        logmsgf(ZTLOG_ERROR, tag, "the reactor refused the timer: %s", strerror(errno));
    return id;
}

// Cancels a poller's timer; the poller's lock is held.
void stop_timer(ACE_Reactor &reactor, long &timer_id) {
    if (timer_id != -1)
        reactor.cancel_timer(timer_id, nullptr, 1);
    timer_id = -1;
}

// Takes a new interval and, when the poller runs, puts its timer on it; the
// poller's lock is held.
int change_interval(ACE_Reactor &reactor, ACE_Event_Handler *handler, long &timer_id,
                    ACE_Time_Value &interval, const ACE_Time_Value &wanted, const char *tag) {
    interval = wanted;
    logmsgvf(ZTLOG_DEBUG, 1, tag, "new interval set for polling: %ld",
             static_cast<long>(wanted.msec()));
    if (timer_id == -1)
        return 0;
    reactor.cancel_timer(timer_id, nullptr, 1);
    timer_id = schedule_repeating(reactor, handler, interval, tag);
    return timer_id == -1 ? -1 : 0;
}

void enable_reference_counting(ACE_Event_Handler &handler) {
    handler.reference_counting_policy().value(
        ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
}

} // namespace

// ---- FilePoller ----

FilePoller::FilePoller(ACE_Reactor &reactor, ACE_Lock &lock, Notifier &notifier,
                       const std::string &file, int64_t initialTime, const ACE_Time_Value &interval)
    : FilePoller(reactor, lock, notifier, file, std::string(), initialTime, interval) {}

FilePoller::FilePoller(ACE_Reactor &reactor, ACE_Lock &lock, Notifier &notifier,
                       int64_t initialTime, const std::string &file, const std::string &altFile,
                       const ACE_Time_Value &interval)
    : FilePoller(reactor, lock, notifier, file, altFile, initialTime, interval) {}

FilePoller::FilePoller(ACE_Reactor &reactor, ACE_Lock &lock, Notifier &notifier,
                       const std::string &file, const std::string &altFile, int64_t initialTime,
                       const ACE_Time_Value &interval)
    : ACE_Event_Handler(&reactor), reactor_(reactor), lock_(lock), notifier_(notifier), file_(file),
      altFile_(altFile), lastTime_(initialTime), altLastTime_(initialTime), interval_(interval) {
    enable_reference_counting(*this);
}

FilePoller::FilePoller(const FilePoller &other)
    : ACE_Event_Handler(&other.reactor_), NotifySource(other), reactor_(other.reactor_),
      lock_(other.lock_), notifier_(other.notifier_), file_(other.file_), altFile_(other.altFile_),
      lastTime_(other.lastTime_), altLastTime_(other.altLastTime_), interval_(other.interval_),
      error_(other.error_.load()) {
    enable_reference_counting(*this);
}

FilePoller::~FilePoller() { stop(); }

int FilePoller::start() {
    static const char tag[] = "FilePoller::start";
    LockScope lock(lock_, tag);
    if (!lock.ok())
        return -1;
    if (timerId_ != -1)
        return 0;
    timerId_ = schedule_repeating(reactor_, this, interval_, tag);
    logmsgvf(ZTLOG_DEBUG, 1, tag,
             "registered with reactor: file name = %s altfileName = %s interval = %ld timerid = "
             "%ld reactor = %p",
             file_.c_str(), altFile_.c_str(), static_cast<long>(interval_.msec()), timerId_,
             static_cast<void *>(&reactor_));
    return timerId_ == -1 ? -1 : 0;
}

int FilePoller::stop() {
    LockScope lock(lock_, "FilePoller::stop");
    if (!lock.ok())
        return -1;
    stop_timer(reactor_, timerId_);
    return 0;
}

int FilePoller::setInterval(const ACE_Time_Value &interval) {
    static const char tag[] = "FilePoller::setInterval";
    LockScope lock(lock_, tag);
    if (!lock.ok())
        return -1;
    return change_interval(reactor_, this, timerId_, interval_, interval, tag);
}

ACE_Time_Value FilePoller::getInterval() {
    LockScope lock(lock_, "FilePoller::getInterval");
    return interval_;
}

int64_t FilePoller::modificationTime(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// 1 when the file's time changed (and the notifier was told), else 0. stat
// never opens the file, so a FIFO at the name cannot block the reactor.
int FilePoller::check_one(const std::string &path, int64_t &last, bool alternate, bool &error) {
    struct stat st;
    int retV = stat(path.c_str(), &st) == 0 ? 0 : errno;
    int notifySent = 0;
    if (retV == 0 && !S_ISREG(st.st_mode)) {
        retV = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        error = true;
    } else if (retV != 0) {
        if (!alternate || retV != ENOENT)
            error = true;
    } else {
        int64_t now = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        if (now != last) {
            last = now;
            notifier_.notify(this, 0);
            notifySent = 1;
        }
    }
    logmsgvf(ZTLOG_DEBUG, 3, "FilePoller::checkFile", "checkFile %s=%s notifySent=%d retV=%d",
             alternate ? "altfile" : "file", path.c_str(), notifySent, retV);
    return notifySent;
}

int FilePoller::checkFiles() {
    bool error = false;
    int sent = check_one(file_, lastTime_, false, error);
    if (!altFile_.empty())
        sent += check_one(altFile_, altLastTime_, true, error);
    error_.store(error);
    return sent;
}

int FilePoller::handle_timeout(const ACE_Time_Value &, const void *) {
    checkFiles();
    return 0;
}

// ---- RegPoller ----

RegPoller::RegPoller(ACE_Reactor &reactor, ACE_Lock &lock, Notifier &notifier,
                     const std::string &keyPath, int64_t initialTime, const ACE_Time_Value &interval)
    : ACE_Event_Handler(&reactor), reactor_(reactor), lock_(lock), notifier_(notifier),
      keyPath_(keyPath), lastTime_(initialTime), interval_(interval) {
    enable_reference_counting(*this);
}

RegPoller::RegPoller(const RegPoller &other)
    : ACE_Event_Handler(&other.reactor_), NotifySource(other), reactor_(other.reactor_),
      lock_(other.lock_), notifier_(other.notifier_), keyPath_(other.keyPath_),
      lastTime_(other.lastTime_), interval_(other.interval_), error_(other.error_.load()) {
    enable_reference_counting(*this);
}

RegPoller::~RegPoller() { stop(); }

int RegPoller::start() {
    static const char tag[] = "RegPoller::start";
    LockScope lock(lock_, tag);
    if (!lock.ok())
        return -1;
    if (timerId_ != -1)
        return 0;
    timerId_ = schedule_repeating(reactor_, this, interval_, tag);
    logmsgvf(ZTLOG_DEBUG, 1, tag,
             "registered with reactor: entry = %s interval = %ld timerid = %ld reactor = %p",
             keyPath_.c_str(), static_cast<long>(interval_.msec()), timerId_,
             static_cast<void *>(&reactor_));
    return timerId_ == -1 ? -1 : 0;
}

int RegPoller::stop() {
    LockScope lock(lock_, "RegPoller::stop");
    if (!lock.ok())
        return -1;
    stop_timer(reactor_, timerId_);
    return 0;
}

int RegPoller::setInterval(const ACE_Time_Value &interval) {
    static const char tag[] = "RegPoller::setInterval";
    LockScope lock(lock_, tag);
    if (!lock.ok())
        return -1;
    return change_interval(reactor_, this, timerId_, interval_, interval, tag);
}

ACE_Time_Value RegPoller::getInterval() {
    LockScope lock(lock_, "RegPoller::getInterval");
    return interval_;
}

bool RegPoller::checkEntry() {
    static const char tag[] = "RegPoller::checkEntry";
    using namespace ztbase::registry;
    Key key;
    Status st = Key::open(Root::LocalMachine, keyPath_, key);
    int64_t written = 0;
    if (st == Status::Ok)
        st = key.last_write(written);
    if (st != Status::Ok) {
        if (!error_.exchange(true)) // once per failure, not at every interval
            logmsgf(ZTLOG_ERROR, tag, "unable to open registry key %s: %s", keyPath_.c_str(),
                    status_text(st));
        return false;
    }
    error_.store(false);
    logmsgvf(ZTLOG_DEBUG, 3, tag, "modtime for %s is %lld at last check it was %lld",
             keyPath_.c_str(), static_cast<long long>(written), static_cast<long long>(lastTime_));
    if (written <= lastTime_)
        return false;
    lastTime_ = written;
    logmsgvf(ZTLOG_DEBUG, 1, tag, "entry has changed, notifying %p", static_cast<void *>(&notifier_));
    notifier_.notify(this, 0);
    return true;
}

int RegPoller::handle_timeout(const ACE_Time_Value &, const void *) {
    checkEntry();
    return 0;
}
