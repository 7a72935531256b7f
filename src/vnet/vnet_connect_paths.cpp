// The handshakes of the vnetd and port-exchange paths once their TCP leg is
// up (do_vnetd_service, do_pbx_service), the domain context passed to a
// local vnetd, the greeting of a fresh vnetd connection, and the indirect
// connect's way to the local vnetd: its local endpoint, where the socket it
// connects comes back on the same connection.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <jansson.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/unix_sockets.h"
#include "vnet/vnet_connect_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/paths.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_host.h"
#include "ztbase/vnet_pbx.h"
#include "ztbase/vnet_vnetd.h"

namespace zt::vnet::connect {
namespace {

#define HERE vnet_log_basename(__FILE__), __LINE__
const char kBadHint[] = "badfeed";
// Seconds to reach the local vnetd's endpoint and exchange versions with it.
constexpr int kLocalGreeting = 10;

bool peer_is_local(int sock) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &len) != 0)
        return false;
    if (peer.ss_family == AF_UNIX)
        return true;
    return is_sockaddr_local(reinterpret_cast<sockaddr *>(&peer)) == 1;
}

bool no_pbx_marker() {
    const char *var = getFennicString("VA_PATH_VAR");
    if (var == nullptr || *var == '\0')
        return false;
    struct stat st{};
    return stat((std::string(var) + "/nousepbx.txt").c_str(), &st) == 0;
}

// The record's socket went away in a request that failed: FAILED with it.
int fail_record(Record &rec, int status, const char *why) {
    logmsgf(ZTLOG_ERROR, "do_service", "%s: %d (%s, %s, %s)", why, status, rec.host.c_str(),
            rec.service.c_str(), kind_text(rec.kind));
    close_record(rec);
    rec.status = status;
    rec.syserr = 0;
    set_state(rec, kFailed);
    return status;
}

// A failure worth another try later: RETRY with the usual timing, as a
// refused connection.
int retry_record(Record &rec, int status, const char *why) {
    logmsgvf(ZTLOG_DEBUG, 5, "do_service", "%s: %d (%s, %s, %s)", why, status, rec.host.c_str(),
             rec.service.c_str(), kind_text(rec.kind));
    record_failure(rec, ECONNREFUSED, VNET_CONNECT_REFUSED);
    return VNET_CONNECT_REFUSED;
}

// The seconds the next step of a handshake may take: a fixed time (the
// resilient kind's read timeout) when given, else what is left of the
// record's connect timeout, so that a daemon answering each step just in
// time cannot stretch the whole handshake past it.
int step_time(const Record &rec, int fixed) {
    if (fixed > 0)
        return fixed;
    const int left = time_left(rec);
    return left > 0 ? left : 1;
}

int lowest_version(const Record &rec) {
    return inetd_able(rec.service.c_str()) ? 4 : 2;
}

// Steps shared by both paths on a vnetd conversation: the version exchange,
// the domain context and the proxy hand-off. fixed: as step_time.
int vnetd_greeting_steps(Record &rec, int highest, int fixed) {
    int hint = 0;
    int st = vnet_version_connect_ex(&rec.sock, highest, lowest_version(rec), &rec.vnetd_version,
                                     step_time(rec, fixed), &hint);
    if (st != 0)
        return fail_record(rec, st, "vnet_version_connect_ex() failed");
    rec.proxy_hint = hint;
    if ((st = do_domain_ctx(&rec.sock, rec.vnetd_version, step_time(rec, fixed))) != 0)
        return fail_record(rec, st, "do_domain_ctx() failed");
    return VNET_SUCCESS;
}

int proxy_hand_off(Record &rec, int fixed) {
    rec.remote_status = seams().proxy_socket_swap(&rec.sock, step_time(rec, fixed) + 10, rec.host.c_str(),
                                                  rec.service.c_str(), rec.proxy_flag,
                                                  rec.proxy_hint);
    rec.proxy_done = true;
    if (rec.sock < 0)
        return fail_record(rec, rec.remote_status != 0 ? rec.remote_status : VNET_SOCKET_FAILED,
                           "vnet_proxy_socket_swap_ex() failed");
    return VNET_SUCCESS;
}

// The service request that turns a vnetd conversation into the service's.
int service_request(Record &rec, int fixed) {
    if (rec.service_connection) {
        rec.log_name = "VNETD";
        return VNET_SUCCESS;
    }
    const int st = vnet_vnetd_service_socket(&rec.sock, rec.vnetd_version, rec.service.c_str(),
                                             step_time(rec, fixed));
    if (st == VNET_NO_SERVICE)
        return retry_record(rec, st, "vnet_vnetd_service_socket() found no service");
    if (st != 0)
        return fail_record(rec, st, "vnet_vnetd_service_socket() failed");
    return VNET_SUCCESS;
}

} // namespace

