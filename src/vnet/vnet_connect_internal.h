// Inside the connect engine: the connect records, the seams in front of the
// clock and of the layers that come later (host comparison, proxy helper,
// resilient connections, the vnetd and port-exchange handshakes), and the
// steps of connect_to_service.
//
// Invariants:
// - A record owns its socket: every path that leaves a record FAILED or
//   RETRY has closed it (close_record), and the engine closes every socket
//   but the winner's before it returns.
// - All times of the engine come from seams().now_ms and every pause from
//   seams().sleep_ms, so tests move a clock instead of sleeping. Waiting for
//   sockets (poll) is real time, bounded by the records' deadlines.
// - A seam entry left null means the built-in behaviour described at it.
#pragma once

#include <cstdint>
#include <ctime>
#include <jansson.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "ztbase/vnet.h"
#include "ztbase/vnet_connect.h"

namespace zt::vnet::connect {

enum Kind { kLegacy = 0, kVnetd = 1, kPbx = 2, kZtrntd = 3, kKinds = 4 };
enum State { kUnused = 0, kSuccess = 1, kStarted = 2, kRetry = 3, kFailed = 4, kStates = 5 };

// The port budget and retry interval of a new record.
inline constexpr int kPortBudget = 10;
inline constexpr int kIntervalCeiling = 16;        // seconds
inline constexpr int kQuickIntervalCeiling = 120;  // with extra_tries
inline constexpr int kRetryAfterTimeout = 10;      // seconds, with getsock_disable_to
inline constexpr int kIndirectTimeout = 10;        // request 17 and its parameters
inline constexpr size_t kIndirectReplyMax = 10240; // bytes of the daemon's reply
inline constexpr int kDefaultReadTimeout = 300;    // CLIENT_READ_TIMEOUT when unset

struct Record {
    int kind = kLegacy;
    int state = kUnused;
    int sock = -1;
    std::string host;
    std::string service;
    sockaddr_storage remote{};
    socklen_t remote_len = 0;
    bool bind_local = false; // source address from the preferred networks
    sockaddr_storage local{};
    socklen_t local_len = 0;
    int port_low = 0, port_high = 0;
    bool random_ports = true;
    int64_t start_ms = 0;
    int timeout = 0; // seconds
    int interval = 1, interval_ceiling = kIntervalCeiling;
    int port_budget = kPortBudget;
    bool retry_quickly = false, retry_after_10 = false;
    int64_t next_retry_ms = 0;
    int status = 0, syserr = 0;
    int vnetd_version = 0;
    int remote_status = 0;
    int proxy_flag = 0, proxy_hint = 0;
    bool service_connection = false; // vnetd itself: no service request
    bool no_wait_for_pbx = false;    // set by the vnetd handshake
    bool pbx_in_race = true;         // this connect has port-exchange records too
    bool proxy_done = false;         // the handshake handed the socket to the proxy layer
    std::string log_name;            // the connection's name in the log (the service's when empty)
    int64_t state_ms[kStates] = {};  // when the record last entered each state
};

// What the caller asked of connect_to_service.
struct Request {
    const char *who = "";
    const char *host = nullptr;
    const char *service = nullptr;
    const char *required_interface = nullptr;
    int extra_tries = 0;
    int getsock_disable_to = 0;
    int connect_timeout = 0;
    bool vnetd_only = false;
    const vnet_connect_options_rec *options = nullptr;
    bool pbx_only = false;
    bool legacy_only = false;
    bool no_indirect = false; // the local vnetd connecting for a caller
    int flags = 0;
    json_t *json_info = nullptr;
};

// The settings one connect reads from the configuration.
struct Settings {
    int connect_timeout = 300;
    int read_timeout = kDefaultReadTimeout;
    int port_low = 0, port_high = 0;              // CLIENT_PORT_WINDOW
    int reserved_low = 512, reserved_high = 1023; // CLIENT_RESERVED_PORT_WINDOW
    bool random_ports = true;
};
Settings read_settings();

// A kind's handshake once its TCP leg is connected: 0 (the record wins) or a
// failure that has set the record's state (RETRY or FAILED) and status.
using Handshake = int (*)(Record &rec, const Request &req, const Settings &set);

struct Seams {
    // Clock: milliseconds since 1970, and a pause.
    int64_t (*now_ms)();
    void (*sleep_ms)(int64_t ms);
    // Host comparison: names of one host (local match allowed) and whether a
    // name is this host. Built in: vnet_same_host_and_update and
    // vnet_is_local_host_real.
    int (*same_host)(const char *a, const char *b);
    int (*is_local_host)(const char *name);
    // Proxy helper: 1 when the connect must go through the local vnetd
    // (built in: never); the hand-over of a won socket (built in: the socket
    // stays as it is).
    int (*proxy_required)(const char *host, const char *service);
    int (*proxy_socket_swap)(int *sock, int timeout, const char *host, const char *service,
                             int proxy_flag, int proxy_hint);
    // Resilient connections: built in, no host is in a resilient network and
    // resiliency is off.
    int (*in_resilient_network)(const char *host);
    int (*resiliency_enabled)();
    // The indirect connect's pieces of the vnetd protocol: reaching the local
    // vnetd, taking a socket it hands over, ending the conversation. Built
    // in: its local endpoint, the hand-over there, and request 1.
    int (*local_vnetd_connect)(int *sock, int *version);
    int (*receive_network_socket)(int ipc_sock, int *sock, int timeout);
    int (*vnetd_disconnect)(int *sock, int version, int timeout);
    // The version exchange (highest 13, lowest as given) and the domain
    // context on a fresh vnetd connection. Built in: vnetd_greeting.
    int (*vnetd_greeting)(int *sock, int lowest, int timeout, int *version);
    // Handshakes by kind. Built in: legacy needs none; vnetd and ztrntd
    // do_vnetd_service; pbx do_pbx_service.
    Handshake handshake[kKinds];
};
const Seams &seams();
// Installs a table (null: the built-in one); returns the previous one.
const Seams *set_seams(const Seams *table);

// ---- records (vnet_connect_recs.cpp) ----

// Texts of the report, aborting on values that cannot be.
const char *kind_text(int kind);
const char *state_text(int state);

void set_state(Record &rec, int state);
// Whole seconds the record has left of its connect timeout (0 when none).
int time_left(const Record &rec);
// Closes the record's socket (if any).
void close_record(Record &rec);
// Record set-up: budgets, retry flags, window, start time.
void init_connect_rec(Record &rec, const Request &req, const Settings &set, int kind, int port_low,
                      int port_high);
// A failed attempt: socket closed, status from error (dflt otherwise), RETRY
// with the next try scheduled, or FAILED.
void record_failure(Record &rec, int error, int dflt);
// Chooses the kinds and builds one record per kind, address and source.
int init_connect_recs(const Request &req, const Settings &set, std::vector<Record> &recs,
                      int *flag7_out);
// Whether a service may be switched by the port exchange directly / is
// started by vnetd per request.
bool pbx_able(const char *service);
bool inetd_able(const char *service);

// The connection report: label, overall status, then one line per record.
std::string report_text(const char *label, int status, const std::vector<Record> &recs);

// vnet_bind_to_port_addr_extra_ipi with flags for the socket's type
// (SOCK_NONBLOCK for the engine's attempts).
int bind_source_socket(int low, int high, int family, const sockaddr *address, int from_high,
                       int type_flags, int *sock_out);

// ---- the vnetd and port-exchange paths (vnet_connect_paths.cpp) ----

// The handshakes of the vnetd (and resilient) and port-exchange kinds.
int do_vnetd_service(Record &rec, const Request &req, const Settings &set);
int do_pbx_service(Record &rec, const Request &req, const Settings &set);
// The domain hint to a local vnetd (nothing for a remote one); *sock is
// closed and -1 when the request fails on the wire.
int do_domain_ctx(int *sock, int version, int timeout);
// The version exchange (highest 13) and the domain context on a fresh vnetd
// connection.
int vnetd_greeting(int *sock, int lowest, int timeout, int *version);
// The local vnetd on its local endpoint, greeted at version 13, and the
// socket it hands back there.
int local_vnetd_endpoint(int *sock, int *version);
int receive_from_local_vnetd(int ipc_sock, int *sock, int timeout);

// ---- a local caller's connect parameters (vnet_connect_caller.cpp) ----

// Reads the JSON form of a request (the members of the indirect connect's
// parameters) into *r, pointing into params and *options; VNET_BAD_PARAM
// when it is not such an object.
int read_caller_params(const json_t *params, Request *r, vnet_connect_options_rec *options);

// ---- the engine (vnet_connect_engine.cpp) ----

int connect_to_service(const Request &req, int *sock_out, int *version_out);
// Runs the attempts until one record succeeds or none is left; the index of
// the winner or -1, the overall status.
int async_connect(std::vector<Record> &recs, const Request &req, const Settings &set, int *winner);

// The "connect parameters" JSON of a request.
json_t *connect_params(const Request &req);
// 1 when the indirect path delivered a socket (or its status ended the call
// in *status), 0 when the direct path must run.
int indirect_connect(const Request &req, int *sock_out, int *status);

// The host comparison seam's built-in answers.
int host_same(const char *a, const char *b);
int host_is_local(const char *name);

} // namespace zt::vnet::connect
