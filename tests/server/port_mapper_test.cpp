// The port mapper's procedures, driven through HandleCall with calls built
// byte by byte: what each version answers, what a registration looks like
// through the others, who may change the table, and what malformed or
// abusive calls get back.
#include "port_mapper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "admission.h"
#include "callers.h"
#include "rpc_wire.h"
#include "stream_connection.h"

namespace tessard {
namespace {

using rpc_wire::Call;
using rpc_wire::Reply;
using rpc_wire::Wire;

constexpr std::uint32_t kNfs = 100003;

class PortMapperTest : public ::testing::Test {
 protected:
  PortMapperTest() {
    mapper_.AddOwnTransport("udp");
    mapper_.AddOwnTransport("tcp");
    mapper_.AddOwnTransport("udp6");
  }

  // Sends a call; the reply, or nothing when the server stays silent.
  std::optional<Reply> Send(const Wire& call, const Caller& caller,
                            CallOutcome expected = CallOutcome::kReply) {
    std::vector<std::uint8_t> reply;
    CallOutcome outcome = mapper_.HandleCall(
        reader_, call.bytes.data(), call.bytes.size(), caller, &reply);
    EXPECT_EQ(outcome, expected);
    if (outcome != CallOutcome::kReply) {
      EXPECT_TRUE(reply.empty());
      return std::nullopt;
    }
    Reply parsed = rpc_wire::Parse(reply);
    EXPECT_EQ(parsed.xid, 0x1234u);
    EXPECT_EQ(parsed.type, 1u);
    return parsed;
  }

  // A successful call's results.
  Reply Results(const Wire& call, const Caller& caller) {
    std::optional<Reply> r = Send(call, caller);
    EXPECT_TRUE(r && r->state == 0 && r->status == 0);
    return r ? *r : Reply{};
  }

  bool Set4(std::uint32_t prog, std::uint32_t vers, std::string_view netid,
            std::string_view uaddr, std::string_view owner = "0",
            const Caller* caller = nullptr) {
    return Results(Call(4, 1).Rpcb(prog, vers, netid, uaddr, owner),
                   caller ? *caller : local_)
               .U32() == 1;
  }

  std::string GetAddr(std::uint32_t vers, std::uint32_t prog,
                      std::uint32_t progVers, std::string_view netid,
                      std::uint32_t proc = 3) {
    return Results(Call(vers, proc).Rpcb(prog, progVers, netid, ""), local_)
        .Str();
  }

  std::uint32_t GetPort(std::uint32_t prog, std::uint32_t vers,
                        std::uint32_t protocol) {
    return Results(Call(2, 3).Mapping(prog, vers, protocol, 0), local_).U32();
  }

  // The v3/v4 DUMP as lines "prog vers netid uaddr owner".
  std::vector<std::string> Dump() {
    Reply r = Results(Call(4, 4), stream_);
    std::vector<std::string> lines;
    while (r.U32() == 1) {
      std::string line = std::to_string(r.U32());
      line += " " + std::to_string(r.U32());
      for (int i = 0; i < 3; ++i) line += " " + r.Str();
      lines.push_back(line);
    }
    return lines;
  }

  static std::uint32_t Clock() { return 1700000000u; }

