// The default host validation: no host id, the peer not secure.
#include "vnet/vnet_host_validation.h"

#include <atomic>

namespace zt::vnet::hostval {
namespace {

int no_details(const char *, const char *, HostDetails *out) {
    if (out != nullptr)
        *out = HostDetails{};
    return 0;
}

int no_match(const char *, const char *, const char *) {
    return 0;
}

// Never reached while no host id is handed out; a continue keeps a match.
int continue_decision(const char *, const char *, const char *, int *decision) {
    if (decision != nullptr)
        *decision = 1;
    return 0;
}

int insecure_allowed(const char *) {
    return 1;
}

int unchanged() {
    return 0;
}

const Interface kDefault = {no_details, no_match, continue_decision, insecure_allowed, unchanged,
                            unchanged};

std::atomic<const Interface *> g_installed{nullptr};
Interface g_merged = kDefault;

template <class T> T pick(T installed, T builtin) {
    return installed != nullptr ? installed : builtin;
}

} // namespace

const Interface &validation() {
    return g_merged;
}

const Interface *set_validation(const Interface *table) {
    const Interface *previous = g_installed.exchange(table);
    Interface t = kDefault;
    if (table != nullptr) {
        t.get_host_or_hostdetails = pick(table->get_host_or_hostdetails, kDefault.get_host_or_hostdetails);
        t.hostid_matches_hostname = pick(table->hostid_matches_hostname, kDefault.hostid_matches_hostname);
        t.try_update_hostid_with_hostname =
            pick(table->try_update_hostid_with_hostname, kDefault.try_update_hostid_with_hostname);
        t.hostname_allowed_insecure =
            pick(table->hostname_allowed_insecure, kDefault.hostname_allowed_insecure);
        t.pause = pick(table->pause, kDefault.pause);
        t.resume = pick(table->resume, kDefault.resume);
    }
    g_merged = t;
    return previous;
}

} // namespace zt::vnet::hostval
