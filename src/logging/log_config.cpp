#include "logging/log_config.h"

#include <cstdlib>
#include <mutex>

namespace ztbase::logcfg {
namespace {

std::mutex g_mutex; // guards the source pointer and the memory source's values
std::shared_ptr<Source> g_source;

const std::shared_ptr<MemorySource> &builtin() {
    static auto *source =
        new std::shared_ptr<MemorySource>(new MemorySource); // outlives every caller
    return *source;
}

} // namespace

int verbosity_of(int value, int global, bool minus3_unset) {
    if (value == -1 || (minus3_unset && value == -3))
        return 0;
    if (value == 0)
        return global == -1 ? 0 : global;
    return value;
}

void before_fork() {
    g_mutex.lock();
}

void after_fork() {
    g_mutex.unlock();
}

bool MemorySource::read(Values &out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!readable_)
        return false;
    out = values_;
    return true;
}

int64_t MemorySource::update_time() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return time_;
}

bool MemorySource::update(const std::string &lines) {
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t pos = 0;
    while (pos < lines.size()) {
        size_t nl = lines.find('\n', pos);
        std::string line =
            lines.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? lines.size() : nl + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq);
        long value = strtol(line.c_str() + eq + 1, nullptr, 10);
        if (key == "VERBOSE")
            values_.verbose = static_cast<int>(value);
        else if (key == "MAX_LOGFILE_SIZE")
            values_.max_logfile_size = value;
        else if (key == "MAX_NUM_LOGFILES")
            values_.max_num_logfiles = value;
        else if (key == "ENABLE_ROBUST_LOGGING")
            values_.enable_robust_logging = static_cast<int>(value);
        else
            values_.keys[key] = static_cast<int>(value);
    }
    ++time_;
    return true;
}

void MemorySource::set(const Values &values) {
    std::lock_guard<std::mutex> lock(g_mutex);
    values_ = values;
    ++time_;
}

void MemorySource::set_readable(bool readable) {
    std::lock_guard<std::mutex> lock(g_mutex);
    readable_ = readable;
    ++time_;
}

std::shared_ptr<Source> source() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_source)
        return g_source;
    return builtin();
}

void set_source(std::shared_ptr<Source> source) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_source = std::move(source);
}

MemorySource &memory() {
    return *builtin();
}

} // namespace ztbase::logcfg
