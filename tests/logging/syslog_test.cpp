#include <cerrno>
#include <string>
#include <syslog.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/eventlog.h"
#include "ztbase/cmnlog.h"

namespace {

using ztbase::eventlog::Event;
using ztbase::eventlog::Type;

class Syslog : public ::testing::Test {
  protected:
    void SetUp() override {
        ztbase::eventlog::set_sink([this](const Event &e) { events.push_back(e); });
    }
    void TearDown() override {
        V_Closelog();
        ztbase::eventlog::set_sink(nullptr);
    }
    const Event &last() const { return events.back(); }
    std::vector<Event> events;
};

TEST_F(Syslog, NothingBeforeOpenAndOneSourcePerProcess) {
    NTsyslog(LOG_ERR, "too early");
    V_Syslog(LOG_ERR, "too early");
    EXPECT_TRUE(events.empty());

    V_Openlog("bprd", 0, LOG_DAEMON);
    V_Openlog("vmd", 0, LOG_DAEMON); // ignored until closed
    NTsyslog(LOG_ERR, "one");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(last().source, "Zentor Request Daemon");
    EXPECT_EQ(last().strings, std::vector<std::string>{"one"});
    EXPECT_EQ(last().category, 0);
    EXPECT_EQ(last().id, 0u);

    V_Closelog();
    NTsyslog(LOG_ERR, "closed");
    EXPECT_EQ(events.size(), 1u);
    V_Openlog("no-such-program", 0, 0);
    V_Syslog(LOG_INFO, "two");
    EXPECT_EQ(last().source, "Zentor");
    V_Closelog();
    V_Openlog("bpinetd", 0, 0);
    V_Syslog(LOG_INFO, "three");
    EXPECT_EQ(last().source, "Zentor Legacy Client Service");
}

TEST_F(Syslog, PriorityGivesTheEventType) {
    V_Openlog("bpcd", 0, 0);
    const struct {
        int priority;
        Type type;
    } cases[] = {{LOG_EMERG, Type::Error},      {LOG_ALERT, Type::Error},
                 {LOG_CRIT, Type::Error},       {LOG_ERR, Type::Error},
                 {LOG_WARNING, Type::Warning},  {LOG_NOTICE, Type::Information},
                 {LOG_INFO, Type::Information}, {LOG_DEBUG, Type::Information}};
    for (const auto &c : cases) {
        NTsyslog(c.priority, "p%d", c.priority);
        EXPECT_EQ(last().type, c.type) << c.priority;
        V_Syslog(c.priority, "p%d", c.priority);
        EXPECT_EQ(last().type, c.type) << c.priority;
    }
}

TEST_F(Syslog, PercentMInsertsTheErrorText) {
    V_Openlog("vnetd", 0, 0);
    errno = ENOENT;
    NTsyslog(LOG_ERR, "open %s: %m; literal %%m; rate 5%%", "file");
    EXPECT_EQ(last().strings[0], "open file: No such file or directory; literal %m; rate 5%");
    EXPECT_EQ(errno, ENOENT);
    errno = EACCES;
    V_Syslog(LOG_ERR, "open %s: %m", "file");
    EXPECT_EQ(last().strings[0], "open file: Permission denied");
}

TEST_F(Syslog, VSyslogFormatsLikePrintfAndShowsNullStrings) {
    V_Openlog("bptm", 0, 0);
    const char *missing = nullptr;
    V_Syslog(LOG_ERR, "[%s] [%8s] [%-6s|] [%.3s]", missing, "abc", "de", "abcdef");
    EXPECT_EQ(last().strings[0], "[<NULL>] [     abc] [de    |] [abc]");
    char expected[256];
    snprintf(expected, sizeof expected, "%5d|%-4u|%x|%lld|%zu|%.2f|%c|%*d|%%", -42, 7u, 255u, -5LL,
             static_cast<size_t>(9), 3.14159, 'z', 4, 3);
    V_Syslog(LOG_ERR, "%5d|%-4u|%x|%lld|%zu|%.2f|%c|%*d|%%", -42, 7u, 255u, -5LL,
             static_cast<size_t>(9), 3.14159, 'z', 4, 3);
    EXPECT_EQ(last().strings[0], expected);
}

TEST_F(Syslog, LongMessagesAreCutToOneBoundedEvent) {
    V_Openlog("bpdbm", 0, 0);
    std::string big(5000, 'x');
    NTsyslog(LOG_ERR, "%s", big.c_str());
    EXPECT_EQ(last().strings[0].size(), 1024u);
    V_Syslog(LOG_ERR, "%s and more", big.c_str());
    EXPECT_EQ(last().strings[0].size(), 1024u);
    NTsyslog(LOG_ERR, "%s", (std::string(1023, 'z') + "%").c_str()); // a '%' in the text is data
    EXPECT_EQ(last().strings[0].size(), 1024u);
}

} // namespace
