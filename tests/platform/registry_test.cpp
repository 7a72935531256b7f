#include <atomic>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "platform/registry/registry.h"
#include "registry_fixture.h"
#include "support/temp_root.h"
#include "ztbase/status.h"

namespace {

using namespace ztbase::registry;

constexpr const char kCurrentVersion[] = "SOFTWARE\\Halvane\\Zentor\\CurrentVersion";

using zt::test::Registry;
using zt::test::spawn;
using zt::test::wait_ok;

TEST_F(Registry, TypesRoundTripAndNamesIgnoreCase) {
    Key key = make(std::string(kCurrentVersion) + "\\Config");
    const Value values[] = {
        Value::sz("SERVER", "master.example.com"),
        Value::sz("EMPTY", ""),
        Value::sz("Unicode", "gr\xc3\xbc\xc3\x9f dich"),
        Value::dword("VERBOSE", 5),
        Value::dword("Max", 0xFFFFFFFFu),
        Value::multi_sz("Lines", {"first line", "second", "third"}),
        Value{"Blob", kBinary, std::string("\x00\x01\xff", 3)},
    };
    for (const Value &v : values)
        ASSERT_EQ(key.set(v), Status::Ok) << v.name;
    for (const Value &v : values) {
        Value got;
        ASSERT_EQ(key.query(v.name, got), Status::Ok) << v.name;
        EXPECT_EQ(got.name, v.name);
        EXPECT_EQ(got.type, v.type);
        EXPECT_EQ(got.data, v.data) << v.name;
    }
    Value got;
    ASSERT_EQ(key.query("verbose", got), Status::Ok);
    EXPECT_EQ(got.name, "VERBOSE"); // stored case kept
    EXPECT_EQ(got.number(), 5u);
    ASSERT_EQ(key.query("LINES", got), Status::Ok);
    EXPECT_EQ(got.strings(), (std::vector<std::string>{"first line", "second", "third"}));

    Key again;
    ASSERT_EQ(
        Key::open(Root::LocalMachine, "software\\HALVANE\\zentor\\currentversion\\config", again),
        Status::Ok);
    ASSERT_EQ(again.query("server", got), Status::Ok);
    EXPECT_EQ(got.text(), "master.example.com");
}

TEST_F(Registry, EnumerationKeepsCreationOrder) {
    Key key = make("SOFTWARE\\Order");
    for (const char *name : {"zeta", "Alpha", "mid", "beta"})
        ASSERT_EQ(key.set(Value::sz(name, name)), Status::Ok);
    ASSERT_EQ(key.set(Value::dword("ALPHA", 7)), Status::Ok); // set again: same place, first case
    ASSERT_EQ(key.remove_value("mid"), Status::Ok);
    ASSERT_EQ(key.set(Value::sz("mid", "back")), Status::Ok); // deleted then made anew: last
    std::vector<Value> values;
    ASSERT_EQ(key.values(values), Status::Ok);
    std::vector<std::string> names;
    for (const Value &v : values)
        names.push_back(v.name);
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "Alpha", "beta", "mid"}));
    EXPECT_EQ(values[1].type, kDword);

    make("SOFTWARE\\Order\\b");
    make("SOFTWARE\\Order\\A\\deep");
    std::vector<std::string> subkeys;
    ASSERT_EQ(key.subkeys(subkeys), Status::Ok);
    EXPECT_EQ(subkeys, (std::vector<std::string>{"A", "b"}));
}

TEST_F(Registry, LastWriteMovesOnSetAndDeleteOnly) {
    Key key = make("SOFTWARE\\Times");
    int64_t t0 = 0, t1 = 0, t2 = 0, t3 = 0, t4 = 0;
    ASSERT_EQ(key.last_write(t0), Status::Ok);
    ASSERT_EQ(key.set(Value::dword("a", 1)), Status::Ok);
    ASSERT_EQ(key.last_write(t1), Status::Ok);
    EXPECT_GT(t1, t0);
    Value v;
    ASSERT_EQ(key.query("a", v), Status::Ok);
    std::vector<Value> all;
    ASSERT_EQ(key.values(all), Status::Ok);
    EXPECT_EQ(key.remove_value("no-such-value"), Status::NotFound);
    Key reopened;
    ASSERT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\Times", reopened), Status::Ok);
    ASSERT_EQ(reopened.last_write(t2), Status::Ok);
    EXPECT_EQ(t2, t1); // reads and a failed delete change nothing
    ASSERT_EQ(key.set(Value::dword("a", 1)), Status::Ok);
    ASSERT_EQ(key.last_write(t3), Status::Ok);
    EXPECT_GT(t3, t2); // even the same data, even within one clock tick
    ASSERT_EQ(key.remove_value("A"), Status::Ok);
    ASSERT_EQ(key.last_write(t4), Status::Ok);
    EXPECT_GT(t4, t3);
}

