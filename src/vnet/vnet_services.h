// The registered-services file, one entry per line:
//
//   entry  = field*            fields in the order NAME PID REGTIME EXPTIME IPC ICMD DCMD ARG*
//   field  = KEY "=" value ";"
//   value  = D text D          text: D is the quote vtext_delimiter picks, a blank when the
//                              text needs none (then the text runs to the next blank)
//          | number            "%lu"; read in decimal, octal (0...) or hexadecimal (0x...)
//
// Keys ignore case on reading; unknown keys are ignored; REGTIME and EXPTIME
// are left out when 0, absent texts are left out. A line that does not parse
// is skipped (logged). The writer and the reader below are the only code that
// knows this grammar.
#pragma once

#include <string>

#include "ztbase/vnet.h"

namespace zt::vnet::services {

// vtext callbacks: one line to a new entry (null item: skipped), an entry to
// a new line, and the release of an entry.
int parse_line(char *line, void **item, char *text);
int format_entry(void *item, char **text, void *data);
void free_entry(void **item);

} // namespace zt::vnet::services
