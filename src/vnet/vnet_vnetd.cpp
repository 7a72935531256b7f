// The vnetd conversation: the version handshake and the requests that are
// answered on the same connection.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <jansson.h>
#include <string>
#include <unistd.h>

#include "vnet/vnet_vnetd_internal.h"
#include "ztbase/comm.h"
#include "ztbase/ztconf.h"

using zt::vnet::vnetd::drop;

namespace {

bool bad_sock(const int *sock, const char *fn) {
    if (sock == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "csock is NULL");
        return true;
    }
    if (*sock < 0) {
        logmsgf(ZTLOG_ERROR, fn, "*csock is invalid");
        return true;
    }
    return false;
}

// Sends a request code; a failure drops the connection.
int send_request(int *sock, unsigned long code, int timeout, const char *fn) {
    int st = vnet_push_unsigned(*sock, code, timeout);
    if (st != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "vnet_push_unsigned(%lu) failed: %d", code, st);
        return drop(sock, fn, st);
    }
    return VNET_SUCCESS;
}

// Receives the daemon's status: a transfer failure drops the connection, a
// non-zero status is handed on as it came.
int recv_status(int *sock, int timeout, const char *fn) {
    int status = 0;
    int st = vnet_pop_status(*sock, &status, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    if (status != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "vnetd returned status %d", status);
        VNETD_FAIL(fn, status);
    }
    return status;
}

int simple_request(int *sock, unsigned long code, int timeout, const char *fn) {
    if (bad_sock(sock, fn))
        return VNET_BAD_PARAM;
    int st = send_request(sock, code, timeout, fn);
    return st != VNET_SUCCESS ? st : recv_status(sock, timeout, fn);
}

int request_with_text(int *sock, int version, int need, unsigned long code, const char *text,
                      int timeout, const char *fn) {
    if (sock == nullptr || *sock < 0) {
        logmsgf(ZTLOG_ERROR, fn, "csock parameter NULL or set to VNET_INVALID_SOCKET, status");
        return VNET_BAD_ARGUMENT;
    }
    if (text == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "service parameter is NULL, status");
        return VNET_BAD_ARGUMENT;
    }
    if (version < need) {
        logmsgf(ZTLOG_ERROR, fn, "unsupported at this vnetd version %d", version);
        VNETD_FAIL(fn, VNET_BAD_VERSION);
        return VNET_BAD_VERSION;
    }
    int st = send_request(sock, code, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    st = vnet_push_string(*sock, text, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    return VNET_SUCCESS;
}

} // namespace

extern "C" ZTBASE_API int vnet_proxy_map_vnetd_version_to_hint(int version) {
    return version < 13 ? 2 : 1;
}

