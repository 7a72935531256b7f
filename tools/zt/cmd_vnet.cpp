// zt vnet: the vnet statuses with their texts and product statuses, and the
// entries of a registered-services file.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <ztbase/status.h>
#include <ztbase/vnet.h>

#include "commands.h"

namespace zt {
namespace {

constexpr const char kUsage[] = "vnet status [--zt] [N...] | zt vnet services FILE";

bool parse_code(const char *text, int &code) {
    errno = 0;
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < INT_MIN || value > INT_MAX)
        return false;
    code = static_cast<int>(value);
    return true;
}

// "11 TIMEOUT -> 41 network connection timed out"
void print_vnet(int status) {
    int product = vnet_to_zt_status_ex(status, 1);
    printf("%d %s -> %d %s\n", status, vnet_status_to_text(status), product, getECmsg(product));
}

// "41 network connection timed out -> 11 TIMEOUT"
void print_product(int product) {
    int status = vnet_zt_to_vnet_status(product);
    printf("%d %s -> %d %s\n", product, getECmsg(product), status, vnet_status_to_text(status));
}

int status_command(int argc, char **argv) {
    bool reverse = argc > 0 && strcmp(argv[0], "--zt") == 0;
    if (reverse) {
        --argc;
        ++argv;
    }
    if (argc == 0) {
        const int large[] = {55, 57, 61, 116, 123, 134, 192, 193, 221, 222, 227};
        for (int n = 0; n <= VNET_INTEGRITY_MISMATCH; ++n)
            reverse ? print_product(n) : print_vnet(n);
        if (reverse)
            for (int n : large)
                print_product(n);
        return 0;
    }
    for (int i = 0; i < argc; ++i) {
        int code = 0;
        if (!parse_code(argv[i], code))
            return usage(kUsage);
    }
    for (int i = 0; i < argc; ++i) {
        int code = atoi(argv[i]);
        reverse ? print_product(code) : print_vnet(code);
    }
    return 0;
}

void print_text(const char *key, const char *value) {
    if (value != nullptr)
        printf(" %s=\"%s\"", key, value);
}

int services_command(const char *path) {
    vnet_service_entry *list = nullptr;
    int rc = vnet_read_service_file(path, &list);
    if (rc != 0) {
        fprintf(stderr, "zt: %s: %s\n", path, vnet_status_to_text(rc));
        return 1;
    }
    for (const vnet_service_entry *e = list; e != nullptr; e = e->next) {
        printf("%s pid=%lu", e->name != nullptr ? e->name : "(no name)", e->pid);
        if (e->regtime != 0)
            printf(" regtime=%lu", e->regtime);
        if (e->exptime != 0)
            printf(" exptime=%lu", e->exptime);
        print_text("ipc", e->ipc);
        print_text("icmd", e->icmd);
        print_text("dcmd", e->dcmd);
        for (int i = 0; i < e->arg_count; ++i)
            print_text("arg", e->args[i]);
        putchar('\n');
    }
    vnet_free_service_list(list);
    return 0;
}

} // namespace

int cmd_vnet(int argc, char **argv) {
    if (argc >= 1 && strcmp(argv[0], "status") == 0)
        return status_command(argc - 1, argv + 1);
    if (argc == 2 && strcmp(argv[0], "services") == 0)
        return services_command(argv[1]);
    return usage(kUsage);
}

} // namespace zt
