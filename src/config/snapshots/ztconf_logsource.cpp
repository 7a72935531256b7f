// The debug log's configuration is the local host configuration: the
// verbosity items, the free "<program>_VERBOSE" keys, the file limits and
// robust logging, re-read when the store's update time moves, and repairs
// written back through parsing, the update check and the update path.
// Installed when the library loads; test programs may put the in-memory
// source back.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <ztbase/paths.h>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/status.h>

#include "config/store/bpconf_internal.h"
#include "config/store/store_stamp.h"
#include "config/snapshots/ztconf_internal.h"
#include "logging/log_config.h"
#include "platform/registry/registry.h"

namespace ztbase::ztconf {
namespace {

constexpr const char *kTag = "log_bpconf_update";

// A whole decimal number, or nothing.
std::optional<long> number(const char *text) {
    if (text == nullptr)
        return std::nullopt;
    errno = 0;
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    while (end != nullptr && isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (errno != 0 || end == text || *end != '\0')
        return std::nullopt;
    return value;
}

std::string upper(std::string s) {
    for (char &c : s)
        c = char(toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string lower(std::string s) {
    for (char &c : s)
        c = char(tolower(static_cast<unsigned char>(c)));
    return s;
}


class HostSource : public logcfg::Source {
  public:
    // The log asks for the update time while it holds its own mutex, and the
    // store logs while it holds the registry's: the answer comes from the
    // status of the store's files alone, named while the log's mutex is free.
    int64_t update_time() override {
        std::string dir, cluster;
        {
            std::lock_guard<std::mutex> lock(paths_mutex_);
            dir = dir_;
            cluster = cluster_;
        }
        if (dir.empty())
            return -(++unsettled_);
        // Without the database file nothing is known: read at every check.
        const bpconf::StoreStamp store = bpconf::store_stamp(dir);
        if (store.db.newest_ns() == 0)
            return -(++unsettled_);
        const int64_t newest =
            std::max(store.newest_ns(), bpconf::cluster_file_stamp(cluster).newest_ns());
        if (!bpconf::settled(newest, bpconf::real_ns()))
            return -(++unsettled_);
        return newest;
    }

    bool read(logcfg::Values &out) override {
        remember_paths();
        bpconf::Record record = bpconf::new_record();
        if (!record)
            return false;
        // A host without a server still has a verbosity: no semantic check.
        int status = bpconf::read_stored_for_update(bpconfLocalSource, record.get());
        if (status != 0) {
            logmsgf(ZTLOG_DEBUG, kTag, "Unable to read configuration: Status: %d", status);
            return false;
        }
        logcfg::Values v;
        v.verbose = record->VERBOSE;
        static const char *const kItems[] = {"BPDBM", "BPJOBD",  "BPRD", "BPTM",
                                             "BPBRM", "ZTPROXY", "VAULT"};
        for (const char *item : kItems) {
            std::string label = std::string(item) + "_VERBOSE";
            if (auto *field = static_cast<int32_t *>(
                    getConfigDataPointer(record.get(), getConfigIndexA(label.c_str()))))
                v.keys[label] = *field;
        }
        for (const ZtKeyValNode *n = record->GENERIC_KEY_VAL_LIST; n != nullptr; n = n->next) {
            if (n->key == nullptr || bpconf::is_tombstone(n->value))
                continue;
            const std::string key = n->key;
            if (strcasecmp(key.c_str(), "MAX_LOGFILE_SIZE") == 0) {
                v.max_logfile_size = number(n->value);
            } else if (strcasecmp(key.c_str(), "MAX_NUM_LOGFILES") == 0) {
                v.max_num_logfiles = number(n->value);
            } else if (key.size() > 8 &&
                       strcasecmp(key.c_str() + key.size() - 8, "_VERBOSE") == 0) {
                std::optional<long> value = number(n->value);
                if (!value || *value < INT_MIN || *value > INT_MAX)
                    continue;
                // Free keys compare without case; the log looks them up as
                // "<program>_VERBOSE" with the program name as given.
                const std::string stem = key.substr(0, key.size() - 8);
                for (const std::string &k :
                     {key, upper(key), lower(stem) + "_VERBOSE", upper(stem) + "_VERBOSE"})
                    v.keys.emplace(k, int(*value));
            }
        }
        v.enable_robust_logging = record->ENABLE_ROBUST_LOGGING;
        out = std::move(v);
        return true;
    }

    void remember_paths() {
        const std::string dir = registry::root_directory(registry::Root::LocalMachine);
        const std::string cluster = getFennicString("ZTCL_CONFIG_PATH");
        std::lock_guard<std::mutex> lock(paths_mutex_);
        dir_ = dir;
        cluster_ = cluster;
    }

    bool update(const std::string &lines) override {
        bpconf::Record record = bpconf::new_record();
        auto definition = std::make_unique<ZtConfig>();
        std::string text = lines;
        if (!record)
            return false;
        int status = ParseConfigExA(text.data(), record.get(), definition.get(),
                                    ZTPARSE_RECORD_EMPTY | ZTPARSE_STRICT);
        if (status != 0) {
            logmsgf(ZTLOG_ERROR, kTag, "ParseConfigEx() failed: %s (%d)\n", getECmsg(status),
                    status);
            return false;
        }
        status = CheckSemanticsForUpdate(record.get(), definition.get());
        if (status != 0) {
            logmsgf(ZTLOG_ERROR, kTag, "CheckSemanticsForUpdate() failed: %s (%d)\n",
                    getECmsg(status), status);
            return false;
        }
        status = UpdateLocalHostConfig(bpconfLocalSource, record.get(), definition.get());
        if (status != 0) {
            logmsgf(ZTLOG_ERROR, kTag, "UpdateHostConfig() failed: %s (%d)\n", getECmsg(status),
                    status);
            return false;
        }
        return true;
    }

  private:
    std::mutex paths_mutex_; // never held while anything logs
    std::string dir_, cluster_;
    std::atomic<int64_t> unsettled_{0};
};

} // namespace

std::shared_ptr<logcfg::Source> host_log_source() {
    static const std::shared_ptr<logcfg::Source> source = std::make_shared<HostSource>();
    return source;
}

} // namespace ztbase::ztconf
