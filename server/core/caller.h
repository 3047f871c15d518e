// Who sent a call and how it arrived: what the port mapper's admission
// rules and its look-ups need to know of a caller. The Windows program
// fills it once per datagram or connection. Free of Windows headers.
#pragma once

#include <string_view>

#include "universal_address.h"

namespace tessard {

struct Caller {
  std::string_view netid;  // of the transport: udp, tcp, udp6 or tcp6
  bool stream = false;     // TCP: nothing can be reflected to a third party
  bool loopback = false;   // sent from a loopback address of this machine
  // The address the call was sent to, when known: a registration made on
  // the wildcard address is answered with it.
  bool hasLocal = false;
  InetAddress local;
};

}  // namespace tessard
