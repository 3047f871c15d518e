// The machine's own unicast addresses, which the server serves port 111 on:
// one UDP and one TCP socket each, so that every reply leaves from the
// address its call came to.
#pragma once

#include <vector>

#include "universal_address.h"

namespace tessard {

struct LocalAddress {
  InetAddress address;        // port 0
  unsigned long scopeId = 0;  // an IPv6 link-local address's interface
  bool loopback = false;
  // Its interface, and the length of its network's prefix: where its
  // broadcasts and the rpcbind multicast group arrive.
  unsigned long interfaceIndex = 0;
  unsigned prefixLength = 0;
};

bool SameLocalAddress(const LocalAddress& a, const LocalAddress& b);

// The addresses of every interface that is up, loopback included; 127.0.0.1
// is always in the list, ::1 when the system has IPv6. False when the
// system cannot list them (the list then holds the loopback addresses).
bool ListLocalAddresses(std::vector<LocalAddress>* addresses);

}  // namespace tessard
