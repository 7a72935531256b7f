// Every test program starts in a temporary root of its own, before any test
// runs, so that even code outside a ZtTest fixture stays below it.
#include <gtest/gtest.h>

#include "support/temp_root.h"

namespace {

class ProcessRoot : public ::testing::Environment {
  public:
    void SetUp() override {
        root_ = std::make_unique<zt::test::TempRoot>();
        zt::test::point_environment_at(root_->path());
    }
    void TearDown() override { root_.reset(); }

  private:
    std::unique_ptr<zt::test::TempRoot> root_;
};

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ProcessRoot);
    return RUN_ALL_TESTS();
}
