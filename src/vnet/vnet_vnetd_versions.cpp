// Ports of the vnetd conversation, plain connections to a host's daemon, and
// the product versions of other hosts with their file cache.
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_io.h"
#include "vnet/vnet_vnetd_internal.h"
#include "ztbase/comm.h"
#include "ztbase/paths.h"
#include "ztbase/vnet_addrinfo.h"
#include "ztbase/vnet_host.h"
#include "ztbase/ztconf.h"

using zt::vnet::vnetd::drop;

namespace {

int service_port(const char *name, int dflt) {
    const int over = getoverridePORT(name);
    if (over > 0 && over < 65536)
        return over;
    int port = 0;
    if (vnet_cached_get_service_port(name, &port) == VNET_SUCCESS && port > 0)
        return port;
    return dflt;
}

int peer_port(int sock) {
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&ss), &sl) != 0)
        return -1;
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    return -1;
}

} // namespace

extern "C" ZTBASE_API int vnet_get_port(int *port_out) {
    if (port_out == nullptr)
        return VNET_BAD_PARAM;
    *port_out = service_port("vnetd", VN_VNETD_DEFAULT_PORT);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_get_pbx_port(int *port_out) {
    if (port_out == nullptr)
        return VNET_BAD_PARAM;
    // An override file first (as for every port), then the configuration.
    const int over = getoverridePORT("halvane_pbx");
    if (over > 0 && over < 65536) {
        *port_out = over;
        return VNET_SUCCESS;
    }
    ztconf_info_t *info = nullptr;
    if (ztconf_get_info(&info) == 0 && info != nullptr && info->pbx_port > 0 &&
        info->pbx_port < 65536) {
        *port_out = info->pbx_port;
        return VNET_SUCCESS;
    }
    *port_out = service_port("halvane_pbx", VN_PBX_DEFAULT_PORT);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_is_vnetd_remote_port(int sock) {
    const int port = peer_port(sock);
    if (port <= 0)
        return 0;
    int vnetd = 0, pbx = 0;
    vnet_get_port(&vnetd);
    vnet_get_pbx_port(&pbx);
    return port == vnetd || port == pbx;
}

extern "C" ZTBASE_API int vnet_vnetd_connect_host(const char *host, int port, int timeout,
                                                  int *sock_out) {
    const char *fn = "vnet_vnetd_connect_host";
    if (host == nullptr || sock_out == nullptr || port <= 0 || port > 65535)
        return VNET_BAD_PARAM;
    *sock_out = -1;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    const std::string service = std::to_string(port);
    int st = vnet_cached_getaddrinfo(host, service.c_str(), &hints, &list, &rv);
    if (st != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "vnet_cached_getaddrinfo(%s) failed: %d (%d)", host, st, rv);
        return st;
    }
    st = VNET_CONNECT_FAILED;
    const time_t deadline = time(nullptr) + (timeout > 0 ? timeout : 1);
    for (const vnet_addrinfo *a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_addr == nullptr || (a->ai_family != AF_INET && a->ai_family != AF_INET6))
            continue;
        const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            continue;
        int rc = connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            rc = vnet_sock_ready_abs(fd, 0, 1, deadline, nullptr) == VNET_SUCCESS ? 0 : -1;
            int err = 0;
            socklen_t el = sizeof err;
            if (rc == 0 && (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) != 0 || err != 0)) {
                errno = err;
                rc = -1;
            }
        }
        if (rc == 0) {
            // The conversation is small values back and forth: no waiting
            // for acknowledgements between them.
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            vnet_set_blocking(fd);
            *sock_out = fd;
            st = VNET_SUCCESS;
            break;
        }
        st = vnet_errno_to_status(errno, VNET_CONNECT_FAILED);
        close(fd);
    }
    vnet_freeaddrinfo(list);
    if (st != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "connect to %s:%d failed: %d", host, port, st);
        VNETD_FAIL(fn, st);
    }
    return st;
}

