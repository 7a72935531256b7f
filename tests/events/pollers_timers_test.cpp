// Pollers and timers on a real reactor whose timer queue reads a clock the
// test moves: no test waits for time to pass.
#include <ztbase/events.h>

#include <ace/Lock_Adapter_T.h>
#include <ace/Select_Reactor.h>
#include <ace/Synch_Traits.h>
#include <ace/Thread_Mutex.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

#include <gtest/gtest.h>

#include "events/events_support.h"
#include "platform/registry/registry.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

using zt::test::CountingNotifier;

ACE_Time_Value g_now(1000000);
ACE_Time_Value fake_now() { return g_now; }

// A reactor on the fake clock; run() dispatches what is due without waiting.
class FakeClockTest : public zt::test::ZtTest {
  protected:
    FakeClockTest() : reactor_(&impl_) {
        g_now = ACE_Time_Value(1000000);
        reactor_.timer_queue()->gettimeofday(fake_now);
    }
    void advance(long seconds) {
        g_now += ACE_Time_Value(seconds);
        run();
    }
    void run() {
        for (int i = 0; i < 3; ++i) {
            ACE_Time_Value none(ACE_Time_Value::zero);
            reactor_.handle_events(none);
        }
    }
    ACE_Select_Reactor impl_;
    ACE_Reactor reactor_;
    ACE_Lock_Adapter<ACE_Thread_Mutex> lock_;
};

// Sets a file's modification time to `seconds` since 1970.
void set_mtime(const std::string &path, long seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class Probe : public TimeNotifier {
  public:
    Probe(ACE_Reactor &r, Notifier &n, bool *deleted) : TimeNotifier(r, n), deleted_(deleted) {}

  protected:
    ~Probe() override { *deleted_ = true; }

  private:
    bool *deleted_;
};

using Timers = FakeClockTest;

TEST_F(Timers, OneShotFiresOnceAndReschedulingReplaces) {
    CountingNotifier n, second;
    bool deleted = false;
    auto *t = new Probe(reactor_, n, &deleted);
    t->schedule(ACE_Time_Value(5));
    EXPECT_TRUE(t->isScheduled());
    advance(4);
    EXPECT_EQ(n.count, 0);
    t->schedule(ACE_Time_Value(20)); // replaces the earlier timer
    advance(10);
    EXPECT_EQ(n.count, 0);
    advance(10);
    EXPECT_EQ(n.count, 1);
    EXPECT_EQ(n.getDataPtr(), t);
    EXPECT_FALSE(t->isScheduled());
    advance(100);
    EXPECT_EQ(n.count, 1);
    t->close();
    EXPECT_TRUE(deleted);
}

TEST_F(Timers, RepeatingUntilCancelledAndBothNotifiersHear) {
    CountingNotifier n, second;
    bool deleted = false;
    auto *t = new Probe(reactor_, n, &deleted);
    (void)second;
    t->schedule(ACE_Time_Value(1), ACE_Time_Value(2));
    advance(1);
    advance(2);
    advance(2);
    EXPECT_EQ(n.count, 3);
    EXPECT_TRUE(t->isScheduled());
    EXPECT_EQ(t->cancel(), 0);
    EXPECT_FALSE(t->isScheduled());
    advance(10);
    EXPECT_EQ(n.count, 3);
    // Closed while scheduled: the reactor's reference goes with the timer.
    t->schedule(ACE_Time_Value(1), ACE_Time_Value(1));
    t->close();
    EXPECT_TRUE(deleted);
    advance(5);
    EXPECT_EQ(n.count, 3);

    deleted = false;
    auto *two = new TimeNotifier(reactor_, n, &second);
    two->schedule(ACE_Time_Value(1));
    advance(1);
    EXPECT_EQ(n.count, 4);
    EXPECT_EQ(second.count, 1);
    two->close();
}

// A notifier that closes its timer from inside the expiry: the object lives
// until the reactor's call returns.
TEST_F(Timers, CloseFromInsideTheNotificationIsSafe) {
    struct Closer : Notifier {
        TimeNotifier *t = nullptr;
        void notify(NotifySource *s, int code) override {
            Notifier::notify(s, code);
            t->close();
        }
    } closer;
    bool deleted = false;
    auto *t = new Probe(reactor_, closer, &deleted);
    closer.t = t;
    t->schedule(ACE_Time_Value(1), ACE_Time_Value(1));
    advance(1);
    EXPECT_TRUE(closer.getNotified());
    EXPECT_TRUE(deleted);
    advance(5);
}

TEST_F(Timers, PeriodicLogTimerWritesItsMessageEachInterval) {
    zt::test::LogCapture log;
    PeriodicLogTimer p(reactor_, lock_, ACE_Time_Value(60));
    EXPECT_EQ(p.getInterval(), ACE_Time_Value(60));
    ASSERT_EQ(p.start(), 0);
    advance(60);
    advance(60);
    size_t seen = 0;
    for (const auto &line : log.lines())
        seen += line.find("periodic log message") != std::string::npos;
    EXPECT_EQ(seen, 2u);
    ASSERT_EQ(p.stop(), 0);
    advance(60);
    size_t after = 0;
    for (const auto &line : log.lines())
        after += line.find("periodic log message") != std::string::npos;
    EXPECT_EQ(after, 2u);
}

using Pollers = FakeClockTest;

TEST_F(Pollers, FileTouchedTwiceBetweenPollsNotifiesOnce) {
    std::string file = root() / "watched.conf";
    zt::test::write_file(file, "a");
    set_mtime(file, 1000);
    CountingNotifier n;
    FilePoller poller(reactor_, lock_, n, file, FilePoller::modificationTime(file),
                      ACE_Time_Value(10));
    ASSERT_EQ(poller.start(), 0);
    advance(10);
    EXPECT_EQ(n.count, 0);
    set_mtime(file, 2000);
    set_mtime(file, 3000);
    advance(10);
    EXPECT_EQ(n.count, 1);
    EXPECT_EQ(n.getDataPtr(), &poller);
    advance(10);
    EXPECT_EQ(n.count, 1);
    // A longer interval takes effect at once; the remembered time survives a restart.
    ASSERT_EQ(poller.setInterval(ACE_Time_Value(100)), 0);
    EXPECT_EQ(poller.getInterval(), ACE_Time_Value(100));
    set_mtime(file, 4000);
    advance(50);
    EXPECT_EQ(n.count, 1);
    advance(50);
    EXPECT_EQ(n.count, 2);
    ASSERT_EQ(poller.stop(), 0);
    set_mtime(file, 5000);
    advance(200);
    EXPECT_EQ(n.count, 2);
    ASSERT_EQ(poller.start(), 0);
    advance(100);
    EXPECT_EQ(n.count, 3);
    // A copy polls from the same times and is not scheduled.
    FilePoller copy(poller);
    EXPECT_EQ(copy.checkFiles(), 0);
}

// Files that vanish or become something else are errors, never changes, and
// a FIFO at the name never blocks the check.
TEST_F(Pollers, FilesThatVanishOrChangeKind) {
    std::string file = root() / "f", alt = root() / "alt";
    zt::test::write_file(file, "x");
    set_mtime(file, 1000);
    CountingNotifier n;
    FilePoller poller(reactor_, lock_, n, 0, file, alt, ACE_Time_Value(1));
    EXPECT_EQ(poller.checkFiles(), 1); // first sight of the file
    EXPECT_FALSE(poller.inError());    // a missing alternate is no error

    struct Step {
        const char *name;
        std::function<void()> make;
        int notifications;
        bool error;
    };
    const std::vector<Step> steps = {
        {"vanished", [&] { unlink(file.c_str()); }, 0, true},
        {"directory", [&] { mkdir(file.c_str(), 0755); }, 0, true},
        {"fifo", [&] { rmdir(file.c_str()); mkfifo(file.c_str(), 0644); }, 0, true},
        {"file again", [&] { unlink(file.c_str()); zt::test::write_file(file, "y"); set_mtime(file, 7000); }, 1, false},
        {"alternate appears", [&] { zt::test::write_file(alt, "z"); set_mtime(alt, 8000); }, 1, false},
        {"alternate a directory", [&] { unlink(alt.c_str()); mkdir(alt.c_str(), 0755); }, 0, true},
        {"alternate gone", [&] { rmdir(alt.c_str()); }, 0, false},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.name);
        s.make();
        EXPECT_EQ(poller.checkFiles(), s.notifications);
        EXPECT_EQ(poller.inError(), s.error);
    }
}

