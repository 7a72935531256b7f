// The library's entry routine, at the top of the layers: process attach and
// detach as the ELF constructor and destructor (thread detach comes from the
// per-thread slot's destructor). Lower families reach higher ones only through
// the narrow interfaces installed here, before any family's load hook runs.
#include <cstdio>
#include <cstdlib>

#include "base/log_sink.h"
#include "base/message_lookup.h"
#include "base/module_hooks.h"
#include "base/tss.h"
#include "config/snapshots/ztconf_internal.h"
#include "logging/debuglog_internal.h"
#include "logging/log_config.h"
#include "logging/syslog_internal.h"
#include "paths/pathconfig_internal.h"
#include "platform/ntsecurity.h"

namespace ztbase {

void install_interfaces() {
    logsink::install(debuglog::sink());
    pathconfig::install_event_reporter(syslog_internal::report_module_event);
    tss_install_conf_releaser(ztconf::tss_releaser());
    // The debug log reads the host configuration from the moment of load.
    logcfg::set_source(ztconf::host_log_source());
}

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
    install_interfaces();
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