  PortMapper mapper_{24, Clock};
  PortMapper::ReaderSlot reader_{mapper_};
  const Caller local_ = From("udp", "127.0.0.1.4.1", "127.0.0.1.0.111");
  const Caller remote_ = From("udp", "10.77.0.2.4.1", "10.77.0.1.0.111");
  const Caller stream_ = From("tcp", "10.77.0.2.4.1", "10.77.0.1.0.111");
};

TEST_F(PortMapperTest, OwnRegistrationsAreListedAndCannotBeRemoved) {
  std::vector<std::string> own = {
      "100000 4 udp 0.0.0.0.0.111 superuser",
      "100000 3 udp 0.0.0.0.0.111 superuser",
      "100000 2 udp 0.0.0.0.0.111 superuser",
      "100000 4 tcp 0.0.0.0.0.111 superuser",
      "100000 3 tcp 0.0.0.0.0.111 superuser",
      "100000 2 tcp 0.0.0.0.0.111 superuser",
      "100000 4 udp6 ::.0.111 superuser",
      "100000 3 udp6 ::.0.111 superuser",
  };
  EXPECT_EQ(Dump(), own);
  // Version 2's DUMP (rpcinfo -p): the IPv4 entries, as mappings.
  Reply v2 = Results(Call(2, 4), stream_);
  std::vector<std::string> mappings;
  while (v2.U32() == 1) {
    std::string m = std::to_string(v2.U32());
    for (int i = 0; i < 3; ++i) m += " " + std::to_string(v2.U32());
    mappings.push_back(m);
  }
  EXPECT_EQ(mappings, (std::vector<std::string>{
                          "100000 4 17 111", "100000 3 17 111",
                          "100000 2 17 111", "100000 4 6 111",
                          "100000 3 6 111", "100000 2 6 111"}));
  EXPECT_EQ(Results(Call(4, 2).Rpcb(100000, 4, "", ""), local_).U32(), 0u);
  EXPECT_EQ(Results(Call(2, 2).Mapping(100000, 2, 17, 111), local_).U32(), 0u);
  EXPECT_FALSE(Set4(100000, 5, "tcp", "0.0.0.0.0.112"));
  EXPECT_EQ(Dump(), own);
  EXPECT_EQ(GetPort(100000, 2, 6), 111u);
}

TEST_F(PortMapperTest, RegistrationIsSeenThroughEveryVersion) {
  // Version 2 SET: an IPv4 wildcard address with the port.
  EXPECT_EQ(Results(Call(2, 1).Mapping(kNfs, 3, 17, 2049), local_).U32(), 1u);
  EXPECT_EQ(GetAddr(3, kNfs, 3, "udp"), "127.0.0.1.8.1");
  EXPECT_EQ(GetAddr(4, kNfs, 3, "udp", 9), "127.0.0.1.8.1");
  EXPECT_EQ(Dump().back(), "100003 3 udp 0.0.0.0.8.1 unknown");

  // Version 4 SET: its port through version 2; IPv6 not.
  EXPECT_TRUE(Set4(kNfs, 4, "tcp", "127.0.0.1.3.5", "alice"));
  EXPECT_TRUE(Set4(kNfs, 4, "tcp6", "::1.3.6"));
  EXPECT_EQ(GetPort(kNfs, 4, 6), 773u);
  Reply v2dump = Results(Call(2, 4), stream_);
  int nfsEntries = 0;
  while (v2dump.U32() == 1) {
    std::uint32_t prog = v2dump.U32();
    v2dump.U32();
    v2dump.U32();
    v2dump.U32();
    nfsEntries += prog == kNfs;
  }
  EXPECT_EQ(nfsEntries, 2);

  // Version 2 UNSET takes both IPv4 protocols of the version, no more.
  EXPECT_EQ(Results(Call(2, 2).Mapping(kNfs, 4, 0, 0), local_).U32(), 1u);
  EXPECT_EQ(GetPort(kNfs, 4, 6), 0u);
  EXPECT_EQ(GetAddr(4, kNfs, 4, "tcp6", 9), "::1.3.6");
  // Version 3 UNSET with no netid takes every netid.
  EXPECT_EQ(Results(Call(3, 2).Rpcb(kNfs, 4, "", ""), local_).U32(), 1u);
  EXPECT_EQ(GetAddr(4, kNfs, 4, "tcp6", 9), "");
}

TEST_F(PortMapperTest, SetRefusesWhatItCannotStore) {
  ASSERT_TRUE(Set4(kNfs, 3, "udp", "0.0.0.0.8.1"));
  // Stored as given for a netid of another kind of transport.
  EXPECT_TRUE(Set4(kNfs, 3, "local", "/run/nfs.sock"));
  const std::vector<std::string> before = Dump();
  struct Row {
    const char* what;
    std::uint32_t prog;
    std::string netid, uaddr, owner;
  } rows[] = {
      {"same program, version and netid", kNfs, "udp", "0.0.0.0.8.2", "0"},
      {"no netid", kNfs, "", "0.0.0.0.8.1", "0"},
      {"no address", kNfs, "tcp", "", "0"},
      {"not an address", kNfs, "tcp", "1.2.3.4.5", "0"},
      {"IPv6 address on udp", kNfs, "udp6", "1.2.3.4.0.5", "0"},
      {"the port mapper itself", 100000, "tcp", "0.0.0.0.0.112", "0"},
      {"control character", kNfs, "tcp", "0.0.0.0.8.1", "a\x1b[2J"},
      {"netid over 32 bytes", kNfs, std::string(33, 'n'), "x", "0"},
      {"owner over 64 bytes", kNfs, "tcp", "0.0.0.0.8.1",
       std::string(65, 'o')},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_FALSE(Set4(row.prog, 3, row.netid, row.uaddr, row.owner));
  }
  EXPECT_EQ(Results(Call(2, 1).Mapping(kNfs, 9, 99, 2049), local_).U32(), 0u);
  EXPECT_EQ(Results(Call(2, 1).Mapping(kNfs, 9, 6, 65536), local_).U32(), 0u);
  EXPECT_EQ(Dump(), before);
  // The very same registration again changes nothing and is granted, in
  // any version, as libtirpc's servers that register twice expect.
  EXPECT_TRUE(Set4(kNfs, 3, "udp", "0.0.0.0.8.1"));
  EXPECT_EQ(Results(Call(2, 1).Mapping(kNfs, 3, 17, 2049), local_).U32(), 1u);
  EXPECT_FALSE(Set4(kNfs, 3, "udp", "0.0.0.0.8.1", "0", &remote_));
  EXPECT_EQ(Dump(), before);
}

// Local means sent from a loopback address to one: neither a forged
// source nor a source of another family's loopback seen on an IPv6 socket
// makes a caller local.
TEST_F(PortMapperTest, OnlyLocalCallersChangeTheTable) {
  ASSERT_TRUE(Set4(kNfs, 3, "udp", "0.0.0.0.8.1"));
  struct Row {
    const char* what;
    Caller caller;
  } rows[] = {
      {"another machine over UDP", remote_},
      {"another machine over TCP", stream_},
      {"loopback source, sent to another address",
       From("udp", "127.0.0.1.4.1", "10.77.0.1.0.111")},
      {"loopback source, destination not known",
       From("tcp", "127.0.0.1.4.1", "")},
      {"mapped loopback source on IPv6",
       From("udp6", "::ffff:127.0.0.1.4.1", "2001:db8::1.0.111")},
      {"mapped loopback source and destination",
       From("tcp6", "::ffff:127.0.0.1.4.1", "::ffff:127.0.0.1.0.111")},
      {"IPv6 loopback source, sent to another address",
       From("udp6", "::1.4.1", "2001:db8::1.0.111")},
  };
  const std::vector<std::string> before = Dump();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Caller& c = row.caller;
    EXPECT_FALSE(Set4(kNfs, 4, "udp", "0.0.0.0.8.1", "0", &c));
    EXPECT_EQ(Results(Call(4, 2).Rpcb(kNfs, 3, "", ""), c).U32(), 0u);
    EXPECT_EQ(Results(Call(2, 1).Mapping(kNfs, 4, 6, 1), c).U32(), 0u);
    EXPECT_EQ(Results(Call(2, 2).Mapping(kNfs, 3, 0, 0), c).U32(), 0u);
    EXPECT_EQ(Dump(), before);
    // The same table for the next row, whatever this one did.
    Results(Call(4, 2).Rpcb(kNfs, 4, "", ""), local_);
    if (Dump() != before) ASSERT_TRUE(Set4(kNfs, 3, "udp", "0.0.0.0.8.1"));
  }
  const Caller local6 = From("udp6", "::1.4.1", "::1.0.111");
  EXPECT_TRUE(Set4(kNfs, 4, "udp6", "::1.8.1", "0", &local6));
  const Caller lo = From("tcp", "127.0.0.9.4.1", "127.0.0.1.0.111");
  EXPECT_EQ(Results(Call(4, 2).Rpcb(kNfs, 4, "", ""), lo).U32(), 1u);
}

TEST_F(PortMapperTest, FullTableRefusesAndStillAnswers) {
  // 24 places, 8 taken by our own registrations.
  for (std::uint32_t vers = 1; vers <= 16; ++vers) {
    ASSERT_TRUE(Set4(kNfs, vers, "udp", "127.0.0.1.8.1"));
  }
  EXPECT_FALSE(Set4(kNfs, 17, "udp", "127.0.0.1.8.1"));
  EXPECT_EQ(GetAddr(4, kNfs, 16, "udp", 9), "127.0.0.1.8.1");
  EXPECT_EQ(Dump().size(), 24u);
  EXPECT_EQ(Results(Call(4, 2).Rpcb(kNfs, 1, "udp", ""), local_).U32(), 1u);
  EXPECT_TRUE(Set4(kNfs, 17, "udp", "127.0.0.1.8.1"));
}

TEST_F(PortMapperTest, LookupsAnswerWithTheAddressTheCallCameTo) {
  ASSERT_TRUE(Set4(kNfs, 3, "udp", "0.0.0.0.8.1"));
  ASSERT_TRUE(Set4(kNfs, 3, "tcp", "192.0.2.7.8.1"));
  auto lookup = [&](std::string_view netid, std::uint32_t proc) {
    return Results(Call(4, proc).Rpcb(kNfs, 3, netid, ""), remote_).Str();
  };
  EXPECT_EQ(lookup("udp", 3), "10.77.0.1.8.1");
  EXPECT_EQ(lookup("tcp", 3), "192.0.2.7.8.1");
  // No netid: the transport's own.
  EXPECT_EQ(lookup("", 9), "10.77.0.1.8.1");
  Reply list = Results(Call(4, 11).Rpcb(kNfs, 3, "", ""), stream_);
  EXPECT_EQ(list.U32(), 1u);
  EXPECT_EQ(list.Str(), "10.77.0.1.8.1");
  EXPECT_EQ(list.Str(), "udp");
  EXPECT_EQ(list.U32(), 1u);  // connectionless
  EXPECT_EQ(list.Str(), "inet");
  EXPECT_EQ(list.Str(), "udp");

  // GETADDR falls back to another version of the program; GETVERSADDR not.
  EXPECT_EQ(GetAddr(4, kNfs, 2, "udp"), "127.0.0.1.8.1");
  EXPECT_EQ(GetAddr(4, kNfs, 2, "udp", 9), "");
  EXPECT_EQ(GetAddr(3, kNfs + 1, 3, "udp"), "");
}

TEST_F(PortMapperTest, TimeAndAddressConversions) {
  EXPECT_EQ(Results(Call(3, 6), local_).U32(), Clock());
  Reply taddr = Results(Call(4, 7).Str("127.0.0.1.0.111"), local_);
  EXPECT_EQ(taddr.U32(), 16u);
  EXPECT_EQ(taddr.U32(), 16u);
  std::vector<std::uint8_t> netbuf(taddr.body.begin() + 8,
                                   taddr.body.begin() + 24);
  EXPECT_EQ(netbuf, (std::vector<std::uint8_t>{2, 0, 0, 111, 127, 0, 0, 1, 0,
                                               0, 0, 0, 0, 0, 0, 0}));
  Wire back = Call(4, 8).U32(16);
  back.U32(16).bytes.insert(back.bytes.end(), netbuf.begin(), netbuf.end());
  EXPECT_EQ(Results(back, local_).Str(), "127.0.0.1.0.111");
  Reply bad = Results(Call(3, 7).Str("127.0.0.1"), local_);
  EXPECT_EQ(bad.U32(), 0u);
  EXPECT_EQ(bad.U32(), 0u);
  EXPECT_EQ(Results(Call(3, 8).U32(2).U32(2).U32(0x0200), local_).Str(), "");
}

TEST_F(PortMapperTest, StatisticsCountCallsSetsAndLookups) {
  ASSERT_TRUE(Set4(kNfs, 3, "udp", "0.0.0.0.8.1"));
  GetPort(kNfs, 3, 17);
  GetPort(kNfs, 3, 17);
  GetPort(kNfs, 4, 17);
  // One UNSET that removes a udp and a tcp registration counts once.
  EXPECT_EQ(Results(Call(2, 1).Mapping(kNfs, 5, 17, 1), local_).U32(), 1u);
  EXPECT_EQ(Results(Call(2, 1).Mapping(kNfs, 5, 6, 1), local_).U32(), 1u);
  EXPECT_EQ(Results(Call(2, 2).Mapping(kNfs, 5, 0, 0), local_).U32(), 1u);
  Reply stat = Results(Call(4, 12), stream_);
  // Version 2: procedures 0 to 12, sets, unsets, look-ups, remote calls.
  std::uint32_t calls[13];
  for (std::uint32_t& c : calls) c = stat.U32();
  EXPECT_EQ(calls[3], 3u);
  EXPECT_EQ(stat.U32(), 2u);  // sets through version 2
  EXPECT_EQ(stat.U32(), 1u);  // unsets
  EXPECT_EQ(stat.U32(), 1u);
  EXPECT_EQ(stat.U32(), kNfs);
  EXPECT_EQ(stat.U32(), 3u);
  EXPECT_EQ(stat.U32(), 2u);  // found
  EXPECT_EQ(stat.U32(), 0u);
  EXPECT_EQ(stat.Str(), "udp");
  EXPECT_EQ(stat.U32(), 1u);
  EXPECT_EQ(stat.U32(), kNfs);
  EXPECT_EQ(stat.U32(), 4u);
  EXPECT_EQ(stat.U32(), 0u);
  EXPECT_EQ(stat.U32(), 1u);  // not found
  EXPECT_EQ(stat.Str(), "udp");
  EXPECT_EQ(stat.U32(), 0u);  // no more look-ups
  EXPECT_EQ(stat.U32(), 0u);  // no remote calls
  // Versions 3 and 4 follow in the same layout: the SET through version 4
  // and this GETSTAT are theirs.
  for (std::uint32_t vers : {3u, 4u}) {
    SCOPED_TRACE(vers);
    for (std::uint32_t proc = 0; proc < 13; ++proc) {
      EXPECT_EQ(stat.U32(), vers == 4 && (proc == 1 || proc == 12) ? 1u : 0u);
    }
    EXPECT_EQ(stat.U32(), vers == 4 ? 1u : 0u);  // sets
    EXPECT_EQ(stat.U32(), 0u);                   // unsets
    EXPECT_EQ(stat.U32(), 0u);                   // look-ups
    EXPECT_EQ(stat.U32(), 0u);                   // remote calls
  }
  EXPECT_TRUE(stat.Done());
}

// The RFC's answer to each kind of call the server does not serve.
TEST_F(PortMapperTest, MalformedCallsGetTheRfcAnswer) {
  auto header = [](std::uint32_t rpcvers, std::uint32_t flavour) {
    Wire w;
    return w.U32(0x1234).U32(0).U32(rpcvers).U32(100000).U32(4).U32(0).U32(
        flavour);
  };
  Wire authSys = header(2, 1);
  authSys.U32(24).U32(0).Str("box").U32(0).U32(0).U32(0).U32(0).U32(0);
  Wire badSys = header(2, 1);
  badSys.U32(8).U32(0).U32(300).U32(0).U32(0);
  Wire dh = header(2, 3);
  dh.U32(0).U32(0).U32(0);
  Wire longCred = header(2, 0);
  longCred.U32(404);
  longCred.bytes.resize(longCred.bytes.size() + 404);
  longCred.U32(0).U32(0);
  Wire longVerf = header(2, 0);
  longVerf.U32(0).U32(0).U32(404);
  longVerf.bytes.resize(longVerf.bytes.size() + 404);
  Wire hugeString = Call(4, 3).U32(kNfs).U32(3).U32(0xFFFFFFFF);
  Wire hugeNetbuf = Call(4, 8).U32(16).U32(0xFFFFFFFF);
  Wire hugeMachine = header(2, 1);
  hugeMachine.U32(20).U32(0).U32(0xFFFFFFFF).U32(0).U32(0).U32(0);
  hugeMachine.U32(0).U32(0);

  struct Row {
    const char* what;
    Wire call;
    std::uint32_t state, status, low, high;
  } rows[] = {
      {"RPC version 3", header(3, 0), 1, 0, 2, 2},
      {"another program", Call(2, 0, 100001), 0, 1, 0, 0},
      {"version 1", Call(1, 0), 0, 2, 2, 4},
      {"version 5", Call(5, 0), 0, 2, 2, 4},
      {"version 2 procedure 6", Call(2, 6), 0, 3, 0, 0},
      {"version 3 procedure 9", Call(3, 9), 0, 3, 0, 0},
      {"version 4 procedure 13", Call(4, 13), 0, 3, 0, 0},
      {"SET cut short", Call(2, 1).U32(kNfs).U32(3), 0, 4, 0, 0},
      {"string of 0xFFFFFFFF bytes", hugeString, 0, 4, 0, 0},
      {"netbuf of 0xFFFFFFFF bytes", hugeNetbuf, 0, 4, 0, 0},
      {"NULL, version 2", Call(2, 0), 0, 0, 0, 0},
      {"NULL, version 3", Call(3, 0), 0, 0, 0, 0},
      {"NULL, version 4", Call(4, 0), 0, 0, 0, 0},
      {"AUTH_SYS", authSys, 0, 0, 0, 0},
      {"AUTH_SYS with 300 groups", badSys, 1, 1, 1, 0},
      {"AUTH_SYS machine name of 0xFFFFFFFF bytes", hugeMachine, 1, 1, 1, 0},
      {"AUTH_DH", dh, 1, 1, 2, 0},
      {"credential over 400 bytes", longCred, 1, 1, 1, 0},
      {"verifier over 400 bytes", longVerf, 1, 1, 3, 0},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::optional<Reply> r = Send(row.call, local_);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->state, row.state);
    EXPECT_EQ(r->status, row.status);
    bool ranged = row.low != 0 && (row.state == 0 || row.status == 0);
    if (ranged || row.state == 1) EXPECT_EQ(r->U32(), row.low);
    if (ranged) EXPECT_EQ(r->U32(), row.high);
    EXPECT_TRUE(r->Done());
  }