int do_vnetd_service(Record &rec, const Request &, const Settings &set) {
    const bool resilient = rec.kind == kZtrntd;
    // The resilient kind's steps have the read timeout each; the others
    // share what is left of the connect timeout.
    const int fixed = resilient ? (set.read_timeout > 0 ? set.read_timeout : 1) : 0;
    int st = vnetd_greeting_steps(
        rec, VN_VERSION_HIGHEST + (resilient ? VN_VERSION_RESILIENT_OFFSET : 0), fixed);
    if (st != 0)
        return st;
    if (resilient) {
        st = vnet_vnetd_service_socket(&rec.sock, VN_VERSION_HIGHEST, "ztrntd", fixed);
        if (st != 0)
            return fail_record(rec, st, "vnet_vnetd_service_socket(ztrntd) failed");
        st = vnet_do_socks5_client_protocol(rec.sock, rec.host.c_str(), "vnetd", fixed);
        if (st == VNET_BAD_VERSION) {
            // The resilient daemon will not take it: an ordinary vnetd
            // record, tried again later.
            rec.kind = kVnetd;
            return retry_record(rec, st, "vnet_do_socks5_client_protocol() bad version");
        }
        if (st != 0)
            return fail_record(rec, st, "vnet_do_socks5_client_protocol() failed");
    }
    if ((st = proxy_hand_off(rec, fixed)) != 0)
        return st;
    // Whether to wait for the exchange matters only when it is in the race.
    if (rec.kind == kVnetd && rec.pbx_in_race) {
        int supported = 0;
        st = vnet_vnetd_pbx_c_supported(&rec.sock, rec.vnetd_version, &supported,
                                        step_time(rec, fixed));
        if (st != 0)
            return fail_record(rec, st, "vnet_vnetd_pbx_c_supported failed");
        if (no_pbx_marker()) {
            rec.no_wait_for_pbx = true;
        } else if (supported != 0) {
            logmsgvf(ZTLOG_DEBUG, 5, "do_vnetd_service",
                     "remote host supports PBX, but PBX is not used");
            rec.no_wait_for_pbx = true;
        } else {
            rec.no_wait_for_pbx = rec.vnetd_version < VN_VERSION_PBX_C_SUPPORTED;
        }
    }
    if (!resilient && time_left(rec) == 0) {
        close_record(rec);
        rec.status = VNET_CONNECT_TIMEOUT;
        rec.syserr = ETIMEDOUT;
        set_state(rec, kRetry);
        return VNET_CONNECT_TIMEOUT;
    }
    return service_request(rec, fixed);
}

int do_pbx_service(Record &rec, const Request &, const Settings &) {
    const char *tag = "do_pbx_service";
    vnet_pbx_handle handle = nullptr;
    if (vnet_pbxAllocSocket(&handle, rec.sock) != 0) {
        logmsgf(ZTLOG_ERROR, tag, "vnet_pbxAllocSocket() failed");
        return fail_record(rec, VNET_PBX_API_FAILED, "vnet_pbxAllocSocket() failed");
    }
    rec.sock = -1; // the handle holds it now
    // The exchange switches a PBX-able service, and vnetd's own entries, to
    // the server itself; anything else goes to vnetd, which hands it on.
    const char *service = rec.service.c_str();
    const bool use_vnetd =
        !pbx_able(service) && !(rec.service_connection && strcasecmp(service, "vnetd") != 0);
    const char *extension = use_vnetd ? "vnetd" : service;
    // The exchange answers within what is left of the connect timeout.
    vnet_pbxSetHandshakeTimeout(handle, std::max(1, time_left(rec)));
    int hint = 0;
    int st = vnet_pbxConnect_ex(&handle, rec.host.empty() ? "host-not-specified" : rec.host.c_str(),
                                extension, 0, &hint);
    const int err = errno;
    if (st != 0) {
        logmsgf(ZTLOG_ERROR, tag,
                "[%s:%d] vnet_pbxConnect() failed, status=%d, errno=%d, use_vnetd=%d, "
                "cr->vcr_service=%s",
                HERE, st, err, use_vnetd ? 1 : 0, service);
        vnet_pbxClose(&handle, 0);
        if (err == ECONNREFUSED) {
            record_failure(rec, ECONNREFUSED, VNET_CONNECT_REFUSED);
            return VNET_CONNECT_REFUSED;
        }
        return fail_record(rec, st, "vnet_pbxConnect_ex() failed");
    }
    rec.proxy_hint = hint;
    rec.sock = vnet_pbxGetSocketHandle(handle);
    vnet_pbxClose(&handle, 1);
    if (rec.sock < 0)
        return fail_record(rec, VNET_PBX_API_FAILED, "vnet_pbxGetSocketHandle() failed");
    if (!use_vnetd) {
        rec.log_name = rec.service + " via PBX";
        return VNET_SUCCESS;
    }
    // Through the exchange to vnetd: the same conversation as a direct one.
    if ((st = vnetd_greeting_steps(rec, VN_VERSION_HIGHEST, 0)) != 0)
        return st;
    if ((st = proxy_hand_off(rec, 0)) != 0)
        return st;
    if ((st = service_request(rec, 0)) != 0)
        return st;
    rec.log_name = rec.service + " via PBX/via VNETD";
    return VNET_SUCCESS;
}

