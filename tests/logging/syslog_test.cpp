#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>
#include <wchar.h>

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
    const char *volatile missing = nullptr;
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

// Every event text equals what snprintf prints for the same format and
// arguments (cut to 1024 bytes), from both entry points.
template <typename... A>
void expect_like_printf(const std::vector<Event> &events, const char *format, A... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    std::string want(4096, '\0');
    int n = snprintf(want.data(), want.size(), format, args...);
    ASSERT_GE(n, 0) << format;
    want.resize(std::min<size_t>(static_cast<size_t>(n), 1024));
    V_Syslog(LOG_ERR, format, args...);
    EXPECT_EQ(events.back().strings.at(0), want) << "V_Syslog " << format;
    NTsyslog(LOG_ERR, format, args...);
    EXPECT_EQ(events.back().strings.at(0), want) << "NTsyslog " << format;
#pragma GCC diagnostic pop
}

TEST_F(Syslog, EventsFormatAsPrintfDoes) {
    V_Openlog("bprd", 0, 0);
    expect_like_printf(events, "[%.*s] [%d]", -1, "whole", 5); // a negative precision is none
    expect_like_printf(events, "[%.*s]", 2, "cut");
    expect_like_printf(events, "[%600d] [%s]", 42, "after");
    expect_like_printf(events, "[%-700s|%d]", "wide", 3);
    expect_like_printf(events, "[%S] [%d]", L"wide text", 7); // %S takes its argument
    expect_like_printf(events, "[%C] [%lc] [%d]", static_cast<wint_t>(L'x'),
                       static_cast<wint_t>(L'y'), 9);
    expect_like_printf(events, "[%ls] [%5.2ls]", L"abc", L"abc");
    expect_like_printf(events, "[%2$s %1$s] [%3$*4$d]", "world", "hello", 7, 4);
    expect_like_printf(events, "[%1$d %1$x %1$o]", 255);
    expect_like_printf(events, "[%*d] [%-*.*f]", -6, 42, 10, 2, 3.14159);
    expect_like_printf(events, "[%hhd] [%hd] [%hhu]", 300, 70000, 511);
    expect_like_printf(events, "[%#o] [%+.3e] [%La] [%#x]", 8u, 12345.678, 1.5L, 0u);
    expect_like_printf(events, "[%jd] [%td] [%zu] [%zd] [%lld] [%llu] [%lx]", INTMAX_MIN,
                       static_cast<ptrdiff_t>(-3), static_cast<size_t>(-1),
                       static_cast<ssize_t>(-2), LLONG_MIN, ULLONG_MAX, LONG_MAX);
    expect_like_printf(events, "[%p] [%'d] [%05d] [% d] [%%] [%c]", static_cast<void *>(this),
                       1234567, -42, 7, 'z');
    expect_like_printf(events, "[%g] [%G] [%E] [%F] [%a]", 1e-10, 1e300, 2.5, 1.0 / 3, 0.5);
    expect_like_printf(events, "%s", std::string(3000, 'q').c_str());
}

TEST_F(Syslog, LongFormatsAreCutAfterFormattingNeverToNothing) {
    V_Openlog("bpdbm", 0, 0);
    // The format alone is longer than an event: cut after printing, its
    // conversions printed (a cut format would end inside "%5d").
    const std::string format = std::string(1022, 'x') + "%5d";
    for (bool nt : {true, false}) {
        if (nt)
            NTsyslog(LOG_ERR, format.c_str(), 7);
        else
            V_Syslog(LOG_ERR, format.c_str(), 7);
        EXPECT_EQ(last().strings.at(0), std::string(1022, 'x') + "  ") << nt;
    }
    errno = EACCES;
    NTsyslog(LOG_ERR, (std::string(1010, 'y') + "%m").c_str());
    EXPECT_EQ(last().strings.at(0), (std::string(1010, 'y') + strerror(EACCES)).substr(0, 1024));
}

TEST(SyslogIdent, SourcesGetIdentifiersWithoutBlanks) {
    EXPECT_EQ(ztbase::eventlog::ident_for("Zentor Bare Metal Restore Master Server"),
              "Zentor_Bare_Metal_Restore_Master_Server");
    EXPECT_EQ(ztbase::eventlog::ident_for("Zentor"), "Zentor");
}

// The line that reaches a syslog daemon carries the identifier without
// blanks, so that readers find the source and the pid where they belong.
// Runs in a mount namespace of its own with a socket at /dev/log.
TEST(SyslogIdent, TheSystemLogGetsAnIdentifierWithoutBlanks) {
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    pid_t child = fork();
    if (child == 0) {
        close(result[0]);
        auto answer = [&](const std::string &text) {
            (void)!write(result[1], text.data(), text.size());
            _exit(0);
        };
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
            answer("skip");
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, "/dev/log");
        if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            answer("skip");
        ztbase::eventlog::set_sink(nullptr);
        V_Openlog("bprd", 0, LOG_DAEMON);
        V_Syslog(LOG_ERR, "hello %d", 5);
        V_Closelog();
        char line[1024];
        ssize_t n = recv(s, line, sizeof line - 1, MSG_DONTWAIT);
        answer(n > 0 ? std::string(line, static_cast<size_t>(n)) : "nothing arrived");
    }
    close(result[1]);
    std::string got;
    char buf[1024];
    for (ssize_t n; (n = read(result[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    close(result[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got == "skip")
        GTEST_SKIP() << "no mount namespace here";
    const std::string ident = " Zentor_Request_Daemon[" + std::to_string(child) + "]: hello 5";
    EXPECT_NE(got.find(ident), std::string::npos) << got;
}

} // namespace
