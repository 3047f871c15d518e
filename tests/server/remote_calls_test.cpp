// Remote calls as data: the refused list, where a call may go, the call
// forwarded, the table of forwards in flight and the reply its caller
// gets, checked against calls and replies built byte by byte.
#include "remote_calls.h"

#include <gtest/gtest.h>

#include <set>

#include "callers.h"
#include "rpc_wire.h"

namespace tessard {
namespace {

using rpc_wire::Wire;

InetAddress Address(std::string_view uaddr) {
  InetAddress a;
  EXPECT_TRUE(ParseUniversalAddress(uaddr, &a)) << uaddr;
  return a;
}

std::string Text(const InetAddress& a) {
  char buffer[kMaxInetUaddr];
  return std::string(buffer, FormatUniversalAddress(a, buffer));
}

Bytes View(const Wire& w) { return Bytes{w.bytes.data(), w.bytes.size()}; }

TEST(RemoteCallsTest, RefusedProgramsAndProcedures) {
  struct Row {
    std::uint32_t prog, proc;
    bool refused;
  } rows[] = {
      {100000, 3, true},  {100003, 0, true},  {100003, 1, true},
      {100005, 1, true},  {100005, 0, false}, {100005, 3, false},
      {100004, 0, true},  {100004, 1, false}, {100004, 2, false},
      {100004, 3, true},  {100004, 8, true},  {100009, 1, true},
      {100007, 2, true},  {100007, 1, false}, {100024, 1, false},
      {100021, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.prog) + " " + std::to_string(row.proc));
    EXPECT_EQ(RefusedForward(row.prog, row.proc) != nullptr, row.refused);
  }
}

TEST(RemoteCallsTest, ArgumentsDecode) {
  const Wire head = Wire().U32(7).U32(1).U32(2);
  struct Row {
    const char* what;
    Wire args;
    bool ok;
  } rows[] = {
      {"eight bytes of arguments", Wire(head).U32(8).U32(1).U32(2), true},
      {"no arguments", Wire(head).U32(0), true},
      {"arguments cut short", Wire(head).U32(8).U32(1), false},
      {"a length of 0xFFFFFFFF", Wire(head).U32(0xFFFFFFFF), false},
      {"arguments not in whole units", Wire(head).Str("abc"), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    XdrReader in(row.args.bytes.data(), row.args.bytes.size());
    RemoteCallArgs a;
    EXPECT_EQ(ReadRemoteCallArgs(in, &a), row.ok);
    if (row.ok) {
      EXPECT_EQ(a.prog, 7u);
      EXPECT_EQ(a.proc, 2u);
      EXPECT_EQ(a.args.size + 16, row.args.bytes.size());
    }
  }
}

// A remote call goes to the registration of its program and version on
// its own netid, only where its caller could have sent it directly; the
// wildcard address is shown as the address the call came to (for a
// broadcast or multicast, its interface's).
TEST(RemoteCallsTest, ForwardsGoWhereTheCallerCouldReach) {
  const struct {
    std::uint32_t vers;
    const char *netid, *uaddr;
  } registered[] = {
      {1, "udp", "0.0.0.0.4.0"},   {2, "udp", "127.0.0.1.4.1"},
      {3, "udp", "10.77.0.1.4.2"}, {4, "udp", "10.77.0.2.4.3"},
      {1, "udp6", "::.4.4"},       {2, "udp6", "::1.4.5"},
      {5, "tcp", "0.0.0.0.4.6"},   {6, "udp", "not an address"},
  };
  std::vector<Registration> table;
  for (const auto& g : registered) {
    Registration& r = table.emplace_back();
    r.prog = 300001;
    r.vers = g.vers;
    r.netid.Assign(g.netid);
    r.uaddr.Assign(g.uaddr);
  }
  constexpr auto kNone = ForwardRefusal::kNone;
  constexpr auto kNotReachable = ForwardRefusal::kNotReachable;
  constexpr auto kNotRegistered = ForwardRefusal::kNotRegistered;
  // Callers, and the addresses their calls came to.
  const char *local = "127.0.0.1.9.9", *remote = "10.88.0.2.9.9";
  const char *loopback = "127.0.0.1.0.111", *other = "10.77.0.1.0.111";
  const char *remote6 = "2001:db8::7.9.9", *other6 = "2001:db8::1.0.111";
  struct Row {
    const char* what;
    std::uint32_t vers;
    const char *netid, *source, *receivedOn;
    ForwardRefusal refusal;
    const char* to;  // where the call goes and what the caller is shown
  } rows[] = {
      {"wildcard, local caller", 1, "udp", local, loopback, kNone,
       "127.0.0.1.4.0"},
      {"wildcard, remote caller", 1, "udp", remote, other, kNone,
       "10.77.0.1.4.0"},
      {"loopback, local caller", 2, "udp", local, loopback, kNone,
       "127.0.0.1.4.1"},
      {"loopback, remote caller", 2, "udp", remote, other, kNotReachable,
       nullptr},
      {"the address called", 3, "udp", remote, other, kNone, "10.77.0.1.4.2"},
      {"another address of this machine", 4, "udp", remote, other,
       kNotReachable, nullptr},
      {"another address, local caller", 4, "udp", local, loopback,
       kNotReachable, nullptr},
      {"the version is not registered", 7, "udp", remote, other, kNotRegistered,
       nullptr},
      {"registered on tcp only", 5, "udp", remote, other, kNotRegistered,
       nullptr},
      {"an address that does not parse", 6, "udp", local, loopback,
       kNotReachable, nullptr},
      {"udp6 wildcard", 1, "udp6", remote6, other6, kNone, "2001:db8::1.4.4"},
      {"udp6 loopback, remote caller", 2, "udp6", remote6, other6,
       kNotReachable, nullptr},
      {"udp6 loopback, local caller", 2, "udp6", "::1.9.9", "::1.0.111", kNone,
       "::1.4.5"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RemoteCallArgs args;
    args.prog = 300001;
    args.vers = row.vers;
    ForwardTarget target;
    EXPECT_EQ(
        ChooseForward(table, args, From(row.netid, row.source, row.receivedOn),
                      Address(row.receivedOn), &target),
        row.refusal);
    if (row.to) {
      EXPECT_EQ(Text(target.program), row.to);
      EXPECT_EQ(Text(target.shown), row.to);
    }
  }
}

TEST(RemoteCallsTest, ForwardedCallCarriesTheCallersCredentialOnly) {
  const Wire sys = Wire().U32(7).Str("box").U32(1000).U32(100).U32(1).U32(27);
  const Wire args = Wire().U32(42).U32(43);
  struct Row {
    const char* what;
    std::uint32_t flavour;
    Wire body;
    bool forwarded;
  } rows[] = {
      {"AUTH_NONE", 0, Wire(), true},
      {"AUTH_SYS", 1, sys, true},
      {"AUTH_DH", 3, Wire().U32(0), false},
      {"RPCSEC_GSS", 6, Wire().U32(1).U32(0), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    OpaqueAuth cred;
    cred.flavor = row.flavour;
    cred.body = View(row.body);
    EXPECT_EQ(MayForwardCredential(cred), row.forwarded);
    if (!row.forwarded) continue;
    RemoteCallArgs a;
    a.prog = 300001;
    a.vers = 2;
    a.proc = 9;
    a.args = View(args);
    std::vector<std::uint8_t> sent;
    XdrWriter out(&sent, 8800);
    WriteForwardedCall(out, 0xCAFE, cred, a);
    Wire expected = Wire().U32(0xCAFE).U32(0).U32(2).U32(300001).U32(2).U32(9);
    expected.U32(row.flavour)
        .U32(static_cast<std::uint32_t>(row.body.bytes.size()));
    expected.bytes.insert(expected.bytes.end(), row.body.bytes.begin(),
                          row.body.bytes.end());
    expected.U32(0).U32(0).U32(42).U32(43);
    EXPECT_EQ(sent, expected.bytes);
  }
}

PendingForward Forward() {
  PendingForward f;
  f.target.program = Address("10.77.0.1.4.0");
  f.target.shown = f.target.program;
  return f;
}

// A fixed number in flight, the rest dropped and counted; each freed by
// its reply, from its program only, or at its deadline.
TEST(RemoteCallsTest, ForwardsInFlightAreBounded) {
  ForwardTable table(4, 3000, 1);
  std::vector<std::uint32_t> added;
  for (int i = 0; i < 4; ++i) {
    PendingForward f = Forward();
    ASSERT_TRUE(table.Add(&f, 1000 + i));
    EXPECT_EQ(f.deadline, 4000u + i);
    added.push_back(f.xid);
  }
  const std::set<std::uint32_t> xids(added.begin(), added.end());
  EXPECT_EQ(xids.size(), 4u);
  PendingForward extra = Forward();
  EXPECT_FALSE(table.Add(&extra, 1500));
  EXPECT_FALSE(table.Add(&extra, 1600));
  EXPECT_EQ(table.dropped(), 2u);
  EXPECT_EQ(table.inFlight(), 4u);

  const std::uint32_t first = added[0];
  std::uint32_t stranger = first + 1;
  while (xids.count(stranger)) ++stranger;
  PendingForward taken;
  struct Row {
    const char* what;
    std::uint32_t xid;
    const char* from;
    bool matches;
  } rows[] = {
      {"another xid", stranger, "10.77.0.1.4.0", false},
      {"another address", first, "10.77.0.2.4.0", false},
      {"another port", first, "10.77.0.1.4.1", false},
      {"the program's reply", first, "10.77.0.1.4.0", true},
      {"the same reply again", first, "10.77.0.1.4.0", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(table.Take(row.xid, Address(row.from), &taken), row.matches);
  }
  EXPECT_EQ(taken.xid, first);
  EXPECT_EQ(table.inFlight(), 3u);
  table.Cancel(added[3]);
  EXPECT_EQ(table.inFlight(), 2u);

  // The deadline frees a place; a reply after it answers nothing.
  EXPECT_EQ(table.Expire(4000), 0u);
  EXPECT_EQ(table.Expire(4001), 1u);
  EXPECT_FALSE(table.Take(added[1], Address("10.77.0.1.4.0"), &taken));
  // A full table frees its late places before it drops.
  for (int i = 0; i < 3; ++i) {
    PendingForward f = Forward();
    ASSERT_TRUE(table.Add(&f, 4001));
  }
  PendingForward late = Forward();
  EXPECT_TRUE(table.Add(&late, 9000));
  EXPECT_EQ(table.dropped(), 2u);
}

// What the caller hears once the program has answered. The bound is
// 2 * 100 for another machine's call of 100 bytes, 256 for one of 200,
// and a datagram's size for this machine's.
TEST(RemoteCallsTest, CallersReplyFromTheProgramsReply) {
  auto accepted = [](std::uint32_t stat) {
    Wire w = Wire().U32(0xCAFE).U32(1).U32(0).U32(1).Str("verf").U32(stat);
    if (stat == 0) w.U32(1).U32(2).U32(3);  // the results
    if (stat == 2) w.U32(1).U32(3);
    return w;
  };
  const Wire denied = Wire().U32(0xCAFE).U32(1).U32(1).U32(1).U32(2);
  Wire big = Wire().U32(0xCAFE).U32(1).U32(0).U32(0).U32(0).U32(0);
  big.bytes.resize(big.bytes.size() + 240);
  enum Heard { kNothing, kResults, kError, kTooWeak };
  struct Row {
    const char* what;
    std::uint32_t vers, proc;
    Wire reply;
    std::size_t bound;
    Heard heard;
    std::uint32_t state, status;
  } rows[] = {
      {"CALLIT v2, success", 2, 5, accepted(0), 200, kResults, 0, 0},
      {"CALLIT v3, success", 3, 5, accepted(0), 200, kResults, 0, 0},
      {"BCAST, success", 4, 5, accepted(0), 200, kResults, 0, 0},
      {"INDIRECT, success", 4, 10, accepted(0), 200, kResults, 0, 0},
      {"CALLIT, PROC_UNAVAIL", 2, 5, accepted(3), 200, kNothing, 0, 0},
      {"BCAST, denied", 4, 5, denied, 200, kNothing, 0, 0},
      {"INDIRECT, PROC_UNAVAIL", 4, 10, accepted(3), 200, kError, 0, 3},
      {"INDIRECT, PROG_MISMATCH", 4, 10, accepted(2), 200, kError, 0, 2},
      {"INDIRECT, denied", 4, 10, denied, 200, kError, 1, 1},
      {"BCAST, over twice the call", 4, 5, big, 200, kNothing, 0, 0},
      {"INDIRECT, over twice the call", 4, 10, big, 200, kTooWeak, 1, 1},
      {"BCAST, over 256 bytes", 4, 5, big, 256, kNothing, 0, 0},
      {"BCAST, this machine's call", 4, 5, big, 8800, kResults, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ProgramReply program;
    ASSERT_TRUE(ReadProgramReply(row.reply.bytes.data(), row.reply.bytes.size(),
                                 &program));
    EXPECT_EQ(program.xid, 0xCAFEu);
    PendingForward f = Forward();
    f.callerXid = 0x1234;
    f.mapperVersion = row.vers;
    f.procedure = row.proc;
    f.replyBound = row.bound;
    std::vector<std::uint8_t> reply = {9};
    ForwardReply outcome = WriteForwardReply(&reply, 9000, f, program);
    EXPECT_EQ(outcome, row.heard == kNothing ? ForwardReply::kSilent
                                             : ForwardReply::kSend);
    if (row.heard == kNothing) {
      EXPECT_EQ(reply.size(), 1u);
      continue;
    }
    EXPECT_LE(reply.size() - 1, row.bound);
    rpc_wire::Reply r = rpc_wire::Parse({reply.begin() + 1, reply.end()});
    EXPECT_EQ(r.xid, 0x1234u);
    EXPECT_EQ(r.state, row.state);
    EXPECT_EQ(r.status, row.status);
    if (row.heard == kResults) {
      if (row.vers == 2) {
        EXPECT_EQ(r.U32(), 1024u);
      } else {
        EXPECT_EQ(r.Str(), "10.77.0.1.4.0");
      }
      // The program's results: 1, 2, 3, or 60 zero words.
      std::vector<std::uint32_t> words = {1, 2, 3};
      if (row.reply.bytes == big.bytes) words.assign(60, 0);
      EXPECT_EQ(r.U32(), 4 * words.size());
      for (std::uint32_t w : words) EXPECT_EQ(r.U32(), w);
    }
    // The auth_stat: AUTH_TOOWEAK, or the program's AUTH_REJECTEDCRED.
    if (row.state == 1) EXPECT_EQ(r.U32(), row.heard == kTooWeak ? 5u : 2u);
    if (row.status == 2) {
      EXPECT_EQ(r.U32(), 1u);
      EXPECT_EQ(r.U32(), 3u);
    }
    EXPECT_TRUE(r.Done());
  }

  // Datagrams that are no reply to a forward.
  ProgramReply program;
  for (const Wire& stray :
       {Wire().U32(1).U32(0).U32(2), Wire().U32(1).U32(1).U32(7),
        Wire().U32(1).U32(1).U32(0).U32(0).U32(500), Wire().U32(1)}) {
    EXPECT_FALSE(
        ReadProgramReply(stray.bytes.data(), stray.bytes.size(), &program));
  }
}

}  // namespace
}  // namespace tessard
