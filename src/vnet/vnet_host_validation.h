// The host comparisons' face to host validation, which lives above this
// folder (security/). Validation knows, for the thread's current inbound
// connection, the peer's host id, the name it may be an alias of, the master
// it answers to and whether the peer is a secure host; it can check a host
// id against a name, record a new pairing and tell whether a name may use an
// insecure connection.
//
// Default (until the security layer installs its table): every connection
// is without a host id and the peer is not a secure host, so comparisons
// follow the DNS rules alone; pausing and resuming change nothing.
//
// Install before threads start; a null entry keeps the default.
#pragma once

#include <string>

namespace zt::vnet::hostval {

struct HostDetails {
    std::string host_id; // empty: no host id (a local connection or a back-level peer)
    std::string alias;   // the compared name that may be an alias of the peer
    std::string master;  // the master server the peer answers to
    bool secure_peer = false;
};

struct Interface {
    // Which of host1/host2 is the thread's peer, and its details. 0 on
    // success; anything else means the details could not be had.
    int (*get_host_or_hostdetails)(const char *host1, const char *host2, HostDetails *out);
    // 1 the host id maps to the name, 0 it does not, -1 the mapping could not
    // be fetched.
    int (*hostid_matches_hostname)(const char *host_id, const char *name, const char *master);
    // Validates the pairing; 0 with *decision set (1 continue, 2 drop) or an
    // error status.
    int (*try_update_hostid_with_hostname)(const char *host_id, const char *name,
                                           const char *master, int *decision);
    // 1 when the name may use an insecure connection.
    int (*hostname_allowed_insecure)(const char *name);
    // Return 1 when the thread's validation state changed.
    int (*pause)();
    int (*resume)();
};

// The table in force (installed entries over the defaults).
const Interface &validation();
// Installs a table (null: the defaults); returns the previous one.
const Interface *set_validation(const Interface *table);

} // namespace zt::vnet::hostval