extern "C" ZTBASE_API int vnet_version_connect_ex(int *sock, int highest, int lowest,
                                                  int *version_out, int timeout, int *hint_out) {
    const char *fn = "vnet_version_connect_ex";
    if (sock == nullptr || *sock < 0) {
        logmsgf(ZTLOG_ERROR, fn, "sock is invalid");
        return VNET_BAD_PARAM;
    }
    int st = vnet_push_signed(*sock, highest, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    long theirs = 0;
    st = vnet_pop_signed(*sock, &theirs, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    if (theirs == -1) {
        logmsgf(ZTLOG_ERROR, fn, "vnetd refused version %d", highest);
        return drop(sock, fn, VNET_BAD_VERSION);
    }
    const long agreed = (theirs >= lowest && theirs <= highest) ? theirs : -1;
    st = vnet_push_signed(*sock, agreed, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    if (agreed == -1) {
        logmsgf(ZTLOG_ERROR, fn, "vnetd version %ld not within %d..%d", theirs, lowest, highest);
        return drop(sock, fn, VNET_BAD_VERSION);
    }
    if (version_out != nullptr)
        *version_out = static_cast<int>(theirs);
    if (hint_out != nullptr)
        *hint_out = vnet_proxy_map_vnetd_version_to_hint(static_cast<int>(theirs));
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_version_connect(int *sock, int highest, int lowest,
                                               int *version_out, int timeout) {
    return vnet_version_connect_ex(sock, highest, lowest, version_out, timeout, nullptr);
}

extern "C" ZTBASE_API int vnet_vnetd_noop(int *sock, int, int timeout) {
    return simple_request(sock, VN_REQUEST_NOOP, timeout, "vnet_vnetd_noop");
}

extern "C" ZTBASE_API int vnet_vnetd_disconnect(int *sock, int, int timeout) {
    return simple_request(sock, VN_REQUEST_DISCONNECT, timeout, "vnet_vnetd_disconnect");
}

extern "C" ZTBASE_API int vnet_vnetd_service_socket(int *sock, int version, const char *service,
                                                    int timeout) {
    const char *fn = "vnet_vnetd_service_socket";
    int st = request_with_text(sock, version, VN_VERSION_SERVICE_SOCKET, VN_REQUEST_SERVICE_SOCKET,
                               service, timeout, fn);
    return st != VNET_SUCCESS ? st : recv_status(sock, timeout, fn);
}

extern "C" ZTBASE_API int vnet_vnetd_daemon_socket(int *sock, int version, const char *ipc,
                                                   int timeout) {
    const char *fn = "vnet_vnetd_daemon_socket";
    int st = request_with_text(sock, version, 0, VN_REQUEST_DAEMON_SOCKET, ipc, timeout, fn);
    return st != VNET_SUCCESS ? st : recv_status(sock, timeout, fn);
}

extern "C" ZTBASE_API int vnet_vnetd_connect_back_socket(int *sock, int version, const char *ipc,
                                                         char *hash, int hash_size, int timeout) {
    const char *fn = "vnet_vnetd_connect_back_socket";
    if (hash == nullptr || hash_size < VN_HASH_SIZE) {
        logmsgf(ZTLOG_ERROR, fn, "hash buffer is NULL or too small: %p %d", hash, hash_size);
        return VNET_BAD_ARGUMENT;
    }
    int st = request_with_text(sock, version, 0, VN_REQUEST_CONNECT_BACK_SOCKET, ipc, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    st = vnet_pop_string(*sock, hash, VN_HASH_SIZE, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_vnetd_pbx_c_supported(int *sock, int version, int *supported,
                                                     int timeout) {
    const char *fn = "vnet_vnetd_pbx_c_supported";
    if (supported == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "supported is NULL");
        return VNET_BAD_PARAM;
    }
    *supported = 0;
    if (version < VN_VERSION_PBX_C_SUPPORTED)
        return VNET_SUCCESS;
    if (bad_sock(sock, fn))
        return VNET_BAD_PARAM;
    int st = send_request(sock, VN_REQUEST_PBX_C_SUPPORTED, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    long answer = 0;
    st = vnet_pop_signed(*sock, &answer, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    st = recv_status(sock, timeout, fn);
    if (st == VNET_SUCCESS)
        *supported = answer == 1 ? 1 : 0;
    return st;
}

extern "C" ZTBASE_API int vnet_vnetd_get_master_server_name(int *sock, char *buffer, int size,
                                                            int version, int timeout) {
    const char *fn = "vnet_vnetd_get_master_server_name";
    if (buffer == nullptr || size < 1) {
        logmsgf(ZTLOG_ERROR, fn, "buffer is NULL or empty: %p %d", buffer, size);
        return VNET_BAD_PARAM;
    }
    if (version < VN_VERSION_MASTER_NAME) {
        logmsgf(ZTLOG_ERROR, fn, "unsupported at this vnetd version");
        return VNET_BAD_VERSION;
    }
    if (bad_sock(sock, fn))
        return VNET_BAD_PARAM;
    int st = send_request(sock, VN_REQUEST_MASTER_NAME, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    st = vnet_pop_string(*sock, buffer, size, timeout);
    return st != VNET_SUCCESS ? drop(sock, fn, st) : VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_version_get_ipi(int *sock, int timeout, char *buffer, int size) {
    const char *fn = "vnet_version_get_ipi";
    if (buffer == nullptr || size < 1) {
        logmsgf(ZTLOG_ERROR, fn, "buffer is NULL or empty: %p %d", buffer, size);
        return VNET_BAD_PARAM;
    }
    if (bad_sock(sock, fn))
        return VNET_BAD_PARAM;
    int st = send_request(sock, VN_REQUEST_VERSION, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    st = vnet_pop_string(*sock, buffer, size, timeout);
    return st != VNET_SUCCESS ? drop(sock, fn, st) : VNET_SUCCESS;
}

namespace {

bool domain_version_ok(int version, const char *fn) {
    if (version >= VN_VERSION_SECURE_COMM)
        return true;
    logmsgf(ZTLOG_ERROR, fn, "version %d is less than required version %s %d", version,
            "VN_VERSION_SECURE_COMM", VN_VERSION_SECURE_COMM);
    return false;
}

constexpr int kDomainCtxSize = 3072;

} // namespace

extern "C" ZTBASE_API int vnet_get_domain_ctx(int *sock, int version, json_t **constraints_out,
                                              int timeout) {
    const char *fn = "vnet_get_domain_ctx";
    if (sock == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "sock_p is NULL: %p", static_cast<void *>(sock));
        return VNET_BAD_ARGUMENT;
    }
    if (*sock < 0) {
        logmsgf(ZTLOG_ERROR, fn, "*sock_p is not valid: %ld", static_cast<long>(*sock));
        return VNET_BAD_ARGUMENT;
    }
    if (constraints_out == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "js_domain_ctx_p is NULL: %p", static_cast<void *>(constraints_out));
        return VNET_BAD_ARGUMENT;
    }
    *constraints_out = nullptr;
    if (!domain_version_ok(version, fn))
        return VNET_BAD_VERSION;
    logmsgvf(ZTLOG_DEBUG, 5, fn, "request VN_REQUEST_GET_DOMAIN_CTX %d", VN_REQUEST_GET_DOMAIN_CTX);
    int st = send_request(sock, VN_REQUEST_GET_DOMAIN_CTX, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    std::string text(kDomainCtxSize, '\0');
    st = vnet_pop_string(*sock, text.data(), kDomainCtxSize, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    st = recv_status(sock, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    json_error_t err;
    json_t *value = json_loads(text.c_str(), 0, &err);
    if (value == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "domain context is not JSON: %s", err.text);
        return VNET_BAD_STRING;
    }
    *constraints_out = value;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_set_domain_ctx(int *sock, int version, const json_t *constraints,
                                              int timeout) {
    const char *fn = "vnet_set_domain_ctx";
    if (sock == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "sock_p is NULL: %p", static_cast<void *>(sock));
        return VNET_BAD_ARGUMENT;
    }
    if (*sock < 0) {
        logmsgf(ZTLOG_ERROR, fn, "*sock_p is not valid: %ld", static_cast<long>(*sock));
        return VNET_BAD_ARGUMENT;
    }
    if (constraints == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "js_domain_ctx_p is NULL: %p", static_cast<const void *>(constraints));
        return VNET_BAD_ARGUMENT;
    }
    if (!domain_version_ok(version, fn))
        return VNET_BAD_VERSION;
    char *text = json_dumps(constraints, JSON_COMPACT);
    if (text == nullptr)
        return VNET_MALLOC_FAILED;
    logmsgvf(ZTLOG_DEBUG, 5, fn, "request VN_REQUEST_SET_DOMAIN_CTX %d", VN_REQUEST_SET_DOMAIN_CTX);
    int st = send_request(sock, VN_REQUEST_SET_DOMAIN_CTX, timeout, fn);
    if (st == VNET_SUCCESS) {
        st = vnet_push_string(*sock, text, timeout);
        st = st != VNET_SUCCESS ? drop(sock, fn, st) : recv_status(sock, timeout, fn);
    }
    free(text);
    return st;
}

// ---- security information ----

namespace {

constexpr int kInfoStringSize = 257; // 256 characters and the NUL

int pop_info_string(int *sock, char *buf, int timeout, const char *fn) {
    int st = vnet_pop_string(*sock, buf, kInfoStringSize, timeout);
    return st != VNET_SUCCESS ? drop(sock, fn, st) : VNET_SUCCESS;
}

int pop_info_signed(int *sock, long *value, int timeout, const char *fn) {
    int st = vnet_pop_signed(*sock, value, timeout);
    return st != VNET_SUCCESS ? drop(sock, fn, st) : VNET_SUCCESS;
}

bool unknown_host(const char *text, const char *fn) {
    if (strcmp(text, ">UNKNOWN<") != 0)
        return false;
    logmsgf(ZTLOG_ERROR, fn, "vnetd answered >UNKNOWN<");
    return true;
}

int read_authorization(int *sock, ztconf_info_t *config, int timeout, const char *fn) {
    char host[kInfoStringSize], end[kInfoStringSize];
    long port = 0;
    int st = pop_info_string(sock, host, timeout, fn);
    if (st == VNET_SUCCESS)
        st = pop_info_signed(sock, &port, timeout, fn);
    if (st == VNET_SUCCESS)
        st = pop_info_string(sock, end, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    if (unknown_host(host, fn) || end[0] != '\0')
        return drop(sock, fn, VNET_BAD_ARGUMENT);
    if (host[0] == '\0')
        return VNET_SUCCESS;
    ztconf_authorization_service_t *svc = nullptr;
    if (ztconf_create_authorization_service(host, static_cast<int>(port), &svc) != 0 || !svc)
        return VNET_SYSCALL_FAILED;
    config->authorization_service = svc;
    return VNET_SUCCESS;
}

int read_domains(int *sock, ztconf_info_t *config, int timeout, const char *fn) {
    ztconf_authentication_domain_t *head = nullptr, **tail = &head;
    int st = VNET_SUCCESS;
    for (;;) {
        char broker[kInfoStringSize], domain[kInfoStringSize], comment[kInfoStringSize];
        long port = 0, type = 0;
        if ((st = pop_info_string(sock, broker, timeout, fn)) != VNET_SUCCESS)
            break;
        if (broker[0] == '\0')
            break;
        if (unknown_host(broker, fn)) {
            st = drop(sock, fn, VNET_BAD_ARGUMENT);
            break;
        }
        if ((st = pop_info_signed(sock, &port, timeout, fn)) != VNET_SUCCESS ||
            (st = pop_info_string(sock, domain, timeout, fn)) != VNET_SUCCESS ||
            (st = pop_info_string(sock, comment, timeout, fn)) != VNET_SUCCESS ||
            (st = pop_info_signed(sock, &type, timeout, fn)) != VNET_SUCCESS)
            break;
        ztconf_authentication_domain_t *node = nullptr;
        if (ztconf_create_authentication_domain(domain, comment, static_cast<int>(type), broker,
                                                static_cast<int>(port), &node) != 0 ||
            !node) {
            st = VNET_SYSCALL_FAILED;
            break;
        }
        *tail = node;
        tail = &node->next;
    }
    if (st != VNET_SUCCESS) {
        ztconf_free_authentication_domain_list(head);
        return st;
    }
    config->authentication_domain = head;
    return VNET_SUCCESS;
}

int read_networks(int *sock, ztconf_info_t *config, int timeout, const char *fn) {
    ztconf_hxss_network_t *head = nullptr, **tail = &head;
    int st = VNET_SUCCESS;
    for (;;) {
        char host[kInfoStringSize];
        long mode = 0;
        if ((st = pop_info_string(sock, host, timeout, fn)) != VNET_SUCCESS)
            break;
        if (host[0] == '\0')
            break;
        if (unknown_host(host, fn)) {
            st = drop(sock, fn, VNET_BAD_ARGUMENT);
            break;
        }
        if ((st = pop_info_signed(sock, &mode, timeout, fn)) != VNET_SUCCESS)
            break;
        ztconf_hxss_network_t *node = nullptr;
        if (ztconf_create_hxss_network(host, static_cast<int>(mode), &node) != 0 || !node) {
            st = VNET_SYSCALL_FAILED;
            break;
        }
        *tail = node;
        tail = &node->next;
    }
    if (st != VNET_SUCCESS) {
        ztconf_free_hxss_network(head);
        return st;
    }
    config->hxss_network = head;
    return VNET_SUCCESS;
}

int push_item(int *sock, const char *name, int timeout, const char *fn) {
    int st = vnet_push_string(*sock, name, timeout);
    return st != VNET_SUCCESS ? drop(sock, fn, st) : VNET_SUCCESS;
}

// Sends request 9 and reads its status; a refusal ends the exchange.
int open_security_request(int *sock, int version, int timeout, const char *fn) {
    if (bad_sock(sock, fn))
        return VNET_BAD_PARAM;
    if (version < VN_VERSION_SECURITY_INFO) {
        logmsgf(ZTLOG_ERROR, fn, "unsupported at this vnetd version %d", version);
        return VNET_BAD_VERSION;
    }
    int st = send_request(sock, VN_REQUEST_GET_SECURITY_INFO, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    int status = 0;
    st = vnet_pop_status(*sock, &status, timeout);
    if (st != VNET_SUCCESS)
        return drop(sock, fn, st);
    if (status != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "vnetd returned status %d", status);
        return drop(sock, fn, VNET_SYSCALL_FAILED);
    }
    return VNET_SUCCESS;
}

} // namespace

extern "C" ZTBASE_API int vnet_vnetd_get_security_info(int *sock, int version, ztconf_info_t *config,
                                                       int timeout) {
    const char *fn = "vnet_vnetd_get_security_info";
    if (config == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "config is NULL");
        return VNET_BAD_PARAM;
    }
    if (config->authorization_service && config->authentication_domain && config->hxss_network)
        return VNET_SUCCESS;
    int st = open_security_request(sock, version, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    if ((st = push_item(sock, "ni_ess_available", timeout, fn)) != VNET_SUCCESS)
        return st;
    if (!config->authorization_service) {
        if ((st = push_item(sock, "ni_authorization_service", timeout, fn)) != VNET_SUCCESS ||
            (st = read_authorization(sock, config, timeout, fn)) != VNET_SUCCESS)
            return st;
    }
    if (!config->authentication_domain) {
        if ((st = push_item(sock, "ni_authentication_domains", timeout, fn)) != VNET_SUCCESS ||
            (st = read_domains(sock, config, timeout, fn)) != VNET_SUCCESS)
            return st;
    }
    if (!config->hxss_network) {
        if ((st = push_item(sock, "ni_hxss_networks", timeout, fn)) != VNET_SUCCESS ||
            (st = read_networks(sock, config, timeout, fn)) != VNET_SUCCESS)
            return st;
    }
    return push_item(sock, "", timeout, fn);
}

extern "C" ZTBASE_API int vnet_vnetd_get_master_useat_info(int *sock, int version, int *use_at,
                                                           int timeout) {
    const char *fn = "vnet_vnetd_get_master_useat_info";
    if (use_at == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "use_at is NULL");
        return VNET_BAD_PARAM;
    }
    int st = open_security_request(sock, version, timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    long value = 0;
    if ((st = push_item(sock, "ni_use_at", timeout, fn)) != VNET_SUCCESS ||
        (st = pop_info_signed(sock, &value, timeout, fn)) != VNET_SUCCESS ||
        (st = push_item(sock, "", timeout, fn)) != VNET_SUCCESS)
        return st;
    *use_at = static_cast<int>(value);
    return VNET_SUCCESS;
}

// ---- indirect hand-off ----

namespace {

constexpr int kHandoffReplySize = 10240;

// The caller's owner and integrity in the words of the proxy layer: the
// effective user stands for the owner, and root for the system level.
void add_security_strings(json_t *json) {
    char owner[32];
    snprintf(owner, sizeof owner, "%u", static_cast<unsigned>(geteuid()));
    char descriptor[64];
    snprintf(descriptor, sizeof descriptor, "O:%uG:%u", static_cast<unsigned>(geteuid()),
             static_cast<unsigned>(getegid()));
    json_object_set_new(json, "descriptor", json_string(descriptor));
    json_object_set_new(json, "owner_sid", json_string(owner));
    json_object_set_new(json, "integrity", json_integer(geteuid() == 0 ? 0x4000 : 0x2000));
}

} // namespace

extern "C" ZTBASE_API int vnet_vnetd_indirect_handoff(int *sock, json_t *json, int timeout) {
    const char *fn = "vnet_vnetd_indirect_handoff";
    if (bad_sock(sock, fn))
        return VNET_BAD_PARAM;
    if (json == nullptr || !json_is_object(json)) {
        logmsgf(ZTLOG_ERROR, fn, "json is not an object: %p", static_cast<void *>(json));
        return VNET_BAD_ARGUMENT;
    }
    add_security_strings(json);
    char *text = json_dumps(json, JSON_COMPACT);
    if (text == nullptr)
        return VNET_MALLOC_FAILED;
    int st = send_request(sock, VN_REQUEST_INDIRECT_HANDOFF, timeout, fn);
    if (st != VNET_SUCCESS) {
        free(text);
        return st;
    }
    vnet_set_non_blocking(*sock);
    int err = 0;
    const int put = ts_put_string_abs(*sock, text, time(nullptr) + (timeout > 0 ? timeout : 1), &err);
    free(text);
    if (put < 0) {
        logmsgf(ZTLOG_ERROR, fn, "ts_put_string_abs() failed: %d (%d)", put, err);
        return drop(sock, fn, VNET_WRITE_FAILED);
    }
    std::string reply(kHandoffReplySize, '\0');
    const int got = ts_get_string(*sock, reply.data(), kHandoffReplySize, timeout, &err);
    if (got < 0) {
        logmsgf(ZTLOG_ERROR, fn, "ts_get_string() failed: %d (%d)", got, err);
        return drop(sock, fn, got == COMM_TIMEDOUT ? VNET_TIMEOUT : VNET_READ_FAILED);
    }
    vnet_set_blocking(*sock);
    json_error_t jerr;
    json_t *answer = json_loads(reply.c_str(), 0, &jerr);
    json_t *status = answer ? json_object_get(answer, "status") : nullptr;
    if (!json_is_integer(status)) {
        logmsgf(ZTLOG_ERROR, fn, "no status returned in JSON: %s", reply.c_str());
        json_decref(answer);
        return drop(sock, fn, VNET_BAD_STRING);
    }
    const int result = static_cast<int>(json_integer_value(status));
    json_decref(answer);
    if (result != VNET_SUCCESS)
        logmsgf(ZTLOG_ERROR, fn, "vnetd protocol failure: %d", result);
    return result;
}

// ---- forward socket ----

extern "C" ZTBASE_API int vnet_vnetd_connect_forward_socket_begin(int *sock, int port, char *ipc,
                                                                  int ipc_size, char *hash,
                                                                  int hash_size, int timeout,
                                                                  const char *user, int version) {
    const char *fn = "vnet_vnetd_connect_forward_socket_begin";
    if (bad_sock(sock, fn))
        return VNET_BAD_PARAM;
    if (ipc == nullptr || ipc_size < 1 || hash == nullptr || hash_size < VN_HASH_SIZE || port < 0) {
        logmsgf(ZTLOG_ERROR, fn, "bad argument: ipc=%p/%d hash=%p/%d port=%d", ipc, ipc_size, hash,
                hash_size, port);
        return drop(sock, fn, VNET_BAD_ARGUMENT);
    }
    const bool with_user = version >= VN_VERSION_FORWARD_USER && user != nullptr &&
                           user[0] != '\0' && strcmp(user, "root") != 0;
    int st = send_request(
        sock, with_user ? VN_REQUEST_CONNECT_FORWARD_SOCKET_EX : VN_REQUEST_CONNECT_FORWARD_SOCKET,
        timeout, fn);
    if (st != VNET_SUCCESS)
        return st;
    if (with_user && (st = vnet_push_string(*sock, user, timeout)) != VNET_SUCCESS)
        return drop(sock, fn, st);
    if ((st = vnet_pop_string(*sock, ipc, ipc_size, timeout)) != VNET_SUCCESS ||
        (st = vnet_pop_string(*sock, hash, VN_HASH_SIZE, timeout)) != VNET_SUCCESS ||
        (st = vnet_push_unsigned(*sock, static_cast<unsigned long>(port), timeout)) != VNET_SUCCESS)
        return drop(sock, fn, st);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_vnetd_connect_forward_socket_end(int *sock, int timeout) {
    const char *fn = "vnet_vnetd_connect_forward_socket_end";
    if (bad_sock(sock, fn))
        return VNET_BAD_PARAM;
    const time_t deadline = time(nullptr) + (timeout > 0 ? timeout : 1);
    for (;;) {
        int status = 0;
        const long left = static_cast<long>(deadline - time(nullptr));
        int st = vnet_pop_status(*sock, &status, left > 0 ? static_cast<int>(left) : 0);
        if (st != VNET_SUCCESS)
            return drop(sock, fn, st);
        if (status == VNET_TIMEOUT && time(nullptr) < deadline) {
            logmsgvf(ZTLOG_DEBUG, 5, fn, "try again");
            continue;
        }
        if (status != VNET_SUCCESS)
            return drop(sock, fn, status);
        return VNET_SUCCESS;
    }
}
