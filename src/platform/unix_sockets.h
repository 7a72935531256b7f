// Local sockets between processes of this host: abstract AF_UNIX names,
// descriptors sent with SCM_RIGHTS, and the credentials of the process at the
// other end. Every call returns 0 or an errno value and never leaves a
// received descriptor open that the caller did not get.
//
// The module depends on the C library alone, so the stand-in daemons and
// client libraries that must not load the library itself compile it in too.
#pragma once

#include <cstddef>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

namespace ztbase::usock {

// The longest abstract name (sun_path less its leading NUL).
constexpr size_t kMaxAbstractName = sizeof(sockaddr_un{}.sun_path) - 1;

// Fills *addr with the abstract name `name` (no leading NUL in `name`).
// EINVAL when the name is empty or too long, or holds a NUL.
int abstract_address(std::string_view name, sockaddr_un *addr, socklen_t *len);

// A close-on-exec socket of `type` (SOCK_STREAM or SOCK_SEQPACKET) bound to
// the abstract name and listening with `backlog`. *fd receives it.
int listen_abstract(std::string_view name, int type, int backlog, int *fd);

// A close-on-exec socket of `type` connected to the abstract name. *fd
// receives it. ECONNREFUSED when nobody listens there.
int connect_abstract(std::string_view name, int type, int *fd);

// The most descriptors one message carries.
constexpr size_t kMaxFds = 16;

// Sends `len` bytes (at least one: the descriptors ride on the first byte)
// with `nfds` descriptors, without raising SIGPIPE. On a stream socket the
// rest of a short send follows without the descriptors. The descriptors stay
// the caller's.
int send_with_fds(int sock, const void *data, size_t len, const int *fds, size_t nfds);

// Receives up to `cap` bytes and up to `max_fds` descriptors (close-on-exec)
// from one message. *got receives the bytes (0: the peer closed) and *nfds the
// descriptors placed in fds[]. When more descriptors came than max_fds, all of
// them are closed and the answer is EBADMSG (the bytes are still in buf); when
// the control data was cut short, or a packet was longer than cap, all are
// closed and the answer is EMSGSIZE.
int recv_with_fds(int sock, void *buf, size_t cap, size_t *got, int *fds, size_t max_fds,
                  size_t *nfds);

// The process, user and group at the other end of a connected local socket.
int peer_credentials(int sock, pid_t *pid, uid_t *uid, gid_t *gid);

} // namespace ztbase::usock
