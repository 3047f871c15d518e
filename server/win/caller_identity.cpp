#include "caller_identity.h"

#include "process_identity.h"
#include "socket_tables.h"
#include "system_calls.h"

namespace tessard {
namespace {

std::uint64_t Now() {
  FILETIME now;
  sys::GetSystemTimeAsFileTime(&now);
  return std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
}

}  // namespace

CallerIdentity::CallerIdentity(const Caller& caller)
    : local_(caller.local()),
      transport_(caller.transport),
      source_(caller.source),
      destination_(caller.destination),
      arrived_(local_ ? Now() : 0) {}

Identity CallerIdentity::Identify() {
  if (lookedUp_) return identity_;
  lookedUp_ = true;
  if (!local_) return identity_;
  // The caller's socket: for TCP the connection from its source to the
  // address it reached, which cannot change hands while it is open; for
  // UDP the one socket bound to its source before the datagram arrived
  // (the caller may have closed its own since, and another program bound
  // the port: in doubt, unknown).
  const std::uint32_t pid = transport_ == Transport::kStream
                                ? TcpConnectionOwner(source_, destination_)
                                : UdpSocketOwner(source_, arrived_);
  Identity found = IdentifyProcess(pid);
  // An id the owner's exit freed and a new process was given.
  if (found.known && found.processCreated > arrived_) return identity_;
  identity_ = found;
  return identity_;
}

}  // namespace tessard
