#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "ztbase/cmnlog.h"
#include "ztbase/debuglog.h"

namespace {

class CommonLog : public zt::test::ZtTest {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root().path() + "/logs/tool");
        ASSERT_EQ(cmnlogOPEN((root().path() + "/logs").c_str(), "tool", 0), 0);
    }
    void TearDown() override {
        cmnlogCLOSE();
        cmnlogSeveritySET(63);
    }
    std::string text() const {
        for (const auto &e : std::filesystem::directory_iterator(root().path() + "/logs/tool"))
            return zt::test::read_file(e.path().string());
        return "";
    }
};

TEST_F(CommonLog, MaskSelectsLevels) {
    cmnlogSeveritySET(16);
    EXPECT_EQ(cmnlogMSG(2, "debug", "t"), -1);
    EXPECT_EQ(cmnlogMSG(16, "error", "t"), 0);
    char arg0[] = "a", arg1[] = "b";
    char *args[] = {arg0, arg1, nullptr};
    EXPECT_EQ(cmnlogPARAMS(args), -1); // level 4 masked out
    cmnlogSeveritySET(4 | 16);
    EXPECT_EQ(cmnlogPARAMS(args), 0);
    const std::string t = text();
    EXPECT_EQ(t.find("debug"), std::string::npos);
    EXPECT_NE(t.find("<16> t: error"), std::string::npos);
    EXPECT_NE(t.find("<4> cmnlogPARAMS: a b"), std::string::npos);
    EXPECT_EQ(cmnlogCLOSE(), 0);
    EXPECT_EQ(debugFD, -1);
    EXPECT_EQ(cmnlogMSG(16, "closed", "t"), -1);
}

TEST_F(CommonLog, SeverityFromArguments) {
    const struct {
        std::vector<std::string> args;
        int mask;
    } cases[] = {
        {{"-x", "-LOGSEVERITY", "255"}, 63},
        {{"-LOGSEVERITY", "16", "-v"}, 16},
        {{"-LOGSEVERITY=6"}, 6},
        {{"-LOGSEVERITY"}, 63}, // no value: unchanged
        {{"-other", "5"}, 63},
    };
    for (const auto &c : cases) {
        cmnlogSeveritySET(63);
        std::vector<char *> argv;
        for (const auto &a : c.args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        cmnlogARGS(argv.data());
        EXPECT_EQ(cmnlogSEVERITY, c.mask) << c.args[0];
    }
}

} // namespace

namespace {

TEST_F(CommonLog, CloseAfterAFailedWriteStopsTheLog) {
    ASSERT_EQ(cmnlogMSG(4, "before", "t"), 0);
    int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    log_set_locking(0);
    ASSERT_EQ(log_set_debug_fd(full), 0);
    EXPECT_EQ(cmnlogMSG(4, "disk full", "t"), 14);
    EXPECT_EQ(debugFD, -1); // the failed write forgot the descriptor
    EXPECT_EQ(cmnlogCLOSE(), 0);
    log_set_lastConfigReadTime(0); // the check that would reopen the file is due
    logmsg(4, "after the close", "t");
    EXPECT_EQ(text().find("after the close"), std::string::npos) << text();
    EXPECT_EQ(log_get_max_file_size(), 0); // no log object is left
}

} // namespace
