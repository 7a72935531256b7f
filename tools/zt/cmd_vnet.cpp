// zt vnet: the vnet statuses with their texts and product statuses, the
// entries of a registered-services file, and a host's product version.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <string>
#include <vector>

#include <ztbase/status.h>
#include <ztbase/vnet.h>
#include <ztbase/vnet_vnetd.h>

#include "commands.h"

namespace zt {
namespace {

bool parse_code(const char *text, int &code) {
    errno = 0;
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < INT_MIN || value > INT_MAX)
        return false;
    code = static_cast<int>(value);
    return true;
}

bool known_product(int code) {
    bool found = false;
#define ZT_KNOWN(name, first, last)                                                                \
    if (code >= (first) && code <= (last) && name[code - (first)] != nullptr)                      \
        found = true;
    ZTBASE_STATUS_CATALOGUES(ZT_KNOWN)
#undef ZT_KNOWN
    return found;
}

// One line of the table: "11 TIMEOUT -> 41 network connection timed out", or
// with --zt "41 network connection timed out -> 11 TIMEOUT".
struct Pair {
    int vnet, product;
};

Pair pair_of(int code, bool reverse) {
    return reverse ? Pair{vnet_zt_to_vnet_status(code), code}
                   : Pair{code, vnet_to_zt_status_ex(code, 1)};
}

int status_command(int argc, char **argv) {
    const bool json = take_flag(argc, argv, "--json");
    const bool reverse = take_flag(argc, argv, "--zt");
    std::vector<int> codes;
    for (int i = 0; i < argc; ++i) {
        int code = 0;
        if (!parse_code(argv[i], code))
            return bad_args("vnet", "status",
                            ("'" + std::string(argv[i]) + "': not a number").c_str());
        if (reverse ? !known_product(code) : (code < 0 || code > VNET_INTEGRITY_MISMATCH)) {
            fprintf(stderr, "zt vnet status: %s: no such %s status\n", argv[i],
                    reverse ? "product" : "vnet");
            return 1;
        }
        codes.push_back(code);
    }
    if (argc == 0) {
        for (int n = 0; n <= VNET_INTEGRITY_MISMATCH; ++n)
            codes.push_back(n);
        if (reverse)
            for (int n : {55, 57, 61, 116, 123, 134, 192, 193, 221, 222, 227})
                codes.push_back(n);
    }
    json_t *list = json ? json_array() : nullptr;
    for (int code : codes) {
        const Pair p = pair_of(code, reverse);
        if (list != nullptr)
            json_array_append_new(list, json_pack("{s:i,s:s,s:i,s:s}", "vnet", p.vnet, "name",
                                                  vnet_status_to_text(p.vnet), "status", p.product,
                                                  "text", getECmsg(p.product)));
        else if (reverse)
            printf("%d %s -> %d %s\n", p.product, getECmsg(p.product), p.vnet,
                   vnet_status_to_text(p.vnet));
        else
            printf("%d %s -> %d %s\n", p.vnet, vnet_status_to_text(p.vnet), p.product,
                   getECmsg(p.product));
    }
    if (list != nullptr) {
        json_dumpf(list, stdout, JSON_INDENT(2));
        putchar('\n');
        json_decref(list);
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
        fprintf(stderr, "zt vnet services: %s: %s\n", path, vnet_status_to_text(rc));
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

// The product version of HOST as the library knows it: this host's own, the
// cached one, or asked of the host's vnetd (and then cached).
int version_command(int argc, char **argv) {
    if (argc != 1 || argv[0][0] == '-')
        return bad_args("vnet", "version", "one HOST");
    int version = 0;
    const int st = vnet_get_host_version_ipi(argv[0], 20, &version);
    if (st != VNET_SUCCESS) {
        fprintf(stderr, "zt vnet version: %s: %s (%d)\n", argv[0], vnet_status_to_text(st), st);
        return 1;
    }
    printf("product version %d\n", version);
    return 0;
}

} // namespace

int cmd_vnet(int argc, char **argv) {
    if (argc >= 1 && strcmp(argv[0], "status") == 0)
        return status_command(argc - 1, argv + 1);
    if (argc >= 1 && strcmp(argv[0], "services") == 0) {
        if (argc != 2)
            return bad_args("vnet", "services", "one FILE");
        return services_command(argv[1]);
    }
    if (argc >= 1 && strcmp(argv[0], "version") == 0)
        return version_command(argc - 1, argv + 1);
    return bad_args("vnet", nullptr,
                    argc == 0 ? "no subcommand given"
                              : ("unknown subcommand " + std::string(argv[0])).c_str());
}

} // namespace zt