namespace {

constexpr int kVnetdTimeout = 30;

int connect_to_vnetd(const char *host, int *sock, int *version) {
    const char *fn = "vnet_connect_to_vnetd_ipi";
    int port = 0;
    vnet_get_port(&port);
    int st = vnet_vnetd_connect_host(host, port, kVnetdTimeout, sock);
    if (st == VNET_SUCCESS)
        st = vnet_version_connect(sock, VN_VERSION_HIGHEST, 2, version, kVnetdTimeout);
    if (st != VNET_SUCCESS) {
        vnet_closesocket(*sock);
        *sock = -1;
        logmsgf(ZTLOG_ERROR, fn, "[%s:%d] vnet_connect_to_vnetd_ipi() failed, status=%d, host=%s",
                __FILE_NAME__, __LINE__, st, host);
    }
    return st;
}

// A host name that can stand as a file name in the cache directory.
bool safe_host(const char *host) {
    if (host == nullptr || host[0] == '\0' || host[0] == '.' || strlen(host) > 255)
        return false;
    for (const char *p = host; *p; ++p)
        if (!isalnum(static_cast<unsigned char>(*p)) && !strchr("-_.:", *p))
            return false;
    return true;
}

std::string cache_dir() { return getFennicString("VN_PATH_LEGACY_VERSIONS"); }

// Removes a cache file older than age seconds: renamed away first, so that a
// concurrent reader never opens a file while it is being removed. 1 when it
// was removed.
int delete_if_old(const std::string &path, long age) {
    const char *fn = "delete_if_old";
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0)
        return 0;
    const time_t now = time(nullptr);
    if (now - st.st_mtime <= age)
        return 0;
    char when[32] = "";
    struct tm tm{};
    localtime_r(&st.st_mtime, &tm);
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    logmsgvf(ZTLOG_DEBUG, 5, fn, "[%s:%d] removing %s, it was %s", __FILE_NAME__, __LINE__,
             path.c_str(), when);
    const std::string doomed = path + ".DeLeTe." + std::to_string(getpid());
    if (rename(path.c_str(), doomed.c_str()) != 0)
        return 0;
    unlink(doomed.c_str());
    return 1;
}

long cache_age() {
    ztconf_info_t *info = nullptr;
    if (ztconf_get_info(&info) == 0 && info != nullptr && info->host_cache_ttl > 0)
        return info->host_cache_ttl;
    return 3600;
}

int read_cached_version(const char *host) {
    if (!safe_host(host))
        return -1;
    const std::string path = cache_dir() + "/" + host;
    if (delete_if_old(path, cache_age()))
        return -1;
    std::string text;
    if (ztbase::pio::read_regular_file(path.c_str(), 64, text) != 0 || text.empty())
        return -1;
    const char *buf = text.c_str();
    char *end = nullptr;
    const long v = strtol(buf, &end, 10);
    return (end != buf && v > 0 && v < 0x7fffffff) ? static_cast<int>(v) : -1;
}

void write_cached_version(const char *host, int version) {
    if (!safe_host(host))
        return;
    const std::string dir = cache_dir();
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + host;
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    const std::string text = std::to_string(version);
    ztbase::pio::Fd fd = ztbase::pio::open_fd(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (!fd)
        return;
    const bool ok = ztbase::pio::write_all(fd.get(), text.data(), text.size()) == 0 && fd.close();
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0)
        unlink(tmp.c_str());
}

int flags_version(const char *host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    if (vnet_cached_getaddrinfo(host, nullptr, &hints, &list, &rv) != VNET_SUCCESS || !list)
        return -1;
    const int v = list->cached_flags[VNET_CF_VERSION];
    vnet_freeaddrinfo(list);
    return v > 0 ? v : -1;
}

void store_flags_version(const char *host, int version) {
    int update[VNET_CACHED_FLAG_COUNT];
    for (int i = 0; i < VNET_CACHED_FLAG_COUNT; ++i)
        update[i] = i < VNET_CF_VERSION ? VNET_CF_KEEP_TRISTATE : VNET_CF_KEEP_NUMBER;
    update[VNET_CF_VERSION] = version;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    vnet_addrinfo *list = nullptr;
    int rv = 0;
    if (vnet_cached_getaddrinfo_and_update(host, nullptr, &hints, update, nullptr, nullptr, &list,
                                           &rv) == VNET_SUCCESS)
        vnet_freeaddrinfo(list);
}

} // namespace

