// Direct DNS queries: A and AAAA records asked of the configured name
// servers on the wire, with no hosts file and no cache in between, turned
// into a vnet_addrinfo list.
//
// Each call has its own resolver state (res_ninit), so threads never share
// one. Tests point the state at a responder of their own on the loopback
// (set_dns_server); nothing else changes where queries go.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <vector>

#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_dnsquery.h"
#include "vnet/vnet_wide.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

namespace zt::vnet::dns {
namespace {

std::mutex g_mu;
bool g_server_set = false;
sockaddr_in g_server{};

// The resolver's h_errno as a stored resolver code.
int h_errno_code(int h) {
    switch (h) {
    case HOST_NOT_FOUND:
    case NO_DATA:
        return VNET_EAI_HOST_NOT_FOUND;
    case TRY_AGAIN:
        return VNET_EAI_TRY_AGAIN;
    default:
        return VNET_EAI_NO_RECOVERY;
    }
}

} // namespace

void set_dns_server(const sockaddr_in *server) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_server_set = server != nullptr;
    if (server != nullptr)
        g_server = *server;
}

} // namespace zt::vnet::dns

namespace {

namespace rs = zt::vnet::resolve;

struct ResState {
    struct __res_state st {};
    bool ok = false;
    ResState() {
        ok = res_ninit(&st) == 0;
        std::lock_guard<std::mutex> lock(zt::vnet::dns::g_mu);
        if (ok && zt::vnet::dns::g_server_set) {
            st.nsaddr_list[0] = zt::vnet::dns::g_server;
            st.nscount = 1;
            st.retry = 1;
        }
    }
    ~ResState() {
        if (ok)
            res_nclose(&st);
    }
    ResState(const ResState &) = delete;
    ResState &operator=(const ResState &) = delete;
};

// An entry for one address record; null without memory.
vnet_addrinfo *record_entry(int family, const unsigned char *data, const char *owner) {
    vnet_addrinfo *e = rs::new_entry();
    if (e == nullptr)
        return nullptr;
    rs::List owned(e);
    e->ai_family = family;
    e->ai_socktype = SOCK_STREAM;
    e->ai_protocol = IPPROTO_TCP;
    if (family == AF_INET) {
        auto *in = static_cast<sockaddr_in *>(calloc(1, sizeof(sockaddr_in)));
        if (in == nullptr)
            return nullptr;
        in->sin_family = AF_INET;
        memcpy(&in->sin_addr, data, 4);
        e->ai_addr = reinterpret_cast<sockaddr *>(in);
        e->ai_addrlen = sizeof *in;
    } else {
        auto *in6 = static_cast<sockaddr_in6 *>(calloc(1, sizeof(sockaddr_in6)));
        if (in6 == nullptr)
            return nullptr;
        in6->sin6_family = AF_INET6;
        memcpy(&in6->sin6_addr, data, 16);
        e->ai_addr = reinterpret_cast<sockaddr *>(in6);
        e->ai_addrlen = sizeof *in6;
    }
    if ((e->ai_canonname = strdup(owner)) == nullptr)
        return nullptr;
    return owned.release();
}

bool is_local_text(int family, const unsigned char *data) {
    char text[INET6_ADDRSTRLEN] = "";
    if (inet_ntop(family, data, text, sizeof text) == nullptr)
        return false;
    return vnet_is_local_host_real(text) != 0;
}

// One query of type for host; the entries are appended at *tail. Returns
// how many records of the type came back, -1 without memory.
int query(ResState &rs_state, int type, int family, const char *host, bool filter,
          vnet_addrinfo **&tail, int &code) {
    const char *tag = "vnet_dnsquery_filter";
    std::vector<unsigned char> answer(65536);
    logmsgvf(ZTLOG_DEBUG, 5, tag, "About to DnsQuery() for host %s type %s", host,
             type == ns_t_a ? "A" : "AAAA");
    int n = res_nquery(&rs_state.st, host, ns_c_in, type, answer.data(), int(answer.size()));
    const char *none = type == ns_t_a ? "No type A records returned by DnsQuery()"
                                      : "No type AAAA records returned by DnsQuery()";
    if (n < 0) {
        code = zt::vnet::dns::h_errno_code(rs_state.st.res_h_errno);
        logmsgvf(ZTLOG_DEBUG, 5, tag, "%s HOST=%s RV=%d", none, host, code);
        return 0;
    }
    ns_msg msg;
    if (ns_initparse(answer.data(), n, &msg) != 0) {
        code = VNET_EAI_NO_RECOVERY;
        logmsgf(ZTLOG_ERROR, tag, "ns_initparse() failed HOST=%s", host);
        return 0;
    }
    const size_t want = family == AF_INET ? 4 : 16;
    int records = 0;
    for (int i = 0; i < ns_msg_count(msg, ns_s_an); ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) != 0) {
            logmsgf(ZTLOG_ERROR, tag, "ns_parserr() failed HOST=%s RECORD=%d", host, i);
            break;
        }
        if (ns_rr_type(rr) != type || ns_rr_class(rr) != ns_c_in || ns_rr_rdlen(rr) != want)
            continue;
        ++records;
        if (filter && !is_local_text(family, ns_rr_rdata(rr)))
            continue;
        vnet_addrinfo *e = record_entry(family, ns_rr_rdata(rr), ns_rr_name(rr));
        if (e == nullptr)
            return -1;
        *tail = e;
        tail = &e->ai_next;
    }
    if (records == 0) {
        code = VNET_EAI_HOST_NOT_FOUND;
        logmsgvf(ZTLOG_DEBUG, 5, tag, "%s HOST=%s", none, host);
    }
    return records;
}

