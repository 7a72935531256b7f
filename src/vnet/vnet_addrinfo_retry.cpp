// The uncached lookups: the built-in service table and its port mapping, the
// try-again retry in one or two passes, the "::ffff:" literals and the rule
// that a name of the local host only ever resolves to a local address.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>

#include "platform/registry/registry.h"
#include "vnet/vnet_addrinfo_internal.h"
#include "ztbase/debuglog.h"

namespace zt::vnet::resolve {
namespace {

struct ServicePort {
    const char *name;
    int port;
};

const ServicePort kServices[] = {
    {"halvane_pbx", 1556},   {"vnetd", 13724},     {"vnetd-auth-only", 13724},
    {"vnetd-no-auth", 13724}, {"vnetd-ssa", 13724}, {"vnetd-handoff", 13724},
    {"hxcrztuport", 3652},   {"ZT_dbsrv", 13785},  {"hlvn-at-port", 2821},
    {"hlvn-auth-port", 4032}, {"bpcd", 13782},      {"bprd", 13720},
    {"bpdbm", 13721},        {"bpdbm-auth-only", 13721}, {"bpjobd", 13723},
    {"vmd", 13701},          {"acsd", 13702},      {"tl8cd", 13705},
    {"odld", 13706},         {"ts8d", 13709},      {"tldcd", 13711},
    {"tl4d", 13713},         {"tsdd", 13714},      {"tshd", 13715},
    {"tlmd", 13716},         {"tlhcd", 13717},     {"lmfcd", 13718},
    {"rsmd", 13719},         {"ztdbd", 13784},     {"visd", 9284},
    {"bpjava-msvc", 13722},  {"vopied", 13783},
};

constexpr int kDefaultPbxPort = 1556;

const char *text(const char *s) {
    return s != nullptr ? s : "(null)";
}

bool small_decimal(const char *s) {
    if (s == nullptr || *s == '\0')
        return false;
    long v = 0;
    for (const char *p = s; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || p - s >= 6)
            return false;
        v = v * 10 + (*p - '0');
    }
    return v < 65536;
}

int port_of(const sockaddr *addr) {
    if (addr == nullptr)
        return -1;
    if (addr->sa_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(addr)->sin_port);
    if (addr->sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_port);
    return -1;
}

int registry_pbx_port() {
    namespace reg = ztbase::registry;
    reg::Key key;
    reg::Value value;
    if (reg::Key::open(reg::Root::LocalMachine, "Software\\HALVANE\\HxPBX", key) ==
            reg::Status::Ok &&
        key.query("PortNumber", value) == reg::Status::Ok && value.type == reg::kDword &&
        value.number() > 0 && value.number() < 65536)
        return int(value.number());
    return kDefaultPbxPort;
}

// The port for a service name of the table, or -1 for another name.
int mapped_port(const char *service) {
    const char *tag = "retry_getaddrinfo";
    const ServicePort *row = nullptr;
    for (const ServicePort &s : kServices)
        if (strcasecmp(s.name, service) == 0)
            row = &s;
    if (row == nullptr)
        return -1;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int port = -1;
    if (resolver().getaddrinfo(nullptr, service, &hints, &found) == 0) {
        for (const addrinfo *a = found; a != nullptr && port < 0; a = a->ai_next)
            port = port_of(a->ai_addr);
        resolver().freeaddrinfo(found);
    }
    if (port >= 0) {
        logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] using SVC=%s PORT=%d", __FILE_NAME__, __LINE__,
                 service, port);
    } else if (strcasecmp(service, "halvane_pbx") == 0) {
        port = registry_pbx_port();
        logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] using SIG PBX port PORT=%d", __FILE_NAME__,
                 __LINE__, port);
    } else {
        port = row->port;
        logmsgvf(ZTLOG_DEBUG, 5, tag, "[%s:%d] using IANA SVC=%s PORT=%d", __FILE_NAME__,
                 __LINE__, service, port);
    }
    return port;
}

void log_failure(const char *tag, int line, int rc, const char *name, const char *service) {
    if (name != nullptr)
        logmsgf(ZTLOG_ERROR, tag, "[%s:%d] getaddrinfo() failed RV=%d NAME=%s SVC=%s",
                __FILE_NAME__, line, rc, text(name), text(service));
    else
        logmsgvf(ZTLOG_DEBUG, 6, tag, "[%s:%d] getaddrinfo() failed RV=%d NAME=%s SVC=%s",
                 __FILE_NAME__, line, rc, text(name), text(service));
}

