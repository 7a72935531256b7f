// Shared pieces of the registry tests: a root with an empty registry and
// helpers for child processes.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "support/temp_root.h"

namespace zt::test {

// A root with an empty registry: no path overrides either.
class Registry : public ::testing::Test {
  protected:
    Registry() { point_environment_at(root_.path()); }
    ~Registry() override { ztbase::registry::close_all(); }
    TempRoot root_;

    ztbase::registry::Key make(const std::string &path,
                               ztbase::registry::Root root = ztbase::registry::Root::LocalMachine) {
        ztbase::registry::Key key;
        EXPECT_EQ(ztbase::registry::Key::create(root, path, key), ztbase::registry::Status::Ok)
            << path;
        return key;
    }
    std::string db_file() const {
        return ztbase::registry::root_directory(ztbase::registry::Root::LocalMachine) +
               "/registry.db";
    }
    // Lets every user reach the machine's store (the temporary root is private).
    void open_to_all() {
        for (std::string dir =
                 ztbase::registry::root_directory(ztbase::registry::Root::LocalMachine);
             dir.size() > 1; dir = std::filesystem::path(dir).parent_path().string()) {
            chmod(dir.c_str(), 0755);
            if (dir == root_.path())
                break;
        }
    }
};

// Runs fn in a child process; the child's exit status is fn's result. The
// child leaves with _exit: nothing of the parent's runs twice.
inline pid_t spawn(const std::function<int()> &fn) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    return pid;
}

// The child's exit status, or 128 + the signal that ended it.
inline int wait_ok(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace zt::test
