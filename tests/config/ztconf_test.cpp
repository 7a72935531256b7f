// Configuration snapshots: the 10-second check and the same-second rule on
// the real store, private references, overrides, the information record and
// its write-back, network specifications, and threads ending with their
// snapshots.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <ztbase/bpconf.h>
#include <ztbase/paths.h>
#include <ztbase/ztconf.h>

#include "bpconf_support.h"
#include "config/store/bpconf_store.h"
#include "config/snapshots/ztconf_internal.h"
#include "platform/registry/registry.h"
#include "support/config_update.h"
#include "support/temp_root.h"

namespace {

using namespace bpconf_test;
namespace zc = ztbase::ztconf;
namespace reg = ztbase::registry;

std::atomic<int64_t> g_now{0};
int64_t fake_clock() {
    return g_now.load();
}

// Each test's snapshots live on a thread of their own, so that no test sees
// what an earlier one left in the main thread's block.
template <typename F> void on_new_thread(F fn) {
    std::thread t(fn);
    t.join();
}

using zt::test::update_config;

int verbose_now() {
    ZtConfig *c = nullptr;
    EXPECT_EQ(bpconf_no_ref(&c, 1), 0);
    return c != nullptr ? c->VERBOSE : -100;
}

// Moves the cluster-aware file's time forward: a change the next check sees
// without waiting for the registry's next second.
void bump() {
    static int64_t step = 0;
    std::string path = getFennicString("ZTCL_CONFIG_PATH");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (!std::filesystem::exists(path))
        zt::test::write_file(path, "");
    struct timeval times[2] = {{time(nullptr) + 3000 + ++step, 0},
                               {time(nullptr) + 3000 + step, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
}

reg::Status failing_reader(const reg::Key &, std::vector<reg::Value> &) {
    return reg::Status::Failed;
}

class SnapshotTest : public zt::test::ZtTest {
  protected:
    SnapshotTest() {
        zc::set_clock(fake_clock);
        // Store times lie in the past of the injected clock unless a test
        // puts the clock on them.
        g_now = time(nullptr) + 1000;
    }
    ~SnapshotTest() override {
        zc::set_clock(nullptr);
        ztbase::bpconf::set_values_reader(nullptr);
        bpconf_enable_global_config_reads();
    }
};

TEST_F(SnapshotTest, TheStoreIsLookedAtOnceEveryTenSecondsAndReadOnlyWhenItMoved) {
    ASSERT_EQ(update_config("SERVER = alpha\nVERBOSE = 1\n"), 0);
    on_new_thread([] {
        zc::Counters start = zc::counters();
        auto since = [&start] {
            zc::Counters c = zc::counters();
            return std::pair<int64_t, int64_t>(c.checks - start.checks, c.reads - start.reads);
        };
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 1);
        EXPECT_EQ(since(), std::make_pair(int64_t(1), int64_t(1)));

        g_now += 9; // within the window: nothing is looked at
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(since(), std::make_pair(int64_t(1), int64_t(1)));
        g_now += 2; // past it, nothing changed: a look, no read
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(since(), std::make_pair(int64_t(2), int64_t(1)));
        EXPECT_EQ(ZT_forced_read_master_config(), 0); // forced: a look, still no read
        EXPECT_EQ(since(), std::make_pair(int64_t(3), int64_t(1)));

        ASSERT_EQ(update_config("VERBOSE = 3\n"), 0);
        bump();
        EXPECT_EQ(ZT_read_master_config(), 0); // the window is still open
        EXPECT_EQ(verbose_now(), 1);
        g_now += 11;
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 3);
        EXPECT_EQ(since(), std::make_pair(int64_t(4), int64_t(2)));
        EXPECT_GE(tss_conf_update_time(1), get_bpconf_update_time(1) - 1);

        // The clock set back an hour: the next checks are due at once, not an
        // hour later.
        ztconf_info_t *info = nullptr;
        ASSERT_EQ(ztconf_get_info(&info), 0);
        EXPECT_EQ(info->verbose, 3);
        g_now -= 3600;
        ASSERT_EQ(update_config("VERBOSE = 6\n"), 0);
        bump();
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 6);
        int count = 0;
        ztconf_info_t *counted = nullptr;
        ASSERT_EQ(ztconf_get_info_ref_count(&counted, &count), 0);
        EXPECT_EQ(counted->verbose, 6);
        ztconf_decrement_ref_count(count);
    });
}

