// Connect records: which kinds of path a connect tries, one record per kind,
// address and source; their budgets, failures and retry timing; and the
// connection report that describes them.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_connect_internal.h"
#include "ztbase/comm.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet_addrinfo.h"

namespace zt::vnet::connect {
namespace {

#define HERE vnet_log_basename(__FILE__), __LINE__

// Services the port exchange connects directly, and those vnetd starts per
// request.
const char *const kPbxAble[] = {"bpcd",  "bprd", "bpdbm", "vmd",  "tldcd", "tl8cd",
                                "tlhcd", "tl4d", "tlmd",  "tshd", "acsd",  "bpjobd"};
const char *const kInetdAble[] = {"bpcd", "bpjava-msvc", "vopied"};

template <size_t N> bool in_list(const char *service, const char *const (&list)[N]) {
    if (service == nullptr)
        return false;
    for (const char *name : list)
        if (strcasecmp(service, name) == 0)
            return true;
    // A port number matches the name whose port it is.
    if (*service != '\0' && strspn(service, "0123456789") == strlen(service)) {
        const long port = strtol(service, nullptr, 10);
        for (const char *name : list) {
            int p = 0;
            if (vnet_cached_get_service_port(name, &p) == 0 && p == port)
                return true;
        }
    }
    return false;
}

const char *kind_service(int kind, const char *service) {
    switch (kind) {
    case kPbx:
        return "halvane_pbx";
    case kVnetd:
    case kZtrntd:
        return "vnetd";
    default:
        return service;
    }
}

int64_t now() {
    return seams().now_ms();
}

std::string addr_text(const sockaddr_storage &a, socklen_t len) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (len == 0)
        return "0::0";
    if (a.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&a)->sin_addr, buf, sizeof buf);
    else if (a.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&a)->sin6_addr, buf,
                  sizeof buf);
    else
        return "0::0";
    char out[INET6_ADDRSTRLEN + 2];
    return vnet_format_IP(buf, out, sizeof out);
}

// The records of one kind: one per address of the host and per source.
int build_kind(const Request &req, const Settings &set, int kind, std::vector<Record> &recs) {
    const char *tag = "init_remote_connect_recs";
    const char *service = kind_service(kind, req.service);
    // A daemon's port override file names the port every client uses.
    char port_text[16];
    if (kind != kLegacy) {
        const int over = getoverridePORT(service);
        if (over > 0 && over < 65536) {
            snprintf(port_text, sizeof port_text, "%d", over);
            service = port_text;
        }
    }
    addrinfo hints{};
    hints.ai_flags = AI_ADDRCONFIG;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = resolve::ip_literal_family(req.host);
    if (hints.ai_family == 0)
        hints.ai_family = vnet_adjusted_family(AF_UNSPEC);
    vnet_addrinfo *list = nullptr;
    int code = 0;
    int status = vnet_cached_getaddrinfo(req.host, service, &hints, &list, &code);
    if (status != 0) {
        logmsgf(ZTLOG_ERROR, tag,
                "[%s:%d] vnet_cached_getaddrinfo() failed, status=%d, OS ret=%d, host=%s, "
                "service=%s",
                HERE, status, code, req.host, service);
        vnet_failure(__FILE__, __LINE__, tag, status);
        return status;
    }
    vnet_sortaddrs(&list);
    int low = set.port_low, high = set.port_high;
    if (kind == kLegacy && req.options != nullptr &&
        req.options->reserved_port_kind == ZTCONF_RESERVED_PORT_KIND_LEGACY) {
        low = set.reserved_low;
        high = set.reserved_high;
    }
    int made = 0;
    status = VNET_CONNECT_FAILED;
    for (vnet_addrinfo *e = list; e != nullptr; e = e->ai_next) {
        if (e->ai_addr == nullptr || e->ai_addrlen > sizeof(sockaddr_storage) ||
            (e->ai_addr->sa_family != AF_INET && e->ai_addr->sa_family != AF_INET6))
            continue;
        Record base;
        init_connect_rec(base, req, set, kind, low, high);
        memcpy(&base.remote, e->ai_addr, e->ai_addrlen);
        base.remote_len = e->ai_addrlen;
        int result = 0;
        vnet_pref_binding *binding = nullptr;
        if (vnet_get_pref_netconnection(e->ai_addr, req.required_interface, &result, &binding) !=
            0) {
            logmsgf(ZTLOG_ERROR, tag, "init_local_connect_rec() failed");
            continue;
        }
        if (result == VNET_PREFNET_PROHIBITED || result == VNET_PREFNET_NOT_CONFIGURED) {
            logmsgf(ZTLOG_ERROR, tag, "%s (%s, %s)",
                    result == VNET_PREFNET_PROHIBITED ? "remote connections are prohibited"
                                                      : "remote connections are not configured",
                    req.host, addr_text(base.remote, base.remote_len).c_str());
            continue;
        }
        if (binding == nullptr) {
            recs.push_back(base);
            ++made;
            continue;
        }
        for (int i = 0; i < binding->count; ++i) {
            Record r = base;
            r.bind_local = true;
            r.local = binding->addrs[i];
            r.local_len = r.local.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            recs.push_back(r);
            ++made;
        }
        vnet_free_pref_binding(binding);
    }
    vnet_freeaddrinfo(list);
    if (made == 0) {
        vnet_failure(__FILE__, __LINE__, tag, status);
        return status;
    }
    return VNET_SUCCESS;
}

} // namespace