// The version exchange of a fresh vnetd connection and its domain context.

int vnetd_greeting(int *sock, int lowest, int timeout, int *version) {
    int st = vnet_version_connect_ex(sock, VN_VERSION_HIGHEST, lowest, version, timeout, nullptr);
    if (st == 0)
        st = do_domain_ctx(sock, *version, timeout);
    return st;
}

namespace {

// A connected local stream socket to the abstract name within `seconds`: a
// daemon that stops taking connections leaves its queue full, and a blocking
// connect would wait for it for ever. 0 or an errno value (ETIMEDOUT).
int connect_endpoint(const std::string &name, int seconds, int *out) {
    sockaddr_un addr{};
    socklen_t len = 0;
    if (int err = ztbase::usock::abstract_address(name, &addr, &len); err != 0)
        return err;
    const time_t deadline = time(nullptr) + seconds;
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return errno;
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0) {
            vnet_set_blocking(fd);
            *out = fd;
            return 0;
        }
        const int err = errno;
        close(fd);
        if (err != EAGAIN && err != EINTR)
            return err;
        if (time(nullptr) >= deadline)
            return ETIMEDOUT;
        usleep(10000);
    }
}

} // namespace

int local_vnetd_endpoint(int *sock, int *version) {
    const char *tag = "vnet_connect_to_vnetd_no_auth";
    *sock = -1;
    int port = VN_VNETD_DEFAULT_PORT;
    vnet_get_port(&port);
    const std::string name = VN_LOCAL_ENDPOINT_PREFIX + std::to_string(port);
    int fd = -1;
    if (int err = connect_endpoint(name, kLocalGreeting, &fd); err != 0) {
        logmsgf(ZTLOG_ERROR, tag, "cannot reach the local vnetd at @%s: %d %s", name.c_str(), err,
                strerror(err));
        return err == ECONNREFUSED || err == ENOENT ? VNET_CONNECT_REFUSED
               : err == ETIMEDOUT                   ? VNET_CONNECT_TIMEOUT
                                                    : VNET_CONNECT_FAILED;
    }
    // Anyone may take an abstract name while the daemon is down: only a
    // process of root or of this user is trusted to connect on our behalf.
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    if (int err = ztbase::usock::peer_credentials(fd, &pid, &uid, &gid);
        err != 0 || (uid != 0 && uid != geteuid())) {
        logmsgf(ZTLOG_ERROR, tag, "@%s belongs to process %ld of user %ld, not to root or this user",
                name.c_str(), static_cast<long>(pid), static_cast<long>(uid));
        close(fd);
        return VNET_CONNECT_FAILED;
    }
    int st = vnetd_greeting(&fd, VN_VERSION_SECURE_COMM, kLocalGreeting, version);
    if (st != 0) {
        if (fd >= 0)
            close(fd);
        return st;
    }
    *sock = fd;
    return VNET_SUCCESS;
}

int receive_from_local_vnetd(int ipc_sock, int *sock, int timeout) {
    return vnet_receive_network_socket(ipc_sock, nullptr, sock, timeout);
}

int do_domain_ctx(int *sock, int version, int timeout) {
    if (*sock < 0 || !peer_is_local(*sock))
        return VNET_SUCCESS;
    const char *hint = vnet_get_process_domain_hint();
    if (hint == nullptr || *hint == '\0' || strcmp(hint, kBadHint) == 0)
        return VNET_SUCCESS;
    json_t *constraints = vnet_build_domain_constraints(0);
    if (constraints == nullptr)
        return VNET_MALLOC_FAILED;
    const int st = vnet_set_domain_ctx(sock, version, constraints, timeout);
    json_decref(constraints);
    if (st != 0)
        logmsgf(ZTLOG_ERROR, "do_domain_ctx", "vnet_set_domain_ctx() failed: %d", st);
    return st;
}

} // namespace zt::vnet::connect
