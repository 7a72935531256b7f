// The event utilities: notifications, the process's signal dispatcher, file
// and registry pollers and timers on an ACE reactor, requests with their IOUs,
// the process handler and the external resolver. C++ only; the data buffer and
// wire forms are in ztbase/databuffer.h.
//
// The pattern: an event source derives from NotifySource, a waiter owns a
// Notifier, and the source calls Notifier::notify(source, code).
//
// Signals. Another process stops this one with SIGINT or SIGTERM and suspends
// it with SIGHUP. AsyncSignalDispatcher::initMain blocks those signals in the
// main thread before any other thread starts, so that every later thread
// inherits the mask and no signal handler ever runs; the dispatcher's thread
// reads them from a signalfd and calls the notifiers in that thread. Children
// inherit a blocked mask across exec: a program that starts other programs
// unblocks the signals in the child (posix_spawnattr_setsigmask).
#pragma once

#ifndef __cplusplus
#error "ztbase/events.h is a C++ header: include it from C++ only"
#endif

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include <ace/Event_Handler.h>
#include <ace/INET_Addr.h>
#include <ace/Lock.h>
#include <ace/Reactor.h>
#include <ace/Thread_Manager.h>
#include <ace/Time_Value.h>

#include <ztbase/databuffer.h>
#include <ztbase/export.h>

// ---- notifications ----

class ZTBASE_API NotifySource {
  public:
    NotifySource() = default;
    NotifySource(const NotifySource &) = default;
    NotifySource &operator=(const NotifySource &) = default;
    virtual ~NotifySource();
};

// A source carrying a status message.
class ZTBASE_API NotifyStatus : public NotifySource {
  public:
    NotifyStatus() = default;
    NotifyStatus(const NotifyStatus &) = default;
    NotifyStatus &operator=(const NotifyStatus &) = default;
    ~NotifyStatus() override;
    virtual const std::string &getMsg() const { return msg_; }
    virtual void setStatus(const std::string &text) { msg_ = text; }

  private:
    std::string msg_;
};

// What a waiter owns. notify is called by the source's thread while the waiter
// may poll getNotified() from another: the fields are atomic, and a waiter that
// sees notified true also sees the source and code stored with it. A notifier
// goes from clear to notified and back to clear only through resetNotifier.
class ZTBASE_API Notifier {
  public:
    virtual ~Notifier();
    virtual void notify(NotifySource *source, int code);
    // Whether notified; the source (null when not notified) through `source`.
    virtual bool getNotified(NotifySource *&source);
    virtual bool getNotified();
    virtual NotifySource *getDataPtr();
    // Clears all three fields; returns 0.
    virtual int resetNotifier();
    // The code of the last notification (0 when clear).
    int getCode() const { return code_.load(std::memory_order_acquire); }

  protected:
    Notifier() = default;
    Notifier(const Notifier &other);
    Notifier &operator=(const Notifier &other);

  private:
    std::atomic<bool> notified_{false};
    std::atomic<NotifySource *> source_{nullptr};
    std::atomic<int> code_{0};
};

// ---- the signal dispatcher ----

// One per process. Lifecycle: construct, initMain in the main thread before
// other threads start, setNotifier for each signal of interest, start, then
// stop/waitForStop. Notifiers run in the dispatch thread, one at a time, and
// must outlive the dispatcher's use of them; the dispatcher never deletes one.
//
// Signals that arrive before start stay pending and are dispatched when the
// thread starts; signals that arrive after stop stay pending (blocked) and are
// never acted on. SIGTERM goes to its own notifier when one is set, else it is
// a terminate request like SIGINT and reaches the SIGINT notifier with code 2.
//
// The handle-Windows-events switch has no effect here: other processes stop
// and suspend this one with the signals themselves, which the dispatcher always
// reads; it is recorded and logged only.
class ZTBASE_API AsyncSignalDispatcher : public NotifySource {
  public:
    static constexpr int kTableSize = 24; // signal numbers 0..23

