// The rule by which the table's upkeep (PortMapper's Restore and
// ApplySample, table_upkeep.cpp) drops a registration whose port has no
// socket bound of its protocol and family. Free of Windows headers.
#pragma once

#include <cstdint>

#include "registration.h"
#include "socket_sample.h"

namespace tessard {

// A program that registers before it binds has this long after its SET
// before its registration can be dropped.
constexpr std::uint64_t kDropGraceMs = 10000;

// Whether a socket of the registration's protocol and family may serve
// it: one bound to its port on its address or the wildcard address, or on
// any address when it was registered on the wildcard. An IPv6 socket on ::
// or on the registered address mapped to IPv6 may serve IPv4 too, so it
// serves an IPv4 registration: in doubt, keep. True as well when the
// sample cannot tell: a netid that is not inet (nothing to check it
// against), or a table that was not read.
bool MayBeServed(const Registration& registration, const SocketSample& sample);

// Whether the registration is dead at `nowMs` (the core's monotonic
// clock): no socket may serve it, it is not the port mapper's own, and
// kDropGraceMs have passed since it was made.
bool IsDead(const Registration& registration, const SocketSample& sample,
            std::uint64_t nowMs);

}  // namespace tessard
