/* Socket value primitives: integers, length-prefixed strings, text lines and
 * chunked files over stream sockets, in three families.
 *
 * Wire encodings (network byte order, no tags, no padding):
 *   short   2 bytes, unsigned; senders refuse values above 65534
 *   long    4 bytes, 32-bit
 *   vint64t, vuint64t   8 bytes
 *   string  a long length n, then n bytes (no terminator on the wire)
 *   tagged string (put_string_ with a tag)   a short tag, a long length, the bytes
 *   text line   bytes up to and including '\n'
 *   remote file chunks {short n (1..8192), n bytes}, ended by a chunk of length 0
 *
 * Plain-text tolerance: a string receiver that reads a length above 0x20000000
 * into a buffer of at least 4 bytes takes the four length bytes as the start of
 * a text line and reads on until '\n' (stored as NUL) or a full buffer.
 *
 * Families:
 *   base      (put_long, get_string, ...): blocking sockets; a positive timeout
 *             bounds each wait for more bytes of a value, as a receive timeout
 *             of the socket would (0 or negative: the socket's own receive
 *             timeout, if any, applies); the socket's options are never
 *             changed; failures are negative communication statuses.
 *   select    (Send, Recv, put_long_, get_string_, ...): a transfer waits for
 *             readiness whenever the kernel has no data or no room for it;
 *             failures are -1 with errno.
 *   deadline  (ts_..., ..._abs): reads and writes never block; waits end at an
 *             absolute deadline (seconds since 1970). The relative forms use
 *             now + timeout, a timeout of 0 meaning now + 63072000 seconds.
 *
 * Communication statuses (commerrstr gives the text): 0 success, -1 incoming
 * data too large, -2 timed out, -3 read error, -4 write error, -5 not
 * connected, -6 pipe broken, -7 interrupted, -8 unexpected interrupt, -9
 * premature end of file, -11 no memory, -12 would block, -13 unexpected message.
 *
 * Error numbers are errno values; a timeout is ETIMEDOUT. Writes never raise
 * SIGPIPE. No function here closes the socket. Functions are safe on distinct
 * sockets from different threads; a buffer block belongs to one thread. */
#ifndef ZTBASE_COMM_H
#define ZTBASE_COMM_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

typedef int64_t vint64t;
typedef uint64_t vuint64t;

#define COMM_SUCCESS 0
#define COMM_TOO_LARGE (-1)
#define COMM_TIMEDOUT (-2)
#define COMM_READ_ERROR (-3)
#define COMM_WRITE_ERROR (-4)
#define COMM_NOT_CONNECTED (-5)
#define COMM_PIPE_BROKEN (-6)
#define COMM_INTERRUPTED (-7)
#define COMM_UNEXPECTED_INTERRUPT (-8)
#define COMM_PREMATURE_EOF (-9)
#define COMM_NO_MEMORY (-11)
#define COMM_WOULD_BLOCK (-12)
#define COMM_UNEXPECTED_MESSAGE (-13)

/* Flags bit 0 of the base receivers: tolerate a non-blocking socket ("would
 * block" before the first byte returns 0 with the error in *err). */
#define COMM_NONBLOCK_OK 1

/* The largest string get_adaptable_string and get_string_ allocate for. */
#define COMM_MAX_ALLOC_STRING (64 * 1024 * 1024)

/* ---- process-wide settings, zero until a program sets them ---- */

ZTBASE_API extern int comm_verbose;
ZTBASE_API extern int getsock_disable_to;
ZTBASE_API extern int extra_tries_on_connect;
ZTBASE_API extern int overide_connect_timeout;
ZTBASE_API extern int defaultPORT;

/* Asked after a failed, timed-out or interrupted wait of every family and of
 * vnet_sock_ready: a non-zero answer makes the operation give up. Null (the
 * default) never gives up. Called on the thread that waits. */
typedef int (*library_callback_fn)(void);
ZTBASE_API extern library_callback_fn library_callback_function;

/* ---- support ---- */

/* Records an interrupt (status -7 for SIGINT, -8 for any other signal) that
 * interrupted string reads end with; returns that status. Async-signal-safe,
 * so it can be installed as a signal handler. */
ZTBASE_API int sighdl(int signal);

/* One readiness wait (timeout in seconds, negative: no limit, 0: poll),
 * repeated after interruptions unless the library callback gives up: > 0
 * ready, 0 timed out, < 0 error (errno set). */
ZTBASE_API int recvable_timer(int sock, int timeout);
ZTBASE_API int sendable_timer(int sock, int timeout);

/* Sockets need no start-up here: always 1. winsock_stop does nothing. */
ZTBASE_API int winsock_start(void);
ZTBASE_API void winsock_stop(void);

/* The port in the file `name` of the ports directory (path label
 * VM_PORTS_DIR), -1 when absent or unreadable. */