  Wire replyMessage;
  replyMessage.U32(0x1234).U32(1).U32(0).U32(0).U32(0).U32(0);
  Wire cutInCredential = header(2, 0);
  cutInCredential.U32(8).U32(0);
  for (const Wire* dropped : {&replyMessage, &cutInCredential}) {
    Send(*dropped, local_, CallOutcome::kMalformed);
    Send(*dropped, stream_, CallOutcome::kMalformed);
  }
  Wire tiny;
  tiny.bytes = {0, 0, 0x12, 0x34, 0, 0, 0};
  Send(tiny, local_, CallOutcome::kMalformed);
}

// What another machine's datagram gets back: never a listing, never a
// reply over twice the call or 256 bytes, and every real look-up answered.
// What is held back is refused at once with AUTH_TOOWEAK, in fewer bytes
// than the call. Over TCP each of these calls is answered.
TEST_F(PortMapperTest, RemoteDatagramsAreNotAmplified) {
  ASSERT_TRUE(Set4(kNfs, 3, "udp6",
                   "2001:db8:b6c0:1f00:d5f3:9a2e:7c41:1b2e.8.1"));
  ASSERT_TRUE(Set4(kNfs, 3, "ab", std::string(120, 'p')));
  const Caller remote6 = From("udp6", "2001:db8::7.4.1", "2001:db8::1.0.111");
  struct Row {
    const char* what;
    Wire call;
    const Caller& caller;
    bool answered;
  } rows[] = {
      {"GETADDR of a long IPv6 address",
       Call(4, 3).Rpcb(kNfs, 3, "udp6", "", ""), remote6, true},
      {"UADDR2TADDR of ::.0.111", Call(4, 7).Str("::.0.111"), remote6, true},
      {"GETADDR answered with over twice the call",
       Call(4, 3).Rpcb(kNfs, 3, "ab", "", ""), remote_, false},
      {"version 2 DUMP", Call(2, 4), remote_, false},
      {"version 3 DUMP", Call(3, 4), remote_, false},
      {"GETADDRLIST", Call(4, 11).Rpcb(kNfs, 3, "", "", ""), remote6, false},
      {"GETSTAT", Call(4, 12), remote_, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> reply;
    CallOutcome outcome =
        mapper_.HandleCall(reader_, row.call.bytes.data(),
                           row.call.bytes.size(), row.caller, &reply);
    EXPECT_EQ(outcome, CallOutcome::kReply);
    EXPECT_LE(reply.size(), 2 * row.call.bytes.size());
    Reply r = rpc_wire::Parse(reply);
    if (!row.answered) {
      EXPECT_LE(reply.size(), row.call.bytes.size());
      EXPECT_EQ(r.state, 1u);  // MSG_DENIED
      EXPECT_EQ(r.status, 1u);  // AUTH_ERROR
      EXPECT_EQ(r.U32(), 5u);  // AUTH_TOOWEAK
    } else {
      EXPECT_EQ(r.state, 0u);
    }
    EXPECT_GT(Results(row.call, stream_).body.size(), 0u);
  }
  EXPECT_TRUE(256 <= ReplyBound(remote_, 200));
  EXPECT_FALSE(260 <= ReplyBound(remote_, 200));
}

// Remote calls are forwarded on datagrams only, and not at all with
// RemoteCalls 0: then silent on datagrams (CALLIT, BCAST), refused
// otherwise.
TEST_F(PortMapperTest, RemoteCallsAreForwardedOnDatagramsOnly) {
  ASSERT_TRUE(Set4(300001, 1, "udp", "0.0.0.0.4.0"));
  ASSERT_TRUE(Set4(300001, 1, "tcp", "0.0.0.0.4.0"));
  for (std::uint32_t proc : {5u, 10u}) {
    std::optional<Reply> r = Send(Call(4, proc), stream_);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 3u);  // PROC_UNAVAIL
  }
  Wire callit = Call(2, 5).U32(300001).U32(1).U32(1).U32(0);
  Wire indirect = Call(4, 10).U32(300001).U32(1).U32(1).U32(0);
  InetAddress to;
  std::vector<std::uint8_t> sent;
  EXPECT_EQ(mapper_.HandleCall(reader_, callit.bytes.data(),
                               callit.bytes.size(), remote_, &sent, &to),
            CallOutcome::kForward);
  Settings off;
  off.remoteCalls = false;
  mapper_.SetSettings(off);
  Send(Call(2, 5).Mapping(kNfs, 3, 0, 0), local_, CallOutcome::kSilent);
  Send(callit, remote_, CallOutcome::kSilent);
  std::optional<Reply> r = Send(indirect, local_);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 3u);
}

