// The identity of one call (UDP) or one connection (TCP): the process that
// owns the caller's socket, looked up in the socket tables and then the
// process itself the first time the core asks, and kept from then on.
#pragma once

#include <cstdint>

#include "caller.h"

namespace tessard {

class CallerIdentity final : public IdentitySource {
 public:
  // Made when the call or connection arrives, from what the server knows
  // of it (transport, source, destination): a caller that is not local
  // (Caller::local) is unknown without a look-up. The arrival is stamped
  // now: a process created after it did not send the call, whatever id it
  // was given.
  explicit CallerIdentity(const Caller& caller);

  // Not safe to call from two threads at once.
  Identity Identify() override;

 private:
  bool local_;
  Transport transport_;
  InetAddress source_;
  InetAddress destination_;
  std::uint64_t arrived_;  // FILETIME units
  bool lookedUp_ = false;
  Identity identity_;
};

}  // namespace tessard