TEST_F(SnapshotTest, ASecondChangeWithinTheSecondOfTheReadIsSeenAtTheNextCheck) {
    ASSERT_EQ(update_config("SERVER = alpha\nVERBOSE = 1\n"), 0);
    on_new_thread([] {
        const int64_t written = get_bpconf_update_time(1);
        g_now = written; // the read happens in the second of the write
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 1);
        EXPECT_EQ(tss_conf_update_time(1), written - 1);

        ASSERT_EQ(update_config("VERBOSE = 2\n"), 0);
        g_now = written + 1; // the next second: checked at once, not after 10 s
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 2);
    });
    // Two re-reads within one second both move the update time, so that the
    // information record follows each of them.
    on_new_thread([] {
        g_now = get_bpconf_update_time(1);
        ztconf_info_t *info = nullptr;
        ASSERT_EQ(ztconf_get_info(&info), 0);
        EXPECT_EQ(info->verbose, 2);
        const int64_t before = tss_conf_update_time(1);
        ASSERT_EQ(update_config("VERBOSE = 3\n"), 0);
        g_now = get_bpconf_update_time(1);
        EXPECT_EQ(ZT_forced_read_master_config(), 0);
        EXPECT_GT(tss_conf_update_time(1), before);
        ASSERT_EQ(ztconf_get_info(&info), 0);
        EXPECT_EQ(info->verbose, 3);
    });
}

// A store whose times move back (a removed cluster-aware file, an older copy
// of the store put back) has changed as well.
TEST_F(SnapshotTest, TimesThatMoveBackAreAChangeToo) {
    std::filesystem::create_directories(getFennicString("VAR_GLOBAL_PATH"));
    ASSERT_EQ(update_config("SERVER = alpha\nVERBOSE = 1\nSLP.DISK_RESOURCE_MULTIPLIER = 5\n"), 0);
    on_new_thread([] {
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(get_master_config_ptr()->SLP_DISK_RESOURCE_MULTIPLIER, 5);
        ASSERT_TRUE(std::filesystem::remove(getFennicString("ZTCL_CONFIG_PATH")));
        g_now += 11;
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(get_master_config_ptr()->SLP_DISK_RESOURCE_MULTIPLIER, 2);
    });
    const std::string copy = root() / "store.copy";
    ASSERT_EQ(reg::backup(reg::Root::LocalMachine, copy), reg::Status::Ok);
    on_new_thread([&] {
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 1);
        // A later write, then the older copy put back in its place.
        const int64_t before = get_bpconf_update_time(1);
        while (get_bpconf_update_time(1) == before)
            ASSERT_EQ(update_config("VERBOSE = 3\n"), 0);
        g_now += 11;
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 3);
        ASSERT_EQ(reg::restore(reg::Root::LocalMachine, copy), reg::Status::Ok);
        ASSERT_LT(get_bpconf_update_time(1), tss_conf_update_time(1));
        g_now += 11;
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 1);
    });
}

