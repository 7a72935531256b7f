// The file cache's files: written byte for byte as laid out, names safe for
// any input, anything malformed or planted a miss, and the eviction order of
// the memory table at its cap.
#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "resolve_fixture.h"
#include "vnet/vnet_file_cache.h"
#include "vnet/vnet_pcache.h"

namespace {

using namespace resolve_test;
namespace fc = zt::vnet::filecache;


TEST_F(ResolveTest, EntriesAreWrittenByteForByte) {
    script().hosts["db.example"] = {"192.0.2.10"};
    script().hosts["v6.example"] = {"2001:db8::10"};
    script().failures["gone.example"] = EAI_NONAME;
    script().canon_suffix = ".lab";
    const mode_t mask = umask(077); // modes do not depend on the writer's umask
    first("db.example");
    first("v6.example");
    first("gone.example");
    vnet_uuid u{};
    vnet_string_to_uuid("00000001-0002-0003-040506070809", &u);
    char *names[] = {const_cast<char *>("a.example")};
    vnet_name_list hosts{1, names};
    vnet_set_cached_uuid_hosts(&u, &hosts);
    umask(mask);

    const struct {
        const char *name, *expected;
    } cases[] = {
        {"db.example", "db.example,(null),0,402,0,1,0\n1700000000\n0\n0\nADDRINFO_NEXT\n"
                       "BASICS=0;1;6;0;db.example.lab\n"
                       "SOCKADDR=2;16;02000000c000020a0000000000000000\n"
                       "CACHED_FLAGS=0;0;0;0;0;0;-2;0;0;0;0\nHOST_UUIDS=0;0\nUUID_HOSTS=0;0\n"
                       "ADDRINFO_END\n"},
        {"v6.example", "v6.example,(null),0,402,0,1,0\n1700000000\n0\n0\nADDRINFO_NEXT\n"
                       "BASICS=0;1;6;0;v6.example.lab\n"
                       "SOCKADDR=10;28;0a00000000000000" "20010db8000000000000000000000010" "00000000\n"
                       "CACHED_FLAGS=0;0;0;0;0;0;-2;0;0;0;0\nHOST_UUIDS=0;0\nUUID_HOSTS=0;0\n"
                       "ADDRINFO_END\n"},
        {"gone.example", "gone.example,(null),0,402,0,1,0\n1700000000\n11001\n0\nADDRINFO_END\n"},
        {"UUID=00000001-0002-0003-040506070809",
         "uuid=00000001-0002-0003-040506070809,(null),0,402,0,1,0\n1700000000\n0\n0\n"
         "ADDRINFO_NEXT\nBASICS=0;0;0;0;_NULL_CANONNAME_\nSOCKADDR=0;0;_NULL_ADDRSTR_\n"
         "CACHED_FLAGS=0;0;0;0;0;0;-2;0;0;0;0\nHOST_UUIDS=0;0\nUUID_HOSTS=1;1\na.example\n"
         "ADDRINFO_END\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = entry_path(c.name);
        EXPECT_EQ(zt::test::read_file(path), c.expected);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        ASSERT_EQ(stat(std::filesystem::path(path).parent_path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
    }
    // The name and the directory follow from the checksum.
    uint32_t crc = vnet_crc32("db.example");
    char dir[8], file[300];
    snprintf(dir, sizeof dir, "%03x", crc & 0x1ff);
    snprintf(file, sizeof file, "%x+$null$,0,402,0,1,0+db.example.txt", crc);
    EXPECT_EQ(entry_path("db.example"), settings().cache_dir + "/" + dir + "/" + file);
}

TEST(FileCacheNames, AnyNameMapsToASafeFileName) {
    const struct {
        std::string name;
        std::string mapped;
    } cases[] = {
        {"", ""},
        {"a/b\\c:d e\tf", "a~b`c;d^e!f"},
        {"x,y+z(1)", "x$y$z$1$"},
        {"caf\xc3\xa9", "caf@@"},
        {"ok.name_with-%", "ok.name_with-%"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(fc::safe_name(c.name), c.mapped) << c.name;
    for (size_t len : {size_t(0), size_t(300), size_t(1025), size_t(5000)}) {
        SCOPED_TRACE(len);
        std::string name(len, 'n');
        addrinfo h{};
        auto loc = fc::locate("/var/cache/x", rs::make_key(name.c_str(), "svc/../x", h, true), 32);
        EXPECT_LE(loc.file.size(), 255u);
        EXPECT_TRUE(loc.file.ends_with(".txt"));
        EXPECT_EQ(loc.file.find('/'), std::string::npos);
    }
}

// A planted or malformed entry is a miss: the resolver answers.
TEST_F(ResolveTest, BadEntriesAreMisses) {
    const std::string key = "db.example,(null),0,402,0,1,0\n";
    const std::string good_block =
        "ADDRINFO_NEXT\nBASICS=0;1;6;0;db\nSOCKADDR=2;16;02000000c000020a0000000000000000\n"
        "CACHED_FLAGS=0;0;0;0;0;0;-2;0;0;0;0\nHOST_UUIDS=0;0\nUUID_HOSTS=0;0\n";
    const std::string head = key + "1700000000\n0\n0\n";
    const struct {
        const char *what;
        std::string body;
    } cases[] = {
        {"truncated", head + good_block},
        {"cut mid-line", (head + good_block).substr(0, 120)},
        {"NUL bytes", head + std::string("ADDRINFO_NEXT\0\n", 15) + "ADDRINFO_END\n"},
        {"1 MB line", head + std::string(1 << 20, 'x') + "\nADDRINFO_END\n"},
        {"wrong key", "other.example,(null),0,402,0,1,0\n1700000000\n0\n0\n" + good_block +
                          "ADDRINFO_END\n"},
        {"huge count", head + "ADDRINFO_NEXT\nBASICS=0;1;6;0;db\n"
                              "SOCKADDR=2;16;02000000c000020a0000000000000000\n"
                              "CACHED_FLAGS=0;0;0;0;0;0;-2;0;0;0;0\nHOST_UUIDS=1;99999999999\n"
                              "UUID_HOSTS=0;0\nADDRINFO_END\n"},
        {"65-byte address", head + "ADDRINFO_NEXT\nBASICS=0;1;6;0;db\nSOCKADDR=2;65;" +
                                std::string(130, '0') +
                                "\nCACHED_FLAGS=0;0;0;0;0;0;-2;0;0;0;0\nHOST_UUIDS=0;0\n"
                                "UUID_HOSTS=0;0\nADDRINFO_END\n"},
        {"family mismatch", head + "ADDRINFO_NEXT\nBASICS=0;1;6;0;db\n"
                                   "SOCKADDR=10;16;02000000c000020a0000000000000000\n"
                                   "CACHED_FLAGS=0;0;0;0;0;0;-2;0;0;0;0\nHOST_UUIDS=0;0\n"
                                   "UUID_HOSTS=0;0\nADDRINFO_END\n"},
        {"bad BASICS", head + "ADDRINFO_NEXT\nBASICS=0;x;6;0;db\n" +
                           good_block.substr(good_block.find("SOCKADDR")) + "ADDRINFO_END\n"},
        {"success without addresses", head + "ADDRINFO_END\n"},
        {"empty line", key + "\n0\n0\nADDRINFO_END\n"},
        {"creation time beyond any clock",
         key + "9223372036854775807\n0\n0\n" + good_block + "ADDRINFO_END\n"},
        {"trailing data", head + good_block + "ADDRINFO_END\nmore\n"},
    };
    script().hosts["db.example"] = {"198.51.100.7"};
    const std::string path = entry_path("db.example");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vnet_cached_free_memory();
        zt::test::write_file(path, c.body);
        chmod(path.c_str(), 0644);
        int before = script().calls;
        EXPECT_EQ(first("db.example"), "198.51.100.7");
        EXPECT_EQ(script().calls, before + 1);
    }
    // The good body itself is a hit (the table above differs from it by one fault).
    vnet_cached_free_memory();
    zt::test::write_file(path, head + good_block + "ADDRINFO_END\n");
    chmod(path.c_str(), 0644);
    EXPECT_EQ(first("db.example"), "192.0.2.10");
}

TEST_F(ResolveTest, PlantedEntriesAreRefusedWithoutBlocking) {
    script().hosts["db.example"] = {"198.51.100.7"};
    const std::string path = entry_path("db.example");
    const std::string dir = std::filesystem::path(path).parent_path();
    const std::string good = "db.example,(null),0,402,0,1,0\n1700000000\n0\n0\nADDRINFO_NEXT\n"
                             "BASICS=0;1;6;0;db\nSOCKADDR=2;16;02000000c000020a0000000000000000\n"
                             "CACHED_FLAGS=0;0;0;0;0;0;-2;0;0;0;0\nHOST_UUIDS=0;0\n"
                             "UUID_HOSTS=0;0\nADDRINFO_END\n";
    const std::string elsewhere = root() / "elsewhere.txt";
    zt::test::write_file(elsewhere, good);
    chmod(elsewhere.c_str(), 0644);
    using Plant = void (*)(const std::string &path, const std::string &elsewhere);
    const struct {
        const char *what;
        Plant plant;
    } cases[] = {
        {"link", [](const std::string &p, const std::string &e) { symlink(e.c_str(), p.c_str()); }},
        {"FIFO", [](const std::string &p, const std::string &) { mkfifo(p.c_str(), 0644); }},
        {"directory", [](const std::string &p, const std::string &) { mkdir(p.c_str(), 0755); }},
        {"group-writable file",
         [](const std::string &p, const std::string &e) {
             std::filesystem::copy_file(e, p);
             chmod(p.c_str(), 0664);
         }},
        {"another user's file",
         [](const std::string &p, const std::string &e) {
             std::filesystem::copy_file(e, p);
             chmod(p.c_str(), 0644);
             if (chown(p.c_str(), 4242, 4242) != 0)
                 unlink(p.c_str()); // without the rights: plain miss
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        chmod(dir.c_str(), 0755);
        c.plant(path, elsewhere);
        vnet_cached_free_memory();
        int before = script().calls;
        EXPECT_EQ(first("db.example"), "198.51.100.7");
        EXPECT_EQ(script().calls, before + 1);
    }
    // A directory others may write is refused as a whole.
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(elsewhere, path);
    chmod(dir.c_str(), 0777);
    fc::forget_trusted_dirs();
    vnet_cached_free_memory();
    int before = script().calls;
    EXPECT_EQ(first("db.example"), "198.51.100.7");
    EXPECT_EQ(script().calls, before + 1);
}

TEST_F(ResolveTest, CleaningRemovesOldEntriesOnly) {
    script().hosts["a.example"] = {"192.0.2.1"};
    script().hosts["b.example"] = {"192.0.2.2"};
    first("a.example");
    first("b.example");
    std::string a = entry_path("a.example"), b = entry_path("b.example");
    struct timeval old_times[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimes(a.c_str(), old_times), 0);
    zt::test::write_file(settings().cache_dir + "/zzz/keep.txt", "x");
    EXPECT_EQ(vnet_cleanup_file_cache(2000, 0), VNET_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_TRUE(std::filesystem::exists(b));
    EXPECT_TRUE(std::filesystem::exists(settings().cache_dir + "/zzz/keep.txt"));
    EXPECT_FALSE(std::filesystem::exists(settings().clear_time_path));
    EXPECT_EQ(vnet_cleanup_file_cache(-1, 1), VNET_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(b));
    EXPECT_EQ(zt::test::read_file(settings().clear_time_path), "1700000000\n");
    settings().cache_dir = root() / "missing";
    EXPECT_EQ(vnet_cleanup_file_cache(-1, 0), VNET_OPEN_FAILED);
}

// Eight processes write and read the same keys; one is killed mid-write.
// No reader ever sees part of an entry.
TEST_F(ResolveTest, ConcurrentWritersNeverShowAHalfEntry) {
    const char *names[] = {"k0.example", "k1.example", "k2.example", "k3.example"};
    auto key_of = [](const char *n) {
        addrinfo h = rs::default_hints(n, nullptr, 0);
        return rs::make_key(n, nullptr, h, false);
    };
    auto worker = [&](int id) {
        for (int round = 0; round < 400; ++round) {
            const char *n = names[round % 4];
            rs::AddrItem item;
            item.created = 1700000000 + round;
            item.code = 0;
            vnet_addrinfo *e = rs::new_entry();
            e->ai_family = AF_INET;
            e->ai_addrlen = sizeof(sockaddr_in);
            auto *in = static_cast<sockaddr_in *>(calloc(1, sizeof(sockaddr_in)));
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(0xc0000200u + uint32_t(id));
            e->ai_addr = reinterpret_cast<sockaddr *>(in);
            // Long canonical names make writes span several pages.
            e->ai_canonname = strdup(std::string(3000 + id * 100, char('a' + id)).c_str());
            item.list.reset(e);
            fc::write_entry(settings().cache_dir, key_of(n), 32, item);
            rs::AddrItem back;
            fc::Read r = fc::read_entry(settings().cache_dir, key_of(n), 32, back);
            if (r != fc::Read::Hit && r != fc::Read::Missing)
                _exit(3);
        }
        _exit(0);
    };
    std::vector<pid_t> kids;
    for (int id = 0; id < 8; ++id) {
        pid_t p = fork();
        if (p == 0)
            worker(id);
        kids.push_back(p);
    }
    usleep(20000);
    kill(kids[0], SIGKILL);
    for (size_t i = 0; i < kids.size(); ++i) {
        int status = 0;
        waitpid(kids[i], &status, 0);
        if (i == 0)
            continue;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker " << i;
    }
    for (const char *n : names) {
        rs::AddrItem back;
        EXPECT_EQ(fc::read_entry(settings().cache_dir, key_of(n), 32, back), fc::Read::Hit) << n;
    }
}

struct Key {
    int k;
};
struct KeyLess {
    bool operator()(Key a, Key b) const { return a.k < b.k; }
};

TEST(MemoryTable, AtTheCapTheLeastRecentlyUsedEntryGoes) {
    using Table = zt::vnet::PCache<Key, int, KeyLess>;
    struct Step {
        char op; // 'a' add or replace, 'f' find
        int key;
        time_t at;
    };
    const struct {
        const char *what;
        std::vector<Step> steps; // then key 9 is added at time 9
        int evicted;
    } cases[] = {
        {"oldest access", {{'a', 1, 1}, {'a', 2, 2}, {'a', 3, 3}, {'f', 1, 4}}, 2},
        {"same access: oldest update", {{'a', 1, 1}, {'a', 2, 2}, {'a', 3, 3}, {'f', 1, 2}}, 1},
        {"same access and update: oldest creation",
         {{'a', 2, 1}, {'a', 1, 2}, {'a', 2, 3}, {'a', 1, 3}, {'a', 3, 3}}, 2},
        {"all times equal: lower key", {{'a', 3, 5}, {'a', 1, 5}, {'a', 2, 5}}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Table t(1000, 3, 3);
        for (const Step &s : c.steps) {
            if (s.op == 'a')
                t.add_replace(Key{s.key}, std::make_unique<int>(s.key), s.at, 0);
            else
                EXPECT_NE(t.find(Key{s.key}, s.at).item, nullptr);
        }
        t.add_replace(Key{9}, std::make_unique<int>(9), 9, 0);
        std::vector<int> left;
        t.each([&left](const Key &k, const int &, time_t) { left.push_back(k.k); });
        EXPECT_EQ(left.size(), 3u);
        EXPECT_EQ(std::find(left.begin(), left.end(), c.evicted), left.end());
    }
    // Growth by 10 up to the maximum; expired entries are counted and kept.
    Table grow(5, 10, 25);
    for (int k = 0; k < 30; ++k)
        grow.add_replace(Key{k}, std::make_unique<int>(k), 10, 0);
    EXPECT_EQ(grow.capacity(), 25u);
    EXPECT_EQ(grow.count(), 25u);
    EXPECT_EQ(grow.find(Key{29}, 16).item, nullptr);
    EXPECT_EQ(grow.expired(), 1);
    EXPECT_EQ(grow.count(), 25u);
}

} // namespace
