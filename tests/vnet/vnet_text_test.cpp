#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/tss.h"
#include "support/temp_root.h"
#include "vnet/vnet_services.h"
#include "ztbase/vnet.h"
#include "ztbase/vtext.h"

namespace {

using zt::test::read_file;
using zt::test::write_file;

std::string dump(const json_t *j) {
    char *text = json_dumps(j, JSON_SORT_KEYS | JSON_ENCODE_ANY);
    std::string s = text != nullptr ? text : "";
    free(text);
    return s;
}

TEST(VnetTss, EntriesLargeStatusLogsAndTaking) {
    vnet_tss_free();
    EXPECT_EQ(vnet_tss_get(0), nullptr);
    ASSERT_EQ(vnet_tss_set_large_status("caller", 7, 1), 0);
    ASSERT_EQ(vnet_tss_set_new("k", "who", 3, "a comment", json_string("v")), 0);
    ASSERT_EQ(vnet_tss_append_log_new("proxy", 9, json_string("one")), 0);
    ASSERT_EQ(vnet_tss_append_log_new("proxy", 10, json_string("two")), 0);
    json_t *logs = vnet_tss_get_logs();
    EXPECT_EQ(dump(logs), R"(["one", "two"])");
    json_decref(logs);

    json_t *copy = vnet_tss_get(0);
    ASSERT_NE(copy, nullptr);
    json_t *k = json_object_get(copy, "k");
    EXPECT_STREQ(json_string_value(json_object_get(k, "who")), "who");
    EXPECT_EQ(json_integer_value(json_object_get(k, "line_number")), 3);
    EXPECT_STREQ(json_string_value(json_object_get(k, "comment")), "a comment");
    EXPECT_TRUE(json_is_integer(json_object_get(k, "timestamp")));
    EXPECT_STREQ(
        json_string_value(json_object_get(json_object_get(copy, "allow_large_status"), "comment")),
        "allow vnet status > 255");
    json_decref(copy);

    // init empties the record but keeps the permission
    ASSERT_EQ(vnet_tss_init(), 0);
    EXPECT_EQ(vnet_tss_get_large_status(), 1);
    EXPECT_EQ(vnet_tss_get_logs(), nullptr);
    json_t *after = vnet_tss_get(0);
    json_t *entry = json_object_get(after, "allow_large_status");
    EXPECT_STREQ(json_string_value(json_object_get(entry, "who")), "vnet_tss_init");
    EXPECT_EQ(json_integer_value(json_object_get(entry, "line_number")), 32);
    EXPECT_EQ(json_object_size(after), 1u);
    json_decref(after);

    // taking leaves the thread without a record
    json_t *taken = vnet_tss_get(1);
    ASSERT_NE(taken, nullptr);
    json_decref(taken);
    EXPECT_EQ(vnet_tss_get(0), nullptr);
    EXPECT_EQ(vnet_tss_get_large_status(), 0);
}

TEST(VnetTss, ConnectionReportIsCopiedIn) {
    vnet_tss_free();
    ztbase_tss_data *block = nullptr;
    ASSERT_EQ(ztbase_get_tss_data(&block), 0);
    block->connect_recs = strdup("attempt 1 failed");
    json_t *record = vnet_tss_get(0);
    json_t *entry = json_object_get(record, "connect_recs");
    EXPECT_STREQ(json_string_value(json_object_get(entry, "data")), "attempt 1 failed");
    EXPECT_STREQ(json_string_value(json_object_get(entry, "who")), "vnet_tss_get");
    EXPECT_EQ(json_integer_value(json_object_get(entry, "line_number")), 97);
    json_decref(record);
    free(block->connect_recs);
    block->connect_recs = nullptr;
    vnet_tss_free();
}

TEST(VnetTss, EachThreadHasItsOwnRecord) {
    auto worker = [](const char *name, int allow, std::string *seen) {
        vnet_tss_set_large_status(name, 1, allow);
        for (int i = 0; i < 100; ++i)
            vnet_tss_append_log_new(name, i, json_integer(i));
        json_t *logs = vnet_tss_get_logs();
        *seen = std::to_string(json_array_size(logs)) + " " +
                std::to_string(vnet_tss_get_large_status()) + " " +
                std::to_string(vnet_to_zt_status(7650));
        json_decref(logs);
        // the record is released when the thread ends
    };
    std::string a, b;
    std::thread ta(worker, "a", 1, &a), tb(worker, "b", 0, &b);
    ta.join();
    tb.join();
    EXPECT_EQ(a, "100 1 7650");
    EXPECT_EQ(b, "100 0 61");
    EXPECT_EQ(vnet_tss_get_logs(), nullptr); // nothing leaked into this thread
}

// ---- the services file ----

struct Entry {
    std::string name, ipc, icmd, dcmd;
    unsigned long pid, regtime, exptime;
    std::vector<std::string> args;
    bool operator==(const Entry &) const = default;
};

std::vector<Entry> entries_of(const vnet_service_entry *list) {
    std::vector<Entry> out;
    const vnet_service_entry *prev = nullptr;
    for (const vnet_service_entry *e = list; e != nullptr; prev = e, e = e->next) {
        EXPECT_EQ(e->prev, prev);
        Entry x{e->name ? e->name : "<null>",
                e->ipc ? e->ipc : "<null>",
                e->icmd ? e->icmd : "<null>",
                e->dcmd ? e->dcmd : "<null>",
                e->pid,
                e->regtime,
                e->exptime,
                {}};
        for (int i = 0; i < e->arg_count; ++i)
            x.args.push_back(e->args[i]);
        EXPECT_EQ(e->args == nullptr ? nullptr : e->args[e->arg_count], nullptr);
        out.push_back(x);
    }
    return out;
}

std::vector<Entry> read_entries(const std::string &path, int expected_status = 0) {
    vnet_service_entry *list = nullptr;
    EXPECT_EQ(vnet_read_service_file(path.c_str(), &list), expected_status);
    auto out = entries_of(list);
    vnet_free_service_list(list);
    return out;
}

class VnetServices : public zt::test::ZtTest {
  protected:
    std::string path() const { return root() / "svc/registered"; }
};

TEST_F(VnetServices, HandWrittenFileSurvivesReadUpdateRead) {
    write_file(path(),
               "# registered services\n"
               "NAME= bpcd ;PID=123;REGTIME=0x10;EXPTIME=010;IPC= 77 ;ARG= -standalone ;\n"
               "  name=\"with space\" ;  pid = 5 ;FUTURE=whatever;ARG='say \"hi\"';ARG=\"\";\n"
               "\n"
               "Name=plain;Icmd=\"/bin/x -y\";Dcmd= a;b ;Unknown=\"q\";\n"
               "NAME= continued\\\n"
               " ;PID=9;\n");
    auto first = read_entries(path());
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[0], (Entry{"bpcd", "77", "<null>", "<null>", 123, 16, 8, {"-standalone"}}));
    EXPECT_EQ(first[1],
              (Entry{"with space", "<null>", "<null>", "<null>", 5, 0, 0, {"say \"hi\"", ""}}));
    EXPECT_EQ(first[2], (Entry{"plain", "<null>", "/bin/x -y", "a;b", 0, 0, 0, {}}));
    EXPECT_EQ(first[3], (Entry{"continued", "<null>", "<null>", "<null>", 9, 0, 0, {}}));