    // manager: spawns and joins the dispatch thread when given, else the
    // dispatcher makes a thread of its own (1 MiB stack).
    explicit AsyncSignalDispatcher(ACE_Thread_Manager *manager = nullptr);
    // Stops and joins a running dispatch thread.
    ~AsyncSignalDispatcher() override;
    AsyncSignalDispatcher(const AsyncSignalDispatcher &) = delete;
    AsyncSignalDispatcher &operator=(const AsyncSignalDispatcher &) = delete;

    // The asynchronous signals are SIGHUP, SIGINT and SIGTERM; with
    // standardOnly false also SIGQUIT, SIGUSR1, SIGUSR2 and SIGPIPE, which are
    // then ignored unless a notifier is set for them. Each is set to its
    // default action (a signal the parent ignored would otherwise be discarded
    // before it could be read) and blocked in the calling thread. Logs a
    // warning when the process already has other threads, which keep their mask.
    void initMain();
    void initMain(bool standardOnly);
    void initMain(bool standardOnly, bool handleWindowsEvents);

    // Registers a notifier (null removes it) and returns the previous one. A
    // signal outside the table or not asynchronous is refused: nothing is
    // stored and null comes back.
    Notifier *setNotifier(int signal, Notifier *notifier);

    // Spawns the dispatch thread and waits until it runs. Throws
    // std::runtime_error "thread spawn failed" when the thread cannot be made,
    // "signal dispatch thread failed" when its descriptors cannot. Does
    // nothing while the thread runs.
    void start();
    // Requests the stop; with wait, continues as waitForStop. Does nothing
    // when the thread does not run.
    void stop(bool wait);
    // Requests the stop if nobody did, wakes the thread and joins it. From a
    // notifier (the dispatch thread itself) it only requests the stop.
    void waitForStop();

    // Sends the signal to this process: 0, or -1 with errno ENOTSUP when
    // self-signalling is not allowed (the default), or kill's errno.
    int sendSelfSignal(int signal);
    void setSelfSignalAllowed(bool allowed);

    bool isAsync(int signal);
    bool isRunning();
    int getPID();
    bool handlesWindowsEvents() const { return handleWindowsEvents_; }

  private:
    static void *thread_main(void *self);
    void run();
    bool dispatch(int signal);
    void shutdown();
    bool has_signal(int signal) const;
    void build_set(sigset_t &set) const;

    std::mutex mutex_;
    std::condition_variable cond_;
    bool started_ = false;     // the thread exists and is not joined
    bool running_ = false;     // the thread's loop runs
    bool joining_ = false;
    bool stopRequested_ = false;
    bool selfSignalAllowed_ = false;
    bool handleWindowsEvents_ = false;
    Notifier *table_[kTableSize] = {};
    std::vector<int> asyncSignals_;
    ACE_Thread_Manager *manager_;
    ACE_thread_t threadId_{};
    ACE_hthread_t threadHandle_{};
    pthread_t thread_{};
    int signalFd_ = -1; // the signals
    int stopFd_ = -1;   // an eventfd: the stop wake-up
};

// Terminate requests (SIGINT and SIGTERM) delivered through an ACE reactor:
// the handler reads them from a signalfd registered with the reactor as a
// descriptor (READ_MASK), so handle_signal runs in the reactor's thread, never
// in a signal handler. The signals must be blocked in every thread (see
// AsyncSignalDispatcher::initMain; the constructor blocks them in the calling
// thread). Next to a running AsyncSignalDispatcher, each signal reaches the one
// of the two that reads it first.
class ZTBASE_API SignalHandler : public ACE_Event_Handler, public NotifySource {
  public:
    SignalHandler(ACE_Reactor &reactor, Notifier *notifier);
    // Unregisters and closes the descriptor.
    ~SignalHandler() override;
    SignalHandler(const SignalHandler &) = delete;
    SignalHandler &operator=(const SignalHandler &) = delete;

    // 0 or -1 (no descriptor, or the reactor refused).
    int registerHandler();
    int unregisterHandler();

