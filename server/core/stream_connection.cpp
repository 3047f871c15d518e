// Calls out of a record-marked stream, replies into one.
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

bool StreamConnection::Receive(PortMapper& mapper, PortMapper::Worker& worker,
                               const std::uint8_t* data, std::size_t size,
                               std::size_t* used,
                               std::vector<std::uint8_t>* out) {
  RecordAssembler::Status status = assembler_.Feed(data, size, used);
  if (status == RecordAssembler::Status::kNeedMore) return true;
  if (status != RecordAssembler::Status::kRecord) return false;
  Bytes record = assembler_.record();
  std::size_t mark = out->size();
  try {
    out->resize(mark + kRecordMarkSize);
  } catch (const std::bad_alloc&) {
    return false;  // no room for any reply: this connection closes
  }
  switch (mapper.HandleCall(worker, record.data, record.size, caller_, out)) {
    case CallOutcome::kReply:
      PutRecordMark(out->data() + mark, out->size() - mark - kRecordMarkSize);
      return true;
    case CallOutcome::kSilent:
      out->resize(mark);
      return true;
    case CallOutcome::kClose:
    case CallOutcome::kMalformed:
    case CallOutcome::kOutOfMemory:
      break;
  }
  out->resize(mark);
  return false;
}

}  // namespace tessard
