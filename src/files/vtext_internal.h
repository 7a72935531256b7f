// Shared by the text record modules: the failure line every failing step
// writes, to the debug log and to vtext_debug_stream.
#pragma once

namespace ztbase::vtext {

// Logs "<source>.<line>: Function <callee> failed: <status>" under tag and
// returns status.
int failed(const char *source, int line, const char *tag, const char *callee, int status);
// Logs "<source>.<line>: Function <tag>: <item> = <value>" (value null: NULL).
void log_item(const char *source, int line, const char *tag, const char *item, const char *value);

// The path separator: the override's when given, else the first character of
// the path table's "_ps" ('/' when it is empty).
char separator();

} // namespace ztbase::vtext

#define VTEXT_FAILED(tag, callee, status)                                                          \
    ztbase::vtext::failed(__FILE_NAME__, __LINE__, tag, callee, status)