extern "C" ZTBASE_API int vnet_get_vnetd_version(const char *host, int *version_out) {
    if (host == nullptr || version_out == nullptr)
        return VNET_BAD_PARAM;
    int sock = -1, version = 0;
    int st = connect_to_vnetd(host, &sock, &version);
    if (st != VNET_SUCCESS)
        return st;
    vnet_vnetd_disconnect(&sock, version, kVnetdTimeout);
    vnet_closesocket(sock);
    *version_out = version;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_get_host_version_ipi(const char *host, int timeout,
                                                    int *version_out) {
    const char *fn = "vnet_get_host_version_ipi";
    if (host == nullptr || version_out == nullptr)
        return VNET_BAD_PARAM;
    if (vnet_is_local_host(host)) {
        *version_out = VN_PRODUCT_VERSION;
        return VNET_SUCCESS;
    }
    int v = flags_version(host);
    if (v < 0 && (v = read_cached_version(host)) > 0)
        store_flags_version(host, v);
    if (v < 0) {
        // The master server and the EMM server are also known by their
        // configured names.
        ztconf_info_t *info = nullptr;
        ztconf_get_info(&info);
        const char *master = info && info->server ? info->server->name : nullptr;
        const char *emm = info ? info->emmserver : nullptr;
        const struct {
            const char *name, *format;
        } known[] = {
            {master, "[%s:%d] retrieve_version_from_cache() failed, status=%d, server=%s"},
            {emm, "[%s:%d] retrieve_version_from_cache() failed, status=%d, emmserver_name=%s"},
        };
        for (const auto &k : known) {
            if (v > 0 || k.name == nullptr || k.name[0] == '\0' || strcmp(k.name, host) == 0 ||
                vnet_same_host(host, k.name, 0) != 1)
                continue;
            if ((v = flags_version(k.name)) < 0)
                v = read_cached_version(k.name);
            if (v > 0)
                store_flags_version(host, v);
            else
                logmsgvf(ZTLOG_DEBUG, 5, fn, k.format, __FILE_NAME__, __LINE__, VNET_CACHE_FAILED,
                         k.name);
        }
    }
    if (v > 0) {
        *version_out = v;
        return VNET_SUCCESS;
    }
    int sock = -1, vnetd_version = 0;
    int st = connect_to_vnetd(host, &sock, &vnetd_version);
    if (st != VNET_SUCCESS)
        return st;
    if (vnetd_version < 2) {
        vnet_closesocket(sock);
        return VNET_BAD_VERSION;
    }
    char info[256] = "";
    st = vnet_version_get_ipi(&sock, timeout, info, sizeof info);
    if (st != VNET_SUCCESS) {
        vnet_closesocket(sock);
        return st;
    }
    vnet_vnetd_disconnect(&sock, vnetd_version, timeout);
    vnet_closesocket(sock);
    const char *p = info;
    while (*p && !isdigit(static_cast<unsigned char>(*p)))
        ++p;
    char *end = nullptr;
    const long number = *p ? strtol(p, &end, 10) : -1;
    if (number <= 0 || number > 0x7fffffffL) {
        logmsgf(ZTLOG_ERROR, fn, "[%s:%d] scan of version_info failed, info=%s, VERSION_STRINGIFY_FORMAT=%s",
                __FILE_NAME__, __LINE__, info, "%d");
        return VNET_BAD_STRING;
    }
    store_flags_version(host, static_cast<int>(number));
    write_cached_version(host, static_cast<int>(number));
    *version_out = static_cast<int>(number);
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_flush_cache(long age) {
    const char *fn = "vnet_flush_cache";
    const std::string dir = cache_dir();
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return errno == ENOENT ? VNET_SUCCESS : VNET_OPEN_FAILED;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        if (delete_if_old(dir + "/" + e->d_name, age))
            logmsgvf(ZTLOG_DEBUG, 5, fn, "Removed stale host from cache %s", e->d_name);
    }
    closedir(d);
    return VNET_SUCCESS;
}
