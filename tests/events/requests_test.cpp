// IOUs and requests, the process handler on real processes, and the external
// resolver on loopback addresses.
#include <ztbase/events.h>
#include <ztbase/paths.h>

#include <filesystem>
#include <spawn.h>
#include <thread>

#include <gtest/gtest.h>

#include "events/events_support.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

extern char **environ;

namespace {

using zt::test::CountingNotifier;

class TestIOU : public IOU {
  public:
    TestIOU(Notifier *n, bool ready) : IOU(n, ready) {}
};

// Whichever of "complete" and "ready" comes second notifies, exactly once.
TEST(IOU, NotifiesOnceWhenCompleteAndReady) {
    struct Case {
        const char *name;
        bool ready_at_start;
        std::vector<std::string> steps; // "result", "ready", "unready"
        int notifications;
    };
    const std::vector<Case> cases = {
        {"ready first", true, {"result"}, 1},
        {"result first", false, {"result", "ready"}, 1},
        {"ready twice", false, {"result", "ready", "ready"}, 1},
        {"result twice", true, {"result", "result"}, 1},
        {"never ready", false, {"result"}, 0},
        {"ready withdrawn", true, {"unready", "result"}, 0},
        {"ready withdrawn then given", true, {"unready", "result", "ready"}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CountingNotifier n;
        TestIOU iou(&n, c.ready_at_start);
        for (const auto &s : c.steps) {
            if (s == "result")
                iou.resultReady(5);
            else
                iou.setReadyForResponse(s == "ready");
        }
        EXPECT_EQ(n.count, c.notifications);
        if (c.notifications) {
            EXPECT_EQ(n.getDataPtr(), &iou);
            EXPECT_EQ(n.getCode(), 0);
        }
        EXPECT_TRUE(iou.isComplete());
        EXPECT_EQ(iou.getErrorCode(), 5);
        EXPECT_FALSE(iou.isNotifying());
        iou.reset();
        EXPECT_FALSE(iou.isComplete());
        EXPECT_EQ(iou.getErrorCode(), 0);
        EXPECT_EQ(iou.isReadyForResponse(), c.ready_at_start);
        // Usable again after the reset.
        iou.setReadyForResponse(true);
        iou.resultReady(1);
        EXPECT_EQ(n.count, c.notifications + 1);
    }
}

// The owner and the worker race: never two notifications, never none.
TEST(IOU, RacingCompletionAndReadinessNotifyExactlyOnce) {
    for (int i = 0; i < 300; ++i) {
        CountingNotifier n;
        TestIOU iou(&n, false);
        std::thread worker([&] { iou.resultReady(i); });
        iou.setReadyForResponse(true);
        worker.join();
        ASSERT_EQ(n.count, 1) << i;
    }
}

TEST(Request, StartStopAndItsOwnIOU) {
    struct Work : Request {
        explicit Work(IOU *iou) : Request(iou) {}
        Work(const Work &) = default;
        int started = 0, stopped = 0;
        void doStart() override {
            ++started;
            getIOU()->resultReady(3);
        }
        void doStop() override { ++stopped; }
    };
    Work own(nullptr);
    auto *mine = dynamic_cast<RequestIOU *>(own.getIOU());
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine->getRequest(), &own);
    EXPECT_EQ(mine->getNotifier(), nullptr);
    own.start();
    EXPECT_TRUE(own.getIsRunning());
    EXPECT_EQ(own.started, 1);
    EXPECT_TRUE(mine->isComplete());
    EXPECT_EQ(mine->getErrorCode(), 3);
    Work copy(own); // its own IOU, a copy of the original's
    EXPECT_NE(copy.getIOU(), own.getIOU());
    EXPECT_EQ(copy.getIOU()->getErrorCode(), 3);
    EXPECT_EQ(dynamic_cast<RequestIOU *>(copy.getIOU())->getRequest(), &copy);
    own.stop();
    EXPECT_FALSE(own.getIsRunning());
    EXPECT_EQ(own.stopped, 1);

    CountingNotifier n;
    TestIOU given(&n, true);
    Work borrowed(&given);
    EXPECT_EQ(borrowed.getIOU(), &given);
    borrowed.start();
    EXPECT_EQ(n.count, 1);
}

pid_t spawn_program(const std::string &path) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    char *argv[] = {const_cast<char *>(path.c_str()), const_cast<char *>("60"), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

int exit_of(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

using ProcessHandlerTest = zt::test::ZtTest;

// A program copied into the bin directory of the temporary root: its processes
// are found by name there (the default directory) and terminated with SIGTERM.
TEST_F(ProcessHandlerTest, TerminatesTheProgramsProcesses) {
    std::string bin = getFennicString("BP_BIN");
    ASSERT_FALSE(bin.empty());
    std::filesystem::create_directories(bin);
    std::string program = bin + "/ztsleeper";
    std::filesystem::copy_file("/bin/sleep", program);
    pid_t a = spawn_program(program), b = spawn_program(program);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    // Both appear once exec has replaced the spawned image.
    std::vector<pid_t> listed;
    for (int i = 0; i < 2000 && listed.size() < 2; ++i) {
        listed = ProcessHandler::listProcesses("ztsleeper", bin);
        if (listed.size() < 2)
            usleep(1000);
    }
    EXPECT_EQ(listed, (std::vector<pid_t>{std::min(a, b), std::max(a, b)}));
    ProcessHandler h("ztsleeper");
    EXPECT_EQ(h.terminate(), 2);
    EXPECT_EQ(exit_of(a), 128 + SIGTERM);
    EXPECT_EQ(exit_of(b), 128 + SIGTERM);
    // Nothing left: nothing signalled. Another name or directory finds nothing.
    EXPECT_EQ(h.terminate(), 0);
    EXPECT_TRUE(ProcessHandler::listProcesses("ztsleeper", root().path()).empty());
    EXPECT_TRUE(ProcessHandler::listProcesses("", bin).empty());
    EXPECT_TRUE(ProcessHandler::listProcesses("../bin/ztsleeper", bin).empty());

    pid_t c = spawn_program(program);
    ASSERT_GT(c, 0);
    while (ProcessHandler::listProcesses("ztsleeper", bin).empty())
        usleep(1000);
    ProcessHandler other("nothing", "/nonexistent");
    other.setProcessmName("ztsleeper");
    other.setDirectoryName(bin);
    other.setSignalType(SIGUSR1);
    EXPECT_EQ(other.terminate(), 1);
    EXPECT_EQ(exit_of(c), 128 + SIGUSR1);
}

// This test program's own processes include this one: it is never signalled
// (signal 0 only checks, so parallel runs of the program are not disturbed).
TEST_F(ProcessHandlerTest, NeverSignalsTheCallingProcess) {
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    std::vector<pid_t> listed =
        ProcessHandler::listProcesses(self.filename().string(), self.parent_path().string());
    EXPECT_NE(std::find(listed.begin(), listed.end(), getpid()), listed.end());
    zt::test::LogCapture log;
    ProcessHandler h(self.filename().string(), self.parent_path().string());
    h.setSignalType(0);
    EXPECT_GE(h.terminate(), 0);
    EXPECT_FALSE(log.has("process " + std::to_string(getpid()) + "\n"));
    for (const auto &line : log.lines())
        EXPECT_EQ(line.find(" process " + std::to_string(getpid())), std::string::npos) << line;
}

using ExternalResolverTest = zt::test::ZtTest;

TEST_F(ExternalResolverTest, FillsAndNamesLoopbackAddresses) {
    auto &r = Pellucor::Zentor::Framework::ExternalResolver::instance();
    EXPECT_EQ(&r, &Pellucor::Zentor::Framework::ExternalResolver::instance());
    ACE_INET_Addr addr;
    ASSERT_EQ(r.set(addr, 8080, "127.0.0.1"), 0);
    EXPECT_EQ(addr.get_port_number(), 8080);
    EXPECT_TRUE(addr.is_loopback());
    EXPECT_EQ(addr.get_type(), AF_INET);
    ASSERT_EQ(r.set(addr, 9, "[::1]", 1, AF_INET6), 0);
    EXPECT_EQ(addr.get_type(), AF_INET6);
    EXPECT_TRUE(addr.is_loopback());
    EXPECT_EQ(addr.get_port_number(), 9);
    EXPECT_EQ(r.set(addr, 9, ""), -1);
    EXPECT_EQ(r.set(addr, 9, nullptr), -1);

    ACE_INET_Addr local(static_cast<u_short>(1), "127.0.0.1");
    char name[256];
    if (r.get_host_name_i(local, name, sizeof name) == 0) {
        EXPECT_STRNE(name, "");
    }
    char tiny[1];
    EXPECT_EQ(r.get_host_name_i(local, tiny, 0), -1);
}

} // namespace
