// A temporary root for tests: every path the library would use on a real host
// is pointed below it, so no test touches /usr/quill, /etc/quill or $HOME.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace zt::test {

class TempRoot {
  public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(const std::string &relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

// Points HOME, TMPDIR, ZT_REGISTRY and ZT_REGISTRY_USER below a root and clears
// variables the library reads, so that the host's own settings never leak in.
void point_environment_at(const std::string &root);

// Writes path overrides so that every label of the path table expands below
// root (only /dev/null and the system shell stay where they are), and has the
// table built afresh on its next use.
void point_paths_at(const std::string &root);

// A fixture giving each test its own root, environment and path table.
class ZtTest : public ::testing::Test {
  protected:
    ZtTest() {
        point_environment_at(root_.path());
        point_paths_at(root_.path());
    }
    const TempRoot &root() const { return root_; }

  private:
    TempRoot root_;
};

// Writes a file (creating its directories); fails the test on error.
void write_file(const std::string &path, const std::string &content);
// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);

} // namespace zt::test
