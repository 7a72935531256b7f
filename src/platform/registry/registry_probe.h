// What the frame asks of the registry before the registry store exists.
#pragma once

namespace ztbase::registry {

// True when the local-machine key exists and holds a value of that name.
bool local_machine_value_exists(const char *key, const char *value);

} // namespace ztbase::registry