    // Calls notify(this, signum) and returns 0.
    int handle_signal(int signum, siginfo_t *info = nullptr, ucontext_t *context = nullptr) override;
    // Reads the pending signals and calls handle_signal for each.
    int handle_input(ACE_HANDLE fd) override;
    ACE_HANDLE get_handle() const override { return terminateEvent_; }

  private:
    void openTerminateEvent();

    ACE_Reactor &reactor_;
    Notifier *notifier_;
    int terminateEvent_ = -1;
    bool registered_ = false;
};

// ---- pollers and timers ----
//
// Reactor timers. They run in the reactor's thread; start, stop and
// setInterval may come from other threads and are serialised by the lock given
// at construction. That lock is not taken in the reactor's thread, so a
// notifier may call them; but while another thread holds the lock inside start,
// stop or setInterval, a notifier must not (the reactor's own lock and the
// given one would then be taken in opposite orders). Handlers count their
// references (the reactor holds one while a timer is scheduled); destroy a
// poller in the reactor's thread or once its loop has ended.
//
// Times are nanoseconds since 1970; 0 means none known.

class ZTBASE_API FilePoller : public ACE_Event_Handler, public NotifySource {
  public:
    FilePoller(ACE_Reactor &reactor, ACE_Lock &lock, Notifier &notifier, const std::string &file,
               int64_t initialTime, const ACE_Time_Value &interval);
    FilePoller(ACE_Reactor &reactor, ACE_Lock &lock, Notifier &notifier, const std::string &file,
               const std::string &altFile, int64_t initialTime, const ACE_Time_Value &interval);
    FilePoller(ACE_Reactor &reactor, ACE_Lock &lock, Notifier &notifier, int64_t initialTime,
               const std::string &file, const std::string &altFile, const ACE_Time_Value &interval);
    // A copy polls the same files from the same remembered times; it is not scheduled.
    FilePoller(const FilePoller &other);
    FilePoller &operator=(const FilePoller &) = delete;
    ~FilePoller() override;

    // 0, or -1 when the lock or the reactor failed (logged).
    int start();
    int stop();
    int setInterval(const ACE_Time_Value &interval);
    ACE_Time_Value getInterval();
    // Whether the last check could not read the file's modification time (it
    // is missing, unreadable, or not a regular file) or found the alternate
    // file unreadable or not a regular file. A missing alternate is no error.
    bool inError() const { return error_.load(); }

    // One check of both files: notifies once per file whose modification time
    // changed. Anything but a regular file (a directory, a FIFO) is never
    // reported as a change. Returns the notifications sent.
    int checkFiles();
    int handle_timeout(const ACE_Time_Value &now, const void *act) override;

    // A file's modification time in nanoseconds since 1970; 0 when it has none.
    static int64_t modificationTime(const std::string &path);

  private:
    int check_one(const std::string &path, int64_t &last, bool alternate, bool &error);

    ACE_Reactor &reactor_;
    ACE_Lock &lock_;
    Notifier &notifier_;
    std::string file_;
    std::string altFile_;
    int64_t lastTime_;
    int64_t altLastTime_;
    ACE_Time_Value interval_;
    long timerId_ = -1;
    std::atomic<bool> error_{false};
};

// Watches the last-write time of a key under the local machine's root.
class ZTBASE_API RegPoller : public ACE_Event_Handler, public NotifySource {
  public:
    RegPoller(ACE_Reactor &reactor, ACE_Lock &lock, Notifier &notifier, const std::string &keyPath,
              int64_t initialTime, const ACE_Time_Value &interval);
    RegPoller(const RegPoller &other);
    RegPoller &operator=(const RegPoller &) = delete;
    ~RegPoller() override;

    int start();
    int stop();
    int setInterval(const ACE_Time_Value &interval);
    ACE_Time_Value getInterval();
    // Whether the last check could not open the key or read its time (a
    // deleted key); cleared by the next successful check.
    bool inError() const { return error_.load(); }
    // True (and the notifier told) when the key was written since the last check.
    bool checkEntry();
    int handle_timeout(const ACE_Time_Value &now, const void *act) override;

