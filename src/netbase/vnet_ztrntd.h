// The process's table of resilient sockets: sockets carried by the local
// resiliency daemon, which get longer receive timeouts. Nothing registers a
// socket yet, so every socket is ordinary and timeouts pass unchanged.
#pragma once

namespace zt::vnet::resilient {

inline constexpr int kSlots = 1024;

// Puts sock into the first empty slot (once): 0, or 4 when the table is full
// or sock is invalid.
int add(int sock);
// 1 when sock is in the table.
bool contains(int sock);
// The resilient timeout of the configuration; 0 until the configuration
// snapshot provides it.
int configured_timeout();

} // namespace zt::vnet::resilient
