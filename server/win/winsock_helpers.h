// Small Winsock helpers the server's rooms share: addresses between
// Winsock and the protocol core, socket options, and the errors after
// which a datagram socket simply waits again.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "universal_address.h"

namespace tessard {

InetAddress ToInet(const sockaddr_storage& address);
// The socket address of `address` (its port included); returns its length.
int ToSockaddr(const InetAddress& address, unsigned long scopeId,
               sockaddr_storage* out);

// A socket option of a DWORD value: a flag, or a timeout in ms.
void SetFlag(SOCKET socket, int level, int option, DWORD value);

// Whether a datagram socket's wait ended for a reason to try again.
bool IsTransientDatagramError(int error);

}  // namespace tessard