const char *kind_text(int kind) {
    switch (kind) {
    case kLegacy:
        return "legacy";
    case kVnetd:
        return "vnetd";
    case kPbx:
        return "pbx";
    case kZtrntd:
        return "ztrntd";
    default:
        logmsgf(ZTLOG_CRITICAL, "conn2_kind_to_text", "INTERNAL ERROR: invalid kind: %d", kind);
        abort();
    }
}

const char *state_text(int state) {
    switch (state) {
    case kUnused:
        return "UNUSED";
    case kSuccess:
        return "SUCCESS";
    case kStarted:
        return "STARTED";
    case kRetry:
        return "RETRY";
    case kFailed:
        return "FAILED";
    default:
        logmsgf(ZTLOG_CRITICAL, "conn2_status_to_text", "INTERNAL ERROR: invalid conn2 status: %d",
                state);
        abort();
    }
}

bool pbx_able(const char *service) {
    return in_list(service, kPbxAble);
}

bool inetd_able(const char *service) {
    return in_list(service, kInetdAble);
}

void set_state(Record &rec, int state) {
    state_text(state); // an impossible state stops here
    rec.state = state;
    rec.state_ms[state] = now();
}

int time_left(const Record &rec) {
    const int64_t left = int64_t(rec.timeout) * 1000 - (now() - rec.start_ms);
    return left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
}

void close_record(Record &rec) {
    if (rec.sock >= 0)
        vnet_closesocket(rec.sock);
    rec.sock = -1;
}

void init_connect_rec(Record &rec, const Request &req, const Settings &set, int kind, int port_low,
                      int port_high) {
    rec = Record{};
    rec.kind = kind;
    rec.host = req.host;
    rec.service = req.service;
    rec.port_low = port_low;
    rec.port_high = port_high;
    rec.random_ports = set.random_ports;
    rec.start_ms = now();
    rec.timeout = req.connect_timeout > 0 ? req.connect_timeout : set.connect_timeout;
    rec.retry_quickly = req.extra_tries != 0;
    rec.retry_after_10 = req.getsock_disable_to != 0;
    rec.interval_ceiling = rec.retry_quickly ? kQuickIntervalCeiling : kIntervalCeiling;
    if (0 < port_low && port_low < port_high)
        rec.port_budget =
            set.random_ports ? (port_high - port_low) * 2 + 10 : (port_high - port_low) + 1;
    rec.proxy_flag = req.flags;
    rec.service_connection =
        strcasecmp(req.service, "vnetd") == 0 || strncasecmp(req.service, "vnetd-", 6) == 0;
    rec.state_ms[kUnused] = rec.start_ms;
}

void record_failure(Record &rec, int error, int dflt) {
    close_record(rec);
    rec.status = vnet_errno_to_status(error, dflt);
    rec.syserr = error;
    set_state(rec, kRetry);
    switch (error) {
    case EINTR:
        break;
    case EADDRINUSE:
    case EADDRNOTAVAIL:
        --rec.port_budget;
        break;
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
        if (error == ETIMEDOUT && rec.retry_after_10) {
            rec.interval = 1;
            rec.next_retry_ms = now() + kRetryAfterTimeout * 1000;
        } else if (rec.retry_quickly) {
            rec.interval += 1;
            rec.next_retry_ms = now() + 1000;
        } else {
            rec.next_retry_ms = now() + int64_t(rec.interval) * 1000;
            rec.interval *= 2;
        }
        break;
    default:
        set_state(rec, kFailed);
        break;
    }
}