using RegPollers = FakeClockTest;

TEST_F(RegPollers, KeyWrittenDeletedAndRecreated) {
    using namespace ztbase::registry;
    const std::string path = "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Config";
    Key key;
    ASSERT_EQ(Key::create(Root::LocalMachine, path, key), Status::Ok);
    ASSERT_EQ(key.set(Value::sz("A", "1")), Status::Ok);
    int64_t written = 0;
    ASSERT_EQ(key.last_write(written), Status::Ok);
    CountingNotifier n;
    RegPoller poller(reactor_, lock_, n, path, written, ACE_Time_Value(5));
    ASSERT_EQ(poller.start(), 0);
    advance(5);
    EXPECT_EQ(n.count, 0);
    ASSERT_EQ(key.set(Value::sz("A", "2")), Status::Ok);
    advance(5);
    EXPECT_EQ(n.count, 1);
    EXPECT_EQ(n.getDataPtr(), &poller);
    advance(5);
    EXPECT_EQ(n.count, 1);
    ASSERT_EQ(Key::remove_tree(Root::LocalMachine, path), Status::Ok);
    EXPECT_FALSE(poller.checkEntry());
    EXPECT_TRUE(poller.inError());
    ASSERT_EQ(Key::create(Root::LocalMachine, path, key), Status::Ok);
    ASSERT_EQ(key.set(Value::dword("B", 3)), Status::Ok);
    EXPECT_TRUE(poller.checkEntry());
    EXPECT_FALSE(poller.inError());
    ASSERT_EQ(poller.stop(), 0);
    close_all();
}

// Pollers started and stopped from another thread while the reactor runs its
// loop in this one.
TEST(PollersThreads, StartAndStopFromAnotherThread) {
    zt::test::TempRoot root;
    std::string file = root / "f";
    zt::test::write_file(file, "x");
    ACE_Select_Reactor impl;
    ACE_Reactor reactor(&impl);
    ACE_Lock_Adapter<ACE_Thread_Mutex> lock;
    struct Ender : Notifier {
        ACE_Reactor *r;
        void notify(NotifySource *s, int code) override {
            Notifier::notify(s, code);
            r->end_reactor_event_loop();
        }
    } ender;
    ender.r = &reactor;
    FilePoller poller(reactor, lock, ender, file, 0, ACE_Time_Value(0, 1000));
    reactor.owner(ACE_Thread::self());
    std::thread other([&] { poller.start(); });
    reactor.run_reactor_event_loop();
    other.join();
    EXPECT_TRUE(ender.getNotified());
    std::thread([&] { poller.stop(); }).join();
}

} // namespace
