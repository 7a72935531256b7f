// The host-identity tests: the scripted resolver of the resolution tests, a
// frozen host configuration for the thread, and a scripted host validation.
#pragma once

#include <string>

#include "resolve_fixture.h"
#include "vnet/vnet_host_internal.h"
#include "vnet/vnet_host_validation.h"
#include "ztbase/vnet_host.h"
#include "ztbase/ztconf.h"

namespace host_test {

namespace hv = zt::vnet::hostval;

// What the scripted validation answers.
struct Validation {
    int details_rc = 0;
    hv::HostDetails details;
    int matches = 0;        // hostid_matches_hostname
    int update_rc = 0;      // try_update_hostid_with_hostname
    int decision = 1;       // its decision
    bool insecure_ok = true;
    int pauses = 0, resumes = 0;
};

inline Validation &validation() {
    static Validation v;
    return v;
}

inline const hv::Interface kScripted = {
    [](const char *, const char *, hv::HostDetails *out) {
        *out = validation().details;
        return validation().details_rc;
    },
    [](const char *, const char *, const char *) { return validation().matches; },
    [](const char *, const char *, const char *, int *decision) {
        *decision = validation().decision;
        return validation().update_rc;
    },
    [](const char *) { return validation().insecure_ok ? 1 : 0; },
    [] { return ++validation().pauses, 1; },
    [] { return ++validation().resumes, 1; },
};

class HostTest : public resolve_test::ResolveTest {
  protected:
    HostTest() { validation() = Validation{}; }
    ~HostTest() override {
        hv::set_validation(nullptr);
        bpconf_enable_thread_config_reads();
        vnet_set_thread_context(VNET_THREAD_CONTEXT_ORDINARY);
    }
    // Freezes the thread's host configuration to text.
    static void configure(const std::string &text) {
        ASSERT_EQ(bpconf_disable_thread_config_reads_buffer(text.c_str()), 0) << text;
    }
    // Counts the address tests made through the resolver seam.
    static int &local_tests() {
        static int n = 0;
        return n;
    }
    static bool counting_is_local(const sockaddr *addr, socklen_t len) {
        ++local_tests();
        return resolve_test::fake_is_local(addr, len);
    }
    void count_local_tests() {
        local_tests() = 0;
        table_ = resolve_test::kFake;
        table_.is_local_address = counting_is_local;
        resolve_test::rs::set_resolver(&table_);
    }

  private:
    resolve_test::rs::ResolverTable table_{};
};

} // namespace host_test
