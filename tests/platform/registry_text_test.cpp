// The text form of keys, and copies of a whole store.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "registry_fixture.h"

namespace {

using namespace ztbase::registry;
using zt::test::Registry;

// Names and data that the text must carry through unchanged.
TextTree awkward_tree() {
    TextTree tree;
    tree.root = Root::CurrentUser;
    tree.keys.push_back({"", 0, {Value::sz("", "on the root itself")}});
    tree.keys.push_back({"SOFTWARE\\odd]name", 5000000000, {}});
    tree.keys.push_back({"SOFTWARE\\two\nlines\\tab\there\\\x01", 0, {}});
    tree.keys.push_back({"SOFTWARE\\values",
                         0,
                         {
                             Value::sz("", "default"),
                             Value::sz("@", "an at sign"),
                             Value::sz("q\"uo\\te]\n", "da\"ta\\\n\x7f"),
                             Value::sz("nul", std::string("a\0b", 3)),
                             Value::dword("d", 0xDEADBEEF),
                             Value{"short dword", kDword, "\x01\x02"},
                             Value{"expand", kExpandSz, "%TEMP%\\x"},
                             Value::multi_sz("multi", {"a", "b c"}),
                             Value{"bin", kBinary, std::string("\x00\xff\x10", 3)},
                             Value{"empty bin", kBinary, ""},
                             Value{"qword", kQword, std::string("\x01\0\0\0\0\0\0\x80", 8)},
                             Value{"none", kNone, "x"},
                             Value::sz("\xc3\x89t\xc3\xa9", "\xe2\x82\xac"),
                         }});
    return tree;
}

bool same(const TextTree &a, const TextTree &b) {
    if (a.root != b.root || a.keys.size() != b.keys.size())
        return false;
    for (size_t i = 0; i < a.keys.size(); ++i) {
        const TextKey &x = a.keys[i], &y = b.keys[i];
        if (x.path != y.path || x.last_write_ns / 1000000000 != y.last_write_ns / 1000000000 ||
            x.values.size() != y.values.size())
            return false;
        for (size_t j = 0; j < x.values.size(); ++j)
            if (x.values[j].name != y.values[j].name || x.values[j].type != y.values[j].type ||
                x.values[j].data != y.values[j].data)
                return false;
    }
    return true;
}

TEST(RegistryText, FormatThenParseGivesTheSameTree) {
    const TextTree tree = awkward_tree();
    const std::string text = format_text(tree);
    EXPECT_NE(text.find("[SOFTWARE\\\\odd\\]name] 5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[SOFTWARE\\\\two\\nlines\\\\tab\\x09here\\\\\\x01] 0\n"),
              std::string::npos)
        << text;
    TextTree back;
    ASSERT_EQ(parse_text(text, back), Status::Ok) << text;
    EXPECT_TRUE(same(tree, back)) << text << "\n---\n" << format_text(back);
}

TEST(RegistryText, MalformedTextsNameTheirLine) {
    const std::string head = "ZT REGISTRY Version 1\n;; All keys relative to HKEY_LOCAL_MACHINE\n";
    const struct {
        std::string text;
        size_t line;
    } cases[] = {
        {"", 1},
        {"REGEDIT4\n", 1},
        {"ZT REGISTRY Version 1\n\n[A] 0\n", 3}, // no root named before the keys
        {head + "\"v\"=\"x\"\n", 3},             // a value before any key
        {head + "[A\n", 3},
        {head + "[A] 12x\n", 3},
        {head + "[A\\q]\n", 3},
        {head + "[A]\n\"v\"=\"unterminated\n", 4},
        {head + "[A]\n\"v\"=\"bad \\q escape\"\n", 4},
        {head + "[A]\n\"v\"=dword:123\n", 4},
        {head + "[A]\n\"v\"=dword:1234567g\n", 4},
        {head + "[A]\n\"v\"=hex:0,11\n", 4},
        {head + "[A]\n\"v\"=hex:01,\n", 4},
        {head + "[A]\n\"v\"=str(x):\"a\"\n", 4},
        {head + "[A]\n\"v\"=\"a\" trailing\n", 4},
        {head + "[A]\n\"v\"\n", 4},
        {head + ";; All keys relative to HKEY_USERS\n", 3},
    };
    for (const auto &c : cases) {
        TextTree tree;
        size_t line = 0;
        EXPECT_EQ(parse_text(c.text, tree, &line), Status::InvalidArgument) << c.text;
        EXPECT_EQ(line, c.line) << c.text;
    }
}

// export -> delete -> import gives back the same keys and values.
TEST_F(Registry, ExportThenImportRoundTrips) {
    for (const TextKey &entry : awkward_tree().keys) {
        Key key = make(entry.path, Root::CurrentUser);
        for (const Value &v : entry.values)
            ASSERT_EQ(key.set(v), Status::Ok);
    }
    std::string before, after;
    ASSERT_EQ(export_text(Root::CurrentUser, "", before), Status::Ok);
    ASSERT_EQ(Key::remove_tree(Root::CurrentUser, "SOFTWARE"), Status::Ok);
    Key root;
    ASSERT_EQ(Key::open(Root::CurrentUser, "", root), Status::Ok);
    ASSERT_EQ(root.remove_value(""), Status::Ok);
    ASSERT_EQ(import_text(before), Status::Ok);
    ASSERT_EQ(export_text(Root::CurrentUser, "", after), Status::Ok);
    TextTree a, b;
    ASSERT_EQ(parse_text(before, a), Status::Ok);
    ASSERT_EQ(parse_text(after, b), Status::Ok);
    for (TextTree *t : {&a, &b})
        for (TextKey &k : t->keys)
            k.last_write_ns = 0; // import moves last-write times forward
    EXPECT_TRUE(same(a, b)) << before << "\n---\n" << after;

    // an import that fails half-way changes nothing
    const std::string bad = "ZT REGISTRY Version 1\n;; All keys relative to HKEY_CURRENT_USER\n"
                            "[SOFTWARE\\\\Fresh] 0\n\"v\"=\"x\"\n[" +
                            std::string(300, 'n') + "] 0\n";
    EXPECT_EQ(import_text(bad), Status::InvalidArgument);
    Key fresh;
    EXPECT_EQ(Key::open(Root::CurrentUser, "SOFTWARE\\Fresh", fresh), Status::NotFound);
}

TEST_F(Registry, BackupAndRestoreTheWholeStore) {
    Key key = make("SOFTWARE\\Kept");
    ASSERT_EQ(key.set(Value::sz("SERVER", "before")), Status::Ok);
    const std::string copy = root_.path() + "/backup.db";
    ASSERT_EQ(backup(Root::LocalMachine, copy), Status::Ok);
    EXPECT_FALSE(std::filesystem::exists(copy + "-wal")); // one self-contained file
    ASSERT_EQ(key.set(Value::sz("SERVER", "after")), Status::Ok);
    make("SOFTWARE\\Later");

    // a file that is not a store is refused and the store stays as it is
    zt::test::write_file(root_.path() + "/junk.db", std::string(4096, 'j'));
    EXPECT_EQ(restore(Root::LocalMachine, root_.path() + "/junk.db"), Status::Corrupt);
    EXPECT_EQ(restore(Root::LocalMachine, root_.path() + "/missing.db"), Status::InvalidArgument);
    Value v;
    ASSERT_EQ(key.query("SERVER", v), Status::Ok);
    EXPECT_EQ(v.text(), "after");

    ASSERT_EQ(restore(Root::LocalMachine, copy), Status::Ok);
    Key again;
    ASSERT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\Kept", again), Status::Ok);
    ASSERT_EQ(again.query("SERVER", v), Status::Ok);
    EXPECT_EQ(v.text(), "before");
    EXPECT_EQ(Key::open(Root::LocalMachine, "SOFTWARE\\Later", again), Status::NotFound);
    // another process sees the restored store too
    pid_t reader = zt::test::spawn([] {
        Key k;
        Value got;
        return Key::open(Root::LocalMachine, "SOFTWARE\\Kept", k) == Status::Ok &&
                       k.query("SERVER", got) == Status::Ok && got.text() == "before"
                   ? 0
                   : 1;
    });
    EXPECT_EQ(zt::test::wait_ok(reader), 0);
}

} // namespace
