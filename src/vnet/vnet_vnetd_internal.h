// Shared by the modules of the vnetd conversation.
#pragma once

#include <string>
#include <vector>

#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_vnetd.h"

namespace zt::vnet::vnetd {

// Source file name in log lines.
#define VNETD_FAIL(fn, st) vnet_failure(__FILE_NAME__, __LINE__, fn, st)

// A request that failed after the handshake leaves a connection of unknown
// state: close it and mark it invalid.
// (The defaults name the caller's line; both compilers in use have them.)
inline int drop(int *sock, const char *fn, int status, const char *file = __builtin_FILE(),
                int line = __builtin_LINE()) {
    if (sock != nullptr && *sock >= 0) {
        vnet_closesocket(*sock);
        *sock = -1;
    }
    vnet_failure(vnet_log_basename(file), line, fn, status);
    return status;
}

// The abstract name of an IPC endpoint.
std::string ipc_name(long number);
// 1..2^31-1 from a decimal text, else -1.
long parse_ipc(const char *text);

struct Registration {
    std::string ipc;  // empty: started per connection through icmd
    std::string icmd;
    std::vector<std::string> args;
    unsigned long pid = 0;
};

// Reads the service's registration file (directory null: the vnetd
// directory); NO_SERVICE when there is none, it expired, it names neither an
// endpoint nor a command, or its process is gone.
int lookup_service(const char *directory, const char *service, Registration *out);

// Whether a file at path may be believed: a plain file (not a link) owned by
// root or this user that nobody else may write. A registration file names the
// endpoint that clients' connections go to, and a command file the program
// the daemon starts; anything else at those names was planted.
bool trusted_file(const char *path, bool follow_links);

} // namespace zt::vnet::vnetd
