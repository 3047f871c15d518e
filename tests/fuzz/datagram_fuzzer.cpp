// libFuzzer target: a run of datagrams to a fresh port mapper. Every reply
// is a well-formed reply to its call; a datagram from another machine
// never gets back more bytes than it brought; the table never holds a key
// twice, never passes its bound and always keeps the port mapper's own
// entries; and the same input on another fresh port mapper gives the same
// bytes, so nothing is carried over from one input to the next.
#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "port_mapper.h"
#include "rpc_oracle.h"

namespace {

using namespace tessard;

constexpr std::size_t kCapacity = 12;  // 8 of our own, 4 to fill
constexpr std::size_t kOwn = 8;

std::uint32_t FixedClock() { return 1700000000u; }

void CheckTable(RegistrationTable& table) {
  RegistrationTable::ReadGuard guard(table, RegistrationTable::kNoSlot);
  std::set<std::tuple<std::uint32_t, std::uint32_t, std::string>> keys;
  std::size_t own = 0;
  for (const Registration& r : guard.snapshot()) {
    if (!keys.emplace(r.prog, r.vers, std::string(r.netid.view())).second) {
      rpc_oracle::Fail("two registrations of one key");
    }
    own += r.permanent;
  }
  if (guard.snapshot().size() > kCapacity) rpc_oracle::Fail("table over bound");
  if (own != kOwn) rpc_oracle::Fail("an own registration went");
}

// Plays the input; returns every reply, one after the other.
std::string Play(const std::uint8_t* data, std::size_t size) {
  PortMapper mapper(kCapacity, FixedClock);
  for (const char* netid : {"udp", "tcp", "udp6"}) mapper.AddOwnTransport(netid);
  PortMapper::Worker worker(mapper);
  std::string replies;
  std::vector<std::uint8_t> reply;
  reply.reserve(kMaxDatagramReply);
  // Each datagram: a byte saying who sends it, two of length, the bytes.
  std::size_t pos = 0;
  while (size - pos >= 3) {
    std::uint8_t who = data[pos];
    std::size_t length = std::size_t{data[pos + 1]} << 8 | data[pos + 2];
    pos += 3;
    length = std::min(length, size - pos);
    const std::uint8_t* call = data + pos;
    pos += length;

    Caller caller;
    caller.netid = (who & 2) ? "udp6" : "udp";
    caller.loopback = (who & 1) != 0;
    caller.hasLocal = (who & 4) != 0;
    if (caller.hasLocal) {
      caller.local.v6 = (who & 2) != 0;
      caller.local.host[0] = 10;
    }
    reply.clear();
    CallOutcome outcome = mapper.HandleCall(worker, call, length, caller,
                                            &reply);
    if (outcome == CallOutcome::kReply) {
      if (length < 4) rpc_oracle::Fail("a reply to a message without xid");
      rpc_oracle::CheckReply(reply.data(), reply.size(),
                             rpc_oracle::Word(call));
      if (reply.size() > kMaxDatagramReply) rpc_oracle::Fail("datagram too big");
      if (!caller.loopback && reply.size() > length) {
        rpc_oracle::Fail("a remote datagram got back more than it brought");
      }
    } else if (!reply.empty()) {
      rpc_oracle::Fail("bytes left in the reply of a call not answered");
    }
    CheckTable(mapper.table());
    replies.append(reinterpret_cast<const char*>(reply.data()), reply.size());
    replies += static_cast<char>(outcome);
  }
  return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (Play(data, size) != Play(data, size)) {
    rpc_oracle::Fail("the same input answered differently");
  }
  return 0;
}
