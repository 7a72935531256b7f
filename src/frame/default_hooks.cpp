// Hooks of families that have nothing to do at load or unload yet. Each family
// takes its hook over when it gains state to set up or tear down.
#include "frame/module_hooks.h"
#include "frame/tss.h"

namespace ztbase {

void resilient_registry_event(LoadReason) {}
void message_cache_event(LoadReason) {}

// The configuration snapshots keep nothing in the block yet.
void tss_release_conf_info(ztbase_tss_data *) {}
long tss_snapshot_references(const ztbase_tss_data *) {
    return 0;
}
void tss_free_snapshot_list(ztbase_tss_data *) {}

} // namespace ztbase
