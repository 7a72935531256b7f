// The frame's load, unload and thread-end events, and the module hooks that
// receive them in a fixed order.
#pragma once

namespace ztbase {

enum class LoadReason { ProcessDetach = 0, ProcessAttach = 1, ThreadAttach = 2, ThreadDetach = 3 };

// The hooks, in the order they run: (a) debug log, (b) configuration-string lock,
// (c) per-thread block, (d) address-resolution cache lock, (e) host-comparison
// lock, (f) certificate-map lock, (g) resilient-socket registry, (h) localised
// message cache. None of them fails.
void debuglog_module_event(LoadReason reason);
void config_string_lock_event(LoadReason reason);
void tss_module_event(LoadReason reason);
void resolver_cache_lock_event(LoadReason reason);
void host_compare_lock_event(LoadReason reason);
void certmap_lock_event(LoadReason reason);
void resilient_registry_event(LoadReason reason);
void message_cache_event(LoadReason reason);

// Installs the narrow interfaces through which lower families reach higher
// ones (the log sink, the path table's event reporter, the per-thread block's
// configuration releaser, the log's configuration source); the entry routine
// calls it before the hooks.
void install_interfaces();

// Runs every hook in order; the library's entry routine and tests call it.
void run_module_hooks(LoadReason reason);

} // namespace ztbase
