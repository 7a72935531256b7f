// Appliance release information from the release file and from test records.
#include <string>

#include <gtest/gtest.h>

#include <ztbase/debuglog.h>
#include <ztbase/ztapp.h>

#include "support/log_capture.h"
#include "support/temp_root.h"

namespace {

class ZtappTest : public zt::test::ZtTest {
  protected:
    ~ZtappTest() override {
        ztapp_info_set_unit_test_info(nullptr, nullptr, nullptr, nullptr, 0);
        ztapp_info_set_unit_test_base_path(nullptr);
    }
    std::string release(const std::string &content) {
        zt::test::write_file(root() / "etc/ztapp-release", content);
        return root() / "etc";
    }
};

const char *const kComplete = "ztapp-release = 3.1\nbuilddate = 20261204\n"
                              "platform-version = 3.1.0\nsystem-product-name = ZT 5240\n";

TEST_F(ZtappTest, TheReleaseFileMakesTheRecord) {
    std::string dir = release(std::string(kComplete) + "model = 5240\n");
    ztapp_info_t *info = ztapp_info_init_ex(dir.c_str());
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->release, "3.1");
    EXPECT_STREQ(info->build_date, "20261204");
    EXPECT_STREQ(info->platform_version, "3.1.0");
    EXPECT_STREQ(info->system_product_name, "ZT 5240");
    EXPECT_EQ(info->model, 5240);
    EXPECT_TRUE(is_zta(info));
    EXPECT_FALSE(is_ztva(info));
    ztapp_info_fini(&info);
    EXPECT_EQ(info, nullptr);

    ztapp_info_set_unit_test_base_path(dir.c_str());
    info = ztapp_info_init();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->model, 5240);
    ztapp_info_fini(&info);
}

TEST_F(ZtappTest, MissingOrBadFilesGiveNoRecord) {
    EXPECT_FALSE(is_zta(nullptr));
    EXPECT_FALSE(is_ztva(nullptr));
    const std::string huge(1 << 20, 'r');
    const struct {
        const char *row;
        const char *file; // nullptr: no release file at all
        std::string tail; // after the complete lines
        bool record;
        const char *logged;
    } cases[] = {
        {"no release file", nullptr, "", false, ""},
        {"no model line", "etc", "", false,
         "Invalid ztapp-release file, failed to find: model, status: 20"},
        {"a model that is no number", "etc", "model = 51x\n", false, ""},
        {"an overlong release cut to 256 characters", "etc",
         "model = 5100\nztapp-release = " + huge, true, ""},
    };
    for (const auto &c : cases) {
        zt::test::LogCapture log;
        const std::string dir =
            c.file != nullptr ? release(std::string(kComplete) + c.tail) : root() / "nowhere";
        ztapp_info_t *info = ztapp_info_init_ex(dir.c_str());
        EXPECT_EQ(info != nullptr, c.record) << c.row;
        EXPECT_TRUE(log.has(c.logged)) << c.row << "\n" << log.all();
        if (info != nullptr) {
            EXPECT_EQ(std::string(info->release), huge.substr(0, 256)) << c.row;
            EXPECT_TRUE(is_ztva(info)) << c.row;
        }
        ztapp_info_fini(&info);
    }
}

TEST_F(ZtappTest, TestRecordsAreCopiesAndIncompleteOnesClear) {
    EXPECT_EQ(ztapp_info_set_unit_test_info("r", "b", "p", "n", 5100), 0);
    ztapp_info_t *a = ztapp_info_init();
    ztapp_info_t *b = ztapp_info_init();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_TRUE(is_ztva(a));
    ztapp_info_fini(&a);
    ztapp_info_fini(&b);
    EXPECT_EQ(ztapp_info_set_unit_test_info("r", "", "p", "n", 5100), 0);
    ztapp_info_set_unit_test_base_path((root() / "nowhere").c_str());
    EXPECT_EQ(ztapp_info_init(), nullptr);
}

} // namespace