int init_connect_recs(const Request &req, const Settings &set, std::vector<Record> &recs,
                      int *flag7_out) {
    const char *tag = "init_connect_recs";
    vnet_addrinfo *list = nullptr;
    int code = 0;
    int status = vnet_cached_getaddrinfo(req.host, nullptr, nullptr, &list, &code);
    if (status != 0) {
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] vnet_cached_getaddrinfo() failed STAT=%d RV=%d HOST=%s",
                HERE, status, code, req.host);
        vnet_failure(__FILE__, __LINE__, tag, status);
        return status;
    }
    const int flag7 = list != nullptr ? list->cached_flags[VNET_CF_CONNECT_PATH] : 0;
    vnet_freeaddrinfo(list);
    *flag7_out = flag7;

    vnet_connect_options_rec options{};
    int daemon_type = ZTCONF_DAEMON_PORT_TYPE_AUTOMATIC;
    if (req.options != nullptr)
        daemon_type = req.options->daemon_port_type;
    else if (vnet_get_connect_options(req.host, 0, &options) == 0)
        daemon_type = options.daemon_port_type;

    const Seams &s = seams();
    bool on[kKinds] = {};
    bool ztrntd_chosen = false;
    if (flag7 == 2) {
        on[kPbx] = true;
    } else {
        on[kPbx] = flag7 == 0;
        const bool resilient = s.in_resilient_network(req.host) != 0;
        const bool local = s.is_local_host(req.host) != 0;
        const bool enabled = s.resiliency_enabled() != 0;
        if (strcasecmp(req.service, "vnetd") == 0) {
            ztrntd_chosen = resilient && !local && enabled;
            on[ztrntd_chosen ? kZtrntd : kVnetd] = true;
        } else if (!resilient) {
            if (daemon_type == ZTCONF_DAEMON_PORT_TYPE_LEGACY) {
                on[kLegacy] = true;
                on[kPbx] = on[kPbx] && !pbx_able(req.service);
            } else {
                on[kVnetd] = true;
                on[kLegacy] = daemon_type != ZTCONF_DAEMON_PORT_TYPE_VNETD;
            }
        } else {
            ztrntd_chosen = !local && enabled;
            on[ztrntd_chosen ? kZtrntd : kVnetd] = true;
        }
    }
    auto only = [&on](int kind) {
        for (bool &b : on)
            b = false;
        on[kind] = true;
    };
    if (req.legacy_only)
        only(kLegacy);
    else if ((req.flags & VNET_CONNECT_FLAG_RESILIENT) != 0 || ztrntd_chosen)
        only(kZtrntd);
    if (req.pbx_only) {
        if (flag7 == 1) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] pbx_only mis-match, pbx_only=%d, vcf_is_pbxable %d",
                    HERE, 1, flag7);
            vnet_failure(__FILE__, __LINE__, tag, VNET_BAD_PARAM);
            return VNET_BAD_PARAM;
        }
        only(kPbx);
    }
    if (req.vnetd_only)
        on[kLegacy] = false;

    int successes = 0, failures = 0;
    status = VNET_CONNECT_FAILED;
    for (int kind : {kPbx, kVnetd, kZtrntd, kLegacy}) {
        if (!on[kind])
            continue;
        int st = build_kind(req, set, kind, recs);
        if (st == 0)
            ++successes;
        else {
            ++failures;
            status = st;
        }
    }
    if (successes == 0) {
        vnet_failure(__FILE__, __LINE__, tag, status);
        return status;
    }
    const bool pbx_in_race =
        std::any_of(recs.begin(), recs.end(), [](const Record &r) { return r.kind == kPbx; });
    for (Record &r : recs)
        r.pbx_in_race = pbx_in_race;
    if (failures > 0)
        logmsgvf(ZTLOG_DEBUG, 1, tag, "Ignoring some failures.  Success count %d", successes);
    return VNET_SUCCESS;
}

std::string report_text(const char *label, int status, const std::vector<Record> &recs) {
    char buf[512];
    std::string out = label;
    snprintf(buf, sizeof buf, " STATUS (%d) %s", status, vnet_status_to_text(status));
    out += buf;
    for (const Record &r : recs) {
        out += "\n\t";
        if (r.status != 0 || r.syserr != 0)
            snprintf(buf, sizeof buf, "status: %s, (%d) %s; system: (%d) %s;", state_text(r.state),
                     r.status, vnet_status_to_text(r.status), r.syserr, strerror(r.syserr));
        else
            snprintf(buf, sizeof buf, "status: %s;", state_text(r.state));
        out += buf;
        out += " FROM " + addr_text(r.local, r.local_len) + " TO " + r.host + " " +
               addr_text(r.remote, r.remote_len) + " " + r.service;
        if (r.kind != kLegacy)
            out += std::string(" VIA ") + kind_text(r.kind);
    }
    return out;
}

} // namespace zt::vnet::connect

extern "C" ZTBASE_API const char *conn2_kind_to_text(int kind) {
    return zt::vnet::connect::kind_text(kind);
}

extern "C" ZTBASE_API const char *conn2_status_to_text(int status) {
    return zt::vnet::connect::state_text(status);
}
