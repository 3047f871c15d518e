// Address conversions and socket options.
#include "winsock_helpers.h"

#include <cstring>

namespace tessard {

InetAddress ToInet(const sockaddr_storage& address) {
  InetAddress inet;
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet.v6 = true;
    std::memcpy(inet.host, &in6.sin6_addr, 16);
    inet.port = ntohs(in6.sin6_port);
  } else {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    std::memcpy(inet.host, &in.sin_addr, 4);
    inet.port = ntohs(in.sin_port);
  }
  return inet;
}

int ToSockaddr(const InetAddress& address, unsigned long scopeId,
               sockaddr_storage* out) {
  *out = sockaddr_storage{};
  if (address.v6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(*out);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(address.port);
    std::memcpy(&in6.sin6_addr, address.host, 16);
    in6.sin6_scope_id = scopeId;
    return sizeof in6;
  }
  auto& in = reinterpret_cast<sockaddr_in&>(*out);
  in.sin_family = AF_INET;
  in.sin_port = htons(address.port);
  std::memcpy(&in.sin_addr, address.host, 4);
  return sizeof in;
}

void SetFlag(SOCKET socket, int level, int option, DWORD value) {
  setsockopt(socket, level, option, reinterpret_cast<const char*>(&value),
             sizeof value);
}

bool IsTransientDatagramError(int error) {
  return error == WSAETIMEDOUT || error == WSAEMSGSIZE ||
         error == WSAECONNRESET || error == WSAENETRESET ||
         error == WSAEWOULDBLOCK || error == WSAEINTR;
}

}  // namespace tessard
