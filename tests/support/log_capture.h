// Every log line written during a capture's lifetime, as "tag: text", taken
// from the library's logging hook instead of a file.
#pragma once

#include <string>
#include <vector>

#include <ztbase/debuglog.h>

namespace zt::test {

class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::vector<std::string> &lines() const { return lines_; }
    // Whether a line contains text.
    bool has(const std::string &text) const;
    // The lines, each ended by a line end.
    std::string all() const;
    void clear() { lines_.clear(); }

  private:
    static int sink(int level, int verbosity, const char *text, const char *tag);
    static LogCapture *current_;
    c_shim_logging_fn fn_ = sink;
    c_shim_logging_fn *saved_ = nullptr;
    LogCapture *outer_ = nullptr;
    std::vector<std::string> lines_;
};

} // namespace zt::test
