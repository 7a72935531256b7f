// The registry side of the local configuration store, for the update path and
// for tests that need a failing registry read.
#pragma once

#include <string>
#include <vector>

#include "platform/registry/registry.h"

namespace ztbase::bpconf {

// How the image reader enumerates the Config key's values; tests replace it
// to make attempts fail (null puts the plain enumeration back).
using ValuesReader = registry::Status (*)(const registry::Key &key,
                                          std::vector<registry::Value> &out);
void set_values_reader(ValuesReader reader);

// "HKEY_LOCAL_MACHINE\SOFTWARE\...\Config", for messages.
std::string registry_key_path();

} // namespace ztbase::bpconf
