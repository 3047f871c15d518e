// libFuzzer target: a run of datagrams to a fresh port mapper. Every reply
// is a well-formed reply to its call; a datagram from another machine
// never gets back more than twice what it brought, nor over 256 bytes; the
// table never holds a key twice, never passes its bound and always keeps
// the port mapper's own entries; and the same input on another fresh port
// mapper gives the same bytes, so nothing is carried over from one input
// to the next.
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

// A loopback address (127.0.0.1, ::1) or one of another machine's network
// (10.0.0.x, 10::x).
InetAddress Address(bool v6, bool loopback) {
  InetAddress a;
  a.v6 = v6;
  if (loopback) {
    a.host[v6 ? 15 : 0] = v6 ? 1 : 127;
    if (!v6) a.host[3] = 1;
  } else {
    a.host[0] = 10;
    a.host[v6 ? 15 : 3] = 1;
  }
  return a;
}

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

    // Who sends it: bit 0 from a loopback address, else from 10.0.0.1;
    // bit 1 over IPv6; bit 2 sent to 10.0.0.1 rather than to loopback;
    // bit 3 sent to an address not known; bit 4 (IPv6) from the mapped
    // address ::ffff:127.0.0.1. Local only from a loopback address to one.
    bool v6 = (who & 2) != 0;
    bool mapped = v6 && (who & 16) != 0;
    bool local = (who & 1) && !(who & 4) && !(who & 8) && !mapped;
    Caller caller;
    caller.netid = v6 ? "udp6" : "udp";
    caller.source = Address(v6, (who & 1) != 0);
    if (mapped) {
      caller.source.host[10] = caller.source.host[11] = 0xFF;
      caller.source.host[12] = 127;
      caller.source.host[15] = 1;
    }
    caller.hasDestination = (who & 8) == 0;
    caller.destination = Address(v6, (who & 4) == 0);
    reply.clear();
    CallOutcome outcome = mapper.HandleCall(worker, call, length, caller,
                                            &reply);
    if (outcome == CallOutcome::kReply) {
      if (length < 4) rpc_oracle::Fail("a reply to a message without xid");
      rpc_oracle::CheckReply(reply.data(), reply.size(),
                             rpc_oracle::Word(call));
      if (reply.size() > kMaxDatagramReply) rpc_oracle::Fail("datagram too big");
      // Twice the call, and 256 bytes at most.
      if (!local && (reply.size() > 2 * length || reply.size() > 256)) {
        rpc_oracle::Fail("a remote datagram's reply is amplified");
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
