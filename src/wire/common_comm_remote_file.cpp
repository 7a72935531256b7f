// common_comm: file transfer as chunks of at most 8192 bytes, each behind its
// short length, ended by a chunk of length 0. The reader refuses a chunk
// longer than the format allows instead of trusting the peer's length.
#include <cerrno>

#include "platform/posix_io.h"
#include "wire/common_comm_internal.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"

using namespace zt::comm;

extern "C" ZTBASE_API int64_t write_remote_file(int sock, int fd, int timeout, const char *caller) {
    const char *tag = caller && *caller ? caller : "write_remote_file";
    unsigned char chunk[2 + kFileChunk];
    int64_t total = 0;
    for (;;) {
        const ssize_t r = ztbase::pio::read_some(fd, chunk + 2, kFileChunk);
        if (r < 0) {
            log_errno(ZTLOG_ERROR, tag, "problem reading local file (%s)");
            return -1;
        }
        if (r == 0)
            break;
        store16(chunk, uint32_t(r));
        if (transfer(sock, reinterpret_cast<char *>(chunk), int(r) + 2, timeout, 0, true, false) !=
            int(r) + 2) {
            log_errno(ZTLOG_ERROR, tag, "protocol error - problem transmitting file (%s)");
            return -1;
        }
        total += r;
    }
    char end[2] = {0, 0};
    if (transfer(sock, end, 2, timeout, 0, true, false) != 2) {
        log_errno(ZTLOG_ERROR, tag, "protocol error - problem sending EOF (%s)");
        return -1;
    }
    return total;
}

namespace {

// n bytes from the socket: 0, or -1 with errno (EPIPE at end of file, logged).
int recv_chunk_part(int sock, char *buf, int n, int timeout, bool wait_first, const char *tag) {
    const int r = transfer(sock, buf, n, timeout, 0, false, wait_first);
    if (r == n)
        return 0;
    if (r >= 0) {
        logmsg(ZTLOG_ERROR, "unexpected EOF reading remote file", tag);
        errno = EPIPE;
    } else {
        log_errno(ZTLOG_ERROR, tag, "protocol error - problem receiving file (%s)");
    }
    return -1;
}

} // namespace

extern "C" ZTBASE_API int64_t read_remote_file(int sock, int fd, int timeout, const char *caller) {
    const char *tag = caller && *caller ? caller : "read_remote_file";
    char chunk[kFileChunk];
    int64_t total = 0;
    // The target may be a pipe or a socket whose reader has gone: its write
    // must fail with EPIPE, not end the process with SIGPIPE.
    const auto pipe =
        ztbase::pio::pipe_like(fd) ? ztbase::pio::Pipe::Guard : ztbase::pio::Pipe::NoGuard;
    for (;;) {
        unsigned char head[2];
        if (recv_chunk_part(sock, reinterpret_cast<char *>(head), 2, timeout, true, tag) != 0)
            return -1;
        const int n = int(load16(head));
        if (n == 0)
            return total;
        if (n > kFileChunk) {
            logmsgf(ZTLOG_ERROR, tag, "protocol error - file chunk of %d bytes, at most %d", n,
                    kFileChunk);
            errno = ERANGE;
            return -1;
        }
        if (recv_chunk_part(sock, chunk, n, timeout, false, tag) != 0)
            return -1;
        if (int e = ztbase::pio::write_all(fd, chunk, size_t(n), nullptr, pipe)) {
            errno = e == ztbase::pio::kNoProgress ? EIO : e;
            log_errno(ZTLOG_ERROR, tag, "problem writing to file (%s)");
            return -1;
        }
        total += n;
    }
}