TEST_F(Registry, MissingStoreKeyOrValueIsNotFoundAndCreatesNothing) {
    Key key;
    EXPECT_EQ(Key::open(Root::LocalMachine, kCurrentVersion, key), Status::NotFound);
    EXPECT_FALSE(std::filesystem::exists(db_file()));
    EXPECT_EQ(Key::remove_tree(Root::LocalMachine, "SOFTWARE"), Status::NotFound);

    Key made = make("SOFTWARE\\A");
    EXPECT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\B", key), Status::NotFound);
    Value v;
    EXPECT_EQ(made.query("nothing", v), Status::NotFound);
    EXPECT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\\\A", key), Status::InvalidArgument);
    EXPECT_EQ(Key::open(Root::CurrentUser, "SOFTWARE\\A", key), Status::NotFound); // other root
}

TEST_F(Registry, DeletedKeyHandlesAnswerNotFound) {
    Key parent = make("SOFTWARE\\Tree");
    Key child = make("SOFTWARE\\Tree\\Child\\Grandchild");
    ASSERT_EQ(child.set(Value::sz("v", "x")), Status::Ok);
    ASSERT_EQ(Key::remove_tree(Root::LocalMachine, "software\\tree"), Status::Ok);
    Value v;
    int64_t t = 0;
    std::vector<Value> values;
    EXPECT_EQ(child.query("v", v), Status::NotFound);
    EXPECT_EQ(child.set(Value::sz("v", "y")), Status::NotFound);
    EXPECT_EQ(child.last_write(t), Status::NotFound);
    EXPECT_EQ(parent.values(values), Status::NotFound);
    Key gone;
    EXPECT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\Tree\\Child", gone), Status::NotFound);
    // a key made anew under the same name is a different key
    make("SOFTWARE\\Tree\\Child\\Grandchild");
    EXPECT_EQ(child.query("v", v), Status::NotFound);
}

TEST_F(Registry, CorruptStoreGivesAClearError) {
    zt::test::write_file(db_file(), std::string(8192, 'x'));
    Key key;
    EXPECT_EQ(Key::open(Root::LocalMachine, kCurrentVersion, key), Status::Corrupt);
    EXPECT_EQ(Key::create(Root::LocalMachine, kCurrentVersion, key), Status::Corrupt);
    EXPECT_STREQ(status_text(Status::Corrupt), "registry store is corrupt");
}

TEST_F(Registry, ConcurrentWritersInSeveralProcessesLoseNothing) {
    Key key = make("SOFTWARE\\Shared");
    constexpr int kChildren = 4, kValues = 40;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c)
        children.push_back(spawn([c] {
            Key mine;
            if (Key::create(Root::LocalMachine, "SOFTWARE\\Shared", mine) != Status::Ok)
                return 1;
            for (int i = 0; i < kValues; ++i)
                if (mine.set(Value::dword("p" + std::to_string(c) + "v" + std::to_string(i),
                                          static_cast<uint32_t>(c * 1000 + i))) != Status::Ok)
                    return 2;
            return 0;
        }));
    for (pid_t pid : children)
        EXPECT_EQ(wait_ok(pid), 0);
    std::vector<Value> values;
    ASSERT_EQ(key.values(values), Status::Ok);
    ASSERT_EQ(values.size(), static_cast<size_t>(kChildren * kValues));
    for (int c = 0; c < kChildren; ++c)
        for (int i = 0; i < kValues; ++i) {
            Value v;
            ASSERT_EQ(key.query("p" + std::to_string(c) + "v" + std::to_string(i), v), Status::Ok);
            EXPECT_EQ(v.number(), static_cast<uint32_t>(c * 1000 + i));
        }
}