TEST_F(SnapshotTest, AStoreThatCannotBeReadKeepsThePreviousSnapshotOrGivesTheDefaults) {
    on_new_thread([] {
        LogCapture log;
        // Nothing stored: the first read fails and the defaults answer.
        EXPECT_NE(ZT_read_master_config(), 0);
        ZtConfig *c = nullptr;
        EXPECT_EQ(bpconf_no_ref(&c, 1), 0);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->valid, 1);
        EXPECT_EQ(c->SERVER, nullptr);
        EXPECT_TRUE(log.has("using the built-in defaults")) << log.all();
        EXPECT_EQ(check_master_config_ptr(), 0);
        // A missing users store reads as the defaults without complaint.
        EXPECT_EQ(read_users_config(), 0);
        EXPECT_EQ(get_users_config_ptr()->valid, 1);
    });
    ASSERT_EQ(update_config("SERVER = alpha\nVERBOSE = 4\n"), 0);
    on_new_thread([] {
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(check_master_config_ptr(), 1);
        ASSERT_EQ(update_config("VERBOSE = 5\n"), 0);
        bump();
        ztbase::bpconf::set_values_reader(failing_reader);
        LogCapture log;
        g_now += 11;
        EXPECT_NE(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 4);
        EXPECT_EQ(get_master_config_ptr()->VERBOSE, 4);
        EXPECT_TRUE(log.has("the previous one stays in use")) << log.all();
        ztbase::bpconf::set_values_reader(nullptr);
        g_now += 11; // the failed read left the stored times where they were
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 5);

        // A FIFO in the cluster-aware file's place: the read fails at once
        // instead of waiting for a writer, and the snapshot stays.
        const std::string cluster = getFennicString("ZTCL_CONFIG_PATH");
        std::filesystem::remove(cluster);
        ASSERT_EQ(mkfifo(cluster.c_str(), 0644), 0);
        struct timeval later[2] = {{time(nullptr) + 9000, 0}, {time(nullptr) + 9000, 0}};
        ASSERT_EQ(utimes(cluster.c_str(), later), 0);
        g_now += 11;
        EXPECT_NE(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 5);
        EXPECT_TRUE(log.has("stat of file " + cluster + " failed")) << log.all();
        std::filesystem::remove(cluster);
    });
}

TEST_F(SnapshotTest, OverridesFreezeTheConfigurationAndMoveTheUpdateTimeOnEveryCall) {
    ASSERT_EQ(update_config("SERVER = alpha\nVERBOSE = 1\n"), 0);
    ASSERT_EQ(bpconf_disable_global_config_reads_buffer("SERVER = frozen\nVERBOSE = 7\n"), 0);
    on_new_thread([] {
        EXPECT_EQ(verbose_now(), 7);
        int64_t a = tss_conf_update_time(1), b = tss_conf_update_time(1);
        EXPECT_GT(b, a);
        EXPECT_GT(a, get_bpconf_update_time(1));
        // Every call rebuilds the information record.
        ztconf_info_t *i1 = nullptr, *i2 = nullptr;
        ASSERT_EQ(ztconf_get_info(&i1), 0);
        int64_t t1 = i1->update_time;
        ASSERT_EQ(ztconf_get_info(&i2), 0);
        EXPECT_GT(i2->update_time, t1);
        EXPECT_EQ(i2->verbose, 7);

        // A thread's own freeze wins over the process-wide one.
        ASSERT_EQ(bpconf_disable_thread_config_reads_buffer("SERVER = mine\nVERBOSE = 8\n"), 0);
        EXPECT_EQ(verbose_now(), 8);
        EXPECT_EQ(bpconf_enable_thread_config_reads(), 0);
        EXPECT_EQ(verbose_now(), 7);
    });
    EXPECT_EQ(bpconf_enable_global_config_reads(), 0);
    on_new_thread([] {
        EXPECT_EQ(verbose_now(), 1);
        // A freeze lifted gives the store back, not the frozen copy.
        ASSERT_EQ(bpconf_disable_thread_config_reads_buffer("SERVER = mine\nVERBOSE = 8\n"), 0);
        ztconf_info_t *info = nullptr;
        ASSERT_EQ(ztconf_get_info(&info), 0);
        EXPECT_EQ(info->verbose, 8);
        EXPECT_EQ(bpconf_enable_thread_config_reads(), 0);
        EXPECT_EQ(ZT_read_master_config(), 0);
        EXPECT_EQ(verbose_now(), 1);
        ASSERT_EQ(ztconf_get_info(&info), 0);
        EXPECT_EQ(info->verbose, 1);
    });
}

