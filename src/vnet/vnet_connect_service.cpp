// connect_to_service: the indirect path through the local vnetd when the
// proxy rule asks for it, else the records and their attempts; then the
// connection report, the learned path written back to the host's cached
// flags, the proxy hand-over and the thread record.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/tss.h"
#include "vnet/vnet_connect_internal.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet_addrinfo.h"

namespace zt::vnet::connect {
namespace {

const char kTag[] = "connect_to_service";
#define HERE vnet_log_basename(__FILE__), __LINE__

json_t *text_or_null(const char *s) {
    json_t *j = s != nullptr ? json_string(s) : nullptr;
    return j != nullptr ? j : json_null();
}

void set_report(const std::string &text) {
    ztbase_tss_data *b = nullptr;
    if (ztbase_get_tss_data(&b) != 0 || b == nullptr)
        return;
    free(b->connect_recs);
    b->connect_recs = text.empty() ? nullptr : strdup(text.c_str());
}

// Flag 7 (and 13 when the caller asked for the version) of the host.
void learn_path(const Request &req, const Record &winner, int flag7, bool want_version) {
    const int path = winner.kind == kPbx ? 2 : 1;
    if (req.legacy_only || flag7 == path)
        return;
    int update[VNET_CACHED_FLAG_COUNT];
    for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i)
        update[i] = i <= VNET_CF_INDEX_SERVER ? VNET_CF_KEEP_TRISTATE : VNET_CF_KEEP_NUMBER;
    update[VNET_CF_CONNECT_PATH] = path;
    if (want_version)
        update[VNET_CF_VNETD_VERSION] = winner.vnetd_version;
    vnet_addrinfo *list = nullptr;
    int code = 0;
    if (int st = vnet_cached_getaddrinfo_and_update(req.host, nullptr, nullptr, update, nullptr,
                                                    nullptr, &list, &code))
        logmsgf(ZTLOG_WARNING, kTag, "[%s:%d] flag update failed STAT=%d RV=%d HOST=%s", HERE, st,
                code, req.host);
    vnet_freeaddrinfo(list);
}

// The status a proxy reply in the thread record gives a failed connect.
int proxy_status(int status) {
    if (status != VNET_CONNECT_FAILED)
        return status;
    json_t *rec = vnet_tss_get(0);
    json_t *data = json_object_get(json_object_get(rec, "proxy_response"), "data");
    json_t *st = json_object_get(data, "status");
    if (json_is_integer(st) && json_integer_value(st) > 0)
        status = vnet_zt_to_vnet_status(static_cast<int>(json_integer_value(st)));
    json_decref(rec);
    return status;
}

void log_thread_record(int status) {
    json_t *rec = vnet_tss_get(0);
    char *text = rec != nullptr ? json_dumps(rec, JSON_COMPACT) : nullptr;
    if (status != 0)
        logmsgf(ZTLOG_ERROR, kTag, "JSON data = %s", text != nullptr ? text : "null");
    else
        logmsgvf(ZTLOG_DEBUG, 6, kTag, "JSON data = %s", text != nullptr ? text : "null");
    free(text);
    json_decref(rec);
}

int finish(const Request &req, int status) {
    vnet_tss_set_new("status", kTag, __LINE__, "vnet status", json_integer(status));
    status = proxy_status(status);
    log_thread_record(status);
    if (status != 0)
        vnet_failure(__FILE__, __LINE__, req.who, status);
    return status;
}

} // namespace

json_t *connect_params(const Request &req) {
    json_t *j = json_object();
    if (j == nullptr)
        return nullptr;
    json_object_set_new(j, "who", text_or_null(req.who));
    json_object_set_new(j, "host", text_or_null(req.host));
    json_object_set_new(j, "service", text_or_null(req.service));
    json_object_set_new(j, "override_required_interface", text_or_null(req.required_interface));
    json_object_set_new(j, "extra_tries_on_connect", json_integer(req.extra_tries));
    json_object_set_new(j, "getsock_disable_to", json_integer(req.getsock_disable_to));
    json_object_set_new(j, "overide_connect_timeout", json_integer(req.connect_timeout));
    json_object_set_new(j, "connect_options", vnet_json_connect_options_rec(req.options));
    return j;
}

