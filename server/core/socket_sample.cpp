// The rule that drops dead registrations.
#include "socket_sample.h"

#include <cstring>

namespace tessard {
namespace {

// Whether the socket may receive what the registration says is served.
bool Serves(const BoundSocket& s, bool stream, const InetAddress& r) {
  const InetAddress& a = s.address;
  if (s.stream != stream || a.port != r.port) return false;
  if (a.v6 == r.v6) return IsWildcard(a) || IsWildcard(r) || SameHost(a, r);
  if (!a.v6) return false;
  // An IPv6 socket that is not IPv6-only serves IPv4 on :: and on mapped
  // addresses.
  if (IsWildcard(a)) return true;
  return IsIpv4Mapped(a) &&
         (IsWildcard(r) || std::memcmp(a.host + 12, r.host, 4) == 0);
}

}  // namespace

bool MayBeServed(const Registration& r, const SocketSample& sample) {
  NetidInfo info = ClassifyNetid(r.netid.view());
  InetAddress address;
  if (!info.inet || !ParseUniversalAddress(r.uaddr.view(), &address)) {
    return true;
  }
  bool read = info.stream ? (info.v6 ? sample.tcp6Read : sample.tcpRead)
                          : (info.v6 ? sample.udp6Read : sample.udpRead);
  if (!read) return true;
  for (const BoundSocket& s : sample.sockets) {
    if (Serves(s, info.stream, address)) return true;
  }
  return false;
}

bool IsDead(const Registration& r, const SocketSample& sample,
            std::uint64_t nowMs) {
  return !r.permanent && nowMs >= r.madeAt &&
         nowMs - r.madeAt >= kDropGraceMs && !MayBeServed(r, sample);
}

}  // namespace tessard