// One pass: up to the configured attempts while the answer is try-again.
int one_pass(const Settings &s, const char *name, const char *service, const addrinfo &hints,
             addrinfo **result) {
    const char *tag = "retry_getaddrinfo_for_real";
    const ResolverTable &r = resolver();
    int rc = VNET_EAI_NO_RECOVERY;
    int64_t start = r.now_ms();
    for (int attempt = 0; attempt < s.attempts; ++attempt) {
        *result = nullptr;
        rc = map_resolver_code(r.getaddrinfo(name, service, &hints, result), tag);
        if (rc == VNET_EAI_OK)
            return rc;
        *result = nullptr;
        if (rc != VNET_EAI_TRY_AGAIN) {
            log_failure(tag, __LINE__, rc, name, service);
            return rc;
        }
        int64_t seconds = (r.now_ms() - start) / 1000;
        if (seconds > s.again_limit) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] EAI_AGAIN took too long NAME=%s TIME=%d",
                    __FILE_NAME__, __LINE__, text(name), int(seconds));
            return rc;
        }
        if (attempt + 1 < s.attempts) {
            r.sleep_seconds(unsigned(s.delay));
            logmsgf(ZTLOG_WARNING, tag, "[%s:%d] EAI_AGAIN retry NAME=%s TRYN=%d", __FILE_NAME__,
                    __LINE__, text(name), attempt);
        }
    }
    return rc;
}

bool all_local(const addrinfo *list, std::string &bad) {
    for (const addrinfo *a = list; a != nullptr; a = a->ai_next) {
        if (!resolver().is_local_address(a->ai_addr, a->ai_addrlen)) {
            char buf[INET6_ADDRSTRLEN] = "?";
            const void *bytes = a->ai_family == AF_INET
                                    ? static_cast<const void *>(
                                          &reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr)
                                    : static_cast<const void *>(
                                          &reinterpret_cast<const sockaddr_in6 *>(a->ai_addr)->sin6_addr);
            if (a->ai_addr != nullptr)
                inet_ntop(a->ai_family, bytes, buf, sizeof buf);
            bad = buf;
            return false;
        }
    }
    return true;
}

int for_real(const char *name, const char *service, const addrinfo *given, addrinfo **result) {
    const char *tag = "retry_getaddrinfo_for_real";
    const SettingsPtr settings = lookup_settings();
    const Settings &s = *settings;
    addrinfo hints = given != nullptr ? *given : default_hints(name, service, s.reverse);
    std::string n = name != nullptr ? name : "";
    if (strncasecmp(n.c_str(), "::ffff:", 7) == 0 && ip_literal_family(n.c_str() + 7) == AF_INET &&
        hints.ai_family != AF_INET6)
        n.erase(0, 7);
    const char *use_name = n.empty() ? nullptr : n.c_str();
    const char *use_service = service != nullptr && strcmp(service, "0") == 0 ? nullptr : service;
    const bool literal = ip_literal_family(use_name) != 0;
    int passes =
        (literal && s.reverse == kReverseRestricted && (hints.ai_flags & AI_CANONNAME)) ? 2 : 1;
    int rc = VNET_EAI_NO_RECOVERY;
    for (int pass = 0; pass < passes; ++pass) {
        if (pass > 0)
            hints.ai_flags &= ~AI_CANONNAME;
        rc = one_pass(s, use_name, use_service, hints, result);
        if (rc != VNET_EAI_TRY_AGAIN && rc != VNET_EAI_NO_RECOVERY)
            break;
    }
    if (vnet_localhost_check(use_name) != 0 && !literal) {
        std::string bad;
        bool redo = rc != VNET_EAI_OK;
        if (!redo && !all_local(*result, bad)) {
            logmsgf(ZTLOG_WARNING, tag,
                    "[%s:%d] found unexpected non-local address for local name NAME=%s ADDRESS=%s",
                    __FILE_NAME__, __LINE__, use_name, bad.c_str());
            resolver().freeaddrinfo(*result);
            *result = nullptr;
            redo = true;
        }
        if (redo) {
            const char *sub = hints.ai_family == AF_INET6 ? "::1" : "127.0.0.1";
            rc = one_pass(s, sub, use_service, hints, result);
            if (rc == VNET_EAI_OK)
                logmsgvf(ZTLOG_DEBUG, 5, tag,
                         "[%s:%d] successfully replaced localhost lookup results NAME=%s SUB_NAME=%s",
                         __FILE_NAME__, __LINE__, use_name, sub);
            else
                logmsgf(ZTLOG_ERROR, tag,
                        "[%s:%d] failed localhost lookup retry RV=%d NAME=%s SUB_NAME=%s",
                        __FILE_NAME__, __LINE__, rc, use_name, sub);
        }
    }
    return rc;
}

} // namespace

std::vector<std::string> builtin_service_names() {
    std::vector<std::string> names;
    for (const ServicePort &row : kServices)
        names.emplace_back(row.name);
    return names;
}

