// Callers for the core's tests, written as universal addresses.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "caller.h"

namespace tessard {

// A caller of the netid's transport, from and to universal addresses (an
// empty destination: the wildcard address, to which no call is sent).
inline Caller From(std::string_view netid, std::string_view source,
                   std::string_view destination) {
  Caller caller;
  caller.netid = netid;
  caller.transport = ClassifyNetid(netid).stream ? Transport::kStream
                                                 : Transport::kDatagram;
  EXPECT_TRUE(ParseUniversalAddress(source, &caller.source)) << source;
  if (!destination.empty()) {
    EXPECT_TRUE(ParseUniversalAddress(destination, &caller.destination));
    caller.receivedOn = caller.destination;
  }
  return caller;
}

}  // namespace tessard
