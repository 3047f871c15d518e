// Who sent a call and how it arrived: what the port mapper's admission
// rules and its look-ups need to know of a caller. Free of Windows headers.
//
// What the Windows program fills in:
// - for each datagram: netid, transport kDatagram, source (the address
//   WSARecvMsg names) and destination (IP_PKTINFO / IPV6_PKTINFO), with
//   hasDestination false when no packet information came;
// - for each connection: netid, transport kStream, source (the peer
//   accept names) and destination (getsockname of the accepted socket).
// The core decides from these whether the call is local (Caller::local,
// IsLocalCall); the program may ask the same function, e.g. to know
// whether the caller's process can be looked up, but never decides it
// on the source address alone.
#pragma once

#include <string_view>

#include "universal_address.h"

namespace tessard {

enum class Transport {
  kDatagram,  // UDP: the source address may be forged
  kStream,    // TCP: the handshake proved the source address
};

// Whether a call from `source` that arrived at `destination` comes from
// this machine: both must be loopback addresses of one family (127.0.0.0/8,
// ::1). No network delivers a packet to a loopback address, so a forged
// source alone does not make a caller local; an IPv4-mapped IPv6 address
// is never loopback, since the IPv6 sockets are IPv6-only and only a
// forged packet carries one there.
bool IsLocalCall(const InetAddress& source, const InetAddress& destination);

struct Caller {
  std::string_view netid;  // of the transport: udp, tcp, udp6 or tcp6
  Transport transport = Transport::kDatagram;
  InetAddress source;  // where the call came from
  // The address the call was sent to, when known: a registration made on
  // the wildcard address is answered with it, and only a call sent to a
  // loopback address can be local.
  bool hasDestination = false;
  InetAddress destination;

  bool stream() const { return transport == Transport::kStream; }
  bool local() const {
    return hasDestination && IsLocalCall(source, destination);
  }
};

}  // namespace tessard