int indirect_connect(const Request &req, int *sock_out, int *status) {
    const char *tag = "indirect_connect";
    const Seams &s = seams();
    if (s.proxy_required(req.host, req.service) == 0) {
        logmsgvf(ZTLOG_DEBUG, 6, tag, "proxy not required for host %s, service %s", req.host,
                 req.service);
        return 0;
    }
    if (vnet_localhost_check(req.host) && strcmp(req.service, "vnetd-no-auth") == 0) {
        logmsgvf(ZTLOG_DEBUG, 6, tag, "no need for indirect connect for host = %s, service = %s",
                 req.host, req.service);
        return 0;
    }
    const Settings set = read_settings();
    int sock = -1, version = 0;
    *status = s.local_vnetd_connect(&sock, &version);
    if (*status != 0) {
        logmsgf(ZTLOG_ERROR, tag, "vnet_connect_to_vnetd_no_auth() failed: %d", *status);
        return 1;
    }
    json_t *params = connect_params(req);
    char *text = params != nullptr ? json_dumps(params, JSON_COMPACT) : nullptr;
    // Reaching the local vnetd was a connect of its own, which began the
    // thread record afresh: this connect's parameters go back in.
    vnet_tss_set_new("direct_connect", kTag, __LINE__, "connect parameters", params);
    if (text == nullptr) {
        vnet_closesocket(sock);
        *status = VNET_MALLOC_FAILED;
        return 1;
    }
    *status = vnet_push_unsigned(sock, 17, kIndirectTimeout);
    if (*status == 0)
        *status = vnet_push_string(sock, text, kIndirectTimeout);
    if (*status == 0)
        vnet_tss_set_new("indirect_request", tag, __LINE__,
                         "connect parameters sent to local vnetd", json_loads(text, 0, nullptr));
    free(text);
    const int timeout = req.connect_timeout > 0 ? req.connect_timeout : set.connect_timeout;
    std::string reply(kIndirectReplyMax, '\0');
    if (*status == 0)
        *status = vnet_pop_string(sock, reply.data(), static_cast<int>(reply.size()), timeout);
    json_t *response = nullptr;
    if (*status == 0) {
        json_error_t err;
        response = json_loads(reply.c_str(), 0, &err);
        if (response == nullptr) {
            logmsgf(ZTLOG_ERROR, tag, "json_loads(%s, ...) failed: %d %s", reply.c_str(), err.line,
                    err.text);
            *status = VNET_BAD_STRING;
        }
    }
    if (response != nullptr) {
        vnet_tss_set_new("indirect_response", tag, __LINE__, "response from local vnetd",
                         json_incref(response));
        if (const char *msg =
                json_string_value(json_object_get(response, "tss_connect_error_message")))
            set_report(msg);
        json_t *st = json_object_get(response, "status");
        json_t *ver = json_object_get(response, "vnetd_version");
        if (!json_is_integer(st)) {
            logmsgf(ZTLOG_ERROR, tag, "json_object_get(%s, ...) returned no status", "status");
            *status = VNET_BAD_STRING;
        } else if (json_integer_value(st) < 0 || json_integer_value(st) > INT_MAX) {
            // Not a status at all: said so rather than passed on cut to an int.
            logmsgf(ZTLOG_ERROR, tag, "remote status for %s is not a status: %lld", req.host,
                    static_cast<long long>(json_integer_value(st)));
            *status = VNET_BAD_STRING;
        } else if (json_integer_value(st) != 0) {
            *status = static_cast<int>(json_integer_value(st));
            logmsgf(ZTLOG_ERROR, tag, "remote status for %s is %d", req.host, *status);
        } else {
            if (json_is_integer(ver))
                version = static_cast<int>(json_integer_value(ver));
            int got = -1;
            *status = s.receive_network_socket(sock, &got, timeout + 10);
            if (*status != 0)
                logmsgf(ZTLOG_ERROR, tag, "vnet_receive_network_socket() failed: %d for %s",
                        *status, req.host);
            else
                *sock_out = got;
        }
        json_decref(response);
    }
    if (sock >= 0) {
        if (int d = s.vnetd_disconnect(&sock, version, kIndirectTimeout); d != 0)
            logmsgvf(ZTLOG_DEBUG, 5, tag, "vnet_vnetd_disconnect() failed: %d for %s", d, req.host);
        vnet_closesocket(sock);
    }
    return 1;
}

int connect_to_service(const Request &req, int *sock_out, int *version_out) {
    set_report("");
    vnet_tss_init();
    vnet_tss_set_new("direct_connect", kTag, __LINE__, "connect parameters", connect_params(req));
    const char *missing = sock_out == nullptr                              ? "sock not specified"
                          : req.host == nullptr || *req.host == '\0'       ? "host not specified"
                          : req.service == nullptr || *req.service == '\0' ? "service not specified"
                                                                           : nullptr;
    if (missing != nullptr) {
        logmsgf(ZTLOG_ERROR, kTag, "%s", missing);
        return finish(req, VNET_BAD_PARAM);
    }
    *sock_out = -1;
    if (strlen(req.host) >= VNET_CONNECT_HOST_SIZE) {
        logmsgf(ZTLOG_ERROR, kTag, "host name too long: %zu bytes", strlen(req.host));
        return finish(req, VNET_BAD_PARAM);
    }
    int status = 0;
    if (!req.no_indirect && indirect_connect(req, sock_out, &status) != 0) {
        if (status == 0)
            logmsgvf(ZTLOG_DEBUG, 4, kTag, "indirect_connect() worked for %s(%s, %s,...)", req.who,
                     req.host, req.service);
        return finish(req, status);
    }
    const Settings set = read_settings();
    std::vector<Record> recs;
    int flag7 = 0;
    status = init_connect_recs(req, set, recs, &flag7);
    int winner = -1;
    if (status == 0)
        status = async_connect(recs, req, set, &winner);
    const std::string report =
        report_text(status == 0 ? "connect succeeded" : "connect failed", status, recs);
    set_report(report);
    if (status == 0)
        logmsgvf(ZTLOG_DEBUG, 4, kTag, "%s", report.c_str());
    else
        logmsgf(ZTLOG_ERROR, kTag, "%s", report.c_str());
    if (status != 0 || winner < 0)
        return finish(req, status != 0 ? status : VNET_CONNECT_FAILED);

    Record &w = recs[static_cast<size_t>(winner)];
    learn_path(req, w, flag7, version_out != nullptr);
    if (w.proxy_hint != 0 && !w.proxy_done) {
        const int st = seams().proxy_socket_swap(&w.sock, time_left(w) + 10, req.host, req.service,
                                                 w.proxy_flag, w.proxy_hint);
        if (st != 0) {
            logmsgf(ZTLOG_ERROR, kTag,
                    "vnet_proxy_socket_swap(NULL, %ld, %d, 0, %s, %s, %d) failed: %d",
                    static_cast<long>(w.sock), w.proxy_flag, req.host, req.service, w.proxy_hint,
                    st);
            close_record(w);
            return finish(req, st);
        }
    }
    *sock_out = w.sock;
    w.sock = -1;
    if (version_out != nullptr)
        *version_out = w.vnetd_version;
    return finish(req, VNET_SUCCESS);
}

} // namespace zt::vnet::connect