TEST_F(SnapshotTest, OverrideTextIsParsedStrictly) {
    LogCapture log;
    EXPECT_EQ(bpconf_disable_global_config_reads_buffer("SERVER = a\nVERBOSE = many\n"), 20);
    EXPECT_EQ(bpconf_disable_thread_config_reads_buffer("CLIENT_PORT_WINDOW = 10\n"), 20);
    EXPECT_EQ(bpconf_disable_global_config_reads_buffer(nullptr), 20);
    on_new_thread([] { EXPECT_EQ(tss_conf_update_time(1), 0); }); // nothing was installed
}

TEST_F(SnapshotTest, PrivateKeysAreCountedReusedAndCheckedForTheirKind) {
    ASSERT_EQ(update_config("SERVER = alpha\nVERBOSE = 2\n"), 0);
    on_new_thread([] {
        ZtConfig *a = nullptr, *b = nullptr;
        int ka = 0, kb = 0;
        ASSERT_EQ(bpconf_readonly_ref(&a, &ka), 0);
        EXPECT_EQ(ka, 3);
        EXPECT_EQ(a->VERBOSE, 2);
        ASSERT_EQ(bpconf_writeable_ref(&b, &kb), 0);
        EXPECT_EQ(kb, 4);
        EXPECT_NE(a, b);

        ZtConfig *again = nullptr;
        int k = ka;
        EXPECT_EQ(bpconf_readonly_ref(&again, &k), 0);
        EXPECT_EQ(again, a);
        k = ka; // a read-only key asked for as writable, and an unknown key
        EXPECT_EQ(bpconf_writeable_ref(&again, &k), 227);
        EXPECT_EQ(k, 0);
        k = 99;
        EXPECT_EQ(bpconf_readonly_ref(&again, &k), 227);
        EXPECT_EQ(k, 0);

        EXPECT_EQ(bpconf_decrement_ref_count(ka), 0);
        EXPECT_EQ(bpconf_decrement_ref_count(ka), 0);
        // Key 3 is free again: the next private snapshot takes it, read afresh.
        ASSERT_EQ(update_config("VERBOSE = 6\n"), 0);
        int kc = 0;
        ZtConfig *c = nullptr;
        ASSERT_EQ(bpconf_writeable_ref(&c, &kc), 0);
        EXPECT_EQ(kc, 3);
        EXPECT_EQ(c->VERBOSE, 6);
        EXPECT_EQ(b->VERBOSE, 2); // never refreshed
        EXPECT_EQ(bpconf_decrement_ref_count(kc), 0);
        EXPECT_EQ(bpconf_decrement_ref_count(kb), 0);
    });
}

// Log lines of a dying child reach its standard error, where death tests look.
int to_stderr(int, int, const char *text, const char *tag) {
    fprintf(stderr, "%s: %s\n", tag != nullptr ? tag : "", text);
    return 0;
}

class SnapshotDeathTest : public SnapshotTest {
  protected:
    SnapshotDeathTest() : saved_(c_shim_mod_logging) { c_shim_mod_logging = &fn_; }
    ~SnapshotDeathTest() override { c_shim_mod_logging = saved_; }
    c_shim_logging_fn fn_ = to_stderr;
    c_shim_logging_fn *saved_;
};