TEST_F(Registry, ProcessesCreatingANewStoreTogetherAllSucceed) {
    std::vector<pid_t> children;
    for (int c = 0; c < 6; ++c)
        children.push_back(spawn([c] {
            Key key;
            if (Key::create(Root::LocalMachine, "SOFTWARE\\First\\Use", key) != Status::Ok)
                return 1;
            return key.set(Value::dword("p" + std::to_string(c), 1)) == Status::Ok ? 0 : 2;
        }));
    for (pid_t pid : children)
        EXPECT_EQ(wait_ok(pid), 0);
    Key key;
    ASSERT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\First\\Use", key), Status::Ok);
    std::vector<Value> values;
    ASSERT_EQ(key.values(values), Status::Ok);
    EXPECT_EQ(values.size(), 6u);
}

TEST_F(Registry, ReaderInAnotherProcessSeesOldOrNewValueWhole) {
    Key key = make("SOFTWARE\\Flip");
    const std::string a(4000, 'a'), b(4000, 'b');
    ASSERT_EQ(key.set(Value::sz("data", a)), Status::Ok);
    pid_t writer = spawn([&] {
        Key mine;
        if (Key::open(Root::LocalMachine, "SOFTWARE\\Flip", mine) != Status::Ok)
            return 1;
        for (int i = 0; i < 300; ++i)
            if (mine.set(Value::sz("data", i % 2 ? a : b)) != Status::Ok)
                return 2;
        return 0;
    });
    int seen_b = 0;
    for (int i = 0; i < 600; ++i) {
        Value v;
        ASSERT_EQ(key.query("data", v), Status::Ok);
        ASSERT_TRUE(v.data == a || v.data == b) << "torn value of " << v.data.size() << " bytes";
        seen_b += v.data == b;
    }
    EXPECT_EQ(wait_ok(writer), 0);
    Value last;
    ASSERT_EQ(key.query("data", last), Status::Ok);
    EXPECT_EQ(last.data, a); // the writer's final value is visible here
}

TEST_F(Registry, ThreadsShareTheStore) {
    Key key = make("SOFTWARE\\Threads");
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string name = "t" + std::to_string(t) + "i" + std::to_string(i);
                Value v;
                int64_t ns = 0;
                if (key.set(Value::dword(name, static_cast<uint32_t>(i))) != Status::Ok ||
                    key.query(name, v) != Status::Ok || v.number() != static_cast<uint32_t>(i) ||
                    key.last_write(ns) != Status::Ok)
                    ++failures;
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    std::vector<Value> values;
    ASSERT_EQ(key.values(values), Status::Ok);
    EXPECT_EQ(values.size(), 200u);
}

// A user's process reads the machine's store, which only root may write, and
// sees root's later changes.
TEST_F(Registry, ReaderWithoutWriteAccessSeesTheStore) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a reader as another user";
    Key key = make("SOFTWARE\\Shared\\Config");
    ASSERT_EQ(key.set(Value::sz("SERVER", "first")), Status::Ok);
    open_to_all();
    int to_child[2], to_parent[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(to_parent), 0);
    pid_t reader = spawn([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 10;
        Key mine;
        Value v;
        if (Key::open(Root::LocalMachine, "SOFTWARE\\Shared\\Config", mine) != Status::Ok ||
            mine.query("SERVER", v) != Status::Ok || v.text() != "first")
            return 11;
        if (mine.set(Value::sz("SERVER", "mine")) == Status::Ok)
            return 12; // the store is not ours to write
        char c = 0;
        if (write(to_parent[1], "r", 1) != 1 || read(to_child[0], &c, 1) != 1)
            return 13;
        if (mine.query("SERVER", v) != Status::Ok || v.text() != "second")
            return 14;
        return 0;
    });
    close(to_parent[1]); // a reader that stops early closes the pipe: no wait for ever
    close(to_child[0]);
    char c = 0;
    if (read(to_parent[0], &c, 1) == 1) {
        EXPECT_EQ(key.set(Value::sz("SERVER", "second")), Status::Ok);
        EXPECT_EQ(write(to_child[1], "w", 1), 1);
    }
    close(to_child[1]);
    close(to_parent[0]);
    EXPECT_EQ(wait_ok(reader), 0);
}

