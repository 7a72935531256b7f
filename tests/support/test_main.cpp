// Every test program starts in a temporary root of its own, before any test
// runs, so that even code outside a ZtTest fixture stays below it. The debug
// log reads its settings from the in-memory source that tests fill; tests of
// the log on the real configuration install the host source themselves.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "logging/log_config.h"
#include "support/temp_root.h"

namespace {

class ProcessRoot : public ::testing::Environment {
  public:
    void SetUp() override {
        root_ = std::make_unique<zt::test::TempRoot>();
        zt::test::point_environment_at(root_->path());
        // A relative path written by any test lands here, never in the tree
        // the tests were started from.
        char *cwd = getcwd(nullptr, 0);
        if (cwd != nullptr)
            start_dir_ = cwd;
        free(cwd);
        if (chdir(root_->path().c_str()) != 0)
            perror("chdir to the test root");
    }
    void TearDown() override {
        if (!start_dir_.empty() && chdir(start_dir_.c_str()) != 0)
            perror("chdir back");
        root_.reset();
    }

  private:
    std::unique_ptr<zt::test::TempRoot> root_;
    std::string start_dir_;
};

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ztbase::logcfg::set_source(nullptr);
    ::testing::AddGlobalTestEnvironment(new ProcessRoot);
    return RUN_ALL_TESTS();
}