TEST_F(SnapshotDeathTest, MisusedKeysAndCountsAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ZtConfig *c = nullptr;
    int key = 1;
    EXPECT_DEATH(bpconf_readonly_ref(&c, &key), "Reserved access_key \\(1\\)");
    key = 2;
    EXPECT_DEATH(bpconf_writeable_ref(&c, &key), "Reserved access_key \\(2\\)");
    EXPECT_DEATH(bpconf_decrement_ref_count(42), "get_bpconf_list_node_by_key failed");
    EXPECT_DEATH(bpconf_decrement_ref_count(1), "cannot be decremented from \\(0\\)");
    ASSERT_EQ(update_config("SERVER = alpha\n"), 0);
    EXPECT_DEATH(on_new_thread([] {
                     ZtConfig *r = nullptr;
                     int k = 0;
                     bpconf_readonly_ref(&r, &k);
                 }),
                 "thread ends holding 1 configuration snapshot references");
    EXPECT_DEATH(
        {
            ztconf_info_t *info = nullptr;
            int count = 0;
            for (int i = 0; i < 22; ++i)
                ztconf_get_info_ref_count(&info, &count);
        },
        "exceed 21");
    EXPECT_DEATH(
        {
            ztconf_info_t *info = nullptr;
            int count = 0;
            ztconf_get_info_ref_count(&info, &count);
            ztconf_get_info_ref_count(&info, &count);
            ztconf_decrement_ref_count(1);
        },
        "released while the count is 2");
}

TEST_F(SnapshotTest, InformationRecordReferencesAreCountedAndKeepTheRecord) {
    ASSERT_EQ(update_config("SERVER = alpha\nVERBOSE = 2\n"), 0);
    on_new_thread([] {
        ztconf_info_t *r1 = nullptr, *r2 = nullptr;
        int c1 = 0, c2 = 0;
        ASSERT_EQ(ztconf_get_info_ref_count(&r1, &c1), 0);
        ASSERT_EQ(ztconf_get_info_ref_count(&r2, &c2), 0);
        EXPECT_EQ(c1, 1);
        EXPECT_EQ(c2, 2);
        EXPECT_EQ(r1, r2);
        // A change while references are out does not free the record under them.
        ASSERT_EQ(update_config("VERBOSE = 3\n"), 0);
        bump();
        g_now += 11;
        ztconf_info_t *now = nullptr;
        ASSERT_EQ(ztconf_get_info(&now), 0);
        EXPECT_EQ(now, r1);
        EXPECT_EQ(r1->verbose, 2);
        EXPECT_EQ(ztconf_decrement_ref_count(2), 0);
        EXPECT_EQ(ztconf_decrement_ref_count(1), 0);
        EXPECT_EQ(ztconf_decrement_ref_count(0), 0);
        ASSERT_EQ(ztconf_get_info(&now), 0);
        EXPECT_EQ(now->verbose, 3);
    });
}

TEST_F(SnapshotTest, MasterServerIsTheFirstServerUntilSet) {
    on_new_thread([] {
        char name[64];
        EXPECT_EQ(get_master_server(name, sizeof name), 37); // nothing configured
        EXPECT_EQ(set_master_server(nullptr), 20);
        EXPECT_EQ(set_master_server("chosen"), 0);
        EXPECT_EQ(get_master_server(name, sizeof name), 0);
        EXPECT_STREQ(name, "chosen");
    });
    ASSERT_EQ(update_config("SERVER = first\nSERVER = second\n"), 0);
    on_new_thread([] {
        char name[64];
        EXPECT_EQ(get_master_server(name, sizeof name), 0);
        EXPECT_STREQ(name, "first");
    });
}

