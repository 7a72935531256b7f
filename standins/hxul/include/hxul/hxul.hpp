// C++ faces of hxul: a localisable message (Halvane::L10N::Lis) and an owning
// log handle (Halvane::Logging::Log). Header-only over the C calls of hxul.h.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <hxul/hxul.h>

namespace Halvane {
namespace L10N {

// A message of a catalogue: its id and its arguments as texts, formatted by
// the localisation library in the reader's locale.
class Lis {
  public:
    Lis() = default;
    explicit Lis(unsigned long id) : id_(id) {}
    Lis(unsigned long id, const char *arg) : id_(id) { add(arg); }
    Lis(unsigned long id, std::string arg) : id_(id) { args_.push_back(std::move(arg)); }

    // Appends one argument (a null text counts as empty).
    Lis &add(const char *arg) {
        args_.emplace_back(arg != nullptr ? arg : "");
        return *this;
    }
    Lis &add(std::string arg) {
        args_.push_back(std::move(arg));
        return *this;
    }

    unsigned long id() const { return id_; }
    const std::vector<std::string> &args() const { return args_; }
    // The arguments as C texts, valid while the message is unchanged.
    std::vector<const char *> argv() const {
        std::vector<const char *> v;
        v.reserve(args_.size());
        for (const std::string &a : args_)
            v.push_back(a.c_str());
        return v;
    }

  private:
    unsigned long id_ = 0;
    std::vector<std::string> args_;
};

} // namespace L10N

namespace Logging {

// One open hxul log. The open result is kept; when it is not 0 every write
// returns HLVN_E_FAIL without doing anything. N only tells flavours apart.
template <int N> class Log {
  public:
    Log(unsigned long product, unsigned long originator) {
        open_rc_ = hlvnLogOpen(product, originator, &log_);
    }
    Log(unsigned long product, unsigned long originator, const char *instance) {
        open_rc_ = hlvnLogOpen2(product, originator, instance, &log_);
    }
    ~Log() { hlvnLogClose(log_); }
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;

    int openResult() const { return log_ == nullptr ? HLVN_E_NOMEM : open_rc_; }
    bool ok() const { return openResult() == HLVN_OK; }
    hlvnLog *handle() const { return log_; }

    bool utf8Input() const { return log_ != nullptr && hlvnLogGetUtf8Input(log_) != 0; }
    void utf8Input(bool flag) {
        if (log_ != nullptr)
            hlvnLogSetUtf8Input(log_, flag ? 1 : 0);
    }
    int dynaLoadConfig() { return ok() ? hlvnDynaLoadConfig(log_) : HLVN_E_FAIL; }
    int debugLevel() const {
        int level = 0;
        return ok() && hlvnLogGetDebugLevel(log_, &level) == HLVN_OK ? level : 0;
    }

    int debug(const char *who, int level, const char *text) {
        return ok() ? hlvnLogDebug(log_, who, level, text) : HLVN_E_FAIL;
    }
    int diag(const char *who, int level, const L10N::Lis &msg) {
        if (!ok())
            return HLVN_E_FAIL;
        std::vector<const char *> argv = msg.argv();
        return hlvnLogDiag(log_, who, level, msg.id(), int(argv.size()), argv.data());
    }
    int app(const char *who, int severity, const L10N::Lis &msg) {
        if (!ok())
            return HLVN_E_FAIL;
        std::vector<const char *> argv = msg.argv();
        return hlvnLogApp(log_, who, severity, msg.id(), int(argv.size()), argv.data());
    }

  private:
    hlvnLog *log_ = nullptr;
    int open_rc_ = HLVN_E_FAIL;
};

} // namespace Logging
} // namespace Halvane
