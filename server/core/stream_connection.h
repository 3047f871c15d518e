// One TCP connection's calls: the framed byte stream in (message_framing.h),
// the framed replies out. The Windows program feeds it what recv gives and
// sends what it returns; the stream fuzzer drives the same code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "message_framing.h"
#include "port_mapper.h"

namespace tessard {

class StreamConnection {
 public:
  StreamConnection();

  // Starts a new connection from this caller.
  void Open(const Caller& caller);

  // Takes received bytes up to the end of the first call they complete,
  // and appends that call's framed reply, if any, to *out; *used tells how
  // many bytes it took, so that the caller sends each reply before it
  // hands over the rest (a stream of calls for large replies must not pile
  // them up in memory). False when the stream must be closed: a message
  // over the bound, too many fragments, a message that is no call, or no
  // memory left for even an error reply. Nothing throws.
  bool Receive(PortMapper& mapper, PortMapper::ReaderSlot& reader,
               const std::uint8_t* data, std::size_t size, std::size_t* used,
               std::vector<std::uint8_t>* out);

  // True while part of a call has arrived and the rest has not.
  bool inMessage() const { return assembler_.inMessage(); }

 private:
  Caller caller_;
  MessageAssembler assembler_;
};

}  // namespace tessard
