// The signal dispatcher and the reactor's signal handler, driven by real
// signals from another process.
#include <ztbase/events.h>

#include <ace/Reactor.h>
#include <ace/Select_Reactor.h>
#include <thread>

#include <gtest/gtest.h>

#include "events/events_support.h"

namespace {

using zt::test::Child;
using zt::test::get_line;
using zt::test::line_waiting;
using zt::test::LineNotifier;
using zt::test::put_line;

class TestNotifier : public Notifier {};

TEST(Notifier, NotifyAndReset) {
    TestNotifier n;
    NotifyStatus source;
    source.setStatus("done");
    NotifySource *seen = &source;
    EXPECT_FALSE(n.getNotified(seen));
    EXPECT_EQ(seen, nullptr);
    n.notify(&source, 7);
    EXPECT_TRUE(n.getNotified(seen));
    EXPECT_EQ(seen, &source);
    EXPECT_EQ(n.getCode(), 7);
    EXPECT_EQ(static_cast<NotifyStatus *>(n.getDataPtr())->getMsg(), "done");
    EXPECT_EQ(n.resetNotifier(), 0);
    EXPECT_FALSE(n.getNotified());
    EXPECT_EQ(n.getDataPtr(), nullptr);
}

// A child runs the dispatcher; this process sends it SIGINT, SIGHUP and
// SIGTERM, and each reaches its notifier once, in the dispatch thread, with the
// dispatcher as source. Signals sent before start wait for it; signals sent
// after stop do nothing at all (the child neither dies nor notifies).
TEST(AsyncSignalDispatcher, SignalsFromAnotherProcessReachTheirNotifiers) {
    Child child([](int in, int out) {
        AsyncSignalDispatcher d;
        d.initMain();
        LineNotifier on_int(out, "int"), on_hup(out, "hup");
        if (d.setNotifier(SIGINT, &on_int) != nullptr || d.setNotifier(SIGHUP, &on_hup) != nullptr)
            return 10;
        put_line(out, "ready");
        if (get_line(in) != "start")
            return 11;
        d.start();
        put_line(out, d.isRunning() ? "started" : "not running");
        if (get_line(in) != "stop")
            return 12;
        d.stop(true);
        put_line(out, d.isRunning() ? "still running" : "stopped");
        return get_line(in) == "quit" ? 0 : 13;
    });
    ASSERT_GT(child.pid, 0);
    ASSERT_EQ(get_line(child.from), "ready");
    // Before start: pending until the thread reads it.
    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    put_line(child.to, "start");
    std::string first = get_line(child.from), second = get_line(child.from);
    EXPECT_TRUE((first == "started" && second == "2 int") || (first == "2 int" && second == "started"))
        << first << " / " << second;
    ASSERT_EQ(kill(child.pid, SIGHUP), 0);
    EXPECT_EQ(get_line(child.from), "1 hup");
    // SIGTERM without a notifier of its own is a terminate request.
    ASSERT_EQ(kill(child.pid, SIGTERM), 0);
    EXPECT_EQ(get_line(child.from), "2 int");
    EXPECT_FALSE(line_waiting(child.from, 200)); // each signal notified once
    put_line(child.to, "stop");
    EXPECT_EQ(get_line(child.from), "stopped");
    // After stop: blocked, pending, harmless.
    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    ASSERT_EQ(kill(child.pid, SIGTERM), 0);
    EXPECT_FALSE(line_waiting(child.from, 200));
    put_line(child.to, "quit");
    EXPECT_EQ(child.wait_exit(), 0);
}

TEST(AsyncSignalDispatcher, RefusesSignalsOutsideTheSetAndSelfSignalsByDefault) {
    Child child([](int, int out) {
        AsyncSignalDispatcher d;
        d.initMain();
        TestNotifier n;
        bool ok = d.setNotifier(30, &n) == nullptr && d.setNotifier(30, nullptr) == nullptr &&
                  d.setNotifier(0, &n) == nullptr && d.setNotifier(SIGUSR1, &n) == nullptr &&
                  d.setNotifier(SIGUSR1, nullptr) == nullptr && !d.isAsync(SIGUSR1) &&
                  d.isAsync(SIGHUP);
        errno = 0;
        ok = ok && d.sendSelfSignal(SIGINT) == -1 && errno == ENOTSUP;
        // The wider set, and a self-signal once allowed.
        d.initMain(false);
        LineNotifier usr1(out, "usr1");
        ok = ok && d.isAsync(SIGUSR1) && d.setNotifier(SIGUSR1, &usr1) == nullptr;
        d.start();
        d.setSelfSignalAllowed(true);
        ok = ok && d.sendSelfSignal(SIGUSR1) == 0;
        std::string line = ok ? "" : "checks failed";
        put_line(out, line.empty() ? "sent" : line);
        // Wait for the notification line to have been written by the dispatch thread.
        while (!usr1.getNotified())
            usleep(1000);
        d.stop(true);
        return 0;
    });
    ASSERT_GT(child.pid, 0);
    std::string a = get_line(child.from), b = get_line(child.from);
    EXPECT_TRUE((a == "sent" && b == "10 usr1") || (a == "10 usr1" && b == "sent")) << a << " / " << b;
    EXPECT_EQ(child.wait_exit(), 0);
}

// stop(true) from another thread returns after the dispatch thread has ended;
// a later stop does nothing. Through a thread manager as well as without one.
TEST(AsyncSignalDispatcher, StopFromAnotherThreadEndsTheThread) {
    for (bool with_manager : {false, true}) {
        SCOPED_TRACE(with_manager);
        ACE_Thread_Manager manager;
        AsyncSignalDispatcher d(with_manager ? &manager : nullptr);
        d.start();
        EXPECT_TRUE(d.isRunning());
        std::thread([&] { d.stop(true); }).join();
        EXPECT_FALSE(d.isRunning());
        d.stop(true);
        d.waitForStop();
        EXPECT_FALSE(d.isRunning());
        // Two threads stopping at once both return after the end.
        d.start();
        std::thread a([&] { d.stop(true); }), b([&] { d.waitForStop(); });
        a.join();
        b.join();
        EXPECT_FALSE(d.isRunning());
    }
}

// The reactor's handler: SIGTERM from another process calls the notifier in
// the reactor's thread with the signal number.
TEST(SignalHandler, TerminateSignalReachesTheNotifierThroughTheReactor) {
    Child child([](int, int out) {
        ACE_Select_Reactor impl;
        ACE_Reactor reactor(&impl);
        struct Stopper : LineNotifier {
            Stopper(int fd, ACE_Reactor &r) : LineNotifier(fd, "reactor"), r_(r) {}
            void notify(NotifySource *s, int code) override {
                LineNotifier::notify(s, code);
                r_.end_reactor_event_loop();
            }
            ACE_Reactor &r_;
        } notifier(out, reactor);
        SignalHandler handler(reactor, &notifier);
        if (handler.registerHandler() != 0)
            return 20;
        put_line(out, "ready");
        reactor.run_reactor_event_loop();
        return handler.unregisterHandler() == 0 ? 0 : 21;
    });
    ASSERT_GT(child.pid, 0);
    ASSERT_EQ(get_line(child.from), "ready");
    ASSERT_EQ(kill(child.pid, SIGTERM), 0);
    EXPECT_EQ(get_line(child.from), "15 reactor");
    EXPECT_EQ(child.wait_exit(), 0);
}

} // namespace
