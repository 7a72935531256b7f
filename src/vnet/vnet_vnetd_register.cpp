// Service registration files: one file per service in the vnetd directory,
// holding the service's entry in the registered-services format.
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/unix_sockets.h"
#include "vnet/vnet_vnetd_internal.h"
#include "ztbase/paths.h"

using zt::vnet::vnetd::parse_ipc;

namespace {

// A service name becomes a file name: letters, digits, '-', '_' and '.',
// not starting with a dot, so that no name reaches outside the directory.
bool safe_service(const char *service) {
    if (service == nullptr || service[0] == '\0' || service[0] == '.' || strlen(service) > 128)
        return false;
    for (const char *p = service; *p; ++p)
        if (!isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '_' && *p != '.')
            return false;
    return true;
}

const char *default_directory() { return getFennicString("VN_PATH_VNETD"); }

int make_directory(const char *dir) {
    std::string path;
    for (const char *p = dir; *p; ++p) {
        path += *p;
        if ((p[1] == '/' || p[1] == '\0') && !path.empty() && path != "/") {
            if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
                return VNET_MKDIR_FAILED;
        }
    }
    struct stat st{};
    if (stat(dir, &st) != 0)
        return VNET_STAT_FAILED;
    return S_ISDIR(st.st_mode) ? VNET_SUCCESS : VNET_NOT_DIRECTORY;
}

struct ServiceList {
    vnet_service_entry *head = nullptr;
    ~ServiceList() { vnet_free_service_list(head); }
};

// A process the daemon may reach: it exists (EPERM: it exists, owned by
// another user, and the endpoint decides).
bool process_running(unsigned long pid) {
    if (pid == 0 || pid > 0x7fffffffUL)
        return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

} // namespace

extern "C" ZTBASE_API int vnet_generate_service_path_ex(const char *directory, const char *service,
                                                        const char *extension, char *out,
                                                        size_t size) {
    const char *fn = "vnet_generate_service_path_ex";
    if (!safe_service(service) || out == nullptr || size == 0) {
        logmsgf(ZTLOG_ERROR, fn, "invalid service name %s", service ? service : "(null)");
        return VNET_BAD_ARGUMENT;
    }
    if (directory == nullptr)
        directory = default_directory();
    std::string lower(service);
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const int n = snprintf(out, size, "%s%s%s.%s", directory, "/", lower.c_str(),
                           extension ? extension : "txt");
    if (n < 0 || static_cast<size_t>(n) >= size) {
        logmsgf(ZTLOG_ERROR, fn, "path too long for %zu bytes", size);
        return VNET_BAD_ARGUMENT;
    }
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_generate_service_path(const char *service, char *out, size_t size) {
    return vnet_generate_service_path_ex(nullptr, service, "txt", out, size);
}

extern "C" ZTBASE_API int vnet_vnetd_register_service_ex(const char *directory, const char *service,
                                                         long pid, long exptime, const char *ipc,
                                                         const char *icmd, const char *dcmd,
                                                         char **args) {
    const char *fn = "vnet_vnetd_register_service_ex";
    if (directory == nullptr)
        directory = default_directory();
    char path[4096];
    int st = vnet_generate_service_path_ex(directory, service, "txt", path, sizeof path);
    if (st == VNET_SUCCESS)
        st = make_directory(directory);
    ServiceList list;
    if (st == VNET_SUCCESS)
        st = vnet_add_service_entry(&list.head, nullptr, service, static_cast<unsigned long>(pid),
                                    static_cast<unsigned long>(time(nullptr)),
                                    static_cast<unsigned long>(exptime), ipc, icmd, dcmd, args);
    if (st == VNET_SUCCESS)
        st = vnet_update_service_file(path, list.head);
    if (st != VNET_SUCCESS) {
        logmsgf(ZTLOG_ERROR, fn, "vnet_vnetd_register_service_ex(%s, %s, %ld, %ld, %s, %s, %s, ...) failed: %d",
                directory, service ? service : "(null)", pid, exptime, ipc ? ipc : "(null)",
                icmd ? icmd : "(null)", dcmd ? dcmd : "(null)", st);
        VNETD_FAIL(fn, st);
    }
    return st;
}

extern "C" ZTBASE_API int vnet_vnetd_register_service(const char *service, long pid, long exptime,
                                                      const char *ipc, const char *icmd,
                                                      const char *dcmd, char **args) {
    return vnet_vnetd_register_service_ex(nullptr, service, pid, exptime, ipc, icmd, dcmd, args);
}

extern "C" ZTBASE_API int vnet_vnetd_unregister_service_ex(const char *directory,
                                                           const char *service) {
    const char *fn = "vnet_vnetd_unregister_service_ex";
    char path[4096];
    int st = vnet_generate_service_path_ex(directory, service, "txt", path, sizeof path);
    if (st != VNET_SUCCESS)
        return st;
    ServiceList list;
    if ((st = vnet_read_service_file(path, &list.head)) != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    vnet_service_entry *e = list.head;
    if (e == nullptr || e->pid != static_cast<unsigned long>(getpid())) {
        logmsgvf(ZTLOG_DEBUG, 5, fn, "%s belongs to process %lu, left as it is", service,
                 e ? e->pid : 0UL);
        return VNET_SUCCESS;
    }
    e->exptime = 1;
    e->pid = 0;
    if ((st = vnet_update_service_file(path, list.head)) != VNET_SUCCESS)
        VNETD_FAIL(fn, st);
    return st;
}

extern "C" ZTBASE_API int vnet_vnetd_unregister_service(const char *service) {
    return vnet_vnetd_unregister_service_ex(nullptr, service);
}

extern "C" ZTBASE_API int vnet_vnetd_listen_and_register_service_ex(const char *directory,
                                                                    const char *service,
                                                                    int backlog, int *sock_out) {
    const char *fn = "vnet_vnetd_listen_and_register_service_ex";
    if (sock_out == nullptr)
        return VNET_BAD_PARAM;
    *sock_out = -1;
    char ipc[32] = "0";
    int fd = -1;
    int st = vnet_listen_on_local_port(backlog, ipc, sizeof ipc, &fd);
    if (st == VNET_SUCCESS)
        st = vnet_vnetd_register_service_ex(directory, service, static_cast<long>(getpid()), 0,
                                            ipc, nullptr, nullptr, nullptr);
    if (st != VNET_SUCCESS) {
        if (fd >= 0)
            vnet_closesocket(fd);
        VNETD_FAIL(fn, st);
        return st;
    }
    *sock_out = fd;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_vnetd_listen_and_register_service(const char *service, int backlog,
                                                                 int *sock_out) {
    return vnet_vnetd_listen_and_register_service_ex(nullptr, service, backlog, sock_out);
}

namespace zt::vnet::vnetd {

bool trusted_file(const char *path, bool follow_links) {
    struct stat st{};
    if ((follow_links ? stat(path, &st) : lstat(path, &st)) != 0)
        return false;
    return S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) &&
           (st.st_mode & 022) == 0;
}

int lookup_service(const char *directory, const char *service, Registration *out) {
    const char *fn = "lookup_service";
    char path[4096];
    int st = vnet_generate_service_path_ex(directory, service, "txt", path, sizeof path);
    if (st != VNET_SUCCESS)
        return VNET_NO_SERVICE;
    if (access(path, F_OK) == 0 && !trusted_file(path, false)) {
        logmsgf(ZTLOG_ERROR, fn,
                "%s is not a plain file of root or this user that only its owner may write", path);
        return VNET_NO_SERVICE;
    }
    ServiceList list;
    if (vnet_read_service_file(path, &list.head) != VNET_SUCCESS || list.head == nullptr) {
        logmsgf(ZTLOG_ERROR, fn, "invalid listptr = %p (%s)", static_cast<void *>(list.head), path);
        return VNET_NO_SERVICE;
    }
    const vnet_service_entry *e = list.head;
    if (e->exptime != 0 && e->exptime <= static_cast<unsigned long>(time(nullptr))) {
        logmsgf(ZTLOG_ERROR, fn, "%s expired at %lu", service, e->exptime);
        return VNET_NO_SERVICE;
    }
    out->icmd = e->icmd ? e->icmd : "";
    out->args.clear();
    for (int i = 0; e->args && e->args[i]; ++i)
        out->args.emplace_back(e->args[i]);
    out->pid = e->pid;
    if (e->ipc == nullptr || parse_ipc(e->ipc) < 0) {
        if (!out->icmd.empty()) {
            out->ipc.clear();
            return VNET_SUCCESS;
        }
        logmsgf(ZTLOG_ERROR, fn, "invalid IPC = %p", static_cast<void *>(e->ipc));
        return VNET_NO_SERVICE;
    }
    if (!process_running(e->pid)) {
        logmsgf(ZTLOG_ERROR, fn, "%s: process %lu is not running", service, e->pid);
        return VNET_NO_SERVICE;
    }
    out->ipc = e->ipc;
    return VNET_SUCCESS;
}

} // namespace zt::vnet::vnetd

extern "C" ZTBASE_API int vnet_vnetd_ipc_connect(const char *directory, const char *service,
                                                 int send, int *sock, int timeout) {
    const char *fn = "vnet_vnetd_ipc_connect";
    if (sock == nullptr || (send && *sock < 0))
        return VNET_BAD_PARAM;
    zt::vnet::vnetd::Registration reg;
    int st = zt::vnet::vnetd::lookup_service(directory, service, &reg);
    if (st == VNET_SUCCESS && reg.ipc.empty())
        st = VNET_NO_SERVICE;
    if (st != VNET_SUCCESS) {
        VNETD_FAIL(fn, st);
        return st;
    }
    int ipc = -1;
    if ((st = vnet_connect_by_vnetd(reg.ipc.c_str(), &ipc, timeout)) != VNET_SUCCESS) {
        VNETD_FAIL(fn, st == VNET_CONNECT_REFUSED ? VNET_NO_SERVICE : st);
        return st == VNET_CONNECT_REFUSED ? VNET_NO_SERVICE : st;
    }
    // The endpoint must belong to the registered process: an abstract name
    // is free for anyone to take once its owner is gone.
    pid_t peer = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    if (reg.pid != 0 && (ztbase::usock::peer_credentials(ipc, &peer, &uid, &gid) != 0 ||
                         static_cast<unsigned long>(peer) != reg.pid)) {
        logmsgf(ZTLOG_ERROR, fn, "IPC %s of %s belongs to process %ld, not %lu", reg.ipc.c_str(),
                service, static_cast<long>(peer), reg.pid);
        vnet_closesocket(ipc);
        VNETD_FAIL(fn, VNET_NO_SERVICE);
        return VNET_NO_SERVICE;
    }
    st = send ? vnet_send_network_socket(ipc, sock, "", timeout)
              : vnet_receive_network_socket(ipc, "", sock, timeout);
    vnet_closesocket(ipc);
    if (st != VNET_SUCCESS)
        VNETD_FAIL(fn, st);
    return st;
}
