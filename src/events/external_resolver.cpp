// ExternalResolver: ACE addresses filled and named through the library's
// cached resolution.
#include <ztbase/debuglog.h>
#include <ztbase/events.h>
#include <ztbase/vnet.h>
#include <ztbase/vnet_addrinfo.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace Pellucor::Zentor::Framework {

ExternalResolver &ExternalResolver::instance() {
    static ExternalResolver *resolver = new ExternalResolver(); // lives until exit
    return *resolver;
}

int ExternalResolver::get_host_name_i(const ACE_INET_Addr &iNET_Addr, char *name, size_t length) {
    static const char tag[] = "ExternalResolver::get_host_name_i";
    if (!name || length == 0)
        return -1;
    const auto *sa = static_cast<const sockaddr *>(iNET_Addr.get_addr());
    int resolver_code = 0;
    int status = vnet_cached_getnameinfo(sa, static_cast<socklen_t>(iNET_Addr.get_size()), name,
                                         length, nullptr, 0, NI_NAMEREQD, &resolver_code);
    if (status != 0) {
        logmsgf(ZTLOG_WARNING, tag, "Could not get host name from sockaddr, status/errval: %d/%d",
                status, resolver_code);
        name[0] = '\0';
        return -1;
    }
    return 0;
}

int ExternalResolver::set(ACE_INET_Addr &iNET_Addr, u_short port, const char *host, int encode,
                          int address_family, int map) {
    static const char tag[] = "ExternalResolver::set";
    if (!host || !*host)
        return -1;
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    addrinfo hints{};
    vnet_get_default_hints(name.c_str(), nullptr, &hints);
    if (address_family != AF_UNSPEC)
        hints.ai_family = address_family;
    vnet_addrinfo *list = nullptr;
    int resolver_code = 0;
    int status = vnet_cached_getaddrinfo(name.c_str(), nullptr, &hints, &list, &resolver_code);
    if (status != 0 || !list) {
        logmsgf(ZTLOG_WARNING, tag, "Could not resolve host_name: %s status/errval: %d/%d",
                name.c_str(), status, resolver_code);
        if (list)
            vnet_freeaddrinfo(list);
        return -1;
    }
    logmsgvf(ZTLOG_DEBUG, 3, tag, "Resolved host_name %s status/errval: %d/%d", name.c_str(),
             status, resolver_code);
    int rc = 0;
    if (list->ai_addr->sa_family == AF_INET && map) {
        // An IPv4 address wanted as an IPv4-mapped IPv6 one.
        rc = iNET_Addr.set_address(
            reinterpret_cast<const char *>(
                &reinterpret_cast<const sockaddr_in *>(list->ai_addr)->sin_addr),
            4, 0, 1);
    } else {
        rc = iNET_Addr.set(reinterpret_cast<const sockaddr_in *>(list->ai_addr),
                           static_cast<int>(list->ai_addrlen));
    }
    vnet_freeaddrinfo(list);
    if (rc != 0) {
        logmsgf(ZTLOG_WARNING, tag, "Could not resolve host_name: %s (address not taken)",
                name.c_str());
        return -1;
    }
    iNET_Addr.set_port_number(port, encode);
    return 0;
}

} // namespace Pellucor::Zentor::Framework
