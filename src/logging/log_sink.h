// What the frame needs of the debug log before the log family exists: whether a
// log is open, and a way to write one line through the callback or the log.
#pragma once

namespace ztbase::logsink {

bool debug_log_open();
void write_line(int level, const char *tag, const char *text);

} // namespace ztbase::logsink
