// The local configuration store: registry values and the cluster-aware file,
// updates, and several processes at once.
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <ztbase/bpconf.h>
#include <ztbase/paths.h>

#include "bpconf_support.h"
#include "config/store/bpconf_store.h"
#include "platform/registry/registry.h"
#include "support/config_update.h"
#include "support/temp_root.h"

namespace {

using namespace bpconf_test;
namespace reg = ztbase::registry;

using zt::test::update_config;

class StoreTest : public zt::test::ZtTest {
  protected:
    StoreTest() { std::filesystem::create_directories(getFennicString("VAR_GLOBAL_PATH")); }
    ~StoreTest() override { ztbase::bpconf::set_values_reader(nullptr); }

    std::string cluster_path() const { return getFennicString("ZTCL_CONFIG_PATH"); }

    reg::Value stored(const char *name) {
        reg::Key key;
        reg::Value v;
        if (reg::Key::open(reg::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY, key) !=
                reg::Status::Ok ||
            key.query(name, v) != reg::Status::Ok)
            v.type = reg::kNone;
        return v;
    }

    std::string image() {
        char *text = nullptr;
        EXPECT_EQ(getLocalHostConfigImage(bpconfLocalSource, &text), 0);
        std::string out = text != nullptr ? text : "";
        free(text);
        return out;
    }
};

TEST_F(StoreTest, EveryItemSurvivesUpdateAndRead) {
    std::vector<std::string> unset;
    std::string text = full_text(&unset);
    Record full;
    ASSERT_EQ(parse_over_defaults(text, full.get(), nullptr, ZTPARSE_STRICT), 0);
    ASSERT_EQ(update_config(image_of(full.get())), 0);

    EXPECT_EQ(stored("VERBOSE").type, reg::kDword);
    EXPECT_EQ(stored("SERVER").type, reg::kMultiSz);
    EXPECT_EQ(stored("SERVER").strings(), (std::vector<std::string>{"hostA", "hostB"}));
    EXPECT_EQ(stored("CLIENT_NAME").type, reg::kSz);
    EXPECT_EQ(stored("custom_key_one").text(), "first value");
    EXPECT_EQ(stored("CP_PARALLEL_CONNECTIONS").number(), 7u);
    EXPECT_EQ(stored("PEM_VERBOSE").type, reg::kNone);               // only the logger hook
    EXPECT_EQ(stored("SLP.VERSION_CLEANUP_DELAY").type, reg::kNone); // in the cluster file
    EXPECT_NE(zt::test::read_file(cluster_path()).find("SLP.VERSION_CLEANUP_DELAY = "),
              std::string::npos);

    Record back;
    ASSERT_EQ(ReadHostConfigExA(bpconfLocalSource, back.get(), nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(image_of(back.get()), image_of(full.get()));
}

TEST_F(StoreTest, ANewHostIsConfiguredThroughTheUpdatePath) {
    Record none;
    EXPECT_EQ(ReadHostConfigExA(bpconfLocalSource, none.get(), nullptr, nullptr, nullptr), 110);
    Record users;
    EXPECT_EQ(ReadUsersConfigExA(bpconfLocalSource, users.get(), nullptr, "u", nullptr, nullptr),
              0);
    EXPECT_EQ(users->valid, 1);
    EXPECT_EQ(users->CLIENT_CONNECT_TIMEOUT, 300);

    EXPECT_EQ(update_config("VERBOSE = 5\n"), 0); // no key, no server stored: still an update
    EXPECT_EQ(update_config("SERVER = master\nSERVER = other\n"), 0);
    EXPECT_EQ(update_config("SERVER\n"), 0); // a required value given empty deletes it...
    EXPECT_EQ(stored("SERVER").type, reg::kNone);
    EXPECT_EQ(update_config("SERVER = master\n"), 0);
    Record record;
    ASSERT_EQ(ReadHostConfigExA(bpconfLocalSource, record.get(), nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(record->SERVER->host, "master");
    EXPECT_EQ(record->VERBOSE, 5);
}

TEST_F(StoreTest, EmptyValuesAndDeletedGenericKeys) {
    ASSERT_EQ(update_config(
                  "gone = 1\nkept = 2\nVERBOSE = 4\nSERVER_CONNECT_TIMEOUT = 9\nUSEMAIL = me\n"),
              0);
    ASSERT_EQ(update_config("gone\nVERBOSE\nUSEMAIL\n"), 0);
    EXPECT_EQ(stored("gone").type, reg::kNone);
    EXPECT_EQ(stored("kept").text(), "2");
    EXPECT_EQ(stored("USEMAIL").type, reg::kNone);  // required: deleted
    EXPECT_EQ(stored("VERBOSE").type, reg::kDword); // optional: an empty value
    Record record;
    ASSERT_EQ(
        ReadUsersConfigExA(bpconfLocalSource, record.get(), nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(record->VERBOSE, 1); // the label alone
    EXPECT_EQ(record->SERVER_CONNECT_TIMEOUT, 9);
    char *value = nullptr;
    EXPECT_EQ(bpconfGetKeyValPair(record.get(), "gone", &value), 227);
}

// A generic key under an item's name would replace the item's stored value.
TEST_F(StoreTest, GenericKeysCannotOverwriteItems) {
    ASSERT_EQ(update_config("SERVER = master\nVERBOSE = 4\n"), 0);
    LogCapture log;
    EXPECT_EQ(update_config("GENERIC_KEY_VAL_LIST = (SERVER) (evil)\n"), 20);
    // A list made by a caller rather than by the parser.
    Record record;
    Definition def;
    std::string text = "one = evil\ntwo\n";
    ASSERT_EQ(ParseConfigExA(text.data(), record.get(), def.get(), 0), 0);
    ZtKeyValNode *n = record->GENERIC_KEY_VAL_LIST;
    free(n->key);
    n->key = strdup("server");
    free(n->next->key);
    n->next->key = strdup("VERBOSE"); // a tombstone: would delete the value
    EXPECT_EQ(UpdateLocalHostConfig(bpconfLocalSource, record.get(), def.get()), 14);
    EXPECT_TRUE(log.has("Unable to write configuration item to the registry (server = evil)"))
        << log.all();
    EXPECT_EQ(stored("SERVER").strings(), std::vector<std::string>{"master"});
    EXPECT_EQ(stored("VERBOSE").number(), 4u);
}

ztbase::registry::Status failing_reader(const reg::Key &, std::vector<reg::Value> &) {
    return reg::Status::Failed;
}

TEST_F(StoreTest, ThreeFailedRegistryReadsStillGiveTheClusterFile) {
    ASSERT_EQ(update_config("VERBOSE = 4\nSLP.DISK_RESOURCE_MULTIPLIER = 5\n"), 0);
    ztbase::bpconf::set_values_reader(failing_reader);
    LogCapture log;
    EXPECT_EQ(image(), "\nSLP.DISK_RESOURCE_MULTIPLIER = 5\n");
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(log.has("Configuration read failed " + std::to_string(i) + " times with 11"))
            << log.all();
    EXPECT_TRUE(log.has("RegEnumValueW() failed"));
}

TEST_F(StoreTest, RegistryValuesBecomeImageLines) {
    reg::Key key;
    ASSERT_EQ(reg::Key::create(reg::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY, key),
              reg::Status::Ok);
    key.set(reg::Value::dword("LIST_FILES_TIMEOUT", uint32_t(-1)));
    key.set(reg::Value{"BLOB", reg::kBinary, "xy"});
    key.set(reg::Value::multi_sz("SERVER", {"a", "b"}));
    key.set(reg::Value::sz("odd=name", "line\nSERVER=evil"));
    key.set(reg::Value::sz("x\nSERVER=evil\r\nVERBOSE=9", "d"));
    LogCapture log;
    std::string text = image();
    EXPECT_EQ(text, "LIST_FILES_TIMEOUT=-1\nSERVER=a\nSERVER=b\n"
                    "GENERIC_KEY_VAL_LIST=(odd=name) (line SERVER=evil)\n"
                    "GENERIC_KEY_VAL_LIST=(x SERVER=evil  VERBOSE=9) (d)\n"
                    "PEM_VERBOSE=-9\nJM_VERBOSE=-9\nRB_VERBOSE=-9\n");
    EXPECT_TRUE(log.has("Unexpected data type (3) in registry, Entry (BLOB) ignored."));

    char *ex = nullptr;
    ASSERT_EQ(getLocalHostConfigImageEx(bpconfLocalSource, &ex), 0);
    Record record;
    ASSERT_EQ(parse_over_defaults(ex, record.get(), nullptr, ZTPARSE_STRICT), 0);
    free(ex);
    ASSERT_NE(record->VERSIONINFO, nullptr);
    EXPECT_STREQ(record->VERSIONINFO->os_name, "Linux");
    EXPECT_STREQ(record->VERSIONINFO->platform, getConfigPlatformName());
    EXPECT_STREQ(record->VERSIONINFO->product, "Zentor");
    EXPECT_EQ(record->VERSIONINFO->number, 810000);
}

TEST_F(StoreTest, ClusterFileRewrite) {
    zt::test::write_file(cluster_path(), "# a comment\n"
                                         "\n"
                                         "SLP.DISK_RESOURCE_MULTIPLIER = 3\n"
                                         "VERBOSE = 5\n"
                                         "SLP.TAPE_RESOURCE_MULTIPLIER = 4\n"
                                         "INDEX_SERVER\n"
                                         "SLP.DISK_RESOURCE_MULTIPLIER = 6\n"
                                         "SLP.TAPE_RESOURCE_MULTIPLIER = 7\n"
                                         "no_such = x\n");
    LogCapture log;
    ASSERT_EQ(update_config(
                  "SLP.DISK_RESOURCE_MULTIPLIER = 9\nSLP.JOB_SUBMISSION_INTERVAL = 10 minutes\n"),
              0);
    EXPECT_EQ(zt::test::read_file(cluster_path()), "SLP.DISK_RESOURCE_MULTIPLIER = 9\n"
                                                   "# VERBOSE = 5\n"
                                                   "SLP.TAPE_RESOURCE_MULTIPLIER = 4\n"
                                                   "# INDEX_SERVER\n"
                                                   "# no_such = x\n"
                                                   "SLP.JOB_SUBMISSION_INTERVAL = 10 minutes\n");
    EXPECT_TRUE(log.has("Invalid entry (line 4) deleted: VERBOSE = 5"));
    EXPECT_TRUE(log.has("Obsolete entry (line 6) deleted: INDEX_SERVER"));
    EXPECT_TRUE(log.has("Adding param SLP.JOB_SUBMISSION_INTERVAL"));
    struct stat st;
    ASSERT_EQ(stat(cluster_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(stored("SLP.DISK_RESOURCE_MULTIPLIER").type, reg::kNone);
}

// What stands in the cluster-aware file's place: a read fails or goes on, and
// an update that cannot complete leaves the registry part as it was.
TEST_F(StoreTest, ABadClusterFileLeavesTheStoreAsItWas) {
    const std::string file = cluster_path(), nowhere = root() / "nowhere";
    const struct {
        const char *row;
        std::function<int()> plant;
        int read;   // a read of the host configuration's image
        int update; // an update with a cluster-aware item
        const char *logged;
        const char *after; // the file's text after the update; nullptr: not checked
    } cases[] = {
        {"a directory", [&] { return mkdir(file.c_str(), 0755); }, 13, 13,
         "Unable to read configuration: Status: 13", nullptr},
        {"a link to a file that cannot be replaced",
         [&] { return symlink("/proc/version", file.c_str()); }, 0, 12,
         "Unable to write server configuration to HKEY_LOCAL_MACHINE\\SOFTWARE", nullptr},
        {"a FIFO, which neither hangs the read nor the update",
         [&] { return mkfifo(file.c_str(), 0644); }, 13, 13, "", nullptr},
        {"a dangling link, read as no file and replaced by one",
         [&] { return symlink(nowhere.c_str(), file.c_str()); }, 0, 0, "",
         "SLP.DISK_RESOURCE_MULTIPLIER = 5\n"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(update_config("VERBOSE = 4\n"), 0) << c.row;
        ASSERT_EQ(c.plant(), 0) << c.row;
        LogCapture log;
        char *text = nullptr;
        EXPECT_EQ(getLocalHostConfigImage(bpconfLocalSource, &text), c.read) << c.row;
        free(text);
        EXPECT_EQ(update_config("VERBOSE = 6\nSLP.DISK_RESOURCE_MULTIPLIER = 5\n"), c.update)
            << c.row;
        EXPECT_EQ(stored("VERBOSE").number(), c.update == 0 ? 6u : 4u) << c.row;
        EXPECT_TRUE(log.has(c.logged)) << c.row << "\n" << log.all();
        if (c.after != nullptr) {
            EXPECT_EQ(zt::test::read_file(file), c.after) << c.row;
        }
        std::filesystem::remove(file);
    }
}

// A link planted by another user is not followed by an update.
TEST_F(StoreTest, AForeignLinkIsNotFollowed) {
    const std::string victim = root() / "victim";
    zt::test::write_file(victim, "keep = me\n");
    chmod(victim.c_str(), 0600);
    ASSERT_EQ(symlink(victim.c_str(), cluster_path().c_str()), 0);
    if (geteuid() != 0 || lchown(cluster_path().c_str(), 65534, 65534) != 0)
        GTEST_SKIP() << "needs root to give the link to another user";
    LogCapture log;
    EXPECT_EQ(update_config("SLP.DISK_RESOURCE_MULTIPLIER = 5\n"), 12);
    EXPECT_EQ(zt::test::read_file(victim), "keep = me\n");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(log.has("Unable to open configuration file from " + cluster_path())) << log.all();

    // The directory's owner may point the file elsewhere.
    ASSERT_EQ(lchown(cluster_path().c_str(), 0, 0), 0);
    EXPECT_EQ(update_config("SLP.DISK_RESOURCE_MULTIPLIER = 5\n"), 0);
    EXPECT_EQ(zt::test::read_file(victim), "# keep = me\nSLP.DISK_RESOURCE_MULTIPLIER = 5\n");
}

TEST_F(StoreTest, TemporaryNamesAreUniqueAndPrivateToTheirWriter) {
    std::string base = root() / "file";
    std::set<std::string> names;
    for (int i = 0; i < 3; ++i) {
        char *name = nullptr;
        FILE *f = OpenTemporaryConfigFile(base.c_str(), &name);
        ASSERT_NE(f, nullptr);
        std::string n = name;
        free(name);
        ASSERT_EQ(n.size(), base.size() + 13);
        ASSERT_EQ(n.compare(0, base.size() + 7, base + ".zttmp."), 0);
        struct stat st;
        ASSERT_EQ(stat(n.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        // Locked while its writer has it open.
        int fd = open(n.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
        close(fd);
        fclose(f);
        names.insert(n);
    }
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(OpenTemporaryConfigFile((root() / "no/such/dir/f").c_str(), nullptr), nullptr);
}

// Children that start together: each waits for a byte on the pipe.
struct Children {
    int gate[2];
    std::vector<pid_t> pids;
    Children() { EXPECT_EQ(pipe(gate), 0); }
    template <typename Fn> void spawn(Fn fn) {
        pid_t pid = fork();
        if (pid == 0) {
            char c;
            close(gate[1]);
            if (read(gate[0], &c, 1) != 1)
                _exit(3);
            _exit(fn());
        }
        pids.push_back(pid);
    }
    void go() {
        close(gate[0]);
        for (size_t i = 0; i < pids.size(); ++i)
            EXPECT_EQ(write(gate[1], "x", 1), 1);
        close(gate[1]);
    }
    void expect_success() {
        for (pid_t pid : pids) {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
    }
};

TEST_F(StoreTest, ConcurrentUpdatesOfDifferentItemsAllSurvive) {
    const char *items[] = {"VERBOSE", "BPTM_VERBOSE", "BPDM_VERBOSE", "BPRD_VERBOSE"};
    for (int round = 1; round <= 3; ++round) {
        Children children;
        for (int i = 0; i < 4; ++i)
            children.spawn([&, i] {
                std::string text =
                    std::string(items[i]) + " = " + std::to_string(round * 10 + i) + "\nkey_" +
                    std::to_string(i) + "_" + std::to_string(round) + " = v\n" +
                    (i == 0   ? "SLP.DISK_RESOURCE_MULTIPLIER = " + std::to_string(round + 1)
                     : i == 1 ? "SLP.TAPE_RESOURCE_MULTIPLIER = " + std::to_string(round + 1)
                              : std::string()) +
                    "\n";
                return update_config(text);
            });
        children.go();
        children.expect_success();
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(stored(items[i]).number(), uint32_t(round * 10 + i)) << items[i];
            for (int r = 1; r <= round; ++r)
                EXPECT_EQ(
                    stored(("key_" + std::to_string(i) + "_" + std::to_string(r)).c_str()).text(),
                    "v");
        }
        std::string file = zt::test::read_file(cluster_path());
        EXPECT_NE(file.find("SLP.DISK_RESOURCE_MULTIPLIER = " + std::to_string(round + 1)),
                  std::string::npos);
        EXPECT_NE(file.find("SLP.TAPE_RESOURCE_MULTIPLIER = " + std::to_string(round + 1)),
                  std::string::npos);
    }
}

TEST_F(StoreTest, AReaderNeverSeesHalfAnUpdate) {
    // The cluster-aware item lives in the file, the others in the registry.
    const auto text = [](int n) {
        std::string s = std::to_string(n);
        return "VERBOSE = " + s + "\nCLIENT_NAME = h" + s + "\nk = " + s +
               "\nSLP.DISK_RESOURCE_MULTIPLIER = " + std::to_string(n % 5 + 1) + "\n";
    };
    ASSERT_EQ(update_config(text(0)), 0);
    constexpr int kRounds = 60;
    // The writer goes on past its first update once the reader has read, so
    // that the reads do meet updates however the two are scheduled.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    Children writer;
    writer.spawn([&] {
        close(gate[1]); // a reader that is gone ends the wait
        for (int n = 1; n <= kRounds; ++n) {
            char c;
            if (n == 2 && read(gate[0], &c, 1) != 1)
                return 1;
            if (update_config(text(n)) != 0)
                return 1;
        }
        return 0;
    });
    writer.go();
    int last = 0;
    int reads = 0;
    while (last < kRounds) {
        Record r;
        ASSERT_EQ(ReadHostConfigExA(bpconfLocalSource, r.get(), nullptr, nullptr, nullptr), 111);
        char *k = nullptr;
        ASSERT_EQ(bpconfGetKeyValPair(r.get(), "k", &k), 0);
        const std::string seen = std::to_string(r->VERBOSE);
        EXPECT_EQ(std::string(r->CLIENT_NAME), "h" + seen);
        EXPECT_EQ(std::string(k), seen);
        EXPECT_EQ(r->SLP_DISK_RESOURCE_MULTIPLIER, r->VERBOSE % 5 + 1);
        free(k);
        EXPECT_GE(r->VERBOSE, last);
        last = r->VERBOSE;
        if (++reads == 1) {
            ASSERT_EQ(write(gate[1], "g", 1), 1);
        }
    }
    writer.expect_success();
    close(gate[0]);
    close(gate[1]);
    EXPECT_GT(reads, 1);
}

} // namespace
