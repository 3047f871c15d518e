// libFuzzer target: one TCP connection's byte stream, split into receives
// at places the input chooses. The replies and the moment the connection
// closes do not depend on the split; the stream closes exactly when a
// plain reading of its marks finds a record past the bounds; each reply
// record is a well-formed reply to a call of the stream, in order.
#include <cstring>
#include <string>

#include "rpc_oracle.h"
#include "stream_connection.h"

namespace {

using namespace tessard;

std::uint32_t FixedClock() { return 1700000000u; }

struct Played {
  std::string out;
  bool closed = false;
};

Played Play(const std::uint8_t* stream, std::size_t size,
            const std::uint8_t* cuts, std::size_t cutCount, bool loopback) {
  PortMapper mapper(16, FixedClock);
  mapper.AddOwnTransport("tcp");
  PortMapper::ReaderSlot reader(mapper);
  StreamConnection connection;
  Caller caller;
  caller.netid = "tcp";
  caller.source.host[0] = caller.destination.host[0] = loopback ? 127 : 10;
  caller.source.host[3] = 2;
  caller.destination.host[3] = 1;
  caller.receivedOn = caller.destination;
  connection.Open(caller);
  Played played;
  std::vector<std::uint8_t> reply;
  std::size_t pos = 0;
  for (std::size_t i = 0; pos < size && !played.closed; ++i) {
    // Receives of 1 to 256 bytes, as the cuts say; the rest at once.
    std::size_t chunk = i < cutCount ? std::size_t{cuts[i]} + 1 : size - pos;
    std::size_t end = pos + std::min(chunk, size - pos);
    while (pos < end) {
      std::size_t used = 0;
      reply.clear();
      bool open = connection.Receive(mapper, reader, stream + pos, end - pos,
                                     &used, &reply);
      if (used == 0 && open) rpc_oracle::Fail("bytes offered, none taken");
      pos += used;
      played.out.append(reinterpret_cast<const char*>(reply.data()),
                        reply.size());
      if (!open) {
        played.closed = true;
        break;
      }
    }
  }
  return played;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  bool loopback = data[0] & 1;
  std::size_t cutCount = std::min<std::size_t>(data[1], size - 2);
  const std::uint8_t* cuts = data + 2;
  const std::uint8_t* stream = cuts + cutCount;
  std::size_t length = size - 2 - cutCount;

  Played split = Play(stream, length, cuts, cutCount, loopback);
  Played whole = Play(stream, length, nullptr, 0, loopback);
  if (split.out != whole.out || split.closed != whole.closed) {
    rpc_oracle::Fail("the replies depend on how the stream was split");
  }

  rpc_oracle::Records plain =
      rpc_oracle::SplitStream(stream, length, kMaxCallSize, kMaxFragments);
  // Each reply answers one of the records, in order.
  std::size_t next = 0;
  const auto* out = reinterpret_cast<const std::uint8_t*>(whole.out.data());
  for (std::size_t pos = 0; pos < whole.out.size();) {
    if (whole.out.size() - pos < 4) rpc_oracle::Fail("cut reply mark");
    std::uint32_t mark = rpc_oracle::Word(out + pos);
    std::size_t body = mark & 0x7FFFFFFF;
    if (!(mark & 0x80000000u) || whole.out.size() - pos - 4 < body) {
      rpc_oracle::Fail("reply record mark wrong");
    }
    while (next < plain.records.size() &&
           (plain.records[next].size() < 4 ||
            rpc_oracle::Word(reinterpret_cast<const std::uint8_t*>(
                plain.records[next].data())) != rpc_oracle::Word(out + pos + 4))) {
      ++next;
    }
    if (next == plain.records.size()) rpc_oracle::Fail("reply to no call");
    rpc_oracle::CheckReply(out + pos + 4, body,
                           rpc_oracle::Word(out + pos + 4));
    if (body > kMaxStreamReply) rpc_oracle::Fail("stream reply too big");
    ++next;
    pos += 4 + body;
  }
  // Closed for a record past the bounds, or a message that is no call.
  if (plain.closed && !whole.closed) rpc_oracle::Fail("record past bounds taken");
  return 0;
}
