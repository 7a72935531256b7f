// IOU, RequestIOU and Request. The IOU decides under its mutex whether this
// call is the one that completes both conditions (result complete, owner
// ready), so that two threads racing never notify twice or not at all; the
// notifier itself is called outside the mutex.
#include <ztbase/events.h>

IOU::IOU(Notifier *notifier, bool readyForResponse)
    : notifier_(notifier), readyForResponse_(readyForResponse), initialReady_(readyForResponse) {}

IOU::IOU(const IOU &other) : NotifySource(other) {
    std::lock_guard<std::mutex> lock(other.mutex_);
    complete_ = other.complete_;
    errorCode_ = other.errorCode_;
    notifier_ = other.notifier_;
    readyForResponse_ = other.readyForResponse_;
    initialReady_ = other.initialReady_;
    delivered_ = other.delivered_;
}

IOU &IOU::operator=(const IOU &other) {
    if (this == &other)
        return *this;
    std::scoped_lock lock(mutex_, other.mutex_);
    complete_ = other.complete_;
    errorCode_ = other.errorCode_;
    notifier_ = other.notifier_;
    readyForResponse_ = other.readyForResponse_;
    initialReady_ = other.initialReady_;
    delivered_ = other.delivered_;
    return *this;
}

IOU::~IOU() = default;

bool IOU::isComplete() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return complete_;
}

int IOU::getErrorCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorCode_;
}

Notifier *IOU::getNotifier() const { return notifier_; }

bool IOU::isReadyForResponse() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readyForResponse_;
}

bool IOU::isNotifying() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notifying_;
}

void IOU::resultReady(int code) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        complete_ = true;
        errorCode_ = code;
        if (!readyForResponse_ || delivered_)
            return;
        delivered_ = notifying_ = true;
    }
    deliver();
}

void IOU::setReadyForResponse(bool ready) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        readyForResponse_ = ready;
        if (!ready || !complete_ || delivered_)
            return;
        delivered_ = notifying_ = true;
    }
    deliver();
}

void IOU::deliver() {
    if (notifier_)
        notifier_->notify(this, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    notifying_ = false;
}

void IOU::doReset() {
    std::lock_guard<std::mutex> lock(mutex_);
    complete_ = false;
    errorCode_ = 0;
    notifying_ = false;
    delivered_ = false;
    readyForResponse_ = initialReady_;
}

RequestIOU::RequestIOU(Notifier *notifier, bool readyForResponse, Request *request)
    : IOU(notifier, readyForResponse), request_(request) {}

RequestIOU::~RequestIOU() = default;

Request::Request(IOU *iou) : iou_(iou), ownsIou_(iou == nullptr) {
    if (!iou_)
        iou_ = new RequestIOU(nullptr, true, this);
}

Request::Request(const Request &other)
    : iou_(other.iou_), ownsIou_(other.ownsIou_), isRunning_(other.isRunning_.load()) {
    if (ownsIou_) {
        auto *copy = new RequestIOU(nullptr, true, this);
        static_cast<IOU &>(*copy) = *other.iou_;
        iou_ = copy;
    }
}

Request &Request::operator=(const Request &other) {
    if (this == &other)
        return *this;
    IOU *fresh = other.iou_;
    if (other.ownsIou_) {
        auto *copy = new RequestIOU(nullptr, true, this);
        static_cast<IOU &>(*copy) = *other.iou_;
        fresh = copy;
    }
    if (ownsIou_)
        delete iou_;
    iou_ = fresh;
    ownsIou_ = other.ownsIou_;
    isRunning_.store(other.isRunning_.load());
    return *this;
}

Request::~Request() {
    if (ownsIou_)
        delete iou_;
}

void Request::start() {
    setIsRunning(true);
    doStart();
}

void Request::stop() {
    setIsRunning(false);
    doStop();
}

void Request::doStart() {}
void Request::doStop() {}