    vnet_service_entry *list = nullptr;
    ASSERT_EQ(vnet_read_service_file(path().c_str(), &list), 0);
    ASSERT_EQ(vnet_update_service_file(path().c_str(), list), 0);
    vnet_free_service_list(list);
    EXPECT_EQ(read_entries(path()), first);
    const std::string written = read_file(path());
    EXPECT_EQ(written.substr(0, written.find('\n')),
              "NAME= bpcd ;PID=123;REGTIME=16;EXPTIME=8;IPC= 77 ;ARG= -standalone ;");

    // a second round changes no byte
    ASSERT_EQ(vnet_read_service_file(path().c_str(), &list), 0);
    ASSERT_EQ(vnet_update_service_file(path().c_str(), list), 0);
    vnet_free_service_list(list);
    EXPECT_EQ(read_file(path()), written);
}

TEST_F(VnetServices, AddEntryPlacesAndNormalises) {
    write_file(path() + ".other", ""); // the directory
    vnet_service_entry *list = nullptr;
    char a1[] = "--flag", a2[] = "two words";
    char *args[] = {a1, a2, nullptr};
    ASSERT_EQ(
        vnet_add_service_entry(&list, nullptr, "first", 1, 0, 0, "10", nullptr, nullptr, nullptr),
        0);
    ASSERT_EQ(
        vnet_add_service_entry(&list, list, "third", 3, 0, 0, nullptr, nullptr, nullptr, args), 0);
    ASSERT_EQ(vnet_add_service_entry(&list, list, "second", 2, 0, 0, nullptr, "", nullptr, nullptr),
              0);
    vnet_service_entry stranger{};
    ASSERT_EQ(vnet_add_service_entry(&list, &stranger, "zero", 0, 5, 6, nullptr, nullptr, nullptr,
                                     nullptr),
              0);
    auto entries = entries_of(list);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, "zero"); // after an entry not in the list: at the head
    EXPECT_EQ(entries[1].name, "first");
    EXPECT_EQ(entries[2].name, "second");
    EXPECT_EQ(entries[2].icmd, ""); // an empty text stays an empty text
    EXPECT_EQ(entries[3].args, (std::vector<std::string>{"--flag", "two words"}));

    // texts no line can carry
    const char *bad[] = {"line\nbreak", "both ' and \"", "cr\r"};
    for (const char *text : bad)
        EXPECT_EQ(vnet_add_service_entry(&list, nullptr, text, 0, 0, 0, nullptr, nullptr, nullptr,
                                         nullptr),
                  VNET_BAD_STRING)
            << text;
    EXPECT_EQ(entries_of(list).size(), 4u);

    ASSERT_EQ(vnet_update_service_file(path().c_str(), list), 0);
    EXPECT_EQ(read_entries(path()), entries);
    vnet_free_service_list(list);
}