// A remote call goes out as a call of our own to the program the caller
// could reach, and the program's reply comes back to the caller; one that
// may not go is recorded, and silent but for INDIRECT.
TEST_F(PortMapperTest, RemoteCallsGoWhereTheRulesLetThem) {
  ASSERT_TRUE(Set4(300001, 1, "udp", "0.0.0.0.4.0"));
  ASSERT_TRUE(Set4(300002, 1, "udp", "127.0.0.1.4.1"));
  ASSERT_TRUE(Set4(kNfs, 3, "udp", "0.0.0.0.8.1"));
  auto remoteCall = [](std::uint32_t vers, std::uint32_t proc,
                       std::uint32_t prog) {
    return Call(vers, proc).U32(prog).U32(prog == kNfs ? 3 : 1).U32(1).U32(
        4).U32(41);
  };
  enum Heard { kForwarded, kNothing, kProgUnavail, kGarbage };
  struct Row {
    const char* what;
    Wire call;
    const Caller& caller;
    Heard heard;
    const char* to;
  } rows[] = {
      {"CALLIT to the wildcard", remoteCall(2, 5, 300001), remote_, kForwarded,
       "10.77.0.1.4.0"},
      {"INDIRECT, local caller, loopback registration",
       remoteCall(4, 10, 300002), local_, kForwarded, "127.0.0.1.4.1"},
      {"BCAST, remote caller, loopback registration",
       remoteCall(4, 5, 300002), remote_, kNothing, nullptr},
      {"INDIRECT, remote caller, loopback registration",
       remoteCall(4, 10, 300002), remote_, kProgUnavail, nullptr},
      {"CALLIT of NFS", remoteCall(3, 5, kNfs), local_, kNothing, nullptr},
      {"INDIRECT of NFS", remoteCall(4, 10, kNfs), local_, kProgUnavail,
       nullptr},
      {"CALLIT of the port mapper", remoteCall(2, 5, 100000), local_,
       kNothing, nullptr},
      {"INDIRECT, not registered", remoteCall(4, 10, 300009), remote_,
       kProgUnavail, nullptr},
      {"CALLIT cut short", Call(2, 5).U32(300001).U32(1), remote_, kNothing,
       nullptr},
      {"INDIRECT cut short", Call(4, 10).U32(300001).U32(1), remote_, kGarbage,
       nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> sent;
    InetAddress to;
    CallOutcome outcome =
        mapper_.HandleCall(reader_, row.call.bytes.data(),
                           row.call.bytes.size(), row.caller, &sent, &to);
    EXPECT_EQ(outcome, row.heard == kForwarded ? CallOutcome::kForward
                       : row.heard == kNothing ? CallOutcome::kSilent
                                               : CallOutcome::kReply);
    if (row.heard == kProgUnavail || row.heard == kGarbage) {
      EXPECT_EQ(rpc_wire::Parse(sent).status, row.heard == kGarbage ? 4u : 1u);
    }
    if (row.heard != kForwarded) continue;
    char text[kMaxInetUaddr];
    EXPECT_EQ(std::string(text, FormatUniversalAddress(to, text)), row.to);
    // Our own xid (the bytes of the call: remote_calls_test.cpp).
    EXPECT_NE(LoadU32(sent.data()), 0x1234u);

    // The program's reply, from where the call went, reaches the caller;
    // a second copy of it, or one from elsewhere, does not.
    Wire answer;
    answer.U32(LoadU32(sent.data())).U32(1).U32(0).U32(0).U32(0).U32(0).U32(
        42);
    std::vector<std::uint8_t> reply;
    InetAddress caller;
    InetAddress elsewhere = to;
    elsewhere.port ^= 1;
    EXPECT_FALSE(mapper_.AnswerForward(answer.bytes.data(),
                                       answer.bytes.size(), elsewhere, &reply,
                                       &caller));
    ASSERT_TRUE(mapper_.AnswerForward(answer.bytes.data(), answer.bytes.size(),
                                      to, &reply, &caller));
    EXPECT_TRUE(SameHost(caller, row.caller.source));
    Reply r = rpc_wire::Parse(reply);
    EXPECT_EQ(r.xid, 0x1234u);
    EXPECT_EQ(r.status, 0u);
    reply.clear();
    EXPECT_FALSE(mapper_.AnswerForward(answer.bytes.data(),
                                       answer.bytes.size(), to, &reply,
                                       &caller));
  }
}

// RemoteLookups 10.77.0.0/24 and 2001:db8::/32, RemoteListings 0: a
// caller outside gets nothing whatever it sends, loopback callers are
// never refused, listings to other machines are refused with AUTH_TOOWEAK.
TEST_F(PortMapperTest, SettingsShutOutCallersAndKeepListings) {
  SettingsValues values;
  values.remoteLookups.state = MultiStringValue::State::kPresent;
  values.remoteLookups.lines = {"10.77.0.0/24", "2001:db8::/32"};
  values.remoteListings.state = DwordValue::State::kPresent;
  Settings settings;
  SettingsError error;
  ASSERT_TRUE(ParseSettings(values, &settings, &error)) << error.text();
  mapper_.SetSettings(settings);
  const Caller outside = From("udp", "10.78.0.2.4.1", "10.77.0.1.0.111");
  const Caller outsideTcp = From("tcp", "10.78.0.2.4.1", "10.77.0.1.0.111");
  const Caller mapped =
      From("tcp6", "::ffff:10.77.0.2.4.1", "2001:db8::1.0.111");
  const Caller inside6 = From("tcp6", "2001:db8::7.4.1", "2001:db8::1.0.111");
  const Caller loopbackTcp = From("tcp", "127.0.0.1.4.1", "10.77.0.1.0.111");
  enum Answer { kShut, kAnswered, kTooWeak };
  struct Row {
    const char* what;
    Wire call;
    const Caller& caller;
    Answer answer;
  } rows[] = {
      {"NULL from outside", Call(4, 0), outside, kShut},
      {"RPC version 3 from outside", Wire().U32(0x1234).U32(0).U32(3), outside,
       kShut},
      {"GETADDR from outside over TCP", Call(4, 3).Rpcb(kNfs, 3, "", ""),
       outsideTcp, kShut},
      {"an IPv4-mapped source", Call(4, 0), mapped, kShut},
      {"GETADDR from inside", Call(4, 3).Rpcb(kNfs, 3, "", ""), remote_,
       kAnswered},
      {"DUMP over TCP", Call(4, 4), stream_, kTooWeak},
      {"GETADDRLIST over TCP", Call(4, 11).Rpcb(kNfs, 3, "", ""), inside6,
       kTooWeak},
      {"GETSTAT over TCP", Call(4, 12), stream_, kTooWeak},
      {"DUMP over UDP", Call(4, 4), remote_, kTooWeak},
      {"DUMP from this machine", Call(4, 4), local_, kAnswered},
      {"DUMP from a loopback TCP source", Call(4, 4), loopbackTcp, kAnswered},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    CallOutcome outcome =
        row.answer == kShut ? CallOutcome::kClose : CallOutcome::kReply;
    std::optional<Reply> r = Send(row.call, row.caller, outcome);
    if (row.answer == kTooWeak) {
      ASSERT_TRUE(r);
      EXPECT_EQ(r->state, 1u);   // MSG_DENIED
      EXPECT_EQ(r->status, 1u);  // AUTH_ERROR
      EXPECT_EQ(r->U32(), 5u);   // AUTH_TOOWEAK
      EXPECT_TRUE(r->Done());
    }
    if (row.answer == kAnswered) EXPECT_TRUE(r && r->state == 0);
  }
  EXPECT_FALSE(mapper_.LetConnectionIn(reader_, outsideTcp));
  EXPECT_FALSE(mapper_.LetConnectionIn(reader_, mapped));
  EXPECT_TRUE(mapper_.LetConnectionIn(reader_, stream_));
  EXPECT_TRUE(mapper_.LetConnectionIn(reader_, loopbackTcp));

  // A connection already open closes at its next call once outside.
  StreamConnection connection;
  connection.Open(stream_);
  Wire record = Wire().U32(0x80000000u | 40);
  Wire null = Call(4, 0);
  ASSERT_EQ(null.bytes.size(), 40u);
  record.bytes.insert(record.bytes.end(), null.bytes.begin(), null.bytes.end());
  std::size_t used = 0;
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(connection.Receive(mapper_, reader_, record.bytes.data(),
                                 record.bytes.size(), &used, &out));
  EXPECT_FALSE(out.empty());
  settings.lookups.clear();  // this machine only
  mapper_.SetSettings(settings);
  EXPECT_FALSE(connection.Receive(mapper_, reader_, record.bytes.data(),
                                  record.bytes.size(), &used, &out));
  Send(Call(4, 0), stream_, CallOutcome::kClose);
  // This machine is still served.
  EXPECT_EQ(Results(Call(4, 4), local_).U32(), 1u);
  EXPECT_EQ(Results(Call(4, 4), loopbackTcp).U32(), 1u);

  mapper_.SetSettings(Settings());
  Send(Call(4, 0), outside);
  EXPECT_EQ(Results(Call(4, 4), outsideTcp).body,
            Results(Call(4, 4), local_).body);
}

// Settings swapped while calls are served: each call sees one whole
// settings value, and none is freed under a reader (ASan would say).
TEST_F(PortMapperTest, SettingsChangeWhileServing) {
  Settings open;
  Settings closed;
  closed.everyNetwork = false;
  std::atomic<bool> done{false};
  std::thread serving([&] {
    PortMapper::ReaderSlot reader(mapper_);
    Wire null = Call(4, 0);
    while (!done.load()) {
      std::vector<std::uint8_t> reply;
      CallOutcome outcome = mapper_.HandleCall(
          reader, null.bytes.data(), null.bytes.size(), remote_, &reply);
      EXPECT_TRUE(outcome == CallOutcome::kReply ||
                  outcome == CallOutcome::kClose);
    }
  });
  for (int i = 0; i < 2000; ++i) mapper_.SetSettings(i % 2 ? open : closed);
  done.store(true);
  serving.join();
  Send(Call(4, 0), remote_);
}

TEST_F(PortMapperTest, DatagramTooSmallForTheReplyGetsSystemError) {
  PortMapper big(kMaxRegistrations, Clock);
  PortMapper::ReaderSlot reader(big);
  std::vector<std::uint8_t> reply;
  for (std::uint32_t vers = 0; vers < 100; ++vers) {
    Wire set = Call(4, 1).Rpcb(kNfs, vers, "local",
                               "/run/" + std::string(100, 'p'));
    ASSERT_EQ(big.HandleCall(reader, set.bytes.data(), set.bytes.size(),
                             local_, &reply),
              CallOutcome::kReply);
    reply.clear();
  }
  Wire dump = Call(4, 4);
  big.HandleCall(reader, dump.bytes.data(), dump.bytes.size(), local_, &reply);
  EXPECT_EQ(rpc_wire::Parse(reply).status, 5u);  // SYSTEM_ERR
  reply.clear();
  big.HandleCall(reader, dump.bytes.data(), dump.bytes.size(), stream_,
                 &reply);
  EXPECT_EQ(rpc_wire::Parse(reply).status, 0u);
  EXPECT_GT(reply.size(), kMaxDatagramReply);
}

}  // namespace
}  // namespace tessard
