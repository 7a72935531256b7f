// Inside the host-identity modules: the address sets the comparison rules
// work on, the locality test behind the resolver seam, the flag records
// written back into the caches, and what the last question on this thread
// was decided by (for tools and tests).
#pragma once

#include <netdb.h>
#include <string>
#include <vector>

#include "ztbase/vnet_addrinfo.h"

namespace zt::vnet::host {

// The names and addresses one lookup gave: canonical names as given, raw
// addresses (4 bytes IPv4, 16 bytes IPv6; ports and duplicates dropped) in
// sorted order.
struct AddressSet {
    std::vector<std::string> canonical;
    std::vector<std::string> addresses;
};
AddressSet address_set(const vnet_addrinfo *list);
AddressSet address_set(const addrinfo *list);
// Whether a and b share an address.
bool overlap(const AddressSet &a, const AddressSet &b);
// Whether name1 is a canonical name of b, name2 one of a, or a and b share
// one (any case).
bool names_match(const char *name1, const AddressSet &a, const char *name2, const AddressSet &b);

// is_sockaddr_local with the length known (0: from the family).
bool sockaddr_local(const sockaddr *addr, socklen_t len);

// A flag record: 14 values that leave every cached flag as it is.
struct Flags {
    int v[VNET_CACHED_FLAG_COUNT];
    Flags();
    bool empty() const; // nothing to change
    void set(int index, int value) { v[index] = value; }
};
// Writes a flag record into name's cache entry (default hints); nothing for
// an empty record.
void record_flags(const char *name, const Flags &flags);

// What decided the calling thread's last answer: a comparison's rule
// ("text", "names", "cluster", "addresses", "locals", "localhost", "host id",
// "confirmation", "no match", ...), whether a locality or role answer came
// from the cached flags.
const char *last_rule();
void set_last_rule(const char *rule);
bool last_from_flags();
void set_last_from_flags(bool from_flags);

// The configured names roles are decided by, copied out of one snapshot
// reference that is released at once. False (logged under tag) when the
// configuration cannot be had.
struct Roles {
    std::vector<std::string> server, media_server, trusted_master, vantrel;
    std::string emmserver, client_name;
};
bool configured_roles(const char *tag, Roles &out);

// The configured cluster name ("" when none or unreadable).
std::string cluster_name();

} // namespace zt::vnet::host
