// Who may open one more TCP connection, and which open connection closes
// to make room for it. One rule over every open connection, waiting for a
// thread or served: no source address holds more than a fair share of the
// places, a new connection has a grace period to send its first call, and
// a connection in the middle of a call is never closed to make room. Free
// of Windows headers, so that the rule is tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "universal_address.h"

namespace tessard {

// The TCP side's places and a new connection's grace, as the server has
// them; docs/server.md states them for administrators.
struct AdmissionLimits {
  std::size_t maxConnections = 64;  // open at once
  std::size_t maxPerSource = 16;    // of one address
  // For the first call to arrive: never closed to make room before.
  std::uint64_t graceMs = 1000;
};

// What the rule knows of an open connection.
struct OpenConnection {
  InetAddress source;  // the port is not looked at
  std::uint64_t acceptedMs = 0;
  std::uint64_t lastActiveMs = 0;  // a byte arrived (or accepted)
  bool inCall = false;             // part of a call arrived, or its reply
                                   // is on its way
};

struct AdmissionDecision {
  enum class Kind {
    kAdmit,              // there is room
    kAdmitAfterClosing,  // close open[close] first, then admit
    kRefuse,             // every place is held by a connection in its
                         // grace period or in the middle of a call
  };
  Kind kind = Kind::kAdmit;
  std::size_t close = 0;
};

// The decision for a new connection from `source` at `nowMs`:
// - a source at its share closes its own quietest connection that is not in
//   a call, grace period or not;
// - otherwise, with every place taken, the connection quiet the longest
//   among those past their grace period and not in a call closes, taken
//   from the source that holds the most places.
AdmissionDecision DecideAdmission(const std::vector<OpenConnection>& open,
                                  const InetAddress& source,
                                  std::uint64_t nowMs,
                                  const AdmissionLimits& limits);

}  // namespace tessard
