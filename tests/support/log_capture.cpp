#include "support/log_capture.h"

namespace zt::test {

LogCapture *LogCapture::current_ = nullptr;

LogCapture::LogCapture() : saved_(c_shim_mod_logging), outer_(current_) {
    current_ = this;
    c_shim_mod_logging = &fn_;
}

LogCapture::~LogCapture() {
    c_shim_mod_logging = saved_;
    current_ = outer_;
}

int LogCapture::sink(int, int, const char *text, const char *tag) {
    if (current_ != nullptr)
        current_->lines_.push_back(std::string(tag != nullptr ? tag : "") + ": " +
                                   (text != nullptr ? text : ""));
    return 0;
}

bool LogCapture::has(const std::string &text) const {
    for (const std::string &l : lines_)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

std::string LogCapture::all() const {
    std::string out;
    for (const std::string &l : lines_)
        out += l + "\n";
    return out;
}

} // namespace zt::test
