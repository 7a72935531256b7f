// Inside the unified logger bridge: what its modules share.
#pragma once

#include <string>

namespace ztbase::ul {

// Points the unified-log library at the files the path table names
// (HXUL_CONF_FILE, HXUL_LOGS); cheap when nothing changed.
void sync_paths();

// " (FILE:LINE)" with the file's base name: the source position that the
// bridge's own messages end with.
std::string where(const char *file, int line);
#define ZT_UL_WHERE() ::ztbase::ul::where(__FILE__, __LINE__)

// Whether the legacy log is redirected into the default library logger.
bool legacy_redirected();
// Sets the switch; RedirectLegacyLogToZTLogger sets it, tests clear it.
void set_legacy_redirected(bool on);

// Set while a logger writes to the legacy sink itself, so that the legacy
// callback of the redirection does not write the same line to the unified
// log a second time.
extern thread_local bool t_writing_legacy;

} // namespace ztbase::ul