ZTBASE_API int getdefaultPORT(const char *name);
/* The port in the file OVERRIDE_PATH/name, 0 when absent or unreadable. */
ZTBASE_API int getoverridePORT(const char *name);

/* 0 when the first `length` bytes (or those up to a NUL) are printable ASCII
 * or well-formed multi-byte sequences, -1 otherwise. Always 0 when length < 1
 * or when the touch file DISABLE_BUFFER_CHECK exists in BP_DIR. */
ZTBASE_API int verify_string(const char *text, int length);

/* The text of a communication status, in a buffer of the calling thread that
 * the next call on that thread overwrites. */
ZTBASE_API char *commerrstr(int status);

/* ---- base family ----
 * Writers: 0, -1 (value refused), -4 (write failed), -5 (peer gone), with the
 * system error in *err. Readers: the value or a negative status with the
 * system error in *err (err may be null). `adjust` 1 passes the timeout
 * through vnet_adjust_timeout first. */

ZTBASE_API int put_short(int sock, int value, int *err);
ZTBASE_API int put_long(int sock, int value, int *err);
ZTBASE_API int put_vint64t(int sock, vint64t value, int *err);
ZTBASE_API int put_vuint64t(int sock, vuint64t value, int *err);
ZTBASE_API int put_length_string(int sock, int length, const char *bytes, int *err);
ZTBASE_API int put_string(int sock, const char *text, int *err);

ZTBASE_API int get_short(int sock, int timeout, int *err);
ZTBASE_API int get_short_ex(int sock, int timeout, int *err, int adjust, int flags);
ZTBASE_API int get_long(int sock, int timeout, int *err);
ZTBASE_API int get_long_ex(int sock, int timeout, int *err, int flags);
ZTBASE_API int get_long_ex_ex(int sock, int timeout, int *err, int adjust, int flags);
/* Every 64-bit value is legal, so the status goes to *status. */
ZTBASE_API vint64t get_vint64t(int sock, int timeout, int *status);
ZTBASE_API vint64t get_vint64t_ex(int sock, int timeout, int *status, int adjust, int flags);
ZTBASE_API vuint64t get_vuint64t(int sock, int timeout, int *status);
ZTBASE_API vuint64t get_vuint64t_ex(int sock, int timeout, int *status, int adjust, int flags);

/* The string into buffer (NUL-terminated): its length, or a negative status.
 * The length must be smaller than size; a negative or too large length is -1
 * and nothing of the body is read. A length of 0 is -3 unless flags bit 0. */
ZTBASE_API int get_string(int sock, char *buffer, int size, int timeout, int *err);
ZTBASE_API int get_string_ex(int sock, char *buffer, int size, int timeout, int *err, int flags);
ZTBASE_API int get_string_ex_ex(int sock, char *buffer, int size, int timeout, int *err, int flags,
                                int adjust);
/* A new buffer of *length + 1 bytes (free() it), or null with a negative
 * status in *length. Lengths above COMM_MAX_ALLOC_STRING are -1 and never
 * allocated. *err is 22 for a failure without a system error. */
ZTBASE_API char *get_adaptable_string(int sock, int *length, int timeout, int *err);
ZTBASE_API char *get_adaptable_string_ex(int sock, int *length, int timeout, int *err, int flags);

/* Read-ahead buffer for Readline: one per socket and thread. */
typedef struct buf_block {
    size_t size;   /* capacity of data */
    int32_t count; /* unread bytes at cursor */
    char *cursor;
    char *data;
} buf_block;
/* Null (logged) when size is 0 or memory is short. */
ZTBASE_API buf_block *create_buf_block(size_t size);
ZTBASE_API void free_buf_block(buf_block *block);

/* One line into buffer (NUL-terminated): the bytes read including '\n'; at
 * end of file the bytes read so far (0 when none); -1 with errno ETIMEDOUT
 * (timeout; a partial line is put back into the block), ERANGE (size - 1 bytes
 * without a newline; the rest of the line stays unread) or EIO (a partial line
 * that could not be put back); minus the count read when interrupted with an
 * interrupt status recorded by sighdl. A timeout <= 0 waits without limit.
 * A null block reads one byte at a time. */
ZTBASE_API int Readline(int sock, char *buffer, int size, int timeout, buf_block *block);
ZTBASE_API int Readline_ex(int sock, char *buffer, int size, int timeout, buf_block *block,
                           int adjust);

/* ---- select family: timeout negative waits without limit, 0 polls ---- */

/* n, or -1 with errno (ETIMEDOUT when a wait timed out). */
ZTBASE_API int Send(int sock, const char *bytes, int n, int timeout, int flags);
/* The bytes received (fewer than n at end of file), or -1 with errno. */
ZTBASE_API int Recv(int sock, char *bytes, int n, int timeout, int flags);
ZTBASE_API int Recv_ex(int sock, char *bytes, int n, int timeout, int flags, int adjust);