TEST_F(Registry, ExportShowsKeysAndValuesReadably) {
    Key key = make("SOFTWARE\\Export\\Sub");
    ASSERT_EQ(key.set(Value::sz("Path", "C:\\dir \"q\"")), Status::Ok);
    ASSERT_EQ(key.set(Value::dword("Count", 26)), Status::Ok);
    ASSERT_EQ(key.set(Value::multi_sz("List", {"a", "b"})), Status::Ok);
    std::string text;
    ASSERT_EQ(export_text(Root::LocalMachine, "SOFTWARE\\Export", text), Status::Ok);
    EXPECT_NE(text.find("[SOFTWARE\\\\Export\\\\Sub] "), std::string::npos) << text;
    EXPECT_NE(text.find("\"Path\"=\"C:\\\\dir \\\"q\\\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Count\"=dword:0000001a\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"List\"=str(7):\"a\\0b\\0\\0\"\n"), std::string::npos) << text;
}

TEST_F(Registry, InvalidParameterHandlerGoesOnWhenTheSwitchIsSet) {
    Key key = make(kCurrentVersion);
    ASSERT_EQ(key.set(Value::dword("NO_CRASH_ON_INVALID_PARAMETER", 0)), Status::Ok);
    ZT_InvalidParameterHandler(u"p != NULL", u"strcpy", u"file.c", 7, 0); // returns, no SIGTRAP
    SUCCEED();
}

// Names match as Windows matches them: every letter that has a case, not
// only ASCII; ß has no simple case partner and stays apart from "ss".
TEST_F(Registry, NamesIgnoreCaseAcrossUnicode) {
    const struct {
        const char *made, *looked_up;
        bool same;
    } cases[] = {
        {"\xc3\x89t\xc3\xa9", "\xc3\xa9T\xc3\x89", true}, // Été / éTÉ
        {"\xce\xa3\xce\xbf\xcf\x86\xce\xaf\xce\xb1", "\xcf\x83\xce\xbf\xcf\x86\xce\xaf\xce\xb1",
         true}, // Σοφία / σοφία
        {"\xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87", "\xd0\xba\xd0\x9b\xd0\xae\xd0\xa7",
         true}, // Ключ / кЛЮЧ
        {"stra\xc3\x9f"
         "e",
         "STRASSE", false},
        {"caf\xc3\xa9", "cafe", false},
        {"bad\xff"
         "Byte",
         "BAD\xff"
         "byte",
         true}, // not UTF-8: ASCII letters still fold
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.made);
        const std::string base = std::string("SOFTWARE\\Names\\") + c.made;
        Key key = make(base);
        ASSERT_EQ(key.set(Value::sz(c.made, "v")), Status::Ok);
        Key found;
        EXPECT_EQ(
            Key::open(Root::LocalMachine, std::string("SOFTWARE\\Names\\") + c.looked_up, found),
            c.same ? Status::Ok : Status::NotFound);
        Value v;
        EXPECT_EQ(key.query(c.looked_up, v), c.same ? Status::Ok : Status::NotFound);
        if (c.same) {
            EXPECT_EQ(v.name, c.made); // the case it was made with
            // setting it under the other case changes the one value
            ASSERT_EQ(key.set(Value::sz(c.looked_up, "w")), Status::Ok);
            std::vector<Value> all;
            ASSERT_EQ(key.values(all), Status::Ok);
            ASSERT_EQ(all.size(), 1u);
            EXPECT_EQ(all[0].name, c.made);
            EXPECT_EQ(all[0].text(), "w");
        }
    }
    std::vector<std::string> subkeys;
    Key names;
    ASSERT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\Names", names), Status::Ok);
    ASSERT_EQ(names.subkeys(subkeys), Status::Ok);
    EXPECT_EQ(subkeys.size(), 6u);

    // a NUL inside a name is refused, never cut short
    Key key = make("SOFTWARE\\Nul");
    Key other;
    EXPECT_EQ(Key::create(Root::LocalMachine, std::string("SOFTWARE\\Nul\\a\0b", 17), other),
              Status::InvalidArgument);
    EXPECT_EQ(key.set(Value::sz(std::string("a\0b", 3), "x")), Status::InvalidArgument);
    EXPECT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\Nul\\a", other), Status::NotFound);
}