int dnsquery_filter(int family, const char *host, int filter, vnet_addrinfo **result,
                    int *code_out) {
    const char *tag = "vnet_dnsquery_filter";
    int ignored = 0;
    int &code = code_out != nullptr ? *code_out : ignored;
    code = VNET_EAI_OK;
    if (host == nullptr || host[0] == '\0' || result == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "host or result is NULL or empty");
        code = VNET_EAI_HOST_NOT_FOUND;
        return VNET_BAD_PARAM;
    }
    *result = nullptr;
    ResState state;
    if (!state.ok) {
        logmsgf(ZTLOG_ERROR, tag, "res_ninit() failed");
        code = VNET_EAI_NO_RECOVERY;
        return VNET_GETHOST_FAILED;
    }
    rs::List list;
    vnet_addrinfo *head = nullptr;
    vnet_addrinfo **tail = &head;
    int records = 0, last_code = VNET_EAI_HOST_NOT_FOUND;
    for (int type : {int(ns_t_a), int(ns_t_aaaa)}) {
        const int rec_family = type == ns_t_a ? AF_INET : AF_INET6;
        if (family != AF_UNSPEC && family != rec_family)
            continue;
        int c = VNET_EAI_OK;
        int n = query(state, type, rec_family, host, filter != 0, tail, c);
        list.reset(head);
        if (n < 0) {
            logmsgf(ZTLOG_ERROR, tag, "out of memory");
            return VNET_MALLOC_FAILED;
        }
        list.release();
        records += n;
        if (n == 0)
            last_code = c;
    }
    list.reset(head);
    if (records == 0) {
        code = last_code;
        return VNET_GETHOST_FAILED;
    }
    *result = list.release();
    return VNET_SUCCESS;
}

} // namespace

extern "C" ZTBASE_API int vnet_dnsquery_filter(int family, const char *host, int filter,
                                               vnet_addrinfo **result_out, int *code_out) {
    return rs::guarded("vnet_dnsquery_filter",
                       [&] { return dnsquery_filter(family, host, filter, result_out, code_out); });
}

extern "C" ZTBASE_API int vnet_dnsquery(int family, const char *host, vnet_addrinfo **result_out,
                                        int *code_out) {
    return vnet_dnsquery_filter(family, host, 1, result_out, code_out);
}

extern "C" ZTBASE_API int vnet_dnsquery_filterW(int family, const char16_t *host, int filter,
                                                vnet_addrinfo **result_out, int *code_out) {
    zt::vnet::wide::Narrow n(host, "host", "vnet_dnsquery_filterW");
    if (!n.ok)
        return VNET_MALLOC_FAILED;
    return vnet_dnsquery_filter(family, n.text, filter, result_out, code_out);
}

extern "C" ZTBASE_API int vnet_dnsqueryW(int family, const char16_t *host,
                                         vnet_addrinfo **result_out, int *code_out) {
    return vnet_dnsquery_filterW(family, host, 1, result_out, code_out);
}
