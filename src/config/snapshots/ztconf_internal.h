// Shared pieces of the snapshot, information-record and write-back modules,
// and the seams tests and benchmarks use.
#pragma once

#include <cstdint>
#include <memory>

#include <ztbase/ztconf.h>

#include "base/tss.h"

namespace ztbase::logcfg {
class Source;
}

namespace ztbase::ztconf {

// Seconds since 1970 as the 10-second rule sees them; tests replace the clock
// (null puts the system clock back).
using Clock = int64_t (*)();
void set_clock(Clock clock);
int64_t now();
// True when a check planned for next (interval seconds after the last one) is
// due at present; a clock set back past the last check makes it due at once
// rather than stalling until the clock catches up.
bool due(int64_t present, int64_t next, int64_t interval);

// How often this process looked at the store's times and how often it read
// the store in full, for tests and benchmarks.
struct Counters {
    int64_t checks;
    int64_t reads;
};
Counters counters();

// The later of the Config key's last-write time and the cluster-aware file's
// modification time, in nanoseconds: it moves with every change.
int64_t store_change_ns();

// The debug log's view of the host configuration (installed at load).
std::shared_ptr<logcfg::Source> host_log_source();

// Forgets the times of the thread's snapshot for key, so that the next check
// reads the store in full (benchmarks).
void forget_times(int key);

// The calling thread's block (null when none can be had).
ztbase_tss_data *block();

// What the snapshots keep in a thread's block, released at thread end; the
// library's attach wiring installs it (base/tss.h).
void tss_release_conf_info(ztbase_tss_data *b);
const TssConfReleaser *tss_releaser();
// Non-zero while the thread or the whole process has an override in force.
bool frozen(const ztbase_tss_data *b);

// The PBX port of the service database, cached in the block.
int pbx_port(ztbase_tss_data *b);

// Logs "file.line: function retval status" for a failure inside the module.
void trace(const char *file, int line, const char *function, int status);

} // namespace ztbase::ztconf

#define ZTCONF_TRACE(status) ::ztbase::ztconf::trace(__FILE__, __LINE__, __func__, (status))
