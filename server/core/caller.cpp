// Deciding whether a caller is on this machine.
#include "caller.h"

namespace tessard {

bool IsLocalCall(const InetAddress& source, const InetAddress& destination) {
  return source.v6 == destination.v6 && IsLoopback(source) &&
         IsLoopback(destination);
}

}  // namespace tessard
