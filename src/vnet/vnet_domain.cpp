// The process domain: its type (process-wide, in memory) and its hint (the
// VNET_DOMAIN environment variable, so that child processes inherit it), and
// the constraints a connection carries to the other side.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <jansson.h>

#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_connect.h"

namespace {

const char kEnv[] = "VNET_DOMAIN";

std::atomic<int> g_type{VNET_DOMAIN_CLIENT_TYPE};

const char *text_or_null(const char *s) {
    return s != nullptr ? s : "(null)";
}

} // namespace

extern "C" {

ZTBASE_API int vnet_get_process_domain_type(void) {
    return g_type.load();
}

ZTBASE_API int vnet_set_process_domain_type(int type) {
    const int old = g_type.exchange(type);
    logmsgvf(ZTLOG_DEBUG, 4, "vnet_set_process_domain_type",
             "Adjusting process domain type from %s to %s", vnet_map_domain_type_to_string(old),
             vnet_map_domain_type_to_string(type));
    return VNET_SUCCESS;
}

ZTBASE_API const char *vnet_map_domain_type_to_string(int type) {
    switch (type) {
    case VNET_DOMAIN_SERVER_TYPE:
        return "VNET_DOMAIN_SERVER_TYPE";
    case VNET_DOMAIN_SERVER_CHILD_PER_REQUEST_TYPE:
        return "VNET_DOMAIN_SERVER_CHILD_PER_REQUEST_TYPE";
    case VNET_DOMAIN_CLIENT_TYPE:
        return "VNET_DOMAIN_CLIENT_TYPE";
    default:
        return "UNKNOWN";
    }
}

ZTBASE_API const char *vnet_get_process_domain_hint(void) {
    const char *hint = getenv(kEnv);
    return hint != nullptr && *hint != '\0' ? hint : nullptr;
}

ZTBASE_API int vnet_set_process_domain_hint(const char *hint) {
    const char *tag = "vnet_set_process_domain_hint";
    const char *old = vnet_get_process_domain_hint();
    int rc;
    if (hint == nullptr || *hint == '\0') {
        logmsgvf(ZTLOG_DEBUG, 4, tag, "Clearing domain hint from \"%s\"", text_or_null(old));
        rc = unsetenv(kEnv);
    } else {
        logmsgvf(ZTLOG_DEBUG, 4, tag, "Adjusting process domain hint from %s to %s=%s",
                 text_or_null(old), kEnv, hint);
        rc = setenv(kEnv, hint, 1);
    }
    if (rc != 0) {
        logmsgf(ZTLOG_ERROR, tag,
                "Failed setting process-level domain hint (%d) to %s, subsequent connections may "
                "not perform validations using the correct master server",
                errno, text_or_null(hint));
        vnet_failure(__FILE__, __LINE__, tag, VNET_SYSCALL_FAILED);
        return VNET_SYSCALL_FAILED;
    }
    return VNET_SUCCESS;
}

ZTBASE_API json_t *vnet_build_domain_constraints(int with_type) {
    json_t *c = json_object();
    if (c == nullptr)
        return nullptr;
    const char *hint = vnet_get_process_domain_hint();
    json_t *h = hint != nullptr ? json_string(hint) : json_null();
    if ((with_type &&
         json_object_set_new(c, "svc_type", json_integer(vnet_get_process_domain_type())) != 0) ||
        h == nullptr || json_object_set_new(c, "process_hint", h) != 0) {
        json_decref(c);
        return nullptr;
    }
    return c;
}

ZTBASE_API int vnet_apply_domain_constraints(int is_service, const json_t *constraints) {
    const char *tag = "vnet_apply_domain_constraints";
    if (!json_is_object(constraints)) {
        logmsgf(ZTLOG_ERROR, tag, "constraints are not a JSON object");
        vnet_failure(__FILE__, __LINE__, tag, VNET_BAD_PARAM);
        return VNET_BAD_PARAM;
    }
    const char *hint = json_string_value(json_object_get(constraints, "process_hint"));
    if (hint != nullptr && *hint == '\0')
        hint = nullptr;
    const int type = vnet_get_process_domain_type();
    if (!is_service) {
        if (hint != nullptr)
            logmsgvf(ZTLOG_DEBUG, 4, tag, "Domain hint(%s) is ignored for client connection", hint);
        return VNET_SUCCESS;
    }
    if (hint == nullptr) {
        logmsgf(ZTLOG_WARNING, tag,
                "Domain hint is unexpectedly missing, setting bad domain hint to prevent further "
                "communications from succeeding");
        return vnet_set_process_domain_hint(VNET_DOMAIN_BAD_HINT);
    }
    if (type == VNET_DOMAIN_SERVER_CHILD_PER_REQUEST_TYPE || type == VNET_DOMAIN_CLIENT_TYPE)
        return vnet_set_process_domain_hint(hint);
    logmsgvf(ZTLOG_DEBUG, 4, tag, "Domain hint(%s) ignored for service connection type(%s)", hint,
             vnet_map_domain_type_to_string(type));
    return VNET_SUCCESS;
}

} // extern "C"
