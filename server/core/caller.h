// Who sent a call and how it arrived: what the port mapper's admission
// rules and its look-ups need to know of a caller. Free of Windows headers.
//
// What the Windows program fills in, for each datagram and each connection:
// netid, transport, source (the address recvfrom or accept names; as IPv4 when
// an IPv6 socket received it from IPv4), destination and receivedOn. Each of
// the machine's addresses has sockets of its own, so both are known: the
// address the socket is bound to, or for a broadcast or multicast received
// on a socket of its own the address its packet information names
// (destination) and the address of the interface it came on (receivedOn).
// The core decides from these whether the call is local (Caller::local,
// IsLocalCall); the program may ask the same function, e.g. to know whether
// the caller's process can be looked up, but never decides it on the source
// address alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "universal_address.h"

namespace tessard {

// Who a local caller is: the process that owns its socket, found in the
// socket tables, with the account of its token and its program.
struct Identity {
  bool known = false;  // false: the caller could not be attributed
  std::string account;  // DOMAIN\name, e.g. NT AUTHORITY\SYSTEM (UTF-8)
  std::string image;    // the program's image path (UTF-8)
  std::uint32_t processId = 0;
  std::uint64_t processCreated = 0;  // with the id, names one process
  // An elevated token in BUILTIN\Administrators, or LocalSystem: may
  // remove any registration.
  bool administrator = false;
};

// Finds a caller's identity. Looking it up costs (the socket tables, the
// process, its token), so the core asks only where it needs the answer,
// in SET and UNSET, at most once per call; a look-up never pays for it.
// A connection's source may cache its answer.
class IdentitySource {
 public:
  virtual ~IdentitySource() = default;
  virtual Identity Identify() = 0;
};

enum class Transport {
  kDatagram,  // UDP: the source address may be forged
  kStream,    // TCP: the handshake proved the source address
};

// Whether a call from `source` that arrived at `destination` comes from
// this machine: both must be loopback addresses of one family (127.0.0.0/8,
// ::1). No network delivers a packet to a loopback address, so a forged
// source alone does not make a caller local. An IPv4-mapped IPv6 address
// is never loopback: the sockets of IPv6 addresses are IPv6-only, and the
// one kind that is not (the datagram socket of an IPv4 address other than
// loopback, bound to the address mapped to IPv6) has its sources written
// as IPv4; only a forged packet carries a mapped source.
bool IsLocalCall(const InetAddress& source, const InetAddress& destination);

struct Caller {
  std::string_view netid;  // of the transport: udp, tcp, udp6 or tcp6
  Transport transport = Transport::kDatagram;
  InetAddress source;  // where the call came from
  // The address the call was sent to: a registration made on the wildcard
  // address is answered with it, and only a call sent to a loopback
  // address can be local.
  InetAddress destination;
  // The address of this machine the call came to, whose port 111 answers
  // it: the destination, or for a broadcast or multicast destination the
  // address of the interface it came on. A registration made on the
  // wildcard address is answered, and a remote call forwarded, with it.
  InetAddress receivedOn;
  // Who the caller is, for a local caller; nullptr: not attributed.
  IdentitySource* identity = nullptr;

  bool stream() const { return transport == Transport::kStream; }
  bool local() const { return IsLocalCall(source, destination); }
};

}  // namespace tessard
