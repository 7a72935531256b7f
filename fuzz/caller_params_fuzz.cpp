// The connect parameters a local caller sends the vnetd: any text, read as
// JSON and then as a request. A request read from it names a host and a
// service that are texts, numbers in their ranges and options within theirs.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <jansson.h>

#include "vnet/vnet_connect_internal.h"
#include "ztbase/vnet.h"

namespace cn = zt::vnet::connect;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 20000)
        return 0;
    json_t *params = json_loadb(reinterpret_cast<const char *>(data), size, 0, nullptr);
    cn::Request r;
    vnet_connect_options_rec options{};
    if (cn::read_caller_params(params, &r, &options) == VNET_SUCCESS) {
        if (r.host == nullptr || r.service == nullptr || r.who == nullptr || !r.no_indirect ||
            r.extra_tries < 0 || r.connect_timeout < -1 || r.connect_timeout > 86400)
            abort();
        if (r.options != nullptr &&
            (strlen(options.server) >= sizeof options.server || options.daemon_port_type < 0 ||
             options.daemon_port_type > ZTCONF_DAEMON_PORT_TYPE_DEFAULT))
            abort();
    }
    json_decref(params);
    return 0;
}
