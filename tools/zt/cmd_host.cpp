// zt host: the host-identity questions as a program asks them: are two
// names one host (and which rule said so), is a name this machine, which
// roles a host plays (and whether the answer came from the cached flags),
// the fully qualified form of a name.
#include <cstdio>
#include <cstring>

#include <ztbase/vnet.h>
#include <ztbase/vnet_host.h>

#include "commands.h"
#include "vnet/vnet_host_internal.h"

namespace zt {
namespace {

namespace host = zt::vnet::host;

const char *yes_no(int answer) {
    return answer != 0 ? "yes" : "no";
}

int host_same(int argc, char **argv) {
    const bool local = take_flag(argc, argv, "--local");
    if (argc != 3)
        return bad_args("host", "same", "wants two names");
    const int same = vnet_same_host(argv[1], argv[2], local ? 1 : 0);
    printf("same host: %s\n", yes_no(same));
    printf("decided by: %s\n", host::last_rule());
    return 0;
}

int host_local(int argc, char **argv) {
    if (argc != 2)
        return bad_args("host", "local", "wants one name");
    const int local = vnet_is_local_host(argv[1]);
    printf("local: %s\n", yes_no(local));
    printf("answered from: %s\n", host::last_from_flags() ? "cached flags" : "the addresses");
    return 0;
}

int host_roles(int argc, char **argv) {
    if (argc != 2)
        return bad_args("host", "roles", "wants one host");
    struct Role {
        const char *name;
        int (*ask)(const char *);
    } roles[] = {
        {"server", vnet_is_server},
        {"media server", vnet_is_media_server},
        {"master server", vnet_is_master_server},
        {"EMM server", vnet_is_emm_server},
        {"trusted master", vnet_is_trusted_master},
        {"console server", vnet_is_vantrel},
        {"index server", vnet_is_index_server},
    };
    for (const Role &r : roles) {
        const int answer = r.ask(argv[1]);
        printf("%-15s %-4s %s\n", r.name, yes_no(answer),
               host::last_from_flags() ? "(cached flags)" : "(compared with the configuration)");
    }
    return 0;
}

int host_fqdn(int argc, char **argv) {
    if (argc > 2)
        return bad_args("host", "fqdn", "wants at most one name");
    char out[1025];
    const int rc = vnet_getfqdn(argc == 2 ? argv[1] : nullptr, out, sizeof out);
    if (rc != VNET_SUCCESS) {
        fprintf(stderr, "zt host fqdn: %s: %s (vnet status %d)\n", argc == 2 ? argv[1] : "this host",
                vnet_status_to_text(rc), rc);
        return 1;
    }
    printf("%s\n", out);
    return 0;
}

} // namespace

int cmd_host(int argc, char **argv) {
    if (argc < 1)
        return bad_args("host", nullptr, "wants a subcommand");
    // Host names never begin with "-": such a word is an option we do not know.
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] == '-' && strcmp(argv[i], "--local") != 0)
            return bad_args("host", argv[0], "unknown option");
    struct Sub {
        const char *name;
        int (*run)(int, char **);
    } subs[] = {{"same", host_same}, {"local", host_local}, {"roles", host_roles}, {"fqdn", host_fqdn}};
    for (const Sub &s : subs)
        if (strcmp(argv[0], s.name) == 0)
            return s.run(argc, argv);
    return bad_args("host", nullptr, "unknown subcommand");
}

} // namespace zt
