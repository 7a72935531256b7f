// Where the direct DNS queries go: the system's configured name servers,
// unless a test points them at a responder of its own.
#pragma once

#include <netinet/in.h>

namespace zt::vnet::dns {

// Every later query asks only server (null: the configured servers again).
void set_dns_server(const sockaddr_in *server);

} // namespace zt::vnet::dns
