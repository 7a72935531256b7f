// The library's entry routine: process attach and detach as the ELF constructor
// and destructor; thread detach comes from the per-thread slot's destructor.
#include <cstdio>
#include <cstdlib>

#include "frame/module_hooks.h"
#include "platform/ntsecurity.h"

namespace ztbase {

void run_module_hooks(LoadReason reason) {
    debuglog_module_event(reason);
    config_string_lock_event(reason);
    tss_module_event(reason);
    resolver_cache_lock_event(reason);
    host_compare_lock_event(reason);
    certmap_lock_event(reason);
    resilient_registry_event(reason);
    message_cache_event(reason);
}

namespace {

__attribute__((constructor)) void library_attach() {
    if (InitNTSecurity() != 0) {
        // A loader cannot be told that an ELF constructor failed: refuse to run.
        fputs("libztbase: InitNTSecurity failed; the library cannot be loaded\n", stderr);
        abort();
    }
    run_module_hooks(LoadReason::ProcessAttach);
}

__attribute__((destructor)) void library_detach() {
    if (FreeNTSecurity() != 0)
        return;
    FreeNTCmdArgsVectors();
    run_module_hooks(LoadReason::ProcessDetach);
}

} // namespace
} // namespace ztbase
