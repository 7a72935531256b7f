#include <csignal>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <jansson.h>

#include "base/locks.h"
#include "base/module_hooks.h"
#include "base/tss.h"
#include "ztbase/status.h"

namespace {

TEST(TssBlock, CreatedZeroFilledOncePerThread) {
    ztbase_tss_data *a = nullptr, *b = nullptr;
    ASSERT_EQ(ztbase_get_tss_data(&a), 0);
    ASSERT_EQ(ztbase_get_tss_data(&b), 0);
    EXPECT_EQ(a, b);
    ztbase_tss_data *other = nullptr;
    std::thread t([&] {
        ASSERT_EQ(ztbase_get_tss_data(&other), 0);
        ztbase_tss_data zero;
        memset(&zero, 0, sizeof zero);
        EXPECT_EQ(memcmp(other, &zero, sizeof zero), 0);
    });
    t.join();
    EXPECT_NE(other, a);
}

// Everything a thread leaves in its block is released when it ends: the
// sanitizer build reports any leak, and the shared JSON record loses exactly
// the thread's reference.
TEST(TssBlock, ThreadEndReleasesContents) {
    json_t *record = json_object();
    std::thread t([record] {
        ztbase_tss_data *block = nullptr;
        ASSERT_EQ(ztbase_get_tss_data(&block), 0);
        getECmsgl(36, "C");
        ASSERT_NE(block->status_msg, nullptr);
        block->vnet_record = json_incref(record);
        block->connect_recs = strdup("connect_recs");
        block->peeripstr = strdup("127.0.0.1");
        block->peerhostname = strdup("localhost");
        block->peerhostdetails_json = strdup("{}");
        block->dhcp_client_json = strdup("{}");
        block->originator_cred_name = strdup("oc");
        block->master_server = strdup("master");
    });
    t.join();
    EXPECT_EQ(record->refcount, 1u);
    json_decref(record);
}

TEST(TssBlock, SlotMissingGivesStatus36) {
    ztbase::tss_module_event(ztbase::LoadReason::ProcessDetach);
    ztbase_tss_data *block = reinterpret_cast<ztbase_tss_data *>(1);
    EXPECT_EQ(ztbase_get_tss_data(&block), 36);
    EXPECT_EQ(block, nullptr);
    EXPECT_STREQ(getECmsgl(36, nullptr), "ztbase_get_tss_data() failed");
    ztbase::tss_module_event(ztbase::LoadReason::ProcessAttach);
    EXPECT_EQ(ztbase_get_tss_data(&block), 0);
    EXPECT_NE(block, nullptr);
}

TEST(FrameLocks, SecondAttachKeepsTheInstalledMutex) {
    pthread_mutex_t *installed = ztbase::config_string_mutex();
    ASSERT_NE(installed, nullptr);
    ztbase::config_string_lock_event(ztbase::LoadReason::ProcessAttach);
    EXPECT_EQ(ztbase::config_string_mutex(), installed);
    // recursive, as the path table relies on
    ASSERT_EQ(pthread_mutex_lock(installed), 0);
    ASSERT_EQ(pthread_mutex_lock(installed), 0);
    pthread_mutex_unlock(installed);
    pthread_mutex_unlock(installed);
}

void recording_handler(const char16_t *, const char16_t *, const char16_t *, unsigned, uintptr_t) {}

TEST(InvalidParameter, RegisterReturnsThePreviousHandler) {
    EXPECT_EQ(register_InvalidParameterHandler(nullptr), nullptr);
    ZT_invalid_parameter_handler before = register_InvalidParameterHandler(recording_handler);
    EXPECT_EQ(register_InvalidParameterHandler(ZT_InvalidParameterHandler), recording_handler);
    EXPECT_EQ(register_InvalidParameterHandler(nullptr), nullptr);
    if (before != nullptr)
        register_InvalidParameterHandler(before);
}

TEST(InvalidParameter, HandlerBreaksWithoutTheRegistrySwitch) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ZT_InvalidParameterHandler(u"p != NULL", u"strcpy", nullptr, 42, 0),
                ::testing::KilledBySignal(SIGTRAP), "");
}

} // namespace
