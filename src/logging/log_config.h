// What the debug log reads of the product configuration: the verbosity items,
// the file size and count limits and robust logging. The configuration family
// plugs its store in with set_source; until then an in-memory source with the
// built-in defaults answers, which tests fill as they need.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace ztbase::logcfg {

// MAX_LOGFILE_SIZE when it is missing or invalid, in megabytes.
constexpr long kDefaultMaxLogFileMb = 50;
// MAX_NUM_LOGFILES when it is missing or invalid: no limit.
constexpr long kDefaultMaxNumLogFiles = 0;

// The verbosity a configured value gives, with the global VERBOSE value:
// -1 means not set and gives 0; 0 gives the global value (0 when that is -1);
// any other value is the verbosity. `minus3_unset`: -3 means not set too.
// get_configured_verbose and log_get_verbose pass true, as their callers use -3
// as a second "not set"; the log object passes false and keeps -3, which then
// filters every level-2 line as the configuration asks.
int verbosity_of(int value, int global, bool minus3_unset);

struct Values {
    int verbose = 0;                 // VERBOSE
    std::map<std::string, int> keys; // BPTM_VERBOSE, "<program>_VERBOSE" ...
    std::optional<long> max_logfile_size = kDefaultMaxLogFileMb;   // megabytes; nullopt: unreadable
    std::optional<long> max_num_logfiles = kDefaultMaxNumLogFiles; // nullopt: unreadable
    int enable_robust_logging = 0;
};

class Source {
  public:
    virtual ~Source() = default;
    // The local host configuration; false when it cannot be read.
    virtual bool read(Values &out) = 0;
    // When the configuration last changed (any clock; compared for "newer").
    virtual int64_t update_time() = 0;
    // Applies "KEY=value\n" lines to the local host configuration.
    virtual bool update(const std::string &lines) = 0;
};

// The in-memory source: holds Values, applies updates to them and moves its
// update time on each change.
class MemorySource : public Source {
  public:
    bool read(Values &out) override;
    int64_t update_time() override;
    bool update(const std::string &lines) override;
    void set(const Values &values);
    void set_readable(bool readable);

  private:
    Values values_;
    int64_t time_ = 0;
    bool readable_ = true;
};

// The source in use (the built-in MemorySource until one is set).
std::shared_ptr<Source> source();
// Replaces the source; null restores the built-in one.
void set_source(std::shared_ptr<Source> source);
// The built-in source, for tests to fill.
MemorySource &memory();

// Around fork(): the source pointer and the memory source's values stay whole.
void before_fork();
void after_fork();

} // namespace ztbase::logcfg
