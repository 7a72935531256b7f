// The debug log on the host configuration: verbosity followed across
// processes, per-process items and free keys, and repairs written back.
#include <atomic>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>

#include "bpconf_support.h"
#include "config/snapshots/ztconf_internal.h"
#include "logging/log_clock.h"
#include "logging/log_config.h"
#include "platform/registry/registry.h"
#include "support/config_update.h"
#include "support/temp_root.h"

namespace {

namespace fs = std::filesystem;
namespace reg = ztbase::registry;

std::atomic<long> g_mono{1000};
void fake_monotonic(timespec *out) {
    out->tv_sec = g_mono.load();
    out->tv_nsec = 0;
}

using zt::test::update_config;

std::string stored_text(const char *name) {
    reg::Key key;
    reg::Value v;
    if (reg::Key::open(reg::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY, key) != reg::Status::Ok ||
        key.query(name, v) != reg::Status::Ok)
        return "<absent>";
    return v.type == reg::kDword ? std::to_string(v.number()) : v.text();
}

class LogOnConfigTest : public zt::test::ZtTest {
  protected:
    LogOnConfigTest() {
        ztbase::logcfg::set_source(ztbase::ztconf::host_log_source());
        ztbase::logclock::set_monotonic(fake_monotonic);
        fs::create_directories(dir());
    }
    ~LogOnConfigTest() override {
        close_debug_log();
        ztbase::logclock::set_monotonic(nullptr);
        ztbase::logcfg::set_source(nullptr);
    }
    std::string dir() const { return root() / "logs/myprog"; }
    int open(const char *program = "myprog") {
        int err = 0;
        int fd = open_debug_log((root() / "logs").c_str(), "myprog", program, 0, &err);
        EXPECT_GE(fd, 0) << err;
        return fd;
    }
    std::string log_text() const {
        std::string all;
        for (const auto &e : fs::directory_iterator(dir()))
            all += zt::test::read_file(e.path());
        return all;
    }
};

TEST_F(LogOnConfigTest, AChangeOfVerboseByAnotherProcessIsFollowedWithoutRestarting) {
    ASSERT_EQ(update_config("SERVER = alpha\nVERBOSE = 1\n"), 0);
    open();
    logmsgvf(ZTLOG_DEBUG, 5, "test", "%s", "line-before-the-change");

    // Another process sets VERBOSE through the command line.
    pid_t child = fork();
    if (child == 0) {
        const std::string zt = std::string(ZT_BINARY_DIR) + "/tools/zt/zt";
        execl(zt.c_str(), "zt", "reg", "add",
              "HKLM\\SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Config", "VERBOSE", "REG_DWORD",
              "5", static_cast<char *>(nullptr));
        _exit(127);
    }
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);

    logmsgvf(ZTLOG_DEBUG, 5, "test", "%s", "line-within-the-minute");
    g_mono += 61; // the log looks at its configuration again
    logmsgvf(ZTLOG_DEBUG, 1, "test", "%s", "line-that-checks");
    logmsgvf(ZTLOG_DEBUG, 5, "test", "%s", "line-after-the-change");

    std::string text = log_text();
    EXPECT_EQ(text.find("line-before-the-change"), std::string::npos) << text;
    EXPECT_EQ(text.find("line-within-the-minute"), std::string::npos) << text;
    EXPECT_NE(text.find("line-after-the-change"), std::string::npos) << text;
}

TEST_F(LogOnConfigTest, ProcessItemsAndFreeKeys) {
    struct Case {
        const char *config;
        const char *process;
        int verbosity;
    } cases[] = {
        {"VERBOSE = 3\nBPTM_VERBOSE = 0\n", "bptm", 3},
        {"VERBOSE = 3\nBPTM_VERBOSE = -1\n", "BPTM", 0},
        {"VERBOSE = 3\nBPTM_VERBOSE = 4\n", "bptm", 4},
        {"VERBOSE = 2\nmyprog_VERBOSE = 5\n", "myprog", 5},
        {"VERBOSE = 2\nOther_Verbose = 6\n", "other", 6},
        {"VERBOSE = 2\nOther_Verbose = many\n", "other", 2},
        {"VERBOSE = 2\n", "nokey", 2},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(update_config(std::string("SERVER = alpha\n") + c.config), 0) << c.config;
        EXPECT_EQ(get_configured_verbose(c.process, nullptr), c.verbosity)
            << c.config << " for " << c.process;
    }
    // The log object of a program with a free key follows it too.
    ASSERT_EQ(update_config("VERBOSE = 1\nmyprog_VERBOSE = 4\n"), 0);
    open();
    logmsgvf(ZTLOG_DEBUG, 4, "test", "%s", "verbosity-four");
    logmsgvf(ZTLOG_DEBUG, 5, "test", "%s", "verbosity-five");
    std::string text = log_text();
    EXPECT_NE(text.find("verbosity-four"), std::string::npos) << text;
    EXPECT_EQ(text.find("verbosity-five"), std::string::npos) << text;
}

TEST_F(LogOnConfigTest, InvalidLimitsAreRepairedInTheStore) {
    ASSERT_EQ(update_config("SERVER = alpha\nMAX_LOGFILE_SIZE = 0\nMAX_NUM_LOGFILES = 1\n"), 0);
    open();
    EXPECT_EQ(stored_text("MAX_LOGFILE_SIZE"), "50");
    EXPECT_EQ(stored_text("MAX_NUM_LOGFILES"), "0");
    EXPECT_EQ(stored_text("SERVER"), "alpha"); // nothing else touched
    std::string text = log_text();
    EXPECT_NE(text.find("MAX_LOGFILE_SIZE was set to invalid value. Updated to default[50] in "
                        "bp.conf"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("MAX_NUM_LOGFILES was set to invalid value. Updated to default[0]"),
              std::string::npos)
        << text;
}

TEST_F(LogOnConfigTest, RobustLoggingSettingsAreConverted) {
    ASSERT_EQ(update_config("SERVER = alpha\nENABLE_ROBUST_LOGGING = 1\n"), 0);
    int err = 0;
    int fd = rl_open_debug_log((root() / "logs").c_str(), "myprog", "myprog", 0, &err, 1, 3000, 4);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(stored_text("MAX_LOGFILE_SIZE"), "3");
    EXPECT_EQ(stored_text("MAX_NUM_LOGFILES"), "4");
    EXPECT_EQ(stored_text("ENABLE_ROBUST_LOGGING"), "NO");
}

TEST_F(LogOnConfigTest, AnUpdateWithoutServersIsRefusedWithItsMessage) {
    ASSERT_EQ(update_config("SERVER = alpha\n"), 0);
    bpconf_test::LogCapture log;
    EXPECT_FALSE(ztbase::ztconf::host_log_source()->update("SERVER\n"));
    EXPECT_FALSE(ztbase::ztconf::host_log_source()->update("VERBOSE = lots\n"));
    EXPECT_TRUE(log.has("CheckSemanticsForUpdate() failed")) << log.all();
    EXPECT_TRUE(log.has("ParseConfigEx() failed")) << log.all();
    EXPECT_EQ(stored_text("SERVER"), "alpha");
}

} // namespace
