#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "paths/pathconfig_internal.h"
#include "paths/pathconfig_rows.h"
#include "platform/eventlog.h"
#include "platform/registry/registry.h"
#include "support/temp_root.h"
#include "ztbase/cmnlog.h"
#include "ztbase/paths.h"
#include <syslog.h>

namespace {

using namespace ztbase;

constexpr const char kPaths[] = "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Paths";

// Each test starts with a table built afresh from the overrides it writes;
// without any it sees the plain UNIX layout.
class PathTable : public ::testing::Test {
  protected:
    void SetUp() override {
        zt::test::point_environment_at(root_.path());
        pathconfig::reset_for_tests();
        eventlog::set_sink([this](const eventlog::Event &e) { events.push_back(e.strings.at(0)); });
    }
    void TearDown() override {
        eventlog::set_sink(nullptr);
        pathconfig::reset_for_tests();
    }
    void override_path(const std::string &label, const std::string &data) {
        registry::Key key;
        ASSERT_EQ(registry::Key::create(registry::Root::LocalMachine, kPaths, key),
                  registry::Status::Ok);
        ASSERT_EQ(key.set(registry::Value::sz(label, data)), registry::Status::Ok);
    }
    std::string expand(const char *tmpl) {
        char *s = expandFennicString(tmpl);
        std::string out = s != nullptr ? s : "<null>";
        EXPECT_EQ(freeFennicString(s), 1);
        return out;
    }
    std::vector<std::string> events;

