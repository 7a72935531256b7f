#include "platform/registry/registry_probe.h"

namespace ztbase::registry {

bool local_machine_value_exists(const char *, const char *) { return false; }

} // namespace ztbase::registry
