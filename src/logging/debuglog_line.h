// The debug log's line: the message body folded to one bounded line, and the
// line "hh:mm:ss.mmm [pid.tid] <level> tag: body\n" around it.
#pragma once

#include <cstddef>

namespace ztbase::debuglog {

constexpr size_t kBodySize = 7680; // prepared body, terminator included
constexpr size_t kLineSize = 8192; // formatted line, terminator included
constexpr size_t kMinLineBuffer = 512;

// Removes leading and trailing white space, turns each carriage return or line
// feed into one blank and drops the white space after it; when the result does
// not fit `size` bytes its last three characters become "...". Returns the
// length written (out is always terminated; size must be at least 4).
size_t prepare_body(const char *text, char *out, size_t size);

struct LineTime {
    int hour, minute, second, millisecond;
};

// "%02d:%02d:%02d.%03d [%d.%d] <%d> %-.128s: %-.*s\n" into out, cut to size.
// Returns the length, or minus kBufferTooSmall (235) when the buffer is under
// 512 bytes.
long format_line(char *out, size_t size, const LineTime &t, long pid, long tid, int level,
                 const char *tag, const char *body, size_t body_len);

} // namespace ztbase::debuglog
