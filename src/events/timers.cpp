// TimeNotifier and PeriodicLogTimer: reactor timers. A TimeNotifier counts its
// references (its owner's and the reactor's while a timer is scheduled) and
// deletes itself with the last.
#include <ztbase/debuglog.h>
#include <ztbase/events.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

TimeNotifier::TimeNotifier(ACE_Reactor &reactor, Notifier &notifier, Notifier *second)
    : ACE_Event_Handler(&reactor), reactor_(reactor), notifier_(notifier), second_(second) {
    reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
}

TimeNotifier::~TimeNotifier() = default;

long TimeNotifier::schedule(const ACE_Time_Value &delay, const ACE_Time_Value &interval,
                            const void *act) {
    static const char tag[] = "TimeNotifier::schedule";
    cancel();
    oneShot_.store(interval == ACE_Time_Value::zero);
    long id = reactor_.schedule_timer(this, act, delay, interval);
    if (id == -1) {
        int e = errno;
        logmsgf(ZTLOG_ERROR, tag, "schedule_timer failed: %s", strerror(e));
        throw std::runtime_error("schedule_timer");
    }
    timerId_.store(id);
    return id;
}

int TimeNotifier::cancel() {
    long id = timerId_.exchange(-1);
    if (id == -1)
        return 0;
    if (reactor_.cancel_timer(id, nullptr, 1) == -1) {
        // Already expired (a one-shot timer between its expiry and its upcall).
        logmsgvf(ZTLOG_DEBUG, 1, "TimeNotifier::cancel", "cancel_timer found no timer %ld", id);
    }
    return 0;
}

void TimeNotifier::close() {
    if (closed_.exchange(true))
        return;
    cancel();
    remove_reference(); // the owner's
}

int TimeNotifier::handle_timeout(const ACE_Time_Value &, const void *) {
    if (oneShot_.load())
        timerId_.store(-1);
    notifier_.notify(this, 0);
    if (second_)
        second_->notify(this, 0);
    return 0;
}

ACE_Event_Handler::Reference_Count TimeNotifier::add_reference() {
    return ACE_Event_Handler::add_reference();
}

ACE_Event_Handler::Reference_Count TimeNotifier::remove_reference() {
    return ACE_Event_Handler::remove_reference();
}

PeriodicLogTimer::PeriodicLogTimer(ACE_Reactor &reactor, ACE_Lock &lock,
                                   const ACE_Time_Value &interval)
    : ACE_Event_Handler(&reactor), reactor_(reactor), lock_(lock), interval_(interval) {
    reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
}

PeriodicLogTimer::~PeriodicLogTimer() { stop(); }

int PeriodicLogTimer::start() {
    static const char tag[] = "PeriodicLogTimer::start";
    if (lock_.acquire() == -1) {
        logmsgf(ZTLOG_ERROR, tag, "lock failed");
        return -1;
    }
    if (timerId_ == -1)
        timerId_ = reactor_.schedule_timer(this, nullptr, interval_, interval_);
    long id = timerId_;
    lock_.release();
    if (id == -1) {
        logmsgf(ZTLOG_ERROR, tag, "not able to schedule timer for PeriodicLogTimer");
        return -1;
    }
    return 0;
}

int PeriodicLogTimer::stop() {
    if (lock_.acquire() == -1) {
        logmsgf(ZTLOG_ERROR, "PeriodicLogTimer::stop", "lock failed");
        return -1;
    }
    if (timerId_ != -1)
        reactor_.cancel_timer(timerId_, nullptr, 1);
    timerId_ = -1;
    lock_.release();
    return 0;
}

// Until the unified logger bridge can take it, the message goes to the debug log.
int PeriodicLogTimer::handle_timeout(const ACE_Time_Value &, const void *) {
    logmsg(ZTLOG_INFO, "periodic log message", "PeriodicLogTimer::handle_timeout");
    return 0;
}
