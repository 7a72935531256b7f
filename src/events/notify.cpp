// The notification pattern: sources, the status-carrying source, and the
// waiter's notifier.
#include <ztbase/events.h>

NotifySource::~NotifySource() = default;
NotifyStatus::~NotifyStatus() = default;
Notifier::~Notifier() = default;

Notifier::Notifier(const Notifier &other)
    : notified_(other.notified_.load()), source_(other.source_.load()), code_(other.code_.load()) {}

Notifier &Notifier::operator=(const Notifier &other) {
    source_.store(other.source_.load());
    code_.store(other.code_.load());
    notified_.store(other.notified_.load(), std::memory_order_release);
    return *this;
}

void Notifier::notify(NotifySource *source, int code) {
    source_.store(source, std::memory_order_relaxed);
    code_.store(code, std::memory_order_relaxed);
    // Published last: a waiter that sees notified sees the source and code too.
    notified_.store(true, std::memory_order_release);
}

bool Notifier::getNotified(NotifySource *&source) {
    bool notified = notified_.load(std::memory_order_acquire);
    source = source_.load(std::memory_order_relaxed);
    return notified;
}

bool Notifier::getNotified() { return notified_.load(std::memory_order_acquire); }

NotifySource *Notifier::getDataPtr() {
    (void)notified_.load(std::memory_order_acquire);
    return source_.load(std::memory_order_relaxed);
}

int Notifier::resetNotifier() {
    notified_.store(false, std::memory_order_relaxed);
    source_.store(nullptr, std::memory_order_relaxed);
    code_.store(0, std::memory_order_release);
    return 0;
}
