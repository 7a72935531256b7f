// Helpers of the configuration text and store tests: captured log lines,
// records that free themselves, and a record with every item set.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>

#include "support/log_capture.h"

namespace bpconf_test {

using zt::test::LogCapture;

// A zeroed record on the heap, freed with FreeConfig.
struct Record {
    Record() : p(std::make_unique<ZtConfig>()) {}
    ~Record() { FreeConfig(p.get()); }
    ZtConfig *operator->() { return p.get(); }
    ZtConfig *get() { return p.get(); }
    std::unique_ptr<ZtConfig> p;
};

// A definition record (owns nothing).
struct Definition {
    Definition() : p(std::make_unique<ZtConfig>()) {}
    ZtConfig *get() { return p.get(); }
    std::unique_ptr<ZtConfig> p;
};

// makeConfigImageA as a string ("" and a failed expectation on error).
std::string image_of(const ZtConfig *record, const ZtConfig *definition = nullptr);
// Parses text over the defaults into record; returns the parse status.
int parse_over_defaults(const std::string &text, ZtConfig *record, ZtConfig *definition = nullptr,
                        int flags = 0);
// The formatted value of an item ("" when it cannot be formatted).
std::string formatted(const ZtConfig *record, const char *label);

// A text image that sets every non-obsolete item to a value other than its
// default (two values for multi-line items), plus two generic keys. Items for
// which no candidate works are listed in *unset.
std::string full_text(std::vector<std::string> *unset);

} // namespace bpconf_test
