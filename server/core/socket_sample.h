// A sample of this machine's bound sockets, as the Windows program reads it
// from the socket tables: what the table's upkeep (table_upkeep.h) drops
// dead registrations by. Free of Windows headers.
#pragma once

#include <cstdint>
#include <vector>

#include "universal_address.h"

namespace tessard {

// How often the Windows program samples the socket tables. A registration
// goes at the first sample after its socket closed and its grace passed:
// within kSamplePeriodMs of the close (and of kDropGraceMs +
// kSamplePeriodMs after the SET for a program that dies at once), inside
// the 15 s the server promises.
constexpr std::uint64_t kSamplePeriodMs = 4000;

// A socket bound on this machine: UDP bound, TCP listening. The address's
// family is the socket's; its port is the port bound.
struct BoundSocket {
  bool stream = false;
  InetAddress address;
};

struct SocketSample {
  // Which tables could be read: a registration of a table not read is
  // never dropped.
  bool udpRead = false;
  bool tcpRead = false;
  bool udp6Read = false;
  bool tcp6Read = false;
  std::vector<BoundSocket> sockets;
};

}  // namespace tessard
