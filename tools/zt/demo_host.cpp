// zt demo: host identity. Only literals and "localhost" are asked, so no
// query leaves the machine.
#include <cstdio>
#include <cstring>
#include <string>

#include <ztbase/vnet.h>
#include <ztbase/vnet_host.h>
#include <ztbase/ztconf.h>

#include "commands.h"
#include "vnet/vnet_host_internal.h"

namespace zt {
namespace {

namespace host = zt::vnet::host;

// The first IPv4 address of this machine that is not loopback ("" if none).
std::string lan_address() {
    char **list = nullptr;
    std::string lan;
    if (vnet_getifaddrs(1, 1, &list) != 0)
        return lan;
    for (char **p = list; *p != nullptr && lan.empty(); ++p)
        if (vnet_is_ip_string(*p) == AF_INET && strncmp(*p, "127.", 4) != 0)
            lan = *p;
    vnet_free_aliases(list);
    return lan;
}

void same(const char *a, const char *b, int local_ok) {
    int answer = vnet_same_host(a, b, local_ok);
    printf("  same host %-10s %-14s local matching %-3s -> %-3s (decided by %s)\n", a, b,
           local_ok ? "on" : "off", answer ? "yes" : "no", host::last_rule());
}

} // namespace

void demo_host() {
    printf("\n== %s ==\n", "Host identity");
    uint32_t a = 0, m = 0;
    for (const char *text : {"192.0.2.0/24", "192.0.2.0:255.255.254.0", "10.0.0.0/33"}) {
        int rc = vnet_inet_addrmask(text, &a, &m);
        char at[16], mt[16];
        vnet_inet_ntop(AF_INET, &a, at, sizeof at);
        vnet_inet_ntop(AF_INET, &m, mt, sizeof mt);
        printf("  vnet_inet_addrmask(%-24s -> status %d (%s), address %s, mask %s\n",
               (std::string("\"") + text + "\")").c_str(), rc, vnet_status_to_text(rc), at, mt);
    }
    const std::string lan = lan_address();
    if (!lan.empty())
        for (int i = 0; i < 2; ++i) {
            int local = vnet_is_local_host(lan.c_str());
            printf("  %s is this machine: %s (from %s)\n", lan.c_str(), local ? "yes" : "no",
                   host::last_from_flags() ? "the cached flags" : "a bind test");
        }
    same("localhost", "127.0.0.1", 0);
    if (!lan.empty()) {
        same("localhost", lan.c_str(), 1);
        same(lan.c_str(), lan.c_str(), 0);
    }
    printf("  192.0.2.123 is this machine: %s\n", vnet_is_local_host("192.0.2.123") ? "yes" : "no");
    // Roles against a configuration frozen for this thread.
    if (bpconf_disable_thread_config_reads_buffer("SERVER = localhost\nMEDIA_SERVER = 198.51.100.7\n") == 0) {
        printf("  with SERVER = localhost and MEDIA_SERVER = 198.51.100.7:\n");
        for (int i = 0; i < 2; ++i) {
            int server = vnet_is_master_server("127.0.0.1");
            printf("    127.0.0.1 is the master server: %s (%s)\n", server ? "yes" : "no",
                   host::last_from_flags() ? "cached flags" : "compared with the configuration");
        }
        printf("    198.51.100.7 is a media server: %s; a server: %s\n",
               vnet_is_media_server("198.51.100.7") ? "yes" : "no",
               vnet_is_server("198.51.100.7") ? "yes" : "no");
        bpconf_enable_thread_config_reads();
    }
    vnet_register_trusted_client("client.example");
    printf("  trusted client registered now: %s (for 30 seconds)\n",
           vnet_is_trusted_client("CLIENT.example") ? "yes" : "no");
    char fqdn[256];
    if (vnet_getfqdn("localhost", fqdn, sizeof fqdn) == 0)
        printf("  fqdn of localhost: %s\n", fqdn);
    fflush(stdout);
}

} // namespace zt
