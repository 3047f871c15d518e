// Listing the machine's addresses with GetAdaptersAddresses.
#include "local_addresses.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "winsock_helpers.h"

namespace tessard {
namespace {

LocalAddress Loopback(bool v6) {
  LocalAddress loopback;
  loopback.address.v6 = v6;
  if (v6) {
    loopback.address.host[15] = 1;
  } else {
    loopback.address.host[0] = 127;
    loopback.address.host[3] = 1;
  }
  loopback.loopback = true;
  return loopback;
}

bool HasIpv6() {
  SOCKET s = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  closesocket(s);
  return true;
}

void AddOnce(std::vector<LocalAddress>* list, const LocalAddress& a) {
  for (const LocalAddress& each : *list) {
    if (SameLocalAddress(each, a)) return;
  }
  list->push_back(a);
}

}  // namespace

bool SameLocalAddress(const LocalAddress& a, const LocalAddress& b) {
  return SameHost(a.address, b.address) && a.scopeId == b.scopeId;
}

bool ListLocalAddresses(std::vector<LocalAddress>* addresses) {
  addresses->clear();
  addresses->push_back(Loopback(false));
  bool v6 = HasIpv6();
  if (v6) addresses->push_back(Loopback(true));

  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                      GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
  std::vector<unsigned char> buffer(16 * 1024);
  ULONG size = static_cast<ULONG>(buffer.size());
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW;
       ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(
        AF_UNSPEC, flags, nullptr,
        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result == ERROR_NO_DATA) return true;
  if (result != NO_ERROR) return false;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
       adapter; adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    for (IP_ADAPTER_UNICAST_ADDRESS* u = adapter->FirstUnicastAddress; u;
         u = u->Next) {
      const SOCKET_ADDRESS& s = u->Address;
      if (!s.lpSockaddr) continue;
      int family = s.lpSockaddr->sa_family;
      if (family != AF_INET && (family != AF_INET6 || !v6)) continue;
      // An address still being checked for duplicates cannot be bound.
      if (u->DadState == IpDadStateTentative ||
          u->DadState == IpDadStateDuplicate) {
        continue;
      }
      sockaddr_storage storage = {};
      std::memcpy(&storage, s.lpSockaddr,
                  std::min<std::size_t>(s.iSockaddrLength, sizeof storage));
      LocalAddress a;
      a.address = ToInet(storage);
      a.address.port = 0;
      if (family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
        // Only a link-local address needs its interface to be bound.
        if (in6.sin6_addr.s6_addr[0] == 0xFE &&
            (in6.sin6_addr.s6_addr[1] & 0xC0) == 0x80) {
          a.scopeId = in6.sin6_scope_id;
        }
      }
      a.loopback = IsLoopback(a.address);
      // Wine leaves Ipv6IfIndex 0 (docs/wine-notes.md); one index numbers
      // an interface for both families.
      a.interfaceIndex = family == AF_INET6 && adapter->Ipv6IfIndex != 0
                             ? adapter->Ipv6IfIndex
                             : adapter->IfIndex;
      a.prefixLength = u->OnLinkPrefixLength;
      AddOnce(addresses, a);
    }
  }
  return true;
}

}  // namespace tessard
