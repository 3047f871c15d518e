// Calls out of a framed stream, replies into one.
#include "stream_connection.h"

#include <new>

namespace tessard {

StreamConnection::StreamConnection()
    : assembler_(kMaxCallSize, kMaxFragments) {}

void StreamConnection::Open(const Caller& caller) {
  caller_ = caller;
  caller_.transport = Transport::kStream;
  assembler_.Reset();
}

bool StreamConnection::Receive(PortMapper& mapper,
                               PortMapper::ReaderSlot& reader,
                               const std::uint8_t* data, std::size_t size,
                               std::size_t* used,
                               std::vector<std::uint8_t>* out) {
  MessageAssembler::Status status = assembler_.Feed(data, size, used);
  if (status == MessageAssembler::Status::kNeedMore) return true;
  if (status != MessageAssembler::Status::kMessage) return false;
  Bytes message = assembler_.message();
  std::size_t mark = out->size();
  try {
    out->resize(mark + kFragmentMarkSize);
  } catch (const std::bad_alloc&) {
    return false;  // no room for any reply: this connection closes
  }
  switch (mapper.HandleCall(reader, message.data, message.size, caller_, out)) {
    case CallOutcome::kReply:
      PutFragmentMark(out->data() + mark,
                      out->size() - mark - kFragmentMarkSize);
      return true;
    case CallOutcome::kSilent:
      out->resize(mark);
      return true;
    case CallOutcome::kClose:
    case CallOutcome::kMalformed:
    case CallOutcome::kOutOfMemory:
    case CallOutcome::kForward:  // never on a stream: nowhere to forward
      break;
  }
  out->resize(mark);
  return false;
}

}  // namespace tessard
