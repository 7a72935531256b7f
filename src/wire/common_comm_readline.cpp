// common_comm: text lines through a read-ahead block. The block holds bytes
// received past the end of a line for the next call; a line cut short by a
// timeout goes back into the block so that the next call starts the line
// again from its first byte.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "wire/common_comm_internal.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

using namespace zt::comm;

extern "C" ZTBASE_API buf_block *create_buf_block(size_t size) {
    static const char tag[] = "create_buf_block";
    if (size == 0 || size > size_t(INT32_MAX)) {
        logmsgf(ZTLOG_ERROR, tag, "malloc of %ld bytes failed", long(size));
        return nullptr;
    }
    auto *block = static_cast<buf_block *>(calloc(1, sizeof(buf_block)));
    char *data = static_cast<char *>(malloc(size));
    if (!block || !data) {
        logmsgf(ZTLOG_ERROR, tag, "malloc of %ld bytes failed", long(size));
        free(block);
        free(data);
        return nullptr;
    }
    block->size = size;
    block->count = 0;
    block->cursor = data;
    block->data = data;
    return block;
}

extern "C" ZTBASE_API void free_buf_block(buf_block *block) {
    if (!block)
        return;
    free(block->data);
    free(block);
}

namespace {

// Waits for readability and refills the empty block: > 0 bytes, 0 end of file,
// -1 with errno (EINTR only when sighdl recorded an interrupt).
int refill(int sock, buf_block *block, int timeout) {
    pollfd pfd{sock, POLLIN, 0};
    for (;;) {
        const int rc = poll(&pfd, 1, timeout > 0 ? timeout * 1000 : -1);
        if (rc > 0)
            break;
        if (rc == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (errno != EINTR || interrupt_status() != 0)
            return -1;
        if (callback_gives_up())
            return -1;
    }
    for (;;) {
        const ssize_t r = recv(sock, block->data, block->size, MSG_DONTWAIT);
        if (r >= 0) {
            block->cursor = block->data;
            block->count = int32_t(r);
            return int(r);
        }
        if (errno == EINTR && interrupt_status() == 0)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return refill(sock, block, timeout);
        return -1;
    }
}

} // namespace

extern "C" ZTBASE_API int Readline_ex(int sock, char *buffer, int size, int timeout,
                                      buf_block *block, int adjust) {
    static const char tag[] = "Readline";
    if (!buffer || size < 1) {
        errno = EINVAL;
        return -1;
    }
    if (adjust)
        timeout = vnet_adjust_timeout(sock, timeout);
    // Without a block of the caller's, one byte at a time: nothing is read
    // past the line.
    char one = 0;
    buf_block single{1, 0, &one, &one};
    buf_block *b = block ? block : &single;
    int stored = 0;
    for (;;) {
        if (stored >= size - 1) {
            buffer[stored] = '\0';
            logmsgf(ZTLOG_WARNING, tag, "no newline in %d bytes", stored);
            errno = ERANGE;
            return -1;
        }
        if (b->count == 0) {
            const int r = refill(sock, b, timeout);
            if (r == 0) {
                buffer[stored] = '\0';
                return stored;
            }
            if (r < 0) {
                const int e = errno;
                buffer[stored] = '\0';
                if (e == EINTR && interrupt_status() != 0)
                    return -stored;
                if (e == ETIMEDOUT && stored > 0) {
                    if (size_t(stored) <= b->size) {
                        memcpy(b->data, buffer, size_t(stored));
                        b->cursor = b->data;
                        b->count = stored;
                    } else {
                        logmsgf(ZTLOG_ERROR, tag, "cannot put back %d bytes of a partial line",
                                stored);
                        errno = EIO;
                        return -1;
                    }
                }
                errno = e;
                return -1;
            }
        }
        // Copy up to the newline, the room left or the bytes in the block.
        const int want = size - 1 - stored;
        const int avail = b->count < want ? b->count : want;
        const char *nl = static_cast<const char *>(memchr(b->cursor, '\n', size_t(avail)));
        const int take = nl ? int(nl - b->cursor) + 1 : avail;
        memcpy(buffer + stored, b->cursor, size_t(take));
        stored += take;
        b->cursor += take;
        b->count -= take;
        if (nl) {
            buffer[stored] = '\0';
            return stored;
        }
    }
}

extern "C" ZTBASE_API int Readline(int sock, char *buffer, int size, int timeout,
                                   buf_block *block) {
    return Readline_ex(sock, buffer, size, timeout, block, 0);
}
