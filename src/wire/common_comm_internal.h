// Shared pieces of the socket value primitives: the interrupt status, log
// helpers that append the system error text, and the byte order of the wire
// encodings. Everything here is internal to common_comm.
#pragma once

#include <cstdint>
#include <string>

namespace zt::comm {

// Largest short a sender accepts.
inline constexpr int kMaxShort = 65534;
// Lengths above this are taken as the start of a plain text line.
inline constexpr int32_t kTextLengthThreshold = 0x20000000;
// Bytes sent together with their length in one write.
inline constexpr int kOneWriteString = 4096;
// Largest chunk of a remote file.
inline constexpr int kFileChunk = 8192;
// The relative deadline forms read a timeout of 0 as two years.
inline constexpr int64_t kForeverSeconds = 63072000;

// The status sighdl recorded (0 when none). Tests reset it.
int interrupt_status();
void set_interrupt_status(int status);

// True when the library callback asks to give up.
bool callback_gives_up();

// "not connected" in every form a dropped peer shows.
bool is_not_connected(int error);

// strerror_r into a std::string.
std::string error_text(int error);

// True while the touch file that switches off verify_string exists.
bool buffer_check_disabled();

inline void store16(unsigned char *p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void store32(unsigned char *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void store64(unsigned char *p, uint64_t v) {
    store32(p, uint32_t(v >> 32));
    store32(p + 4, uint32_t(v));
}
inline uint32_t load16(const unsigned char *p) {
    return uint32_t(p[0]) << 8 | p[1];
}
inline uint32_t load32(const unsigned char *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t load64(const unsigned char *p) {
    return uint64_t(load32(p)) << 32 | load32(p + 4);
}

} // namespace zt::comm

#include <sys/uio.h>

namespace zt::comm {

// Sends every byte of the pieces with MSG_NOSIGNAL, repeating partial writes
// and interrupted calls: 0, -4 or -5 (a dropped peer), error in *err.
int send_all(int sock, iovec *iov, int count, int *err, const char *tag);

// Receives up to `room` bytes of a text line whose first `have` bytes are
// already in buf, never consuming a byte after the '\n'. `recv_some(p, n,
// peek)` is the family's receive (> 0 bytes, 0 end of file, < 0 status).
// Returns the line's length (the '\n' replaced by NUL, or cut at size - 1
// bytes) or the status of the failed receive; *newline tells which ending.
template <typename RecvSome>
int read_text_line(char *buf, int size, int have, bool *newline, RecvSome &&recv_some) {
    *newline = false;
    for (int i = 0; i < have; ++i)
        if (buf[i] == '\n') {
            buf[i] = '\0';
            *newline = true;
            return i;
        }
    int len = have < size - 1 ? have : size - 1;
    while (len < size - 1) {
        const int room = size - 1 - len;
        const int peeked = recv_some(buf + len, room, true);
        if (peeked <= 0)
            return peeked == 0 ? -9 : peeked;
        int take = peeked;
        for (int i = 0; i < peeked; ++i)
            if (buf[len + i] == '\n') {
                take = i + 1;
                break;
            }
        const int got = recv_some(buf + len, take, false);
        if (got <= 0)
            return got == 0 ? -9 : got;
        len += got;
        if (buf[len - 1] == '\n') {
            buf[--len] = '\0';
            *newline = true;
            return len;
        }
    }
    buf[len] = '\0';
    return len;
}

} // namespace zt::comm

namespace zt::comm {

// Logs "format" with the text of the current errno as its %s, leaving errno
// as it was.
void log_errno(int level, const char *tag, const char *format);

// One select-family transfer (Send or Recv): the bytes moved, fewer than n
// only at end of file, or -1 with errno. wait_first waits for readiness before
// the first call; otherwise the call is tried first.
int transfer(int sock, char *buf, int n, int timeout, int flags, bool sending, bool wait_first);

} // namespace zt::comm
