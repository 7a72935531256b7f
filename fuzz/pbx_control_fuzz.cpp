// The port exchange's control messages: whatever parses must be written back
// to the same bytes by the writer of its type.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pbx_protocol.h"

namespace proto = ztpbx::proto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    proto::ControlMessage m;
    if (!proto::parse_control(data, size, &m))
        return 0;
    std::string again;
    switch (m.type) {
    case proto::kRegister:
        again = proto::make_register(m.name, m.backlog);
        break;
    case proto::kRegistered:
        again = proto::make_registered(m.reg_status, m.port, m.addresses);
        break;
    case proto::kHandover:
        again = proto::make_handover(m.client_version);
        break;
    case proto::kAccepted:
        again = proto::make_accepted(m.accepted_total);
        break;
    case proto::kList:
        again = proto::make_list();
        break;
    case proto::kNames:
        again = proto::make_names(m.names);
        break;
    default:
        abort(); // the reader let through a type it does not know
    }
    if (again != std::string(reinterpret_cast<const char *>(data), size))
        abort();
    return 0;
}
