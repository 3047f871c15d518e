// libFuzzer target: a run of datagrams to a fresh port mapper, from
// callers of several accounts, with a store that fails when the input says
// and samples of the socket tables between calls. Every reply is a
// well-formed reply to its call; a datagram from another machine never
// gets back more than twice what it brought, nor over 256 bytes; the table
// never holds a key twice, never passes its bound and always keeps the
// port mapper's own entries; the store holds exactly the table's other
// registrations; and the same input on another fresh port mapper gives the
// same bytes, so nothing is carried over from one input to the next.
// Played once more with RemoteLookups for this machine only and
// RemoteListings 0, every call that is not local gets nothing at all.
#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "memory_store.h"
#include "port_mapper.h"
#include "rpc_oracle.h"

namespace {

using namespace tessard;

constexpr std::size_t kCapacity = 12;  // 8 of our own, 4 to fill
constexpr std::size_t kOwn = 8;

std::uint32_t FixedClock() { return 1700000000u; }

// Each datagram moves the monotonic clock on by a second.
std::uint64_t g_ticks = 0;
std::uint64_t Ticks() { return g_ticks; }

class Account : public IdentitySource {
 public:
  Account(const char* account, bool administrator) {
    identity_.known = account != nullptr;
    if (account) identity_.account = account;
    identity_.administrator = administrator;
  }
  Identity Identify() override { return identity_; }

 private:
  Identity identity_;
};

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

void CheckTable(RegistrationTable& table, const MemoryStore& store) {
  RegistrationTable::ReadGuard guard(table, RegistrationTable::kNoSlot);
  std::set<std::tuple<std::uint32_t, std::uint32_t, std::string>> keys;
  std::set<std::pair<std::string, std::vector<std::uint8_t>>> stored;
  std::size_t own = 0;
  for (const Registration& r : guard.snapshot()) {
    if (!keys.emplace(r.prog, r.vers, std::string(r.netid.view())).second) {
      rpc_oracle::Fail("two registrations of one key");
    }
    own += r.permanent;
    if (!r.permanent) {
      stored.emplace(StoredValueName(r), EncodeStoredRegistration(r));
    }
  }
  if (guard.snapshot().size() > kCapacity) rpc_oracle::Fail("table over bound");
  if (own != kOwn) rpc_oracle::Fail("an own registration went");
  std::set<std::pair<std::string, std::vector<std::uint8_t>>> values;
  for (const StoredValue& v : store.Values()) values.emplace(v.name, v.data);
  if (values != stored) rpc_oracle::Fail("the store and the table differ");
}

// Plays the input; returns every reply, one after the other.
std::string Play(const std::uint8_t* data, std::size_t size,
                 bool thisMachineOnly = false) {
  g_ticks = 0;
  PortMapper mapper(kCapacity, FixedClock, Ticks);
  if (thisMachineOnly) {
    Settings settings;
    settings.everyNetwork = false;
    settings.remoteListings = false;
    mapper.SetSettings(settings);
  }
  for (const char* netid : {"udp", "tcp", "udp6"})
    mapper.AddOwnTransport(netid);
  MemoryStore store;
  mapper.SetStore(&store);
  Account accounts[] = {{nullptr, false},
                        {"BOX\\alice", false},
                        {"BOX\\bob", false},
                        {"NT AUTHORITY\\SYSTEM", true}};
  PortMapper::ReaderSlot reader(mapper);
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
    // bit 3 sent to the wildcard address, as no call is; bit 4 (IPv6) from
    // the mapped address ::ffff:127.0.0.1. Local only from a loopback
    // address to one.
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
    caller.destination = Address(v6, (who & 4) == 0);
    if (who & 8) caller.destination = InetAddress();
    // Bits 6 and 7: the account, when local. Bit 5: the store fails the
    // call's change; with bit 4 and no IPv6, a sample that finds no
    // socket bound is applied after the call.
    caller.identity = &accounts[who >> 6];
    store.FailNext((who & 32) ? 1 : 0);
    g_ticks += 1000;
    caller.receivedOn = caller.destination;
    reply.clear();
    InetAddress program;
    CallOutcome outcome =
        mapper.HandleCall(reader, call, length, caller, &reply, &program);
    if (outcome == CallOutcome::kForward) {
      // The program answers with the call's own bytes as its results; the
      // caller's reply must still obey the size rule.
      if (reply.size() > length) rpc_oracle::Fail("a forward outgrew its call");
      std::vector<std::uint8_t> answer(reply.begin(), reply.begin() + 4);
      for (std::uint32_t word : {1u, 0u, 0u, 0u, 0u}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
          answer.push_back(static_cast<std::uint8_t>(word >> shift));
        }
      }
      answer.insert(answer.end(), call, call + length);
      std::vector<std::uint8_t> back;
      InetAddress to;
      if (mapper.AnswerForward(answer.data(), answer.size(), program, &back,
                               &to)) {
        if (rpc_oracle::Word(back.data()) != rpc_oracle::Word(call)) {
          rpc_oracle::Fail("a forward's reply with another xid");
        }
        if (!local && (back.size() > 2 * length || back.size() > 256)) {
          rpc_oracle::Fail("a forward's reply is amplified");
        }
      }
      reply.clear();
    }
    store.FailNext(0);
    if ((who & 16) && !v6) {
      SocketSample sample;
      sample.udpRead = sample.tcpRead = sample.udp6Read = sample.tcp6Read =
          true;
      mapper.ApplySample(sample);
    }
    if (thisMachineOnly && !caller.local() && outcome != CallOutcome::kClose) {
      rpc_oracle::Fail("a caller outside RemoteLookups was not shut out");
    }
    if (outcome == CallOutcome::kReply) {
      if (length < 4) rpc_oracle::Fail("a reply to a message without xid");
      rpc_oracle::CheckReply(reply.data(), reply.size(),
                             rpc_oracle::Word(call));
      if (reply.size() > kMaxDatagramReply)
        rpc_oracle::Fail("datagram too big");
      // Twice the call, and 256 bytes at most.
      if (!local && (reply.size() > 2 * length || reply.size() > 256)) {
        rpc_oracle::Fail("a remote datagram's reply is amplified");
      }
    } else if (!reply.empty()) {
      rpc_oracle::Fail("bytes left in the reply of a call not answered");
    }
    CheckTable(mapper.table(), store);
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
  Play(data, size, true);
  return 0;
}