addrinfo default_hints(const char *name, const char *service, int reverse) {
    addrinfo h{};
    if (!(ip_literal_family(name) != 0 && reverse == kReverseProhibited))
        h.ai_flags |= AI_CANONNAME;
    if (service == nullptr || strcmp(service, "0") == 0)
        h.ai_flags |= AI_NUMERICSERV;
    h.ai_family = AF_UNSPEC;
    h.ai_socktype = SOCK_STREAM;
    return h;
}

} // namespace zt::vnet::resolve

using namespace zt::vnet::resolve;

static int retry_getaddrinfo_impl(const char *name, const char *service,
                                  const struct addrinfo *hints, struct addrinfo **result);

extern "C" ZTBASE_API int retry_getaddrinfo(const char *name, const char *service,
                                            const struct addrinfo *hints,
                                            struct addrinfo **result) {
    try {
        return retry_getaddrinfo_impl(name, service, hints, result);
    } catch (...) {
        guarded_failure("retry_getaddrinfo");
        return VNET_EAI_NO_MEMORY;
    }
}

static int retry_getaddrinfo_impl(const char *name, const char *service,
                                  const struct addrinfo *hints, struct addrinfo **result) {
    if (result == nullptr)
        return VNET_EAI_INVALID;
    *result = nullptr;
    std::string port_text;
    const char *use_service = service;
    if (service != nullptr && !small_decimal(service)) {
        int port = mapped_port(service);
        if (port >= 0) {
            port_text = std::to_string(port);
            use_service = port_text.c_str();
            logmsgvf(ZTLOG_DEBUG, 5, "retry_getaddrinfo", "[%s:%d] adjusted service name SVC=%s PORT=%s",
                     __FILE_NAME__, __LINE__, service, use_service);
        }
    }
    int rc = for_real(name, use_service, hints, result);
    if (rc != VNET_EAI_OK)
        logmsgf(name != nullptr ? ZTLOG_ERROR : ZTLOG_DEBUG, "retry_getaddrinfo",
                "[%s:%d] retry_getaddrinfo_for_real failed RV=%d NAME=%s SVC=%s", __FILE_NAME__,
                __LINE__, rc, text(name), text(service));
    return rc;
}

extern "C" ZTBASE_API int retry_getnameinfo(const struct sockaddr *address,
                                            socklen_t address_length, char *host, size_t host_size,
                                            char *service, size_t service_size, int flags) {
    const char *tag = "retry_getnameinfo";
    const ResolverTable &r = resolver();
    const SettingsPtr settings = lookup_settings();
    const Settings &s = *settings;
    int rc = VNET_EAI_NO_RECOVERY;
    int64_t start = r.now_ms();
    for (int attempt = 0; attempt < s.attempts; ++attempt) {
        rc = map_resolver_code(r.getnameinfo(address, address_length, host, socklen_t(host_size),
                                             service, socklen_t(service_size), flags),
                               tag);
        if (rc != VNET_EAI_TRY_AGAIN)
            return rc;
        int64_t seconds = (r.now_ms() - start) / 1000;
        if (seconds > s.again_limit) {
            logmsgf(ZTLOG_ERROR, tag, "[%s:%d] EAI_AGAIN took too long NAME=%s TIME=%d",
                    __FILE_NAME__, __LINE__, "(address)", int(seconds));
            return rc;
        }
        if (attempt + 1 < s.attempts) {
            r.sleep_seconds(unsigned(s.delay));
            logmsgf(ZTLOG_WARNING, tag, "[%s:%d] EAI_AGAIN retry NAME=%s TRYN=%d", __FILE_NAME__,
                    __LINE__, "(address)", attempt);
        }
    }
    return rc;
}

extern "C" ZTBASE_API int vnet_localhost_check(const char *name) {
    if (name == nullptr)
        return 0;
    if (strcasecmp(name, "localhost") == 0 || strcasecmp(name, "localhost6") == 0 ||
        strncasecmp(name, "localhost.", 10) == 0 || strncasecmp(name, "localhost6.", 11) == 0)
        return 1;
    in_addr v4;
    if (inet_pton(AF_INET, name, &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127 ? 1 : 0;
    in6_addr v6;
    if (inet_pton(AF_INET6, name, &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6) ? 1 : 0;
    return 0;
}

extern "C" ZTBASE_API int vnet_get_default_hints(const char *name, const char *service,
                                                 struct addrinfo *hints) {
    if (hints == nullptr) {
        logmsgf(ZTLOG_ERROR, "vnet_get_default_hints", "hints is NULL");
        return VNET_BAD_PARAM;
    }
    *hints = default_hints(name, service, lookup_settings()->reverse);
    return VNET_SUCCESS;
}
