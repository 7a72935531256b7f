// What library modules need of the system-log interface.
#pragma once

namespace ztbase::syslog_internal {

// Reports one event for a library module: under the event source the process
// has open, or else under the source of `ident`, opened for this event alone.
// A source the process opened itself stays open.
void report_module_event(const char *ident, int priority, const char *text);

} // namespace ztbase::syslog_internal
