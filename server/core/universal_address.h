// Universal addresses of the inet transports ("h1.h2.h3.h4.p1.p2" and
// "x:x:...:x.p1.p2"), the netids the port mapper knows, and the transport
// addresses (netbufs) that clients exchange them for. Free of Windows
// headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessard {

struct InetAddress {
  bool v6 = false;
  std::uint8_t host[16] = {};  // the first four bytes for IPv4
  std::uint16_t port = 0;
};

// The longest universal address this module writes, with its NUL.
constexpr std::size_t kMaxInetUaddr = 48;

bool ParseUniversalAddress(std::string_view text, InetAddress* address);
// A host address without a port: dotted IPv4, or IPv6 text (with colons).
bool ParseHostAddress(std::string_view text, InetAddress* address);
// Writes the address's canonical form; returns its length.
std::size_t FormatUniversalAddress(const InetAddress& address,
                                   char (&out)[kMaxInetUaddr]);
// The canonical form of the host alone, as ParseHostAddress reads it and
// an administrator writes it: "10.0.0.1", "fe80::1".
std::string HostAddressText(const InetAddress& address);

// 0.0.0.0 or ::, the "any" address that a server registers when it listens
// on every address.
bool IsWildcard(const InetAddress& address);
// 127.0.0.0/8 or ::1. An IPv4-mapped IPv6 address (::ffff:127.0.0.1) is
// not: it is an IPv6 address of no loopback interface.
bool IsLoopback(const InetAddress& address);
// ::ffff:a.b.c.d, an IPv4 address written as IPv6.
bool IsIpv4Mapped(const InetAddress& address);
// An IPv4 address as an IPv4-mapped IPv6 address, and back; FromMapped
// leaves any other address as it is. The port goes along.
InetAddress ToMapped(const InetAddress& v4);
InetAddress FromMapped(const InetAddress& address);
// Whether two addresses name the same host: the same family and bytes,
// whatever their ports.
bool SameHost(const InetAddress& a, const InetAddress& b);

// The inet netids: udp, tcp (IPv4) and udp6, tcp6 (IPv6).
struct NetidInfo {
  bool inet = false;
  bool v6 = false;
  bool stream = false;
};
NetidInfo ClassifyNetid(std::string_view netid);

// Transport addresses in this machine's socket address layout: the family
// as a little-endian 16-bit number (2 for IPv4, 23 for IPv6), then the port
// in network order, the host and, for IPv6, flow and scope (zero). A netbuf
// from a system that numbers IPv6 as 10 is read as well.
constexpr std::size_t kInetNetbufSize = 16;
constexpr std::size_t kInet6NetbufSize = 28;
constexpr std::size_t kMaxNetbuf = kInet6NetbufSize;

std::size_t AddressToNetbuf(const InetAddress& address,
                            std::uint8_t (&out)[kMaxNetbuf]);
bool NetbufToAddress(const std::uint8_t* data, std::size_t size,
                     InetAddress* address);

}  // namespace tessard