std::string deep_path(size_t levels) {
    std::string path = "SOFTWARE";
    for (size_t i = 1; i < levels; ++i)
        path += "\\d";
    return path;
}

// Keys as deep as the limit are made and deleted; deeper ones are refused.
// A store holding a deeper tree (made by an older version) still deletes it.
TEST_F(Registry, DeepTreesAreLimitedAndAlwaysDeletable) {
    Key key;
    ASSERT_EQ(Key::create(Root::LocalMachine, deep_path(kMaxDepth), key), Status::Ok);
    ASSERT_EQ(key.set(Value::dword("deep", 1)), Status::Ok);
    EXPECT_EQ(Key::create(Root::LocalMachine, deep_path(kMaxDepth + 1), key), Status::TooDeep);
    EXPECT_EQ(Key::open(Root::LocalMachine, deep_path(kMaxDepth + 1), key), Status::TooDeep);
    EXPECT_EQ(Key::remove_tree(Root::LocalMachine, "SOFTWARE"), Status::Ok);
    EXPECT_EQ(Key::open(Root::LocalMachine, "SOFTWARE", key), Status::NotFound);

    // 1500 levels below SOFTWARE, written straight into the store
    make("SOFTWARE");
    close_all();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(db_file().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE"
                           " i < 1500) INSERT INTO keys(id, parent, name, last_write, fold)"
                           " SELECT 1000 + i, CASE i WHEN 1 THEN (SELECT id FROM keys WHERE"
                           " fold = 'software') ELSE 999 + i END, 'd', 0, 'd' FROM n;"
                           "INSERT INTO vals(key, seq, name, type, data, fold)"
                           " VALUES(2500, 1, 'v', 4, x'01000000', 'v');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
    EXPECT_EQ(Key::remove_tree(Root::LocalMachine, "SOFTWARE"), Status::Ok);
    EXPECT_EQ(Key::open(Root::LocalMachine, "SOFTWARE", key), Status::NotFound);
}

// Several reads and writes in one transaction: all of them or none.
TEST_F(Registry, TransactionsCommitAllOrNothing) {
    Key config = make(kCurrentVersion);
    ASSERT_EQ(config.set(Value::dword("COUNT", 1)), Status::Ok);
    auto update = [&](bool fail_at_end) {
        return transact(Root::LocalMachine, [&] {
            Value count;
            Status s = config.query("COUNT", count);
            Key sub;
            if (s == Status::Ok)
                s = Key::create(Root::LocalMachine, std::string(kCurrentVersion) + "\\New", sub);
            if (s == Status::Ok)
                s = sub.set(Value::sz("A", "a"));
            if (s == Status::Ok)
                s = config.set(Value::dword("COUNT", count.number() + 1));
            return s == Status::Ok && fail_at_end ? Status::InvalidArgument : s;
        });
    };
    EXPECT_EQ(update(true), Status::InvalidArgument);
    Value v;
    ASSERT_EQ(config.query("COUNT", v), Status::Ok);
    EXPECT_EQ(v.number(), 1u);
    Key sub;
    EXPECT_EQ(Key::open(Root::LocalMachine, std::string(kCurrentVersion) + "\\New", sub),
              Status::NotFound);

    // Other threads wait for the transaction, and then see all of it.
    std::thread other;
    EXPECT_EQ(transact(Root::LocalMachine,
                       [&] {
                           other = std::thread([&] {
                               Value seen;
                               EXPECT_EQ(config.query("COUNT", seen), Status::Ok);
                               EXPECT_EQ(seen.number(), 2u);
                           });
                           Value count;
                           Status s = config.query("COUNT", count);
                           return s == Status::Ok ? config.set(Value::dword("COUNT", 2)) : s;
                       }),
              Status::Ok);
    other.join();
    ASSERT_EQ(update(false), Status::Ok);
    ASSERT_EQ(config.query("COUNT", v), Status::Ok);
    EXPECT_EQ(v.number(), 3u);
    ASSERT_EQ(Key::open(Root::LocalMachine, std::string(kCurrentVersion) + "\\New", sub),
              Status::Ok);

    // a read snapshot does not write
    EXPECT_EQ(
        read_snapshot(Root::LocalMachine, [&] { return config.set(Value::dword("COUNT", 9)); }),
        Status::InvalidArgument);
}

} // namespace