// Threads that read, reference and freeze their configuration and end: under
// the sanitizers nothing leaks and nothing races.
TEST_F(SnapshotTest, ManyThreadsEndingWithTheirSnapshots) {
    ASSERT_EQ(update_config("SERVER = alpha\nVERBOSE = 2\n"), 0);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 20; ++i) {
                ztconf_info_t *info = nullptr;
                int count = 0, key = 0;
                ZtConfig *c = nullptr;
                if (ztconf_get_info(&info) != 0 || info->verbose != 2 ||
                    bpconf_readonly_ref(&c, &key) != 0 || c->VERBOSE != 2)
                    ++failures;
                if (ztconf_get_info_ref_count(&info, &count) == 0)
                    ztconf_decrement_ref_count(count);
                if (t % 2 == 0 && i == 10 && c != nullptr) {
                    bpconf_disable_thread_config_reads(c);
                    bpconf_enable_thread_config_reads();
                }
                if (key != 0)
                    bpconf_decrement_ref_count(key);
                char name[32];
                if (get_master_server(name, sizeof name) != 0)
                    ++failures;
                ZT_forced_read_master_config();
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

// ---- the information record ----

class InfoTest : public zt::test::ZtTest {
  protected:
    // A record from text over the defaults, and its information record.
    ztconf_info_t *info_of(const std::string &text, int *status = nullptr) {
        FreeConfig(record_.get());
        EXPECT_EQ(parse_over_defaults(text, record_.get()), 0) << text;
        record_->valid = 1;
        ztconf_info_t *info = nullptr;
        int s = ztconf_get_bpinfo(record_.get(), &info);
        if (status != nullptr)
            *status = s;
        else
            EXPECT_EQ(s, 0);
        infos_.push_back(info);
        return info;
    }
    ~InfoTest() override {
        for (ztconf_info_t *i : infos_)
            ztconf_free_info(i);
    }
    Record record_;
    std::vector<ztconf_info_t *> infos_;
};

TEST_F(InfoTest, ConversionsOfTheInformationRecord) {
    ztconf_info_t *i = info_of("SERVER = m1\nSERVER = m2\nWEB_SERVER_TUNNEL_USE = NEVER\n"
                               "USE_HXSS = REQUIRED\nDEFAULT_CONNECT_OPTIONS = 1 0 3\n"
                               "USE_AUTHENTICATION = ON\nCLIENT_PORT_WINDOW = 10 20\n"
                               "VERBOSE = 5\nCLIENT_NAME = me\n");
    ASSERT_NE(i, nullptr);
    ASSERT_NE(i->server, nullptr);
    EXPECT_STREQ(i->server->name, "m1");
    ASSERT_NE(i->server->next, nullptr);
    EXPECT_STREQ(i->server->next->name, "m2");
    EXPECT_EQ(i->web_server_tunnel_use, 2);
    EXPECT_EQ(i->use_hxss, 1);
    ASSERT_NE(i->default_connect_options, nullptr);
    EXPECT_EQ(i->default_connect_options->value[0], 1);
    EXPECT_EQ(i->default_connect_options->value[2], 0); // 3 is stored as 0
    EXPECT_EQ(i->use_authentication, 1);
    EXPECT_EQ(i->client_port_window_low, 10);
    EXPECT_EQ(i->client_port_window_high, 20);
    EXPECT_EQ(i->verbose, 5);
    EXPECT_STREQ(i->client_name, "me");
    EXPECT_EQ(i->pbx_port, 1556); // no "halvane_pbx" in the service database
    EXPECT_EQ(i->reserved, 0);

    // Values outside the mappings, set on the record directly.
    record_->WEB_SERVER_TUNNEL_USE = 7;
    record_->USE_HXSS = 9;
    for (int k = 2; k < 10; ++k)
        record_->VNET_OPTIONS->value[k] = 0;
    record_->VNET_OPTIONS->value[10] = 0;
    ztconf_info_t *j = nullptr;
    ASSERT_EQ(ztconf_get_bpinfo(record_.get(), &j), 0);
    infos_.push_back(j);
    EXPECT_EQ(j->web_server_tunnel_use, 0);
    EXPECT_EQ(j->use_hxss, 2);
    const int32_t filled[12] = {120, 3600, 200, 40, 3, 1, 30, 5, 1793, 32, 0, 0};
    for (int k = 0; k < 12; ++k)
        EXPECT_EQ(j->vnet_options->value[k], filled[k]) << k;
}

TEST_F(InfoTest, HostCacheTtlComesFromTheItemOrTheVnetOptions) {
    ztconf_info_t *a = info_of("HOST_CACHE_TTL = 0\n"); // the default second number, 3600
    EXPECT_EQ(a->host_cache_ttl, 3600);
    ztconf_info_t *b = info_of("HOST_CACHE_TTL = 600\n");
    EXPECT_EQ(b->host_cache_ttl, 600);
    EXPECT_EQ(b->vnet_options->value[1], 600);
}

TEST_F(InfoTest, PreferredNetworksAreBuiltInTheirOrderWithThePseudoNode) {
    ztconf_info_t *i = info_of("PREFERRED_NETWORK = 10.0.0.0/8 REQUIRED\n"
                               "PREFERRED_NETWORK = 192.168.1.0/24 PROHIBITED\n"
                               "REQUIRED_INTERFACE = 10.1.1.1\nREQUIRED_NETWORK = 172.16.0.0/12\n"
                               "VANTREL_SERVER_NAME = vault1\n");
    struct Expected {
        const char *network;
        int directive;
        const char *source;
        int pseudo;
    };
    const Expected expected[] = {
        {"vault1", 1, "10.1.1.1", 0},
        {"172.16.0.0/12", 3, nullptr, 0},
        {"<PSEUDO PREFERRED NETWORK>", 1, "10.1.1.1", 1},
        {"192.168.1.0/24", 2, nullptr, 0},
        {"10.0.0.0/8", 1, nullptr, 0}, // REQUIRED is kept as MATCH
    };
    const ztconf_preferred_network_t *n = i->preferred_network;
    for (const Expected &e : expected) {
        ASSERT_NE(n, nullptr) << e.network;
        EXPECT_STREQ(n->network, e.network);
        EXPECT_EQ(n->directive, e.directive) << e.network;
        EXPECT_STREQ(n->source, e.source) << e.network;
        EXPECT_EQ(n->pseudo, e.pseudo) << e.network;
        n = n->next;
    }
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(i->preferred_network->next->network_spec.prefix, 12);
    EXPECT_EQ(i->preferred_network->source_spec.family, AF_INET);

    // Any cluster interface: no pseudo node.
    ztconf_info_t *j = info_of("ANY_CLUSTER_INTERFACE = 1\n");
    for (auto *p = j->preferred_network; p != nullptr; p = p->next)
        EXPECT_EQ(p->pseudo, 0);
}

TEST_F(InfoTest, ABadPreferredNetworkOrAnInvalidRecordFailsTheRecord) {
    int status = 0;
    EXPECT_EQ(info_of("PREFERRED_NETWORK = 10.0.0.0/0 MATCH\n", &status), nullptr);
    EXPECT_EQ(status, 20);
    Record empty;
    ztconf_info_t *info = nullptr;
    EXPECT_EQ(ztconf_get_bpinfo(empty.get(), &info), 110);
    EXPECT_EQ(info, nullptr);
}

TEST(Netspec, Texts) {
    struct Case {
        const char *text;
        int status, family, prefix, wildcard;
        const char *hostname;
    } cases[] = {
        {"10.1.0.0/16", 0, AF_INET, 16, 0, nullptr},
        {"10.1.0.0", 0, AF_INET, 128, 0, nullptr},
        {"10.1.0.0/0", 20, 0, 0, 0, nullptr},
        {"10.1.0.0/33", 20, 0, 0, 0, nullptr},
        {"10.1.0.0/-8", 20, 0, 0, 0, nullptr},
        {"10.1.0.0/8x", 20, 0, 0, 0, nullptr},
        {"10.1.0.0/", 20, 0, 0, 0, nullptr},
        {"fe80::1/64", 0, AF_INET6, 64, 0, nullptr},
        {"fe80::1/128", 0, AF_INET6, 128, 0, nullptr},
        {"fe80::1/129", 20, 0, 0, 0, nullptr},
        {"0/0", 0, 0, 0, 1, nullptr},
        {"::", 0, AF_INET6, 0, 1, nullptr},
        {"0::0", 0, AF_INET6, 0, 1, nullptr},
        {"0.0.0.0", 0, AF_INET, 0, 1, nullptr},
        {"host.example", 0, 0, 128, 0, "host.example"},
        {"host/8", 20, 0, 0, 0, nullptr},
        {"", 20, 0, 0, 0, nullptr},
        {"/8", 20, 0, 0, 0, nullptr},
    };
    for (const Case &c : cases) {
        ztconf_netspec_t spec;
        EXPECT_EQ(parseNetspec(c.text, &spec), c.status) << c.text;
        EXPECT_EQ(spec.family, c.family) << c.text;
        EXPECT_EQ(spec.prefix, c.prefix) << c.text;
        EXPECT_EQ(spec.wildcard, c.wildcard) << c.text;
        EXPECT_STREQ(spec.hostname, c.hostname) << c.text;
        if (c.status == 0 && !c.wildcard && c.hostname == nullptr) {
            ASSERT_NE(spec.address, nullptr) << c.text;
            EXPECT_EQ(spec.address->sa_family, c.family) << c.text;
        }
        ztconf_free_netspec(&spec);
    }
    std::string longest(1024, 'a');
    ztconf_netspec_t spec;
    EXPECT_EQ(parseNetspec(longest.c_str(), &spec), 20);
    EXPECT_EQ(parseNetspec(longest.c_str() + 1, &spec), 0);
    ztconf_free_netspec(&spec);
    EXPECT_EQ(parseNetspec(nullptr, &spec), 20);
}

// ---- writing back ----

class SetInfoTest : public SnapshotTest {};

TEST_F(SetInfoTest, ZeroesNeverClearAndNamedFieldsAlwaysWrite) {
    ASSERT_EQ(update_config("SERVER = alpha\nCLIENT_READ_TIMEOUT = 300\nCLIENT_NAME = me\n"
                     "USE_AUTHENTICATION = ON\nREQUEST_STU_RESOURCE_FOR_SNAPSHOT_JOBS = 1\n"
                     "USE_HXSS = REQUIRED\n"),
              0);
    on_new_thread([] {
        ztconf_info_t *info = nullptr;
        ASSERT_EQ(ztconf_get_info(&info), 0);
        ASSERT_EQ(info->client_read_timeout, 300);
        info->client_read_timeout = 0;     // not set: the stored 300 stays
        info->client_connect_timeout = 77; // set: written
        free(info->client_name);           // null: the stored name stays
        info->client_name = nullptr;
        info->use_authentication = 0; // differs: written, zero included
        info->request_stu_resource_for_snapshot_jobs = 0;
        info->use_hxss = 0; // always written
        ztconf_authentication_domain_t *domain = nullptr;
        ASSERT_EQ(ztconf_create_authentication_domain("dom", nullptr, 5, "broker", 389, &domain),
                  0);
        info->authentication_domain = domain;
        ztconf_free_authorization_service(info->authorization_service);
        ASSERT_EQ(ztconf_create_authorization_service("authz", 13783, &info->authorization_service),
                  0);
        ASSERT_EQ(ztconf_set_info(info), 0);
    });
    on_new_thread([] {
        ZtConfig *c = get_master_config_ptr();
        EXPECT_EQ(c->CLIENT_READ_TIMEOUT, 300);
        EXPECT_EQ(c->CLIENT_CONNECT_TIMEOUT, 77);
        EXPECT_STREQ(c->CLIENT_NAME, "me");
        EXPECT_EQ(c->USE_AUTHENTICATION, 0);
        EXPECT_EQ(c->REQUEST_STU_RESOURCE_FOR_SNAPSHOT_JOBS, 0);
        EXPECT_EQ(c->USE_HXSS, 0);
        ASSERT_NE(c->AUTHENTICATION_DOMAIN, nullptr);
        EXPECT_STREQ(c->AUTHENTICATION_DOMAIN->broker, "broker");
        ASSERT_NE(c->AUTHORIZATION_SERVICE, nullptr);
        EXPECT_EQ(c->AUTHORIZATION_SERVICE->port, 13783);
        ASSERT_NE(c->SERVER, nullptr);
        EXPECT_STREQ(c->SERVER->host, "alpha");
    });
}

} // namespace
