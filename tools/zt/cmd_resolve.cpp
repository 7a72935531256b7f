// zt resolve: one cached lookup, with where the answer came from and how long
// it took. zt hostcache: the machine-wide file cache listed, shown, cleared.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include <jansson.h>
#include <ztbase/vnet.h>
#include <ztbase/vnet_addrinfo.h>

#include "commands.h"
#include "vnet/vnet_addrinfo_internal.h"
#include "vnet/vnet_file_cache.h"

namespace zt {
namespace {

namespace rs = zt::vnet::resolve;
namespace fc = zt::vnet::filecache;

constexpr const char kResolveUsage[] = "resolve HOST [SERVICE] [--json]";
constexpr const char kHostcacheUsage[] = "hostcache list | show HOST | clear [--older-than SECONDS]";

const char *resolver_text(int code) {
    switch (code) {
    case VNET_EAI_OK:
        return "success";
    case VNET_EAI_HOST_NOT_FOUND:
        return "host not found";
    case VNET_EAI_TRY_AGAIN:
        return "temporary failure, try again";
    case VNET_EAI_NO_RECOVERY:
        return "non-recoverable failure";
    case VNET_EAI_INVALID:
        return "invalid argument";
    case VNET_EAI_NO_MEMORY:
        return "not enough memory";
    default:
        return "unknown resolver code";
    }
}

std::string address_of(const sockaddr *a, int *port) {
    char buf[INET6_ADDRSTRLEN] = "";
    *port = 0;
    if (a == nullptr)
        return "";
    if (a->sa_family == AF_INET) {
        auto *in = reinterpret_cast<const sockaddr_in *>(a);
        *port = ntohs(in->sin_port);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    } else if (a->sa_family == AF_INET6) {
        auto *in6 = reinterpret_cast<const sockaddr_in6 *>(a);
        *port = ntohs(in6->sin6_port);
        inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

const char *family_text(int family) {
    return family == AF_INET ? "IPv4" : family == AF_INET6 ? "IPv6" : "none";
}

void print_help() {
    printf("usage: zt %s\n"
           "  Resolves HOST (and SERVICE) through the library's caches: the process's memory\n"
           "  table, the machine-wide file cache, then the system resolver with retries.\n"
           "  Prints each address and where the answer came from with the time it took.\n"
           "  --json  one JSON object instead of text\n"
           "  exit status: 0 resolved, 1 lookup failed, 2 bad arguments\n",
           kResolveUsage);
}

int resolve_command(int argc, char **argv) {
    bool json = false;
    std::vector<const char *> args;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            print_help();
            return 0;
        }
        if (strcmp(argv[i], "--json") == 0)
            json = true;
        else if (argv[i][0] == '-' && argv[i][1] != '\0')
            return usage(kResolveUsage);
        else
            args.push_back(argv[i]);
    }
    if (args.empty() || args.size() > 2 || args[0][0] == '\0')
        return usage(kResolveUsage);
    const char *host = args[0];
    const char *service = args.size() > 1 ? args[1] : nullptr;
    vnet_addrinfo *list = nullptr;
    int code = 0;
    auto t0 = std::chrono::steady_clock::now();
    int status = vnet_cached_getaddrinfo(host, service, nullptr, &list, &code);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const char *source = rs::source_text(rs::last_source());
    if (json) {
        json_t *o = json_object();
        json_object_set_new(o, "name", json_text(host));
        json_object_set_new(o, "service", service != nullptr ? json_text(service) : json_null());
        json_object_set_new(o, "status", json_integer(status));
        json_object_set_new(o, "resolver_code", json_integer(code));
        json_object_set_new(o, "source", json_string(source));
        json_object_set_new(o, "milliseconds", json_real(ms));
        json_object_set_new(o, "canonical_name",
                            list != nullptr && list->ai_canonname != nullptr
                                ? json_text(list->ai_canonname)
                                : json_null());
        json_t *addrs = json_array();
        for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next) {
            int port = 0;
            std::string a = address_of(e->ai_addr, &port);
            if (a.empty())
                continue;
            json_t *x = json_object();
            json_object_set_new(x, "family", json_string(family_text(e->ai_family)));
            json_object_set_new(x, "address", json_string(a.c_str()));
            json_object_set_new(x, "port", json_integer(port));
            json_array_append_new(addrs, x);
        }
        json_object_set_new(o, "addresses", addrs);
        char *text = json_dumps(o, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
        if (text != nullptr)
            puts(text);
        free(text);
        json_decref(o);
    } else if (status == VNET_SUCCESS) {
        if (list != nullptr && list->ai_canonname != nullptr)
            printf("canonical name: %s\n", list->ai_canonname);
        for (const vnet_addrinfo *e = list; e != nullptr; e = e->ai_next) {
            int port = 0;
            std::string a = address_of(e->ai_addr, &port);
            if (!a.empty())
                printf("%s %s port %d\n", family_text(e->ai_family), a.c_str(), port);
        }
        printf("from %s in %.3f ms\n", source, ms);
    } else if (status == VNET_GETHOST_FAILED) {
        fprintf(stderr, "zt: %s: %s (%d), from %s in %.3f ms\n", host, resolver_text(code), code,
                source, ms);
    } else {
        fprintf(stderr, "zt: %s: %s\n", host, vnet_status_to_text(status));
    }
    vnet_freeaddrinfo(list);
    return status == VNET_SUCCESS ? 0 : 1;
}

std::string cache_dir() {
    std::string over = rs::override_dir();
    return over.empty() ? rs::current_settings().cache_dir : over;
}

std::string local_time(time_t t) {
    char buf[64];
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

void print_entry(const std::string &key, const rs::AddrItem &item, bool details) {
    int count = 0;
    for (const vnet_addrinfo *e = item.list.get(); e != nullptr; e = e->ai_next)
        ++count;
    printf("%s  created %s  ", key.c_str(), local_time(item.created).c_str());
    if (item.code != 0)
        printf("failed: %s (%d)\n", resolver_text(item.code), item.code);
    else
        printf("%d address%s, %u ms\n", count, count == 1 ? "" : "es", item.milliseconds);
    if (!details)
        return;
    for (const vnet_addrinfo *e = item.list.get(); e != nullptr; e = e->ai_next) {
        int port = 0;
        std::string a = address_of(e->ai_addr, &port);
        printf("    %s %s port %d%s%s\n", family_text(e->ai_family), a.empty() ? "-" : a.c_str(),
               port, e->ai_canonname != nullptr ? "  canonical " : "",
               e->ai_canonname != nullptr ? e->ai_canonname : "");
    }
}

// Every entry file below dir (or only those of one directory).
int walk(const std::string &dir, const char *only_sub, const std::string &host) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        if (errno == ENOENT) {
            printf("(the file cache %s is empty)\n", dir.c_str());
            return 0;
        }
        fprintf(stderr, "zt: %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }
    std::vector<std::string> subs;
    while (dirent *de = readdir(d))
        if (de->d_name[0] != '.' && (only_sub == nullptr || strcmp(de->d_name, only_sub) == 0))
            subs.emplace_back(de->d_name);
    closedir(d);
    int shown = 0;
    for (const std::string &sub : subs) {
        DIR *s = opendir((dir + "/" + sub).c_str());
        if (s == nullptr)
            continue;
        std::vector<std::string> files;
        while (dirent *de = readdir(s))
            if (de->d_name[0] != '.' && strchr(de->d_name, '+') != nullptr)
                files.emplace_back(de->d_name);
        closedir(s);
        for (const std::string &f : files) {
            std::string key;
            rs::AddrItem item;
            if (fc::read_file(dir + "/" + sub + "/" + f, key, item) != fc::Read::Hit)
                continue;
            if (!host.empty() && key.substr(0, key.find(',')) != host)
                continue;
            print_entry(key, item, !host.empty());
            ++shown;
        }
    }
    if (shown == 0)
        printf(host.empty() ? "(no entries in %s)\n" : "(no entries for the host in %s)\n",
               dir.c_str());
    return 0;
}

int hostcache_command(int argc, char **argv) {
    if (argc >= 1 && (strcmp(argv[0], "--help") == 0 || strcmp(argv[0], "-h") == 0)) {
        printf("usage: zt %s\n"
               "  list                  every entry of the machine-wide file cache\n"
               "  show HOST             the entries of one host with their addresses\n"
               "  clear                 removes every entry and records the clear time, so\n"
               "                        running processes drop their memory tables\n"
               "  --older-than SECONDS  removes only entries older than that\n",
               kHostcacheUsage);
        return 0;
    }
    const std::string dir = cache_dir();
    if (argc == 1 && strcmp(argv[0], "list") == 0)
        return walk(dir, nullptr, "");
    if (argc == 2 && strcmp(argv[0], "show") == 0 && argv[1][0] != '\0') {
        rs::AddrKey key;
        key.name = rs::lower(argv[1]);
        char sub[8];
        snprintf(sub, sizeof sub, "%03x",
                 fc::masked_crc(key, rs::current_settings().crc_bits) & 0x1ff);
        return walk(dir, sub, key.name);
    }
    if ((argc == 1 || argc == 3) && strcmp(argv[0], "clear") == 0) {
        time_t older_than = -1;
        if (argc == 3) {
            char *end = nullptr;
            errno = 0;
            long s = strtol(argv[2], &end, 10);
            if (strcmp(argv[1], "--older-than") != 0 || errno != 0 || *end != '\0' ||
                end == argv[2] || s < 0)
                return usage(kHostcacheUsage);
            older_than = time(nullptr) - s;
        }
        int rc = vnet_cleanup_file_cache(older_than, 1);
        if (rc != VNET_SUCCESS) {
            fprintf(stderr, "zt: clearing %s failed: %s\n", dir.c_str(), vnet_status_to_text(rc));
            return 1;
        }
        printf("cleared %s\n", dir.c_str());
        return 0;
    }
    return usage(kHostcacheUsage);
}

} // namespace

int cmd_resolve(int argc, char **argv) {
    return resolve_command(argc, argv);
}

int cmd_hostcache(int argc, char **argv) {
    return hostcache_command(argc, argv);
}

} // namespace zt
