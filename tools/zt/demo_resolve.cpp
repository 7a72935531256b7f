// zt demo: cached address resolution. A first lookup goes to the resolver, a
// second is a memory hit, and another process is answered from the file cache.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ztbase/vnet.h>
#include <ztbase/vnet_addrinfo.h>

#include "commands.h"
#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_file_cache.h"

namespace zt {
namespace {

namespace rs = zt::vnet::resolve;

void lookup(const char *who, const char *host, const char *service) {
    vnet_addrinfo *list = nullptr;
    int code = 0;
    auto t0 = std::chrono::steady_clock::now();
    int status = vnet_cached_getaddrinfo(host, service, nullptr, &list, &code);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::string addrs;
    for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next) {
        char buf[INET6_ADDRSTRLEN] = "";
        if (e->ai_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(e->ai_addr)->sin_addr, buf, sizeof buf);
        else if (e->ai_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(e->ai_addr)->sin6_addr, buf,
                      sizeof buf);
        addrs += std::string(addrs.empty() ? "" : ", ") + buf;
    }
    printf("  %-26s %s %s -> %s (status %d, resolver code %d) from %s in %.3f ms\n", who, host,
           service, addrs.empty() ? "-" : addrs.c_str(), status, code,
           rs::source_text(rs::last_source()), ms);
    fflush(stdout);
    vnet_freeaddrinfo(list);
}

} // namespace

void demo_resolve(const std::string &root) {
    printf("\n== %s ==\n", "Cached address resolution");
    const std::string dir = root + "/host_cache";
    mkdir(dir.c_str(), 0755);
    vnet_set_override_values(dir.c_str());
    printf("  file cache (a process override): %s\n", dir.c_str());
    lookup("first lookup:", "localhost", "vnetd");
    lookup("again in this process:", "LOCALHOST", "vnetd");
    pid_t child = fork();
    if (child == 0) {
        vnet_cached_free_memory();
        lookup("another process:", "localhost", "vnetd");
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    addrinfo hints = rs::default_hints("localhost", "vnetd", 0);
    auto key = rs::make_key("localhost", "vnetd", hints, false);
    auto loc = zt::vnet::filecache::locate(dir, key, 32);
    printf("  the entry %s:\n", loc.path().substr(dir.size() + 1).c_str());
    if (FILE *f = fopen(loc.path().c_str(), "r")) {
        char line[512];
        while (fgets(line, sizeof line, f) != nullptr)
            printf("    %s", line);
        fclose(f);
    }
    printf("  vnet_cleanup_file_cache(-1, 1) = %d: every entry removed, clear time recorded\n",
           vnet_cleanup_file_cache(-1, 1));
    vnet_set_override_values(nullptr);
}

} // namespace zt