  private:
    zt::test::TempRoot root_;
};

TEST_F(PathTable, BuiltInRowsFollowTheirRules) {
    using pathconfig::kBuiltinRows;
    ASSERT_EQ(pathconfig::kBuiltinRowCount, 943u);
    int flags1 = 0, flags12 = 0, flags14 = 0;
    std::set<std::string> labels;
    for (size_t i = 0; i < pathconfig::kBuiltinRowCount; ++i) {
        const auto &row = kBuiltinRows[i];
        EXPECT_TRUE(labels.insert(row.label).second) << "duplicate " << row.label;
        flags1 += row.flags == 1;
        flags12 += row.flags == 12;
        flags14 += row.flags == 14;
        if (row.flags != 1) {
            EXPECT_NE(row.unix_path, nullptr) << row.label;
        }
        // the UNIX path is the template's expansion without overrides
        if (row.unix_path != nullptr) {
            EXPECT_STREQ(getFennicString(row.label), row.unix_path) << row.label;
        }
    }
    EXPECT_EQ(flags1, 881);
    EXPECT_EQ(flags12, 32);
    EXPECT_EQ(flags14, 30);
    EXPECT_EQ(labels.count("_exe") + labels.count("_cmd"), 0u);
    EXPECT_TRUE(events.empty()); // no cycle anywhere in the built-in table
}

TEST_F(PathTable, TellingRowsExpandToTheUnixLayout) {
    const struct {
        const char *label, *value;
    } cases[] = {
        {"_ps", "/"},
        {"_ql_fs", "/usr"},
        {"_tmp_fs", "/tmp"},
        {"_dev_null", "/dev/null"},
        {"QL_DIR", "/usr/quill"},
        {"BP_DIR", "/usr/quill/zentor"},
        {"BP_BIN", "/usr/quill/zentor/bin"},
        {"BP_LOGS", "/usr/quill/zentor/logs"},
        {"MSG_DIR", "/usr/quill/msg"},
        {"VM_BIN", "/usr/quill/volmgr/bin"},
        {"VN_PATH_VNETD", "/usr/quill/var/vnetd"},
        {"VAR_GLOBAL_PATH", "/usr/quill/var/global"},
        {"BPCD_LOCKPATH", "/usr/quill/var/vnetd/bpcd.lock"},
        {"BP_BIN_BPRD", "/usr/quill/zentor/bin/bprd"},
        {"PARENT_START_NOTIFY", "/usr/quill/zentor/bin/parent_start_notify"},
        {"NO_SUCH_LABEL", ""},
        {"X", ""},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(getFennicString(c.label), c.value) << c.label;
    EXPECT_STREQ(getFennicString(nullptr), "");
    // results are the table's own and stay put
    EXPECT_EQ(getFennicString("BP_BIN"), getFennicString("BP_BIN"));
    EXPECT_EQ(getFennicString("SM_DIR"), getFennicString("SM_DIR"));
}

TEST_F(PathTable, TemplatesExpandByTheirRules) {
    const struct {
        const char *tmpl, *value;
    } cases[] = {
        {"${ BP_DIR }x", "/usr/quill/zentorx"},
        {"$BP_DIRx", ""},
        {"${BP_DIR}x", "/usr/quill/zentorx"},
        {"cost \\$5", "cost $5"},
        {"cost $5", "cost \\$5"}, // an invalid "$" keeps its escape
        {"$", "\\$"},
        {"a$", "a\\$"},
        {"${", "\\${"},
        {"${}", "\\${}"},
        {"${ BP_DIR", "\\${ BP_DIR"},
        {"${BP_DIR x}", "\\${BP_DIR x}"},
        {"trailing\\", "trailing"},
        {"\\\\", "\\"},
        {"$_ps$_ps", "//"},
        {"$BP_BIN$_ps${RD_NAME}$_exe", "/usr/quill/zentor/bin/bprd"},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(expand(c.tmpl), c.value) << c.tmpl;
    EXPECT_EQ(expand(nullptr), "");
}

TEST_F(PathTable, OverridesReplaceAddAndRemoveLabels) {
    override_path("BP_DIR", "$BP_DIR/extra"); // $X in X's override: X's previous value
    override_path("BPCD_NAME", "");           // empty: the label goes
    override_path("NEW_LABEL", "  $BP_BIN\\t\\042x\\000\\q  "); // escapes decoded, blanks trimmed
    override_path("Y", "$BP_DIR");                              // one character: not added
    override_path("HEX_VALUE", "0x10");
    override_path("_exe", ".exe");
    EXPECT_STREQ(getFennicString("BP_DIR"), "/usr/quill/zentor/extra");
    EXPECT_STREQ(getFennicString("BP_BIN"), "/usr/quill/zentor/extra/bin");
    EXPECT_STREQ(getFennicString("BP_BIN_BPRD"), "/usr/quill/zentor/extra/bin/bprd.exe");
    EXPECT_STREQ(getFennicString("BPCD_NAME"), "");
    EXPECT_STREQ(getFennicString("NEW_LABEL"), "/usr/quill/zentor/extra/bin\t\"x000q");
    EXPECT_STREQ(getFennicString("Y"), "");
    EXPECT_EQ(getFennicInt("HEX_VALUE"), 16);
    EXPECT_EQ(getFennicInt("NO_SUCH_LABEL"), 0);
    EXPECT_EQ(getFennicInt("SM_DIR"), 0); // not a number
}

TEST_F(PathTable, OverrideLeadingBackThroughOtherLabelsUsesTheirTemplates) {
    // BP_BIN refers to BP_DIR: inside the override of BP_DIR it stands for its
    // own previous template rather than for a loop.
    override_path("BP_DIR", "$BP_BIN${_ps}x");
    override_path("QL_DIR", "/opt/$SM_DIR");
    EXPECT_STREQ(getFennicString("BP_DIR"), "/opt/quill/zentor/bin/x");
    EXPECT_STREQ(getFennicString("BP_BIN"), "/opt/quill/zentor/bin/x/bin");
    EXPECT_TRUE(events.empty());
}

TEST_F(PathTable, UnreadableOverrideIsReportedAndSkipped) {
    registry::Key key;
    ASSERT_EQ(registry::Key::create(registry::Root::LocalMachine, kPaths, key),
              registry::Status::Ok);
    ASSERT_EQ(key.set(registry::Value::sz("SM_DIR", "first")), registry::Status::Ok);
    ASSERT_EQ(key.set(registry::Value{"BP_DIR_NAME", registry::kBinary, "\x01\x02"}),
              registry::Status::Ok);
    EXPECT_STREQ(getFennicString("BP_DIR"), "/usr/first/zentor");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], std::string(kPaths) + " (1) - Registry read failed, Invalid argument.");
}

// A store that cannot be read (as opposed to one without the key) is reported
// once: the process runs on built-in paths, but someone can know why.
TEST_F(PathTable, UnreadableOverrideStoreIsReportedOnce) {
    EXPECT_EQ(openPathsFile(), nullptr); // no store, no key: nothing to say
    EXPECT_TRUE(events.empty());
    zt::test::write_file(registry::root_directory(registry::Root::LocalMachine) + "/registry.db",
                         std::string(8192, 'x'));
    EXPECT_STREQ(getFennicString("BP_DIR"), "/usr/quill/zentor");
    EXPECT_EQ(openPathsFile(), nullptr);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0],
              std::string(kPaths) + " - Registry open failed, registry store is corrupt.");
}