  private:
    ACE_Reactor &reactor_;
    ACE_Lock &lock_;
    Notifier &notifier_;
    std::string keyPath_;
    int64_t lastTime_;
    ACE_Time_Value interval_;
    long timerId_ = -1;
    std::atomic<bool> error_{false};
};

// A one-shot (interval zero) or repeating timer that notifies the notifier,
// and the second one when given, with itself as source and code 0. Lives on the
// heap: the owner's reference is dropped by close(), the reactor's when its
// timer ends, and the object deletes itself with the last one. schedule,
// cancel and close may come from any thread; a schedule that races with the
// expiry of a one-shot timer may see isScheduled() false for the new timer
// until it fires.
class ZTBASE_API TimeNotifier : public ACE_Event_Handler, public NotifySource {
  public:
    TimeNotifier(ACE_Reactor &reactor, Notifier &notifier, Notifier *second = nullptr);
    TimeNotifier(const TimeNotifier &) = delete;
    TimeNotifier &operator=(const TimeNotifier &) = delete;

    // Replaces a scheduled timer. Returns the timer id; throws
    // std::runtime_error "schedule_timer" when the reactor refuses.
    long schedule(const ACE_Time_Value &delay, const ACE_Time_Value &interval = ACE_Time_Value::zero,
                  const void *act = nullptr);
    // 0 (also when nothing was scheduled) or -1.
    int cancel();
    // Cancels and drops the owner's reference.
    void close();
    bool isScheduled() const { return timerId_.load() != -1; }

    int handle_timeout(const ACE_Time_Value &now, const void *act) override;
    Reference_Count add_reference() override;
    Reference_Count remove_reference() override;

  protected:
    ~TimeNotifier() override;

  private:
    ACE_Reactor &reactor_;
    Notifier &notifier_;
    Notifier *second_;
    std::atomic<long> timerId_{-1};
    std::atomic<bool> oneShot_{false};
    std::atomic<bool> closed_{false};
};

// Writes "periodic log message" to the log at every interval.
class ZTBASE_API PeriodicLogTimer : public ACE_Event_Handler {
  public:
    PeriodicLogTimer(ACE_Reactor &reactor, ACE_Lock &lock, const ACE_Time_Value &interval);
    PeriodicLogTimer(const PeriodicLogTimer &) = delete;
    PeriodicLogTimer &operator=(const PeriodicLogTimer &) = delete;
    ~PeriodicLogTimer() override;
    int start();
    int stop();
    ACE_Time_Value getInterval() const { return interval_; }
    int handle_timeout(const ACE_Time_Value &now, const void *act) override;

  private:
    ACE_Reactor &reactor_;
    ACE_Lock &lock_;
    ACE_Time_Value interval_;
    long timerId_ = -1;
};

// ---- requests and IOUs ----

// The outcome of a request. The notifier hears exactly once, with this IOU as
// source and code 0, as soon as the result is complete and the owner is ready
// for it, whichever comes second; resultReady and setReadyForResponse may come
// from two threads at once. reset() makes it reusable.
class ZTBASE_API IOU : public NotifySource {
  public:
    IOU(const IOU &other);
    IOU &operator=(const IOU &other);
    ~IOU() override;

    virtual bool isComplete() const;
    virtual int getErrorCode() const;
    virtual Notifier *getNotifier() const;
    virtual void setReadyForResponse(bool ready);
    virtual void resultReady(int code);
    void reset() { doReset(); }
    bool isReadyForResponse() const;
    // True while the notifier is being called.
    bool isNotifying() const;

  protected:
    IOU(Notifier *notifier, bool readyForResponse);
    // Clears complete, the error code and notifying, and restores
    // ready-for-response to the constructor's value.
    virtual void doReset();

  private:
    void deliver();

