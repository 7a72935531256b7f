// The descriptor I/O module the log, the path calls and the sockets build on.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/zt_status.h"
#include "platform/posix_io.h"
#include "support/temp_root.h"

namespace pio = ztbase::pio;

namespace {

// A write that takes at most `step` bytes, is interrupted every other call,
// and fails or stalls after `limit` bytes.
struct Flaky {
    static inline size_t step, limit, taken;
    static inline int calls, fail_errno;
    static inline std::string out;
    static ssize_t write(int, const void *buf, size_t len) {
        if (++calls % 2 == 0) {
            errno = EINTR;
            return -1;
        }
        if (taken >= limit) {
            if (fail_errno == 0)
                return 0;
            errno = fail_errno;
            return -1;
        }
        size_t n = std::min({len, step, limit - taken});
        out.append(static_cast<const char *>(buf), n);
        taken += n;
        return static_cast<ssize_t>(n);
    }
};

TEST(PosixIo, WriteAllFinishesShortWritesAndReportsWhereItStopped) {
    const std::string text(100, 'x');
    const struct {
        size_t step, limit;
        int fail_errno, rc;
        size_t done;
    } cases[] = {
        {7, 1000, 0, 0, 100},             // short writes and EINTR: all of it
        {100, 1000, 0, 0, 100},           // one write
        {7, 40, ENOSPC, ENOSPC, 40},      // the disk fills: how far it got
        {7, 40, 0, pio::kNoProgress, 40}, // a write of nothing
        {7, 0, EBADF, EBADF, 0},
    };
    for (const auto &c : cases) {
        Flaky::step = c.step;
        Flaky::limit = c.limit;
        Flaky::fail_errno = c.fail_errno;
        Flaky::taken = 0;
        Flaky::calls = 0;
        Flaky::out.clear();
        size_t done = 99999;
        EXPECT_EQ(
            pio::write_all(1, text.data(), text.size(), &done, pio::Pipe::NoGuard, Flaky::write),
            c.rc)
            << c.step << "/" << c.limit;
        EXPECT_EQ(done, c.done);
        EXPECT_EQ(Flaky::out, text.substr(0, c.done));
    }
}

TEST(PosixIo, ReaderlessPipeGivesEpipeAndLeavesNoSignal) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    size_t done = 1;
    EXPECT_EQ(pio::write_all(p[1], "abc", 3, &done), EPIPE);
    EXPECT_EQ(done, 0u);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));

    // A SIGPIPE the caller had pending (blocked) before stays the caller's.
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipe_set, &old), 0);
    ASSERT_EQ(raise(SIGPIPE), 0);
    EXPECT_EQ(pio::write_all(p[1], "abc", 3), EPIPE);
    sigpending(&pending);
    EXPECT_TRUE(sigismember(&pending, SIGPIPE));
    const timespec zero{0, 0};
    EXPECT_EQ(sigtimedwait(&pipe_set, nullptr, &zero), SIGPIPE);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << "the write left a signal of its own";
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(p[1]);
}

TEST(PosixIo, ReadAllReadsToTheEndAcrossShortReads) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "hello ", 6), 6);
    ASSERT_EQ(write(p[1], "world", 5), 5);
    close(p[1]);
    char buf[64];
    size_t got = 0;
    EXPECT_EQ(pio::read_all(p[0], buf, sizeof buf, &got), 0);
    EXPECT_EQ(std::string(buf, got), "hello world");
    close(p[0]);
    EXPECT_EQ(pio::read_all(-1, buf, sizeof buf, &got), EBADF);
    EXPECT_EQ(got, 0u);
}