// A list override of REG_MULTI_SZ keeps each name on its own line, also
// where another label runs lists together.
TEST_F(PathTable, ListOverridesKeepOneNamePerLine) {
    registry::Key key;
    ASSERT_EQ(registry::Key::create(registry::Root::LocalMachine, kPaths, key),
              registry::Status::Ok);
    ASSERT_EQ(key.set(registry::Value::multi_sz("BP_EMM_SERVICES", {"mynewd"})),
              registry::Status::Ok);
    ASSERT_EQ(key.set(registry::Value::multi_sz("BP_NOS_SERVICES", {" one ", "two\\t"})),
              registry::Status::Ok);
    EXPECT_STREQ(getFennicString("BP_EMM_SERVICES"), "mynewd\n");
    EXPECT_STREQ(getFennicString("BP_NOS_SERVICES"), "one\ntwo\t\n");
    std::string joined;
    for (const char *label : {"BP_CRITICAL_MASTER_SERVICES", "BP_NOS_SERVICES", "BP_EMM_SERVICES",
                              "BP_MASTER_SERVICES", "BP_BMR_MASTER_SERVICES"})
        joined += getFennicString(label);
    EXPECT_EQ(getFennicString("BP_ZENTOR_SERVICES"), joined);
    EXPECT_NE(joined.find("\nmynewd\n"), std::string::npos) << joined;
    EXPECT_TRUE(events.empty());
}

// A daemon with its own system log open keeps it through a path-table event.
TEST_F(PathTable, PathEventLeavesTheDaemonsLogOpen) {
    std::vector<eventlog::Event> seen;
    eventlog::set_sink([&](const eventlog::Event &e) { seen.push_back(e); });
    V_Openlog("bprd", 0, LOG_DAEMON);
    registry::Key key;
    ASSERT_EQ(registry::Key::create(registry::Root::LocalMachine, kPaths, key),
              registry::Status::Ok);
    ASSERT_EQ(key.set(registry::Value{"BP_DIR_NAME", registry::kBinary, "\x01"}),
              registry::Status::Ok);
    EXPECT_STREQ(getFennicString("BP_DIR"), "/usr/quill/zentor");
    V_Syslog(LOG_INFO, "daemon still %s", "logging");
    NTsyslog(LOG_ERR, "and %d more", 1);
    V_Closelog();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].strings.at(0),
              std::string(kPaths) + " (0) - Registry read failed, Invalid argument.");
    for (const eventlog::Event &e : seen)
        EXPECT_EQ(e.source, "Zentor Request Daemon");
    EXPECT_EQ(seen[1].strings.at(0), "daemon still logging");
    EXPECT_EQ(seen[2].strings.at(0), "and 1 more");

    // without a log of its own, the process's module name is the source
    seen.clear();
    pathconfig::reset_for_tests();
    getFennicString("BP_DIR");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].source, "Zentor");
    NTsyslog(LOG_ERR, "nothing open");
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(PathTable, TemplateCycleExpandsToNothingAndIsReportedOnce) {
    lockConfig();
    ASSERT_TRUE(pathconfig::install_raw_for_tests("SM_DIR", "$QL_DIR")); // QL_DIR uses SM_DIR
    EXPECT_EQ(unlockConfig(), 1);
    EXPECT_STREQ(getFennicString("QL_DIR"), "");
    EXPECT_STREQ(getFennicString("SM_DIR"), "");
    EXPECT_STREQ(getFennicString("BP_DIR"), "/zentor");
    EXPECT_EQ(expand("[$SM_DIR]"), "[]");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "Circular pathconfig label reference detected (QL_DIR).");
}

TEST_F(PathTable, CommandMapFollowsTheModeOfItsFirstUse) {
    EXPECT_STREQ(UnixToLocalCmd("/usr/quill/zentor/bin/bpup", 0), "/usr/quill/zentor/bin/bpup");
    EXPECT_EQ(UnixToLocalCmd("/usr/quill/zentor/bin/bpbrm", 0), nullptr); // flags 12
    EXPECT_EQ(UnixToLocalCmd("/usr/quill/zentor/bin/bpbrm", 1), nullptr); // built already
    EXPECT_EQ(UnixToLocalCmd("/usr/quill/zentor/bin/nothing", 0), nullptr);
    EXPECT_EQ(UnixToLocalCmd("", 0), nullptr);
    EXPECT_EQ(UnixToLocalCmd(nullptr, 0), nullptr);

    pathconfig::reset_for_tests();
    override_path("_exe", ".exe");
    EXPECT_STREQ(UnixToLocalCmd("/usr/quill/zentor/bin/bpbrm", 1),
                 "/usr/quill/zentor/bin/bpbrm.exe");
    EXPECT_STREQ(UnixToLocalCmd("/usr/quill/zentor/bin/bpup", 0), "/usr/quill/zentor/bin/bpup.exe");
    // bprd (flags 12) is in the map because it was built in the wide mode
    EXPECT_STREQ(UnixToLocalCmd("/usr/quill/zentor/bin/bprd", 0), "/usr/quill/zentor/bin/bprd.exe");
}