    mutable std::mutex mutex_;
    bool complete_ = false;
    int errorCode_ = 0;
    Notifier *notifier_;
    bool readyForResponse_;
    bool initialReady_;
    bool notifying_ = false;
    bool delivered_ = false;
};

class Request;

// An IOU made by a request, pointing back at it.
class ZTBASE_API RequestIOU : public IOU {
  public:
    RequestIOU(Notifier *notifier, bool readyForResponse, Request *request);
    RequestIOU(const RequestIOU &) = default;
    RequestIOU &operator=(const RequestIOU &) = default;
    ~RequestIOU() override;
    Request *getRequest() const { return request_; }

  private:
    Request *request_;
};

// A long-running operation: start and stop call the concrete request's
// doStart and doStop, which call resultReady on the IOU when the work ends.
class ZTBASE_API Request {
  public:
    virtual ~Request();
    virtual void start();
    virtual void stop();
    bool getIsRunning() const { return isRunning_.load(); }
    IOU *getIOU() const { return iou_; }

  protected:
    // iou null: the request makes its own RequestIOU (no notifier, ready for
    // response) and deletes it with itself; else the IOU stays the caller's.
    explicit Request(IOU *iou);
    // A copy shares a caller's IOU, and gets a copy of an IOU the request made.
    Request(const Request &other);
    Request &operator=(const Request &other);
    virtual void doStart();
    virtual void doStop();
    void setIsRunning(bool running) { isRunning_.store(running); }

  private:
    IOU *iou_;
    bool ownsIou_;
    std::atomic<bool> isRunning_{false};
};

// ---- processes ----

// Finds the processes running a program (by the name of their executable in
// a directory, by default the path label BP_BIN) and signals them.
class ZTBASE_API ProcessHandler {
  public:
    explicit ProcessHandler(const std::string &name);
    ProcessHandler(const std::string &name, const std::string &directory);
    ProcessHandler(const ProcessHandler &) = default;
    ProcessHandler &operator=(const ProcessHandler &) = default;

    // Changing the program or the directory forgets the listed processes.
    void setProcessmName(const std::string &name);
    void setDirectoryName(const std::string &directory);
    // The signal terminate() sends (SIGTERM unless set).
    void setSignalType(int signal);

    // Lists the processes when the list is empty, then signals each listed
    // process that still runs the program, except this process, id 0 and
    // (unless this process runs as root) processes of other users. The list is
    // then forgotten. Returns the processes signalled, or -1 when /proc could
    // not be read.
    int terminate();

    // The ids of the processes whose executable is `directory`/`name`
    // (symbolic links in the directory resolved), in ascending order.
    static std::vector<pid_t> listProcesses(const std::string &name, const std::string &directory);

  private:
    std::string name_;
    std::string directory_;
    std::vector<pid_t> pids_;
    int signal_ = SIGTERM;
};

namespace Pellucor::Zentor::Framework {

// Resolution for ACE addresses through the library's caches. Debian's ACE has
// no hook through which ACE_INET_Addr would call an external resolver, so
// ACE_INET_Addr's own set() and get_host_name() do not come here: callers fill
// and name their addresses through these two operations instead.
class ZTBASE_API ExternalResolver {
  public:
    static ExternalResolver &instance();

    // The host name of the address (a reverse lookup through the cache): 0, or
    // -1 when there is none or it does not fit `length` bytes.
    int get_host_name_i(const ACE_INET_Addr &iNET_Addr, char *name, size_t length);
    // Resolves host (an IPv6 literal may be in brackets) with the default hints
    // for address_family and stores its first address and the port (encode:
    // the port is in host order). 0 or -1.
    int set(ACE_INET_Addr &iNET_Addr, u_short port, const char *host, int encode = 1,
            int address_family = AF_UNSPEC, int map = 0);

  private:
    ExternalResolver() = default;
    ~ExternalResolver() = default;
    ExternalResolver(const ExternalResolver &) = delete;
    ExternalResolver &operator=(const ExternalResolver &) = delete;
};

} // namespace Pellucor::Zentor::Framework
