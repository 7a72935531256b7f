// Hooks of families that have nothing to do at load or unload yet. Each family
// takes its hook over when it gains state to set up or tear down.
#include "base/module_hooks.h"

namespace ztbase {

void resilient_registry_event(LoadReason) {}
void message_cache_event(LoadReason) {}

} // namespace ztbase