TEST(NTFennicString, QuotesAreGatheredIntoOnePair) {
    char *s = createNTFennicString("a \"b c\" d");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "\"a b c d\"");
    free(s);
    EXPECT_EQ(createNTFennicString("a \"b c d"), nullptr);
    EXPECT_EQ(createNTFennicString(""), nullptr);
    EXPECT_EQ(createNTFennicString(nullptr), nullptr);
    s = createNTFennicString("plain");
    EXPECT_STREQ(s, "\"plain\"");
    free(s);

    char buf[16] = "x \"y z\"";
    EXPECT_EQ(changeToNTFennicString(buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "\"x y z\"");
    char small[8] = "ab \"cd\"";
    changeToNTFennicString(small, 6);
    EXPECT_STREQ(small, "\"ab c"); // cut to the size given
    char none[8] = "abc";
    changeToNTFennicString(none, sizeof none);
    EXPECT_STREQ(none, "abc");
    char odd[8] = "a\"b";
    changeToNTFennicString(odd, sizeof odd);
    EXPECT_STREQ(odd, "a\"b");
}

TEST_F(PathTable, LockConfigNestsPerThread) {
    EXPECT_EQ(unlockConfig(), 0); // nothing held
    void *t1 = lockConfig();
    void *t2 = lockConfig();
    EXPECT_EQ(t1, t2);
    int other = -1;
    std::thread([&] { other = unlockConfig(); }).join();
    EXPECT_EQ(other, 0); // only the holder gives it back
    EXPECT_EQ(unlockConfig(), 0);
    EXPECT_EQ(unlockConfig(), 1);
    EXPECT_EQ(unlockConfig(), 0);
    // and the table is free again for other threads
    std::string seen;
    std::thread([&] { seen = getFennicString("BP_BIN"); }).join();
    EXPECT_EQ(seen, "/usr/quill/zentor/bin");
}

TEST_F(PathTable, ThreadsShareOneTable) {
    std::vector<std::thread> threads;
    std::vector<const char *> seen(4);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 200; ++n)
                seen[i] = getFennicString(n % 2 ? "BPCD_LOCKPATH" : "VN_PATH_VNETD");
        });
    for (auto &t : threads)
        t.join();
    for (const char *s : seen)
        EXPECT_EQ(s, getFennicString("BPCD_LOCKPATH"));
}

TEST(ModuleID, BaseNameOfTheProgram) {
    EXPECT_STREQ(getModuleID(), "test_paths");
    EXPECT_EQ(setModuleID(nullptr), 0);
    EXPECT_EQ(setModuleID("bprd"), 1);
    EXPECT_STREQ(getModuleID(), "bprd");
}

TEST(PathsFile, MissingKeyGivesNoHandle) {
    zt::test::TempRoot root;
    zt::test::point_environment_at(root.path());
    EXPECT_EQ(openPathsFile(), nullptr);
    char *name = nullptr, *value = nullptr;
    EXPECT_EQ(readPathsFile(nullptr, &name, &value), 0);
    closePathsFile(nullptr);
}

} // namespace

namespace {

class RootedPaths : public zt::test::ZtTest {};

TEST_F(RootedPaths, EveryLabelExpandsBelowTheTestRoot) {
    const std::string root = this->root().path();
    for (size_t i = 0; i < ztbase::pathconfig::kBuiltinRowCount; ++i) {
        const char *label = ztbase::pathconfig::kBuiltinRows[i].label;
        std::string value = getFennicString(label);
        if (value.empty() || value[0] != '/' || value == "/" || value == "/dev/null" ||
            value == "/bin/sh" || value == "/bin")
            continue;
        EXPECT_EQ(value.compare(0, root.size(), root), 0) << label << " = " << value;
    }
    EXPECT_EQ(std::string(getFennicString("BP_LOGS")), root + "/usr/quill/zentor/logs");
}

} // namespace