TEST(PosixIo, OpensCloseOnExecUnlessInheritableAndOwnsTheDescriptor) {
    zt::test::TempRoot root;
    const std::string path = root / "f";
    int raw = -1;
    {
        pio::Fd fd = pio::open_fd(path.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_TRUE(fd);
        EXPECT_NE(fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0);
        pio::Fd inherit = pio::open_inheritable(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_TRUE(inherit);
        EXPECT_EQ(fcntl(inherit.get(), F_GETFD) & FD_CLOEXEC, 0);
        pio::Fd moved = std::move(fd);
        EXPECT_FALSE(fd);
        raw = moved.get();
    }
    EXPECT_EQ(fcntl(raw, F_GETFD), -1); // closed with its last owner
    EXPECT_EQ(errno, EBADF);
    pio::Fd missing = pio::open_fd((root / "no/such").c_str(), O_RDONLY);
    EXPECT_FALSE(missing);
    EXPECT_EQ(errno, ENOENT);
}

TEST(PosixIo, OnlyRegularFilesOpenForReading) {
    zt::test::TempRoot root;
    const std::string file = root / "plain", fifo = root / "fifo", dir = root / "dir";
    { pio::Fd w = pio::open_fd(file.c_str(), O_WRONLY | O_CREAT, 0600); }
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0); // no writer: a blocking open would hang
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    pio::Fd plain = pio::open_regular_file(file.c_str());
    ASSERT_TRUE(plain);
    EXPECT_EQ(fcntl(plain.get(), F_GETFL) & O_NONBLOCK, 0); // reads block as usual
    const struct {
        std::string path;
        int error;
    } refused[] = {{fifo, EINVAL}, {"/dev/zero", EINVAL}, {dir, EISDIR}, {root / "none", ENOENT}};
    for (const auto &c : refused) {
        EXPECT_FALSE(pio::open_regular_file(c.path.c_str())) << c.path;
        EXPECT_EQ(errno, c.error) << c.path;
    }
}

TEST(PosixIo, WholeRegularFilesWithinALimit) {
    zt::test::TempRoot root;
    const std::string file = root / "text", fifo = root / "fifo";
    zt::test::write_file(file, std::string(40000, 'x'));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string out = "old";
    EXPECT_EQ(pio::read_regular_file(file.c_str(), 40000, out), 0);
    EXPECT_EQ(out.size(), 40000u);
    EXPECT_EQ(pio::read_regular_file(file.c_str(), 39999, out), EFBIG);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(pio::read_regular_file(fifo.c_str(), 100, out), EINVAL);
    EXPECT_EQ(pio::read_regular_file((root / "none").c_str(), 100, out), ENOENT);
}

TEST(PosixIo, SharedFilesRefuseLinksPlantedInTheirPlace) {
    zt::test::TempRoot root;
    const std::string file = root / "lock", target = root / "target", fifo = root / "fifo";
    pio::Fd created = pio::open_shared_file(file.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_TRUE(created);
    EXPECT_EQ(fcntl(created.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    zt::test::write_file(target, "precious\n");
    ASSERT_EQ(symlink(target.c_str(), (root / "sym").c_str()), 0);
    ASSERT_EQ(link(target.c_str(), (root / "hard").c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        int error;
    } refused[] = {
        {root / "sym", ELOOP}, {root / "hard", EMLINK}, {fifo, EINVAL}, {root.path(), EISDIR}};
    for (const auto &c : refused) {
        EXPECT_FALSE(pio::open_shared_file(c.path.c_str(), O_RDWR | O_CREAT, 0644)) << c.path;
        EXPECT_EQ(errno, c.error) << c.path;
    }
    EXPECT_EQ(zt::test::read_file(target), "precious\n");
}

TEST(PosixIo, EachReadPolicyRefusesWhatItNames) {
    zt::test::TempRoot root;
    const std::string file = root / "plain", fifo = root / "fifo", dir = root / "dir",
                      link = root / "link";
    zt::test::write_file(file, "text");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    constexpr pio::ReadPolicy kNoLinks{.refuse_links = true};
    constexpr pio::ReadPolicy kDevicesToo{.refuse_devices = false};
    constexpr pio::ReadPolicy kNonblocking{false, false, false, false, false, true};
    const struct {
        const char *row;
        std::string path;
        pio::ReadPolicy policy;
        int error; // 0: opened
        pio::OpenStep step;
    } cases[] = {
        {"regular only takes a file", file, pio::kRegularOnly, 0, {}},
        {"regular only follows a link", link, pio::kRegularOnly, 0, {}},
        {"regular only refuses a FIFO", fifo, pio::kRegularOnly, EINVAL, pio::OpenStep::Check},
        {"regular only refuses a device", "/dev/null", pio::kRegularOnly, EINVAL,
         pio::OpenStep::Check},
        {"regular only refuses a directory", dir, pio::kRegularOnly, EISDIR, pio::OpenStep::Check},
        {"a missing file fails the open", root / "none", pio::kRegularOnly, ENOENT,
         pio::OpenStep::Open},
        {"no links refuses a link", link, kNoLinks, ELOOP, pio::OpenStep::Open},
        {"devices allowed", "/dev/null", kDevicesToo, 0, {}},
        {"devices allowed, FIFO still refused", fifo, kDevicesToo, EINVAL, pio::OpenStep::Check},
        {"anything takes a directory", dir, pio::kAnyFile, 0, {}},
        {"anything takes a FIFO without a writer", fifo, kNonblocking, 0, {}},
    };
    for (const auto &c : cases) {
        pio::OpenStep step{};
        errno = 0;
        pio::Fd fd = pio::open_for_reading(c.path.c_str(), c.policy, &step);
        EXPECT_EQ(bool(fd), c.error == 0) << c.row;
        if (c.error != 0) {
            EXPECT_EQ(errno, c.error) << c.row;
            EXPECT_EQ(step, c.step) << c.row;
        } else {
            const bool nonblocking = (fcntl(fd.get(), F_GETFL) & O_NONBLOCK) != 0;
            EXPECT_EQ(nonblocking, c.policy.keep_nonblocking) << c.row;
        }
    }
}

TEST(PosixIo, ReadToEndAppendsTheWholeFileAndStreamsOwnTheDescriptor) {
    zt::test::TempRoot root;
    const std::string big(200000, 'x'), path = root / "big";
    zt::test::write_file(path, big);
    std::string out = "before:";
    pio::Fd fd = pio::open_regular_file(path.c_str());
    ASSERT_TRUE(fd);
    EXPECT_EQ(pio::read_to_end(fd.get(), out), 0);
    EXPECT_EQ(out, "before:" + big);
    EXPECT_EQ(pio::read_to_end(-1, out), EBADF);

    FILE *f = pio::stream(std::move(fd), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(fd);
    fclose(f);
    errno = 0;
    EXPECT_EQ(pio::stream(pio::Fd(), "r"), nullptr);
    EXPECT_EQ(errno, EBADF);
}

TEST(PosixIo, ErrnoMaps) {
    namespace st = zt::status;
    const int statuses[][3] = {
        {0, st::kFileOpenFailed, st::kOk},
        {ENOENT, st::kFileOpenFailed, st::kNoSuchFile},
        {ENOMEM, st::kFileWriteFailed, st::kNoMemory},
        {EADDRINUSE, st::kSocketOpenFailed, st::kAddressInUse},
        {ETIMEDOUT, st::kSocketReadFailed, st::kNetworkTimeout},
        {EPIPE, st::kSocketWriteFailed, st::kConnectionBroken},
        {ECONNREFUSED, st::kSocketOpenFailed, st::kCannotConnect},
        {ENOSPC, st::kFileWriteFailed, st::kFileWriteFailed},
    };
    for (const auto &c : statuses)
        EXPECT_EQ(pio::status_from_errno(c[0], c[1]), c[2]) << c[0];
    const int crt[][2] = {{ENOENT, 2}, {ENOTDIR, 2}, {EACCES, 13}, {EPERM, 13}, {EXDEV, 22}};
    for (const auto &c : crt)
        EXPECT_EQ(pio::crt_errno(c[0]), c[1]) << c[0];
    EXPECT_TRUE(pio::utf8_path("/tmp/caf\xc3\xa9"));
    EXPECT_TRUE(pio::utf8_path(""));
    EXPECT_FALSE(pio::utf8_path("/tmp/\xff"));
    EXPECT_FALSE(pio::utf8_path(nullptr));
}

} // namespace