TEST_F(VnetServices, HostileFilesSkipLinesNeverCrash) {
    const struct {
        std::string text;
        size_t entries;
    } cases[] = {
        {"NAME=ok;PID=12x;\nNAME=good;\n", 1},            // junk after a number
        {"NAME=ok;PID=99999999999999999999999;\n", 0},    // overflow
        {"NAME=ok;PID=-1;\n", 0},                         // no sign on a number
        {"NAME=\"unterminated;\nNAME=x;", 1},             // no closing quote; no final newline
        {"NAME='a'junk;\n", 0},                           // text after a closing quote
        {"JUSTAKEY\n", 0},                                // no '='
        {std::string("NAME=a\0b;\n", 10), 1},             // a NUL ends the line's text
        {"NAME=x;\\", 0},                                 // backslash at the end of the file
        {"NAME=" + std::string(1 << 20, 'n') + ";\n", 1}, // a 1 MB line
        {"\"'\"'=;;;;===\n", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        write_file(path(), c.text);
        EXPECT_EQ(read_entries(path()).size(), c.entries);
    }
    EXPECT_EQ(read_entries(root() / "missing", VNET_OPEN_FAILED).size(), 0u);
}

TEST_F(VnetServices, FailedUpdateLeavesTheFileAsItWas) {
    write_file(path(), "NAME=keep;\n");
    vnet_service_entry bad{};
    char name[] = "both ' and \"";
    bad.name = name;
    EXPECT_EQ(vnet_update_service_file(path().c_str(), &bad), VNET_BAD_STRING);
    EXPECT_EQ(read_file(path()), "NAME=keep;\n");
    EXPECT_EQ(vnet_update_service_file((root() / "no/such/dir/file").c_str(), nullptr),
              VNET_OPEN_FAILED);
}

// ---- debug values ----

std::vector<std::string> g_lines;
void capture(const char *function, int level, const char *line) {
    g_lines.push_back(std::string(function) + "|" + std::to_string(level) + "|" + line);
}

TEST(VnetDebugValues, LinesReachTheInstalledSink) {
    g_lines.clear();
    vnet_debug_sink_fn old = vnet_set_debug_sink(capture);
    vnet_debug_value_level("/src/dir/vnet.cpp", 10, "fn", "label", "text", 0, 0);
    vnet_debug_value_level("vnet.cpp", 11, "fn", "small", nullptr, 255, 0);
    vnet_debug_value_level("vnet.cpp", 12, "fn", "large", nullptr, int64_t(1) << 32, 0);
    vnet_failure("a/b/c.cpp", 13, "caller", VNET_TIMEOUT);
    vnet_debug_value("x.cpp", 14, "fn", "filtered", "at level 4", 0); // above the verbosity
    vnet_set_debug_sink(old);
    ASSERT_EQ(g_lines.size(), 4u);
    EXPECT_EQ(g_lines[0], "fn|0|vnet.cpp.10: 0: label: text");
    EXPECT_EQ(g_lines[1], "fn|0|vnet.cpp.11: 0: small: 255 0x000000ff");
    EXPECT_EQ(g_lines[2], "fn|0|vnet.cpp.12: 0: large: 4294967296 0x100000000");
    EXPECT_EQ(g_lines[3], "caller|0|c.cpp.13: 0: Function failed: 11 0x0000000b");
    EXPECT_STREQ(vnet_log_basename("/a/b/c"), "c");
    EXPECT_STREQ(vnet_log_basename("plain"), "plain");
}

} // namespace