ZTBASE_API int put_short_(int sock, int value, int timeout);
ZTBASE_API int put_long_(int sock, int value, int timeout);
/* Bytes of text sent, or -1. A non-zero tag goes first as a short. */
ZTBASE_API int put_string_(int sock, const char *text, int timeout, int flags, int tag);
/* The value or -1 (errno set). */
ZTBASE_API int get_short_(int sock, int timeout, int flags);
ZTBASE_API int get_short_ex_(int sock, int timeout, int flags, int adjust);
ZTBASE_API int get_long_(int sock, int timeout, int flags);
ZTBASE_API int get_long_ex_(int sock, int timeout, int flags, int adjust);
/* The string (NUL-terminated) in buffer, or in a new buffer (free()) when
 * buffer is null; its length in *length. Null with *length -1 on failure:
 * errno ERANGE when the length does not fit (a negative length, size or
 * more, or above COMM_MAX_ALLOC_STRING without a buffer). */
ZTBASE_API char *get_string_(int sock, char *buffer, int *length, int size, int timeout, int flags);
ZTBASE_API char *get_string_ex_(int sock, char *buffer, int *length, int size, int timeout,
                                int flags, int adjust);

/* File content from fd as chunks: bytes sent, or -1. `caller` names the
 * caller in log lines (may be null). */
ZTBASE_API int64_t write_remote_file(int sock, int fd, int timeout, const char *caller);
/* Chunks into fd: bytes written, or -1 (errno ERANGE for a chunk above 8192
 * bytes, EPIPE for a stream that ends before its final chunk or a target pipe
 * without a reader: SIGPIPE is held for the calling thread meanwhile). */
ZTBASE_API int64_t read_remote_file(int sock, int fd, int timeout, const char *caller);

/* The whole buffer without time limit: n, or -1 (fewer than n at end of file
 * for recv_n_bytes). */
ZTBASE_API int send_n_bytes(int sock, const char *bytes, int n);
ZTBASE_API int recv_n_bytes(int sock, char *bytes, int n);

/* ---- deadline family: 0 or a negative status, the system error in *err ---- */

ZTBASE_API int put_n_bytes_abs(int sock, int n, const char *bytes, time_t deadline, int *err);
ZTBASE_API int put_n_bytes(int sock, int n, const char *bytes, int timeout, int *err);
ZTBASE_API int get_n_bytes_abs(int sock, int n, char *buffer, time_t deadline, int *err);
ZTBASE_API int get_n_bytes(int sock, int n, char *buffer, int timeout, int *err);
/* As get_n_bytes, but end of file is 0 with the bytes received in *got. */
ZTBASE_API int get_n_bytes_or_eof_abs(int sock, int n, char *buffer, time_t deadline, int *err,
                                      int *got);
ZTBASE_API int get_n_bytes_or_eof(int sock, int n, char *buffer, int timeout, int *err, int *got);

ZTBASE_API int ts_put_short(int sock, int value, int *err);
ZTBASE_API int ts_put_short_t(int sock, int value, int timeout, int *err);
ZTBASE_API int ts_put_long(int sock, int value, int *err);
ZTBASE_API int ts_put_long_abs(int sock, int value, time_t deadline, int *err);
ZTBASE_API int ts_put_vint64t(int sock, vint64t value, int *err);
ZTBASE_API int ts_put_vuint64t(int sock, vuint64t value, int *err);
ZTBASE_API int ts_put_string(int sock, const char *text, int *err);
ZTBASE_API int ts_put_string_abs(int sock, const char *text, time_t deadline, int *err);
ZTBASE_API int ts_put_length_string(int sock, int n, const char *bytes, int *err);
ZTBASE_API int ts_put_length_string_abs(int sock, int n, const char *bytes, time_t deadline,
                                        int *err);

/* The value, or a negative status with *err non-zero (for the 64-bit forms
 * *err alone tells a failure from a value). */
ZTBASE_API int ts_get_short(int sock, int timeout, int *err);
ZTBASE_API int ts_get_short_tt(int sock, int timeout, int *err, int adjust);
ZTBASE_API int ts_get_long(int sock, int timeout, int *err);
ZTBASE_API int ts_get_long_abs(int sock, time_t deadline, int *err);
ZTBASE_API int ts_get_long_tt(int sock, int timeout, int *err, int adjust);
ZTBASE_API vint64t ts_get_vint64t(int sock, int timeout, int *err);
ZTBASE_API vuint64t ts_get_vuint64t(int sock, int timeout, int *err);
/* The length (0 for an empty string), or a negative status: -13 for a
 * negative length, -1 for a length of size or more (after the plain-text
 * tolerance). */
ZTBASE_API int ts_get_string(int sock, char *buffer, int size, int timeout, int *err);
ZTBASE_API int ts_get_string_tt(int sock, char *buffer, int size, int timeout, int *err,
                                int adjust);

ZTBASE_END_C

#endif
